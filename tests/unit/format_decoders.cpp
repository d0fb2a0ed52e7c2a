// The decoder plug-ins for FLAC, MPEG audio, Ogg Vorbis, Ogg Opus and the libsndfile formats,
// loaded from the build and driven the way the core drives them (plugin_host.h). Test files are
// made from generated WAVs by the command-line encoders; lossless formats must come back bit
// for bit, lossy ones must match an independent decode by ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kernova/message_codes.h"
#include "tests/unit/plugin_host.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kLimit = std::chrono::seconds(60);

// ---- Generated audio ----

struct Shape {
    uint32_t rate = 44100;
    uint16_t channels = 2;
    uint16_t bits = 16;
    size_t frames = 10000;

    size_t FrameBytes() const { return channels * (bits / 8u); }
    std::string Name() const {
        return std::to_string(bits) + "-bit " + std::to_string(channels) + " ch " +
               std::to_string(rate) + " Hz";
    }
};

// A different pitch per channel plus `noise`, with both extremes in the first frame; in the
// output layout (8-bit unsigned, else signed little-endian).
std::string MakeSamples(const Shape &shape, double noise, uint32_t seed = 1) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(-noise, noise);
    int64_t largest = (int64_t(1) << (shape.bits - 1)) - 1;
    std::string bytes;
    bytes.reserve(shape.frames * shape.FrameBytes());
    for (size_t frame = 0; frame < shape.frames; frame++) {
        for (uint16_t channel = 0; channel < shape.channels; channel++) {
            double pitch = 220.0 + 110.0 * channel;
            double x =
                0.6 * std::sin(2 * M_PI * pitch * double(frame) / shape.rate) + jitter(random);
            int64_t v = std::llround(std::clamp(x, -1.0, 1.0) * double(largest));
            if (frame == 0 && shape.frames > 1)
                v = channel % 2 ? -largest - 1 : largest;
            if (shape.bits == 8)
                v += 128;
            for (int i = 0; i < shape.bits / 8; i++)
                bytes.push_back(static_cast<char>(static_cast<uint64_t>(v) >> (8 * i)));
        }
    }
    return bytes;
}

void PutLe(std::string &bytes, uint64_t v, int count) {
    for (int i = 0; i < count; i++)
        bytes.push_back(static_cast<char>(v >> (8 * i)));
}

// WAVE_FORMAT_EXTENSIBLE with the usual speaker mask above 2 channels or 16 bits.
std::string MakeWav(const Shape &shape, const std::string &samples) {
    bool extensible = shape.channels > 2 || shape.bits > 16;
    uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    std::string format;
    PutLe(format, extensible ? 0xFFFE : 1, 2);
    PutLe(format, shape.channels, 2);
    PutLe(format, shape.rate, 4);
    PutLe(format, shape.rate * shape.FrameBytes(), 4);
    PutLe(format, shape.FrameBytes(), 2);
    PutLe(format, shape.bits, 2);
    if (extensible) {
        PutLe(format, 22, 2);
        PutLe(format, shape.bits, 2);
        PutLe(format, masks[shape.channels], 4);
        format +=
            std::string("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
    }
    std::string file = "RIFF";
    PutLe(file, 4 + 8 + format.size() + 8 + samples.size(), 4);
    file += "WAVEfmt ";
    PutLe(file, format.size(), 4);
    file += format + "data";
    PutLe(file, samples.size(), 4);
    return file + samples;
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Runs a shell command quietly; its own redirections still apply.
bool RunCommand(const std::string &command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string Quote(const fs::path &path) {
    return "'" + path.string() + "'";
}

// Where two byte strings part, for a readable failure.
std::string FirstDifference(const std::string &expected, const std::string &actual) {
    if (expected == actual)
        return "";
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        at++;
    return "sizes " + std::to_string(expected.size()) + "/" + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(at);
}

// ---- The formats ----

struct Format {
    const char *decoder;   // plug-in file name
    const char *extension; // of the test files
    // Encodes wav (of `shape`) into out; empty when the command failed.
    std::string (*encode)(const fs::path &wav, const Shape &shape, const fs::path &out);
    int notFormatCode;
};

std::string Encoded(const std::string &command, const fs::path &out) {
    return RunCommand(command) ? out.string() : "";
}

std::string EncodeFlac(const fs::path &wav, const Shape &, const fs::path &out) {
    return Encoded("flac -s -f -o " + Quote(out) + " " + Quote(wav), out);
}
std::string EncodeMp3(const fs::path &wav, const Shape &, const fs::path &out) {
    return Encoded("lame --quiet -b 192 " + Quote(wav) + " " + Quote(out), out);
}
std::string EncodeMp2(const fs::path &wav, const Shape &, const fs::path &out) {
    return Encoded(
        "ffmpeg -nostdin -v error -y -i " + Quote(wav) + " -c:a mp2 -b:a 256k " + Quote(out), out);
}
std::string EncodeVorbis(const fs::path &wav, const Shape &, const fs::path &out) {
    return Encoded("oggenc -Q -q 6 -o " + Quote(out) + " " + Quote(wav), out);
}
// 64 kbit/s a channel keeps every stream in the CELT mode, which ffmpeg decodes as libopus does.
std::string EncodeOpus(const fs::path &wav, const Shape &shape, const fs::path &out) {
    std::string bitrate = std::to_string(64 * shape.channels);
    return Encoded("opusenc --quiet --bitrate " + bitrate + " " + Quote(wav) + " " + Quote(out),
                   out);
}
std::string EncodeWithSox(const fs::path &wav, const Shape &, const fs::path &out) {
    return Encoded("sox " + Quote(wav) + " " + Quote(out), out);
}

const Format kFlac{"flac", "flac", EncodeFlac, KN_ERR_FLAC_NOT_FLAC};
const Format kMp3{"mp3", "mp3", EncodeMp3, KN_ERR_MP3_NOT_MPEG};
const Format kMp2{"mp3", "mp2", EncodeMp2, KN_ERR_MP3_NOT_MPEG};
const Format kVorbis{"vorbis", "ogg", EncodeVorbis, KN_ERR_VORBIS_NOT_VORBIS};
const Format kOpus{"opus", "opus", EncodeOpus, KN_ERR_OPUS_NOT_OPUS};
const Format kAiff{"sndfile", "aiff", EncodeWithSox, KN_ERR_SNDFILE_UNKNOWN};

const Format *const kAllFormats[] = {&kFlac, &kMp3, &kVorbis, &kOpus, &kAiff};

class Decoders : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *name : {"flac", "mp3", "vorbis", "opus", "sndfile"}) {
            const testhost::DecoderPlugin &plugin = testhost::LoadDecoder(name);
            ASSERT_TRUE(plugin.module != nullptr && plugin.moduleEx != nullptr) << plugin.loadError;
        }
        std::random_device seed;
        folder = fs::temp_directory_path() / ("kn_decoders_" + std::to_string(seed()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    const testhost::DecoderPlugin &Load(const char *name) { return testhost::LoadDecoder(name); }

    // A generated WAV of `shape` encoded into `format`; the samples go to `samples`.
    std::string MakeFile(const Format &format, const Shape &shape, std::string *samples = nullptr,
                         double noise = 0.2) {
        std::string pcm = MakeSamples(shape, noise, shape.bits * 1000u + shape.channels);
        fs::path wav = folder / "source.wav";
        WriteFile(wav, MakeWav(shape, pcm));
        if (samples != nullptr)
            *samples = pcm;
        return format.encode(wav, shape, folder / (std::string("coded.") + format.extension));
    }

    fs::path folder;
};

// ---- The tables ----

TEST_F(Decoders, TablesAnswerAsTheCoreExpects) {
    struct Case {
        const char *name;
        std::string extensions; // the whole list with its closing empty text (alone: no extension)
    } cases[] = {
        {"flac", std::string("FLAC\0FLAC files\0\0", 17)},
        {"mp3", std::string("MP3;MP2;MP1\0MPEG audio\0\0", 24)},
        // The ffmpeg decoder takes Ogg: these two are there for -DEC.
        {"vorbis", std::string("\0", 1)},
        {"opus", std::string("\0", 1)},
        {"sndfile", std::string("AIF;AIFF;AIFC\0AIFF files\0CAF\0Core Audio files\0W64\0"
                                "Sony Wave64 files\0RF64\0RF64 files\0\0",
                                82)},
    };
    for (const Case &c : cases) {
        const testhost::DecoderPlugin &plugin = Load(c.name);
        ASSERT_NE(plugin.module, nullptr) << c.name;
        In_Module *module = plugin.module;
        EXPECT_EQ(module->version, 0x1000) << c.name;
        EXPECT_EQ(module->UsesOutputPlug, 1) << c.name;
        EXPECT_EQ(std::string(module->description).find(std::string(c.name) + " - "), 0u) << c.name;
        EXPECT_EQ(std::string(module->FileExtensions, c.extensions.size()), c.extensions) << c.name;
        for (const char *accepted : {"", " \t "})
            EXPECT_EQ(plugin.moduleEx->SetParamString(accepted), 1) << c.name;
        for (const char *refused : {"x", "g:3", "m:ds a:150"})
            EXPECT_EQ(plugin.moduleEx->SetParamString(refused), 0) << c.name << " " << refused;
        char description[256];
        std::memset(description, 'x', sizeof description);
        plugin.moduleEx->GetParamDescription(description);
        size_t length = strnlen(description, sizeof description);
        EXPECT_GT(length, 0u) << c.name;
        EXPECT_LT(length, sizeof description) << c.name;
    }
}

// ---- Lossless: bit for bit ----

struct LosslessCase {
    const Format *format;
    const char *extension; // the file type, for formats with several
    Shape shape;
};

void PrintTo(const LosslessCase &c, std::ostream *out) {
    *out << c.extension << ", " << c.shape.Name() << ", " << c.shape.frames << " frames";
}

class LosslessRoundTrip : public Decoders, public ::testing::WithParamInterface<LosslessCase> {};

TEST_P(LosslessRoundTrip, SamplesComeBackBitIdentical) {
    const LosslessCase &c = GetParam();
    Format format = *c.format;
    format.extension = c.extension;
    std::string samples;
    std::string file = MakeFile(format, c.shape, &samples);
    ASSERT_NE(file, "") << "the encoder failed";
    testhost::CaptureTarget capture;
    testhost::DecodeRun run = testhost::Decode(Load(format.decoder), file, capture);
    ASSERT_EQ(run.playResult, 0) << "code " << run.errorCode;
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.endOfStream, 1);
    EXPECT_EQ(run.otherMessages, 0);
    EXPECT_EQ(run.errorCode, 0);
    EXPECT_EQ(run.writer.ignoredWrites, 0);
    EXPECT_EQ(run.writer.opens, 1);
    EXPECT_EQ(run.writer.closes, 1);
    EXPECT_EQ(capture.format.nSamplesPerSec, c.shape.rate);
    EXPECT_EQ(capture.format.nChannels, c.shape.channels);
    EXPECT_EQ(capture.format.wBitsPerSample, c.shape.bits);
    EXPECT_EQ(FirstDifference(samples, capture.pcm), "");
    int lengthMs = static_cast<int>((c.shape.frames * 1000 + c.shape.rate - 1) / c.shape.rate);
    EXPECT_EQ(run.lengthMs, lengthMs);
    EXPECT_EQ(testhost::GetFileInfo(Load(format.decoder), file).lengthMs, lengthMs);
    EXPECT_EQ(run.outputTimeMs, static_cast<int>(c.shape.frames * 1000 / c.shape.rate));
}

std::vector<LosslessCase> LosslessCases() {
    std::vector<LosslessCase> cases;
    for (uint16_t bits : {16, 24})
        for (uint16_t channels : {1, 2, 6})
            for (uint32_t rate : {44100u, 48000u, 96000u})
                cases.push_back({&kFlac, "flac", {rate, channels, bits, 3 * 4096 + 77u}});
    cases.push_back({&kFlac, "flac", {22050, 1, 8, 2 * 4096 + 1}}); // 8-bit: unsigned out
    cases.push_back({&kFlac, "flac", {44100, 2, 32, 5003}});
    cases.push_back({&kFlac, "flac", {8000, 1, 16, 3}}); // a stream of 6 bytes
    for (const char *extension : {"aiff", "aifc", "caf", "w64"}) {
        for (uint16_t bits : {8, 16, 24, 32})
            cases.push_back({&kAiff, extension, {44100, 2, bits, 5001}});
        cases.push_back({&kAiff, extension, {96000, 6, 24, 9001}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, LosslessRoundTrip, ::testing::ValuesIn(LosslessCases()),
                         [](const auto &info) {
                             const LosslessCase &c = info.param;
                             return std::string(c.extension) + "_b" + std::to_string(c.shape.bits) +
                                    "_c" + std::to_string(c.shape.channels) + "_" +
                                    std::to_string(c.shape.rate) + "_n" +
                                    std::to_string(c.shape.frames);
                         });

TEST_F(Decoders, Rf64FromFfmpegIsBitIdentical) {
    Shape shape{48000, 2, 24, 7001};
    std::string samples = MakeSamples(shape, 0.2);
    fs::path wav = folder / "source.wav";
    WriteFile(wav, MakeWav(shape, samples));
    fs::path rf64 = folder / "coded.rf64";
    ASSERT_TRUE(RunCommand("ffmpeg -nostdin -v error -y -i " + Quote(wav) +
                           " -c:a pcm_s24le -rf64 always -f wav " + Quote(rf64)));
    testhost::CaptureTarget capture;
    testhost::DecodeRun run = testhost::Decode(Load("sndfile"), rf64.string(), capture);
    ASSERT_EQ(run.playResult, 0) << "code " << run.errorCode;
    EXPECT_EQ(run.endOfStream, 1);
    EXPECT_EQ(capture.format.wBitsPerSample, 24);
    EXPECT_EQ(FirstDifference(samples, capture.pcm), "");
}

TEST_F(Decoders, FlacWithoutALengthInItsHeaderIsCounted) {
    Shape shape{44100, 2, 16, 30001};
    std::string samples = MakeSamples(shape, 0.2);
    fs::path raw = folder / "source.raw";
    WriteFile(raw, samples);
    fs::path flac = folder / "streamed.flac";
    // Written to a pipe, the encoder cannot go back to fill in the length.
    ASSERT_TRUE(RunCommand("flac -s --force-raw-format --endian=little --sign=signed --channels=2 "
                           "--bps=16 --sample-rate=44100 -c - < " +
                           Quote(raw) + " | cat > " + Quote(flac)));
    const testhost::DecoderPlugin &plugin = Load("flac");
    EXPECT_EQ(testhost::GetFileInfo(plugin, flac.string()).lengthMs, 681);
    testhost::CaptureTarget capture;
    testhost::DecodeRun run = testhost::Decode(plugin, flac.string(), capture);
    EXPECT_EQ(run.lengthMs, 681);
    EXPECT_EQ(run.errorCode, 0);
    EXPECT_EQ(FirstDifference(samples, capture.pcm), "");
}

TEST_F(Decoders, SlowOutputGetsEveryByteInPiecesItCanTake) {
    struct Case {
        const char *name;
        const Format *format;
        Shape shape;
        testhost::WriterOptions options;
    } cases[] = {
        {"FLAC 24-bit 6 ch, room for 2 frames",
         &kFlac,
         {48000, 6, 24, 3001},
         {.canWriteLimit = 40}},
        {"FLAC 8-bit mono, room for 9 bytes", &kFlac, {8000, 1, 8, 3001}, {.canWriteLimit = 9}},
        {"AIFF, no room at first", &kAiff, {44100, 2, 16, 3001}, {.canWriteRefusals = 50}},
    };
    for (const Case &c : cases) {
        std::string samples;
        std::string file = MakeFile(*c.format, c.shape, &samples);
        testhost::CaptureTarget capture;
        testhost::DecodeRun run =
            testhost::Decode(Load(c.format->decoder), file, capture, c.options);
        EXPECT_EQ(run.endOfStream, 1) << c.name;
        EXPECT_EQ(run.writer.ignoredWrites, 0) << c.name;
        EXPECT_EQ(FirstDifference(samples, capture.pcm), "") << c.name;
    }
}

// ---- Lossy: against ffmpeg's decode of the same file ----

bool HasFfmpeg() {
    return RunCommand("command -v ffmpeg && command -v ffprobe");
}

std::vector<int16_t> ToValues(const std::string &bytes) {
    std::vector<int16_t> values(bytes.size() / 2);
    std::memcpy(values.data(), bytes.data(), values.size() * 2);
    return values;
}

// Signal to difference ratio in dB of `ours` against `reference` over the frames they share.
double SnrDb(const std::vector<int16_t> &reference, const std::vector<int16_t> &ours) {
    size_t count = std::min(reference.size(), ours.size());
    double signal = 0, noise = 0;
    for (size_t i = 0; i < count; i++) {
        double r = reference[i], d = double(ours[i]) - r;
        signal += r * r;
        noise += d * d;
    }
    return noise == 0 ? 200.0 : 10 * std::log10(signal / noise);
}

struct LossyCase {
    const Format *format;
    Shape shape;        // of the source WAV
    uint32_t rate;      // of the decoded stream
    double minSnrDb;    // against ffmpeg
    size_t slackFrames; // length difference allowed: a codec frame plus the encoder's delay
};

void PrintTo(const LossyCase &c, std::ostream *out) {
    *out << c.format->extension << " from " << c.shape.Name();
}

class LossyDecode : public Decoders, public ::testing::WithParamInterface<LossyCase> {};

TEST_P(LossyDecode, MatchesAnIndependentDecode) {
    if (!HasFfmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    const LossyCase &c = GetParam();
    std::string file = MakeFile(*c.format, c.shape, nullptr, 0.02);
    ASSERT_NE(file, "") << "the encoder failed";
    fs::path raw = folder / "ffmpeg.raw";
    ASSERT_TRUE(RunCommand("ffmpeg -nostdin -v error -y -i '" + file + "' -f s16le " + Quote(raw)));
    fs::path probe = folder / "probe.txt";
    ASSERT_TRUE(RunCommand("ffprobe -v error -select_streams a:0 -show_entries "
                           "stream=sample_rate,channels -of csv=p=0 '" +
                           file + "' > " + Quote(probe)));
    std::string expectedFormat = std::to_string(c.rate) + "," + std::to_string(c.shape.channels);
    EXPECT_EQ(ReadFile(probe).substr(0, expectedFormat.size()), expectedFormat);

    testhost::CaptureTarget capture;
    testhost::DecodeRun run = testhost::Decode(Load(c.format->decoder), file, capture);
    ASSERT_EQ(run.playResult, 0) << "code " << run.errorCode;
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.endOfStream, 1);
    EXPECT_EQ(run.errorCode, 0);
    EXPECT_EQ(run.writer.ignoredWrites, 0);
    EXPECT_EQ(capture.format.nSamplesPerSec, c.rate);
    EXPECT_EQ(capture.format.nChannels, c.shape.channels);
    EXPECT_EQ(capture.format.wBitsPerSample, 16);

    std::vector<int16_t> reference = ToValues(ReadFile(raw));
    std::vector<int16_t> ours = ToValues(capture.pcm);
    size_t referenceFrames = reference.size() / c.shape.channels;
    size_t ourFrames = ours.size() / c.shape.channels;
    size_t sourceFrames = c.shape.frames * c.rate / c.shape.rate;
    EXPECT_LE(std::max(ourFrames, referenceFrames) - std::min(ourFrames, referenceFrames),
              c.slackFrames);
    EXPECT_LE(std::max(ourFrames, sourceFrames) - std::min(ourFrames, sourceFrames), c.slackFrames);
    EXPECT_GE(SnrDb(reference, ours), c.minSnrDb);
    double lengthMs = double(ourFrames) * 1000 / c.rate;
    EXPECT_NEAR(run.lengthMs, lengthMs, 1.0 + double(c.slackFrames) * 1000 / c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LossyDecode,
    ::testing::Values(LossyCase{&kMp3, {44100, 2, 16, 44100}, 44100, 90, 1152 + 576},
                      LossyCase{&kMp3, {48000, 1, 16, 30001}, 48000, 90, 1152 + 576},
                      LossyCase{&kMp3, {22050, 2, 16, 22050}, 22050, 90, 576 + 576},
                      LossyCase{&kMp2, {48000, 2, 16, 48000}, 48000, 80, 1152 + 576},
                      LossyCase{&kVorbis, {44100, 2, 16, 44100}, 44100, 90, 2048},
                      LossyCase{&kVorbis, {48000, 6, 16, 30001}, 48000, 90, 2048},
                      LossyCase{&kVorbis, {22050, 1, 16, 22050}, 22050, 90, 2048},
                      LossyCase{&kOpus, {48000, 2, 16, 48000}, 48000, 55, 960 + 312},
                      LossyCase{&kOpus, {44100, 2, 16, 44100}, 48000, 55, 960 + 312},
                      LossyCase{&kOpus, {48000, 6, 16, 30001}, 48000, 55, 960 + 312}),
    [](const auto &info) {
        const LossyCase &c = info.param;
        return std::string(c.format->extension) + "_c" + std::to_string(c.shape.channels) + "_" +
               std::to_string(c.shape.rate);
    });

// ---- Damage ----

std::string RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

TEST_F(Decoders, UnreadableFilesFailPlayWithACode) {
    for (const Format *format : kAllFormats) {
        const testhost::DecoderPlugin &plugin = Load(format->decoder);
        std::string valid = MakeFile(*format, {44100, 2, 16, 20000});
        ASSERT_NE(valid, "") << format->decoder;
        std::string header = ReadFile(valid).substr(0, 10);
        struct Case {
            const char *name;
            std::string bytes;
            int code;
        } cases[] = {
            {"empty file", "", format->notFormatCode},
            {"random bytes", RandomBytes(3000, 7), format->notFormatCode},
            {"many random bytes", RandomBytes(300000, 8), format->notFormatCode},
            {"zeros", std::string(5000, '\0'), format->notFormatCode},
            {"first 10 bytes only", header, format->notFormatCode},
        };
        for (const Case &c : cases) {
            fs::path bad = folder / (std::string("bad.") + format->extension);
            WriteFile(bad, c.bytes);
            std::string name = std::string(format->decoder) + ": " + c.name;
            testhost::FileInfo info = testhost::GetFileInfo(plugin, bad.string());
            EXPECT_EQ(info.lengthMs, 0) << name;
            EXPECT_EQ(info.errorCode, c.code) << name;
            testhost::CaptureTarget capture;
            testhost::DecodeRun run = testhost::Decode(plugin, bad.string(), capture);
            EXPECT_NE(run.playResult, 0) << name;
            EXPECT_EQ(run.errorCode, c.code) << name;
            EXPECT_EQ(run.writer.opens, 0) << name;
        }
        std::string missing = (folder / "missing.x").string();
        EXPECT_EQ(testhost::GetFileInfo(plugin, missing).errorCode, KN_ERR_DECODER_OPEN);
        testhost::CaptureTarget capture;
        EXPECT_EQ(testhost::Decode(plugin, missing, capture).errorCode, KN_ERR_DECODER_OPEN);
    }
}

// Cut files keep the part before the cut; scribbled ones have 64 bytes in the middle changed.
TEST_F(Decoders, DamagedStreamsDecodeWhatTheyHoldAndEnd) {
    constexpr double kScribbled = 1.0;
    struct Case {
        const Format *format;
        double kept; // the part of the file left by the cut, or kScribbled
        int code;    // GetLastErrorCode at the end, or after Play failed
        bool plays;
    } cases[] = {
        {&kFlac, 0.5, KN_ERR_DECODER_TRUNCATED, true}, // short of STREAMINFO's total
        {&kFlac, kScribbled, KN_ERR_DECODER_DAMAGED, true},
        {&kMp3, 0.5, KN_ERR_DECODER_TRUNCATED, true}, // shorter than its LAME header says
        // The frames lost to the damage leave the stream short of its header too.
        {&kMp3, kScribbled, KN_ERR_DECODER_TRUNCATED, true},
        {&kVorbis, 0.5, KN_ERR_DECODER_TRUNCATED, true}, // no end-of-stream page
        {&kVorbis, kScribbled, KN_ERR_DECODER_DAMAGED, true},
        {&kOpus, 0.5, KN_ERR_DECODER_TRUNCATED, true},
        {&kOpus, kScribbled, KN_ERR_DECODER_DAMAGED, true},
        {&kOpus, 0.05, KN_ERR_DECODER_TRUNCATED, false}, // headers, but no whole page of audio
        {&kAiff, 0.5, KN_ERR_DECODER_TRUNCATED, true},   // short of the COMM chunk's frames
    };
    Shape shape{44100, 2, 16, 4 * 44100};
    for (const Case &c : cases) {
        std::string name =
            std::string(c.format->decoder) +
            (c.kept == kScribbled ? " scribbled" : " cut to " + std::to_string(c.kept));
        std::string file = MakeFile(*c.format, shape);
        ASSERT_NE(file, "") << name;
        std::string bytes = ReadFile(file);
        if (c.kept == kScribbled) {
            for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; i++)
                bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
        } else {
            bytes.resize(static_cast<size_t>(double(bytes.size()) * c.kept));
        }
        WriteFile(file, bytes);
        testhost::CaptureTarget capture;
        testhost::DecodeRun run = testhost::Decode(Load(c.format->decoder), file, capture);
        EXPECT_EQ(run.errorCode, c.code) << name;
        if (!c.plays) {
            EXPECT_NE(run.playResult, 0) << name;
            EXPECT_EQ(testhost::GetFileInfo(Load(c.format->decoder), file).lengthMs, 0) << name;
            continue;
        }
        ASSERT_EQ(run.playResult, 0) << name << ": code " << run.errorCode;
        EXPECT_TRUE(run.finished) << name;
        EXPECT_EQ(run.endOfStream, 1) << name;
        EXPECT_EQ(run.writer.closes, 1) << name;
        size_t frames = capture.pcm.size() / shape.FrameBytes();
        EXPECT_GT(frames, shape.frames / 8) << name;
        if (c.kept != kScribbled) {
            EXPECT_LT(frames, shape.frames * 3 / 4) << name;
        }
    }
}

TEST_F(Decoders, StopEndsADecodeThatWaitsForTheOutput) {
    for (const Format *format : kAllFormats) {
        Shape shape{48000, 2, 16, 3 * 48000};
        std::string file = MakeFile(*format, shape);
        ASSERT_NE(file, "") << format->decoder;
        const testhost::DecoderPlugin &plugin = Load(format->decoder);
        testhost::CaptureTarget capture;
        constexpr size_t kStallBytes = 65536;
        testhost::HostSession session(plugin, capture, {.stallAfterBytes = kStallBytes});
        ASSERT_EQ(session.Play(file), 0) << format->decoder;
        ASSERT_TRUE(session.WaitForStall(kLimit)) << format->decoder;
        ASSERT_TRUE(session.Stop(kLimit)) << format->decoder;
        EXPECT_EQ(session.EndOfStreamPosts(), 0) << format->decoder;
        EXPECT_EQ(session.Writer().closes, 1) << format->decoder;
        EXPECT_GE(session.Writer().bytesTaken, kStallBytes) << format->decoder;
        EXPECT_LT(session.Writer().bytesTaken, shape.frames * shape.FrameBytes() / 2)
            << format->decoder;
        int outputMs = plugin.module->GetOutputTime();
        EXPECT_EQ(outputMs,
                  static_cast<int>(session.Writer().bytesTaken / shape.FrameBytes() * 1000 / 48000))
            << format->decoder;
    }
}

} // namespace
