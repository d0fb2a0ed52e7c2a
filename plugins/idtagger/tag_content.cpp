#include "tag_content.h"

#include "tag_fields.h"

namespace idtagger {

namespace {

// The first name is written; the others are read when it is missing, since Vorbis comments
// also carry the year and the comment under these names.
struct FieldKeys {
    int field;
    const char *keys[2];
};

constexpr FieldKeys kFieldKeys[] = {
    {kFieldTitle, {"TITLE"}},       {kFieldArtist, {"ARTIST"}},
    {kFieldAlbum, {"ALBUM"}},       {kFieldOriginalArtist, {"ORIGINALARTIST"}},
    {kFieldYear, {"DATE", "YEAR"}}, {kFieldComment, {"COMMENT", "DESCRIPTION"}},
    {kFieldGenre, {"GENRE"}},       {kFieldTrack, {"TRACKNUMBER"}},
    {kFieldUrl, {"COPYRIGHTURL"}},
};

constexpr int kV1Fields[] = {kFieldTitle,   kFieldArtist, kFieldAlbum, kFieldYear,
                             kFieldComment, kFieldGenre,  kFieldTrack};

const FieldKeys *FindKeys(int field) {
    for (const FieldKeys &entry : kFieldKeys) {
        if (entry.field == field)
            return &entry;
    }
    return nullptr;
}

const TagLib::StringList *FindValues(const TagLib::PropertyMap &fields, int field) {
    const FieldKeys *keys = FindKeys(field);
    if (!keys)
        return nullptr;
    for (const char *key : keys->keys) {
        if (key && fields.contains(key) && !fields[key].isEmpty())
            return &fields[key];
    }
    return nullptr;
}

void SetField(TagLib::PropertyMap &fields, int field, const std::string &value) {
    const FieldKeys *keys = FindKeys(field);
    if (value.empty()) {
        for (const char *key : keys->keys) {
            if (key)
                fields.erase(key);
        }
        return;
    }
    fields.replace(keys->keys[0], TagLib::StringList(TextFromCommandLine(value)));
}

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8SequenceLength(const std::string &text, std::size_t i) {
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;   // no overlong forms
        high = lead == 0xED ? 0x9F : high; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool IsUtf8(const std::string &text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

} // namespace

std::string FieldText(const TagContent &content, int field) {
    const TagLib::StringList *values = FindValues(content.fields, field);
    return values ? values->toString("; ").to8Bit(true) : std::string();
}

TagLib::PropertyMap WithFirstNames(const TagLib::PropertyMap &fields) {
    TagLib::PropertyMap renamed = fields;
    for (const FieldKeys &entry : kFieldKeys) {
        const TagLib::StringList *values = FindValues(fields, entry.field);
        if (!values || fields.contains(entry.keys[0]))
            continue;
        renamed.replace(entry.keys[0], *values);
        for (const char *key : entry.keys) {
            if (key && key != entry.keys[0])
                renamed.erase(key);
        }
    }
    return renamed;
}

TagLib::PropertyMap V1Fields(const TagLib::PropertyMap &fields) {
    TagLib::PropertyMap v1;
    for (int field : kV1Fields) {
        if (const TagLib::StringList *values = FindValues(fields, field))
            v1.replace(FindKeys(field)->keys[0], TagLib::StringList(values->front()));
    }
    return v1;
}

void CopyContent(const TagContent &from, TagContent &to, bool toV1) {
    to.present = from.present;
    to.pictures.clear();
    if (toV1) {
        to.fields = V1Fields(from.fields);
        return;
    }
    to.fields = from.fields;
}

void ApplyRequest(const SetIdRequest &request, bool safe, bool isV1, TagContent &content) {
    if (!safe) {
        content = TagContent();
        content.replaceWhole = true;
    }
    content.present = true;
    for (const SetIdField &entry : request.fields) {
        if (!(isV1 && IsV2OnlyField(entry.field)))
            SetField(content.fields, entry.field, entry.value);
    }
}

TagLib::String TextFromCommandLine(const std::string &text) {
    return TagLib::String(text, IsUtf8(text) ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

} // namespace idtagger
