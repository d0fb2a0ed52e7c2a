#include "cmdline/CommandRecord.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmdline/ArgList.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

// atol of a 32-bit system: a non-number gives 0, an overflow stops at the int limits.
int ParseNumber(const char *text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Leaves the field alone when the key is missing or has no argument.
void TakeNumber(const ArgList *list, const char *key, int *field) {
    if (!IsKeyPresent(key, list))
        return;
    char *argument = nullptr;
    GetKeyArgument(list, key, &argument);
    if (argument != nullptr)
        *field = ParseNumber(argument);
    FreeString(&argument);
}

void TakeCopyId(const ArgList *list, CommandRecord *record) {
    record->copyId = IsKeyPresent("-COPYID", list);
    if (record->copyId)
        GetKeyArgument(list, "-COPYID", &record->copyIdArg);
}

void TakeSetId(const ArgList *list, CommandRecord *record) {
    record->setId = IsKeyPresent("-SETID", list);
    GetKeyArgument(list, "-SETID", &record->setIdArg);
}

// -RECURSIVE alone searches the sub-folders; with its argument (only COPY passes the key
// check) it also rebuilds them under the output folder.
void TakeRecursive(const ArgList *list, CommandRecord *record) {
    if (!IsKeyPresent("-RECURSIVE", list))
        return;
    char *argument = nullptr;
    GetKeyArgument(list, "-RECURSIVE", &argument);
    record->recursive = argument != nullptr ? 2 : 1;
    FreeString(&argument);
}

void TakeCodecNames(const ArgList *list, CommandRecord *record) {
    GetKeyArgument(list, "-ENC", &record->encoderName);
    GetKeyArgument(list, "-ENCPARAM", &record->encoderParams);
    GetKeyArgument(list, "-DECPARAM", &record->decoderParams);
    GetKeyArgument(list, "-DEC", &record->decoderName);
}

void ParseCreateBatch(const ArgList *list, CommandRecord *record) {
    record->mode = kModeCreateBatch;
    GetKeyArgument(list, "-CREATEBATCH", &record->batchName);
    GetKeyArgument(list, "-I", &record->inputName);
    GetKeyArgument(list, "-O", &record->outputName);
    TakeCodecNames(list, record);
    TakeCopyId(list, record);
    TakeRecursive(list, record);
    record->deleteSource = IsKeyPresent("-DELSOURCE", list);
}

void ParseShowId(const ArgList *list, CommandRecord *record) {
    record->mode = kModeShowId;
    GetKeyArgument(list, "-I", &record->inputName);
    TakeRecursive(list, record);
}

void ParseConvert(const ArgList *list, CommandRecord *record) {
    record->mode = kModeConvert;
    GetKeyArgument(list, "-I", &record->inputName);
    GetKeyArgument(list, "-O", &record->outputName);
    TakeCodecNames(list, record);
    TakeCopyId(list, record);
    if (!record->copyId)
        TakeSetId(list, record);
    TakeRecursive(list, record);
    record->stream = IsKeyPresent("-STREAM", list);
    record->deleteSource = IsKeyPresent("-DELSOURCE", list);
}

// The modes chosen by one key each; convert when none of them is present.
void ParseByKey(const ArgList *list, CommandRecord *record) {
    if (IsKeyPresent("-LISTENC", list)) {
        record->mode = kModeListEncoders;
    } else if (IsKeyPresent("-LISTDEC", list)) {
        record->mode = kModeListDecoders;
    } else if (IsKeyPresent("-TESTENC", list)) {
        GetKeyArgument(list, "-I", &record->inputName);
        GetKeyArgument(list, "-O", &record->outputName);
        GetKeyArgument(list, "-ENC", &record->encoderName);
        record->mode = kModeTestEncoder;
    } else if (IsKeyPresent("-HELPENC", list)) {
        record->mode = kModeEncoderHelp;
        GetKeyArgument(list, "-HELPENC", &record->encoderName);
    } else if (IsKeyPresent("-HELP", list)) {
        record->mode = kModeHelp;
        GetKeyArgument(list, "-HELP", &record->helpArg);
    } else if (IsKeyPresent("-BATCH", list)) {
        record->mode = kModeRunBatch;
        GetKeyArgument(list, "-BATCH", &record->inputName);
    } else if (IsKeyPresent("-PLAY", list)) {
        record->mode = kModePlay;
        GetKeyArgument(list, "-I", &record->inputName);
        GetKeyArgument(list, "-DECPARAM", &record->decoderParams);
        GetKeyArgument(list, "-DEC", &record->decoderName);
        record->stream = IsKeyPresent("-STREAM", list);
    } else {
        ParseConvert(list, record);
    }
}

void ChooseMode(const ArgList *list, CommandRecord *record) {
    if (IsKeyPresent("-CREATEBATCH", list)) {
        ParseCreateBatch(list, record);
        return;
    }
    if (IsKeyPresent("-SHOWID", list)) {
        ParseShowId(list, record);
        return;
    }
    if (IsKeyPresent("-SETID", list)) {
        record->setId = 1;
        GetKeyArgument(list, "-SETID", &record->setIdArg);
        // Tags set in place: a single pass over the named files, no sub-folders.
        if (!IsKeyPresent("-O", list)) {
            record->mode = kModeSetId;
            GetKeyArgument(list, "-I", &record->inputName);
            return;
        }
        TakeRecursive(list, record);
    }
    ParseByKey(list, record);
}

// A name that ends with the folder separator means every file of that folder.
void CompleteFolderName(char **field) {
    if (*field == nullptr)
        return;
    char *file = nullptr;
    ExtractOnlyFileName(*field, &file);
    if (file == nullptr)
        AddStr(field, "*");
    FreeString(&file);
}

// A folder named as the input without the final separator means every file of it too; a
// stream's input is no file name.
void CompleteInputFolder(CommandRecord *record) {
    char *input = record->inputName;
    if (input == nullptr || record->stream || std::strpbrk(input, "*?") != nullptr ||
        platform::GetFileKind(input) != platform::FileKind::Folder)
        return;
    char *folder = AddSlash(input);
    FreeString(&record->inputName);
    record->inputName = folder;
    CompleteFolderName(&record->inputName);
}

void AppendItem(const char *text, char **line) {
    std::string item = "|";
    item += text;
    item += "| ";
    AddStr(line, item.c_str());
}

void AppendNumber(const char *key, int value, char **line) {
    AppendKey(key, std::to_string(value).c_str(), line);
}

void AppendCodecGroup(const CommandRecord &record, char **line) {
    AppendKey("-ENC", record.encoderName, line);
    AppendKeyWithArg("-ENCPARAM", record.encoderParams, line);
    AppendKeyWithArg("-DECPARAM", record.decoderParams, line);
    AppendKeyWithArg("-DEC", record.decoderName, line);
}

void AppendTagGroup(const CommandRecord &record, char **line) {
    if (record.copyId)
        AppendKey("-COPYID", record.copyIdArg, line);
    else if (record.setId)
        AppendKey("-SETID", record.setIdArg, line);
}

void AppendRecursiveGroup(const CommandRecord &record, char **line) {
    if (record.recursive == 1)
        AppendKey("-RECURSIVE", nullptr, line);
    else if (record.recursive == 2)
        AppendKey("-RECURSIVE", "copy", line);
}

void AppendOptionGroup(const CommandRecord &record, char **line) {
    if (record.debug)
        AppendKey("-DEBUG", nullptr, line);
    if (record.cpuPriority != 1)
        AppendNumber("-CPU", record.cpuPriority, line);
    if (record.fixFreq != 0)
        AppendNumber("-FIXFREQ", record.fixFreq, line);
    if (record.previewSeconds > 0)
        AppendNumber("-PREVIEW", record.previewSeconds, line);
    if (winampFolder != nullptr)
        AppendKey("-WINAMP", winampFolder, line);
}

// The items of a conversion, which a convert job and a batch file's creation share.
void AppendConversionItems(const CommandRecord &record, char **line) {
    AppendKey("-I", record.inputName, line);
    AppendKey("-O", record.outputName, line);
    AppendCodecGroup(record, line);
    AppendTagGroup(record, line);
    AppendRecursiveGroup(record, line);
    if (record.deleteSource)
        AppendKey("-DELSOURCE", nullptr, line);
}

void AppendConvertItems(const CommandRecord &record, char **line) {
    AppendConversionItems(record, line);
    if (record.stream)
        AppendKey("-STREAM", nullptr, line);
}

void AppendCreateBatchItems(const CommandRecord &record, char **line) {
    AppendKey("-CREATEBATCH", record.batchName, line);
    AppendConversionItems(record, line);
}

void AppendPlayItems(const CommandRecord &record, char **line) {
    AppendKey("-I", record.inputName, line);
    AppendKeyWithArg("-DEC", record.decoderName, line);
    AppendKeyWithArg("-DECPARAM", record.decoderParams, line);
    AppendKey("-PLAY", nullptr, line);
    if (record.stream)
        AppendKey("-STREAM", nullptr, line);
}

void AppendModeItems(const CommandRecord &record, char **line) {
    switch (record.mode) {
    case kModeConvert:
        AppendConvertItems(record, line);
        break;
    case kModeListEncoders:
        AppendKey("-LISTENC", nullptr, line);
        break;
    case kModeListDecoders:
        AppendKey("-LISTDEC", nullptr, line);
        break;
    case kModeShowId:
        AppendKey("-I", record.inputName, line);
        AppendKey("-SHOWID", nullptr, line);
        AppendRecursiveGroup(record, line);
        break;
    case kModeSetId:
        AppendKey("-I", record.inputName, line);
        AppendRecursiveGroup(record, line);
        AppendTagGroup(record, line);
        break;
    case kModeCreateBatch:
        AppendCreateBatchItems(record, line);
        break;
    case kModeRunBatch:
        AppendKey("-BATCH", record.inputName, line);
        break;
    case kModeTestEncoder:
        AppendKey("-TESTENC", nullptr, line);
        AppendKey("-I", record.inputName, line);
        AppendKey("-O", record.outputName, line);
        AppendCodecGroup(record, line);
        break;
    case kModeEncoderHelp:
        AppendKey("-HELPENC", record.encoderName, line);
        break;
    case kModeHelp:
        AppendKey("-HELP", record.helpArg, line);
        break;
    case kModePlay:
        AppendPlayItems(record, line);
        break;
    default:
        break;
    }
}

} // namespace

void ParseCommandLine(const ArgList *list, CommandRecord *record) {
    *record = CommandRecord{};
    record->cpuPriority = 1;
    GetKeyArgument(list, "-WINAMP", &winampFolder);
    TakeNumber(list, "-CPU", &record->cpuPriority);
    TakeNumber(list, "-PREVIEW", &record->previewSeconds);
    TakeNumber(list, "-FIXFREQ", &record->fixFreq);
    ChooseMode(list, record);
    // The encoder test writes into the output folder as given.
    if (record->mode != kModeTestEncoder) {
        CompleteFolderName(&record->inputName);
        CompleteInputFolder(record);
        CompleteFolderName(&record->outputName);
    }
    record->debug = IsKeyPresent("-DEBUG", list);
    BuildCommandLine(record);
    if (record->debug && record->commandLine != nullptr)
        std::printf("Debug:\n%s\n------\n", record->commandLine);
}

void ClearCommandRecord(CommandRecord *record) {
    char **texts[] = {&record->commandLine,   &record->reserved3,     &record->inputName,
                      &record->outputName,    &record->batchName,     &record->encoderName,
                      &record->encoderParams, &record->decoderParams, &record->decoderName,
                      &record->setIdArg,      &record->copyIdArg,     &record->helpArg};
    for (char **text : texts)
        FreeString(text);
    *record = CommandRecord{};
    record->cpuPriority = 1;
}

void BuildCommandLine(CommandRecord *record) {
    AppendModeItems(*record, &record->commandLine);
    AppendOptionGroup(*record, &record->commandLine);
    GetTrim(&record->commandLine);
}

void AppendKey(const char *key, const char *argument, char **line) {
    if (key == nullptr)
        return;
    AppendItem(key, line);
    if (argument != nullptr)
        AppendItem(argument, line);
}

void AppendKeyWithArg(const char *key, const char *argument, char **line) {
    if (argument != nullptr)
        AppendKey(key, argument, line);
}
