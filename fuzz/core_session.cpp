#include "fuzz/core_session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_files.h"
#include "kernova/host.h"
#include "platform/platform.h"

extern "C" {
int InitKernova_DLL(void);
HostCallbacks *GetKernova_DLL(void);
int DoCommand_DLL(const char *commandLine);
}

namespace knfuzz {

namespace {

void IgnoreCode(int, intptr_t) {}
void IgnoreValue(int) {}
void IgnoreKey() {}

// libFuzzer keeps the coverage counters of every library it saw loaded: a plug-in that the core
// unloads after a job would leave them unmapped. A load of our own keeps each one in memory.
void HoldPlugIns() {
    std::string folder = std::filesystem::path(platform::GetExecutablePath()).parent_path();
    for (const char *name :
         {"plugins/in/fake_decoder", "plugins/out/fake_encoder", "plugins/idtagger"}) {
        std::string path = folder + "/" + name + platform::kLibrarySuffix;
        if (platform::LoadLibrary(path.c_str()) == nullptr)
            std::abort();
    }
}

void WriteText(const std::string &name, const std::string &text) {
    std::ofstream(name, std::ios::binary) << text;
}

void WriteSourceFiles() {
    std::filesystem::create_directory("d");
    WriteText("a.pcm", "a");
    WriteText("b.pcm", "bb");
    WriteText("d/c.pcm", "c");
    WriteText("t.xfb", "|-I| |a.pcm| |-O| |o.enc| |-ENC| |fake_encoder| \r\n-I b.pcm -O p.enc\r\n");
}

} // namespace

void StartCore() {
    static const bool started = [] {
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            std::abort();
        HostCallbacks *host = GetKernova_DLL();
        host->onMessage = IgnoreCode;
        host->onError = IgnoreCode;
        host->onPosition = IgnoreValue;
        host->onLength = IgnoreValue;
        host->onUnknownKey = IgnoreKey;
        HoldPlugIns();
        EnterEmptyPrivateFolder();
        return InitKernova_DLL() == 1;
    }();
    if (!started)
        std::abort();
}

int RunCommand(const std::string &commandLine, const std::string &batch) {
    EnterEmptyPrivateFolder();
    WriteSourceFiles();
    WriteText("fuzzed.xfb", batch);
    GetKernova_DLL()->abortFlag = 0;
    return DoCommand_DLL(commandLine.c_str());
}

} // namespace knfuzz
