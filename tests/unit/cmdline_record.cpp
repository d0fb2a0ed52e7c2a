// The command record: the mode each command gets, its job line, and the job line read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/ArgList.h"
#include "cmdline/CommandRecord.h"
#include "cmdline/keys.h"
#include "core/core.h"
#include "platform/platform.h"
#include "support/All_Func.h"

namespace {

int unknownKeyCalls = 0;
void CountUnknownKey() {
    ++unknownKeyCalls;
}

std::string Text(const char *text) {
    return text != nullptr ? text : "<null>";
}

// One command taken the way the core takes it: split mode, both checks, the parser.
struct Parsed {
    Parsed() { ClearCommandRecord(&record); }
    ~Parsed() { ClearCommandRecord(&record); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;

    bool accepted = false;
    CommandRecord record{};
    std::string output;
};

void ParseList(ArgList *list, Parsed *parsed) {
    if (list == nullptr || !CheckKeyCombination(list))
        return;
    ParseCommandLine(list, &parsed->record);
    parsed->accepted = true;
}

void ParseHostLine(const std::string &line, Parsed *parsed) {
    testing::internal::CaptureStdout();
    ArgList *list = BuildArgList(line.c_str());
    ParseList(list, parsed);
    delete list;
    parsed->output = testing::internal::GetCapturedStdout();
}

// The job runner's way: the job line tokenized in job mode.
void ParseJobLine(const std::string &line, Parsed *parsed) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    testing::internal::CaptureStdout();
    ArgList list;
    if (GroupKeyArguments(buffer.data(), &list, kJobMode))
        ParseList(&list, parsed);
    parsed->output = testing::internal::GetCapturedStdout();
}

// The text with the system's folder separator in place of every '/'.
std::string Native(std::string text) {
    for (char &c : text)
        if (c == '/')
            c = platform::kPathSeparator;
    return text;
}

std::string JobLine(const CommandRecord &record) {
    return Text(record.commandLine);
}

class RecordTest : public testing::Test {
  protected:
    void SetUp() override {
        GetHostTable().onUnknownKey = CountUnknownKey;
        unknownKeyCalls = 0;
        FreeString(&winampFolder);
    }
    void TearDown() override { FreeString(&winampFolder); }
};

struct JobLineCase {
    const char *command;
    int mode;
    const char *jobLine;
};

const JobLineCase kJobLineCases[] = {
    {"-I a.wav -O b.mp3 -ENC Brevant -CPU 3", kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |Brevant| |-CPU| |3|"},
    {"-I a.wav -O b.mp3 -CPU 1", kModeConvert, "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO|"},
    {"-I a.wav -O b.mp3 -CPU 0", kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-CPU| |0|"},
    {"-I a.wav -O b.mp3 -CPU fast", kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-CPU| |0|"},
    {"-I a.wav -O b.mp3 -CPU 4x", kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-CPU| |4|"},
    {"-I a.wav -O b.mp3 -CPU 99999999999", kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-CPU| |2147483647|"},
    {"-I in/ -O out/ -RECURSIVE Copy", kModeConvert,
     "|-I| |in/*| |-O| |out/*| |-ENC| |AUTO| |-RECURSIVE| |copy|"},
    {"-I a -O b -RECURSIVE", kModeConvert, "|-I| |a| |-O| |b| |-ENC| |AUTO| |-RECURSIVE|"},
    {"-STREAM -DELSOURCE -PREVIEW 10 -FIXFREQ 2 -DEC Dx -DECPARAM p q -ENCPARAM x y -ENC B "
     "-O b.mp3 -I a.wav",
     kModeConvert,
     "|-I| |a.wav| |-O| |b.mp3| |-ENC| |B| |-ENCPARAM| |x y| |-DECPARAM| |p q| |-DEC| |Dx| "
     "|-DELSOURCE| |-STREAM| |-FIXFREQ| |2| |-PREVIEW| |10|"},
    {"-I a -O b -PREVIEW 0 -FIXFREQ 0", kModeConvert, "|-I| |a| |-O| |b| |-ENC| |AUTO|"},
    {"-I a -O b -COPYID src:dst -SETID t", kModeConvert,
     "|-I| |a| |-O| |b| |-ENC| |AUTO| |-COPYID| |src:dst|"},
    {"-I a -O b -COPYID", kModeConvert, "|-I| |a| |-O| |b| |-ENC| |AUTO| |-COPYID|"},
    {"-SETID TITL=x -I a -O b", kModeConvert, "|-I| |a| |-O| |b| |-ENC| |AUTO| |-SETID| |TITL=x|"},
    {"-SETID TITL=x -I a -O b -RECURSIVE", kModeConvert,
     "|-I| |a| |-O| |b| |-ENC| |AUTO| |-SETID| |TITL=x| |-RECURSIVE|"},
    {"-SETID id: TITL=x -I a.mp3 -RECURSIVE", kModeSetId, "|-I| |a.mp3| |-SETID| |id: TITL=x|"},
    {"-SETID t -I dir/", kModeSetId, "|-I| |dir/*| |-SETID| |t|"},
    {"-LISTENC", kModeListEncoders, "|-LISTENC|"},
    {"-listdec", kModeListDecoders, "|-LISTDEC|"},
    {"-I a.mp3 -SHOWID -RECURSIVE copy", kModeShowId, "|-I| |a.mp3| |-SHOWID| |-RECURSIVE| |copy|"},
    {"-CREATEBATCH jobs.xfb -I a.wav -O b.mp3 -SETID t -DELSOURCE -STREAM -RECURSIVE",
     kModeCreateBatch,
     "|-CREATEBATCH| |jobs.xfb| |-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-RECURSIVE| "
     "|-DELSOURCE|"},
    {"-CREATEBATCH jobs.xfb -I a.wav -O b.mp3 -COPYID", kModeCreateBatch,
     "|-CREATEBATCH| |jobs.xfb| |-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-COPYID|"},
    {"-BATCH \"my jobs.xfb\"", kModeRunBatch, "|-BATCH| |my jobs.xfb|"},
    {"-TESTENC -I a.wav -O out/ -ENC Brevant", kModeTestEncoder,
     "|-TESTENC| |-I| |a.wav| |-O| |out/| |-ENC| |Brevant|"},
    {"-TESTENC -I a.wav -O out/ -ENCPARAM q", kModeTestEncoder,
     "|-TESTENC| |-I| |a.wav| |-O| |out/| |-ENC| |AUTO|"},
    {"-HELPENC Brevant", kModeEncoderHelp, "|-HELPENC| |Brevant|"},
    {"-HELP cpu", kModeHelp, "|-HELP| |cpu|"},
    {"-HELP", kModeHelp, "|-HELP|"},
    {"-PLAY -I a.mp3 -DECPARAM p -DEC Dx -STREAM", kModePlay,
     "|-I| |a.mp3| |-DEC| |Dx| |-DECPARAM| |p| |-PLAY| |-STREAM|"},
    {"-PLAY -I a.mp3", kModePlay, "|-I| |a.mp3| |-PLAY|"},
    {"-I \"/My Music/a  b.wav\" -O out/", kModeConvert,
     "|-I| |/My Music/a b.wav| |-O| |out/*| |-ENC| |AUTO|"},
    {"-RESUME -LISTDSP x -DSP y -DSPPARAM a:b -HELPDSP z -OVERWRITE yes -I a -O b", kModeConvert,
     "|-I| |a| |-O| |b| |-ENC| |AUTO|"},
};

TEST_F(RecordTest, EachCommandGivesItsModeAndJobLine) {
    for (const JobLineCase &c : kJobLineCases) {
        Parsed parsed;
        ParseHostLine(Native(c.command), &parsed);
        ASSERT_TRUE(parsed.accepted) << c.command << "\n" << parsed.output;
        EXPECT_EQ(parsed.output, "") << c.command;
        EXPECT_EQ(parsed.record.mode, c.mode) << c.command;
        EXPECT_EQ(JobLine(parsed.record), Native(c.jobLine)) << c.command;
    }
}

// The job runner reads each job line back; it must give the same job again.
TEST_F(RecordTest, JobLineReadBackGivesTheSameJobLine) {
    std::vector<std::string> commands;
    for (const JobLineCase &c : kJobLineCases)
        commands.push_back(Native(c.command));
    commands.push_back("-I a.wav -O b.mp3 -DEBUG -WINAMP /opt/Win Amp/ -CPU 5");
    commands.push_back("-LISTENC -DEBUG -FIXFREQ 3 -PREVIEW 30");
    for (const std::string &command : commands) {
        Parsed first;
        ParseHostLine(command, &first);
        ASSERT_TRUE(first.accepted) << command;
        Parsed second;
        ParseJobLine(JobLine(first.record), &second);
        ASSERT_TRUE(second.accepted) << command << "\n" << second.output;
        EXPECT_EQ(second.record.mode, first.record.mode) << command;
        EXPECT_EQ(JobLine(second.record), JobLine(first.record)) << command;
        EXPECT_EQ(second.record.cpuPriority, first.record.cpuPriority) << command;
        EXPECT_EQ(second.record.recursive, first.record.recursive) << command;
        EXPECT_EQ(unknownKeyCalls, 0) << command;
        FreeString(&winampFolder);
    }
}

TEST_F(RecordTest, RecordFieldsFollowTheKeys) {
    Parsed convert;
    ParseHostLine("-I a.wav -O b.mp3 -ENC Brevant -CPU 3 -RECURSIVE COPY -PREVIEW 7 -FIXFREQ 1 "
                  "-DELSOURCE -STREAM -SETID TITL=x",
                  &convert);
    const CommandRecord &r = convert.record;
    EXPECT_EQ(r.mode, kModeConvert);
    EXPECT_EQ(r.cpuPriority, 3);
    EXPECT_EQ(r.recursive, 2);
    EXPECT_EQ(r.previewSeconds, 7);
    EXPECT_EQ(r.fixFreq, 1);
    EXPECT_EQ(r.deleteSource, 1);
    EXPECT_EQ(r.stream, 1);
    EXPECT_EQ(r.setId, 1);
    EXPECT_EQ(Text(r.setIdArg), "TITL=x");
    EXPECT_EQ(Text(r.encoderName), "Brevant");

    Parsed inPlace;
    ParseHostLine("-SETID id: TITL=x -I a.mp3 -RECURSIVE -CPU 2", &inPlace);
    EXPECT_EQ(inPlace.record.mode, kModeSetId);
    EXPECT_EQ(inPlace.record.recursive, 0);
    EXPECT_EQ(inPlace.record.cpuPriority, 2);

    Parsed batch;
    ParseHostLine("-CREATEBATCH j.xfb -I a.wav -O b.mp3 -SETID t -STREAM", &batch);
    EXPECT_EQ(batch.record.setId, 0);
    EXPECT_EQ(batch.record.setIdArg, nullptr);
    EXPECT_EQ(batch.record.stream, 0);
    EXPECT_EQ(Text(batch.record.batchName), "j.xfb");

    Parsed help;
    ParseHostLine("-HELPENC Brevant", &help);
    EXPECT_EQ(Text(help.record.encoderName), "Brevant");
    EXPECT_EQ(help.record.cpuPriority, 1);
}

TEST_F(RecordTest, FolderNamesAreCompletedExceptForTheEncoderTest) {
    struct Case {
        const char *command;
        const char *input;
        const char *output;
    };
    const Case cases[] = {
        {"-I in/ -O out/", "in/*", "out/*"},
        {"-I in/a.wav -O out/b", "in/a.wav", "out/b"},
        {"-TESTENC -I in/ -O out/", "in/", "out/"},
        {"-PLAY -I music/", "music/*", "<null>"},
    };
    for (const Case &c : cases) {
        Parsed parsed;
        ParseHostLine(Native(c.command), &parsed);
        ASSERT_TRUE(parsed.accepted) << c.command;
        EXPECT_EQ(Text(parsed.record.inputName), Native(c.input)) << c.command;
        EXPECT_EQ(Text(parsed.record.outputName), Native(c.output)) << c.command;
    }
}

TEST_F(RecordTest, DebugPrintsTheListAndTheJobLine) {
    const std::string rule(56, '-');
    Parsed parsed;
    ParseHostLine("-I a.wav -O b.mp3 -DEBUG -CPU 3", &parsed);
    EXPECT_EQ(parsed.output, "Debug :\n" + rule + "\n-I\na.wav\n-O\nb.mp3\n-DEBUG\n-CPU\n3\n" +
                                 rule +
                                 "\n\nDebug:\n|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| "
                                 "|-DEBUG| |-CPU| |3|\n------\n");

    for (const JobLineCase &c : kJobLineCases) {
        Parsed debug;
        ParseHostLine(std::string(c.command) + " -DEBUG", &debug);
        ASSERT_TRUE(debug.accepted) << c.command;
        EXPECT_EQ(debug.record.debug, 1) << c.command;
        const std::string line = JobLine(debug.record);
        EXPECT_NE(line.find("|-DEBUG|"), std::string::npos) << c.command;
        const std::string block = "Debug:\n" + line + "\n------\n";
        ASSERT_GE(debug.output.size(), block.size()) << c.command;
        EXPECT_EQ(debug.output.substr(debug.output.size() - block.size()), block) << c.command;
    }
}

TEST_F(RecordTest, DebugWithAnArgumentDependsOnTheTokenizerMode) {
    Parsed split;
    ParseHostLine("-LISTENC -DEBUG yes", &split);
    EXPECT_TRUE(split.accepted);
    EXPECT_EQ(split.output, "Debug :\n" + std::string(56, '-') + "\n-LISTENC\n-DEBUG\n" +
                                std::string(56, '-') + "\n\nDebug:\n|-LISTENC| |-DEBUG|\n------\n");

    Parsed job;
    ParseJobLine("|-LISTENC| |-DEBUG| |yes|", &job);
    EXPECT_FALSE(job.accepted);
    EXPECT_EQ(job.output, "ERROR: key -DEBUG must to be used without argument\n\n");
}

TEST_F(RecordTest, WinampFolderStaysForLaterCommands) {
    Parsed first;
    ParseHostLine("-LISTENC -WINAMP /opt/winamp", &first);
    EXPECT_EQ(JobLine(first.record), "|-LISTENC| |-WINAMP| |/opt/winamp|");
    Parsed second;
    ParseHostLine("-I a.wav -O b.mp3", &second);
    EXPECT_EQ(JobLine(second.record),
              "|-I| |a.wav| |-O| |b.mp3| |-ENC| |AUTO| |-WINAMP| |/opt/winamp|");
    Parsed third;
    ParseJobLine("|-LISTDEC| |-WINAMP| |/other|", &third);
    EXPECT_EQ(Text(winampFolder), "/other");
    Parsed fourth;
    ParseHostLine("-LISTDEC", &fourth);
    EXPECT_EQ(JobLine(fourth.record), "|-LISTDEC| |-WINAMP| |/other|");
}

// The -ENC item without a name is what the job runner refuses; the check supplies AUTO so the
// tags-with-conversion command never produces it.
TEST_F(RecordTest, SetIdWithConversionGetsTheAutomaticEncoder) {
    Parsed parsed;
    ParseHostLine("-SETID TITL=x -I a.wav -O b.mp3", &parsed);
    ASSERT_TRUE(parsed.accepted);
    EXPECT_EQ(Text(parsed.record.encoderName), "AUTO");
    Parsed job;
    ParseJobLine(JobLine(parsed.record), &job);
    EXPECT_TRUE(job.accepted) << job.output;

    Parsed bare;
    ParseJobLine("|-I| |a.wav| |-O| |b.mp3| |-ENC| |-SETID| |TITL=x|", &bare);
    EXPECT_FALSE(bare.accepted);
    EXPECT_EQ(bare.output, "ERROR: missing argument for key -ENC\n\n");
}

CommandRecord MakeRecord(int mode, const char *input) {
    CommandRecord record{};
    record.mode = mode;
    record.cpuPriority = 1;
    AssignString(input, &record.inputName);
    return record;
}

TEST_F(RecordTest, BuildCommandLineWritesKeysOfMissingFields) {
    struct Case {
        const char *name;
        CommandRecord record;
        const char *jobLine;
    };
    Case cases[] = {
        {"convert with input only", MakeRecord(kModeConvert, "a.wav"), "|-I| |a.wav| |-O| |-ENC|"},
        {"tag key without text", MakeRecord(kModeConvert, nullptr), "|-I| |-O| |-ENC| |-SETID|"},
        {"play without names", MakeRecord(kModePlay, nullptr), "|-I| |-PLAY|"},
        {"no mode", MakeRecord(kModeNone, nullptr), "<null>"},
        {"negative numbers", MakeRecord(kModeHelp, nullptr),
         "|-HELP| |-DEBUG| |-CPU| |-2| |-FIXFREQ| |-1|"},
    };
    cases[1].record.setId = 1;
    cases[4].record.debug = 1;
    cases[4].record.cpuPriority = -2;
    cases[4].record.fixFreq = -1;
    cases[4].record.previewSeconds = -3;
    for (Case &c : cases) {
        BuildCommandLine(&c.record);
        EXPECT_EQ(JobLine(c.record), c.jobLine) << c.name;
        ClearCommandRecord(&c.record);
    }
}

TEST_F(RecordTest, AppendKeyWritesBarredItems) {
    char *line = nullptr;
    AppendKey(nullptr, "lost", &line);
    EXPECT_EQ(line, nullptr);
    AppendKeyWithArg("-DEC", nullptr, &line);
    EXPECT_EQ(line, nullptr);
    AppendKey("-I", "a b", &line);
    AppendKey("-PLAY", nullptr, &line);
    AppendKeyWithArg("-DEC", "", &line);
    EXPECT_EQ(Text(line), "|-I| |a b| |-PLAY| |-DEC| || ");
    FreeString(&line);
}

TEST_F(RecordTest, ClearCommandRecordReleasesAndResets) {
    CommandRecord record{};
    char **texts[] = {&record.commandLine,   &record.reserved3,     &record.inputName,
                      &record.outputName,    &record.batchName,     &record.encoderName,
                      &record.encoderParams, &record.decoderParams, &record.decoderName,
                      &record.setIdArg,      &record.copyIdArg,     &record.helpArg};
    for (char **text : texts)
        AssignString("x", text);
    record.mode = kModePlay;
    record.setId = record.copyId = record.setIdSafe = record.deleteSource = 1;
    record.debug = record.recursive = record.fixFreq = record.stream = 1;
    record.previewSeconds = record.reserved2 = 9;
    record.cpuPriority = 4;
    ClearCommandRecord(&record);
    for (char **text : texts)
        EXPECT_EQ(*text, nullptr);
    EXPECT_EQ(record.mode, 0);
    EXPECT_EQ(record.setId + record.copyId + record.setIdSafe + record.deleteSource, 0);
    EXPECT_EQ(record.debug + record.recursive + record.fixFreq + record.stream, 0);
    EXPECT_EQ(record.previewSeconds + record.reserved2, 0);
    EXPECT_EQ(record.cpuPriority, 1);
}

} // namespace
