// The job runner and batch files: every command runs from a file of job lines, each line
// tokenized, checked and parsed afresh before the job executor runs it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/ArgList.h"
#include "cmdline/CommandRecord.h"
#include "cmdline/keys.h"
#include "jobs/jobs.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

// Lines shorter than this (line end included) carry no job.
constexpr std::size_t kShortestJobLine = 3;
constexpr int kCannotOpen = 7;
constexpr const char *kBatchExtension = "xfb";

// Reads one line whole, however long, with its line end; false at the end of the file.
bool ReadJobLine(std::FILE *file, std::string &line) {
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return !line.empty();
}

// Runs one job line; false when the line was refused and no job ran.
bool RunJobLine(char *buffer, JobExecutor execute) {
    ArgList list;
    if (GroupKeyArguments(buffer, &list, kJobMode) != 1 || CheckKeyCombination(&list) != 1)
        return false;
    CommandRecord record{};
    ParseCommandLine(&list, &record);
    const int result = execute(&record);
    StoreLastResult(result);
    GetHostTable().onMessage(result, 0);
    ClearCommandRecord(&record);
    return true;
}

// Runs the job lines of a file; `jobs` counts the lines that were jobs.
int RunJobs(const char *fileName, JobExecutor execute, int &jobs) {
    char *name = nullptr;
    if (fileName)
        AssignString(fileName, &name);
    else
        GetJobFileName(&name);
    std::FILE *file = name ? std::fopen(name, "r") : nullptr;
    FreeString(&name);
    if (!file)
        return kCannotOpen;
    int result = 0;
    std::string line;
    while (ReadJobLine(file, line)) {
        if (std::strlen(line.c_str()) < kShortestJobLine)
            continue;
        if (!RunJobLine(line.data(), execute))
            continue;
        ++jobs;
        // The runner stops after the job during which the host asked to stop.
        if (LoadAbortFlag() == 1) {
            result = KN_RESULT_STOPPED;
            break;
        }
    }
    std::fclose(file);
    return result;
}

// A batch file of random bytes or plain text would otherwise end as if it had run.
void ReportBatchWithoutJobs(const std::string &fullName) {
    GetHostTable().onError(KN_ERR_BATCH_NO_JOB, reinterpret_cast<intptr_t>(fullName.c_str()));
    StoreLastResult(KN_RESULT_FAILED);
    GetHostTable().onMessage(KN_RESULT_FAILED, 0);
}

int RunMatchingFiles(const char *folder, const std::vector<platform::FindEntry> &entries,
                     JobExecutor execute) {
    int result = 0;
    for (const platform::FindEntry &entry : entries) {
        if (entry.isFolder)
            continue;
        const std::string fullName = std::string(folder ? folder : "") + entry.name;
        std::printf("Opening batch file :\n%s\n\n", fullName.c_str());
        int jobs = 0;
        const int ran = RunJobs(fullName.c_str(), execute, jobs);
        // A stopped run ends the whole -BATCH command: no further file is opened.
        if (ran == KN_RESULT_STOPPED)
            return KN_RESULT_STOPPED;
        if (ran == 0 && jobs == 0) {
            ReportBatchWithoutJobs(fullName);
            result = KN_RESULT_FAILED;
        }
    }
    return result;
}

} // namespace

int RunJobFile(const char *fileName, JobExecutor execute) {
    int jobs = 0;
    return RunJobs(fileName, execute, jobs);
}

int RunBatchFiles(const char *name, JobExecutor execute) {
    if (!name)
        return 0;
    char *folder = FolderWithSlash(name);
    char *pattern = nullptr;
    AssignString(name, &pattern);
    // A file of the name as given is run as it is (-CREATEBATCH writes the name unchanged).
    if (platform::GetFileKind(name) != platform::FileKind::Regular)
        AddIfNoExtension(&pattern, kBatchExtension, nullptr);
    std::vector<platform::FindEntry> entries;
    int result;
    if (pattern && platform::FindFiles(pattern, entries)) {
        result = RunMatchingFiles(folder, entries, execute);
    } else {
        std::printf("Cannot find batch file : %s", pattern ? pattern : "");
        result = kCannotOpen;
    }
    FreeString(&pattern);
    FreeString(&folder);
    return result;
}
