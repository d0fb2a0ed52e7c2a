// The tag plug-in: loading it, lending it the core's string routines, and the -SHOWID and
// -SETID commands built on its tag table.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "cmdline/CommandRecord.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "state/converter_state.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"
#include "tags/idtagger_extend.h"

TagTable *tagTable = nullptr;

namespace {

constexpr const char *kTagLibrary = "idtagger";
constexpr const char *kTagModuleExport = "zorvGetTagModule";
constexpr const char *kSafeWord = "SAFE";
constexpr std::size_t kSafeWordLength = 4;
constexpr std::size_t kShortestSafeArgument = 6;

struct TagFieldMessage {
    int field;
    int code;
};

// The same code stands for the same field in both versions; the original artist and the URL
// exist in v2.x only.
constexpr TagFieldMessage kV1Fields[] = {
    {TAG_FIELD_TITLE, KN_MSG_TAG_TITLE},     {TAG_FIELD_ALBUM, KN_MSG_TAG_ALBUM},
    {TAG_FIELD_ARTIST, KN_MSG_TAG_ARTIST},   {TAG_FIELD_YEAR, KN_MSG_TAG_YEAR},
    {TAG_FIELD_COMMENT, KN_MSG_TAG_COMMENT}, {TAG_FIELD_TRACK, KN_MSG_TAG_TRACK},
    {TAG_FIELD_GENRE, KN_MSG_TAG_GENRE},
};
constexpr TagFieldMessage kV2Fields[] = {
    {TAG_FIELD_TITLE, KN_MSG_TAG_TITLE},
    {TAG_FIELD_ALBUM, KN_MSG_TAG_ALBUM},
    {TAG_FIELD_ORIGINAL_ARTIST, KN_MSG_TAG_ORIG},
    {TAG_FIELD_ARTIST, KN_MSG_TAG_ARTIST},
    {TAG_FIELD_YEAR, KN_MSG_TAG_YEAR},
    {TAG_FIELD_COMMENT, KN_MSG_TAG_COMMENT},
    {TAG_FIELD_TRACK, KN_MSG_TAG_TRACK},
    {TAG_FIELD_GENRE, KN_MSG_TAG_GENRE},
    {TAG_FIELD_URL, KN_MSG_TAG_URL},
};

// The plug-in may call these around its own functions; the core keeps no trace.
void TraceEnter(const char *, const char *) {}
void TraceLeave() {}

char *TagLibraryPath() {
    char *mainPath = GetMainPathName();
    const std::string file = MakePlugInPath(mainPath, {kTagLibrary}) + platform::kLibrarySuffix;
    FreeString(&mainPath);
    char *path = nullptr;
    AssignString(file.c_str(), &path);
    return path;
}

void LendCoreRoutines(TagTable *table, platform::LibraryHandle library) {
    table->libraryHandle = library;
    table->GetTrim = GetTrim;
    table->GetFileExtension = GetFileExtension;
    table->AssignString = AssignString;
    table->AddStr = AddStr;
    table->TraceEnter = TraceEnter;
    table->TraceLeave = TraceLeave;
}

// The names of the slots the core calls that the plug-in left empty, ", " between them.
std::string EmptyTagSlots(const TagTable &table) {
    const std::pair<const char *, bool> slots[] = {
        {"GetTagFileType", table.GetTagFileType != nullptr},
        {"ReadTags", table.ReadTags != nullptr},
        {"WriteTags", table.WriteTags != nullptr},
        {"ClearTags", table.ClearTags != nullptr},
        {"GetTagField", table.GetTagField != nullptr},
        {"CopyTagContents", table.CopyTagContents != nullptr},
        {"SetTagFields", table.SetTagFields != nullptr},
        {"HasTag", table.HasTag != nullptr},
        {"FreeTagText", table.FreeTagText != nullptr},
    };
    std::string names;
    for (const auto &[name, filled] : slots) {
        if (!filled)
            names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

int LoadTagLibrary(const std::string &path) {
    HostCallbacks &host = GetHostTable();
    platform::LibraryHandle library = platform::LoadLibrary(path.c_str());
    if (!library) {
        host.onError(KN_ERR_TAG_LIBRARY_LOAD, TextArg(path.c_str()));
        return 0;
    }
    auto getTagModule =
        reinterpret_cast<zorvGetTagModuleFunc>(platform::GetExport(library, kTagModuleExport));
    if (!getTagModule) {
        host.onError(KN_ERR_TAG_LIBRARY_EXPORT, TextArg(path.c_str()));
        platform::FreeLibrary(library);
        return 0;
    }
    TagTable *table = getTagModule();
    // Without a table, or with one that leaves a function empty, the commands could not run:
    // the program does not start, as without the plug-in.
    const std::string emptySlots = table ? EmptyTagSlots(*table) : std::string();
    if (!table || !emptySlots.empty()) {
        if (table)
            host.onError(KN_ERR_TAG_LIBRARY_SLOTS, TextArg((path + (": " + emptySlots)).c_str()));
        else
            host.onError(KN_ERR_TAG_LIBRARY_EXPORT, TextArg(path.c_str()));
        platform::FreeLibrary(library);
        return 0;
    }
    tagTable = table;
    LendCoreRoutines(tagTable, library);
    return 1;
}

bool ReadTagsOf(const char *file) {
    return file && tagTable && tagTable->GetTagFileType(file) != 0 && tagTable->ReadTags(file) != 0;
}

template <std::size_t N> void ShowTagBlock(const TagFieldMessage (&fields)[N], int kind) {
    for (const TagFieldMessage &entry : fields)
        ShowTagField(entry.field, kind, entry.code);
}

bool BeginsWithSafe(const char *text) {
    for (std::size_t i = 0; i < kSafeWordLength; ++i) {
        if (UpperAscii(text[i]) != kSafeWord[i])
            return false;
    }
    return true;
}

const char *TagFileOf(const CommandRecord *record) {
    return record->outputName ? record->outputName : record->inputName;
}

} // namespace

int initIDTagger() {
    // A second start-up keeps the plug-in that the first one loaded.
    if (tagTable)
        return 1;
    char *path = TagLibraryPath();
    const int result = LoadTagLibrary(path);
    FreeString(&path);
    return result;
}

void DeInitIDTagModule() {
    if (!tagTable)
        return;
    platform::LibraryHandle library = tagTable->libraryHandle;
    tagTable = nullptr;
    platform::FreeLibrary(library);
}

void ShowTagField(int field, int kind, int code) {
    if (!tagTable)
        return;
    char *text = nullptr;
    if (tagTable->GetTagField(&text, field, kind) == 1 && text)
        GetHostTable().onMessage(code, TextArg(text));
    tagTable->FreeTagText(&text);
}

void ShowIdTags(CommandRecord *record) {
    auto onMessage = GetHostTable().onMessage;
    if (!record || !ReadTagsOf(record->inputName)) {
        onMessage(KN_MSG_NO_TAGS, 0);
        return;
    }
    bool shown = false;
    if (tagTable->HasTag(TAG_KIND_V1) == 1) {
        onMessage(KN_MSG_TAG_V1_BLOCK, 0);
        ShowTagBlock(kV1Fields, TAG_KIND_V1);
        shown = true;
    }
    if (tagTable->HasTag(TAG_KIND_V2) == 1) {
        onMessage(KN_MSG_TAG_V2_BLOCK, 0);
        ShowTagBlock(kV2Fields, TAG_KIND_V2);
        shown = true;
    }
    if (!shown)
        onMessage(KN_MSG_NO_TAGS, 0);
}

int SetIdTags(CommandRecord *record) {
    const char *file = record ? TagFileOf(record) : nullptr;
    return SetIdTagsOf(record, file, file);
}

int SetIdTagsOf(CommandRecord *record, const char *file, const char *shownName) {
    TakeCallbackCopies();
    if (!record || !file)
        return KN_RESULT_FAILED;
    if (!tagTable || tagTable->GetTagFileType(file) == 0) {
        converterState.onMessage(KN_MSG_SETID_FILE, TextArg(shownName));
        converterState.onError(KN_ERR_SETID_NO_TAGS, 0);
        return KN_RESULT_DONE;
    }
    ParseSetIdSafe(record);
    // Safe mode starts from the tags the file holds, so only the given fields change.
    if (record->setIdSafe) {
        tagTable->ClearTags();
        tagTable->ReadTags(file);
    }
    if (!ApplySetIdFields(record)) {
        converterState.onError(KN_ERR_SETID_REJECTED, 0);
        return KN_RESULT_FAILED;
    }
    converterState.onMessage(KN_MSG_SETID_FILE, TextArg(shownName));
    if (tagTable->WriteTags(file, 1, 1) == 0) {
        converterState.onError(KN_ERR_SETID_WRITE, 0);
        return KN_RESULT_FAILED;
    }
    converterState.onMessage(KN_MSG_SETID_WRITTEN, 0);
    return KN_RESULT_DONE;
}

void ParseSetIdSafe(CommandRecord *record) {
    record->setIdSafe = 0;
    const char *argument = record->setIdArg;
    if (!argument || std::strlen(argument) < kShortestSafeArgument || !BeginsWithSafe(argument))
        return;
    record->setIdSafe = 1;
    char *rest = nullptr;
    AssignString(argument + kSafeWordLength, &rest);
    FreeString(&record->setIdArg);
    record->setIdArg = rest;
}

int ApplySetIdFields(CommandRecord *record) {
    if (!record->setIdArg || !tagTable)
        return 0;
    return tagTable->SetTagFields(record->setIdArg, record->setIdSafe);
}
