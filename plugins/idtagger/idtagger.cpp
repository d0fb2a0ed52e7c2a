// The tag plug-in: ID3v1.1 and ID3v2 in MPEG audio files, and the native tags of the other
// formats our codecs write, through TagLib.
//
// Kinds: 1 is ID v1.1 (ID3v1.1, in MPEG files only, or an ID3v1 tag that a FLAC file carries),
// 0 is ID v2.x: ID3v2 in MPEG, WAV and AIFF files, the Vorbis comment in FLAC and Ogg files,
// iTunes atoms in MPEG-4 files, APEv2 in WavPack, Monkey's Audio and Musepack files, the
// attributes of Windows Media Audio files.
// GetTagFileType's numbers are listed in tag_files.h: 0 cannot carry tags, 1 MPEG audio,
// 6 WAV, 7 AIFF, 8 FLAC, 9 Ogg Vorbis, 10 Ogg Opus, 11 MPEG-4 audio, 12 WavPack, 13 Monkey's
// Audio, 14 Musepack, 15 Windows Media Audio.
//
// Field numbers, with the ID3v2 frame and the common property name that Vorbis comments use:
//   0 title TIT2 TITLE          1 artist TPE1 ARTIST        2 album TALB ALBUM
//   3 original artist TOPE ORIGINALARTIST                   4 year TDRC (v2.3: TYER) DATE
//   5 comment COMM COMMENT      6 genre TCON GENRE          8 track TRCK TRACKNUMBER
//   12 copyright URL WCOP COPYRIGHTURL
// ID v1.1 holds 0, 1, 2, 4, 5, 6 and 8. Texts are UTF-8 both ways.
//
// The tags read stay in memory until the next ReadTags or ClearTags, with every other field
// and the pictures of v2.x, so that copying a tag to another format keeps all of it.
#include <optional>
#include <string>

#include "kernova/tagger.h"
#include "setid_text.h"
#include "tag_content.h"
#include "tag_fields.h"
#include "tag_files.h"

using namespace idtagger;

namespace {

struct TaggerState {
    TagContent v1;
    TagContent v2;
    bool fileHasV1 = false;
    bool fileHasV2 = false;
    // The last -SETID text applied: WriteTags then writes only the versions it names.
    std::optional<SetIdRequest> request;
    bool requestSafe = false;
};

TaggerState state;

// No exception may cross the table into the core.
template <typename Call> int Guarded(Call &&call) {
    try {
        return call();
    } catch (...) {
        return 0;
    }
}

TagContent *ContentOf(int kind) {
    if (kind == TAG_KIND_V1)
        return &state.v1;
    return kind == TAG_KIND_V2 ? &state.v2 : nullptr;
}

// The native tag of a file without ID v1.1 carries a v1.1 write: a -SETID idv1 text changes
// the native tag as it was read, and a copy from a v1.1-only source fills it.
const TagContent *NativeContent(bool writeV1, bool writeV2, TagContent &scratch) {
    if (writeV2 && state.v2.present)
        return &state.v2;
    if (!writeV1)
        return nullptr;
    if (state.request) {
        scratch = state.requestSafe ? state.v2 : TagContent();
        ApplyRequest(*state.request, state.requestSafe, false, scratch);
        return &scratch;
    }
    return state.v1.present ? &state.v1 : nullptr;
}

int WriteFileTags(const char *file, bool writeV1, bool writeV2) {
    const int type = DetectTagFileType(file);
    if (type == kTypeNone)
        return 0;
    if (state.request) {
        writeV1 = writeV1 && state.request->v1;
        writeV2 = writeV2 && state.request->v2;
    }
    WritePlan plan;
    TagContent scratch;
    if (HasOwnV1(type)) {
        plan.v1 = writeV1 && state.v1.present ? &state.v1 : nullptr;
        plan.v2 = writeV2 && state.v2.present ? &state.v2 : nullptr;
    } else {
        plan.v2 = NativeContent(writeV1, writeV2, scratch);
    }
    // Nothing held for the versions asked: the file keeps its tags.
    if (!plan.v1 && !plan.v2)
        return 1;
    return WriteTagFile(file, type, plan) ? 1 : 0;
}

int ReadFileTags(const char *file) {
    state = TaggerState();
    const int type = DetectTagFileType(file);
    FileTags tags;
    if (type == kTypeNone || !ReadTagFile(file, type, tags))
        return 0;
    state.v1 = std::move(tags.v1);
    state.v2 = std::move(tags.v2);
    state.fileHasV1 = tags.hasV1;
    state.fileHasV2 = tags.hasV2;
    return 1;
}

int ApplySetIdText(const char *arg, bool safe) {
    std::optional<SetIdRequest> request = ParseSetIdText(arg);
    if (!request)
        return 0;
    if (request->v1)
        ApplyRequest(*request, safe, true, state.v1);
    if (request->v2)
        ApplyRequest(*request, safe, false, state.v2);
    state.request = std::move(request);
    state.requestSafe = safe;
    return 1;
}

// Texts given to the core are text variables: allocated with new[], the old one released.
int HandOutText(const std::string &value, char **text) {
    char *copy = new char[value.size() + 1];
    value.copy(copy, value.size());
    copy[value.size()] = '\0';
    delete[] * text;
    *text = copy;
    return 1;
}

int GetTagFileType(const char *file) {
    return Guarded([&] { return file ? DetectTagFileType(file) : 0; });
}

int ReadTags(const char *file) {
    return Guarded([&] { return file ? ReadFileTags(file) : 0; });
}

int WriteTags(const char *file, int writeV1, int writeV2) {
    return Guarded([&] { return file ? WriteFileTags(file, writeV1 != 0, writeV2 != 0) : 0; });
}

int ClearTags() {
    state = TaggerState();
    return 1;
}

int GetTagField(char **text, int field, int kind) {
    return Guarded([&] {
        const TagContent *content = ContentOf(kind);
        if (!text || !content || (kind == TAG_KIND_V1 && IsV2OnlyField(field)))
            return 0;
        const std::string value = FieldText(*content, field);
        return value.empty() ? 0 : HandOutText(value, text);
    });
}

// The source version's content becomes what WriteTags writes for both versions.
int CopyTagContents(int kind) {
    return Guarded([&] {
        if (kind == TAG_KIND_V1)
            CopyContent(state.v1, state.v2, false);
        else if (kind == TAG_KIND_V2)
            CopyContent(state.v2, state.v1, true);
        else
            return 0;
        return 1;
    });
}

int SetTagFields(const char *arg, int safe) {
    return Guarded([&] { return arg ? ApplySetIdText(arg, safe != 0) : 0; });
}

int HasTag(int kind) {
    if (kind == TAG_KIND_V1)
        return state.fileHasV1 ? 1 : 0;
    return kind == TAG_KIND_V2 && state.fileHasV2 ? 1 : 0;
}

void FreeTagText(char **text) {
    if (!text)
        return;
    delete[] * text;
    *text = nullptr;
}

TagTable tagTable = [] {
    TagTable table{};
    table.GetTagFileType = GetTagFileType;
    table.ReadTags = ReadTags;
    table.WriteTags = WriteTags;
    table.ClearTags = ClearTags;
    table.GetTagField = GetTagField;
    table.CopyTagContents = CopyTagContents;
    table.SetTagFields = SetTagFields;
    table.HasTag = HasTag;
    table.FreeTagText = FreeTagText;
    return table;
}();

} // namespace

KERNOVA_EXPORT TagTable *zorvGetTagModule() {
    return &tagTable;
}
