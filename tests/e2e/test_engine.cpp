// The conversion engine end to end: the pattern decoder (plugins/in) produces a known byte
// stream from its own thread, the pattern encoder (plugins/out) and the pattern output
// (plugins/out/WinAMP/DirectSound.so) record what reaches them, and the probe host shows every
// callback. Each test checks the host's lines, the plug-ins' event logs and the bytes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const char kSourceText[] = "not audio: the pattern decoder never reads its input";

// Byte i of the pattern decoder's stream.
std::string Pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(static_cast<uint32_t>(i * 2654435761u) >> 24);
    return bytes;
}

::testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                         << ", first difference at byte " << at;
}

// The lines the host received, without the console's empty lines and the start-up line.
Lines Callbacks(const RunResult &run) {
    Lines lines;
    for (const std::string &line : SplitLines(run.out)) {
        if (!line.empty() && line != "INIT 1")
            lines.push_back(line);
    }
    return lines;
}

// Progress lines depend on timing except for the fixed ones the job sends; the pump's
// periodic positions are dropped.
Lines WithoutPumpPositions(const Lines &lines) {
    Lines kept;
    for (const std::string &line : lines) {
        if (line.rfind("P ", 0) != 0 || line == "P 200")
            kept.push_back(line);
    }
    return kept;
}

Lines Concat(Lines first, const Lines &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

size_t CountOf(const Lines &lines, const std::string &line) {
    size_t count = 0;
    for (const std::string &each : lines)
        count += each == line ? 1 : 0;
    return count;
}

// An installed program with the pattern decoder for ".pcm" and the pattern encoder.
class EngineTest : public ::testing::Test {
  protected:
    EngineTest() {
        sandbox.AddTestPlugin("pcm_decoder", "plugins/in", LibraryFile("pcm_decoder"));
        sandbox.AddTestPlugin("pcm_encoder", "plugins/out", LibraryFile("pcm_encoder"));
        sandbox.env["KN_TEST_LOG"] = sandbox.root + NativePath("/events.log");
        sandbox.env["PCM_ENCODER_CAPTURE"] = sandbox.root + NativePath("/capture.bin");
        sandbox.env["DIRECTSOUND_CAPTURE"] = sandbox.root + NativePath("/played.bin");
        // A lost stop must fail its test, not stall the suite.
        sandbox.timeoutSeconds = 60;
        work = fs::canonical(sandbox.work).string();
        input = work + NativePath("/in.pcm");
        output = work + NativePath("/out.enc");
        sandbox.WriteFile(input, kSourceText);
    }

    void InstallPlayback() {
        sandbox.AddTestPlugin("pcm_output", "plugins/out/WinAMP", LibraryFile("DirectSound"));
    }

    std::string Convert(const std::string &keys = "") const {
        return "-I " + input + " -O " + output + " -ENC pcm_encoder" + keys;
    }

    // The messages of a convert job up to the choice of the decoder.
    Lines JobHead(const std::string &params = "default settings",
                  const std::string &priority = "Normal [1]") const {
        return {"M 204 pcm_encoder", "M 203 " + params,  "M 201 " + input,
                "M 202 " + output,   "M 14 " + priority, "M 206 default"};
    }

    // Event lines of one plug-in, without its name.
    Lines Events(const std::string &plugin) const {
        Lines events;
        const std::string prefix = plugin + " ";
        if (!sandbox.Exists(sandbox.root + NativePath("/events.log")))
            return events;
        for (const std::string &line :
             SplitLines(sandbox.ReadFile(sandbox.root + NativePath("/events.log")))) {
            if (line.rfind(prefix, 0) == 0)
                events.push_back(line.substr(prefix.size()));
        }
        return events;
    }

    // The encoder's data calls: Encode, EncodeLast and Close, in order.
    Lines EncoderDataCalls() const {
        Lines calls;
        for (const std::string &event : Events("pcm_encoder")) {
            if (event.rfind("Encode", 0) == 0 || event == "Close")
                calls.push_back(event);
        }
        return calls;
    }

    size_t EventCount(const std::string &plugin, const std::string &event) const {
        return CountOf(Events(plugin), event);
    }

    std::string Captured() const { return ReadIfThere(sandbox.root + NativePath("/capture.bin")); }
    std::string Played() const { return ReadIfThere(sandbox.root + NativePath("/played.bin")); }

    std::string ReadIfThere(const std::string &path) const {
        return sandbox.Exists(path) ? sandbox.ReadFile(path) : std::string();
    }

    Sandbox sandbox;
    std::string work;
    std::string input;
    std::string output;
};

// The data calls an encoder of `block` bytes receives for `bytes` bytes, then its Close.
Lines BlockCalls(size_t bytes, size_t block) {
    Lines calls(bytes / block, "Encode " + std::to_string(block));
    if (bytes % block != 0)
        calls.push_back("EncodeLast " + std::to_string(bytes % block));
    calls.push_back("Close");
    return calls;
}

TEST_F(EngineTest, ConvertReportsSettingsDecoderProgressAndResultInOrder) {
    sandbox.env["PCM_DECODER_LENGTH_MS"] = "2500";
    struct Case {
        const char *label;
        std::string keys;
        std::string params;
        std::string priority;
        std::string encoderPriority;
    };
    const Case cases[] = {
        {"defaults", "", "default settings", "Normal [1]", "priority 1"},
        {"-CPU 3 and -ENCPARAM", " -CPU 3 -ENCPARAM q:5", "q:5", "Low [3]", "priority 3"},
        {"-CPU 9 is the lowest level", " -CPU 9", "default settings", "Lowest [5]", "priority 5"},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        const RunResult run = sandbox.Probe({"--progress", Convert(c.keys)});
        const Lines lines = Callbacks(run);
        const Lines expected = Concat(JobHead(c.params, c.priority),
                                      {"L 2", "L 2", "L 100", "P 200", "M 97", "R 1 last=97"});
        EXPECT_EQ(WithoutPumpPositions(lines), expected) << c.label << "\n" << run.out;
        // The length from GetFileInfo comes with position 0 before the decode starts.
        const auto firstLength = std::find(lines.begin(), lines.end(), "L 2");
        const bool followed = firstLength != lines.end() && firstLength + 1 != lines.end();
        EXPECT_TRUE(followed && *(firstLength + 1) == "P 0") << c.label << "\n" << run.out;
        EXPECT_EQ(EventCount("pcm_encoder", c.encoderPriority), 1u) << c.label;
        EXPECT_EQ(EventCount("pcm_encoder", "SetOption 0"), 1u) << c.label;
    }
}

TEST_F(EngineTest, AutoChoosesTheEncoderByOutputExtensionInAnyCase) {
    sandbox.env["PCM_ENCODER_EXTENSION"] = "mp3";
    struct Case {
        const char *label;
        std::string command;
        Lines expected;
        std::string written; // the output file that must hold the stream, or none
    };
    const std::string upper = work + NativePath("/x.MP3");
    const std::string unknown = work + NativePath("/x.ogg");
    const Case cases[] = {
        {"extension mp3 matches x.MP3",
         "-I " + input + " -O " + upper,
         {"M 204 pcm_encoder", "M 203 default settings", "M 201 " + input, "M 202 " + upper,
          "M 14 Normal [1]", "M 206 default", "M 97", "R 1 last=97"},
         upper},
        {"no encoder for .ogg: 89 before anything else",
         "-I " + input + " -O " + unknown,
         {"E 89 " + unknown, "M 95", "R 1 last=95"},
         ""},
        {"auto in lower case is an encoder name",
         "-I " + input + " -O " + upper + " -ENC auto",
         {"M 204 auto", "M 203 default settings", "M 201 " + input, "M 202 " + upper,
          "M 14 Normal [1]", "M 206 default", "E 2 auto", "E 4 auto", "M 95", "R 1 last=95"},
         ""},
    };
    for (const Case &c : cases) {
        fs::remove(upper);
        const RunResult run = sandbox.Probe({c.command});
        EXPECT_EQ(Callbacks(run), c.expected) << c.label << "\n" << run.out;
        EXPECT_EQ(sandbox.ReadFile(input), kSourceText) << c.label;
        if (!c.written.empty())
            EXPECT_TRUE(SameBytes(sandbox.ReadFile(c.written), Pattern(65536))) << c.label;
        else
            EXPECT_FALSE(sandbox.Exists(upper)) << c.label;
        EXPECT_FALSE(sandbox.Exists(unknown)) << c.label;
    }
}

TEST_F(EngineTest, DecoderNamedWithDecIsUsedElseTheDefaultChoice) {
    sandbox.AddTestPlugin("pcm_decoder", "plugins/in", LibraryFile("pcm_other"));
    sandbox.env["PCM_OTHER_EXTENSIONS"] = "xyz|Other";
    struct Case {
        const char *label;
        std::string dec;
        std::string shown;
        std::string decoder; // the plug-in that must have played the input
    };
    const Case cases[] = {
        {"a -DEC name that exists is loaded whatever its extensions", "pcm_other", "pcm_other",
         "pcm_other"},
        {"a -DEC name is found without regard to case", "PCM_Other", "PCM_Other", "pcm_other"},
        {"an unknown -DEC name falls back", "nosuch", "default", "pcm_decoder"},
        {"a leading colon stays part of the name", ":pcm_other", "default", "pcm_decoder"},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        const RunResult run = sandbox.Probe({Convert(" -DEC " + c.dec)});
        Lines expected = JobHead();
        expected.back() = "M 206 " + c.shown;
        expected.insert(expected.end(), {"M 97", "R 1 last=97"});
        EXPECT_EQ(Callbacks(run), expected) << c.label << "\n" << run.out;
        EXPECT_EQ(EventCount(c.decoder, "Play " + input), 1u) << c.label;
        EXPECT_EQ(
            EventCount(c.decoder == "pcm_other" ? "pcm_decoder" : "pcm_other", "Play " + input), 0u)
            << c.label;
    }
}

TEST_F(EngineTest, EncoderParametersRefusedOrShown) {
    struct Case {
        const char *label;
        const char *acceptSwitch;
        const char *showSwitch;
        Lines tail;
        bool opened;
    };
    const Case cases[] = {
        {"refused text: 5 and no output", "0", "0", {"E 5 q:5", "M 95", "R 1 last=95"}, false},
        {"shown parameters: 92, then the encoder's own text",
         "1",
         "1",
         {"E 92", "M 203 f:0 q:5", "M 97", "R 1 last=97"},
         true},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        fs::remove(output);
        sandbox.env["PCM_ENCODER_ACCEPT_PARAMS"] = c.acceptSwitch;
        sandbox.env["PCM_ENCODER_SHOW_PARAMS"] = c.showSwitch;
        const RunResult run = sandbox.Probe({Convert(" -ENCPARAM q:5")});
        EXPECT_EQ(Callbacks(run), Concat(JobHead("q:5"), c.tail)) << c.label << "\n" << run.out;
        EXPECT_EQ(EventCount("pcm_encoder", "Open 44100 2 16"), c.opened ? 1u : 0u) << c.label;
        EXPECT_EQ(sandbox.Exists(output), c.opened) << c.label;
    }
}

TEST_F(EngineTest, EveryByteReachesTheEncoderOnceInOrderInWholeBlocks) {
    struct Case {
        const char *label;
        long piece;
        long total;
        long block;
        const char *eofMessage;
        size_t delivered; // bytes the encoder must receive
    };
    const Case cases[] = {
        {"8192-byte pieces against 4608-byte blocks", 8192, 66536, 4608, "0x402", 66536},
        {"pieces of exactly one block, nothing left", 4608, 4608 * 5, 4608, "0x402", 4608 * 5},
        {"small pieces gathered into blocks", 1000, 10000, 4096, "0x402", 10000},
        {"5-byte pieces are buffered", 5, 5000, 4608, "0x402", 5000},
        {"a last piece of 4 bytes is ignored", 8192, 16388, 4608, "0x402", 16384},
        {"4-byte pieces are all ignored", 4, 400, 4608, "0x402", 0},
        {"the end message 0x403 ends the stream too", 8192, 30000, 4608, "0x403", 30000},
        {"an empty stream opens and closes the encoder", 8192, 0, 4608, "0x402", 0},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        fs::remove(sandbox.root + NativePath("/capture.bin"));
        sandbox.env["PCM_DECODER_PIECE"] = std::to_string(c.piece);
        sandbox.env["PCM_DECODER_TOTAL_BYTES"] = std::to_string(c.total);
        sandbox.env["PCM_DECODER_EOF_MESSAGE"] = c.eofMessage;
        sandbox.env["PCM_ENCODER_BLOCK_SIZE"] = std::to_string(c.block);
        const RunResult run = sandbox.Probe({Convert()});
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 97", "R 1 last=97"})) << c.label << "\n"
                                                                              << run.out;
        EXPECT_TRUE(SameBytes(Captured(), Pattern(c.delivered))) << c.label;
        EXPECT_TRUE(SameBytes(sandbox.ReadFile(output), Pattern(c.delivered))) << c.label;
        EXPECT_EQ(EncoderDataCalls(), BlockCalls(c.delivered, static_cast<size_t>(c.block)))
            << c.label;
    }
}

TEST_F(EngineTest, PreviewKeepsTheWholePiecesWithinTheLimit) {
    // 8000 Hz mono 16-bit: 16000 bytes per second, -PREVIEW 2 allows 32000 bytes.
    sandbox.env["PCM_DECODER_RATE"] = "8000";
    sandbox.env["PCM_DECODER_CHANNELS"] = "1";
    sandbox.env["PCM_DECODER_TOTAL_BYTES"] = "200000";
    struct Case {
        const char *label;
        long piece;
        size_t kept;
    };
    const Case cases[] = {
        {"the piece that would pass the limit is dropped", 3000, 30000},
        {"a piece that ends exactly at the limit passes", 4000, 32000},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/capture.bin"));
        sandbox.env["PCM_DECODER_PIECE"] = std::to_string(c.piece);
        const RunResult run = sandbox.Probe({"--progress", Convert(" -PREVIEW 2")});
        // The relay reports the preview limit as the length.
        EXPECT_EQ(WithoutPumpPositions(Callbacks(run)),
                  Concat(JobHead(), {"L 1", "L 2", "L 100", "P 200", "M 97", "R 1 last=97"}))
            << c.label << "\n"
            << run.out;
        EXPECT_TRUE(SameBytes(Captured(), Pattern(c.kept))) << c.label;
        EXPECT_TRUE(SameBytes(sandbox.ReadFile(output), Pattern(c.kept))) << c.label;
    }
}

TEST_F(EngineTest, AbortEndsTheJobAndStopsTheJobFile) {
    InstallPlayback();
    // A lost stop would leave this decoder running until the run is killed.
    sandbox.env["PCM_DECODER_ENDLESS"] = "1";
    for (const char *name : {"a.pcm", "b.pcm", "c.pcm"})
        sandbox.WriteFile(work + NativePath("/") + name, kSourceText);
    const std::string first = work + NativePath("/a.pcm");
    const std::string tests = work + NativePath("/tests");
    struct Case {
        const char *label;
        std::string command;
        Lines expected;
    };
    const Case cases[] = {
        {"several convert jobs: the first ends 94, no later job runs",
         "-I " + work + NativePath("/*.pcm -O ") + work + NativePath("/*.enc -ENC pcm_encoder"),
         {"M 204 pcm_encoder", "M 203 default settings", "M 201 " + first,
          "M 202 " + work + NativePath("/a.enc"), "M 14 Normal [1]", "M 206 default", "M 94",
          "R 0 last=94"}},
        {"the encoder test stops at its aborted conversion",
         "-I " + input + " -O " + tests + " -ENC pcm_encoder -TESTENC",
         {"Test encoder : pcm_encoder", std::string(58, '-'), "M 204 pcm_encoder", "M 203 q:1",
          "M 201 " + input, "M 202 " + tests + NativePath("/first.enc"), "M 14 Normal [1]",
          "M 206 default", "M 94", "R 0 last=94"}},
        {"several play jobs: an aborted play fails, no later job runs",
         "-I " + work + NativePath("/*.pcm -PLAY"),
         {"M 201 " + first, "M 206 default", "M 95", "R 0 last=95"}},
    };
    for (const Case &c : cases) {
        const RunResult run = sandbox.Probe({"--abort-on=201", c.command});
        EXPECT_EQ(Callbacks(run), c.expected) << c.label << "\n" << run.out;
        EXPECT_EQ(run.exitCode, 0) << c.label;
        for (const char *name : {"a.enc", "b.enc", "c.enc", "in.enc", "tests/first.enc"})
            EXPECT_FALSE(sandbox.Exists(work + NativePath("/") + name)) << c.label << ": " << name;
        EXPECT_FALSE(sandbox.Exists(sandbox.root + NativePath("/played.bin"))) << c.label;
    }
}

TEST_F(EngineTest, AbortDuringTheDecodeStopsItAndKeepsNothing) {
    InstallPlayback();
    sandbox.env["PCM_DECODER_ENDLESS"] = "1";
    // Pressed after the third 8192-byte piece: the pieces after it are dropped.
    sandbox.env["PCM_DECODER_ABORT_AT"] = "20000";
    struct Case {
        const char *label;
        std::string command;
        Lines expected;
        std::string capture;
    };
    const Case cases[] = {
        {"a conversion ends 94 and its output is removed", Convert(),
         Concat(JobHead(), {"M 94", "R 0 last=94"}), "/capture.bin"},
        {"a play ends 95",
         "-I " + input + " -PLAY",
         {"M 201 " + input, "M 206 default", "M 95", "R 0 last=95"},
         "/played.bin"},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        const RunResult run = sandbox.Probe({c.command});
        EXPECT_EQ(Callbacks(run), c.expected) << c.label << "\n" << run.out;
        EXPECT_EQ(run.exitCode, 0) << c.label;
        EXPECT_EQ(EventCount("pcm_decoder", "aborted"), 1u) << c.label;
        EXPECT_EQ(EventCount("pcm_decoder", "Close"), 1u) << c.label;
        EXPECT_TRUE(SameBytes(ReadIfThere(sandbox.root + c.capture), Pattern(3 * 8192))) << c.label;
        EXPECT_FALSE(sandbox.Exists(output)) << c.label;
    }
}

TEST_F(EngineTest, AbortBetweenTwoTestConversionsStopsTheEncoderTest) {
    const std::string tests = work + NativePath("/tests");
    // The encoder test reports each conversion's result itself; the host stops right then.
    const RunResult run = sandbox.Probe(
        {"--abort-on=97", "-I " + input + " -O " + tests + " -ENC pcm_encoder -TESTENC"});
    const Lines lines = Callbacks(run);
    EXPECT_EQ(CountOf(lines, "M 202 " + tests + NativePath("/first.enc")), 1u) << run.out;
    EXPECT_EQ(CountOf(lines, "M 202 " + tests + NativePath("/second.raw")), 0u) << run.out;
    EXPECT_EQ(CountOf(lines, "M 202 " + tests + NativePath("/third.wav")), 0u) << run.out;
    EXPECT_EQ(lines.back().rfind("R 0 ", 0), 0u) << run.out;
    EXPECT_FALSE(sandbox.Exists(tests + NativePath("/second.raw")));
}

TEST_F(EngineTest, AbortBetweenPassesStopsTheConversionAndRemovesTheOutput) {
    sandbox.env["PCM_ENCODER_PASSES"] = "3";
    const RunResult run = sandbox.Probe({"--abort-on=205", Convert()});
    EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 205", "M 94", "R 0 last=94"})) << run.out;
    EXPECT_EQ(EventCount("pcm_decoder", "Play " + input), 1u);
    EXPECT_FALSE(sandbox.Exists(output)) << "the output of the first pass is removed";
    EXPECT_EQ(sandbox.ReadFile(input), kSourceText);
}

TEST_F(EngineTest, DecoderWithoutLength) {
    sandbox.env["PCM_DECODER_LENGTH_MS"] = "0";
    struct Case {
        const char *label;
        const char *version;
        const char *errorCode;
        Lines tail;
        bool asked; // the decoder's error code was asked for
    };
    const Case cases[] = {
        {"native decoder without own code",
         "0x1000",
         "0",
         {"E 6 " + input, "M 95", "R 1 last=95"},
         true},
        {"native decoder with its own code", "0x1000", "33", {"E 33", "M 95", "R 1 last=95"}, true},
        {"Winamp-style decoder goes on", "0x100", "33", {"M 97", "R 1 last=97"}, false},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        fs::remove(sandbox.root + NativePath("/capture.bin"));
        sandbox.env["PCM_DECODER_VERSION"] = c.version;
        sandbox.env["PCM_DECODER_ERROR_CODE"] = c.errorCode;
        const RunResult run = sandbox.Probe({Convert()});
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), c.tail)) << c.label << "\n" << run.out;
        EXPECT_EQ(EventCount("pcm_decoder", "IsPaused"), c.asked ? 1u : 0u) << c.label;
        EXPECT_TRUE(SameBytes(Captured(), Pattern(c.asked ? 0 : 65536))) << c.label;
    }
}

TEST_F(EngineTest, PlayFailureFailsTheConversionWithoutMessages) {
    sandbox.env["PCM_DECODER_PLAY_RESULT"] = "1";
    struct Case {
        const char *label;
        const char *version;
        const char *errorCode;
        size_t asked; // times the decoder's error code was asked for
    };
    const Case cases[] = {
        {"native decoder with its own code", "0x1000", "12", 1},
        {"native decoder without own code", "0x1000", "0", 1},
        {"Winamp-style decoder", "0x100", "12", 0},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        sandbox.env["PCM_DECODER_VERSION"] = c.version;
        sandbox.env["PCM_DECODER_ERROR_CODE"] = c.errorCode;
        const RunResult run = sandbox.Probe({Convert()});
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 95", "R 1 last=95"})) << c.label << "\n"
                                                                              << run.out;
        EXPECT_EQ(EventCount("pcm_decoder", "IsPaused"), c.asked) << c.label;
        EXPECT_EQ(EventCount("pcm_encoder", "Open 44100 2 16"), 0u) << c.label;
        EXPECT_FALSE(sandbox.Exists(output)) << c.label;
    }
}

TEST_F(EngineTest, MultiPassEncoderGetsTheInputDecodedOncePerPass) {
    sandbox.env["PCM_ENCODER_PASSES"] = "3";
    const RunResult run = sandbox.Probe({Convert()});
    EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 205", "M 205", "M 97", "R 1 last=97"}))
        << run.out;
    EXPECT_EQ(EventCount("pcm_decoder", "Play " + input), 3u);
    EXPECT_EQ(EventCount("pcm_encoder", "Open 44100 2 16"), 3u);
    EXPECT_EQ(EventCount("pcm_encoder", "Close"), 3u);
    EXPECT_EQ(EventCount("pcm_encoder", "NeedsMorePasses 1"), 2u);
    EXPECT_EQ(EventCount("pcm_encoder", "NeedsMorePasses 0"), 1u);
    const std::string stream = Pattern(65536);
    EXPECT_TRUE(SameBytes(Captured(), stream + stream + stream));
    EXPECT_TRUE(SameBytes(sandbox.ReadFile(output), stream));
}

TEST_F(EngineTest, FixFreqModesThroughTheEncodersCallback) {
    struct Case {
        const char *label;
        const char *mode;
        const char *source;
        const char *wanted;
        Lines messages;  // between the decoder choice and the result
        std::string set; // the encoder's SetParamValue event, or none
    };
    const Case cases[] = {
        {"0: a family change is reported", "0", "44100", "48000", {"E 82 44100 -> 48000"}, ""},
        {"0: the same family is silent", "0", "44100", "22050", {}, ""},
        {"1: the neighbour rate, downwards",
         "1",
         "22050",
         "16000",
         {"E 81", "M 203 f:11025 default"},
         "SetParamValue 1 11025"},
        {"1: the neighbour rate, upwards",
         "1",
         "8000",
         "11025",
         {"E 81", "M 203 f:16000 default"},
         "SetParamValue 1 16000"},
        {"1: 44100 has no entry: the source rate",
         "1",
         "32000",
         "44100",
         {"E 81", "M 203 f:32000 default"},
         "SetParamValue 1 32000"},
        {"2: the source rate",
         "2",
         "48000",
         "44100",
         {"E 81", "M 203 f:48000 default"},
         "SetParamValue 1 48000"},
        {"2: the same family is left alone", "2", "44100", "22050", {}, ""},
        {"3: any difference gives the source rate",
         "3",
         "44100",
         "22050",
         {"E 81", "M 203 f:44100 default"},
         "SetParamValue 1 44100"},
        {"3: equal rates are left alone", "3", "44100", "44100", {}, ""},
        {"5: shown but not set", "5", "8000", "11025", {"E 81", "M 203 f:11025 default"}, ""},
        {"rates outside both families never change family", "1", "96000", "48000", {}, ""},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        sandbox.env["PCM_DECODER_RATE"] = c.source;
        sandbox.env["PCM_ENCODER_FIXFREQ_WANTED"] = c.wanted;
        const RunResult run = sandbox.Probe({Convert(std::string(" -FIXFREQ ") + c.mode)});
        const Lines expected = Concat(Concat(JobHead(), c.messages), {"M 97", "R 1 last=97"});
        EXPECT_EQ(Callbacks(run), expected) << c.label << "\n" << run.out;
        Lines sets;
        for (const std::string &event : Events("pcm_encoder")) {
            if (event.rfind("SetParamValue", 0) == 0)
                sets.push_back(event);
        }
        EXPECT_EQ(sets, c.set.empty() ? Lines{} : Lines{c.set}) << c.label;
    }
}

TEST_F(EngineTest, TestEncRunsOneConversionPerTestSet) {
    const std::string folder = work + NativePath("/tests");
    const RunResult run =
        sandbox.Probe({"-I " + input + " -O " + folder + " -ENC pcm_encoder -TESTENC"});
    const std::string header = "Test encoder : pcm_encoder\n" + std::string(58, '-') + "\n";
    EXPECT_NE(run.out.find(header), std::string::npos) << run.out;
    struct Set {
        const char *params;
        std::string file;
    };
    const Set sets[] = {{"q:1", folder + NativePath("/first.enc")},
                        {"q:2", folder + NativePath("/second.raw")},
                        {"q:3", folder + NativePath("/third.wav")}};
    Lines expected = {"Test encoder : pcm_encoder", std::string(58, '-')};
    for (const Set &set : sets) {
        const Lines job = {"M 204 pcm_encoder",
                           std::string("M 203 ") + set.params,
                           "M 201 " + input,
                           "M 202 " + set.file,
                           "M 14 Normal [1]",
                           "M 206 default",
                           "M 97"};
        expected.insert(expected.end(), job.begin(), job.end());
    }
    expected.insert(expected.end(), {"M 97", "R 1 last=97"});
    EXPECT_EQ(Callbacks(run), expected) << run.out;
    const std::string stream = Pattern(65536);
    for (const Set &set : sets) {
        EXPECT_TRUE(sandbox.Exists(set.file)) << set.file;
        if (sandbox.Exists(set.file)) {
            EXPECT_TRUE(SameBytes(sandbox.ReadFile(set.file), stream)) << set.file;
        }
        EXPECT_EQ(EventCount("pcm_encoder", std::string("StringToParams ") + set.params), 1u)
            << set.params;
    }
    EXPECT_EQ(EventCount("pcm_encoder", "GetTestParams 3"), 1u) << "the fourth set ends the loop";
}

TEST_F(EngineTest, PlayGoesThroughDirectSound) {
    InstallPlayback();
    struct Case {
        const char *label;
        std::map<std::string, std::string> env;
        std::string keys;
        Lines tail; // after the decoder choice, progress included
        size_t played;
        std::string decoderOpen; // the decoder's view of its output's Open
    };
    const Lines done = {"L 100", "P 200", "M 97", "R 1 last=97"};
    const Case cases[] = {
        {"the whole stream is played",
         {},
         "",
         Concat({"L 1", "L 1"}, done),
         65536,
         "Open 44100 2 16 = 0"},
        {"DirectSound refuses to open",
         {{"DIRECTSOUND_OPEN_RESULT", "-1"}},
         "",
         {"L 1", "M 95", "R 1 last=95"},
         0,
         "Open 44100 2 16 = -1"},
        {"DirectSound's latency is not passed on",
         {{"DIRECTSOUND_OPEN_RESULT", "150"}},
         "",
         Concat({"L 1", "L 1"}, done),
         65536,
         "Open 44100 2 16 = 0"},
        {"DirectSound fails to write",
         {{"DIRECTSOUND_WRITE_RESULT", "-1"}},
         "",
         {"L 1", "L 1", "M 95", "R 1 last=95"},
         0,
         "Open 44100 2 16 = 0"},
        {"-PREVIEW 2 plays the whole pieces within 2 seconds",
         {{"PCM_DECODER_RATE", "8000"},
          {"PCM_DECODER_CHANNELS", "1"},
          {"PCM_DECODER_PIECE", "3000"},
          {"PCM_DECODER_TOTAL_BYTES", "200000"}},
         " -PREVIEW 2",
         Concat({"L 1", "L 2"}, done),
         30000,
         "Open 8000 1 16 = 0"},
        {"a native decoder without length still plays",
         {{"PCM_DECODER_LENGTH_MS", "0"}},
         "",
         Concat({"L 0"}, done),
         65536,
         "Open 44100 2 16 = 0"},
        {"accepted decoder parameters are echoed as the decoder describes them",
         {},
         " -DECPARAM x:1",
         Concat({"L 1", "M 62 described x:1", "L 1"}, done),
         65536,
         "Open 44100 2 16 = 0"},
    };
    for (const Case &c : cases) {
        const auto saved = sandbox.env;
        for (const auto &[name, value] : c.env)
            sandbox.env[name] = value;
        fs::remove(sandbox.root + NativePath("/events.log"));
        fs::remove(sandbox.root + NativePath("/played.bin"));
        const RunResult run = sandbox.Probe({"--progress", "-I " + input + " -PLAY" + c.keys});
        sandbox.env = saved;
        EXPECT_EQ(WithoutPumpPositions(Callbacks(run)),
                  Concat({"M 201 " + input, "M 206 default"}, c.tail))
            << c.label << "\n"
            << run.out;
        EXPECT_TRUE(SameBytes(Played(), Pattern(c.played))) << c.label;
        EXPECT_EQ(EventCount("pcm_decoder", c.decoderOpen), 1u) << c.label;
        EXPECT_EQ(EventCount("DirectSound", "Init"), 1u) << c.label;
        EXPECT_EQ(EventCount("DirectSound", "Quit"), 1u) << c.label;
        EXPECT_EQ(EventCount("DirectSound", "SetVolume 255"), 2u) << c.label;
    }
}

TEST_F(EngineTest, EncoderAskingForTheStandardFormatGetsTheDecodersPcmUnchanged) {
    sandbox.env["PCM_DECODER_RATE"] = "22050";
    sandbox.env["PCM_DECODER_CHANNELS"] = "1";
    sandbox.env["PCM_ENCODER_WANT_STANDARD"] = "1";
    const RunResult run = sandbox.Probe({Convert()});
    EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 97", "R 1 last=97"})) << run.out;
    EXPECT_EQ(EventCount("pcm_encoder", "Open 22050 1 16"), 1u);
    EXPECT_TRUE(SameBytes(Captured(), Pattern(65536)));
}

TEST_F(EngineTest, FormatsWithoutAConversionAreNamedBeforeTheResult) {
    struct Case {
        const char *rate, *channels, *bits, *wantStandard;
        std::string formats;
    };
    const Case cases[] = {
        {"1000000", "2", "16", "0", "1000000 Hz 16-bit stereo -> 1000000 Hz 16-bit stereo"},
        {"1000000", "2", "16", "1", "1000000 Hz 16-bit stereo -> 44100 Hz 16-bit stereo"},
        {"44100", "1", "12", "0", "44100 Hz 12-bit mono -> 44100 Hz 12-bit mono"},
        {"8000", "9", "16", "0", "8000 Hz 16-bit 9 channels -> 8000 Hz 16-bit 9 channels"},
    };
    for (const Case &c : cases) {
        sandbox.env["PCM_DECODER_RATE"] = c.rate;
        sandbox.env["PCM_DECODER_CHANNELS"] = c.channels;
        sandbox.env["PCM_DECODER_BITS"] = c.bits;
        sandbox.env["PCM_ENCODER_WANT_STANDARD"] = c.wantStandard;
        fs::remove(sandbox.root + NativePath("/events.log"));
        const RunResult run = sandbox.Probe({Convert()});
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"E 43 " + c.formats, "M 95", "R 1 last=95"}))
            << run.out;
        EXPECT_EQ(EncoderDataCalls(), (Lines{"Close"})) << c.formats;
        EXPECT_FALSE(sandbox.Exists(output)) << c.formats;
    }
    const RunResult shown = sandbox.Run({"-I", input, "-O", output, "-ENC", "pcm_encoder"});
    EXPECT_EQ(shown.err, "kernova: error: no conversion between these audio formats: 8000 Hz "
                         "16-bit 9 channels -> 8000 Hz 16-bit 9 channels\n");
    EXPECT_EQ(shown.exitCode, 1);
}

TEST_F(EngineTest, PlayWithoutDirectSoundFailsWithError4) {
    const RunResult run = sandbox.Probe({"-I " + input + " -PLAY"});
    EXPECT_EQ(Callbacks(run),
              (Lines{"M 201 " + input, "M 206 default", "E 4 DirectSound", "M 95", "R 1 last=95"}))
        << run.out;
    EXPECT_EQ(EventCount("pcm_decoder", "Play " + input), 0u);
    EXPECT_EQ(EventCount("pcm_decoder", "Quit"), 2u) << "loaded by the scan and by the job";
}

TEST_F(EngineTest, OutputNamingTheInputIsRefusedAndTheOtherJobRuns) {
    sandbox.env["PCM_DECODER_EXTENSIONS"] = "pcm;enc|PCM";
    struct Case {
        const char *label;
        std::string same;  // converted onto itself
        std::string other; // converted into <base>.enc
    };
    const Case cases[] = {
        {"the refused job first", "a.enc", "b.pcm"},
        {"the refused job after a finished one", "b.enc", "a.pcm"},
    };
    for (const Case &c : cases) {
        const std::string folder = work + NativePath("/") + c.same.substr(0, 1) + "-first";
        const std::string same = folder + NativePath("/") + c.same;
        const std::string other = folder + NativePath("/") + c.other;
        const std::string converted = other.substr(0, other.size() - 3) + "enc";
        sandbox.WriteFile(same, kSourceText);
        sandbox.WriteFile(other, kSourceText);
        const RunResult run = sandbox.Probe({"-I " + folder + NativePath("/*.* -O ") + folder +
                                             NativePath("/*.enc -ENC pcm_encoder")});
        const Lines lines = Callbacks(run);
        EXPECT_EQ(CountOf(lines, "E 17 " + same), 1u) << c.label << "\n" << run.out;
        EXPECT_EQ(CountOf(lines, "M 95"), 1u) << c.label << "\n" << run.out;
        EXPECT_EQ(CountOf(lines, "M 97"), 1u) << c.label << "\n" << run.out;
        EXPECT_EQ(ReadIfThere(same), kSourceText) << c.label << ": the input must stay as it was";
        EXPECT_EQ(sandbox.ReadFile(other), kSourceText) << c.label;
        EXPECT_TRUE(SameBytes(sandbox.ReadFile(converted), Pattern(65536))) << c.label;
    }
}

TEST_F(EngineTest, JobFailingBeforeItsEncoderOpenedLeavesAnExistingOutputAlone) {
    sandbox.AddTestPlugin("pcm_decoder", "plugins/in", LibraryFile("pcm_short"));
    sandbox.env["PCM_SHORT_EXTENSIONS"] = "short|No length";
    sandbox.env["PCM_SHORT_LENGTH_MS"] = "0";
    const std::string earlier = work + NativePath("/earlier.enc");
    const std::string shortInput = work + NativePath("/in.short");
    sandbox.WriteFile(shortInput, kSourceText);
    struct Case {
        const char *label;
        std::string command;
        std::string error;
    };
    const Case cases[] = {
        {"the named encoder is missing", "-I " + input + " -O " + earlier + " -ENC nosuch",
         "E 4 nosuch"},
        {"the decoder reports no length",
         "-I " + shortInput + " -O " + earlier + " -ENC pcm_encoder", "E 6 " + shortInput},
    };
    for (const Case &c : cases) {
        sandbox.WriteFile(earlier, "an earlier result");
        // The first command converts in full, so the writer has been open in this process.
        const RunResult run = sandbox.Probe({Convert(), c.command});
        const Lines lines = Callbacks(run);
        EXPECT_EQ(CountOf(lines, c.error), 1u) << c.label << "\n" << run.out;
        EXPECT_EQ(lines.back(), "R 1 last=95") << c.label;
        EXPECT_EQ(ReadIfThere(earlier), "an earlier result")
            << c.label << ": a file the job never wrote must stay";
    }
}

TEST_F(EngineTest, DecoderThatNeverClosesItsOutputFailsAfterABoundedWait) {
    sandbox.env["PCM_DECODER_KEEP_OPEN"] = "1";
    sandbox.timeoutSeconds = 30;
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = sandbox.Probe({Convert()});
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(run.exitCode, 0) << "killed after " << seconds << " s";
    EXPECT_EQ(Callbacks(run), Concat(JobHead(), {"M 95", "R 1 last=95"})) << run.out;
    EXPECT_GE(seconds, 4);
    EXPECT_LT(seconds, 20);
    EXPECT_EQ(EventCount("pcm_decoder", "Stop"), 1u);
    EXPECT_EQ(EventCount("pcm_decoder", "Close"), 0u);
    EXPECT_EQ(EventCount("pcm_encoder", "Close"), 1u) << "the core closes the encoder itself";
    EXPECT_FALSE(sandbox.Exists(output));
}

TEST_F(EngineTest, DelSourceOnlyAfterACompleteConversion) {
    struct Case {
        const char *label;
        std::map<std::string, std::string> env;
        std::string keys;
        Lines tail;
        bool deleted;
    };
    const Case cases[] = {
        {"deleted after success",
         {},
         " -DELSOURCE",
         {"M 15 " + input, "M 97", "R 1 last=97"},
         true},
        {"kept after a -PREVIEW cut",
         {{"PCM_DECODER_RATE", "8000"},
          {"PCM_DECODER_CHANNELS", "1"},
          {"PCM_DECODER_TOTAL_BYTES", "200000"}},
         " -DELSOURCE -PREVIEW 1",
         {"M 97", "R 1 last=97"},
         false},
        {"kept after a failure",
         {{"PCM_ENCODER_ENCODE_FAIL_AFTER", "1"}},
         " -DELSOURCE",
         {"E 9 " + output, "M 95", "R 1 last=95"},
         false},
    };
    for (const Case &c : cases) {
        const auto saved = sandbox.env;
        for (const auto &[name, value] : c.env)
            sandbox.env[name] = value;
        sandbox.WriteFile(input, kSourceText);
        const RunResult run = sandbox.Probe({Convert(c.keys)});
        sandbox.env = saved;
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), c.tail)) << c.label << "\n" << run.out;
        EXPECT_EQ(sandbox.Exists(input), !c.deleted) << c.label;
    }
}

TEST_F(EngineTest, FailedConversionLeavesNoOutputBehind) {
    struct Case {
        const char *label;
        std::map<std::string, std::string> env;
        Lines tail;
        std::string decoderOpen; // the decoder's view of its output's Open
        Lines dataCalls;
    };
    const Case cases[] = {
        {"Encode fails mid-way",
         {{"PCM_ENCODER_ENCODE_FAIL_AFTER", "3"}},
         {"E 9 " + output, "M 95", "R 1 last=95"},
         "Open 44100 2 16 = 0",
         {"Encode 4608", "Encode 4608", "Encode 4608", "Encode 4608 failed", "Close"}},
        {"the encoder refuses to open with its own code",
         {{"PCM_ENCODER_OPEN_RESULT", "41"}},
         {"E 41 " + output, "M 95", "R 1 last=95"},
         "Open 44100 2 16 = -1",
         {}},
        {"the encoder refuses while the decoder opens inside Play",
         {{"PCM_ENCODER_OPEN_RESULT", "41"}, {"PCM_DECODER_OPEN_IN_PLAY", "1"}},
         {"E 41 " + output, "M 95", "R 1 last=95"},
         "Open 44100 2 16 = -1",
         {}},
    };
    for (const Case &c : cases) {
        const auto saved = sandbox.env;
        for (const auto &[name, value] : c.env)
            sandbox.env[name] = value;
        fs::remove(sandbox.root + NativePath("/events.log"));
        const RunResult run = sandbox.Probe({Convert()});
        sandbox.env = saved;
        EXPECT_EQ(Callbacks(run), Concat(JobHead(), c.tail)) << c.label << "\n" << run.out;
        EXPECT_EQ(EventCount("pcm_decoder", c.decoderOpen), 1u) << c.label;
        EXPECT_EQ(EncoderDataCalls(), c.dataCalls) << c.label;
        EXPECT_FALSE(sandbox.Exists(output)) << c.label;
        EXPECT_EQ(sandbox.ReadFile(input), kSourceText) << c.label;
    }
}

TEST_F(EngineTest, DecoderParametersAcceptedOrRefusedAndTheJobGoesOn) {
    struct Case {
        const char *label;
        const char *accept;
        Lines messages;
        std::string reset; // the decoder's SetDefaultParams event, or none
    };
    const Case cases[] = {
        {"accepted: echoed as typed", "1", {"M 62 x:1"}, ""},
        {"refused: 63, defaults restored", "0", {"E 63 x:1"}, "SetDefaultParams"},
    };
    for (const Case &c : cases) {
        fs::remove(sandbox.root + NativePath("/events.log"));
        sandbox.env["PCM_DECODER_ACCEPT_PARAMS"] = c.accept;
        const RunResult run = sandbox.Probe({Convert(" -DECPARAM x:1")});
        EXPECT_EQ(Callbacks(run), Concat(Concat(JobHead(), c.messages), {"M 97", "R 1 last=97"}))
            << c.label << "\n"
            << run.out;
        EXPECT_EQ(EventCount("pcm_decoder", "SetParamString x:1"), 1u) << c.label;
        EXPECT_EQ(EventCount("pcm_decoder", "SetDefaultParams"), c.reset.empty() ? 0u : 1u)
            << c.label;
        EXPECT_TRUE(SameBytes(sandbox.ReadFile(output), Pattern(65536))) << c.label;
    }
}

} // namespace
