// The console program kernova, run as a user runs it: its stdout byte for byte, its stderr and
// its exit status, for command lines that end before any audio is decoded; its start-up
// failures; the progress line on a terminal; key help, compared with help.golden, and the
// encoder test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

const std::string kMissingKeys = "ERROR: missing important keys\n\n";
const std::string kCpuHelp =
    " -CPU <value>\n\n Set process priority. Value can be from 0 to 5 (0 - "
    "highest priority).\n\n Example : -CPU 3";

// An installed program with the fakes: a decoder for .pcm, one without extensions, an encoder
// with a long extension as well as the default one, and the fake tagger.
class HostTest : public ::testing::Test {
  protected:
    HostTest() {
        sb.AddFake("fake_decoder", "plugins/in", "dec");
        sb.AddFake("fake_decoder", "plugins/in", "bare");
        sb.AddFake("fake_encoder", "plugins/out", "enc");
        sb.AddFake("fake_encoder", "plugins/out", "wide");
        sb.AddFake("fake_tagger", "plugins", "idtagger");
        sb.env["DEC_DESCRIPTION"] = "Tenquil decoder";
        sb.env["DEC_EXTENSIONS"] = "pcm;mp3|PCM Audio,tst|Test";
        sb.env["BARE_EXTENSIONS"] = "";
        sb.env["WIDE_EXTENSION"] = "longextension";
        sb.env["IDTAGGER_FILE_TYPES"] = "mp3=6,pcm=2";
        sb.env["IDTAGGER_TAGS"] = "a.mp3|v1|0=Title|1=Artist;a.mp3|v2|0=Title2|12=http://x|3=Orig";
        for (const char *file : {"a.pcm", "b.pcm", "a.mp3", "b.mp3"})
            sb.WriteFile(file, "x");
    }
    Sandbox sb;
};

// cli.golden holds, for every command, "=== [SWITCH=value] <argument> | <argument> ..." and what
// the program did: its exit status, stdout and stderr, with the work folder as {work}.
TEST_F(HostTest, RunsAsTheGoldenFileShows) {
    sb.WriteFile("noise.xfb", std::string("\x01\x9c\xff\x00|\x7f\n\xfe\xfa|| \x02\n", 14));
    for (const char *file : {"bars/a| |b.tst", "bars/c.tst", "breaks/a\nb.tst"})
        sb.WriteFile(file, "z");
    std::ifstream in(std::string(KN_SOURCE_DIR) + NativePath("/tests/e2e/cli.golden"));
    std::string shown;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("=== ", 0) != 0)
            continue;
        std::string rest = line.substr(4);
        const auto saved = sb.env;
        if (rest.rfind('[', 0) == 0) {
            const std::string setting = rest.substr(1, rest.find(']') - 1);
            sb.env[setting.substr(0, setting.find('='))] = setting.substr(setting.find('=') + 1);
            rest.erase(0, rest.find(']') + 2);
        }
        Lines args;
        for (size_t at = 0; !rest.empty();) {
            const size_t bar = rest.find(" | ", at);
            args.push_back(NativePath(rest.substr(at, bar - at)));
            if (bar == std::string::npos)
                break;
            at = bar + 3;
        }
        const RunResult run = sb.Run(args);
        sb.env = saved;
        std::string text = "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out +
                           "--- stderr\n" + run.err;
        for (size_t at = text.find(sb.work); at != std::string::npos; at = text.find(sb.work))
            text.replace(at, sb.work.size(), "{work}");
        std::replace(text.begin(), text.end(), platform::kPathSeparator, '/');
        shown += line + "\n" + text;
    }
    ExpectGolden("e2e/cli.golden", shown);
    // The core's own limit: 4095 characters pass to the key check, 4096 are refused whole.
    EXPECT_EQ(sb.Run({"-I", std::string(4092, 'a')}).out, kMissingKeys + kMissingKeys);
    EXPECT_EQ(sb.Run({"-I", std::string(4093, 'a')}).out,
              "ERROR: command line longer than 4095 characters\n\n");
}

TEST_F(HostTest, StartUpFailuresSayWhichFileAndWhy) {
    const std::string plugins = sb.app + NativePath("/plugins/");
    const std::string core = sb.app + NativePath("/") + CoreLibraryFile();
    struct Case {
        const char *label;
        std::string removed;  // file or folder removed first
        std::string replaced; // copied over by a fake decoder, which has no export of the core
        std::string err;
        int exitCode;
    };
    const Case cases[] = {
        {"no decoder: a warning", plugins + "in", "",
         "kernova: warning: no decoder or encoder plug-in found in " + sb.app +
             NativePath("/plugins") + "\n",
         0},
        {"no tag plug-in", plugins + LibraryFile("idtagger"), "",
         "kernova: error: " + plugins + LibraryFile("idtagger") +
             ": cannot load the ID tag plug-in\n",
         2},
        {"a core without its exports", "", core,
         "kernova: error: " + core + ": not the core library (no GetKernova_DLL export)\n", 2},
        {"no core", core, "", "kernova: error: " + core + ": cannot load the core library", 2},
    };
    for (const Case &c : cases) {
        if (!c.removed.empty())
            fs::remove_all(c.removed);
        if (!c.replaced.empty())
            fs::copy_file(fs::path(KN_TEST_PLUGIN_DIR) / LibraryFile("fake_decoder"), c.replaced,
                          fs::copy_options::overwrite_existing);
        const RunResult result = sb.Run({"-HELP", "CPU"});
        EXPECT_EQ(result.out, c.exitCode == 0 ? kCpuHelp + "\n\n" : "") << c.label;
        EXPECT_EQ(result.err.substr(0, c.err.size()), c.err) << c.label;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.label;
    }
}

TEST_F(HostTest, ProgressLineOnlyOnATerminalAndClearedBeforeOtherText) {
#if defined(_WIN32)
    GTEST_SKIP() << "Wine draws a Windows console on a Unix terminal with escapes of its own";
#endif
    if (!HaveTools({"script"}))
        GTEST_SKIP() << "no script program to give the run a terminal";
    ASSERT_TRUE(sb.AddBuiltPlugin("plugins/in/wave") && sb.AddBuiltPlugin("plugins/out/wave"));
    const WavShape shape{44100, 2, 16, 2 * 44100};
    sb.WriteFile("a.wav", WavFile(shape, MakeSamples(shape)));
    const RunResult piped = sb.Run({"-I", "a.wav", "-O", "piped.wav"});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_TRUE(piped.out.ends_with("\ndone\n")) << piped.out;
    // On a terminal stdout and stderr arrive mixed, with "\r\n" line ends.
    const std::string command =
        "cd " + Quote(sb.work) + " && " + Quote(sb.app + "/kernova") + " -I a.wav -O tty.wav";
    const std::string shown = Output("script -qec " + Quote(command) + " /dev/null </dev/null");
    const auto firstLine = shown.find("\ra.wav    0%");
    const auto cleared = shown.rfind("\r\x1b[K");
    ASSERT_NE(firstLine, std::string::npos) << shown;
    ASSERT_NE(cleared, std::string::npos) << shown;
    EXPECT_LT(firstLine, cleared);
    // Nothing but the core's empty line, the result and the summary come after the line is gone.
    EXPECT_EQ(shown.substr(cleared).rfind("\r\x1b[K\r\ndone\r\nkernova: 1 converted, ", 0), 0u)
        << shown.substr(cleared);
}

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

} // namespace
