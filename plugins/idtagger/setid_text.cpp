#include "setid_text.h"

#include <algorithm>
#include <cctype>

#include "tag_fields.h"

namespace idtagger {

namespace {

constexpr std::size_t kFieldNameLength = 4;

struct FieldName {
    const char *name;
    int field;
};

constexpr FieldName kFieldNames[] = {
    {"TITL", kFieldTitle}, {"AUTH", kFieldArtist},         {"ALBM", kFieldAlbum},
    {"YEAR", kFieldYear},  {"GENR", kFieldGenre},          {"COMT", kFieldComment},
    {"TRCK", kFieldTrack}, {"ORIG", kFieldOriginalArtist}, {"URLC", kFieldUrl},
};

struct Word {
    std::size_t begin;
    std::size_t end;
};

enum class WordKind { Value, Field, BareField, UnknownField };

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

int FindField(std::string_view name) {
    for (const FieldName &entry : kFieldNames) {
        if (name == entry.name)
            return entry.field;
    }
    return -1;
}

bool LooksLikeFieldName(std::string_view name) {
    return name.size() == kFieldNameLength &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Field names are the upper-case words of the help text, so lower-case words in a value are
// never taken for fields; an upper-case four-letter word before "=" is a field name, known or
// not, so that a misspelt field is refused instead of ending up in the previous value.
WordKind ClassifyWord(std::string_view word) {
    if (word.size() > kFieldNameLength && word[kFieldNameLength] == '=') {
        const std::string_view name = word.substr(0, kFieldNameLength);
        if (FindField(name) >= 0)
            return WordKind::Field;
        if (LooksLikeFieldName(name))
            return WordKind::UnknownField;
    }
    if (FindField(word) >= 0)
        return WordKind::BareField;
    return WordKind::Value;
}

std::vector<Word> SplitWords(std::string_view text) {
    std::vector<Word> words;
    std::size_t pos = 0;
    while ((pos = text.find_first_not_of(' ', pos)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find(' ', pos), text.size());
        words.push_back({pos, end});
        pos = end;
    }
    return words;
}

bool ParseVersion(std::string_view version, SetIdRequest &request) {
    if (EqualsIgnoringCase(version, "idv1"))
        request.v1 = true;
    else if (EqualsIgnoringCase(version, "idv2"))
        request.v2 = true;
    else if (EqualsIgnoringCase(version, "id"))
        request.v1 = request.v2 = true;
    else
        return false;
    return true;
}

bool HasField(const SetIdRequest &request, int field) {
    return std::any_of(request.fields.begin(), request.fields.end(),
                       [field](const SetIdField &entry) { return entry.field == field; });
}

// Each field's value is the text from its "=" up to the end of the last value word after it.
bool ParseFields(std::string_view list, SetIdRequest &request) {
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
    auto closeValue = [&] {
        if (!request.fields.empty())
            request.fields.back().value =
                std::string(TrimBlanks(list.substr(valueBegin, valueEnd - valueBegin)));
    };
    for (const Word &word : SplitWords(list)) {
        const std::string_view text = list.substr(word.begin, word.end - word.begin);
        const WordKind kind = ClassifyWord(text);
        if (kind == WordKind::BareField || kind == WordKind::UnknownField)
            return false;
        if (kind == WordKind::Value) {
            if (request.fields.empty())
                return false;
            valueEnd = word.end;
            continue;
        }
        closeValue();
        const int field = FindField(text.substr(0, kFieldNameLength));
        if (HasField(request, field) || (IsV2OnlyField(field) && !request.v2))
            return false;
        request.fields.push_back({field, {}});
        valueBegin = word.begin + kFieldNameLength + 1;
        valueEnd = word.end;
    }
    closeValue();
    return !request.fields.empty();
}

} // namespace

std::optional<SetIdRequest> ParseSetIdText(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    SetIdRequest request;
    if (!ParseVersion(TrimBlanks(text.substr(0, colon)), request) ||
        !ParseFields(text.substr(colon + 1), request))
        return std::nullopt;
    return request;
}

} // namespace idtagger
