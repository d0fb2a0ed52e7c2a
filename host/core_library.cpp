#include "host/core_library.h"

namespace {

// Remembers the first export that is missing.
template <typename Function>
void LookUp(const CoreLibrary &core, const char *name, Function &function, std::string &missing) {
    function = reinterpret_cast<Function>(platform::GetExport(core.handle, name));
    if (!function && missing.empty())
        missing = name;
}

// The system's reason, without the path that it usually repeats in front.
std::string LoadFailureReason(const std::string &path) {
    std::string reason = platform::LastLibraryError();
    if (reason.rfind(path + ": ", 0) == 0)
        reason.erase(0, path.size() + 2);
    return reason;
}

} // namespace

std::string GetProgramFolder() {
    std::string path = platform::GetExecutablePath();
    auto separator = path.rfind(platform::kPathSeparator);
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

bool LoadCoreLibrary(CoreLibrary &core, std::string &failure) {
    std::string path = GetProgramFolder() + platform::kPathSeparator + platform::kLibraryPrefix +
                       std::string("kernova") + platform::kLibrarySuffix;
    core = CoreLibrary{};
    core.handle = platform::LoadLibrary(path.c_str());
    if (!core.handle) {
        failure = path + ": cannot load the core library (" + LoadFailureReason(path) + ")";
        return false;
    }
    std::string missing;
    LookUp(core, "GetKernova_DLL", core.getTable, missing);
    LookUp(core, "InitKernova_DLL", core.init, missing);
    LookUp(core, "DoCommand_DLL", core.doCommand, missing);
    LookUp(core, "AbortCommand_DLL", core.abortCommand, missing);
    LookUp(core, "DeInitKernova_DLL", core.deInit, missing);
    if (!missing.empty()) {
        failure = path + ": not the core library (no " + missing + " export)";
        UnloadCoreLibrary(core);
        return false;
    }
    return true;
}

void UnloadCoreLibrary(CoreLibrary &core) {
    if (core.handle)
        platform::FreeLibrary(core.handle);
    core = CoreLibrary{};
}
