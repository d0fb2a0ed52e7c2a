// The core library as the program loads it: libkernova.so (kernova.dll) beside the executable,
// opened at run time like any host would, never linked.
#pragma once

#include <string>

#include "kernova/host.h"
#include "platform/platform.h"

struct CoreLibrary {
    platform::LibraryHandle handle = nullptr;
    GetKernova_DLLFunc getTable = nullptr;
    InitKernova_DLLFunc init = nullptr;
    DoCommand_DLLFunc doCommand = nullptr;
    AbortCommand_DLLFunc abortCommand = nullptr;
    DeInitKernova_DLLFunc deInit = nullptr;
};

// Folder of the running program, without a trailing separator.
std::string GetProgramFolder();
// Loads the library and looks up its five exports. On failure the library is released and
// `failure` says why ("<path>: ..."); the result is then false.
bool LoadCoreLibrary(CoreLibrary &core, std::string &failure);
void UnloadCoreLibrary(CoreLibrary &core);
