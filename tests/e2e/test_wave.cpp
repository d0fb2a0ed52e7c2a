// The WAV decoder and encoder through the console program, on files the test writes itself:
// samples pass bit for bit in every layout, the header of what we write is read strictly,
// depths and channels change as asked or are refused, and damaged files fail with their code.
// Other programs (sox, ffmpeg) read our files and we read theirs where they are installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

// The native format layer takes any PCM; Windows' ACM only 8 to 24 bits, 1 or 2 channels.
bool FormatCheckTakes(const WavShape &shape) {
    return platform::kPathSeparator == '/' || (shape.bits <= 24 && shape.channels <= 2);
}

class WaveE2E : public ::testing::Test {
  protected:
    WaveE2E() {
        sb.AddBuiltPlugin("plugins/in/wave");
        sb.AddBuiltPlugin("plugins/out/wave");
    }

    // Converts in.wav (holding `file`) into out.wav; the probe's lines.
    Lines Convert(const std::string &file, const std::string &keys = "") {
        sb.WriteFile("in.wav", file);
        fs::remove(sb.Path("out.wav"));
        return sb.Callbacks({"-I " + sb.Path("in.wav") + " -O " + sb.Path("out.wav") + keys});
    }

    Sandbox sb;
};

TEST_F(WaveE2E, SamplesPassBitForBitAndTheHeaderIsWellFormed) {
    for (uint16_t bits : {8, 16, 24, 32}) {
        for (uint16_t channels : {1, 2, 6}) {
            for (uint32_t rate : {44100u, 96000u}) {
                const WavShape shape{rate, channels, bits, size_t{3 * 4096 + 7} + bits + channels};
                if (!FormatCheckTakes(shape))
                    continue;
                const std::string name = std::to_string(bits) + "-bit " + std::to_string(channels) +
                                         " ch " + std::to_string(rate);
                const std::string samples = MakeSamples(shape);
                EXPECT_EQ(Convert(WavFile(shape, samples)).back(), "R 1 last=97") << name;
                const WavContent out = ReadWav(sb.ReadFile("out.wav"));
                ASSERT_EQ(out.problem, "") << name;
                EXPECT_EQ(std::vector<unsigned>({out.rate, out.channels, out.bits}),
                          std::vector<unsigned>({rate, channels, bits}))
                    << name;
                const bool extensible = channels > 2 || bits > 16;
                EXPECT_EQ(out.tag, extensible ? 0xFFFE : 1) << name;
                if (extensible) {
                    EXPECT_EQ(out.validBits, bits) << name;
                    EXPECT_EQ(out.mask, channels == 6   ? 0x3Fu
                                        : channels == 2 ? 0x3u
                                                        : 0x4u)
                        << name;
                }
                EXPECT_EQ(FirstDifference(samples, out.data), "") << name;
            }
        }
    }
}

TEST_F(WaveE2E, InputLayoutsDecodeWhatTheFileHolds) {
    struct Case {
        const char *name;
        WavShape shape;
        WavLayout layout;
        size_t frames; // expected in the output
    };
    const Case cases[] = {
        {"extensible 16-bit stereo", {44100, 2, 16, 5000}, {.tag = 0xFFFE}, 5000},
        {"plain PCM tag for 24-bit 6 channels", {48000, 6, 24, 5000}, {.tag = 1}, 5000},
        {"odd-sized unknown chunks", {22050, 1, 8, 4001}, {.junk = true}, 4001},
        {"18-byte fmt chunk", {32000, 2, 16, 3000}, {.fmtSize = 18}, 3000},
        {"open sizes of a streamed file", {44100, 2, 16, 4500}, {.openSizes = true}, 4500},
        {"RF64 with a chunk after the data", {96000, 2, 32, 4000}, {.rf64 = true}, 4000},
        {"one frame past whole blocks", {44100, 2, 16, 2 * 4096 + 1}, {}, 2 * 4096 + 1},
        {"five bytes of 8-bit mono", {8000, 1, 8, 5}, {}, 5},
        // It lasts 1 ms, not 0, so the job runs; the writer ignores so short a write.
        {"a single frame of 4 bytes", {44100, 2, 16, 1}, {}, 0},
    };
    for (const Case &c : cases) {
        if (!FormatCheckTakes(c.shape))
            continue;
        const std::string samples = MakeSamples(c.shape);
        EXPECT_EQ(Convert(WavFile(c.shape, samples, c.layout)).back(), "R 1 last=97") << c.name;
        const WavContent out = ReadWav(sb.ReadFile("out.wav"));
        ASSERT_EQ(out.problem, "") << c.name;
        EXPECT_EQ(FirstDifference(samples.substr(0, c.frames * c.shape.FrameBytes()), out.data), "")
            << c.name;
    }
}

TEST_F(WaveE2E, UnreadableFilesFailWithTheirCodeAndLeaveNoOutput) {
    const WavShape cd{44100, 2, 16, 100};
    const std::string samples = MakeSamples(cd);
    std::string garbage(3000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(i * 7919 % 251);
    struct Case {
        const char *name;
        std::string bytes;
        const char *code;
    };
    const Case cases[] = {
        {"garbage", garbage, "E 18"},
        {"empty file", "", "E 18"},
        {"RIFF header only", WavFile(cd, samples).substr(0, 12), "E 18"},
        {"header cut inside fmt", WavFile(cd, samples).substr(0, 30), "E 18"},
        {"fmt chunk of 14 bytes", WavFile(cd, samples, {.fmtSize = 14}), "E 18"},
        {"data before fmt", WavFile(cd, samples, {.dataFirst = true}), "E 18"},
        {"wrong block align", WavFile(cd, samples, {.blockAlignDelta = 1}), "E 18"},
        {"no channels", WavFile(cd, samples, {.fmtChannels = 0}), "E 18"},
        // Neither this reader nor FFmpeg, which takes the encodings it does not know, reads these.
        {"unknown encoding", WavFile(cd, samples, {.tag = 0x7777}), "E 19"},
        {"float of 16 bits", WavFile(cd, samples, {.tag = 3}), "E 19"},
        {"9 channels", WavFile(cd, samples, {.fmtChannels = 9}), "E 32"},
        {"no data: no length", WavFile({44100, 2, 16, 0}, ""), nullptr},
    };
    for (const Case &c : cases) {
        const Lines lines = Convert(c.bytes);
        // The decoder's code names the file; without one the core says the length is missing.
        const Lines tail = {(c.code ? c.code : std::string("E 6")) + " " + sb.Path("in.wav"),
                            "M 95", "R 1 last=95"};
        EXPECT_EQ(Lines(lines.end() - 3, lines.end()), tail) << c.name;
        EXPECT_FALSE(sb.Exists("out.wav")) << c.name;
    }
    const Lines missing = sb.Callbacks({"-I " + sb.Path("missing.wav") + " -O out.wav -STREAM"});
    EXPECT_TRUE(Contains(missing, "E 30 " + sb.Path("missing.wav")))
        << "the decoder's code for a file it cannot open";
}

// A wider depth, a mono copy and samples that already fit are exact; a narrower depth is
// dithered; channel changes the writer cannot make are refused with error 20.
TEST_F(WaveE2E, DepthAndChannelChangesAreRightOthersRefused) {
    struct Case {
        const char *params;
        WavShape input;
        int bits, channels; // 0: refused with error 20
        int madeBits = 0;   // the input's values made at this depth (their low bits zero)
    };
    const Case cases[] = {
        {"b:24", {44100, 2, 16, 5001}, 24, 2},      {"b:8", {44100, 2, 16, 5001}, 8, 2},
        {"b:32", {22050, 1, 8, 5001}, 32, 1},       {"b:16", {48000, 6, 32, 5001}, 16, 6},
        {"b:16", {48000, 2, 24, 5001}, 16, 2},      {"b:16", {48000, 2, 24, 5001}, 16, 2, 16},
        {"c:2", {44100, 1, 16, 5001}, 16, 2},       {"b:24 c:2", {8000, 1, 8, 5001}, 24, 2},
        {"c:1", {44100, 1, 24, 5001}, 24, 1},       {"c:2 f:44100", {44100, 2, 16, 5001}, 16, 2},
        {"b:8 c:2", {44100, 1, 32, 5001}, 8, 2, 8}, {"c:6", {44100, 2, 16, 100}, 0, 0},
        {"c:3", {44100, 2, 16, 100}, 0, 0},         {"c:6", {48000, 8, 16, 100}, 0, 0},
    };
    for (const Case &c : cases) {
        if (!FormatCheckTakes(c.input) ||
            !FormatCheckTakes({0, uint16_t(c.channels), uint16_t(c.bits)}))
            continue;
        const int made = c.madeBits ? c.madeBits : c.input.bits;
        std::vector<int64_t> values = Quantize(Signal(c.input, 0.1, true), made);
        for (int64_t &v : values)
            v *= int64_t{1} << (c.input.bits - made);
        const Lines lines = Convert(WavFile(c.input, PcmBytes(values, c.input.bits)),
                                    std::string(" -ENCPARAM ") + c.params);
        if (c.bits == 0) {
            EXPECT_TRUE(Contains(lines, "E 20 " + sb.Path("out.wav"))) << c.params;
            EXPECT_FALSE(sb.Exists("out.wav")) << c.params;
            continue;
        }
        const WavContent out = ReadWav(sb.ReadFile("out.wav"));
        ASSERT_EQ(out.problem, "") << c.params;
        EXPECT_EQ(std::vector<int>({out.bits, out.channels}),
                  std::vector<int>({c.bits, c.channels}))
            << c.params;
        std::vector<int64_t> source;
        for (size_t frame = 0; frame < c.input.frames; ++frame)
            for (int channel = 0; channel < c.channels; ++channel)
                source.push_back(
                    values[frame * c.input.channels + std::min(channel, c.input.channels - 1)]);
        EXPECT_EQ(DepthChangeFault(source, c.input.bits, out.data, c.bits), "") << c.params;
    }
}

#if defined(_WIN32)
// What only the Windows builds show of the WAV plug-ins.
using WindowsConvert = WaveE2E;

// Windows' ACM decides which PCM formats open; a PCM format passes to itself, listed by the
// PCM driver or not.
TEST_F(WindowsConvert, OnlyFormatsAnAcmDriverListsAreConverted) {
    const struct {
        WavShape shape;
        bool listed;
    } cases[] = {{{96000, 2, 16, 24000}, true},
                 {{22050, 2, 16, 5512}, true},
                 {{88200, 2, 16, 22050}, true},
                 {{44100, 2, 32, 11025}, true}};
    for (const auto &c : cases) {
        const std::string samples = MakeSamples(c.shape);
        const Lines lines = Convert(WavFile(c.shape, samples));
        EXPECT_EQ(lines.back(), c.listed ? "R 1 last=97" : "R 1 last=95") << c.shape.rate;
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(),
                                 [](const std::string &line) { return line[0] == 'E'; }));
        EXPECT_EQ(sb.Exists("out.wav"), c.listed) << c.shape.rate;
        fs::remove(sb.Path("out.wav"));
        const RunResult run = sb.Run({"-I", "in.wav", "-O", "out.wav"});
        EXPECT_EQ(run.exitCode, c.listed ? 0 : 1) << run.out << run.err;
        EXPECT_EQ(run.err.find("kernova: error:"), std::string::npos) << run.err;
        EXPECT_EQ(Contains(SplitLines(run.out), "failed"), !c.listed) << run.out;
        if (c.listed) {
            EXPECT_EQ(FirstDifference(samples, DataChunk(sb.ReadFile("out.wav"))), "");
        }
    }
}

TEST_F(WindowsConvert, OutputFoldersGivenWithBackslashesAreCreated) {
    const WavShape shape{44100, 2, 16, 4410};
    const std::string samples = MakeSamples(shape);
    sb.WriteFile("x.wav", WavFile(shape, samples));
    const RunResult run = sb.Run({"-I", "x.wav", "-O", "out\\sub\\x.wav"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(FirstDifference(samples, DataChunk(sb.ReadFile("out\\sub\\x.wav"))), "");
}
#endif

} // namespace
