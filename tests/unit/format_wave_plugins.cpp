// The WAV decoder and encoder plug-ins, loaded from the build and driven the way the core drives
// them: the decoder plays into the stand-in of the core's writer (plugin_host.h), which hands
// the PCM to the encoder in blocks of its block size, and posts its end of stream to a stand-in
// of the hidden window.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kernova/decoder.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "tests/unit/plugin_host.h"

namespace fs = std::filesystem;

namespace {

// ---- The plug-ins ----

struct Plugins {
    In_Module *decoder = nullptr;
    InputModuleEx *decoderEx = nullptr;
    EncoderTable *encoder = nullptr;
};

// Loaded once for the whole run, as the core keeps a loaded module for a job.
const Plugins &Loaded() {
    static Plugins plugins = [] {
        Plugins loaded;
        const testhost::DecoderPlugin &decoder = testhost::LoadDecoder("wave");
        loaded.decoder = decoder.module;
        loaded.decoderEx = decoder.moduleEx;
        platform::LibraryHandle out =
            platform::LoadLibrary(testhost::BuiltLibrary("plugins/out/wave").c_str());
        auto encoder = reinterpret_cast<RegisterCompressModuleFunc>(
            out ? platform::GetExport(out, "RegisterCompressModule") : nullptr);
        loaded.encoder = encoder ? encoder() : nullptr;
        return loaded;
    }();
    return plugins;
}

// ---- Bytes and samples ----

class Bytes {
  public:
    Bytes &Tag(const char *tag) {
        data.append(tag, 4);
        return *this;
    }
    Bytes &U16(uint32_t v) { return Le(v, 2); }
    Bytes &U32(uint64_t v) { return Le(v, 4); }
    Bytes &U64(uint64_t v) { return Le(v, 8); }
    Bytes &Raw(const std::string &bytes) {
        data += bytes;
        return *this;
    }
    std::string data;

  private:
    Bytes &Le(uint64_t v, int count) {
        for (int i = 0; i < count; i++)
            data.push_back(static_cast<char>(v >> (8 * i)));
        return *this;
    }
};

struct WavShape {
    uint32_t rate = 44100;
    uint16_t channels = 2;
    uint16_t bits = 16;
    size_t frames = 1000;

    size_t FrameBytes() const { return channels * bits / 8u; }
};

int64_t LargestValue(uint16_t bits) {
    return (int64_t(1) << (bits - 1)) - 1;
}

// Sines of a different pitch per channel plus noise, with both extremes at the start.
std::vector<int64_t> MakeValues(const WavShape &shape, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-0.25, 0.25);
    std::vector<int64_t> values(shape.frames * shape.channels);
    int64_t largest = LargestValue(shape.bits);
    for (size_t frame = 0; frame < shape.frames; frame++) {
        for (size_t channel = 0; channel < shape.channels; channel++) {
            double pitch = 220.0 + 110.0 * channel;
            double x = 0.7 * std::sin(2 * M_PI * pitch * frame / shape.rate) + noise(random);
            values[frame * shape.channels + channel] =
                std::llround(std::clamp(x, -1.0, 1.0) * largest);
        }
    }
    if (values.size() >= 2) {
        values[0] = largest;
        values[1] = -largest - 1;
    }
    return values;
}

std::string EncodeValues(const std::vector<int64_t> &values, uint16_t bits) {
    std::string bytes;
    for (int64_t v : values) {
        if (bits == 8) {
            bytes.push_back(static_cast<char>(v + 128));
            continue;
        }
        for (int i = 0; i < bits / 8; i++)
            bytes.push_back(static_cast<char>(static_cast<uint64_t>(v) >> (8 * i)));
    }
    return bytes;
}

std::string MakeSamples(const WavShape &shape, uint32_t seed = 1) {
    return EncodeValues(MakeValues(shape, seed), shape.bits);
}

// ---- WAV files made by the test ----

const std::string kPcmGuidTail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);

struct Layout {
    uint16_t tag = 0; // 0: plain PCM up to 2 channels and 16 bits, WAVE_FORMAT_EXTENSIBLE above
    uint16_t subFormat = 1;
    uint16_t fmtBits = 0; // 0: the samples' depth
    int fmtChannels = -1; // -1: the samples' channels
    int blockAlignDelta = 0;
    uint32_t fmtSize = 0; // 0: 16 plain, 40 extensible
    bool junk = false;    // an odd-sized chunk before "fmt " and another before "data"
    bool dataFirst = false;
    bool openSizes = false; // RIFF and data sizes 0xFFFFFFFF
    bool rf64 = false;      // RF64 with a ds64 chunk and a chunk after the data
    size_t cutBytes = 0;    // bytes cut from the end of the file
};

std::string FormatChunk(const WavShape &shape, const Layout &layout) {
    bool extensible =
        layout.tag == 0xFFFE || (layout.tag == 0 && (shape.channels > 2 || shape.bits > 16));
    uint16_t tag = extensible ? 0xFFFE : (layout.tag ? layout.tag : 1);
    uint16_t bits = layout.fmtBits ? layout.fmtBits : shape.bits;
    auto channels =
        static_cast<uint16_t>(layout.fmtChannels >= 0 ? layout.fmtChannels : shape.channels);
    uint32_t blockAlign = static_cast<uint32_t>(channels * (bits / 8) + layout.blockAlignDelta);
    Bytes body;
    body.U16(tag)
        .U16(channels)
        .U32(shape.rate)
        .U32(blockAlign * shape.rate)
        .U16(blockAlign)
        .U16(bits);
    if (extensible)
        body.U16(22).U16(bits).U32(0).U16(layout.subFormat).Raw(kPcmGuidTail);
    else if (layout.fmtSize > 16)
        body.U16(0);
    uint32_t size = layout.fmtSize ? layout.fmtSize : static_cast<uint32_t>(body.data.size());
    body.data.resize(size);
    return Bytes().Tag("fmt ").U32(size).Raw(body.data).data;
}

std::string MakeWav(const WavShape &shape, const std::string &samples, const Layout &layout = {}) {
    std::string format = FormatChunk(shape, layout);
    std::string junk = layout.junk ? Bytes().Tag("LIST").U32(5).Raw(std::string("INFOx\0", 6)).data
                                   : std::string();
    std::string pad = samples.size() % 2 ? std::string(1, '\0') : std::string();
    uint32_t dataSize =
        layout.openSizes || layout.rf64 ? 0xFFFFFFFF : static_cast<uint32_t>(samples.size());
    std::string data = Bytes().Tag("data").U32(dataSize).Raw(samples).Raw(pad).data;
    std::string trailer = layout.rf64 ? Bytes().Tag("LIST").U32(4).Tag("INFO").data : "";
    std::string ds64;
    if (layout.rf64)
        ds64 = Bytes().Tag("ds64").U32(28).U64(0).U64(samples.size()).U64(shape.frames).U32(0).data;
    std::string chunks =
        layout.dataFirst ? ds64 + data + format : ds64 + junk + format + junk + data + trailer;
    uint32_t riffSize =
        layout.openSizes || layout.rf64 ? 0xFFFFFFFF : static_cast<uint32_t>(chunks.size() + 4);
    std::string file =
        Bytes().Tag(layout.rf64 ? "RF64" : "RIFF").U32(riffSize).Tag("WAVE").Raw(chunks).data;
    file.resize(file.size() - std::min(layout.cutBytes, file.size()));
    return file;
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

uint32_t Le(const std::string &bytes, size_t at, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; i++)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return v;
}

// A written file, checked strictly: RIFF size, "fmt " then "data" as the last chunk.
struct ParsedWav {
    std::string problem; // empty when well-formed
    uint16_t tag = 0, channels = 0, bits = 0, validBits = 0;
    uint32_t rate = 0, mask = 0, fmtSize = 0;
    std::string data;
};

ParsedWav Problem(const char *text) {
    ParsedWav wav;
    wav.problem = text;
    return wav;
}

ParsedWav ParseWav(const fs::path &path) {
    ParsedWav wav;
    std::string bytes = ReadFile(path);
    if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return Problem("no RIFF/WAVE header");
    if (Le(bytes, 4, 4) != bytes.size() - 8)
        return Problem("RIFF size is not the file size - 8");
    if (bytes.compare(12, 4, "fmt ") != 0)
        return Problem("first chunk is not fmt");
    wav.fmtSize = Le(bytes, 16, 4);
    wav.tag = static_cast<uint16_t>(Le(bytes, 20, 2));
    wav.channels = static_cast<uint16_t>(Le(bytes, 22, 2));
    wav.rate = Le(bytes, 24, 4);
    wav.bits = static_cast<uint16_t>(Le(bytes, 34, 2));
    uint32_t blockAlign = Le(bytes, 32, 2);
    if (blockAlign != wav.channels * wav.bits / 8u || Le(bytes, 28, 4) != blockAlign * wav.rate)
        return Problem("inconsistent block align or byte rate");
    if (wav.tag == 0xFFFE) {
        if (wav.fmtSize != 40 || Le(bytes, 36, 2) != 22 || Le(bytes, 44, 2) != 1 ||
            bytes.compare(46, 14, kPcmGuidTail) != 0)
            return Problem("bad WAVE_FORMAT_EXTENSIBLE fields");
        wav.validBits = static_cast<uint16_t>(Le(bytes, 38, 2));
        wav.mask = Le(bytes, 40, 4);
    } else if (wav.tag != 1 || wav.fmtSize != 16) {
        return Problem("bad PCM fmt chunk");
    }
    size_t data = 20 + wav.fmtSize;
    if (bytes.compare(data, 4, "data") != 0)
        return Problem("second chunk is not data");
    uint32_t dataSize = Le(bytes, data + 4, 4);
    if (data + 8 + dataSize + dataSize % 2 != bytes.size())
        return Problem("data size does not reach the end of the file");
    wav.data = bytes.substr(data + 8, dataSize);
    return wav;
}

// Where two sample byte strings part, for a readable failure.
std::string FirstDifference(const std::string &expected, const std::string &actual) {
    if (expected == actual)
        return "";
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        at++;
    return "sizes " + std::to_string(expected.size()) + "/" + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(at);
}

// ---- The encoder behind the core's writer ----

// Opens the encoder with the decoder's format, as the core's writer does.
class EncoderTarget : public testhost::PcmTarget {
  public:
    EncoderTarget(EncoderTable *table, const std::string &output, void *parameters)
        : encoder(table), outputName(output), params(parameters) {}

    int Open(const WAVEFORMATEX &format) override {
        WAVEFORMATEX offered = format;
        int wantStandard = 0;
        return encoder->Open(outputName.c_str(), params, &offered, &wantStandard);
    }
    size_t BlockSize() const override { return static_cast<size_t>(encoder->GetBlockSize()); }
    int Encode(const char *block) override { return encoder->Encode(block); }
    void EncodeLast(const char *data, size_t bytes) override {
        encoder->EncodeLast(data, static_cast<int>(bytes));
    }
    void Close() override { encoder->Close(); }

  private:
    EncoderTable *encoder;
    std::string outputName;
    void *params;
};

void *MakeParams(const char *text) {
    EncoderTable *encoder = Loaded().encoder;
    void *params = nullptr;
    int showParams = 0;
    if (text == nullptr)
        encoder->GetDefaultParams(&params);
    else
        EXPECT_EQ(encoder->StringToParams(text, &params, &showParams), 1) << text;
    return params;
}

// Converts `input` into `output` with the encoder parameters (null: the defaults).
testhost::DecodeRun Transcode(const fs::path &input, const fs::path &output,
                              const char *params = nullptr,
                              const testhost::WriterOptions &options = {}) {
    void *encoderParams = MakeParams(params);
    EncoderTarget target(Loaded().encoder, output.string(), encoderParams);
    testhost::DecodeRun run =
        testhost::Decode(testhost::LoadDecoder("wave"), input.string(), target, options);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.otherMessages, 0);
    Loaded().encoder->FreeParams(&encoderParams);
    return run;
}

class WavePlugins : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Loaded().decoder, nullptr) << platform::LastLibraryError();
        ASSERT_NE(Loaded().decoderEx, nullptr);
        ASSERT_NE(Loaded().encoder, nullptr) << platform::LastLibraryError();
        std::random_device seed;
        folder = fs::temp_directory_path() / ("kn_wave_" + std::to_string(seed()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path Write(const std::string &name, const std::string &bytes) {
        fs::path path = folder / name;
        WriteFile(path, bytes);
        return path;
    }

    fs::path folder;
};

// ---- Round trips ----

struct RoundTripCase {
    uint16_t bits;
    uint16_t channels;
    uint32_t rate;
};

class WaveRoundTrip : public WavePlugins, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(WaveRoundTrip, SamplesComeBackBitIdentical) {
    const RoundTripCase &c = GetParam();
    WavShape shape{c.rate, c.channels, c.bits, size_t{3 * 4096 + 7} + c.bits + c.channels};
    std::string samples = MakeSamples(shape, c.bits * 100 + c.channels);
    fs::path input = Write("in.wav", MakeWav(shape, samples));
    testhost::DecodeRun run = Transcode(input, folder / "out.wav");
    ASSERT_EQ(run.playResult, 0);
    EXPECT_EQ(run.endOfStream, 1);
    EXPECT_EQ(run.writer.ignoredWrites, 0);
    ParsedWav out = ParseWav(folder / "out.wav");
    ASSERT_EQ(out.problem, "");
    EXPECT_EQ(out.rate, c.rate);
    EXPECT_EQ(out.channels, c.channels);
    EXPECT_EQ(out.bits, c.bits);
    bool extensible = c.channels > 2 || c.bits > 16;
    EXPECT_EQ(out.tag, extensible ? 0xFFFE : 1);
    if (extensible) {
        EXPECT_EQ(out.validBits, c.bits);
        EXPECT_EQ(out.mask, c.channels == 6 ? 0x3Fu : c.channels == 2 ? 0x3u : 0x4u);
    }
    EXPECT_EQ(FirstDifference(samples, out.data), "");
    int expectedMs = static_cast<int>((shape.frames * 1000 + c.rate - 1) / c.rate);
    EXPECT_EQ(run.lengthMs, expectedMs);
    EXPECT_EQ(run.outputTimeMs, static_cast<int>(shape.frames * 1000 / c.rate));
}

std::vector<RoundTripCase> AllRoundTrips() {
    std::vector<RoundTripCase> cases;
    for (uint16_t bits : {8, 16, 24, 32})
        for (uint16_t channels : {1, 2, 6})
            for (uint32_t rate : {44100u, 96000u})
                cases.push_back({bits, channels, rate});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllFormats, WaveRoundTrip, ::testing::ValuesIn(AllRoundTrips()),
                         [](const auto &info) {
                             return "b" + std::to_string(info.param.bits) + "_c" +
                                    std::to_string(info.param.channels) + "_" +
                                    std::to_string(info.param.rate);
                         });

TEST_F(WavePlugins, InputLayoutsDecodeWhatTheFileHolds) {
    struct Case {
        const char *name;
        WavShape shape;
        Layout layout;
        size_t expectedFrames;
    } cases[] = {
        {"extensible 16-bit stereo", {44100, 2, 16, 5000}, {.tag = 0xFFFE}, 5000},
        {"plain PCM tag for 24-bit 6 channels", {48000, 6, 24, 5000}, {.tag = 1}, 5000},
        {"odd-sized unknown chunks", {22050, 1, 8, 4001}, {.junk = true}, 4001},
        {"18-byte fmt chunk", {32000, 2, 16, 3000}, {.fmtSize = 18}, 3000},
        {"cut in the middle of a frame", {44100, 2, 24, 6000}, {.cutBytes = 1001}, 6000 - 167},
        {"open sizes of a streamed file", {44100, 2, 16, 4500}, {.openSizes = true}, 4500},
        {"RF64 with a chunk after the data", {96000, 2, 32, 4000}, {.rf64 = true}, 4000},
        {"one frame past whole blocks", {44100, 2, 16, 2 * 4096 + 1}, {}, 2 * 4096 + 1},
        {"five bytes of 8-bit mono", {8000, 1, 8, 5}, {}, 5},
    };
    for (const Case &c : cases) {
        std::string samples = MakeSamples(c.shape);
        fs::path input = Write("in.wav", MakeWav(c.shape, samples, c.layout));
        testhost::DecodeRun run = Transcode(input, folder / "out.wav");
        ASSERT_EQ(run.playResult, 0) << c.name;
        EXPECT_EQ(run.endOfStream, 1) << c.name;
        EXPECT_EQ(run.writer.ignoredWrites, 0) << c.name;
        ParsedWav out = ParseWav(folder / "out.wav");
        ASSERT_EQ(out.problem, "") << c.name;
        std::string expected = samples.substr(0, c.expectedFrames * c.shape.FrameBytes());
        EXPECT_EQ(FirstDifference(expected, out.data), "") << c.name;
    }
}

TEST_F(WavePlugins, DecoderWaitsForAnOutputThatTakesLittleAtATime) {
    struct Case {
        const char *name;
        int limit;
        int refusals;
    } cases[] = {{"room for 3 frames", 12, 0}, {"no room at first", -1, 40}};
    WavShape shape{44100, 2, 16, 3001};
    std::string samples = MakeSamples(shape);
    fs::path input = Write("in.wav", MakeWav(shape, samples));
    for (const Case &c : cases) {
        testhost::DecodeRun run =
            Transcode(input, folder / "out.wav", nullptr,
                      {.canWriteLimit = c.limit, .canWriteRefusals = c.refusals});
        EXPECT_EQ(run.endOfStream, 1) << c.name;
        EXPECT_EQ(run.writer.ignoredWrites, 0) << c.name;
        EXPECT_EQ(FirstDifference(samples, ParseWav(folder / "out.wav").data), "") << c.name;
    }
}

TEST_F(WavePlugins, StopEndsADecodeThatCannotWrite) {
    WavShape shape{44100, 2, 16, 441000};
    fs::path input = Write("in.wav", MakeWav(shape, MakeSamples(shape)));
    const testhost::DecoderPlugin &decoder = testhost::LoadDecoder("wave");
    void *params = MakeParams(nullptr);
    EncoderTarget target(Loaded().encoder, (folder / "out.wav").string(), params);
    {
        testhost::HostSession session(decoder, target, {.stallAfterBytes = 0});
        ASSERT_EQ(session.Play(input.string()), 0);
        EXPECT_EQ(decoder.module->GetLength(), 10000);
        ASSERT_TRUE(session.WaitForStall(std::chrono::seconds(60)));
        ASSERT_TRUE(session.Stop(std::chrono::seconds(60)));
        EXPECT_EQ(session.EndOfStreamPosts(), 0);
        EXPECT_EQ(session.Writer().opens, 1);
        EXPECT_EQ(session.Writer().closes, 1);
        EXPECT_EQ(session.Writer().bytesTaken, 0u);
    }
    Loaded().encoder->FreeParams(&params);
    EXPECT_EQ(decoder.module->GetOutputTime(), 0);
    ParsedWav out = ParseWav(folder / "out.wav");
    EXPECT_EQ(out.problem, "");
    EXPECT_TRUE(out.data.empty());
}

// ---- Refusals ----

TEST_F(WavePlugins, DecoderRefusesWhatItCannotRead) {
    WavShape cd{44100, 2, 16, 100};
    std::string samples = MakeSamples(cd);
    std::string garbage(3000, '\0');
    std::mt19937 random(7);
    for (char &byte : garbage)
        byte = static_cast<char>(random());
    struct Case {
        const char *name;
        std::string bytes;
        int code;
    } cases[] = {
        {"garbage", garbage, KN_ERR_WAVE_DAMAGED},
        {"empty file", "", KN_ERR_WAVE_DAMAGED},
        {"RIFF header only", MakeWav(cd, samples).substr(0, 12), KN_ERR_WAVE_DAMAGED},
        {"header cut inside fmt", MakeWav(cd, samples).substr(0, 30), KN_ERR_WAVE_DAMAGED},
        {"fmt chunk of 14 bytes", MakeWav(cd, samples, {.fmtSize = 14}), KN_ERR_WAVE_DAMAGED},
        {"data before fmt", MakeWav(cd, samples, {.dataFirst = true}), KN_ERR_WAVE_DAMAGED},
        {"wrong block align", MakeWav(cd, samples, {.blockAlignDelta = 1}), KN_ERR_WAVE_DAMAGED},
        {"no channels", MakeWav(cd, samples, {.fmtChannels = 0}), KN_ERR_WAVE_DAMAGED},
        {"float", MakeWav(cd, samples, {.tag = 3, .fmtBits = 32}), KN_ERR_WAVE_ENCODING},
        {"extensible float", MakeWav(cd, samples, {.tag = 0xFFFE, .subFormat = 3}),
         KN_ERR_WAVE_ENCODING},
        {"ADPCM", MakeWav(cd, samples, {.tag = 2}), KN_ERR_WAVE_ENCODING},
        {"A-law", MakeWav(cd, samples, {.tag = 6, .fmtBits = 8}), KN_ERR_WAVE_ENCODING},
        {"12-bit PCM", MakeWav(cd, samples, {.fmtBits = 12, .blockAlignDelta = 0}),
         KN_ERR_WAVE_ENCODING},
        {"9 channels", MakeWav(cd, samples, {.fmtChannels = 9}), KN_ERR_WAVE_ENCODING},
    };
    const Plugins &plugins = Loaded();
    for (const Case &c : cases) {
        fs::path input = Write("bad.wav", c.bytes);
        testhost::DecodeRun run = Transcode(input, folder / "out.wav");
        EXPECT_NE(run.playResult, 0) << c.name;
        EXPECT_EQ(run.errorCode, c.code) << c.name;
        EXPECT_EQ(run.writer.opens, 0) << c.name;
        int length = 0;
        plugins.decoder->GetFileInfo(input.string().c_str(), nullptr, &length);
        EXPECT_EQ(length, 0) << c.name;
        EXPECT_EQ(plugins.decoder->IsPaused(), c.code) << c.name;
    }
    EXPECT_NE(plugins.decoder->Play((folder / "missing.wav").string().c_str()), 0);
    EXPECT_EQ(plugins.decoder->IsPaused(), KN_ERR_DECODER_OPEN);
    fs::path good = Write("good.wav", MakeWav(cd, samples));
    EXPECT_EQ(Transcode(good, folder / "out.wav").errorCode, 0);
}

TEST_F(WavePlugins, FileInfoReadsTheLengthFromTheHeader) {
    struct Case {
        const char *name;
        WavShape shape;
        int lengthMs;
        int code;
    } cases[] = {
        {"one second", {44100, 2, 16, 44100}, 1000, 0},
        {"a single frame lasts 1 ms", {44100, 2, 16, 1}, 1, 0},
        {"no data", {44100, 2, 16, 0}, 0, 0},
        {"rounded up", {96000, 6, 24, 3 * 96000 + 1}, 3001, 0},
    };
    const Plugins &plugins = Loaded();
    for (const Case &c : cases) {
        fs::path input = Write("My Song.wav", MakeWav(c.shape, MakeSamples(c.shape)));
        char title[500] = "unchanged";
        int length = 0;
        plugins.decoder->GetFileInfo(input.string().c_str(), title, &length);
        EXPECT_EQ(length, c.lengthMs) << c.name;
        EXPECT_STREQ(title, "My Song") << c.name;
        EXPECT_EQ(plugins.decoder->IsPaused(), c.code) << c.name;
    }
}

TEST_F(WavePlugins, DecoderTablesAnswerAsTheCoreExpects) {
    const Plugins &plugins = Loaded();
    In_Module *decoder = plugins.decoder;
    EXPECT_EQ(decoder->version, 0x1000);
    EXPECT_EQ(decoder->UsesOutputPlug, 1);
    EXPECT_EQ(std::string(decoder->description).substr(0, 7), "wave - ");
    EXPECT_EQ(std::string(decoder->FileExtensions, 16), std::string("WAV\0Wave files\0\0", 16));
    struct Case {
        const char *text;
        int accepted;
    } cases[] = {{"", 1}, {"   \t", 1}, {"x", 0}, {"m:ds a:150", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(plugins.decoderEx->SetParamString(c.text), c.accepted) << c.text;
    char description[256];
    std::memset(description, 'x', sizeof description);
    plugins.decoderEx->GetParamDescription(description);
    size_t length = strnlen(description, sizeof description);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, sizeof description);
}

// ---- The encoder ----

std::string ParamsText(void *params) {
    char text[ENCODER_PARAM_BUFFER_SIZE] = {};
    char *buffer = text;
    Loaded().encoder->ParamsToString(params, &buffer);
    return text;
}

TEST_F(WavePlugins, EncoderParametersParseAndPrintCanonically) {
    struct Case {
        const char *text;
        int accepted;
        const char *canonical;
    } cases[] = {
        {"", 1, ""},
        {"b:16", 1, "b:16"},
        {"  B:24\tc:2  ", 1, "b:24 c:2"},
        {"f:48000 b:8", 1, "b:8 f:48000"},
        {"c:1 f:1000", 1, "c:1 f:1000"},
        {"f:768000", 1, "f:768000"},
        {"b:12", 0, nullptr},
        {"b:016x", 0, nullptr},
        {"c:6 b:24", 1, "b:24 c:6"},
        {"c:9", 0, nullptr},
        {"c:0", 0, nullptr},
        {"f:999", 0, nullptr},
        {"f:768001", 0, nullptr},
        {"f:-44100", 0, nullptr},
        {"x:1", 0, nullptr},
        {"b:16 b:24", 0, nullptr},
        {"b16", 0, nullptr},
        {"b:", 0, nullptr},
        {"b:99999999999", 0, nullptr},
        {"hello", 0, nullptr},
    };
    EncoderTable *encoder = Loaded().encoder;
    for (const Case &c : cases) {
        void *params = nullptr;
        int show = 0;
        EXPECT_EQ(encoder->StringToParams(c.text, &params, &show), c.accepted) << c.text;
        if (c.accepted) {
            EXPECT_EQ(ParamsText(params), c.canonical) << c.text;
        } else {
            EXPECT_EQ(params, nullptr) << c.text;
        }
        encoder->FreeParams(&params);
        EXPECT_EQ(params, nullptr);
    }
}

TEST_F(WavePlugins, RefusedTextKeepsThePreviousParameters) {
    EncoderTable *encoder = Loaded().encoder;
    void *params = nullptr;
    int show = 0;
    ASSERT_EQ(encoder->StringToParams("b:24", &params, &show), 1);
    EXPECT_EQ(encoder->StringToParams("b:24 q:1", &params, &show), 0);
    EXPECT_EQ(ParamsText(params), "b:24");
    EXPECT_EQ(encoder->StringToParams(nullptr, &params, &show), 0);
    encoder->FreeParams(&params);
    encoder->GetDefaultParams(&params);
    EXPECT_EQ(ParamsText(params), "");
    encoder->FreeParams(&params);
}

TEST_F(WavePlugins, EncoderDescribesItself) {
    EncoderTable *encoder = Loaded().encoder;
    EXPECT_GE(encoder->version, 16);
    EXPECT_STREQ(encoder->description, "wave - PCM WAV writer");
    EXPECT_STREQ(encoder->extension, "wav");
    EXPECT_STREQ(encoder->extensionDescription, "Wave files");
    EXPECT_NE(encoder->pPriority, nullptr);
    EXPECT_EQ(encoder->NeedsMorePasses(), 0);
    std::string help = encoder->GetHelpText();
    for (const char *key : {"b:<bits>", "c:<1..8>", "f:<rate>"})
        EXPECT_NE(help.find(key), std::string::npos) << key;
    struct Case {
        const char *text;
        const char *shortDesc;
    } cases[] = {{"", "PCM WAV, as the input"},
                 {"b:24 c:2 f:48000", "PCM WAV, 24 bit, stereo, 48000 Hz"},
                 {"c:1", "PCM WAV, mono"}};
    for (const Case &c : cases) {
        void *params = nullptr;
        int show = 0;
        encoder->StringToParams(c.text, &params, &show);
        char text[256] = {};
        char *buffer = text;
        encoder->GetShortDesc(params, &buffer);
        EXPECT_STREQ(text, c.shortDesc) << c.text;
        encoder->FreeParams(&params);
    }
}

TEST_F(WavePlugins, EncoderOffersThreeTestSets) {
    EncoderTable *encoder = Loaded().encoder;
    const char *expected[][2] = {{"b:16", "test16.wav"}, {"b:24", "test24"}, {"b:8", "test8.wav"}};
    for (int index = 0; index < 3; index++) {
        const char **pair = nullptr;
        ASSERT_EQ(encoder->GetTestParams(&pair, index), 1) << index;
        EXPECT_STREQ(pair[0], expected[index][0]);
        EXPECT_STREQ(pair[1], expected[index][1]);
        void *params = nullptr;
        int show = 0;
        EXPECT_EQ(encoder->StringToParams(pair[0], &params, &show), 1) << pair[0];
        encoder->FreeParams(&params);
    }
    const char **pair = nullptr;
    EXPECT_EQ(encoder->GetTestParams(&pair, 3), 0);
    EXPECT_EQ(encoder->GetTestParams(&pair, -1), 0);
}

// A wider depth, a mono copy and samples that already fit are exact; a narrower depth is
// dithered: within one and a half LSB of the exact value and without the half-LSB bias of
// dropping the low bits.
TEST_F(WavePlugins, EncoderChangesDepthAndCopiesMonoToStereo) {
    struct Case {
        const char *params;
        WavShape input;
        uint16_t bits;
        uint16_t channels;
        bool fits; // the input's values are made at the output's depth
    } cases[] = {
        {"b:24", {44100, 2, 16, 5001}, 24, 2, false},
        {"b:8", {44100, 2, 16, 5001}, 8, 2, false},
        {"b:32", {22050, 1, 8, 5001}, 32, 1, false},
        {"b:16", {48000, 6, 32, 5001}, 16, 6, false},
        {"b:16", {48000, 2, 24, 5001}, 16, 2, false},
        {"b:16", {48000, 2, 24, 5001}, 16, 2, true},
        {"c:2", {44100, 1, 16, 5001}, 16, 2, false},
        {"b:24 c:2", {8000, 1, 8, 5001}, 24, 2, false},
        {"c:1", {44100, 1, 24, 5001}, 24, 1, false},
        {"c:2 f:44100", {44100, 2, 16, 5001}, 16, 2, false},
        {"b:8 c:2", {44100, 1, 32, 5001}, 8, 2, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.params) + (c.fits ? ", fits" : ""));
        int shift = c.bits - c.input.bits;
        WavShape made = c.input;
        if (c.fits)
            made.bits = c.bits;
        std::vector<int64_t> values = MakeValues(made, 3);
        if (c.fits) {
            for (int64_t &v : values)
                v *= int64_t(1) << -shift;
        }
        fs::path input = Write("in.wav", MakeWav(c.input, EncodeValues(values, c.input.bits)));
        testhost::DecodeRun run = Transcode(input, folder / "out.wav", c.params);
        ASSERT_EQ(run.endOfStream, 1);
        ParsedWav out = ParseWav(folder / "out.wav");
        ASSERT_EQ(out.problem, "");
        EXPECT_EQ(out.bits, c.bits);
        EXPECT_EQ(out.channels, c.channels);
        size_t bytes = c.bits / 8u;
        ASSERT_EQ(out.data.size(), c.input.frames * c.channels * bytes);
        double worst = 0, bias = 0;
        size_t count = c.input.frames * c.channels;
        for (size_t i = 0; i < count; i++) {
            size_t frame = i / c.channels, channel = i % c.channels;
            int64_t source =
                values[frame * c.input.channels + std::min<size_t>(channel, c.input.channels - 1u)];
            int64_t got = 0;
            for (size_t b = 0; b < bytes; b++)
                got |= int64_t(static_cast<uint8_t>(out.data[i * bytes + b])) << (8 * b);
            got = c.bits == 8 ? got - 128
                              : (got ^ (int64_t(1) << (c.bits - 1))) - (int64_t(1) << (c.bits - 1));
            double error =
                static_cast<double>(got) - static_cast<double>(source) * std::ldexp(1.0, shift);
            worst = std::max(worst, std::abs(error));
            bias += error / static_cast<double>(count);
        }
        if (shift >= 0 || c.fits) {
            EXPECT_EQ(worst, 0);
        } else {
            EXPECT_LE(worst, 1.5);
            EXPECT_LT(std::abs(bias), 0.05);
        }
    }
}

TEST_F(WavePlugins, EncoderRefusesChannelChangesItCannotMake) {
    struct Case {
        const char *params;
        WavShape input;
    } cases[] = {
        {"c:6", {44100, 2, 16, 100}},
        {"c:3", {44100, 2, 16, 100}},
        {"c:6", {48000, 8, 16, 100}},
    };
    for (const Case &c : cases) {
        fs::path input = Write("in.wav", MakeWav(c.input, MakeSamples(c.input)));
        fs::path output = folder / "refused.wav";
        testhost::DecodeRun run = Transcode(input, output, c.params);
        EXPECT_EQ(run.writer.openResult, KN_ERR_WAVE_FORMAT_CHANGE) << c.params;
        EXPECT_EQ(run.endOfStream, 0) << c.params;
        EXPECT_FALSE(fs::exists(output)) << c.params;
    }
}

// The core's -FIXFREQ answer, as a test double.
struct FixFreqCall {
    int calls = 0;
    int sourceRate = 0;
    int wantedRate = 0;
    bool keepSource = false;
    void *params = nullptr;
} fixFreq;

void RecordFixFreq(int sourceRate, int wantedRate) {
    fixFreq.calls++;
    fixFreq.sourceRate = sourceRate;
    fixFreq.wantedRate = wantedRate;
    if (fixFreq.keepSource)
        Loaded().encoder->SetParamValue(fixFreq.params, ENCODER_PARAM_SAMPLE_RATE, sourceRate);
}

TEST_F(WavePlugins, RateRequestGoesThroughTheFixFreqCallback) {
    struct Case {
        const char *name;
        const char *params;
        bool keepSource;
        int calls;
        uint32_t fileRate;
    } cases[] = {
        {"handler keeps the input's rate", "f:48000", true, 1, 44100},
        {"handler only reports", "f:48000", false, 1, 48000},
        {"rate already the input's", "f:44100", false, 0, 44100},
    };
    EncoderTable *encoder = Loaded().encoder;
    encoder->FixFreqCallback = RecordFixFreq;
    WAVEFORMATEX cd = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    for (const Case &c : cases) {
        fixFreq = FixFreqCall{};
        fixFreq.keepSource = c.keepSource;
        int show = 0;
        ASSERT_EQ(encoder->StringToParams(c.params, &fixFreq.params, &show), 1);
        WAVEFORMATEX format = cd;
        int wantStandard = 0;
        fs::path output = folder / "rate.wav";
        EXPECT_EQ(encoder->Open(output.string().c_str(), fixFreq.params, &format, &wantStandard), 0)
            << c.name;
        EXPECT_EQ(fixFreq.calls, c.calls) << c.name;
        if (c.calls > 0) {
            EXPECT_EQ(fixFreq.sourceRate, 44100) << c.name;
            EXPECT_EQ(fixFreq.wantedRate, 48000) << c.name;
        }
        EXPECT_EQ(std::memcmp(&format, &cd, sizeof cd), 0) << c.name; // the input, unchanged
        EXPECT_EQ(wantStandard, 0) << c.name;
        encoder->Close();
        EXPECT_EQ(ParseWav(output).rate, c.fileRate) << c.name;
        encoder->FreeParams(&fixFreq.params);
    }
    encoder->FixFreqCallback = nullptr;
}

TEST_F(WavePlugins, EncoderReportsOutputsItCannotWrite) {
    EncoderTable *encoder = Loaded().encoder;
    WAVEFORMATEX cd = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    int wantStandard = 0;
    std::string missing = (folder / "no folder" / "out.wav").string();
    EXPECT_EQ(encoder->Open(missing.c_str(), nullptr, &cd, &wantStandard), KN_ERR_OUTPUT_CREATE);
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no device that is always full";
#endif
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(encoder->Open("/dev/full", nullptr, &cd, &wantStandard), 0);
    int blockSize = encoder->GetBlockSize();
    EXPECT_EQ(blockSize % 4, 0);
    std::vector<char> block(static_cast<size_t>(blockSize));
    EXPECT_NE(encoder->Encode(block.data()), 0); // a full disk fails the block
    EXPECT_NE(encoder->Encode(block.data()), 0); // and every later one
    encoder->Close();
}

TEST_F(WavePlugins, EncoderRefusesDataPastFourGibibytes) {
#if defined(_WIN32)
    const char *nullDevice = "NUL";
#else
    const char *nullDevice = "/dev/null";
    if (!fs::exists(nullDevice))
        GTEST_SKIP() << "no /dev/null";
#endif
    EncoderTable *encoder = Loaded().encoder;
    WAVEFORMATEX cd = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    int wantStandard = 0;
    ASSERT_EQ(encoder->Open(nullDevice, nullptr, &cd, &wantStandard), 0);
    std::vector<char> block(static_cast<size_t>(encoder->GetBlockSize()));
    // The RIFF size must stay below 4 GiB: 44 header bytes, 8 of them outside the RIFF size.
    uint64_t fitting = (0xFFFFFFFFull - 36) / block.size();
    uint64_t accepted = 0;
    while (accepted <= fitting && encoder->Encode(block.data()) == 0)
        accepted++;
    EXPECT_EQ(accepted, fitting);
    EXPECT_NE(encoder->Encode(block.data()), 0);
    encoder->Close();
}

// ---- Other programs read our files, and we read theirs ----

bool HasProgram(const char *name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Capture(const std::string &command, const fs::path &outputFile) {
    if (std::system((command + " > '" + outputFile.string() + "' 2>/dev/null").c_str()) != 0)
        return "(failed: " + command + ")";
    return ReadFile(outputFile);
}

const char *RawFormat(uint16_t bits) {
    switch (bits) {
    case 8:
        return "u8";
    case 16:
        return "s16le";
    case 24:
        return "s24le";
    default:
        return "s32le";
    }
}

std::string DecodeWithFfmpeg(const fs::path &file, uint16_t bits, const fs::path &raw) {
    std::string command = std::string("ffmpeg -nostdin -v error -y -i '") + file.string() +
                          "' -f " + RawFormat(bits) + " '" + raw.string() + "'";
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        return "(failed: " + command + ")";
    return ReadFile(raw);
}

TEST_F(WavePlugins, OtherProgramsReadOurOutput) {
#if defined(_WIN32)
    GTEST_SKIP() << "sox and ffmpeg run through a POSIX shell, which only the native build has";
#endif
    bool sox = HasProgram("sox");
    bool ffmpeg = HasProgram("ffmpeg");
    if (!sox && !ffmpeg)
        GTEST_SKIP() << "neither sox nor ffmpeg is installed";
    WavShape shapes[] = {
        {44100, 2, 16, 22051}, {96000, 6, 24, 9601}, {22050, 1, 8, 2205}, {48000, 8, 32, 4801}};
    for (const WavShape &shape : shapes) {
        std::string name =
            std::to_string(shape.bits) + "-bit " + std::to_string(shape.channels) + " ch";
        std::string samples = MakeSamples(shape, 11);
        fs::path input = Write("in.wav", MakeWav(shape, samples));
        fs::path output = folder / "ours.wav";
        ASSERT_EQ(Transcode(input, output).endOfStream, 1) << name;
        if (sox) {
            std::string info;
            for (const char *field : {"-r", "-c", "-b"})
                info += Capture(std::string("sox --i ") + field + " '" + output.string() + "'",
                                folder / "info");
            std::string expected = std::to_string(shape.rate) + "\n" +
                                   std::to_string(shape.channels) + "\n" +
                                   std::to_string(shape.bits) + "\n";
            EXPECT_EQ(info, expected) << name;
        }
        if (ffmpeg) {
            std::string raw = DecodeWithFfmpeg(output, shape.bits, folder / "raw");
            EXPECT_EQ(FirstDifference(samples, raw), "") << name;
        }
    }
}

TEST_F(WavePlugins, DecoderReadsFilesOfOtherPrograms) {
#if defined(_WIN32)
    GTEST_SKIP() << "sox and ffmpeg run through a POSIX shell, which only the native build has";
#endif
    if (!HasProgram("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed";
    struct Case {
        const char *name;
        const char *options;
        uint16_t bits;
    } cases[] = {
        {"24-bit 6 channels", "-ac 6 -c:a pcm_s24le", 24},
        {"16-bit stereo RF64", "-ac 2 -c:a pcm_s16le -rf64 always", 16},
        {"8-bit mono", "-ac 1 -c:a pcm_u8", 8},
        {"32-bit 3 channels", "-ac 3 -c:a pcm_s32le", 32},
    };
    for (const Case &c : cases) {
        fs::path theirs = folder / "theirs.wav";
        std::string command = std::string("ffmpeg -nostdin -v error -y -f lavfi -i "
                                          "'sine=frequency=440:sample_rate=48000:duration=0.37' ") +
                              c.options + " '" + theirs.string() + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << c.name;
        fs::path ours = folder / "ours.wav";
        testhost::DecodeRun run = Transcode(theirs, ours);
        ASSERT_EQ(run.playResult, 0) << c.name << ": code " << run.errorCode;
        ParsedWav out = ParseWav(ours);
        ASSERT_EQ(out.problem, "") << c.name;
        EXPECT_EQ(out.bits, c.bits) << c.name;
        std::string raw = DecodeWithFfmpeg(theirs, c.bits, folder / "raw");
        EXPECT_EQ(FirstDifference(raw, out.data), "") << c.name;
    }
}

} // namespace
