// Key help, compared with the golden text help.golden, and the encoder test, through the probe.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/fixtures/harness.h"

namespace {

class InfoTest : public ::testing::Test {
  protected:
    InfoTest() {
        sb.AddFake("fake_decoder", "plugins/in", "dec");
        sb.AddFake("fake_encoder", "plugins/out", "enc");
        sb.AddFake("fake_tagger", "plugins", "idtagger");
    }
    Sandbox sb;
};

// help.golden holds, for every help command, "=== <command>" and what the probe showed for it.
TEST_F(InfoTest, HelpTextsAreTheGoldenOnes) {
    std::ifstream in(std::string(KN_SOURCE_DIR) + NativePath("/tests/e2e/help.golden"));
    Lines commands;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("=== ", 0) == 0)
            commands.push_back(line.substr(4));
    }
    ASSERT_GE(commands.size(), 30u);
    std::string shown;
    size_t command = 0;
    for (const std::string &line : SplitLines(sb.Probe(commands).out)) {
        if (line == "INIT 1")
            continue;
        if (shown.empty() || shown.ends_with("\nR 1 last=97\n"))
            shown += "=== " + (command < commands.size() ? commands[command++] : "?") + "\n";
        shown += line + "\n";
    }
    ExpectGolden("e2e/help.golden", shown);
}

TEST_F(InfoTest, EncoderTestConvertsEachTestSetWithAFreshEncoder) {
    // Each test conversion fails at once: what matters is which sets reach the convert job.
    sb.env["DEC_PLAY_RESULT"] = "1";
    sb.env["ENC_TESTSETS"] = "q:1|low;q:9|high.xyz;q:5|mid";
    sb.WriteFile("in.pcm", "x");
    const std::string header = "Test encoder : enc\n" + std::string(58, '-') + "\n";
    const RunResult run = sb.Probe({"-I in.pcm -O " + sb.Path("test") + " -ENC enc -TESTENC"});
    EXPECT_EQ(run.out.substr(0, 7 + header.size()), "INIT 1\n" + header);
    Lines jobs;
    for (const std::string &line : SplitLines(run.out)) {
        if (line.rfind("M 202 ", 0) == 0 || line.rfind("M 203 ", 0) == 0)
            jobs.push_back(line);
    }
    EXPECT_EQ(jobs, (Lines{"M 203 q:1", "M 202 " + sb.Path("test/low.enc"), "M 203 q:9",
                           "M 202 " + sb.Path("test/high.xyz"), "M 203 q:5",
                           "M 202 " + sb.Path("test/mid.enc")}));
    // Each result, then an empty line; the last result is the job's.
    const Lines lines = SplitLines(run.out);
    size_t reported = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        reported += lines[i] == "M 95" && lines[i + 1].empty() ? 1 : 0;
    EXPECT_EQ(reported, 3u) << run.out;
    EXPECT_TRUE(run.out.ends_with("M 95\n\nM 95\nR 1 last=95\n")) << run.out;
    // Each set is asked of a freshly loaded encoder: the event before it is the loading.
    Lines sets;
    std::string previous;
    for (const std::string &event : sb.Events("enc")) {
        if (event.rfind("GetTestParams", 0) == 0)
            sets.push_back(previous + " / " + event);
        previous = event;
    }
    EXPECT_EQ(sets, (Lines{"RegisterCompressModule / GetTestParams 0",
                           "RegisterCompressModule / GetTestParams 1",
                           "RegisterCompressModule / GetTestParams 2",
                           "RegisterCompressModule / GetTestParams 3"}));
}

TEST_F(InfoTest, EncoderTestWithoutSetsOrEncoder) {
    sb.WriteFile("in.pcm", "x");
    EXPECT_EQ(sb.Probe({"-I in.pcm -O out/ -ENC enc -TESTENC"}).out,
              "INIT 1\nTest encoder : enc\n" + std::string(58, '-') + "\nM 97\nR 1 last=97\n");
    EXPECT_EQ(sb.Probe({"-I in.pcm -O out/ -ENC nothing -TESTENC"}).out,
              "INIT 1\nE 2 nothing\nM 95\nR 1 last=95\n");
}

} // namespace
