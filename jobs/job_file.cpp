// Source enumeration: a command becomes one job line per source file, written into the job
// file (or the batch file of -CREATEBATCH) before anything runs.
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "cmdline/CommandRecord.h"
#include "convert/QZ_Convertor.h"
#include "convert/safe_output.h"
#include "core/core.h"
#include "jobs/jobs.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

constexpr const char *kJobFileName = "temp.dat";
constexpr const char *kAllFiles = "*.*";
constexpr int kFirstCapacity = 16;
constexpr int kNoRecursion = 0;
constexpr int kRecursiveCopy = 2;

const char kSeparatorText[] = {platform::kPathSeparator, '\0'};

// The arrays grow by doubling; their capacity follows from the count alone.
bool IsJobArrayFull(int count) {
    return count == 0 ||
           (count >= kFirstCapacity && std::has_single_bit(static_cast<unsigned>(count)));
}

void GrowJobArrays(JobArrays *arrays, int count) {
    const int capacity = count == 0 ? kFirstCapacity : count * 2;
    char **sources = new char *[capacity]();
    char **outputs = new char *[capacity]();
    for (int i = 0; i < count; ++i) {
        sources[i] = arrays->sources[i];
        outputs[i] = arrays->outputs[i];
    }
    delete[] arrays->sources;
    delete[] arrays->outputs;
    arrays->sources = sources;
    arrays->outputs = outputs;
}

void FreeJobArrays(JobArrays *arrays, int count) {
    for (int i = 0; arrays->sources && i < count; ++i) {
        FreeString(&arrays->sources[i]);
        FreeString(&arrays->outputs[i]);
    }
    delete[] arrays->sources;
    delete[] arrays->outputs;
    arrays->sources = nullptr;
    arrays->outputs = nullptr;
}

char *JoinText(const char *first, const char *second) {
    char *text = nullptr;
    AssignString(first, &text);
    AddStr(&text, second);
    return text;
}

bool IsRootedName(const char *name) {
    return name[0] == platform::kPathSeparator;
}

// The folder part with one trailing separator, or null when the name has none.
char *FolderWithSlash(const char *name) {
    char *folder = nullptr;
    ExtractPathX(name, &folder);
    char *slashed = AddSlash(folder);
    FreeString(&folder);
    return slashed;
}

// A folder that is one of its own ancestors (a link back up the tree) would be searched
// without end.
bool IsFolderLoop(const std::string &folder) {
    std::string ancestor = folder;
    for (;;) {
        const std::size_t end = ancestor.rfind(platform::kPathSeparator);
        if (end == std::string::npos)
            return false;
        ancestor.resize(end);
        const std::string existing = ancestor.empty() ? kSeparatorText : ancestor;
        if (platform::IsSameFile(folder.c_str(), existing.c_str()))
            return true;
        if (ancestor.empty())
            return false;
    }
}

bool HasDecoder(const char *source) {
    char *module = GetInModuleForFile(source, 0);
    const bool found = module != nullptr;
    FreeString(&module);
    return found;
}

bool IsSingleLineMode(int mode) {
    return mode == kModeListEncoders || mode == kModeListDecoders || mode == kModeTestEncoder ||
           mode == kModeEncoderHelp || mode == kModeHelp;
}

// Show-ID and set-ID offer every file to the tag plug-in, not only files a decoder claims.
int ForceFor(const CommandRecord *record) {
    return record->mode == kModeShowId || record->mode == kModeSetId ? 1 : 0;
}

bool WriteLine(std::FILE *file, const char *line) {
    return std::fprintf(file, "%s\n", line ? line : "") >= 0;
}

void ScanSubFolder(CommandRecord *record, const char *folder, const char *namePattern,
                   const std::string &entryName, const char *mask, JobArrays *arrays, int *count,
                   const char *subFolder) {
    if (record->recursive == kNoRecursion ||
        IsFolderLoop(std::string(folder ? folder : "") + entryName))
        return;
    char *childPattern = JoinText(folder, namePattern);
    InsertPathInName(&childPattern, entryName.c_str());
    char *childSubFolder = nullptr;
    if (record->recursive == kRecursiveCopy) {
        AssignString(subFolder, &childSubFolder);
        AddStr(&childSubFolder, kSeparatorText);
        AddStr(&childSubFolder, entryName.c_str());
    }
    ScanFolder(record, childPattern, mask, arrays, count, childSubFolder, 0);
    FreeString(&childSubFolder);
    FreeString(&childPattern);
}

// A temporary output that a killed conversion left behind is no source for a wildcard run;
// named on its own it is taken, so that the user can still convert what it holds.
bool IsLeftOverOutput(const std::string &name, const char *namePattern) {
    return std::strpbrk(namePattern ? namePattern : "", "*?") != nullptr &&
           IsPartialOutputName(name.c_str());
}

void ScanEntries(CommandRecord *record, const char *pattern, const char *folder,
                 const char *namePattern, const char *mask, JobArrays *arrays, int *count,
                 const char *subFolder, int pass) {
    const std::string search =
        pass == 0 ? std::string(pattern) : std::string(folder ? folder : "") + kAllFiles;
    std::vector<platform::FindEntry> entries;
    if (!platform::FindFiles(search, entries))
        return;
    for (const platform::FindEntry &entry : entries) {
        if (entry.isFolder)
            ScanSubFolder(record, folder, namePattern, entry.name, mask, arrays, count, subFolder);
        if (pass == 0 && !entry.isHidden && !IsLeftOverOutput(entry.name, namePattern)) {
            char *source = JoinText(folder, entry.name.c_str());
            AddJob(source, mask, subFolder, arrays, count, ForceFor(record));
            FreeString(&source);
        }
    }
}

// Lexically resolved full name: relative names are taken from the current folder.
std::string ResolvedFullName(const char *name, const std::string &currentFolder) {
    const std::string full = IsRootedName(name) ? std::string(name) : currentFolder + name;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= full.size()) {
        std::size_t end = full.find(platform::kPathSeparator, start);
        if (end == std::string::npos)
            end = full.size();
        const std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string resolved;
    for (const std::string &part : parts)
        resolved += kSeparatorText + part;
    return resolved;
}

// Index of the first job whose output another job with a different source writes too, or -1.
int FindOutputCollision(const JobArrays &arrays, int count) {
    char *current = GetCurPathName();
    const std::string currentFolder = current ? current : "";
    FreeString(&current);
    std::unordered_map<std::string, std::string> sourceOfOutput;
    for (int i = 0; i < count; ++i) {
        if (!arrays.outputs[i] || !arrays.sources[i])
            continue;
        const auto [owner, added] =
            sourceOfOutput.emplace(ResolvedFullName(arrays.outputs[i], currentFolder),
                                   ResolvedFullName(arrays.sources[i], currentFolder));
        if (!added && owner->second != ResolvedFullName(arrays.sources[i], currentFolder))
            return i;
    }
    return -1;
}

// Only conversion lines carry an output; two of them on one file would overwrite each other.
int CheckOutputCollision(const CommandRecord *record, const JobArrays &arrays, int count) {
    if (record->mode != kModeConvert && record->mode != kModeCreateBatch)
        return 0;
    const int collision = FindOutputCollision(arrays, count);
    if (collision < 0)
        return 0;
    auto onError = converterState.onError ? converterState.onError : GetHostTable().onError;
    onError(KN_ERR_OUTPUT_COLLISION, reinterpret_cast<intptr_t>(arrays.outputs[collision]));
    return KN_ERR_OUTPUT_COLLISION;
}

int CollectJobs(CommandRecord *record, JobArrays *arrays, int *count) {
    if (record->stream) {
        AddJob(record->inputName, record->outputName, nullptr, arrays, count, 1);
        return 0;
    }
    const int found = ScanSources(record, arrays);
    if (found > 0 && !arrays->sources)
        return found;
    *count = found;
    return found == 0 ? KN_ERR_NO_SOURCE : 0;
}

int WriteJobs(CommandRecord *record, const char *target, const JobArrays &arrays, int count) {
    std::FILE *file = std::fopen(target, "w");
    if (!file)
        return KN_ERR_WRITE_JOBS;
    // The lines name single files; a batch file holds conversions.
    record->recursive = kNoRecursion;
    if (record->mode == kModeCreateBatch)
        record->mode = kModeConvert;
    int result = 0;
    for (int i = 0; i < count; ++i) {
        AssignString(arrays.sources[i], &record->inputName);
        AssignString(arrays.outputs[i], &record->outputName);
        FreeString(&record->commandLine);
        BuildCommandLine(record);
        if (!WriteLine(file, record->commandLine))
            result = KN_ERR_WRITE_JOBS;
    }
    if (std::fclose(file) != 0)
        result = KN_ERR_WRITE_JOBS;
    return result;
}

int WriteJobLines(CommandRecord *record, const char *target) {
    JobArrays arrays{};
    int count = 0;
    int result = CollectJobs(record, &arrays, &count);
    if (result == 0)
        result = CheckOutputCollision(record, arrays, count);
    if (result == 0)
        result = WriteJobs(record, target, arrays, count);
    FreeJobArrays(&arrays, count);
    return result;
}

int WriteSingleLine(const CommandRecord *record, const char *target) {
    std::FILE *file = std::fopen(target, "w");
    if (!file)
        return KN_ERR_WRITE_JOBS;
    const bool written = WriteLine(file, record->commandLine);
    const bool closed = std::fclose(file) == 0;
    return written && closed ? 0 : KN_ERR_WRITE_JOBS;
}

char *ChooseJobTarget(const CommandRecord *record, const char *fileName) {
    char *target = nullptr;
    if (fileName)
        AssignString(fileName, &target);
    else if (record->mode == kModeCreateBatch && record->batchName)
        AssignString(record->batchName, &target);
    else
        GetJobFileName(&target);
    return target;
}

} // namespace

int WriteJobFile(CommandRecord *record, const char *fileName) {
    if (!record)
        return KN_RESULT_NO_RECORD;
    if (!record->stream)
        MakeFullName(&record->inputName);
    MakeFullName(&record->outputName);
    MakeFullName(&record->batchName);
    char *target = ChooseJobTarget(record, fileName);
    int result = KN_ERR_WRITE_JOBS;
    if (target && IsSingleLineMode(record->mode))
        result = WriteSingleLine(record, target);
    else if (target)
        result = WriteJobLines(record, target);
    FreeString(&target);
    return result;
}

int ScanSources(CommandRecord *record, JobArrays *arrays) {
    TakeCallbackCopies();
    if (winampFolder)
        LoadWinampPlugIns();
    if (!InitConvertor())
        return KN_RESULT_CONVERTER_START;
    int count = 0;
    ScanFolder(record, record->inputName, record->outputName, arrays, &count, nullptr, 0);
    DeInitConvertor();
    return count;
}

void ScanFolder(CommandRecord *record, const char *pattern, const char *mask, JobArrays *arrays,
                int *count, const char *subFolder, int pass) {
    if (!record || !pattern || !arrays || !count)
        return;
    char *namePattern = nullptr;
    ExtractOnlyFileName(pattern, &namePattern);
    if (!namePattern)
        return;
    char *folder = FolderWithSlash(pattern);
    ScanEntries(record, pattern, folder, namePattern, mask, arrays, count, subFolder, pass);
    // A second pass reaches the sub-folders that the name pattern does not match.
    if (record->recursive != kNoRecursion && pass == 0 && std::strcmp(namePattern, kAllFiles) != 0)
        ScanFolder(record, pattern, mask, arrays, count, subFolder, 1);
    FreeString(&folder);
    FreeString(&namePattern);
}

void AddJob(const char *source, const char *mask, const char *subFolder, JobArrays *arrays,
            int *count, int force) {
    if (!arrays || !count)
        return;
    if (force != 1 && !HasDecoder(source))
        return;
    if (IsJobArrayFull(*count))
        GrowJobArrays(arrays, *count);
    AssignString(source, &arrays->sources[*count]);
    char *outputMask = nullptr;
    AssignString(mask ? mask : "*", &outputMask);
    InsertPathInName(&outputMask, subFolder);
    arrays->outputs[*count] = GetPathFileNameByMask(source, outputMask);
    FreeString(&outputMask);
    ++*count;
}

void MakeFullName(char **name) {
    if (!name || !*name)
        return;
    char *folder = nullptr;
    ExtractPathX(*name, &folder);
    if (folder) {
        FreeString(&folder);
        return;
    }
    char *full = GetCurPathName();
    AddStr(&full, *name);
    FreeString(name);
    *name = full;
}

void GetJobFileName(char **name) {
    if (!name)
        return;
    char *mainPath = GetMainPathName();
    char *jobFile = AddSlash(mainPath);
    FreeString(&mainPath);
    AddStr(&jobFile, kJobFileName);
    FreeString(name);
    *name = jobFile;
}
