// Rate, depth and channel changes through the console program: sources of known tones are
// converted by every encoder and read back with ffmpeg and ffprobe, then measured tone by tone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace {

struct Tone {
    int channel;
    double frequency;
    double amplitude; // full scale 1
};

struct Source {
    const char *name;
    uint32_t rate;
    int channels;
    int bits;
    size_t frames; // odd lengths: the resampler must not round them away
    std::vector<Tone> tones;
};

// 96 kHz/24-bit stereo: 1 kHz and 20 kHz (near the top of 44.1 kHz's passband) on the left,
// 22.3 kHz (just above 44.1 kHz's Nyquist, where a weak filter still passes aliases) on the
// right.
const Source kHiRes = {
    "hires", 96000, 2, 24, 96000 * 3 + 211, {{0, 1000, 0.5}, {0, 20000, 0.25}, {1, 22300, 0.5}}};
// 48 kHz/24-bit 5.1 (FL FR FC LFE BL BR): 1 kHz front left, 500 Hz centre, 60 Hz LFE, 23 kHz
// back right (above 44.1 kHz's Nyquist).
const Source kSurround = {
    "surround", 48000,           6,
    24,         48000 * 3 + 107, {{0, 1000, 0.5}, {2, 500, 0.25}, {3, 60, 0.5}, {5, 23000, 0.5}}};
// 44.1 kHz/16-bit stereo, to be raised to 96 kHz.
const Source kCd = {"cd", 44100, 2, 16, 44100 * 3 + 5, {{0, 1000, 0.5}, {1, 15000, 0.5}}};

// A WAVE_FORMAT_EXTENSIBLE file of the source's tones.
std::string MakeWave(const Source &source) {
    std::string bytes;
    auto put = [&bytes](uint32_t value, int size) {
        for (int i = 0; i < size; i++)
            bytes.push_back(static_cast<char>(value >> (8 * i)));
    };
    const uint32_t frameBytes = static_cast<uint32_t>(source.channels * source.bits / 8);
    const auto dataBytes = static_cast<uint32_t>(source.frames * frameBytes);
    const uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F};
    bytes += "RIFF";
    put(60 + dataBytes, 4);
    bytes += "WAVEfmt ";
    put(40, 4);
    put(0xFFFE, 2);
    put(static_cast<uint32_t>(source.channels), 2);
    put(source.rate, 4);
    put(source.rate * frameBytes, 4);
    put(frameBytes, 2);
    put(static_cast<uint32_t>(source.bits), 2);
    put(22, 2);
    put(static_cast<uint32_t>(source.bits), 2);
    put(masks[source.channels], 4);
    bytes += std::string("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
    bytes += "data";
    put(dataBytes, 4);
    const double scale = std::ldexp(1.0, source.bits - 1);
    for (size_t frame = 0; frame < source.frames; frame++) {
        for (int channel = 0; channel < source.channels; channel++) {
            double x = 0;
            for (const Tone &tone : source.tones)
                if (tone.channel == channel)
                    x += tone.amplitude * std::sin(2 * M_PI * tone.frequency *
                                                   static_cast<double>(frame) / source.rate);
            put(static_cast<uint32_t>(static_cast<int32_t>(std::lrint(x * scale))),
                source.bits / 8);
        }
    }
    return bytes;
}

// Interleaved samples decoded by ffmpeg; `channels` of them per frame.
struct Decoded {
    std::vector<float> samples;
    int channels = 0;
    int rate = 0;

    size_t Frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

// The complex amplitude of `frequency` over one second from `start` seconds (a whole number of
// periods of every tone here, so no window is needed).
struct Phasor {
    double cosine = 0;
    double sine = 0;
    double Amplitude() const { return std::hypot(cosine, sine); }
};

Phasor Measure(const Decoded &d, int channel, double frequency) {
    Phasor p;
    const size_t first = static_cast<size_t>(d.rate);
    for (size_t i = 0; i < static_cast<size_t>(d.rate); i++) {
        const double x = d.samples[(first + i) * d.channels + channel];
        const double phase = 2 * M_PI * frequency * static_cast<double>(i) / d.rate;
        p.cosine += x * std::cos(phase);
        p.sine += x * std::sin(phase);
    }
    p.cosine *= 2.0 / d.rate;
    p.sine *= 2.0 / d.rate;
    return p;
}

// RMS in dBFS of what is left of that second once the given tones are taken out.
double ResidualDb(const Decoded &d, int channel, const std::vector<Tone> &tones) {
    std::vector<Phasor> fitted;
    for (const Tone &tone : tones)
        fitted.push_back(Measure(d, channel, tone.frequency));
    double sum = 0;
    const size_t first = static_cast<size_t>(d.rate);
    for (size_t i = 0; i < static_cast<size_t>(d.rate); i++) {
        double x = d.samples[(first + i) * d.channels + channel];
        for (size_t t = 0; t < tones.size(); t++) {
            const double phase = 2 * M_PI * tones[t].frequency * static_cast<double>(i) / d.rate;
            x -= fitted[t].cosine * std::cos(phase) + fitted[t].sine * std::sin(phase);
        }
        sum += x * x;
    }
    // dBFS: a full-scale sine is 0 dB.
    return 10 * std::log10(std::max(2 * sum / d.rate, 1e-30));
}

double Db(double ratio) {
    return 20 * std::log10(std::max(ratio, 1e-15));
}

constexpr double kMinus3dB = 0.70710678;

// What a converted file must hold, by output channel.
struct Expectation {
    int channels;
    std::vector<Tone> tones;     // kept, each within 0.1 dB and at its own frequency
    std::vector<Tone> forbidden; // aliases or images, with the level they would have unfiltered
    double minRejectionDb;       // how far below that level they must stay
    double maxResidualDb;        // of what is left without the tones; 0: not measured (lossy)
};

// Lossless 16-bit outputs: the dither leaves about -93 dBFS. The lossy codecs' own noise bounds
// what they can show (measured: -96 dB and lower at these frequencies).
constexpr double kLossless = 100;
constexpr double kLossy = 90;

const Expectation kHiResLossless = {
    2, {{0, 1000, 0.5}, {0, 20000, 0.25}}, {{1, 21800, 0.5}}, kLossless, -85};
// The codecs cut the top of the band; their rejection is the stage's, the residual theirs.
const Expectation kHiResLossy = {2, {{0, 1000, 0.5}}, {{1, 21800, 0.5}}, kLossy, 0};
// The down-mix to stereo: left takes front left and the centre at -3 dB; right the centre and
// the back right at -3 dB; LFE is left out.
const Expectation kSurroundLossless = {
    2,
    {{0, 1000, 0.5}, {0, 500, 0.25 * kMinus3dB}, {1, 500, 0.25 * kMinus3dB}},
    {{1, 21100, 0.5 * kMinus3dB}, {0, 60, 0.5}},
    kLossless,
    -85};
const Expectation kSurroundLossy = {
    2, {{0, 1000, 0.5}, {0, 500, 0.25 * kMinus3dB}}, {{0, 60, 0.5}}, kLossy, 0};
// Mono is the mean of the stereo down-mix: front left at -6 dB, centre and back right at -3 dB.
const Expectation kSurroundMono = {
    1,
    {{0, 1000, 0.25}, {0, 500, 0.25 * kMinus3dB}, {0, 23000, 0.25 * kMinus3dB}},
    {{0, 60, 0.5}},
    kLossless,
    -85};
// Raised to 96 kHz: no images of the tones above the old Nyquist.
const Expectation kCdRaised = {
    2, {{0, 1000, 0.5}, {1, 15000, 0.5}}, {{0, 43100, 0.5}, {1, 29100, 0.5}}, kLossless, -85};

struct Case {
    const char *name;
    const Source *source;
    const char *extension;
    const char *params;
    int rate; // as ffprobe shows it (Opus streams always decode at 48000)
    int bits; // 0: the format has no depth
    const Expectation *expect;
};

const Case kCases[] = {
    {"HiResToCdWave", &kHiRes, "wav", "f:44100 b:16 c:2", 44100, 16, &kHiResLossless},
    {"HiResToCdFlac", &kHiRes, "flac", "f:44100 b:16 c:2", 44100, 16, &kHiResLossless},
    {"HiResToMp3", &kHiRes, "mp3", "f:44100 c:2", 44100, 0, &kHiResLossy},
    {"HiResToVorbis", &kHiRes, "ogg", "f:44100 c:2", 44100, 0, &kHiResLossy},
    {"HiResToOpus", &kHiRes, "opus", "f:44100 c:2", 48000, 0, &kHiResLossy},
    {"SurroundToStereoWave", &kSurround, "wav", "f:44100 b:16 c:2", 44100, 16, &kSurroundLossless},
    {"SurroundToStereoFlac", &kSurround, "flac", "f:44100 b:16 c:2", 44100, 16, &kSurroundLossless},
    {"SurroundToStereoMp3", &kSurround, "mp3", "f:44100 c:2", 44100, 0, &kSurroundLossy},
    {"SurroundToStereoVorbis", &kSurround, "ogg", "f:44100 c:2", 44100, 0, &kSurroundLossy},
    {"SurroundToStereoOpus", &kSurround, "opus", "f:44100 c:2", 48000, 0, &kSurroundLossy},
    {"SurroundToMonoWave", &kSurround, "wav", "b:16 c:1", 48000, 16, &kSurroundMono},
    {"CdTo96kFlac", &kCd, "flac", "f:96000 b:24", 96000, 24, &kCdRaised},
};

class ResampleE2E : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (!HaveTools({"ffmpeg", "ffprobe"}))
            GTEST_SKIP() << "ffmpeg or ffprobe is not installed";
        for (const char *name : {"wave", "flac", "mp3", "vorbis", "opus"})
            box.AddBuiltPlugin(std::string("plugins/out/") + name);
        box.AddBuiltPlugin("plugins/in/wave");
    }

    std::string Probe(const std::string &relative, const std::string &entry) {
        return StreamInfo(box.Path(relative), entry);
    }

    Decoded Decode(const std::string &relative) {
        Decoded d;
        const std::string bytes = FfmpegDecode(box.Path(relative), "f32le");
        d.samples.resize(bytes.size() / 4);
        std::memcpy(d.samples.data(), bytes.data(), d.samples.size() * 4);
        d.channels = std::stoi("0" + Probe(relative, "channels"));
        d.rate = std::stoi("0" + Probe(relative, "sample_rate"));
        return d;
    }

    Sandbox box;
};

TEST_P(ResampleE2E, WritesTheAskedShapeWithTonesKeptAndAliasesGone) {
    const Case &c = GetParam();
    const std::string input = std::string(c.source->name) + ".wav";
    const std::string output = std::string("out/") + c.name + "." + c.extension;
    box.WriteFile(input, MakeWave(*c.source));
    RunResult run = box.Run({"-I", input, "-O", output, "-ENCPARAM", c.params});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

    EXPECT_EQ(Probe(output, "sample_rate"), std::to_string(c.rate));
    const Expectation &e = *c.expect;
    EXPECT_EQ(Probe(output, "channels"), std::to_string(e.channels));
    if (c.bits != 0) {
        // WAV reports its depth as bits_per_sample, FLAC as bits_per_raw_sample.
        const std::string bits =
            Probe(output, "bits_per_sample") + "/" + Probe(output, "bits_per_raw_sample");
        EXPECT_NE(bits.find(std::to_string(c.bits)), std::string::npos) << bits;
    }
    const Decoded d = Decode(output);
    ASSERT_EQ(d.channels, e.channels);
    ASSERT_EQ(d.rate, c.rate);
    // The resampler's delay is compensated and the codecs' is trimmed by ffmpeg: the length is
    // the source's at the new rate, within one frame.
    const double expected = static_cast<double>(c.source->frames) * c.rate / c.source->rate;
    EXPECT_NEAR(static_cast<double>(d.Frames()), expected, 1.0);
    ASSERT_GT(d.Frames(), 3u * static_cast<size_t>(d.rate) - 1);

    for (const Tone &tone : e.tones) {
        SCOPED_TRACE("tone " + std::to_string(tone.frequency) + " Hz on channel " +
                     std::to_string(tone.channel));
        EXPECT_NEAR(Db(Measure(d, tone.channel, tone.frequency).Amplitude() / tone.amplitude), 0,
                    0.1);
        // The strongest of the neighbouring 1 Hz bins is the tone's own: the frequency holds.
        double strongest = 0, at = 0;
        for (double f = tone.frequency - 5; f <= tone.frequency + 5; f += 1) {
            const double a = Measure(d, tone.channel, f).Amplitude();
            if (a > strongest) {
                strongest = a;
                at = f;
            }
        }
        EXPECT_EQ(at, tone.frequency);
    }
    for (const Tone &alias : e.forbidden) {
        const double level =
            Db(Measure(d, alias.channel, alias.frequency).Amplitude() / alias.amplitude);
        EXPECT_LE(level, -e.minRejectionDb)
            << alias.frequency << " Hz on channel " << alias.channel;
    }
    if (e.maxResidualDb != 0) {
        for (int channel = 0; channel < e.channels; channel++) {
            std::vector<Tone> own;
            for (const Tone &tone : e.tones)
                if (tone.channel == channel)
                    own.push_back(tone);
            EXPECT_LE(ResidualDb(d, channel, own), e.maxResidualDb) << "channel " << channel;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ResampleE2E, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

// Every pass over one output writes the same samples, dither noise included; a new pass of a
// multi-pass encoder must see what the first one saw.
TEST_F(ResampleE2E, TheSameConversionWritesTheSameBytes) {
    box.WriteFile("hires.wav", MakeWave(kHiRes));
    std::string first;
    for (int pass = 0; pass < 2; pass++) {
        RunResult run = box.Run({"-I", "hires.wav", "-O", "cd.wav", "-ENCPARAM", "f:44100 b:16"});
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        if (pass == 0)
            first = box.ReadFile("cd.wav");
        else
            EXPECT_TRUE(box.ReadFile("cd.wav") == first) << "the second pass differs";
    }
}

} // namespace
