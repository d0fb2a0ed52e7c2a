// Listings, key help, encoder help and the encoder test, run through the probe host.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

std::string Probed(const std::string &body, int result, int last) {
    return "INIT 1\n" + body + "R " + std::to_string(result) + " last=" + std::to_string(last) +
           "\n";
}

// What the probe shows for a help command whose text goes to the host.
std::string HelpShown(const std::string &text) {
    return Probed("M 0 " + text + "\n\n\nM 97\n", 1, 97);
}

class InfoTest : public ::testing::Test {
  protected:
    InfoTest() {
        sandbox.AddTestPlugin("test_tagger", "plugins", LibraryFile("idtagger"));
        work = fs::canonical(sandbox.work).string();
    }

    void InstallCodecs() {
        sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("test_decoder"));
        sandbox.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("test_encoder"));
    }

    Sandbox sandbox;
    std::string work;
};

TEST_F(InfoTest, ListingsSendEachModuleAsOneBlock) {
    sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("dec_a"));
    sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("dec_b"));
    sandbox.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("enc_x"));
    sandbox.AddTestPlugin("test_winamp_decoder", "../work/winamp/plugins", LibraryFile("in_wa"));
    sandbox.env["DEC_A_DESCRIPTION"] = "D";
    sandbox.env["DEC_A_EXTENSIONS"] = "mp3;mp2|MPEG Audio,wav|Wave";
    sandbox.env["DEC_B_DESCRIPTION"] = "Bare";
    sandbox.env["DEC_B_EXTENSIONS"] = "";
    sandbox.env["ENC_X_DESCRIPTION"] = "E";
    sandbox.env["ENC_X_EXTENSION"] = "ogg";
    sandbox.env["ENC_X_EXTENSION_DESCRIPTION"] = "Ogg Vorbis";
    sandbox.env["IN_WA_DESCRIPTION"] = "D";
    sandbox.env["IN_WA_EXTENSIONS"] = "ogg|Ogg Vorbis";
    const std::string decoders = "M 67 dec_a\nM 61 D\nM 68 MP3;MP2\nM 69 MPEG Audio\n"
                                 "M 68 WAV\nM 69 Wave\nM 67 dec_b\nM 61 Bare\n";
    struct Case {
        const char *label;
        std::string command;
        std::string messages;
    };
    const Case cases[] = {
        {"encoders: the extension as the encoder gives it", "-LISTENC",
         "M 67 enc_x\nM 61 E\nM 68 ogg\nM 69 Ogg Vorbis\n"},
        {"decoders without a Winamp folder", "-LISTDEC", decoders},
        {"Winamp decoders come last, marked", "-LISTDEC -WINAMP " + work + NativePath("/winamp"),
         decoders + "M 67 in_wa\nM 61 [WinAMP] D\nM 68 OGG\nM 69 Ogg Vorbis\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sandbox.Probe({c.command}).out, Probed(c.messages + "M 97\n", 1, 97)) << c.label;
}

TEST_F(InfoTest, QuotedHelpTextsAreShownByteForByte) {
    InstallCodecs();
    struct Case {
        const char *topic;
        std::string text;
    };
    const Case cases[] = {
        {"BATCH", " -BATCH <batch file>\n\n Batch conversion mode. A file created with "
                  "-CREATEBATCH command is used as\n a source file for -BATCH command. File name "
                  "wildcard usage is enabled.\n\n Example : -BATCH batchfile.dbt\n           "
                  "-BATCH /my_batch_files/*.dbt"},
        {"helpenc", " -HELPENC <encoder name>\n\n Shows help file for selected compression "
                    "module.\n\n Example : -HELPENC Solmare"},
        {"SHOWID", " -SHOWID\n\n Shows ID tags information of selected file.\n\n Example : -I "
                   "sourcefile.mp3 -SHOWID"},
        {"CPU", " -CPU <value>\n\n Set process priority. Value can be from 0 to 5 (0 - highest "
                "priority).\n\n Example : -CPU 3"},
        {"Play", " -PLAY\n\n Play input audio file.\n\n Example : -i test.wav -PLAY"},
        {"DEC", " -DEC <decoder name>\n\n Sets the decoder for converted/played file\n\n If you "
                "want to use WinAMP plugin, then use [:] prefix\n\n Example : \n\n -I source.mp3 "
                "-DEC Tenquil -PLAY\n -I source.mp3 -DEC :in_mp3 -PLAY\n"},
        {"PREVIEW", " -PREVIEW <secounds>\n\n Sets the maximum secound limit in convert/play "
                    "mode\n\n Example : \n\n -I source.mp3 -o *.wma -PREVIEW 30\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sandbox.Probe({std::string("-HELP ") + c.topic}).out, HelpShown(c.text))
            << c.topic;
}

TEST_F(InfoTest, EveryTopicOpensWithItsKeyAndKeepsItsShape) {
    InstallCodecs();
    struct Case {
        const char *topic;
        const char *firstLine;
        bool endsWithLineFeed;
    };
    const Case cases[] = {
        {"I", " -I <file name>; -O <file name>", false},
        {"o", " -I <file name>; -O <file name>", false},
        {"DELSOURCE", " -DELSOURCE", false},
        {"RECURSIVE", " -RECURSIVE [copy]", true},
        {"CREATEBATCH", " -CREATEBATCH <batch file>", false},
        {"ENC", " -ENC <encoder name>", false},
        {"ENCPARAM", " -ENCPARAM <encoder parameters string>", false},
        {"TESTENC", " -TESTENC", false},
        {"LISTENC", " -LISTENC; -LISTDEC", false},
        {"LISTDEC", " -LISTENC; -LISTDEC", false},
        {"COPYID", " -COPYID <source:destination>", true},
        {"SETID", " -SETID [safe] <id version>: <field=argument> [<field=argument> [...]]", false},
        {"FIXFREQ", " -FIXFREQ <value>", false},
        {"DECPARAM", " -DECPARAM <decoder parameters string>", true},
        {"WINAMP", " -WINAMP <plugins folder>", true},
    };
    for (const Case &c : cases) {
        const std::string out = sandbox.Probe({std::string("-HELP ") + c.topic}).out;
        const std::string prefix = "INIT 1\nM 0 ";
        const std::string suffix = "\n\n\nM 97\nR 1 last=97\n";
        ASSERT_GT(out.size(), prefix.size() + suffix.size()) << c.topic;
        ASSERT_EQ(out.substr(0, prefix.size()), prefix) << c.topic;
        ASSERT_EQ(out.substr(out.size() - suffix.size()), suffix) << c.topic;
        const std::string text =
            out.substr(prefix.size(), out.size() - prefix.size() - suffix.size());
        EXPECT_EQ(text.substr(0, std::string(c.firstLine).size() + 3),
                  std::string(c.firstLine) + "\n\n ")
            << c.topic << ": key line, empty line, description";
        EXPECT_EQ(text.back() == '\n', c.endsWithLineFeed) << c.topic;
        EXPECT_NE(text.find(" Example : "), std::string::npos) << c.topic;
        EXPECT_EQ(text.find('\\'), std::string::npos) << c.topic << ": paths use '/'";
        for (unsigned char byte : text)
            EXPECT_LT(byte, 0x80) << c.topic << ": plain ASCII";
    }
    const std::string listing = sandbox.Probe({"-HELP LISTENC"}).out;
    EXPECT_NE(listing.find("Kernova"), std::string::npos);
    const std::string copyId = sandbox.Probe({"-HELP COPYID"}).out;
    EXPECT_NE(copyId.find("v2.x and A"), std::string::npos) << copyId;
}

TEST_F(InfoTest, HelpWithoutTextSaysSo) {
    InstallCodecs();
    struct Case {
        const char *command;
        std::string messages;
    };
    const Case cases[] = {
        {"-HELP DEBUG", "No additional help for this command available.\n"},
        {"-HELP STREAM", "No additional help for this command available.\n"},
        {"-HELP NOSUCHKEY", "Unknown argument for help command\n\nU\n"},
        {"-HELP", "U\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sandbox.Probe({c.command}).out, Probed(c.messages + "M 97\n", 1, 97))
            << c.command;
}

TEST_F(InfoTest, EncoderHelpComesFromTheEncoder) {
    InstallCodecs();
    sandbox.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("broken"));
    sandbox.env["BROKEN_VERSION"] = "15";
    sandbox.env["TEST_ENCODER_HELP"] = "q:<0..9> quality";
    const std::string log = sandbox.root + NativePath("/events.log");
    sandbox.env["KN_TEST_LOG"] = log;
    struct Case {
        const char *command;
        std::string messages;
    };
    const Case cases[] = {
        {"-HELPENC test_encoder", "q:<0..9> quality\n"},
        {"-HELPENC TEST_Encoder", "q:<0..9> quality\n"},
        {"-HELPENC nothing", "E 2 nothing\nM 88 nothing\n"},
        {"-HELPENC broken", "E 10 broken\nM 88 broken\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sandbox.Probe({c.command}).out, Probed(c.messages + "M 97\n", 1, 97))
            << c.command;

    fs::remove(log);
    sandbox.Probe({"-HELPENC test_encoder"});
    std::vector<std::string> afterStart;
    for (const std::string &event : SplitLines(sandbox.ReadFile(log))) {
        if (event == "test_encoder load")
            afterStart.clear();
        else if (event.rfind("test_encoder ", 0) == 0)
            afterStart.push_back(event);
    }
    const std::vector<std::string> expected = {"test_encoder RegisterCompressModule",
                                               "test_encoder Quit", "test_encoder unload"};
    EXPECT_EQ(afterStart, expected) << "loaded without Init, released with Quit";

    sandbox.env["TEST_ENCODER_HELP"] = "";
    EXPECT_EQ(sandbox.Probe({"-HELPENC test_encoder"}).out, Probed("\nM 97\n", 1, 97))
        << "an empty help text is one empty line";
}

TEST_F(InfoTest, EncoderTestConvertsEachTestSet) {
    InstallCodecs();
    sandbox.env["TEST_DECODER_EXTENSIONS"] = "wav|Wave";
    // Each test conversion fails at once: what matters is which sets reach the convert job.
    sandbox.env["TEST_DECODER_PLAY_RESULT"] = "1";
    sandbox.env["TEST_ENCODER_TESTSETS"] = "q:1|low;q:9|high.xyz;q:5|mid";
    const std::string log = sandbox.root + NativePath("/events.log");
    sandbox.env["KN_TEST_LOG"] = log;
    sandbox.WriteFile("in.wav", "x");
    const std::string header = "Test encoder : test_encoder\n" + std::string(58, '-') + "\n";
    const RunResult run =
        sandbox.Probe({"-I in.wav -O " + work + NativePath("/test -ENC test_encoder -TESTENC")});
    EXPECT_EQ(run.out.substr(0, 7 + header.size()), "INIT 1\n" + header);
    std::vector<std::string> jobs;
    int reported = 0;
    const std::vector<std::string> lines = SplitLines(run.out);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("M 202 ", 0) == 0 || lines[i].rfind("M 203 ", 0) == 0)
            jobs.push_back(lines[i]);
        if (lines[i] == "M 95" && i + 1 < lines.size() && lines[i + 1].empty())
            ++reported;
    }
    const std::vector<std::string> expected = {
        "M 203 q:1", "M 202 " + work + NativePath("/test/low.tst"),
        "M 203 q:9", "M 202 " + work + NativePath("/test/high.xyz"),
        "M 203 q:5", "M 202 " + work + NativePath("/test/mid.tst")};
    EXPECT_EQ(jobs, expected) << run.out;
    EXPECT_EQ(reported, 3) << "each result, then an empty line\n" << run.out;
    const std::string end = "M 95\n\nM 95\nR 1 last=95\n";
    EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end) << "the last result is the job's";

    // Each set is asked of a freshly loaded encoder: the event before it is the loading.
    std::vector<std::string> sets;
    std::string previous;
    for (const std::string &event : SplitLines(sandbox.ReadFile(log))) {
        if (event.rfind("test_encoder GetTestParams", 0) == 0)
            sets.push_back(previous + " / " + event.substr(13));
        if (event.rfind("test_encoder ", 0) == 0)
            previous = event.substr(13);
    }
    const std::vector<std::string> fresh = {
        "RegisterCompressModule / GetTestParams 0", "RegisterCompressModule / GetTestParams 1",
        "RegisterCompressModule / GetTestParams 2", "RegisterCompressModule / GetTestParams 3"};
    EXPECT_EQ(sets, fresh);
}

TEST_F(InfoTest, EncoderTestWithoutSetsOrEncoder) {
    InstallCodecs();
    sandbox.WriteFile("in.wav", "x");
    const std::string header = "Test encoder : test_encoder\n" + std::string(58, '-') + "\n";
    EXPECT_EQ(sandbox.Probe({"-I in.wav -O out/ -ENC test_encoder -TESTENC"}).out,
              Probed(header + "M 97\n", 1, 97));
    EXPECT_EQ(sandbox.Probe({"-I in.wav -O out/ -ENC nothing -TESTENC"}).out,
              Probed("E 2 nothing\nM 95\n", 1, 95));
}

} // namespace
