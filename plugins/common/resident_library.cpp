#include "resident_library.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace knplugin {

#ifdef _WIN32
// The Windows builds link the codec libraries into each plug-in: there is no library apart from
// the plug-in to keep, and the plug-in itself must go when the core releases it.
bool KeepLibraryResident(const void *) {
    return false;
}
#else
bool KeepLibraryResident(const void *code) {
    Dl_info info{};
    Dl_info own{};
    if (dladdr(code, &info) == 0 || info.dli_fname == nullptr ||
        dladdr(reinterpret_cast<const void *>(&KeepLibraryResident), &own) == 0)
        return false;
    if (info.dli_fbase == own.dli_fbase)
        return false; // linked into the plug-in, which must go when the core releases it
    // The library is loaded already: this only marks it, and its dependencies with it, as never
    // to be unloaded. The reference that dlopen adds is never given back on purpose.
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}
#endif

} // namespace knplugin
