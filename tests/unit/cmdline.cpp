// The command line: the tokenizer's bars, blanks and line ends, the key checks with their
// messages byte for byte, and the mode and job line of each command, also read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "cmdline/ArgList.h"
#include "cmdline/CommandRecord.h"
#include "cmdline/keys.h"
#include "core/core.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "tests/fixtures/harness.h"

namespace {

int unknownKeyCalls = 0;
void CountUnknownKey() {
    ++unknownKeyCalls;
}

const std::string kUnknown = "ERROR: unknown key ";
const std::string kIncompatible = "ERROR: non compatible keys used. Please read manual.\n\n";
const std::string kMissing = "ERROR: missing important keys\n\n";
const std::string kRule(56, '-');

Lines Elements(const ArgList &list) {
    Lines elements;
    for (int i = 0; i < list.count; ++i)
        elements.push_back(list.items[i] != nullptr ? list.items[i] : "<null>");
    return elements;
}

void Fill(ArgList *list, const Lines &elements) {
    for (const std::string &e : elements)
        list->Add(e.c_str());
}

Lines Split(std::string line) {
    ArgList tokens;
    SplitCommandLine(line.data(), &tokens);
    return Elements(tokens);
}

// The same first stage written with the C library's strtok, the reference for our reentrant one.
Lines SplitWithLibraryStrtok(std::string line) {
    Lines tokens;
    for (char *token = std::strtok(line.data(), " "); token; token = std::strtok(nullptr, " ")) {
        const size_t length = std::strlen(token);
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

class CommandLineTest : public testing::Test {
  protected:
    void SetUp() override {
        GetHostTable().onUnknownKey = CountUnknownKey;
        unknownKeyCalls = 0;
        FreeString(&winampFolder);
    }
    void TearDown() override { FreeString(&winampFolder); }
};

using TokenizerTest = CommandLineTest;
using KeysTest = CommandLineTest;
using RecordTest = CommandLineTest;

TEST_F(TokenizerTest, SplitCutsAtBlanksAndBarsLikeStrtok) {
    struct Case {
        const char *line;
        Lines tokens;
    };
    const Case cases[] = {
        {"", {}},
        {"  a   b  ", {"a", "b"}},
        {"a\tb c", {"a\tb", "c"}},
        {"|", {""}},
        {"||", {""}},
        {"|a  b| |c|", {"a  b", "c"}},
        {"|a ", {"a"}},
        {"|a ||b| c", {"a b", "c"}},
        {"|a b|c d|", {"a b", "c", "d|"}},
        {"x|y|", {"x|y|"}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Split(c.line), c.tokens) << "[" << c.line << "]";
    const char alphabet[] = {' ', ' ', '|', '|', 'a', 'b', '-', '"', '\t'};
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::string line(random() % 24, ' ');
        for (char &c : line)
            c = alphabet[random() % sizeof alphabet];
        EXPECT_EQ(Split(line), SplitWithLibraryStrtok(line)) << "[" << line << "]";
    }
}

TEST_F(TokenizerTest, GroupKeyArgumentsBuildsTheList) {
    struct Case {
        const char *line;
        int splitMode;
        int result;
        Lines elements;
        std::string output;
        int unknownKeyCalls;
    };
    const Case cases[] = {
        {"-I \"C:\\My Music\\*.mp3\" -O *.wav", kSplitMode, 1,
         Lines{"-I", "C:\\My Music\\*.mp3", "-O", "*.wav"}, "", 0},
        {"  -ENCPARAM f:22050  c:1 -ENC Solmare", kSplitMode, 1,
         Lines{"-ENCPARAM", "f:22050 c:1", "-ENC", "Solmare"}, "", 0},
        {"-DSPPARAM a:b:c", kSplitMode, 1, Lines{"-DSPPARAM", "a:\"bc\""}, "", 0},
        {"-DSPPARAM a:\"b\":c", kSplitMode, 1, Lines{"-DSPPARAM", "a:\"bc\""}, "", 0},
        {"-CREATEBATCH a\"b\"c -DSPPARAM :a", kSplitMode, 1,
         Lines{"-CREATEBATCH", "a\"\"bc\"", "-DSPPARAM", "a"}, "", 0},
        {"-I \"\" -O x", kSplitMode, 0, Lines{}, "ERROR: missing argument for key -I\n\n", 0},
        {"-i A.wav -o B.MP3", kSplitMode, 1, Lines{"-i", "A.wav", "-o", "B.MP3"}, "", 0},
        // Split mode stops at an argument that its key cannot take; job mode refuses it.
        {"-DEBUG yes -LISTENC", kSplitMode, 1, Lines{"-DEBUG"}, "", 0},
        {"-DEBUG yes", kJobMode, 0, Lines{},
         "ERROR: key -DEBUG must to be used without argument\n\n", 0},
        // The tokenizer and the key check both report an unknown key with an argument.
        {"-XYZ foo -LISTENC", kSplitMode, 0, Lines{}, kUnknown + "-XYZ\n\n" + kUnknown + "-XYZ\n\n",
         2},
        {"-XYZ -LISTENC", kSplitMode, 0, Lines{}, kUnknown + "-XYZ\n\n", 1},
        {"|-XYZ| |foo|", kJobMode, 0, Lines{}, kUnknown + "-XYZ\n\n", 1},
        {"a.wav -I x", kSplitMode, 0, Lines{}, "", 0},
        {"-I\ta.wav", kSplitMode, 0, Lines{}, kUnknown + "-I\ta.wav\n\n", 1},
        {"|-I| |C:\\My  Music\\a.mp3| |-O| |x|", kJobMode, 1,
         Lines{"-I", "C:\\My  Music\\a.mp3", "-O", "x"}, "", 0},
        {"-ENCPARAM a b", kJobMode, 1, Lines{"-ENCPARAM", "b"}, "", 0},
        {"|-I| || |-O| |x|", kJobMode, 0, Lines{}, "ERROR: missing argument for key -I\n\n", 0},
        {"|-ENC| |A| |-ENC| |B|", kJobMode, 1, Lines{"-ENC", "A", "-ENC", "B"}, "", 0},
        {"|-LISTENC|\r\n", kJobMode, 1, Lines{"-LISTENC"}, "", 0},
        // At most two line end characters go; the message shows what is left of the line.
        {"-X\n\r", kJobMode, 0, Lines{}, kUnknown + "-X\n\n", 1},
        {"-X\r", kJobMode, 0, Lines{}, kUnknown + "-X\n\n", 1},
        {"-X\n\n\n", kJobMode, 0, Lines{}, kUnknown + "-X\n\n\n", 1},
        {"-\r\n", kJobMode, 0, Lines{}, kUnknown + "-\n\n", 1},
        {"-\n", kJobMode, 0, Lines{}, kUnknown + "-\n\n\n", 1},
        {"-X\ny", kJobMode, 0, Lines{}, kUnknown + "-X\ny\n\n", 1},
    };
    for (const Case &c : cases) {
        unknownKeyCalls = 0;
        std::string buffer = c.line;
        ArgList list;
        testing::internal::CaptureStdout();
        EXPECT_EQ(GroupKeyArguments(buffer.data(), &list, c.splitMode), c.result) << c.line;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.line;
        EXPECT_EQ(Elements(list), c.elements) << c.line;
        EXPECT_EQ(unknownKeyCalls, c.unknownKeyCalls) << c.line;
    }
}

TEST_F(TokenizerTest, KeyLookupsFoldOnlyTheElements) {
    ArgList list;
    Fill(&list, {"-listenc", "-ENC", "first", "-enc", "second", "-O", "-DEBUG"});
    EXPECT_EQ(IsKeyPresent("-LISTENC", &list), 1);
    EXPECT_EQ(IsKeyPresent("-listenc", &list), 0);
    EXPECT_EQ(GetKeyPosition("-DEBUG", &list), 7);
    EXPECT_EQ(GetKeyPosition("-I", &list), 0);
    EXPECT_EQ(GetKeyPosition(nullptr, &list) + GetKeyPosition("-O", nullptr), 0) << "none given";
    // The first of two keys counts; a key followed by a key or by nothing has no argument.
    for (const char *key : {"-ENC", "-O", "-DEBUG", "-I"}) {
        char *out = nullptr;
        AssignString("kept", &out);
        GetKeyArgument(&list, key, &out);
        EXPECT_STREQ(out, key == std::string("-ENC") ? "first" : "kept") << key;
        FreeString(&out);
    }
    char *quoted = nullptr;
    AssignString("\"a\"b\"\"", &quoted);
    RemoveChar(&quoted, '"');
    EXPECT_STREQ(quoted, "ab");
    FreeString(&quoted);
}

TEST_F(KeysTest, FindKeyComparesAsciiLettersInUpperCase) {
    for (int i = 0; i < kKeyCount; ++i) {
        std::string lower = kKeyTable[i].name;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(FindKey(lower.c_str()), i) << lower;
    }
    for (const char *text : {"-ENCX", "ENC", "-", "", "-I ", "-\xe9NC", "-{EBUG"})
        EXPECT_EQ(FindKey(text), kUnknownKey) << text;
    EXPECT_EQ(FindKey(nullptr), kUnknownKey);
}

TEST_F(KeysTest, CheckKeyArgumentsReportsEachFault) {
    struct Case {
        Lines elements;
        int result;
        std::string output;
        int unknownKeyCalls;
    };
    const Case cases[] = {
        {Lines{}, 0, "", 0},
        {Lines{"a"}, 0, "", 0},
        {Lines{"-I", "a", "b", "-CPU"}, 0, "", 0},
        {Lines{"-cpu", "-LISTENC"}, 0, "ERROR: missing argument for key -cpu\n\n", 0},
        {Lines{"-HELP", "-ENCPARAM", "-COPYID", "-RECURSIVE"}, 1, "", 0},
        {Lines{"-DEBUG", "yes", "-CPU"}, 0,
         "ERROR: key -DEBUG must to be used without argument\n\n"
         "ERROR: missing argument for key -CPU\n\n",
         0},
        {Lines{"-XYZ", "-CPU"}, 0, kUnknown + "-XYZ\n\n", 1},
        {Lines{"-CPU", "-Xyz", "a"}, 0,
         "ERROR: missing argument for key -CPU\n\n" + kUnknown + "-Xyz\n\n", 1},
        {Lines{"-RECURSIVE", "Copy"}, 1, "", 0},
        {Lines{"-RECURSIVE", "-I", "a"}, 1, "", 0},
        {Lines{"-XYZ", "-recursive", "all"}, 0,
         kUnknown + "-XYZ\n\nERROR: wrong parameter for key -RECURSIVE.\n\n", 1},
        {Lines{"-OVERWRITE"}, 0, "ERROR: missing argument for key -OVERWRITE\n\n", 0},
        {Lines{"-OVERWRITE", "yes"}, 1, "", 0},
    };
    for (const Case &c : cases) {
        unknownKeyCalls = 0;
        ArgList list;
        Fill(&list, c.elements);
        testing::internal::CaptureStdout();
        EXPECT_EQ(CheckKeyArguments(&list), c.result) << c.output;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(unknownKeyCalls, c.unknownKeyCalls) << c.output;
        EXPECT_EQ(Elements(list), c.elements) << "the check changes no element";
    }
}

TEST_F(KeysTest, CheckKeyCombinationDemandsWhatEachModeNeeds) {
    const std::string missingTwice = kMissing + kMissing;
    struct Case {
        Lines elements;
        int result;
        std::string output;
        bool autoEncoder; // "-ENC" "AUTO" appended
    };
    const Case cases[] = {
        {{"-i", "a.wav", "-o", "b.mp3"}, 1, "", true},
        {{"-I", "a", "-O", "b", "-ENC", "X"}, 1, "", false},
        {{"-I", "a.wav"}, 0, missingTwice, true},
        {{"-ENC", "X", "-I", "a"}, 0, kMissing, false},
        {{"-LISTENC"}, 1, "", false},
        {{"-LISTENC", "-I", "a.wav"}, 0, kIncompatible, false},
        {{"-HELP", "-O", "x"}, 0, kIncompatible, false},
        {{"-BATCH", "x.xfb"}, 1, "", false},
        {{"-SHOWID", "-I", "a"}, 1, "", false},
        {{"-SHOWID"}, 0, kIncompatible + kMissing, true},
        {{"-SHOWID", "-I", "a", "-O", "x"}, 0, kIncompatible, false},
        {{"-PLAY", "-I", "a", "-ENC", "X"}, 0, kIncompatible, false},
        {{"-SETID", "t", "-I", "a"}, 1, "", false},
        {{"-SETID", "t", "-O", "b"}, 0, kMissing, false},
        {{"-SETID", "t"}, 0, missingTwice, true},
        {{"-SETID", "t", "-I", "a", "-O", "b"}, 1, "", true},
        {{"-SETID", "t", "-I", "a", "-O", "b", "-ENC", "X"}, 1, "", false},
        {{"-TESTENC", "-I", "a", "-O", "d/"}, 1, "", true},
        {{"-CREATEBATCH", "j", "-I", "a", "-O", "c"}, 1, "", true},
        {{"-DEBUG"}, 0, missingTwice, true},
    };
    for (const Case &c : cases) {
        ArgList list;
        Fill(&list, c.elements);
        testing::internal::CaptureStdout();
        EXPECT_EQ(CheckKeyCombination(&list), c.result) << c.elements[0];
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.elements[0];
        Lines expected = c.elements;
        if (c.autoEncoder)
            expected.insert(expected.end(), {"-ENC", "AUTO"});
        EXPECT_EQ(Elements(list), expected);
    }
    EXPECT_EQ(unknownKeyCalls, 0);
}

// One command taken the way the core takes it (split mode, both checks, the parser), or the
// way the job runner reads a job line back (job mode).
struct Parsed {
    explicit Parsed(const std::string &line, int splitMode = kSplitMode) {
        std::string buffer = line;
        testing::internal::CaptureStdout();
        ArgList jobList;
        ArgList *list = splitMode == kSplitMode ? BuildArgList(line.c_str()) : &jobList;
        if (splitMode == kJobMode && !GroupKeyArguments(buffer.data(), &jobList, kJobMode))
            list = nullptr;
        if (list != nullptr && CheckKeyCombination(list)) {
            ParseCommandLine(list, &record);
            accepted = true;
        }
        if (list != &jobList)
            delete list;
        output = testing::internal::GetCapturedStdout();
    }
    ~Parsed() { ClearCommandRecord(&record); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;

    std::string JobLine() const { return record.commandLine ? record.commandLine : "<null>"; }

    bool accepted = false;
    CommandRecord record{};
    std::string output;
};

// The commands of job_lines.golden.
Lines GoldenCommands() {
    std::ifstream in(std::string(KN_SOURCE_DIR) + NativePath("/tests/unit/job_lines.golden"));
    Lines commands;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("=== ", 0) == 0)
            commands.push_back(line.substr(4));
    }
    return commands;
}

// job_lines.golden holds, for every command, "=== <command>", its mode and its job line; the job
// runner reads each job line back and must get the same job again.
TEST_F(RecordTest, JobLinesAreTheGoldenOnesAndReadBack) {
    std::string shown;
    for (const std::string &command : GoldenCommands()) {
        const std::string line = "=== " + command;
        const Parsed parsed(NativePath(command));
        std::string jobLine = parsed.JobLine();
        const Parsed again(jobLine, kJobMode);
        EXPECT_TRUE(parsed.accepted && again.accepted) << line << "\n" << again.output;
        EXPECT_EQ(again.record.mode, parsed.record.mode) << line;
        EXPECT_EQ(again.JobLine(), jobLine) << line;
        EXPECT_EQ(again.record.cpuPriority, parsed.record.cpuPriority) << line;
        EXPECT_EQ(again.record.recursive, parsed.record.recursive) << line;
        EXPECT_EQ(unknownKeyCalls, 0) << line;
        std::replace(jobLine.begin(), jobLine.end(), platform::kPathSeparator, '/');
        shown += line + "\nmode " + std::to_string(parsed.record.mode) + "\n" + jobLine + "\n";
        FreeString(&winampFolder);
    }
    ExpectGolden("unit/job_lines.golden", shown);
}

TEST_F(RecordTest, DebugPrintsTheListAndTheJobLineButNotInJobMode) {
    const Parsed parsed("-LISTENC -DEBUG yes");
    EXPECT_EQ(parsed.output, "Debug :\n" + kRule + "\n-LISTENC\n-DEBUG\n" + kRule +
                                 "\n\nDebug:\n|-LISTENC| |-DEBUG|\n------\n");
    for (const std::string &command : GoldenCommands()) {
        const Parsed debug(NativePath(command) + " -DEBUG");
        ASSERT_TRUE(debug.accepted) << command;
        EXPECT_EQ(debug.record.debug, 1) << command;
        EXPECT_NE(debug.JobLine().find("|-DEBUG|"), std::string::npos) << command;
        EXPECT_TRUE(debug.output.ends_with("Debug:\n" + debug.JobLine() + "\n------\n")) << command;
        FreeString(&winampFolder);
    }
    const Parsed job("|-LISTENC| |-DEBUG| |yes|", kJobMode);
    EXPECT_FALSE(job.accepted);
    EXPECT_EQ(job.output, "ERROR: key -DEBUG must to be used without argument\n\n");
}

TEST_F(RecordTest, WinampFolderStaysForLaterCommands) {
    EXPECT_EQ(Parsed("-LISTENC -WINAMP /opt/winamp").JobLine(),
              "|-LISTENC| |-WINAMP| |/opt/winamp|");
    EXPECT_EQ(Parsed("-I a.wav -O b.mp3").JobLine(),
              "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-WINAMP| |/opt/winamp|");
    const Parsed job("|-LISTDEC| |-WINAMP| |/other|", kJobMode);
    EXPECT_STREQ(winampFolder, "/other");
}

// The job runner refuses "-ENC" without a name; the check supplies AUTO so that a conversion
// with tags never writes it.
TEST_F(RecordTest, SetIdWithConversionGetsTheAutomaticEncoder) {
    const Parsed parsed("-SETID TITL=x -I a.wav -O b.mp3");
    EXPECT_STREQ(parsed.record.encoderName, "AUTO");
    EXPECT_TRUE(Parsed(parsed.JobLine(), kJobMode).accepted);
    const Parsed bare("|-I| |a.wav| |-O| |b.mp3| |-ENC| |-SETID| |TITL=x|", kJobMode);
    EXPECT_FALSE(bare.accepted);
    EXPECT_EQ(bare.output, "ERROR: missing argument for key -ENC\n\n");
}

} // namespace
