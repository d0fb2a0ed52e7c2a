// A host for tests: loads the core beside itself like the console program does, and prints
// every callback as one line on stdout, in the order the core makes them:
//   INIT <result>              InitKernova_DLL's answer
//   M <code> [text]            onMessage (text when the argument is not 0)
//   E <code> [text]            onError
//   P <value> / L <value>      onPosition / onLength (only with --progress)
//   U                          onUnknownKey
//   R <result> last=<n>        DoCommand_DLL's answer and lastResult after it
// Each argument is one command line for DoCommand_DLL, except these options:
//   --abort-on=CODE     call AbortCommand_DLL when onMessage(CODE) arrives
//   --clear-abort       write 0 into abortFlag before the next command
//   --progress          also print onPosition/onLength
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernova/host.h"
#include "platform/platform.h"

namespace {

// The core library beside the program: libkernova.so here, kernova.dll on Windows.
#if defined(_WIN32)
constexpr const char *kCoreLibraryName = "kernova";
#else
constexpr const char *kCoreLibraryName = "libkernova";
#endif

HostCallbacks *table = nullptr;
AbortCommand_DLLFunc abortCommand = nullptr;
int abortOnCode = -1;
bool showProgress = false;

void PrintCallback(char kind, int code, intptr_t arg) {
    if (arg != 0)
        std::printf("%c %d %s\n", kind, code, reinterpret_cast<const char *>(arg));
    else
        std::printf("%c %d\n", kind, code);
    std::fflush(stdout);
}

void OnMessage(int code, intptr_t arg) {
    PrintCallback('M', code, arg);
    if (code == abortOnCode && abortCommand)
        abortCommand();
}

void OnError(int code, intptr_t arg) {
    PrintCallback('E', code, arg);
}

void OnPosition(int value) {
    if (showProgress)
        std::printf("P %d\n", value);
}

void OnLength(int value) {
    if (showProgress)
        std::printf("L %d\n", value);
}

void OnUnknownKey() {
    std::printf("U\n");
    std::fflush(stdout);
}

std::string FolderOf(const std::string &path) {
    auto pos = path.rfind(platform::kPathSeparator);
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos);
}

} // namespace

int main(int argc, char **argv) {
    std::string core = FolderOf(platform::GetExecutablePath()) + platform::kPathSeparator +
                       kCoreLibraryName + platform::kLibrarySuffix;
    platform::LibraryHandle library = platform::LoadLibrary(core.c_str());
    if (!library) {
        std::fprintf(stderr, "probe: cannot load %s: %s\n", core.c_str(),
                     platform::LastLibraryError().c_str());
        return 2;
    }
    auto getTable =
        reinterpret_cast<GetKernova_DLLFunc>(platform::GetExport(library, "GetKernova_DLL"));
    auto init =
        reinterpret_cast<InitKernova_DLLFunc>(platform::GetExport(library, "InitKernova_DLL"));
    auto doCommand =
        reinterpret_cast<DoCommand_DLLFunc>(platform::GetExport(library, "DoCommand_DLL"));
    auto deInit =
        reinterpret_cast<DeInitKernova_DLLFunc>(platform::GetExport(library, "DeInitKernova_DLL"));
    abortCommand =
        reinterpret_cast<AbortCommand_DLLFunc>(platform::GetExport(library, "AbortCommand_DLL"));
    if (!getTable || !init || !doCommand || !deInit || !abortCommand) {
        std::fprintf(stderr, "probe: missing export\n");
        return 2;
    }
    table = getTable();
    table->onMessage = OnMessage;
    table->onError = OnError;
    table->onPosition = OnPosition;
    table->onLength = OnLength;
    table->onUnknownKey = OnUnknownKey;

    std::printf("INIT %d\n", init());
    std::fflush(stdout);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--abort-on=", 11) == 0) {
            abortOnCode = std::atoi(argv[i] + 11);
            continue;
        }
        if (std::strcmp(argv[i], "--clear-abort") == 0) {
            table->abortFlag = 0;
            continue;
        }
        if (std::strcmp(argv[i], "--progress") == 0) {
            showProgress = true;
            continue;
        }
        int result = doCommand(argv[i]);
        std::fflush(stdout);
        std::printf("R %d last=%d\n", result, table->lastResult);
        std::fflush(stdout);
    }
    deInit();
    platform::FreeLibrary(library);
    return 0;
}
