// kernova: the console program. Loads the core beside itself, hands it the command line made of
// its arguments (without the program's own options), shows what the core reports, and answers
// with an exit status:
//   0  the command ran and every job of it succeeded (or was skipped)
//   1  the core refused the command, a run failed, a job of it did not succeed, or the user
//      stopped the run with Ctrl-C ("kernova: stopped by the user")
//   2  no arguments, a malformed option, or the core or its ID tag plug-in cannot be used
//   130  a second Ctrl-C
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/arguments.h"
#include "host/callbacks.h"
#include "host/console.h"
#include "host/core_library.h"
#include "host/job_lines.h"
#include "host/messages.h"
#include "host/options.h"
#include "host/progress.h"
#include "host/runner.h"
#include "host/split.h"
#include "host/worker.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitInterrupted = 130;

// Read on the thread that Ctrl-C wakes, so lock-free atomics.
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

int FailOption(const std::string &text) {
    std::fprintf(stderr, "kernova: error: %s\n", text.c_str());
    return kExitCannotStart;
}

// Options that need a command the program can run job by job.
int CheckOptionsFitCommand(const ConsoleOptions &options, CommandKind kind) {
    const bool inParts = kind == CommandKind::Convert || kind == CommandKind::Batch;
    if ((options.skipExisting || options.dryRun) && !inParts)
        return FailOption(std::string(options.dryRun ? "--dry-run" : "--skip-existing") +
                          " needs a conversion or -BATCH with a batch file, without -SETID, "
                          "-STREAM or -DEBUG");
    return kExitSuccess;
}

// The command as the core runs it, in this process.
int RunAsIs(const CoreLibrary &core, const std::string &commandLine) {
    HostCallbacks *table = core.getTable();
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

void PrintSummary(const ConsoleOptions &options, uint32_t startTick) {
    const RunTally tally = GetTally();
    if (options.quiet || tally.converted + tally.failed + tally.stopped == 0)
        return;
    auto lock = LockConsole();
    PrintErrorLine(FormatSummary(tally, (platform::GetTickCount() - startTick) / 1000.0));
}

int RunProgram(const CoreLibrary &core, const ConsoleOptions &options, CommandKind kind,
               uint32_t startTick) {
    HostCallbacks *table = core.getTable();
    InstallCallbacks(*table);
    SetQuiet(options.quiet);
    EnableProgress(platform::IsTerminal(2) && !options.quiet);
    if (!core.init()) {
        // The core has already said why the ID tag plug-in failed; without plug-ins the
        // listings and the help still work.
        if (TagLibraryFailed())
            return kExitCannotStart;
        PrintWarning("no decoder or encoder plug-in found in " + GetProgramFolder() +
                     platform::kPathSeparator + "plugins");
    }
    const bool inParts = kind == CommandKind::Convert || kind == CommandKind::Batch;
    const bool filtered = options.skipExisting || options.dryRun || options.quiet;
    if (inParts && (options.jobs != 1 || filtered)) {
        if (std::optional<int> status = RunInParts(core, options, kind, startTick))
            return *status;
    }
    std::vector<const char *> words{"kernova"};
    for (const std::string &argument : options.coreArguments)
        words.push_back(argument.c_str());
    const int status = RunAsIs(core, JoinArguments(static_cast<int>(words.size()), words.data()));
    if (IsConversion(kind))
        PrintSummary(options, startTick);
    return status;
}

int RunWithCore(const ConsoleOptions &options, CommandKind kind, uint32_t startTick) {
    CoreLibrary core;
    std::string failure;
    if (!LoadCoreLibrary(core, failure)) {
        std::fprintf(stderr, "kernova: error: %s\n", failure.c_str());
        return kExitCannotStart;
    }
    const int status = options.workerFile.empty()
                           ? RunProgram(core, options, kind, startTick)
                           : RunWorker(core, options.workerFile, options.quiet);
    // A second Ctrl-C ends the program at once, as it does a command run in this process: the
    // workers are gone and their files removed; releasing the plug-ins would only delay it.
    if (status == kExitInterrupted) {
        std::fflush(nullptr);
        std::_Exit(kExitInterrupted);
    }
    core.deInit();
    UnloadCoreLibrary(core);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    const uint32_t startTick = platform::GetTickCount();
    ConsoleOptions options;
    std::string error;
    if (!ParseConsoleOptions(argc, argv, options, error))
        return FailOption(error);
    if (options.showHelp) {
        std::fputs(kUsageText, stdout);
        std::fputs(kOptionsText, stdout);
        return kExitSuccess;
    }
    if (options.showVersion) {
        std::printf("kernova %s\n", KN_VERSION);
        return kExitSuccess;
    }
    if (options.splitParts > 0) {
        if (options.coreArguments.size() != 1)
            return FailOption("--split needs one batch file: kernova --split N FILE");
        return SplitBatchFile(options.coreArguments.front(), options.splitParts);
    }
    if (options.coreArguments.empty() && options.workerFile.empty()) {
        std::fputs(kUsageText, stderr);
        return kExitCannotStart;
    }
    const CommandKind kind = ClassifyCommand(options.coreArguments);
    if (const int status = CheckOptionsFitCommand(options, kind); status != kExitSuccess)
        return status;
    return RunWithCore(options, kind, startTick);
}
