// kernova: the console program. Loads the core beside itself, hands it the command line made of
// its arguments, shows what the core reports, and answers with an exit status:
//   0  the command ran and its last job (if any) succeeded
//   1  the core refused the command, a run failed, a job of it did not succeed, or the user
//      stopped the run with Ctrl-C ("kernova: stopped by the user")
//   2  no arguments, or the core or its ID tag plug-in cannot be used
//   130  a second Ctrl-C
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/arguments.h"
#include "host/callbacks.h"
#include "host/core_library.h"
#include "host/messages.h"
#include "host/progress.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitInterrupted = 130;

// Read inside the signal handler, so lock-free atomics only.
std::atomic<AbortCommand_DLLFunc> abortCommand{nullptr};
std::atomic<int> interruptCount{0};
static_assert(std::atomic<AbortCommand_DLLFunc>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// The first Ctrl-C asks the core to stop after the current job (the stop request only stores
// a flag and tells the decoder to stop); the second ends the program at once.
void OnInterrupt() {
    if (interruptCount.fetch_add(1) > 0)
        std::_Exit(kExitInterrupted);
    AbortCommand_DLLFunc abort = abortCommand.load();
    if (abort)
        abort();
}

// A batch whose middle file failed must not look like a success to a script, so any failed
// job counts, not only the last one.
int GetExitStatus(int accepted, int lastResult) {
    if (!accepted || AnyJobFailed())
        return kExitFailure;
    if (lastResult != 0 && lastResult != KN_RESULT_DONE)
        return kExitFailure;
    return kExitSuccess;
}

int RunCommand(const CoreLibrary &core, const std::string &commandLine) {
    HostCallbacks *table = core.getTable();
    InstallCallbacks(*table);
    EnableProgress(platform::IsTerminal(2));
    if (!core.init()) {
        // The core has already said why the ID tag plug-in failed; without plug-ins the
        // listings and the help still work.
        if (TagLibraryFailed())
            return kExitCannotStart;
        PrintWarning("no decoder or encoder plug-in found in " + GetProgramFolder() +
                     platform::kPathSeparator + "plugins");
    }
    // Stays 0 when the command runs no job (-CREATEBATCH, say).
    std::atomic_ref<int>(table->lastResult).store(0);
    abortCommand.store(core.abortCommand);
    platform::SetInterruptHandler(OnInterrupt);
    int accepted = core.doCommand(commandLine.c_str());
    platform::SetInterruptHandler(nullptr);
    FinishOutput();
    // The core reports a stop only as the result of the job it cut short.
    if (interruptCount.load() > 0) {
        PrintNote("stopped by the user");
        return kExitFailure;
    }
    return GetExitStatus(accepted, std::atomic_ref<int>(table->lastResult).load());
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsageText, stderr);
        return kExitCannotStart;
    }
    CoreLibrary core;
    std::string failure;
    if (!LoadCoreLibrary(core, failure)) {
        std::fprintf(stderr, "kernova: error: %s\n", failure.c_str());
        return kExitCannotStart;
    }
    int status = RunCommand(core, JoinArguments(argc, argv));
    core.deInit();
    UnloadCoreLibrary(core);
    return status;
}
