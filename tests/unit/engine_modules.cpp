// Module records, extension lists, the three module lists and the choice of a module by a
// file's extension.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/QZ_Convertor.h"
#include "modules/QZ_ExtList.h"
#include "modules/loader.h"
#include "support/All_Func.h"
#include "tests/e2e/harness.h"

namespace {

// An extension-list block: pairs of texts, each closed by a zero byte, then one more zero.
std::string Block(const std::vector<std::pair<std::string, std::string>> &pairs) {
    std::string block;
    for (const auto &[extension, description] : pairs)
        block += extension + '\0' + description + '\0';
    return block + '\0';
}

ModuleRecord *NewRecord(const std::string &fileName, const std::string &block) {
    auto *record = new ModuleRecord{};
    AssignString(fileName.c_str(), &record->fileName);
    StrToExtList(record, block.c_str());
    return record;
}

// Encoders keep their single extension as they gave it.
ModuleRecord *NewEncoderRecord(const std::string &fileName, const char *extension) {
    auto *record = new ModuleRecord{};
    AssignString(fileName.c_str(), &record->fileName);
    AddExtToList(record, Block({{extension, "Audio"}}).c_str());
    AssignString(extension, &record->extensions[0]);
    return record;
}

std::vector<std::string> Entries(const ModuleRecord &record, bool descriptions) {
    std::vector<std::string> texts;
    char **array = descriptions ? record.extensionDescriptions : record.extensions;
    for (int i = 0; i < record.extensionCount; ++i)
        texts.push_back(array[i] ? array[i] : "(null)");
    return texts;
}

class ModuleListsTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearAll(); }
    void TearDown() override { ClearAll(); }
    static void ClearAll() {
        for (int kind : {kInputModules, kWinampInputModules, kOutputModules})
            ClearModListStruct(GetModuleList(kind));
    }
    static void Add(int kind, ModuleRecord *record) { AddMdlInList(GetModuleList(kind), record); }
};

// Owns a returned text variable.
struct Text {
    char *text = nullptr;
    ~Text() { FreeString(&text); }
    std::string str() const { return text ? text : "(null)"; }
};

TEST(ExtensionListTest, PairsBecomeEntriesWithUpperCaseExtensionsAndUnchangedDescriptions) {
    ModuleRecord record{};
    StrToExtList(&record, Block({{"mp3;mp2", "MPEG Audio Files"}, {"wav", "Wave"}}).c_str());
    EXPECT_EQ(Entries(record, false), (std::vector<std::string>{"MP3;MP2", "WAV"}));
    EXPECT_EQ(Entries(record, true), (std::vector<std::string>{"MPEG Audio Files", "Wave"}));
    ClearModStruct(&record);
    EXPECT_EQ(record.extensionCount, 0);
    EXPECT_EQ(record.extensions, nullptr);
}

TEST(ExtensionListTest, AddExtToListReturnsTheBytesOfOnePair) {
    ModuleRecord record{};
    const std::string block = Block({{"ogg", "Ogg Vorbis"}, {"x", "y"}});
    EXPECT_EQ(AddExtToList(&record, block.c_str()), 4u + 11u);
    EXPECT_EQ(AddExtToList(&record, block.c_str() + 15), 4u);
    EXPECT_EQ(AddExtToList(&record, block.c_str() + 19), 0u);
    EXPECT_EQ(Entries(record, false), (std::vector<std::string>{"OGG", "X"}));
    ClearModStruct(&record);
}

TEST(ExtensionListTest, OnlyAsciiLettersAreUpperCased) {
    ModuleRecord record{};
    StrToExtList(&record, Block({{"m\xe4p-1;a_z", "d"}}).c_str());
    EXPECT_EQ(Entries(record, false), (std::vector<std::string>{"M\xe4P-1;A_Z"}));
    ClearModStruct(&record);
}

TEST(ExtensionListTest, EmptyOrNullTextAddsNothing) {
    ModuleRecord record{};
    const char empty[] = {'\0', '\0'};
    EXPECT_EQ(AddExtToList(&record, empty), 0u);
    StrToExtList(&record, empty);
    StrToExtList(&record, nullptr);
    EXPECT_EQ(record.extensionCount, 0);
    ClearModStruct(&record);
}

// The block ends right after an extension text: read exactly that many bytes, no further.
TEST(ExtensionListTest, LastPairWithoutDescriptionGetsAnEmptyOneAndEndsTheList) {
    const char bytes[] = {'m', 'p', '3', '\0', 'M', '\0', 'w', 'a', 'v', '\0', '\0'};
    std::vector<char> exact(bytes, bytes + sizeof bytes);
    ModuleRecord record{};
    StrToExtList(&record, exact.data());
    EXPECT_EQ(Entries(record, false), (std::vector<std::string>{"MP3", "WAV"}));
    EXPECT_EQ(Entries(record, true), (std::vector<std::string>{"M", ""}));
    ClearModStruct(&record);
}

TEST(ExtensionListTest, EntriesBeyond255AreSkippedAndTheScanStillEnds) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 300; ++i)
        pairs.emplace_back("e" + std::to_string(i), "d" + std::to_string(i));
    ModuleRecord record{};
    StrToExtList(&record, Block(pairs).c_str());
    ASSERT_EQ(record.extensionCount, 255);
    EXPECT_STREQ(record.extensions[254], "E254");
    EXPECT_STREQ(record.extensionDescriptions[254], "d254");
    ClearModStruct(&record);
}

TEST_F(ModuleListsTest, GetModuleListGivesThreeDistinctListsAndNullForOtherKinds) {
    struct Case {
        int kind;
        bool exists;
    } cases[] = {{0, true}, {1, true}, {2, true}, {3, false}, {-1, false}, {255, false}};
    for (const Case &c : cases)
        EXPECT_EQ(GetModuleList(c.kind) != nullptr, c.exists) << "kind " << c.kind;
    EXPECT_NE(GetModuleList(0), GetModuleList(1));
    EXPECT_NE(GetModuleList(1), GetModuleList(2));
    EXPECT_NE(GetModuleList(0), GetModuleList(2));
}

TEST_F(ModuleListsTest, A256thModuleIsNotAddedAndAClearedListCanBeFilledAgain) {
    ModuleList *list = GetModuleList(kInputModules);
    for (int i = 0; i < 255; ++i)
        Add(kInputModules, NewRecord(("m" + std::to_string(i)).c_str(), Block({})));
    ASSERT_EQ(list->count, 255);
    ModuleRecord *extra = NewRecord("extra", Block({}));
    AddMdlInList(list, extra);
    EXPECT_EQ(list->count, 255);
    EXPECT_STREQ(list->modules[254]->fileName, "m254");
    ClearModStruct(extra);
    delete extra;

    ClearModListStruct(list);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->modules, nullptr);
    Add(kInputModules, NewRecord("again", Block({{"a", "b"}})));
    ASSERT_EQ(list->count, 1);
    EXPECT_STREQ(list->modules[0]->fileName, "again");
}

TEST_F(ModuleListsTest, IsInModExtFindsTheEntryThatNamesTheExtension) {
    Add(kInputModules,
        NewRecord("d", Block({{"ogg", "Ogg"}, {"mp3;mp2", "MPEG"}, {"MP3;;MP1", "Old"}})));
    const ModuleList *list = GetModuleList(kInputModules);
    struct Case {
        const char *extension;
        int entry;
    } cases[] = {{"MP3", 1},  {"MP2", 1}, {"MP1", 2},      {"OGG", 0}, {"MP", -1},
                 {"mp3", -1}, {"", -1},   {"MP3;MP2", -1}, {"OG", -1}};
    for (const Case &c : cases)
        EXPECT_EQ(IsInModExt(c.extension, 0, list), c.entry) << c.extension;
    EXPECT_EQ(IsInModExt("MP3", 1, list), -1);
    EXPECT_EQ(IsInModExt(nullptr, 0, list), -1);
    EXPECT_EQ(IsInModExt("MP3", 0, nullptr), -1);
}

TEST_F(ModuleListsTest, IsInModExtSkipsNullEntriesAndRecordsWithoutEntries) {
    ModuleRecord *record = NewRecord("d", Block({{"aaa", "A"}, {"bbb", "B"}}));
    FreeString(&record->extensions[0]);
    Add(kInputModules, record);
    Add(kInputModules, NewRecord("empty", Block({})));
    const ModuleList *list = GetModuleList(kInputModules);
    EXPECT_EQ(IsInModExt("AAA", 0, list), -1);
    EXPECT_EQ(IsInModExt("BBB", 0, list), 1);
    EXPECT_EQ(IsInModExt("BBB", 1, list), -1);
}

TEST_F(ModuleListsTest, DecoderIsChosenByExtensionWithoutRegardToTheNamesCase) {
    Add(kInputModules, NewRecord(LibraryFile("in/wav"), Block({{"wav", "Wave"}})));
    Add(kInputModules, NewRecord(LibraryFile("in/mpeg"), Block({{"mp3;mp2", "MPEG"}})));
    struct Case {
        const char *name;
        std::string chosen;
    } cases[] = {{"song.mp3", LibraryFile("in/mpeg")},
                 {"SONG.Mp3", LibraryFile("in/mpeg")},
                 {"a/b.c/x.mp2", LibraryFile("in/mpeg")},
                 {"x.WAV", LibraryFile("in/wav")},
                 {"song", "(null)"},
                 {"song.", "(null)"},
                 {"song.ogg", "(null)"},
                 {"", "(null)"}};
    for (const Case &c : cases) {
        Text chosen{GetInModuleForFile(c.name, 0)};
        EXPECT_EQ(chosen.str(), c.chosen) << c.name;
    }
    Text none{GetInModuleForFile(nullptr, 0)};
    EXPECT_EQ(none.text, nullptr);
}

TEST_F(ModuleListsTest, PlugInDecodersWinOverWinampOnesAndTheFirstDiscoveredWins) {
    Add(kWinampInputModules, NewRecord(LibraryFile("winamp/in_ogg"), Block({{"ogg", "Ogg"}})));
    Add(kWinampInputModules, NewRecord(LibraryFile("winamp/in_flac"), Block({{"flac", "FLAC"}})));
    Add(kInputModules, NewRecord(LibraryFile("in/first"), Block({{"ogg", "Ogg"}})));
    Add(kInputModules, NewRecord(LibraryFile("in/second"), Block({{"ogg;flac", "Both"}})));
    struct Case {
        const char *name;
        uint8_t first;
        std::string chosen;
    } cases[] = {
        {"a.ogg", 0, LibraryFile("in/first")},
        {"a.flac", 0, LibraryFile("in/second")},
        {"a.ogg", 1, LibraryFile("in/second")},
        {"a.mp3", 1, "(null)"},
        {"a.ogg", 2, LibraryFile("winamp/in_ogg")},
        {"a.flac", 3, LibraryFile("winamp/in_flac")},
        {"a.ogg", 3, "(null)"},
        {"a.ogg", 4, "(null)"},
    };
    for (const Case &c : cases) {
        Text chosen{GetInModuleForFile(c.name, c.first)};
        EXPECT_EQ(chosen.str(), c.chosen) << c.name << " from " << int(c.first);
    }
}

TEST_F(ModuleListsTest, WinampDecodersServeWhenNoPlugInDecoderHandlesTheExtension) {
    Add(kWinampInputModules,
        NewRecord(LibraryFile("winamp/in_mod"), Block({{"mod;xm", "Tracker"}})));
    Text onlyWinamp{GetInModuleForFile("tune.xm", 0)};
    EXPECT_EQ(onlyWinamp.str(), LibraryFile("winamp/in_mod"));
    Add(kInputModules, NewRecord(LibraryFile("in/wav"), Block({{"wav", "Wave"}})));
    Text fallThrough{GetInModuleForFile("tune.XM", 0)};
    EXPECT_EQ(fallThrough.str(), LibraryFile("winamp/in_mod"));
}

TEST_F(ModuleListsTest, EncoderIsChosenByExtensionWithoutRegardToCase) {
    Add(kOutputModules, NewEncoderRecord(LibraryFile("out/lame"), "mp3"));
    Add(kOutputModules, NewEncoderRecord(LibraryFile("out/wave1"), "WAV"));
    Add(kOutputModules, NewEncoderRecord(LibraryFile("out/wave2"), "wav"));
    Add(kWinampInputModules, NewRecord(LibraryFile("winamp/in_ogg"), Block({{"ogg", "Ogg"}})));
    struct Case {
        const char *name;
        std::string chosen;
    } cases[] = {{"out.mp3", LibraryFile("out/lame")},
                 {"OUT.MP3", LibraryFile("out/lame")},
                 {"out.Mp3", LibraryFile("out/lame")},
                 {"x.wav", LibraryFile("out/wave1")},
                 {"x.ogg", "(null)"},
                 {"x", "(null)"},
                 {"x.mp", "(null)"}};
    for (const Case &c : cases) {
        Text chosen{GetOutModuleForFile(c.name)};
        EXPECT_EQ(chosen.str(), c.chosen) << c.name;
    }
    EXPECT_STREQ(GetModuleList(kOutputModules)->modules[0]->extensions[0], "mp3");
}

TEST_F(ModuleListsTest, EmptyOutputListChoosesNothing) {
    Add(kInputModules, NewRecord(LibraryFile("in/wav"), Block({{"wav", "Wave"}})));
    for (const char *name : {"a.wav", "a.mp3", "a"}) {
        Text chosen{GetOutModuleForFile(name)};
        EXPECT_EQ(chosen.text, nullptr) << name;
    }
}

TEST(TestStringTest, WithoutLoadedEncoderNothingIsStored) {
    ASSERT_EQ(currentOutModule, nullptr);
    const char *first = "untouched";
    const char *second = "untouched";
    EXPECT_EQ(GetTestString(&first, &second, 0), 0);
    EXPECT_STREQ(first, "untouched");
    EXPECT_STREQ(second, "untouched");
}

} // namespace
