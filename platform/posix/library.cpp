#include "platform/platform.h"

#include <dlfcn.h>

namespace platform {

namespace {

// dlerror() text is consumed on reading, so it is kept per thread until the next failure.
thread_local std::string lastLibraryError;

void RememberLibraryError() {
    const char *text = dlerror();
    lastLibraryError = text ? text : "unknown library error";
}

} // namespace

LibraryHandle LoadLibrary(const char *path) {
    if (path == nullptr) {
        lastLibraryError = "no library name";
        return nullptr;
    }
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        RememberLibraryError();
    return library;
}

void *GetExport(LibraryHandle library, const char *name) {
    if (library == nullptr || name == nullptr)
        return nullptr;
    dlerror();
    void *address = dlsym(library, name);
    if (address == nullptr)
        RememberLibraryError();
    return address;
}

void FreeLibrary(LibraryHandle library) {
    if (library != nullptr)
        dlclose(library);
}

std::string LastLibraryError() {
    return lastLibraryError;
}

} // namespace platform
