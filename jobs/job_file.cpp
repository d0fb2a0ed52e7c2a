// Source enumeration: a command becomes one job line per source file, written into the job
// file (or the batch file of -CREATEBATCH) before anything runs.
#include <bit>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "cmdline/ArgList.h"
#include "cmdline/CommandRecord.h"
#include "convert/QZ_Convertor.h"
#include "convert/safe_output.h"
#include "jobs/jobs.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "state/host_table.h"
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

// The sub-folders that the pattern itself matches: the first pass searches them, so the second
// leaves them out (the same way the system's search matched them, short names included).
std::set<std::string> FolderNames(const char *pattern) {
    std::vector<platform::FindEntry> entries;
    std::set<std::string> names;
    if (platform::FindFiles(pattern, entries)) {
        for (const platform::FindEntry &entry : entries) {
            if (entry.isFolder)
                names.insert(entry.name);
        }
    }
    return names;
}

void ScanEntries(CommandRecord *record, const char *pattern, const char *folder,
                 const char *namePattern, const char *mask, JobArrays *arrays, int *count,
                 const char *subFolder, int pass) {
    const std::string search =
        pass == 0 ? std::string(pattern) : std::string(folder ? folder : "") + kAllFiles;
    std::vector<platform::FindEntry> entries;
    if (!platform::FindFiles(search, entries))
        return;
    const std::set<std::string> searched =
        pass == 0 ? std::set<std::string>() : FolderNames(pattern);
    for (const platform::FindEntry &entry : entries) {
        if (entry.isFolder && !searched.contains(entry.name))
            ScanSubFolder(record, folder, namePattern, entry.name, mask, arrays, count, subFolder);
        // A folder is offered to the tag jobs only: no decoder reads a folder, whatever its name.
        const bool offered = !entry.isHidden && (!entry.isFolder || ForceFor(record) == 1);
        if (pass == 0 && offered && !IsLeftOverOutput(entry.name, namePattern)) {
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

// The outputs that two jobs with different sources would both write, each named once.
std::vector<std::string> FindOutputCollisions(const JobArrays &arrays, int count) {
    char *current = GetCurPathName();
    const std::string currentFolder = current ? current : "";
    FreeString(&current);
    std::unordered_map<std::string, std::string> sourceOfOutput;
    std::set<std::string> named;
    std::vector<std::string> collisions;
    for (int i = 0; i < count; ++i) {
        if (!arrays.outputs[i] || !arrays.sources[i])
            continue;
        const std::string output = ResolvedFullName(arrays.outputs[i], currentFolder);
        const std::string source = ResolvedFullName(arrays.sources[i], currentFolder);
        const auto [owner, added] = sourceOfOutput.emplace(output, source);
        if (!added && owner->second != source && named.insert(output).second)
            collisions.push_back(arrays.outputs[i]);
    }
    return collisions;
}

// Only conversion lines carry an output; two of them on one file would overwrite each other.
int CheckOutputCollision(const CommandRecord *record, const JobArrays &arrays, int count) {
    if (record->mode != kModeConvert && record->mode != kModeCreateBatch)
        return 0;
    const std::vector<std::string> collisions = FindOutputCollisions(arrays, count);
    auto onError = converterState.onError ? converterState.onError : GetHostTable().onError;
    for (const std::string &output : collisions)
        onError(KN_ERR_OUTPUT_COLLISION, reinterpret_cast<intptr_t>(output.c_str()));
    return collisions.empty() ? 0 : KN_ERR_OUTPUT_COLLISION;
}

// A single named file that exists but that no decoder claims is refused for its type, not as
// a missing source.
int NoSourceReason(const CommandRecord *record) {
    const char *input = record->inputName;
    const bool single = input && std::strpbrk(input, "*?") == nullptr;
    return single && ForceFor(record) == 0 &&
                   platform::GetFileKind(input) == platform::FileKind::Regular
               ? KN_ERR_NO_DECODER
               : KN_ERR_NO_SOURCE;
}

// True when a job line gives the name back as written. A line ends at a line break, and the
// tokenizer ends a barred item at a bar that follows a blank or precedes one ("a| |b.wav" would
// come back as two items, of which the second, b.wav, would name another file).
bool JobLineCarries(const char *name) {
    if (name == nullptr)
        return true;
    if (std::strpbrk(name, "\r\n") != nullptr)
        return false;
    std::string item = std::string("|") + name + "| ";
    ArgList tokens;
    SplitCommandLine(item.data(), &tokens);
    return tokens.count == 1 && tokens.items[0] != nullptr &&
           std::strcmp(tokens.items[0], name) == 0;
}

int RefuseUncarriedName(const char *name) {
    auto onError = converterState.onError ? converterState.onError : GetHostTable().onError;
    onError(KN_ERR_NAME_NOT_CARRIED, reinterpret_cast<intptr_t>(name));
    return KN_ERR_NAME_NOT_CARRIED;
}

// Every job line must name its files exactly; the command is refused before anything runs.
int CheckNamesCarried(const JobArrays &arrays, int count) {
    for (int i = 0; i < count; ++i) {
        for (const char *name : {arrays.sources[i], arrays.outputs[i]}) {
            if (!JobLineCarries(name))
                return RefuseUncarriedName(name);
        }
    }
    return 0;
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
    return found == 0 ? NoSourceReason(record) : 0;
}

int WriteJobs(CommandRecord *record, const char *target, const JobArrays &arrays, int count) {
    // A batch file may name a folder that does not exist yet, as an output may.
    if (record->mode == kModeCreateBatch)
        CreateMultiLevelFolder(target);
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
        result = CheckNamesCarried(arrays, count);
    if (result == 0)
        result = CheckOutputCollision(record, arrays, count);
    if (result == 0)
        result = WriteJobs(record, target, arrays, count);
    FreeJobArrays(&arrays, count);
    return result;
}

int WriteSingleLine(const CommandRecord *record, const char *target) {
    for (const char *name : {record->inputName, record->outputName}) {
        if (!JobLineCarries(name))
            return RefuseUncarriedName(name);
    }
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
    char *folder = AddSlash(mainPath);
    FreeString(&mainPath);
    // An installed program's folder is not the user's to write: the job file and its lock go
    // to the user's own state folder then.
    if (folder && !platform::IsFolderWritable(folder)) {
        const std::string userFolder = platform::GetUserStateFolder();
        if (!userFolder.empty()) {
            FreeString(&folder);
            folder = AddSlash(userFolder.c_str());
            CreateMultiLevelFolder(folder);
        }
    }
    AddStr(&folder, kJobFileName);
    FreeString(name);
    *name = folder;
}
