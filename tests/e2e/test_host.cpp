// The console program kernova, run as a user runs it: its stdout byte for byte, its stderr
// lines and its exit status, for command lines that end before any audio is decoded.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kRule(56, '-');
const std::string kMissingKeys = "ERROR: missing important keys\n\n";
const std::string kCpuHelp =
    " -CPU <value>\n\n Set process priority. Value can be from 0 to 5 (0 - "
    "highest priority).\n\n Example : -CPU 3";

// The core's -DEBUG listing of an argument list.
std::string DebugListing(const std::vector<std::string> &elements) {
    std::string text = "Debug :\n" + kRule + "\n";
    for (const auto &element : elements)
        text += element + "\n";
    return text + kRule + "\n\n";
}

// The core's -DEBUG line of one job.
std::string DebugJobLine(const std::string &jobLine) {
    return "Debug:\n" + jobLine + "\n------\n";
}

// An installed program with one decoder and one encoder, so that start-up succeeds.
class HostTest : public ::testing::Test {
  protected:
    HostTest() {
        sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("test_decoder"));
        sandbox.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("test_encoder"));
    }

    // Folders of the program and of the runs as the program itself sees them.
    std::string ProgramFolder() const { return fs::canonical(sandbox.app).string(); }
    std::string WorkFolder() const { return fs::canonical(sandbox.work).string(); }

    // The usage text: what the program prints on stderr when it gets no arguments.
    std::string UsageText() const { return sandbox.Run({}).err; }

    Sandbox sandbox;
};

struct OutputCase {
    const char *name;
    std::vector<std::string> args;
    std::string out; // stdout, byte for byte
    std::string err; // stderr, byte for byte
    int exitCode;
    std::map<std::string, std::string> env = {}; // switches for this run only
};

void ExpectOutputs(Sandbox &sandbox, const OutputCase &c) {
    SCOPED_TRACE(c.name);
    const auto saved = sandbox.env;
    for (const auto &[name, value] : c.env)
        sandbox.env[name] = value;
    RunResult result = sandbox.Run(c.args);
    sandbox.env = saved;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitCode, c.exitCode);
}

TEST_F(HostTest, PrintsWhatTheCoreAndTheMessageTableSay) {
    const OutputCase cases[] = {
        {"debug listing, the quoted path stays one argument, no source found",
         {"-I", "my folder/*.wav", "-O", "out/*.flac", "-DEBUG"},
         DebugListing({"-I", "my folder/*.wav", "-O", "out/*.flac", "-DEBUG"}) +
             DebugJobLine("|-I| |my folder/*.wav| |-O| |out/*.flac| |-ENC| |AUTO| |-DEBUG|") +
             "Error...\n",
         "kernova: error: my folder/*.wav: no source file found\n",
         1},
        {"no quotes are added around a parameter text that holds quotes and blanks",
         {"-I", "a.wav", "-O", "b.wav", "-ENCPARAM", "t:\"a b\"  c", "-DEBUG"},
         DebugListing({"-I", "a.wav", "-O", "b.wav", "-ENCPARAM", "t:\"a b\" c", "-DEBUG"}) +
             DebugJobLine("|-I| |a.wav| |-O| |b.wav| |-ENC| |AUTO| |-ENCPARAM| |t:\"a b\" c| "
                          "|-DEBUG|") +
             "Error...\n",
         "kernova: error: " + WorkFolder() + NativePath("/a.wav: no source file found\n"),
         1},
        {"input without output", {"-I", "a.wav"}, kMissingKeys + kMissingKeys, "", 1},
        {"a key error other than an unknown key shows no usage",
         {"-CPU"},
         "ERROR: missing argument for key -CPU\n\n",
         "",
         1},
        {"help of a key, then the core's two line feeds",
         {"-HELP", "CPU"},
         kCpuHelp + "\n\n",
         "",
         0},
        {"help in lower case", {"-help", "cpu"}, kCpuHelp + "\n\n", "", 0},
        {"key without help",
         {"-HELP", "DEBUG"},
         "No additional help for this command available.\n",
         "",
         0},
        {"help of an encoder that does not exist",
         {"-HELPENC", "nosuch"},
         "nosuch: no help available for this encoder\n",
         "kernova: error: nosuch: encoder not found\n",
         0},
    };
    for (const auto &c : cases)
        ExpectOutputs(sandbox, c);
}

TEST_F(HostTest, UnknownKeyShowsTheUsageOnce) {
    const std::string usage = UsageText();
    ASSERT_NE(usage.find("-LISTENC"), std::string::npos);
    const std::string error = "ERROR: unknown key -XYZ\n\n";
    const OutputCase cases[] = {
        {"unknown key alone", {"-XYZ"}, error + usage, "", 1},
        // The tokenizer and the key check both report it; the usage follows the first report.
        {"unknown key with an argument", {"-XYZ", "word"}, error + usage + error, "", 1},
        {"unknown help topic",
         {"-HELP", "XYZ"},
         "Unknown argument for help command\n\n" + usage,
         "",
         0},
        {"help without a topic", {"-HELP"}, usage, "", 0},
    };
    for (const auto &c : cases)
        ExpectOutputs(sandbox, c);
}

TEST_F(HostTest, CommandLineLengthLimitIsTheCoresOwn) {
    // "-I " and the name: 4095 characters pass to the key check, 4096 are refused whole.
    RunResult longest = sandbox.Run({"-I", std::string(4092, 'a')});
    EXPECT_EQ(longest.out, kMissingKeys + kMissingKeys);
    EXPECT_EQ(longest.exitCode, 1);

    RunResult tooLong = sandbox.Run({"-I", std::string(4093, 'a')});
    EXPECT_EQ(tooLong.out, "ERROR: command line longer than 4095 characters\n\n");
    EXPECT_EQ(tooLong.err, "");
    EXPECT_EQ(tooLong.exitCode, 1);
}

TEST_F(HostTest, NoArgumentsPrintsUsageAndFails) {
    RunResult result = sandbox.Run({});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Usage: kernova ", 0), 0u) << result.err;
    EXPECT_EQ(result.exitCode, 2);
}

TEST_F(HostTest, StartsWithoutCodecsButWarns) {
    fs::remove_all(fs::path(sandbox.app) / "plugins" / "in");
    RunResult result = sandbox.Run({"-HELP", "CPU"});
    EXPECT_EQ(result.out, kCpuHelp + "\n\n");
    EXPECT_EQ(result.err, "kernova: warning: no decoder or encoder plug-in found in " +
                              ProgramFolder() + NativePath("/plugins") + "\n");
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(HostTest, CannotStartWithoutTheTagPlugin) {
    const std::string tagger = ProgramFolder() + NativePath("/plugins/") + LibraryFile("idtagger");
    if (!fs::exists(tagger))
        GTEST_SKIP() << "this build has no tag plug-in";
    fs::remove(tagger);
    RunResult noTagger = sandbox.Run({"-HELP", "CPU"});
    EXPECT_EQ(noTagger.out, "");
    EXPECT_EQ(noTagger.err, "kernova: error: " + tagger + ": cannot load the ID tag plug-in\n");
    EXPECT_EQ(noTagger.exitCode, 2);
}

TEST_F(HostTest, CannotStartWithoutTheCore) {
    const std::string core = ProgramFolder() + NativePath("/") + CoreLibraryFile();
    fs::remove(core);
    RunResult noCore = sandbox.Run({"-HELP", "CPU"});
    EXPECT_EQ(noCore.out, "");
    EXPECT_EQ(noCore.err.rfind("kernova: error: " + core + ": cannot load the core library", 0), 0u)
        << noCore.err;
    EXPECT_EQ(noCore.exitCode, 2);
}

TEST_F(HostTest, CoreWithoutAnExportIsRefused) {
    // Any library that is not the core: a test decoder has none of the core's exports.
    fs::copy_file(fs::path(KN_TEST_PLUGIN_DIR) / LibraryFile("test_decoder"),
                  fs::path(sandbox.app) / CoreLibraryFile(), fs::copy_options::overwrite_existing);
    RunResult result = sandbox.Run({"-LISTENC"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "kernova: error: " + ProgramFolder() + NativePath("/") +
                              CoreLibraryFile() +
                              ": not the core library (no GetKernova_DLL export)\n");
    EXPECT_EQ(result.exitCode, 2);
}

TEST_F(HostTest, ListingsAreLaidOutInColumns) {
    sandbox.env["TEST_DECODER_DESCRIPTION"] = "Tenquil decoder";
    sandbox.env["TEST_DECODER_EXTENSIONS"] = "mp3;mp2|MPEG Audio,wav|Wave";
    sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("bare"));
    sandbox.env["BARE_EXTENSIONS"] = "";
    sandbox.env["TEST_ENCODER_EXTENSION"] = "longextension";
    const OutputCase cases[] = {
        {"decoders: a module without entries is one line",
         {"-LISTDEC"},
         "bare  bare test decoder\n"
         "test_decoder  Tenquil decoder\n"
         "    MP3;MP2   MPEG Audio\n"
         "    WAV       Wave\n",
         "",
         0},
        {"encoders: an extension wider than its column",
         {"-listenc"},
         "test_encoder  test_encoder test encoder\n"
         "    longextension  Test Audio\n",
         "",
         0},
    };
    for (const auto &c : cases)
        ExpectOutputs(sandbox, c);
}

TEST_F(HostTest, TagsAreShownFieldByField) {
    sandbox.AddTestPlugin("test_tagger", "plugins", LibraryFile("idtagger"));
    sandbox.env["IDTAGGER_TAGS"] = "a.mp3|v1|0=Title|1=Artist;a.mp3|v2|0=Title2|12=http://x|3=Orig";
    sandbox.WriteFile("a.mp3", "x");
    sandbox.WriteFile("b.mp3", "x");
    const std::string a = WorkFolder() + NativePath("/a.mp3");
    const OutputCase cases[] = {
        {"both versions",
         {"-I", "a.mp3", "-SHOWID"},
         "input:      " + a +
             "\n"
             "ID v1.1 tag:\n"
             "  Title:           Title\n"
             "  Artist:          Artist\n"
             "ID v2.x tag:\n"
             "  Title:           Title2\n"
             "  Original artist: Orig\n"
             "  URL:             http://x\n",
         "",
         0},
        {"no tag",
         {"-I", "b.mp3", "-SHOWID"},
         "input:      " + WorkFolder() + NativePath("/b.mp3\n") +
             "no ID tags (the file holds none, cannot be read or cannot "
             "carry tags)\n",
         "",
         0},
    };
    for (const auto &c : cases)
        ExpectOutputs(sandbox, c);
}

TEST_F(HostTest, LastJobResultDecidesTheExitStatus) {
    sandbox.AddTestPlugin("test_tagger", "plugins", LibraryFile("idtagger"));
    sandbox.WriteFile("a.tst", "x");
    sandbox.WriteFile("b.tst", "y");
    sandbox.WriteFile("noise.xfb", std::string("\x01\x9c\xff\x00|\x7f\n\xfe\xfa|| \x02\n", 14));
#if !defined(_WIN32)
    for (const char *file : {"bars/a| |b.tst", "bars/c.tst", "breaks/a\nb.tst"})
        sandbox.WriteFile(NativePath(file), "z");
#endif
    const std::string work = WorkFolder();
    const std::string settings =
        "encoder:    test_encoder\n"
        "parameters: %s\n"
        "input:      " +
        work + NativePath("/a.tst\noutput:     ") + work +
        NativePath("/%o\npriority:   Normal [1]\ndecoder:    default\n\nfailed\n");
    auto jobLines = [&](const std::string &parameters, const std::string &output) {
        std::string text = settings;
        text.replace(text.find("%s"), 2, parameters);
        text.replace(text.find("%o"), 2, output);
        return text;
    };
    const OutputCase cases[] = {
        {"a batch file is written, no job runs",
         {"-I", "a.tst", "-O", "c.tst", "-CREATEBATCH", "jobs.txt"},
         "Batch file created:\n" + work + NativePath("/jobs.txt\n"),
         "",
         0},
        {"no encoder for the output type",
         {"-I", "a.tst", "-O", "c.xyz"},
         "failed\n",
         "kernova: error: " + work +
             NativePath("/c.xyz: no encoder for this output type (name one with -ENC)\n"),
         1},
        {"the encoder refuses its parameters",
         {"-I", "a.tst", "-O", "c.tst", "-ENC", "test_encoder", "-ENCPARAM", "bad"},
         jobLines("bad", "c.tst"),
         "kernova: error: the encoder refused the parameters: bad\n",
         1},
        {"the output is the input",
         {"-I", "a.tst", "-O", "a.tst"},
         jobLines("default settings", "a.tst"),
         "kernova: error: the output file is the input file itself: " + work +
             NativePath("/a.tst\n"),
         1},
        {"two jobs on one output",
         {"-I", "*.tst", "-O", NativePath("out/same.tst")},
         "Error...\n",
         "kernova: error: two jobs would write the same output file: " +
             NativePath("out/same.tst") +
             "\n"
             "kernova: error: two jobs of this command would write the same output file; nothing "
             "was "
             "done\n",
         1},
        {"a batch file without a job line",
         {"-BATCH", "noise.xfb"},
         "Opening batch file :\nnoise.xfb\n\nfailed\n",
         "kernova: error: noise.xfb: no line of this batch file is a job\n",
         1},
        {"a source name that a job line cannot hold",
         {"-I", NativePath("bars/*.tst"), "-O", NativePath("out/*.tst")},
         "Error...\n",
         "kernova: error: a job line cannot hold this file name (a bar beside a blank, or a line "
         "break): " +
             NativePath("bars/a| |b.tst") +
             "\nkernova: error: a file name cannot be written into a job line; nothing was done\n",
         1},
        {"a source name with a line break",
         {"-I", NativePath("breaks/*.tst"), "-O", NativePath("out/*.tst")},
         "Error...\n",
         "kernova: error: a job line cannot hold this file name (a bar beside a blank, or a line "
         "break): " +
             NativePath("breaks/a\nb.tst") +
             "\nkernova: error: a file name cannot be written into a job line; nothing was done\n",
         1},
        {"tags set",
         {"-I", "a.tst", "-SETID", "id: TITL=x"},
         work + NativePath("/a.tst: setting ID tags\nID tags written\n"),
         "",
         0},
        {"tags cannot be written",
         {"-I", "a.tst", "-SETID", "id: TITL=x"},
         work + NativePath("/a.tst: setting ID tags\nfailed\n"),
         "kernova: error: writing the ID tags failed\n",
         1,
         {{"IDTAGGER_WRITE_FAIL", "1"}}},
    };
    for (const auto &c : cases) {
#if defined(_WIN32)
        // Windows names hold neither bars nor line breaks: these sources cannot exist there.
        if (std::string(c.name).rfind("a source name", 0) == 0)
            continue;
#endif
        ExpectOutputs(sandbox, c);
    }
}

std::size_t CountOccurrences(const std::string &text, const std::string &word) {
    std::size_t count = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

TEST_F(HostTest, PlugInsWithEmptyMandatorySlotsAreRefusedAndNamedUnderDebug) {
    struct Slot {
        const char *plugIn;
        const char *folder;
        const char *name; // the copy's name
        const char *slot;
    };
    const Slot slots[] = {
        {"test_encoder", "out", "no_open", "Open"},
        {"test_encoder", "out", "no_block", "GetBlockSize"},
        {"test_encoder", "out", "no_encode", "Encode"},
        {"test_encoder", "out", "no_close", "Close"},
        {"test_decoder", "in", "no_play", "Play"},
        {"test_decoder", "in", "no_stop", "Stop"},
    };
    std::vector<std::string> notes;
    for (const Slot &s : slots) {
        const std::string folder = std::string("plugins/") + s.folder;
        sandbox.AddTestPlugin(s.plugIn, folder, LibraryFile(s.name));
        std::string prefix = s.name;
        for (char &c : prefix)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        sandbox.env[prefix + "_EMPTY_SLOTS"] = s.slot;
        notes.push_back("Plug-in refused: " + ProgramFolder() + NativePath("/" + folder + "/") +
                        LibraryFile(s.name) + ": its table leaves " + s.slot + " empty\n");
    }
    sandbox.WriteFile("a.tst", "x");
    const RunResult debug = sandbox.Run({"-LISTENC", "-DEBUG"});
    EXPECT_EQ(debug.exitCode, 0) << debug.err;
    for (const std::string &note : notes)
        EXPECT_EQ(CountOccurrences(debug.out, note), 1u) << note << debug.out;
    EXPECT_EQ(CountOccurrences(debug.out, "no_"), notes.size()) << "listed anyway:\n" << debug.out;
    const RunResult plain = sandbox.Run({"-LISTENC"});
    EXPECT_EQ(CountOccurrences(plain.out, "Plug-in refused"), 0u) << plain.out;
    for (const char *name : {"no_open", "no_block", "no_encode", "no_close"}) {
        const RunResult chosen = sandbox.Run({"-I", "a.tst", "-O", "b.tst", "-ENC", name});
        EXPECT_EQ(chosen.err, "kernova: error: " + std::string(name) +
                                  ": not a valid encoder\nkernova: error: " + name +
                                  ": cannot load the module\n")
            << name;
        EXPECT_EQ(chosen.exitCode, 1) << name;
    }
    for (const char *name : {"no_play", "no_stop"}) {
        const RunResult chosen =
            sandbox.Run({"-I", "a.tst", "-O", "b.tst", "-ENC", "test_encoder", "-DEC", name});
        EXPECT_EQ(chosen.exitCode, 1) << name << chosen.out << chosen.err;
    }
}

TEST_F(HostTest, CtrlCStopsTheCommandAfterTheCurrentJob) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX shell to send SIGINT";
#endif
    // Many quick jobs; Ctrl-C comes as soon as the first of them have printed.
    constexpr int kFiles = 20000;
    fs::create_directories(sandbox.Path("many"));
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(sandbox.Path("many/f" + std::to_string(i) + ".mp3"));
    const std::string out = sandbox.root + NativePath("/int-out.txt");
    const std::string rc = sandbox.root + NativePath("/int-rc.txt");
    const std::string err = sandbox.root + NativePath("/int-err.txt");
    // The wait for the first output is bounded (10 s) so that a silent program cannot hang it.
    const std::string script =
        "cd " + ShellQuote(sandbox.work) + " && " +
        ShellQuote(sandbox.app + NativePath("/kernova")) + " -I 'many/*.mp3' -SHOWID >" +
        ShellQuote(out) + " 2>" + ShellQuote(err) + " & pid=$!; i=0; " + "while [ ! -s " +
        ShellQuote(out) + " ] && [ $i -lt 1000 ]; do sleep 0.01; " +
        "i=$((i + 1)); done; kill -INT $pid; wait $pid; echo $? >" + ShellQuote(rc);
    ASSERT_EQ(std::system(("sh -c " + ShellQuote(script)).c_str()), 0);
    std::ifstream rcFile(rc);
    int exitCode = -1;
    rcFile >> exitCode;
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    // Stopped after the current job, the run is refused (1); a program deaf to Ctrl-C would run
    // every job, one killed by it would give 130.
    EXPECT_EQ(exitCode, 1);
    std::stringstream said;
    said << std::ifstream(err).rdbuf();
    EXPECT_EQ(said.str(), "kernova: stopped by the user\n");
    const std::size_t jobs = CountOccurrences(text.str(), "input:");
    EXPECT_GT(jobs, 0u);
    EXPECT_LT(jobs, static_cast<std::size_t>(kFiles));
}

// A 16-bit stereo 44.1 kHz WAV file of a sine.
std::string MakeWav(int seconds) {
    constexpr int kRate = 44100;
    constexpr int kChannels = 2;
    std::string samples;
    for (int i = 0; i < seconds * kRate; ++i) {
        const auto value =
            static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * i / kRate));
        for (int c = 0; c < kChannels; ++c) {
            samples += static_cast<char>(value & 0xff);
            samples += static_cast<char>((value >> 8) & 0xff);
        }
    }
    auto le = [](uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i)
            text += static_cast<char>((value >> (8 * i)) & 0xff);
        return text;
    };
    const uint32_t size = static_cast<uint32_t>(samples.size());
    return "RIFF" + le(36 + size, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(kChannels, 2) +
           le(kRate, 4) + le(kRate * kChannels * 2, 4) + le(kChannels * 2, 2) + le(16, 2) + "data" +
           le(size, 4) + samples;
}

// The WAV decoder and encoder of the build; false when they are not built.
bool AddWavePlugins(Sandbox &sandbox) {
    for (const std::string &plugin :
         {LibraryFile("plugins/in/wave"), LibraryFile("plugins/out/wave")}) {
        if (!fs::exists(fs::path(KN_BIN_DIR) / plugin))
            return false;
        sandbox.AddBuiltPlugin(plugin);
    }
    return true;
}

TEST_F(HostTest, ProgressLineOnlyOnATerminalAndClearedBeforeOtherText) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs the script program for a terminal";
#endif
    if (!AddWavePlugins(sandbox))
        GTEST_SKIP() << "the WAV plug-ins are not built";
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no script program to give the run a terminal";
    sandbox.WriteFile("a.wav", MakeWav(2));

    RunResult piped = sandbox.Run({"-I", "a.wav", "-O", "piped.wav"});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_NE(piped.out.find("\ndone\n"), std::string::npos) << piped.out;

    // On a terminal stdout and stderr arrive mixed, with "\r\n" line ends.
    const std::string screen = sandbox.root + NativePath("/screen.txt");
    const std::string command = "cd " + ShellQuote(sandbox.work) + " && " +
                                ShellQuote(sandbox.app + NativePath("/kernova")) +
                                " -I a.wav -O tty.wav";
    const std::string script =
        "script -qec " + ShellQuote(command) + " /dev/null </dev/null >" + ShellQuote(screen);
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::stringstream text;
    text << std::ifstream(screen).rdbuf();
    const std::string shown = text.str();
    const auto firstLine = shown.find("\ra.wav    0%");
    ASSERT_NE(firstLine, std::string::npos) << shown;
    const auto cleared = shown.rfind("\r\x1b[K");
    ASSERT_NE(cleared, std::string::npos) << shown;
    EXPECT_LT(firstLine, cleared);
    // Nothing but the core's empty line, the result and the summary come after the line is gone.
    EXPECT_EQ(shown.substr(cleared).rfind("\r\x1b[K\r\ndone\r\nkernova: 1 converted, ", 0), 0u)
        << shown.substr(cleared);
}

TEST_F(HostTest, SecondCtrlCEndsAStuckCommandAtOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX shell, SIGINT and a named pipe";
#endif
    if (!AddWavePlugins(sandbox))
        GTEST_SKIP() << "the WAV plug-ins are not built";
    // Reading a pipe that nobody writes blocks the job: the first Ctrl-C only asks for a stop.
    ASSERT_EQ(std::system(("mkfifo " + ShellQuote(sandbox.Path("stuck.wav"))).c_str()), 0);
    const std::string rc = sandbox.root + NativePath("/stuck-rc.txt");
    // The waits are bounded and a program deaf to both Ctrl-Cs is killed, so nothing hangs.
    const std::string script =
        "cd " + ShellQuote(sandbox.work) + " && " +
        ShellQuote(sandbox.app + NativePath("/kernova")) +
        " -I stuck.wav -O out.wav >/dev/null 2>&1 & pid=$!; sleep 0.5; kill -INT $pid; " +
        "sleep 0.3; alive=0; kill -0 $pid 2>/dev/null && alive=1; kill -INT $pid; i=0; " +
        "while kill -0 $pid 2>/dev/null && [ $i -lt 300 ]; do sleep 0.01; i=$((i + 1)); done; " +
        "kill -KILL $pid 2>/dev/null; wait $pid; code=$?; echo $alive $code >" + ShellQuote(rc);
    ASSERT_EQ(std::system(("sh -c " + ShellQuote(script)).c_str()), 0);
    std::ifstream rcFile(rc);
    int alive = -1;
    int exitCode = -1;
    rcFile >> alive >> exitCode;
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(exitCode, 130);
}

} // namespace
