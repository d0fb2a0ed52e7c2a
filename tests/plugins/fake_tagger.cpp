// Fake tag plug-in, installed as plugins/idtagger: keeps the tags of each file in memory for one
// start-up, so that the message sequences of -SHOWID, -SETID and -COPYID can be tested. Switches
// and events: tests/README.md.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kernova/tagger.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

// Index by kind: TAG_KIND_V2 (0) and TAG_KIND_V1 (1).
struct FileTags {
    bool present[2] = {false, false};
    std::map<int, std::string> fields[2];
};

TagTable table;
std::map<std::string, FileTags> tagsByFile;
FileTags readTags;

bool IsV2Only(int field) {
    return field == 3 || field == 12;
}

std::string BaseName(const char *file) {
    return testplugin::WithoutFolder(file ? file : "");
}

std::string UpperCase(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, separator))
        items.push_back(item);
    return items;
}

void LoadStartTags() {
    tagsByFile.clear();
    for (const std::string &item : Split(TextSwitch("TAGS", ""), ';')) {
        std::vector<std::string> parts = Split(item, '|');
        if (parts.size() < 2 || (parts[1] != "v1" && parts[1] != "v2"))
            continue;
        const int kind = parts[1] == "v1" ? TAG_KIND_V1 : TAG_KIND_V2;
        FileTags &tags = tagsByFile[parts[0]];
        tags.present[kind] = true;
        for (size_t i = 2; i < parts.size(); ++i) {
            size_t equals = parts[i].find('=');
            if (equals != std::string::npos)
                tags.fields[kind][std::atoi(parts[i].c_str())] = parts[i].substr(equals + 1);
        }
    }
}

int FieldNumber(const std::string &name) {
    static const std::map<std::string, int> numbers = {{"TITL", 0}, {"AUTH", 1}, {"ALBM", 2},
                                                       {"ORIG", 3}, {"YEAR", 4}, {"COMT", 5},
                                                       {"GENR", 6}, {"TRCK", 8}, {"URLC", 12}};
    auto found = numbers.find(UpperCase(name));
    return found == numbers.end() ? -1 : found->second;
}

int FileTypeOf(const char *file) {
    std::string name = BaseName(file);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return 0;
    const std::string extension = UpperCase(name.substr(dot + 1));
    for (const std::string &item : Split(TextSwitch("FILE_TYPES", "mp3=6,tst=2"), ',')) {
        size_t equals = item.find('=');
        if (equals != std::string::npos && UpperCase(item.substr(0, equals)) == extension)
            return std::atoi(item.c_str() + equals + 1);
    }
    return 0;
}

int GetTagFileType(const char *file) {
    LogEvent("GetTagFileType " + BaseName(file));
    return FileTypeOf(file);
}

int ReadTags(const char *file) {
    LogEvent("ReadTags " + BaseName(file));
    if (NumberSwitch("READ_FAIL", 0) || FileTypeOf(file) == 0)
        return 0;
    auto found = tagsByFile.find(BaseName(file));
    readTags = found == tagsByFile.end() ? FileTags{} : found->second;
    return 1;
}

int WriteTags(const char *file, int writeV1, int writeV2) {
    LogEvent("WriteTags " + BaseName(file) + " " + Number(writeV1) + " " + Number(writeV2));
    if (NumberSwitch("WRITE_FAIL", 0))
        return 0;
    FileTags &stored = tagsByFile[BaseName(file)];
    for (int kind : {TAG_KIND_V2, TAG_KIND_V1}) {
        if (kind == TAG_KIND_V1 ? writeV1 : writeV2) {
            stored.present[kind] = readTags.present[kind];
            stored.fields[kind] = readTags.fields[kind];
        }
    }
    return 1;
}

int ClearTags() {
    LogEvent("ClearTags");
    readTags = FileTags{};
    return 1;
}

int GetTagField(char **text, int field, int kind) {
    if (text == nullptr || (kind != TAG_KIND_V1 && kind != TAG_KIND_V2) || !readTags.present[kind])
        return 0;
    auto found = readTags.fields[kind].find(field);
    if (found == readTags.fields[kind].end() || found->second.empty())
        return 0;
    delete[] * text;
    *text = new char[found->second.size() + 1];
    std::memcpy(*text, found->second.c_str(), found->second.size() + 1);
    return 1;
}

int CopyTagContents(int kind) {
    LogEvent("CopyTagContents " + Number(kind));
    if (kind != TAG_KIND_V1 && kind != TAG_KIND_V2)
        return 0;
    const int other = kind == TAG_KIND_V1 ? TAG_KIND_V2 : TAG_KIND_V1;
    readTags.present[other] = true;
    readTags.fields[other].clear();
    for (const auto &[field, value] : readTags.fields[kind]) {
        if (other == TAG_KIND_V2 || !IsV2Only(field))
            readTags.fields[other][field] = value;
    }
    return 1;
}

// Parses "idv1: TITL=x AUTH=y" into the versions it names and its fields; false when refused.
bool ParseSetText(const std::string &text, std::vector<int> &kinds,
                  std::vector<std::pair<int, std::string>> &fields) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    std::istringstream versionWords(text.substr(0, colon));
    std::string version;
    versionWords >> version;
    version = UpperCase(version);
    if (version == "IDV1")
        kinds = {TAG_KIND_V1};
    else if (version == "IDV2")
        kinds = {TAG_KIND_V2};
    else if (version == "ID")
        kinds = {TAG_KIND_V1, TAG_KIND_V2};
    else
        return false;
    std::istringstream words(text.substr(colon + 1));
    std::string word;
    while (words >> word) {
        size_t equals = word.find('=');
        int field = equals == std::string::npos ? -1 : FieldNumber(word.substr(0, equals));
        if (field < 0 || (version == "IDV1" && IsV2Only(field)))
            return false;
        fields.emplace_back(field, word.substr(equals + 1));
    }
    return !fields.empty();
}

int SetTagFields(const char *arg, int safe) {
    const std::string text = arg ? arg : "";
    LogEvent("SetTagFields safe=" + Number(safe) + " " + text);
    std::vector<int> kinds;
    std::vector<std::pair<int, std::string>> fields;
    if (!ParseSetText(text, kinds, fields))
        return 0;
    for (int kind : kinds) {
        readTags.present[kind] = true;
        for (const auto &[field, value] : fields) {
            if (kind == TAG_KIND_V2 || !IsV2Only(field))
                readTags.fields[kind][field] = value;
        }
    }
    return 1;
}

int HasTag(int kind) {
    return (kind == TAG_KIND_V1 || kind == TAG_KIND_V2) && readTags.present[kind] ? 1 : 0;
}

// Texts given out are allocated with new[], like the core's text variables.
void FreeTagText(char **text) {
    LogEvent("FreeTagText");
    if (text == nullptr)
        return;
    delete[] * text;
    *text = nullptr;
}

TagTable *BuildTable() {
    LoadStartTags();
    readTags = FileTags{};
    table = TagTable{};
    table.GetTagFileType = GetTagFileType;
    table.ReadTags = ReadTags;
    table.WriteTags = WriteTags;
    table.ClearTags = ClearTags;
    table.GetTagField = GetTagField;
    table.CopyTagContents = CopyTagContents;
    table.SetTagFields = SetTagFields;
    table.HasTag = HasTag;
    table.FreeTagText = FreeTagText;
    EmptyIfAsked("GetTagFileType", table.GetTagFileType);
    EmptyIfAsked("ReadTags", table.ReadTags);
    EmptyIfAsked("WriteTags", table.WriteTags);
    EmptyIfAsked("ClearTags", table.ClearTags);
    EmptyIfAsked("GetTagField", table.GetTagField);
    EmptyIfAsked("CopyTagContents", table.CopyTagContents);
    EmptyIfAsked("SetTagFields", table.SetTagFields);
    EmptyIfAsked("HasTag", table.HasTag);
    EmptyIfAsked("FreeTagText", table.FreeTagText);
    return &table;
}

} // namespace

KERNOVA_EXPORT TagTable *zorvGetTagModule() {
    LogEvent("zorvGetTagModule");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildTable();
}
