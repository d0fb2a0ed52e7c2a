// Conversions and plays end to end, and their threads: the fake decoder produces the pattern
// stream from its own thread, the fake encoder and the fake playback output record what reaches
// them, and the probe host shows every callback; stops come from the host, the decoding thread,
// Ctrl-C, and a decoder that never closes its output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"
#include "tests/plugins/common/plugin_switches.h"

namespace fs = std::filesystem;

namespace {

using Env = std::map<std::string, std::string>;

const char kSourceText[] = "not audio: the fake decoder never reads its input";

std::string Pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(testplugin::PatternByte(i));
    return bytes;
}

// Progress lines depend on timing except for the fixed ones the job sends.
Lines WithoutPumpPositions(const Lines &lines) {
    Lines kept;
    for (const std::string &line : lines) {
        if (line.rfind("P ", 0) != 0 || line == "P 200")
            kept.push_back(line);
    }
    return kept;
}

// The data calls an encoder of `block` bytes receives for `bytes` bytes, then its Close.
Lines BlockCalls(size_t bytes, size_t block) {
    Lines calls(bytes / block, "Encode " + std::to_string(block));
    if (bytes % block != 0)
        calls.push_back("EncodeLast " + std::to_string(bytes % block));
    calls.push_back("Close");
    return calls;
}

// An installed program with the fake decoder for ".pcm", the fake encoder and the fake output.
class ConversionTest : public ::testing::Test {
  protected:
    ConversionTest() {
        sb.AddFake("fake_decoder", "plugins/in", "dec");
        sb.AddFake("fake_encoder", "plugins/out", "enc");
        sb.AddFake("fake_output", "plugins/out/WinAMP", "DirectSound");
        sb.env["ENC_CAPTURE"] = sb.root + NativePath("/capture.bin");
        sb.env["DIRECTSOUND_CAPTURE"] = sb.root + NativePath("/played.bin");
        sb.timeoutSeconds = 60; // a lost stop must fail its test, not stall the suite
        sb.WriteFile(input, kSourceText);
    }

    std::string Convert(const std::string &keys = "") const {
        return "-I " + input + " -O " + output + " -ENC enc" + keys;
    }

    // The messages of a convert job up to the choice of the decoder.
    Lines JobHead(const std::string &params = "default settings",
                  const std::string &priority = "Normal [1]",
                  const std::string &decoder = "default") const {
        return {"M 204 enc",       "M 203 " + params,  "M 201 " + input,
                "M 202 " + output, "M 14 " + priority, "M 206 " + decoder};
    }

    // Runs the steps with extra switches, from a clean event log and capture.
    Lines Run(const Env &env, const std::vector<std::string> &steps) {
        const Env saved = sb.env;
        for (const auto &[name, value] : env)
            sb.env[name] = value;
        sb.ClearEvents();
        for (const char *file : {"/capture.bin", "/played.bin"})
            fs::remove(sb.root + NativePath(file));
        const Lines lines = sb.Callbacks(steps);
        sb.env = saved;
        return lines;
    }

    std::string Captured(const char *file = "/capture.bin") const {
        return sb.ReadFile(sb.root + NativePath(file));
    }

    Lines EncoderDataCalls() const {
        Lines calls;
        for (const std::string &event : sb.Events("enc")) {
            if (event.rfind("Encode", 0) == 0 || event == "Close")
                calls.push_back(event);
        }
        return calls;
    }

    Sandbox sb;
    const std::string input = sb.Path("in.pcm");
    const std::string output = sb.Path("out.enc");
};

// "NAME=value NAME=value" as switches.
Env Switches(const std::string &text) {
    Env env;
    std::istringstream words(text);
    for (std::string word; words >> word;)
        env[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    return env;
}

// The messages after the job's input and output: priority, decoder, then `middle` and the result.
Lines Done(const Lines &middle = {}, const std::string &priority = "Normal [1]",
           const std::string &decoder = "default") {
    return Concat(Concat({"M 14 " + priority, "M 206 " + decoder}, middle),
                  {"M 97", "R 1 last=97"});
}
Lines Failed(const Lines &middle = {}) {
    return Concat(Concat({"M 14 Normal [1]", "M 206 default"}, middle), {"M 95", "R 1 last=95"});
}

struct ConvertCase {
    const char *label;
    std::string env;      // switches, "NAME=value ..."
    std::string keys;     // after "-I in.pcm -O out.enc -ENC enc"
    Lines tail;           // the messages after the job's output name
    long delivered;       // bytes of the stream the output holds; -1: none is left
    std::string counts{}; // "<plug-in> <event>=<times>;..." as the event log must show them
};

// Every conversion reports its settings, passes each byte once in whole blocks (the rest at the
// close), and leaves its output only when it succeeded.
TEST_F(ConversionTest, ConversionsReportTheirStepsAndPassEveryByteOnce) {
    sb.AddFake("fake_decoder", "plugins/in", "other");
    sb.env["OTHER_EXTENSIONS"] = "xyz|Other";
    const std::string slowMono = "DEC_RATE=8000 DEC_CHANNELS=1 DEC_TOTAL_BYTES=200000 ";
    const std::string play = "dec Play " + input, otherPlay = "other Play " + input;
    const ConvertCase cases[] = {
        {"defaults", "", "", Done(), 65536,
         "enc priority 1=1;enc SetOption 0=1;enc Init=2;dec Init=2"},
        {"-CPU and -ENCPARAM", "", " -CPU 3 -ENCPARAM q:5", Done({}, "Low [3]"), 65536,
         "enc priority 3=1;enc StringToParams q:5=1"},
        {"-CPU 9 is the lowest level", "", " -CPU 9", Done({}, "Lowest [5]"), 65536,
         "enc priority 5=1"},
        {"a -DEC name that exists whatever its extensions", "", " -DEC other",
         Done({}, "Normal [1]", "other"), 65536, otherPlay + "=1;" + play + "=0"},
#if !defined(_WIN32) // plug-in names there are found only as they are spelt
        {"a -DEC name is found without regard to case", "", " -DEC OTHER",
         Done({}, "Normal [1]", "OTHER"), 65536, otherPlay + "=1;" + play + "=0"},
#endif
        {"an unknown -DEC name falls back", "", " -DEC nosuch", Done(), 65536, play + "=1"},
        {"a leading colon stays part of the -DEC name", "", " -DEC :other", Done(), 65536,
         play + "=1;" + otherPlay + "=0"},
        {"refused parameters: 5 and no output", "ENC_ACCEPT_PARAMS=0", " -ENCPARAM q:5",
         Failed({"E 5 q:5"}), -1, "enc Open 44100 2 16=0"},
        {"shown parameters: 92 and the encoder's own text", "ENC_SHOW_PARAMS=1",
         " -ENCPARAM q:5  r:1", Done({"E 92", "M 203 q:5 r:1"}), 65536},
        {"8192-byte pieces against 4608-byte blocks", "DEC_TOTAL_BYTES=66536", "", Done(), 66536},
        {"pieces of one block", "DEC_PIECE=4608 DEC_TOTAL_BYTES=23040", "", Done(), 23040},
        {"small pieces gathered", "DEC_PIECE=1000 DEC_TOTAL_BYTES=10000 ENC_BLOCK_SIZE=4096", "",
         Done(), 10000},
        {"5-byte pieces are buffered", "DEC_PIECE=5 DEC_TOTAL_BYTES=5000", "", Done(), 5000},
        {"a last piece of 4 bytes is ignored", "DEC_TOTAL_BYTES=16388", "", Done(), 16384},
        {"4-byte pieces are all ignored", "DEC_PIECE=4 DEC_TOTAL_BYTES=400", "", Done(), 0},
        {"the end message 0x403 too", "DEC_EOF_MESSAGE=0x403 DEC_TOTAL_BYTES=30000", "", Done(),
         30000},
        {"an empty stream opens and closes the encoder", "DEC_TOTAL_BYTES=0", "", Done(), 0},
        // 8000 Hz mono 16-bit: 16000 bytes per second, -PREVIEW 2 allows 32000 bytes.
        {"-PREVIEW drops the piece that would pass the limit", slowMono + "DEC_PIECE=3000",
         " -PREVIEW 2", Done(), 30000},
        {"-PREVIEW keeps a piece that ends at the limit", slowMono + "DEC_PIECE=4000",
         " -PREVIEW 2", Done(), 32000},
        {"the standard format asked for: the decoder's PCM unchanged",
         "DEC_RATE=22050 DEC_CHANNELS=1 ENC_WANT_STANDARD=1", "", Done(), 65536,
         "enc Open 22050 1 16=1"},
        {"-DELSOURCE after success", "", " -DELSOURCE", Done({"M 15 " + input}), 65536},
        {"-DELSOURCE keeps a source cut by -PREVIEW", slowMono, " -DELSOURCE -PREVIEW 1", Done(),
         8192},
        {"Encode fails mid-way: no output, the source stays", "ENC_ENCODE_FAIL_AFTER=3",
         " -DELSOURCE", Failed({"E 9 " + output}), -1,
         "enc Encode 4608=3;enc Encode 4608 failed=1;enc Close=1"},
        {"the encoder refuses to open with its own code", "ENC_OPEN_RESULT=41", "",
         Failed({"E 41 " + output}), -1, "dec Open 44100 2 16 = -1=1"},
        {"the encoder refuses while the decoder opens inside Play",
         "ENC_OPEN_RESULT=41 DEC_OPEN_IN_PLAY=1", "", Failed({"E 41 " + output}), -1,
         "dec Open 44100 2 16 = -1=1"},
        {"decoder parameters accepted: echoed as typed", "", " -DECPARAM x:1", Done({"M 62 x:1"}),
         65536, "dec SetParamString x:1=1;dec SetDefaultParams=0"},
        {"decoder parameters refused: 63, defaults restored", "DEC_ACCEPT_PARAMS=0",
         " -DECPARAM x:1", Done({"E 63 x:1"}), 65536, "dec SetDefaultParams=1"},
        {"no length and no code of its own", "DEC_LENGTH_MS=0", "", Failed({"E 6 " + input}), -1,
         "dec IsPaused=1"},
        {"no length: the decoder's code first", "DEC_LENGTH_MS=0 DEC_ERROR_CODE=33", "",
         Failed({"E 33"}), -1},
        {"no length: a Winamp-style decoder goes on",
         "DEC_LENGTH_MS=0 DEC_VERSION=0x100 DEC_ERROR_CODE=33", "", Done(), 65536,
         "dec IsPaused=0"},
        {"a failed Play fails the job without messages", "DEC_PLAY_RESULT=1 DEC_ERROR_CODE=12", "",
         Failed(), -1, "dec IsPaused=1;enc Open 44100 2 16=0"},
        {"a Winamp-style decoder's failed Play", "DEC_PLAY_RESULT=1 DEC_VERSION=0x100", "",
         Failed(), -1, "dec IsPaused=0"},
        {"a multi-pass encoder gets the input once per pass", "ENC_PASSES=3", "",
         Done({"M 205", "M 205"}), 65536,
         play + "=3;enc Close=3;enc NeedsMorePasses 1=2;enc NeedsMorePasses 0=1"},
        // Formats the format stage cannot convert are named before the result.
        {"a rate beyond the format stage", "DEC_RATE=1000000", "",
         Failed({"E 43 1000000 Hz 16-bit stereo -> 1000000 Hz 16-bit stereo"}), -1,
         "enc Encode 4608=0;enc Close=1"},
        {"a rate beyond the format stage to the standard format",
         "DEC_RATE=1000000 ENC_WANT_STANDARD=1", "",
         Failed({"E 43 1000000 Hz 16-bit stereo -> 44100 Hz 16-bit stereo"}), -1,
         "enc Encode 4608=0;enc Close=1"},
        {"a depth without a conversion", "DEC_CHANNELS=1 DEC_BITS=12", "",
         Failed({"E 43 44100 Hz 12-bit mono -> 44100 Hz 12-bit mono"}), -1,
         "enc Encode 4608=0;enc Close=1"},
        {"nine channels", "DEC_RATE=8000 DEC_CHANNELS=9", "",
         Failed({"E 43 8000 Hz 16-bit 9 channels -> 8000 Hz 16-bit 9 channels"}), -1,
         "enc Encode 4608=0;enc Close=1"},
    };
    for (const ConvertCase &c : cases) {
        sb.WriteFile(input, kSourceText);
        const Env env = Switches(c.env);
        const Lines lines = Run(env, {Convert(c.keys)});
        const size_t params = c.keys.find("-ENCPARAM ");
        std::string typed =
            params == std::string::npos ? "default settings" : c.keys.substr(params + 10);
        for (size_t blanks = typed.find("  "); blanks != std::string::npos;
             blanks = typed.find("  "))
            typed.erase(blanks, 1); // the tokenizer joins words by one blank
        EXPECT_EQ(lines, Concat({"M 204 enc", "M 203 " + typed.substr(0, typed.find(" -")),
                                 "M 201 " + input, "M 202 " + output},
                                c.tail))
            << c.label;
        EXPECT_EQ(sb.Exists(output), c.delivered >= 0) << c.label;
        const int passes = env.count("ENC_PASSES") ? std::stoi(env.at("ENC_PASSES")) : 1;
        if (c.delivered >= 0) {
            const std::string stream = Pattern(c.delivered);
            EXPECT_EQ(FirstDifference(stream, sb.ReadFile(output)), "") << c.label;
            std::string captured;
            for (int pass = 0; pass < passes; ++pass)
                captured += stream;
            EXPECT_EQ(FirstDifference(captured, Captured()), "") << c.label;
            const size_t block =
                env.count("ENC_BLOCK_SIZE") ? std::stoul(env.at("ENC_BLOCK_SIZE")) : 4608;
            if (passes == 1) {
                EXPECT_EQ(EncoderDataCalls(), BlockCalls(c.delivered, block)) << c.label;
            }
        }
        std::istringstream counts(c.counts);
        for (std::string item; std::getline(counts, item, ';');) {
            const size_t equals = item.rfind('=');
            EXPECT_EQ(CountOf(sb.AllEvents(), item.substr(0, equals)),
                      std::stoul(item.substr(equals + 1)))
                << c.label << ": " << item;
        }
        EXPECT_EQ(sb.Exists(input), !Contains(c.tail, "M 15 " + input)) << c.label;
        fs::remove(output);
    }
    sb.env["DEC_RATE"] = "8000";
    sb.env["DEC_CHANNELS"] = "9";
    const RunResult shown = sb.Run({"-I", input, "-O", output, "-ENC", "enc"});
    EXPECT_EQ(shown.err, "kernova: error: no conversion between these audio formats: 8000 Hz "
                         "16-bit 9 channels -> 8000 Hz 16-bit 9 channels\n");
    EXPECT_EQ(shown.exitCode, 1);
}

// The length from GetFileInfo comes with position 0 before the decode; a preview reports
// its limit as the length, and a finished job 100 and 200.
TEST_F(ConversionTest, ProgressReportsLengthsAndTheEnd) {
    struct Case {
        Env env;
        std::string keys;
        Lines progress;
    };
    const Case cases[] = {
        {{{"DEC_LENGTH_MS", "2500"}}, "", {"L 2", "P 0", "L 2"}},
        {{{"DEC_RATE", "8000"}, {"DEC_CHANNELS", "1"}, {"DEC_TOTAL_BYTES", "200000"}},
         " -PREVIEW 2",
         {"L 1", "P 0", "L 2"}},
    };
    for (const Case &c : cases) {
        Lines lines = Run(c.env, {"--progress", Convert(c.keys)});
        const auto first = std::find(lines.begin(), lines.end(), c.progress[0]);
        ASSERT_NE(first, lines.end());
        EXPECT_EQ(*(first + 1), "P 0");
        EXPECT_EQ(WithoutPumpPositions(lines),
                  Concat(JobHead(),
                         {c.progress[0], c.progress[2], "L 100", "P 200", "M 97", "R 1 last=97"}));
    }
}

TEST_F(ConversionTest, AutoChoosesTheEncoderByTheOutputExtensionInAnyCase) {
    sb.env["ENC_EXTENSION"] = "mp3";
    const std::string upper = sb.Path("x.MP3");
    const std::string unknown = sb.Path("x.ogg");
    const Lines head = {"M 204 enc",      "M 203 default settings", "M 201 " + input,
                        "M 202 " + upper, "M 14 Normal [1]",        "M 206 default"};
    EXPECT_EQ(Run({}, {"-I " + input + " -O " + upper}), Concat(head, {"M 97", "R 1 last=97"}));
    EXPECT_EQ(sb.ReadFile(upper), Pattern(65536));
    fs::remove(upper);
    EXPECT_EQ(Run({}, {"-I " + input + " -O " + unknown}),
              (Lines{"E 89 " + unknown, "M 95", "R 1 last=95"}));
    Lines lower = head;
    lower[0] = "M 204 auto";
    EXPECT_EQ(Run({}, {"-I " + input + " -O " + upper + " -ENC auto"}),
              Concat(lower, {"E 2 auto", "E 4 auto", "M 95", "R 1 last=95"}));
    EXPECT_FALSE(sb.Exists(upper) || sb.Exists(unknown));
    EXPECT_EQ(sb.ReadFile(input), kSourceText);
}

// Converting a file onto itself would destroy it: that job is refused, the other one runs.
TEST_F(ConversionTest, OutputNamingTheInputIsRefusedAndTheOtherJobRuns) {
    sb.env["DEC_EXTENSIONS"] = "pcm;enc|PCM";
    for (const std::string same : {"a.enc", "b.enc"}) {
        const std::string folder = sb.Path(same.substr(0, 1) + "-first");
        const std::string other = folder + NativePath(same == "a.enc" ? "/b.pcm" : "/a.pcm");
        sb.WriteFile(folder + NativePath("/") + same, kSourceText);
        sb.WriteFile(other, kSourceText);
        const Lines lines = Run(
            {}, {"-I " + folder + NativePath("/*.* -O ") + folder + NativePath("/*.enc -ENC enc")});
        EXPECT_EQ(CountOf(lines, "E 17 " + folder + NativePath("/") + same), 1u) << same;
        EXPECT_EQ(CountOf(lines, "M 95") + CountOf(lines, "M 97"), 2u) << same;
        EXPECT_EQ(sb.ReadFile(folder + NativePath("/") + same), kSourceText) << same;
        EXPECT_EQ(sb.ReadFile(other.substr(0, other.size() - 3) + "enc"), Pattern(65536)) << same;
    }
}

TEST_F(ConversionTest, JobFailingBeforeItsEncoderOpenedLeavesAnExistingOutputAlone) {
    sb.AddFake("fake_decoder", "plugins/in", "short");
    sb.env["SHORT_EXTENSIONS"] = "short|No length";
    sb.env["SHORT_LENGTH_MS"] = "0";
    const std::string earlier = sb.Path("earlier.enc");
    sb.WriteFile("in.short", kSourceText);
    const struct {
        std::string command, error;
    } cases[] = {
        {"-I " + input + " -O " + earlier + " -ENC nosuch", "E 4 nosuch"},
        {"-I " + sb.Path("in.short") + " -O " + earlier + " -ENC enc",
         "E 6 " + sb.Path("in.short")},
    };
    for (const auto &c : cases) {
        sb.WriteFile(earlier, "an earlier result");
        // The first command converts in full, so the writer has been open in this process.
        const Lines lines = Run({}, {Convert(), c.command});
        EXPECT_EQ(CountOf(lines, c.error), 1u) << c.error;
        EXPECT_EQ(lines.back(), "R 1 last=95");
        EXPECT_EQ(sb.ReadFile(earlier), "an earlier result") << c.error;
    }
}

TEST_F(ConversionTest, PlayGoesThroughDirectSound) {
    const Lines done = {"L 100", "P 200", "M 97", "R 1 last=97"};
    struct Case {
        const char *label;
        std::string env;
        std::string keys;
        Lines tail; // after the decoder choice, progress included
        size_t played;
        int opened; // the answer the decoder's Open got
    };
    const Lines played = Concat({"L 1", "L 1"}, done);
    const Case cases[] = {
        {"the whole stream is played", "", "", played, 65536, 0},
        {"DirectSound refuses to open", "DIRECTSOUND_OPEN_RESULT=-1", "",
         Lines{"L 1", "M 95", "R 1 last=95"}, 0, -1},
        {"DirectSound's latency is not passed on", "DIRECTSOUND_OPEN_RESULT=150", "", played, 65536,
         0},
        {"DirectSound fails to write", "DIRECTSOUND_WRITE_RESULT=-1", "",
         Lines{"L 1", "L 1", "M 95", "R 1 last=95"}, 0, 0},
        {"an output that takes 9 bytes at a time gets every byte",
         "DIRECTSOUND_CAN_WRITE=9 DEC_PIECE=5 DEC_TOTAL_BYTES=3000", "", played, 3000, 0},
        {"-PREVIEW 2 plays the whole pieces within 2 seconds",
         "DEC_RATE=8000 DEC_CHANNELS=1 DEC_PIECE=3000 DEC_TOTAL_BYTES=200000", " -PREVIEW 2",
         Concat({"L 1", "L 2"}, done), 30000, 0},
        {"a native decoder without length still plays", "DEC_LENGTH_MS=0", "",
         Concat({"L 0"}, done), 65536, 0},
        {"accepted decoder parameters are echoed as the decoder describes them", "",
         " -DECPARAM x:1", Concat({"L 1", "M 62 described x:1", "L 1"}, done), 65536, 0},
    };
    for (const Case &c : cases) {
        const Env env = Switches(c.env);
        const Lines lines = Run(env, {"--progress", "-I " + input + " -PLAY" + c.keys});
        EXPECT_EQ(WithoutPumpPositions(lines), Concat({"M 201 " + input, "M 206 default"}, c.tail))
            << c.label;
        EXPECT_EQ(FirstDifference(Pattern(c.played), Captured("/played.bin")), "") << c.label;
        const std::string open = "Open " + (env.count("DEC_RATE") ? env.at("DEC_RATE") : "44100") +
                                 (env.count("DEC_CHANNELS") ? " 1" : " 2") +
                                 " 16 = " + std::to_string(c.opened);
        EXPECT_EQ(CountOf(sb.Events("dec"), open), 1u) << c.label;
        const Lines events = sb.Events("DirectSound");
        EXPECT_EQ(CountOf(events, "Init") + CountOf(events, "Quit"), 2u) << c.label;
        EXPECT_EQ(CountOf(events, "SetVolume 255"), 2u) << c.label;
    }
    fs::remove(sb.app + NativePath("/plugins/out/WinAMP/") + LibraryFile("DirectSound"));
    EXPECT_EQ(Run({}, {"-I " + input + " -PLAY"}),
              (Lines{"M 201 " + input, "M 206 default", "E 4 DirectSound", "M 95", "R 1 last=95"}));
    EXPECT_EQ(CountOf(sb.Events("dec"), "Play " + input), 0u);
    EXPECT_EQ(CountOf(sb.Events("dec"), "Quit"), 2u) << "loaded by the scan and by the job";
}

// ---- Stops ----

TEST_F(ConversionTest, AbortFromTheHostEndsTheJobAndTheJobFile) {
    for (const char *name : {"a.pcm", "b.pcm", "c.pcm"})
        sb.WriteFile(name, kSourceText);
    const std::string first = sb.Path("a.pcm");
    const std::string tests = sb.Path("tests");
    const Env endless = {{"DEC_ENDLESS", "1"}, {"ENC_TESTSETS", "q:1|first;q:2|second"}};
    struct Case {
        const char *label;
        std::string abortOn, command;
        Lines expected;
    };
    const Case cases[] = {
        {"convert jobs: the first ends 94, no later job runs",
         "201",
         "-I " + sb.Path("*.pcm") + " -O " + sb.Path("*.enc") + " -ENC enc",
         {"M 204 enc", "M 203 default settings", "M 201 " + first, "M 202 " + sb.Path("a.enc"),
          "M 14 Normal [1]", "M 206 default", "M 94", "R 0 last=94"}},
        {"the encoder test stops at its aborted conversion",
         "201",
         "-I " + input + " -O " + tests + " -ENC enc -TESTENC",
         {"Test encoder : enc", std::string(58, '-'), "M 204 enc", "M 203 q:1", "M 201 " + input,
          "M 202 " + tests + NativePath("/first.enc"), "M 14 Normal [1]", "M 206 default", "M 94",
          "R 0 last=94"}},
        {"play jobs: an aborted play fails, no later job runs",
         "201",
         "-I " + sb.Path("*.pcm") + " -PLAY",
         {"M 201 " + first, "M 206 default", "M 95", "R 0 last=95"}},
        {"between two passes: the conversion stops", "205", Convert(),
         Concat(JobHead(), {"M 205", "M 94", "R 0 last=94"})},
    };
    for (const Case &c : cases) {
        Env env = endless;
        if (c.abortOn == "205")
            env = {{"ENC_PASSES", "3"}};
        EXPECT_EQ(Run(env, {"--abort-on=" + c.abortOn, c.command}), c.expected) << c.label;
        for (const char *name : {"a.enc", "b.enc", "in.enc", "out.enc", "tests/first.enc"})
            EXPECT_FALSE(sb.Exists(name)) << c.label << ": " << name;
        EXPECT_EQ(Captured("/played.bin"), "") << c.label;
    }
    // The encoder test reports each conversion's result itself; a stop right then ends it.
    const Lines lines =
        Run({{"ENC_TESTSETS", "q:1|first;q:2|second"}},
            {"--abort-on=97", "-I " + input + " -O " + tests + " -ENC enc -TESTENC"});
    EXPECT_EQ(CountOf(lines, "M 202 " + tests + NativePath("/first.enc")), 1u);
    EXPECT_EQ(CountOf(lines, "M 202 " + tests + NativePath("/second.enc")), 0u);
    EXPECT_EQ(lines.back().rfind("R 0 ", 0), 0u);
}

TEST_F(ConversionTest, AbortFromTheDecodingThreadStopsTheDecodeAndKeepsNothing) {
    // Pressed after the third 8192-byte piece: the pieces after it are dropped.
    const Env env = {{"DEC_ENDLESS", "1"}, {"DEC_ABORT_AT", "20000"}};
    EXPECT_EQ(Run(env, {Convert()}), Concat(JobHead(), {"M 94", "R 0 last=94"}));
    EXPECT_EQ(FirstDifference(Pattern(3 * 8192), Captured()), "");
    EXPECT_FALSE(sb.Exists(output));
    EXPECT_EQ(Run(env, {"-I " + input + " -PLAY"}),
              (Lines{"M 201 " + input, "M 206 default", "M 95", "R 0 last=95"}));
    EXPECT_EQ(FirstDifference(Pattern(3 * 8192), Captured("/played.bin")), "");
    EXPECT_EQ(CountOf(sb.Events("dec"), "aborted"), 1u);
    EXPECT_EQ(CountOf(sb.Events("dec"), "Close"), 1u);
}

TEST_F(ConversionTest, DecoderThatNeverClosesItsOutputFailsAfterABoundedWait) {
    sb.timeoutSeconds = 30;
    const auto start = std::chrono::steady_clock::now();
    const Lines lines = Run({{"DEC_KEEP_OPEN", "1"}}, {Convert()});
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(lines, Concat(JobHead(), {"M 95", "R 1 last=95"})) << "after " << seconds << " s";
    EXPECT_GE(seconds, 4);
    EXPECT_LT(seconds, 20);
    EXPECT_EQ(CountOf(sb.Events("dec"), "Stop"), 1u);
    EXPECT_EQ(CountOf(sb.Events("dec"), "Close"), 0u);
    EXPECT_EQ(CountOf(sb.Events("enc"), "Close"), 1u) << "the core closes the encoder itself";
    EXPECT_FALSE(sb.Exists(output));
}

// ---- Ctrl-C in the console program ----

TEST_F(ConversionTest, CtrlCStopsTheCommandAfterTheCurrentJob) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX shell to send SIGINT";
#endif
    // Many quick jobs; Ctrl-C comes as soon as the first of them have printed.
    sb.env["DEC_EXTENSIONS"] = "pcm|PCM";
    sb.env["DEC_TOTAL_BYTES"] = "5000";
    constexpr int kFiles = 5000;
    fs::create_directories(sb.Path("many"));
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(sb.Path("many/f" + std::to_string(i) + ".pcm"));
    std::string variables;
    for (const auto &[name, value] : sb.env)
        variables += name + "=" + Quote(value) + " ";
    // The run ends with its summary, which counts the jobs that were not run.
    const struct {
        const char *keys, *said;
    } cases[] = {{"-O 'out/*.enc' -ENC enc", " not run in "},
                 {"-SHOWID", "kernova: stopped by the user\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        // Each row's own files: the wait below must not see the output of the row before.
        const std::string out =
            sb.root + NativePath("/int-out-") + std::to_string(&c - cases) + ".txt";
        // The wait for the first output is bounded (10 s) so that a silent program cannot hang.
        const std::string script =
            "cd " + Quote(sb.work) + " && " + variables + Quote(sb.app + "/kernova") +
            " -I 'many/*.pcm' " + c.keys + " >" + Quote(out) + " 2>" + Quote(out + ".err") +
            " & pid=$!; i=0; while [ ! -s " + Quote(out) +
            " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i + 1)); done; kill -INT $pid; wait $pid; "
            "echo $? >" +
            Quote(out + ".rc");
        ASSERT_EQ(std::system(("sh -c " + Quote(script)).c_str()), 0);
        // Stopped after the current job, the run is refused (1); a program deaf to Ctrl-C would
        // run every job, one killed by it would give 130.
        EXPECT_EQ(sb.ReadFile(out + ".rc"), "1\n");
        const std::string said = sb.ReadFile(out + ".err");
        EXPECT_TRUE(said.find(c.said) != std::string::npos && SplitLines(said).size() == 1) << said;
        std::stringstream text(sb.ReadFile(out));
        size_t jobs = 0;
        for (std::string line; std::getline(text, line);)
            jobs += line.rfind("input:", 0) == 0 ? 1 : 0;
        EXPECT_GT(jobs, 0u);
        EXPECT_LT(jobs, static_cast<size_t>(kFiles));
    }
}

TEST_F(ConversionTest, SecondCtrlCEndsAStuckCommandAtOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX shell, SIGINT and a named pipe";
#endif
#if defined(__SANITIZE_THREAD__)
    // Its signal handler runs only when the thread that took the signal next calls into an
    // intercepted function, and the program waits in the C library's own open of the pipe.
    GTEST_SKIP() << "ThreadSanitizer holds Ctrl-C back while the program waits in the C library";
#endif
    ASSERT_TRUE(sb.AddBuiltPlugin("plugins/in/wave") && sb.AddBuiltPlugin("plugins/out/wave"));
    // Reading a pipe that nobody writes blocks the job: the first Ctrl-C only asks for a stop.
    ASSERT_EQ(std::system(("mkfifo " + Quote(sb.Path("stuck.wav"))).c_str()), 0);
    const std::string rc = sb.root + NativePath("/stuck-rc.txt");
    // The waits are bounded and a program deaf to both Ctrl-Cs is killed, so nothing hangs.
    const std::string script =
        "cd " + Quote(sb.work) + " && " + Quote(sb.app + "/kernova") +
        " -I stuck.wav -O out.wav >/dev/null 2>&1 & pid=$!; sleep 1.5; kill -INT $pid; "
        "sleep 0.3; alive=0; kill -0 $pid 2>/dev/null && alive=1; kill -INT $pid; i=0; "
        "while kill -0 $pid 2>/dev/null && [ $i -lt 300 ]; do sleep 0.01; i=$((i + 1)); done; "
        "kill -KILL $pid 2>/dev/null; wait $pid; echo $alive $? >" +
        Quote(rc);
    ASSERT_EQ(std::system(("sh -c " + Quote(script)).c_str()), 0);
    EXPECT_EQ(sb.ReadFile(rc), "1 130\n");
}

} // namespace
