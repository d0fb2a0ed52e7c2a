#include "host/worker.h"

#include <atomic>
#include <cstdio>

#include "host/callbacks.h"
#include "host/console.h"
#include "platform/platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitCannotStart = 2;

// Read on the thread that Ctrl-C wakes, so lock-free atomics.
std::atomic<AbortCommand_DLLFunc> abortCommand{nullptr};
std::atomic<bool> stopRequested{false};

// Every stop request of the parent (or of the terminal) stops the current job and the worker;
// a worker never ends itself in the middle of a job: the parent does that on a second Ctrl-C.
void OnStopRequest() {
    stopRequested.store(true);
    AbortCommand_DLLFunc abort = abortCommand.load();
    if (abort)
        abort();
}

// A stop that came while the next line was being started would be cleared by the job's start.
void StopJobIfStopping() {
    if (stopRequested.load())
        OnStopRequest();
}

bool ReadLine(std::string &line) {
    line.clear();
    int c;
    while ((c = std::getc(stdin)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    return c != EOF || !line.empty();
}

bool WriteLineFile(const std::string &file, const std::string &line) {
    std::FILE *out = std::fopen(file.c_str(), "w");
    if (!out)
        return false;
    const bool written = std::fprintf(out, "%s\n", line.c_str()) >= 0;
    return std::fclose(out) == 0 && written;
}

void RunLine(const CoreLibrary &core, HostCallbacks &table, const std::string &lineFile,
             const std::string &line) {
    if (!WriteLineFile(lineFile, line)) {
        auto lock = LockConsole();
        PrintDiagnostic("error", lineFile + ": cannot write the job line");
        return;
    }
    if (!stopRequested.load())
        std::atomic_ref<int>(table.abortFlag).store(0);
    const std::string command = "-BATCH " + lineFile;
    core.doCommand(command.c_str());
}

} // namespace

int RunWorker(const CoreLibrary &core, const std::string &lineFile, bool quiet) {
    HostCallbacks *table = core.getTable();
    {
        auto lock = LockConsole();
        SetFramedOutput(true);
    }
    InstallCallbacks(*table);
    SetQuiet(quiet);
    // The parent has said already when plug-ins are missing.
    if (!core.init() && TagLibraryFailed())
        return kExitCannotStart;
    abortCommand.store(core.abortCommand);
    SetJobStartHook(StopJobIfStopping);
    platform::SetInterruptHandler(OnStopRequest);
    std::string line;
    while (!stopRequested.load() && ReadLine(line)) {
        {
            auto lock = LockConsole();
            SendFrame(kFrameLineStart, "");
        }
        RunLine(core, *table, lineFile, line);
        FinishOutput();
        auto lock = LockConsole();
        SendFrame(kFrameLineDone, "");
    }
    platform::SetInterruptHandler(nullptr);
    platform::DeleteFile(lineFile.c_str());
    return kExitSuccess;
}
