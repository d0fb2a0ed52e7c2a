// Start-up, shut-down, one command from its line to its jobs, and the job executor.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cmdline/ArgList.h"
#include "cmdline/CommandRecord.h"
#include "cmdline/keys.h"
#include "convert/convert_jobs.h"
#include "convert/decode_driver.h"
#include "convert/job_steps.h"
#include "core/core.h"
#include "format/fix_freq.h"
#include "info/info.h"
#include "jobs/jobs.h"
#include "kernova/message_codes.h"
#include "modules/QZ_ExtList.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"
#include "tags/idtagger_extend.h"

namespace {

struct ArgListDeleter {
    void operator()(ArgList *list) const { delete list; }
};
using ArgListPtr = std::unique_ptr<ArgList, ArgListDeleter>;

// Releases a command record's texts on every way out of a command.
struct RecordGuard {
    CommandRecord record{};
    ~RecordGuard() { ClearCommandRecord(&record); }
};

// Holds the job file locked from its writing to the end of its run, so that two commands
// sharing one program folder run one after the other instead of running each other's jobs.
class JobFileLock {
  public:
    JobFileLock() {
        char *name = nullptr;
        GetJobFileName(&name);
        if (name)
            lock_ = platform::LockFile(name);
        FreeString(&name);
    }
    ~JobFileLock() {
        if (lock_)
            platform::UnlockFile(lock_);
    }
    JobFileLock(const JobFileLock &) = delete;
    JobFileLock &operator=(const JobFileLock &) = delete;

  private:
    platform::FileLockHandle lock_ = nullptr;
};

// The user learns which pattern found nothing, which file no decoder reads, or which job or
// batch file cannot be written.
void ReportRefusal(const CommandRecord &record, int mode, int code) {
    char *name = nullptr;
    if (code == KN_ERR_NO_SOURCE || code == KN_ERR_NO_DECODER)
        AssignString(record.inputName, &name);
    else if (code == KN_ERR_WRITE_JOBS && mode == kModeCreateBatch)
        AssignString(record.batchName, &name);
    else if (code == KN_ERR_WRITE_JOBS)
        GetJobFileName(&name);
    GetHostTable().onError(code, reinterpret_cast<intptr_t>(name));
    FreeString(&name);
}

// Writes the jobs of a command and runs them; a batch file is only written.
int WriteAndRunJobs(CommandRecord *record) {
    // WriteJobFile turns mode 6 into 1 while it writes, so the mode is taken first.
    const int mode = record->mode;
    std::optional<JobFileLock> lock;
    if (mode != kModeCreateBatch)
        lock.emplace();
    int code = WriteJobFile(record, nullptr);
    if (code != 0) {
        std::printf("Error...\n");
        ReportRefusal(*record, mode, code);
        return code;
    }
    if (mode == kModeCreateBatch) {
        std::printf("Batch file created:\n%s\n", record->batchName ? record->batchName : "");
        return 0;
    }
    return RunJobFile(nullptr, ExecuteJob);
}

int RunBatchCommand(const CommandRecord &record) {
    char *name = nullptr;
    AssignString(record.inputName, &name);
    int outcome = RunBatchFiles(name, ExecuteJob);
    FreeString(&name);
    return outcome;
}

int RunCommand(ArgList *list) {
    RecordGuard guard;
    ParseCommandLine(list, &guard.record);
    if (guard.record.mode == kModeRunBatch)
        return RunBatchCommand(guard.record);
    return WriteAndRunJobs(&guard.record);
}

} // namespace

int InitKernova() {
    if (!initIDTagger())
        return 0;
    FreeString(&winampFolder);
    fixFreqHandler = FixFreqHandler;
    LoadPlugInLists();
    DeleteStaleSettingsFiles();
    return ListHoldsModule(kInputModules) && ListHoldsModule(kOutputModules) ? 1 : 0;
}

int DoCommand(const char *commandLine) {
    ArgListPtr list(BuildArgList(commandLine));
    if (!list)
        return 0;
    ReportRefusedPlugIns(IsKeyPresent("-DEBUG", list.get()) != 0);
    if (!CheckKeyCombination(list.get()))
        return 0;
    int outcome = RunCommand(list.get());
    return outcome == 0 ? 1 : 0;
}

void AbortCommand() {
    StoreAbortFlag(1);
    AbortPlay();
}

void DeInitKernova() {
    DeInitIDTagModule();
    FreeString(&winampFolder);
    ClearModListStruct(GetModuleList(kInputModules));
    ClearModListStruct(GetModuleList(kOutputModules));
    ClearModListStruct(GetModuleList(kWinampInputModules));
}

int ExecuteJob(CommandRecord *record) {
    // A stop request belongs to the job it came in; an earlier one must not cut this one.
    ClearAbortRequest();
    switch (record->mode) {
    case kModeConvert:
        return ConvertJob(record);
    case kModeListEncoders:
        ListModules(0, "encoders");
        return KN_RESULT_DONE;
    case kModeListDecoders:
        ListModules(1, "decoders");
        return KN_RESULT_DONE;
    case kModeShowId:
        GetHostTable().onMessage(KN_MSG_INPUT, reinterpret_cast<intptr_t>(record->inputName));
        ShowIdTags(record);
        return KN_RESULT_DONE;
    case kModeSetId:
        return SetIdTags(record);
    case kModeTestEncoder:
        return TestEncoderJob(record);
    case kModeEncoderHelp:
        EncoderHelpJob(record);
        return KN_RESULT_DONE;
    case kModeHelp:
        HelpJob(record);
        return KN_RESULT_DONE;
    case kModePlay:
        // A play job that fails is reported as failed, not as done.
        return PlayJob(record);
    default:
        return KN_RESULT_NOT_EXECUTABLE;
    }
}
