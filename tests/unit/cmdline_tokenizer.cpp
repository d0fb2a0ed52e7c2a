// The tokenizer: bars and blanks, split-mode joining, line ends, lookups and the line limit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cmdline/ArgList.h"
#include "cmdline/keys.h"
#include "core/core.h"
#include "support/All_Func.h"

namespace {

int unknownKeyCalls = 0;
void CountUnknownKey() {
    ++unknownKeyCalls;
}

using Strings = std::vector<std::string>;

Strings Elements(const ArgList &list) {
    Strings elements;
    for (int i = 0; i < list.count; ++i)
        elements.push_back(list.items[i] != nullptr ? list.items[i] : "<null>");
    return elements;
}

Strings Split(const std::string &line) {
    std::string buffer = line;
    ArgList tokens;
    SplitCommandLine(buffer.data(), &tokens);
    return Elements(tokens);
}

// The same first stage written with the C library's strtok, as the reference for our own
// reentrant tokenizer.
Strings SplitWithLibraryStrtok(const std::string &line) {
    std::string buffer = line;
    Strings tokens;
    for (char *token = std::strtok(buffer.data(), " "); token != nullptr;
         token = std::strtok(nullptr, " ")) {
        size_t length = std::strlen(token);
        if (token[0] != '|') {
            tokens.push_back(token);
        } else if (token[length - 1] == '|') {
            tokens.push_back(std::string(token + 1, length > 1 ? length - 2 : 0));
        } else {
            tokens.push_back(token + 1);
            if (char *piece = std::strtok(nullptr, "|"))
                tokens.back() += std::string(" ") + piece;
        }
    }
    return tokens;
}

struct Grouped {
    int result;
    Strings elements;
    std::string output;
};

Grouped Group(const std::string &line, int splitMode) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    ArgList list;
    testing::internal::CaptureStdout();
    int result = GroupKeyArguments(buffer.data(), &list, splitMode);
    std::string output = testing::internal::GetCapturedStdout();
    return {result, Elements(list), output};
}

class TokenizerTest : public testing::Test {
  protected:
    void SetUp() override {
        GetHostTable().onUnknownKey = CountUnknownKey;
        unknownKeyCalls = 0;
    }
};

struct SplitCase {
    const char *name;
    const char *line;
    Strings tokens;
};

TEST_F(TokenizerTest, SplitCommandLineCutsAtBlanksAndBars) {
    const SplitCase cases[] = {
        {"empty line", "", {}},
        {"blanks only", "   ", {}},
        {"repeated blanks", "  a   b  ", {"a", "b"}},
        {"tab is ordinary", "a\tb c", {"a\tb", "c"}},
        {"lone bar", "|", {""}},
        {"two bars", "||", {""}},
        {"barred word", "|abc|", {"abc"}},
        {"barred words", "|a b| c", {"a b", "c"}},
        {"two blanks kept", "|a  b|", {"a  b"}},
        {"three blanks kept", "|a   b| |c|", {"a   b", "c"}},
        {"open bar at end", "|a", {"a"}},
        {"open bar then blank", "|a ", {"a"}},
        {"leading bars skipped in piece", "|a ||b| c", {"a b", "c"}},
        {"piece ends at first bar", "|a b|c d|", {"a b", "c", "d|"}},
        {"bar inside word", "x|y|", {"x|y|"}},
        {"job line",
         "|-I| |C:\\My  Music\\a.mp3| |-O| |D:\\out\\a.wav|",
         {"-I", "C:\\My  Music\\a.mp3", "-O", "D:\\out\\a.wav"}},
    };
    for (const SplitCase &c : cases)
        EXPECT_EQ(Split(c.line), c.tokens) << c.name;
}

TEST_F(TokenizerTest, SplitCommandLineMatchesLibraryStrtok) {
    const char alphabet[] = {' ', ' ', '|', '|', 'a', 'b', '-', '"', '\t'};
    std::mt19937 generator(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::string line(generator() % 24, ' ');
        for (char &c : line)
            c = alphabet[generator() % sizeof alphabet];
        EXPECT_EQ(Split(line), SplitWithLibraryStrtok(line)) << "line [" << line << "]";
    }
}

TEST_F(TokenizerTest, ArgListGrowsCopiesAndClears) {
    ArgList list;
    std::string text = "first";
    EXPECT_EQ(list.Add(text.c_str()), 1);
    text[0] = 'X';
    EXPECT_EQ(list.Add(nullptr), 2);
    EXPECT_EQ(list.Add("c"), 3);
    EXPECT_EQ(list.AppendToLast(" d"), 3);
    EXPECT_EQ(Elements(list), (Strings{"first", "<null>", "c  d"}));
    list.Clear();
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(list.Add("again"), 1);
}

struct GroupCase {
    const char *name;
    const char *line;
    int splitMode;
    int result;
    Strings elements;
    const char *output;
    int unknownKeyCalls;
};

TEST_F(TokenizerTest, GroupKeyArgumentsBuildsTheList) {
    const GroupCase cases[] = {
        {"quoted path with blanks",
         "-I \"C:\\My Music\\*.mp3\" -O *.wav",
         kSplitMode,
         1,
         {"-I", "C:\\My Music\\*.mp3", "-O", "*.wav"},
         "",
         0},
        {"unquoted words joined",
         "-ENCPARAM f:22050 c:1 b:16 -ENC Solmare",
         kSplitMode,
         1,
         {"-ENCPARAM", "f:22050 c:1 b:16", "-ENC", "Solmare"},
         "",
         0},
        {"colon separator", "-DSPPARAM a:b:c", kSplitMode, 1, {"-DSPPARAM", "a:\"bc\""}, "", 0},
        {"quote-only argument gives none",
         "-I \"\" -O x",
         kSplitMode,
         0,
         {},
         "ERROR: missing argument for key -I\n\n",
         0},
        {"blanks collapse between words",
         "  -ENC   a    b  ",
         kSplitMode,
         1,
         {"-ENC", "a b"},
         "",
         0},
        {"case of keys and arguments kept",
         "-i A.wav -o B.MP3",
         kSplitMode,
         1,
         {"-i", "A.wav", "-o", "B.MP3"},
         "",
         0},
        {"split: argument of a plain key stops the walk",
         "-DEBUG yes -LISTENC",
         kSplitMode,
         1,
         {"-DEBUG"},
         "",
         0},
        {"split: unknown key reported twice",
         "-XYZ foo -LISTENC",
         kSplitMode,
         0,
         {},
         "ERROR: unknown key -XYZ\n\nERROR: unknown key -XYZ\n\n",
         2},
        {"split: unknown key without argument reported once",
         "-XYZ -LISTENC",
         kSplitMode,
         0,
         {},
         "ERROR: unknown key -XYZ\n\n",
         1},
        {"argument before any key", "a.wav -I x", kSplitMode, 0, {}, "", 0},
        {"tab makes one unknown key",
         "-I\ta.wav",
         kSplitMode,
         0,
         {},
         "ERROR: unknown key -I\ta.wav\n\n",
         1},
        {"job: barred items",
         "|-I| |C:\\My  Music\\a.mp3| |-O| |D:\\out\\a.wav|",
         kJobMode,
         1,
         {"-I", "C:\\My  Music\\a.mp3", "-O", "D:\\out\\a.wav"},
         "",
         0},
        {"job: last argument token counts",
         "-ENCPARAM a b",
         kJobMode,
         1,
         {"-ENCPARAM", "b"},
         "",
         0},
        {"job: argument of a plain key",
         "-DEBUG yes",
         kJobMode,
         0,
         {},
         "ERROR: key -DEBUG must to be used without argument\n\n",
         0},
        {"job: unknown key reported once",
         "|-XYZ| |foo|",
         kJobMode,
         0,
         {},
         "ERROR: unknown key -XYZ\n\n",
         1},
        {"job: empty item ends the walk",
         "|-I| || |-O| |x|",
         kJobMode,
         0,
         {},
         "ERROR: missing argument for key -I\n\n",
         0},
        {"job: no tokens", "   ", kJobMode, 0, {}, "", 0},
        {"job: key given twice kept twice",
         "|-ENC| |A| |-ENC| |B|",
         kJobMode,
         1,
         {"-ENC", "A", "-ENC", "B"},
         "",
         0},
    };
    for (const GroupCase &c : cases) {
        unknownKeyCalls = 0;
        Grouped grouped = Group(c.line, c.splitMode);
        EXPECT_EQ(grouped.result, c.result) << c.name;
        EXPECT_EQ(grouped.elements, c.elements) << c.name;
        EXPECT_EQ(grouped.output, c.output) << c.name;
        EXPECT_EQ(unknownKeyCalls, c.unknownKeyCalls) << c.name;
    }
}

TEST_F(TokenizerTest, GroupKeyArgumentsCutsAtMostTwoLineEnds) {
    struct Case {
        const char *name;
        std::string line;
        std::string key;
    };
    // The unknown-key message shows exactly what is left of the line.
    const Case cases[] = {
        {"CR LF", "-X\r\n", "-X"},
        {"LF CR", "-X\n\r", "-X"},
        {"LF", "-X\n", "-X"},
        {"CR", "-X\r", "-X"},
        {"three line ends lose two", "-X\n\n\n", "-X\n"},
        {"three characters", "-\r\n", "-"},
        {"two characters kept", "-\n", "-\n"},
        {"line end not last", "-X\ny", "-X\ny"},
    };
    for (const Case &c : cases) {
        Grouped grouped = Group(c.line, kJobMode);
        EXPECT_EQ(grouped.output, "ERROR: unknown key " + c.key + "\n\n") << c.name;
    }
    Grouped job = Group("|-LISTENC|\r\n", kJobMode);
    EXPECT_EQ(job.result, 1);
    EXPECT_EQ(job.elements, Strings{"-LISTENC"});
}

TEST_F(TokenizerTest, GroupKeyArgumentsRefusesNullBuffer) {
    ArgList list;
    list.Add("-LISTENC");
    EXPECT_EQ(GroupKeyArguments(nullptr, &list, kJobMode), 0);
    EXPECT_EQ(list.count, 0);
}

struct JoinCase {
    const char *name;
    const char *key;
    const char *token;
    int result;
    const char *joined; // null: no result
    const char *output;
};

TEST_F(TokenizerTest, JoinKeyArgumentTreatsSeparators) {
    const JoinCase cases[] = {
        {"opening quote", "-I", "\"C:\\My", 1, "C:\\My", ""},
        {"closing quote", "-O", "Music\\*.mp3\"", 1, "Music\\*.mp3", ""},
        {"separators only", "-I", "\"\"", 1, nullptr, ""},
        {"quote inside a path", "-CREATEBATCH", "a\"b\"c", 1, "a\"\"bc\"", ""},
        {"colon pieces joined and quoted", "-DSPPARAM", "a:b:c", 1, "a:\"bc\"", ""},
        {"quotes removed from the rest", "-DSPPARAM", "a:\"b\":c", 1, "a:\"bc\"", ""},
        {"leading colon", "-DSPPARAM", ":a", 1, "a", ""},
        {"no separator: copied", "-ENC", "x\"y", 1, "x\"y", ""},
        {"lower-case key", "-enc", "Brevant", 1, "Brevant", ""},
        {"key without argument", "-DEBUG", "yes", 0, nullptr, ""},
        {"unknown key", "-xyz", "a", 0, nullptr, "ERROR: unknown key -xyz\n\n"},
    };
    for (const JoinCase &c : cases) {
        unknownKeyCalls = 0;
        char *joined = nullptr;
        testing::internal::CaptureStdout();
        int result = JoinKeyArgument(c.key, c.token, &joined);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(joined != nullptr ? std::string(joined) : "<none>",
                  c.joined != nullptr ? std::string(c.joined) : "<none>")
            << c.name;
        EXPECT_EQ(unknownKeyCalls, c.output[0] != '\0' ? 1 : 0) << c.name;
        FreeString(&joined);
    }
}

TEST_F(TokenizerTest, KeyLookupsFoldOnlyTheElements) {
    ArgList list;
    for (const char *e : {"-listenc", "-ENC", "first", "-enc", "second", "-O", "-DEBUG"})
        list.Add(e);
    EXPECT_EQ(IsKeyPresent("-LISTENC", &list), 1);
    EXPECT_EQ(IsKeyPresent("-listenc", &list), 0);
    EXPECT_EQ(IsKeyPresent("FIRST", &list), 1);
    EXPECT_EQ(IsKeyPresent(nullptr, &list), 0);
    EXPECT_EQ(GetKeyPosition("-ENC", &list), 2);
    EXPECT_EQ(GetKeyPosition("-DEBUG", &list), 7);
    EXPECT_EQ(GetKeyPosition("-I", &list), 0);

    struct Case {
        const char *key;
        const char *expected;
    };
    const Case cases[] = {
        {"-ENC", "first"},   // the first of two keys counts
        {"-O", "kept"},      // followed by a key: no argument
        {"-DEBUG", "kept"},  // last element
        {"-I", "kept"},      // absent
        {"-LISTENC", "kept"} // followed by a key
    };
    for (const Case &c : cases) {
        char *out = nullptr;
        AssignString("kept", &out);
        GetKeyArgument(&list, c.key, &out);
        EXPECT_STREQ(out, c.expected) << c.key;
        FreeString(&out);
    }

    ArgList empty;
    EXPECT_EQ(IsKeyPresent("-I", &empty), 0);
    EXPECT_EQ(GetKeyPosition("-I", &empty), 0);
}

TEST_F(TokenizerTest, RemoveCharDropsEveryOccurrence) {
    char *text = nullptr;
    AssignString("\"a\"b\"\"", &text);
    RemoveChar(&text, '"');
    EXPECT_STREQ(text, "ab");
    AssignString("", &text);
    RemoveChar(&text, 'x');
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    FreeString(&text);
    RemoveChar(&text, 'x');
    EXPECT_EQ(text, nullptr);
}

TEST_F(TokenizerTest, BuildArgListPrintsDebugListing) {
    const std::string rule(56, '-');
    testing::internal::CaptureStdout();
    ArgList *list = BuildArgList("-I a.wav -O b.mp3 -debug");
    std::string output = testing::internal::GetCapturedStdout();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(output, "Debug :\n" + rule + "\n-I\na.wav\n-O\nb.mp3\n-debug\n" + rule + "\n\n");
    delete list;

    testing::internal::CaptureStdout();
    list = BuildArgList("-I a.wav -O b.mp3");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(list, nullptr);
    delete list;
}

TEST_F(TokenizerTest, BuildArgListReturnsNullOnRefusal) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(BuildArgList("-CPU"), nullptr);
    EXPECT_EQ(BuildArgList(""), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: missing argument for key -CPU\n\n");
}

TEST_F(TokenizerTest, BuildArgListRefusesLinesOverTheLimit) {
    const std::string head = "-I ";
    const std::string tail = " -O b.mp3";
    for (int length : {KERNOVA_MAX_COMMAND_LINE - 1, KERNOVA_MAX_COMMAND_LINE}) {
        std::string path(length - head.size() - tail.size(), 'a');
        testing::internal::CaptureStdout();
        ArgList *list = BuildArgList((head + path + tail).c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << length;
        ASSERT_NE(list, nullptr) << length;
        EXPECT_EQ(Elements(*list), (Strings{"-I", path, "-O", "b.mp3"})) << length;
        delete list;
    }
    for (int length : {KERNOVA_MAX_COMMAND_LINE + 1, 3 * KERNOVA_MAX_COMMAND_LINE}) {
        std::string path(length - head.size() - tail.size(), 'a');
        testing::internal::CaptureStdout();
        EXPECT_EQ(BuildArgList((head + path + tail).c_str()), nullptr) << length;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "ERROR: command line longer than 4095 characters\n\n")
            << length;
    }
}

// Whatever a job file holds, the tokenizer neither crashes nor leaves a half-built list.
TEST_F(TokenizerTest, RandomLinesNeverBreakTheTokenizer) {
    const std::vector<std::string> pieces = {" ",
                                             "  ",
                                             "|",
                                             "||",
                                             "\"",
                                             ":",
                                             "-",
                                             "-I",
                                             "-O",
                                             "-ENC",
                                             "AUTO",
                                             "-CPU",
                                             "-DEBUG",
                                             "-XYZ",
                                             "-RECURSIVE",
                                             "copy",
                                             "a.wav",
                                             "\r",
                                             "\n",
                                             "\t",
                                             "-DSPPARAM",
                                             "a:b",
                                             "-SETID",
                                             "-listenc",
                                             std::string(300, 'x'),
                                             std::string(1200, '|'),
                                             std::string(700, ' ')};
    std::mt19937 generator(4095);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 4000; ++round) {
        std::string line;
        int count = static_cast<int>(generator() % 16);
        for (int i = 0; i < count; ++i)
            line += pieces[generator() % pieces.size()];
        std::vector<char> buffer(line.begin(), line.end());
        buffer.push_back('\0');
        ArgList list;
        int result = GroupKeyArguments(buffer.data(), &list, kJobMode);
        ASSERT_TRUE(result == 1 ? list.count > 0 && list.items[0][0] == '-' : list.count == 0)
            << "line [" << line << "]";
        delete BuildArgList(line.c_str());
    }
    testing::internal::GetCapturedStdout();
}

} // namespace
