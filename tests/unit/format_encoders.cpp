// The FLAC, MP3, Ogg Vorbis and Opus encoder plug-ins, loaded from the build and driven the way
// the core drives them: the WAV decoder plays a test file into the stand-in output writer, which
// opens the encoder with the PCM format and hands it blocks of its block size, the rest with
// EncodeLast. What the encoders write is read back with independent programs (flac, ffmpeg,
// ffprobe) and compared with the signal that went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "tests/unit/plugin_host.h"

namespace fs = std::filesystem;

// libvorbis 1.3.7 loses one allocation whenever it sets up 5.1 (in vorbis_encode_setup_init);
// the leak checker of sanitizer builds is told to pass over it. Other builds never call this.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:vorbis_encode_setup_init\n";
}

namespace {

const char *const kEncoders[] = {"flac", "mp3", "vorbis", "opus"};

// Loads <build>/bin/plugins/out/<name>.so once for the whole run; null when it cannot.
EncoderTable *LoadEncoder(const std::string &name) {
    static std::map<std::string, EncoderTable *> loaded;
    auto found = loaded.find(name);
    if (found != loaded.end())
        return found->second;
    std::string path = std::string(KN_BIN_DIR) + "/plugins/out/" + name + platform::kLibrarySuffix;
    platform::LibraryHandle library = platform::LoadLibrary(path.c_str());
    auto registerModule = library ? reinterpret_cast<RegisterCompressModuleFunc>(
                                        platform::GetExport(library, "RegisterCompressModule"))
                                  : nullptr;
    EncoderTable *table = registerModule ? registerModule() : nullptr;
    loaded[name] = table;
    return table;
}

// ---- The test signal ----

struct Signal {
    uint32_t rate = 44100;
    uint16_t channels = 2;
    uint16_t bits = 16;
    size_t frames = 44100;

    size_t FrameBytes() const { return channels * (bits / 8u); }
};

// Two sines per channel, at pitches that differ from channel to channel so that a channel in
// the wrong place cannot pass for the right one; with six or more channels the fourth is the
// LFE channel of the WAVE order and gets low pitches, which surround codecs keep.
double Tone(int channel, int channels, double seconds) {
    double low = 311.0 + 53.0 * channel;
    double high = 1013.0 + 157.0 * channel;
    if (channels >= 6 && channel == 3) {
        low = 43.0;
        high = 71.0;
    }
    return 0.25 * std::sin(2 * M_PI * low * seconds) + 0.25 * std::sin(2 * M_PI * high * seconds);
}

// The signal at `rate`, interleaved, full scale 1. With `noise` (lossless tests) a little
// random noise keeps the encoder from predicting everything.
std::vector<double> Synthesize(int channels, uint32_t rate, size_t frames, double noise = 0) {
    std::mt19937 random(channels * 1000 + rate);
    std::uniform_real_distribution<double> spread(-noise, noise);
    std::vector<double> values(frames * channels);
    for (size_t frame = 0; frame < frames; frame++) {
        for (int channel = 0; channel < channels; channel++)
            values[frame * channels + channel] =
                Tone(channel, channels, static_cast<double>(frame) / rate) + spread(random);
    }
    return values;
}

// The samples as integers of `bits`.
std::vector<int64_t> Quantize(const std::vector<double> &values, int bits) {
    double largest = static_cast<double>((int64_t(1) << (bits - 1)) - 1);
    std::vector<int64_t> samples(values.size());
    for (size_t i = 0; i < values.size(); i++)
        samples[i] = std::llround(std::clamp(values[i], -1.0, 1.0) * largest);
    return samples;
}

// Little-endian PCM bytes; 8-bit samples unsigned.
std::string PcmBytes(const std::vector<int64_t> &samples, int bits) {
    std::string bytes;
    bytes.reserve(samples.size() * (bits / 8));
    for (int64_t v : samples) {
        if (bits == 8) {
            bytes.push_back(static_cast<char>(v + 128));
            continue;
        }
        for (int i = 0; i < bits / 8; i++)
            bytes.push_back(static_cast<char>(static_cast<uint64_t>(v) >> (8 * i)));
    }
    return bytes;
}

void PutLe(std::string &bytes, uint32_t value, int count) {
    for (int i = 0; i < count; i++)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
}

// A WAV file: plain PCM up to 2 channels and 16 bits, WAVE_FORMAT_EXTENSIBLE above.
std::string MakeWav(const Signal &signal, const std::string &pcm) {
    bool extensible = signal.channels > 2 || signal.bits > 16;
    auto blockAlign = static_cast<uint32_t>(signal.FrameBytes());
    std::string format;
    PutLe(format, extensible ? 0xFFFE : 1, 2);
    PutLe(format, signal.channels, 2);
    PutLe(format, signal.rate, 4);
    PutLe(format, signal.rate * blockAlign, 4);
    PutLe(format, blockAlign, 2);
    PutLe(format, signal.bits, 2);
    if (extensible) {
        static const uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
        PutLe(format, 22, 2);
        PutLe(format, signal.bits, 2);
        PutLe(format, masks[signal.channels], 4);
        format +=
            std::string("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
    }
    std::string file = "RIFF";
    PutLe(file, static_cast<uint32_t>(4 + 8 + format.size() + 8 + pcm.size()), 4);
    file += "WAVEfmt ";
    PutLe(file, static_cast<uint32_t>(format.size()), 4);
    file += format + "data";
    PutLe(file, static_cast<uint32_t>(pcm.size()), 4);
    return file + pcm;
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

WAVEFORMATEX FormatOf(const Signal &signal) {
    auto blockAlign = static_cast<uint16_t>(signal.FrameBytes());
    return {WAVE_FORMAT_PCM,
            signal.channels,
            signal.rate,
            signal.rate * blockAlign,
            blockAlign,
            signal.bits,
            0};
}

// ---- The encoder behind the core's output writer ----

class EncoderTarget : public testhost::PcmTarget {
  public:
    EncoderTarget(EncoderTable *table, void *params, const fs::path &output)
        : encoder(table), params(params), output(output.string()) {}

    int Open(const WAVEFORMATEX &format) override {
        WAVEFORMATEX offered = format;
        int wantStandard = 0;
        openResult = encoder->Open(output.c_str(), params, &offered, &wantStandard);
        return openResult;
    }
    size_t BlockSize() const override { return static_cast<size_t>(encoder->GetBlockSize()); }
    int Encode(const char *block) override { return encoder->Encode(block); }
    void EncodeLast(const char *data, size_t bytes) override {
        encoder->EncodeLast(data, static_cast<int>(bytes));
    }
    void Close() override { encoder->Close(); }

    int openResult = 0;

  private:
    EncoderTable *encoder;
    void *params;
    std::string output;
};

struct Encoded {
    int openResult = 0;
    bool finished = false; // the decode ran to its end of stream
};

// Converts the WAV file `input` into `output` with the encoder and its parameter text (null:
// the defaults), in the order of calls of a conversion.
Encoded EncodeFile(const std::string &encoderName, const char *params, const fs::path &input,
                   const fs::path &output) {
    Encoded result;
    EncoderTable *encoder = LoadEncoder(encoderName);
    encoder->Init();
    encoder->SetOption(0);
    void *handle = nullptr;
    int show = 0;
    if (params == nullptr)
        encoder->GetDefaultParams(&handle);
    else if (encoder->StringToParams(params, &handle, &show) == 0)
        ADD_FAILURE() << encoderName << " refused " << params;
    EncoderTarget target(encoder, handle, output);
    testhost::DecodeRun run =
        testhost::Decode(testhost::LoadDecoder("wave"), input.string(), target);
    result.openResult = target.openResult;
    result.finished = run.playResult == 0 && run.finished && run.endOfStream == 1;
    EXPECT_EQ(encoder->NeedsMorePasses(), 0);
    encoder->FreeParams(&handle);
    return result;
}

// ---- Other programs ----

bool HasProgram(const char *name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quoted(const fs::path &path) {
    return "'" + path.string() + "'";
}

// Runs `command` with its standard output into `outputFile`; false when it fails.
bool RunCommand(const std::string &command, const fs::path &outputFile) {
    return std::system((command + " > " + Quoted(outputFile) + " 2>&1").c_str()) == 0;
}

struct Probe {
    int rate = 0;
    int channels = 0;
};

Probe ProbeAudio(const fs::path &file, const fs::path &scratch) {
    Probe probe;
    if (!RunCommand(
            "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels "
            "-of default=noprint_wrappers=1 " +
                Quoted(file),
            scratch))
        return probe;
    std::ifstream lines(scratch);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("sample_rate=", 0) == 0)
            probe.rate = std::atoi(line.c_str() + 12);
        if (line.rfind("channels=", 0) == 0)
            probe.channels = std::atoi(line.c_str() + 9);
    }
    return probe;
}

// The file decoded by ffmpeg as interleaved floats; `ok` false when ffmpeg reports any error.
std::vector<float> DecodeWithFfmpeg(const fs::path &file, const fs::path &scratch, bool &ok) {
    fs::path raw = scratch.string() + ".f32";
    ok = RunCommand("ffmpeg -nostdin -v error -xerror -y -i " + Quoted(file) + " -f f32le " +
                        Quoted(raw),
                    scratch) &&
         ReadFile(scratch).empty();
    std::string bytes = ReadFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// How one channel of `decoded` matches the same channel of `reference`: at the shift (up to
// `maxShift` frames either way) where they match best, the gain that scales the reference
// closest to the decoded samples, and the signal-to-noise ratio in dB after that gain. The
// first and last `edge` frames are left out.
struct ChannelMatch {
    int shift = 0;
    double gain = 0;
    double snrDb = -99;
};

ChannelMatch MatchChannel(const std::vector<float> &decoded, const std::vector<double> &reference,
                          int channels, int channel, int maxShift, size_t edge) {
    ChannelMatch match;
    size_t frames = std::min(decoded.size(), reference.size()) / channels;
    size_t first = edge + static_cast<size_t>(maxShift);
    if (frames <= 2 * first)
        return match;
    auto at = [&](const auto &samples, size_t frame) {
        return samples[frame * channels + channel];
    };
    size_t window = std::min<size_t>(8192, frames - 2 * first);
    // The best shift has the highest normalised correlation over a window.
    int bestShift = 0;
    double bestScore = -1e300;
    for (int shift = -maxShift; shift <= maxShift; shift++) {
        double correlation = 0, power = 1e-30;
        for (size_t i = first; i < first + window; i++) {
            correlation += at(reference, i) * at(decoded, i + shift);
            power += at(decoded, i + shift) * at(decoded, i + shift);
        }
        double score = correlation * std::abs(correlation) / power;
        if (score > bestScore) {
            bestScore = score;
            bestShift = shift;
        }
    }
    double product = 0, energy = 0;
    for (size_t i = first; i + first < frames; i++) {
        product += at(reference, i) * at(decoded, i + bestShift);
        energy += at(reference, i) * at(reference, i);
    }
    match.shift = bestShift;
    match.gain = energy > 0 ? product / energy : 0;
    double noise = 0;
    for (size_t i = first; i + first < frames; i++) {
        double error = at(decoded, i + bestShift) - match.gain * at(reference, i);
        noise += error * error;
    }
    double signal = match.gain * match.gain * energy;
    match.snrDb = noise > 0 ? 10 * std::log10(signal / noise) : 99;
    return match;
}

class Encoders : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *name : kEncoders)
            ASSERT_NE(LoadEncoder(name), nullptr) << name << ": " << platform::LastLibraryError();
        ASSERT_NE(testhost::LoadDecoder("wave").module, nullptr);
        std::random_device seed;
        folder = fs::temp_directory_path() / ("kn_encoders_" + std::to_string(seed()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // A WAV file of the test signal.
    fs::path WriteSignal(const Signal &signal, double noise = 0) {
        fs::path path = folder / "in.wav";
        std::vector<double> values = Synthesize(signal.channels, signal.rate, signal.frames, noise);
        WriteFile(path, MakeWav(signal, PcmBytes(Quantize(values, signal.bits), signal.bits)));
        return path;
    }

    static void RequirePrograms(std::initializer_list<const char *> names) {
        for (const char *name : names) {
            if (!HasProgram(name))
                GTEST_SKIP() << name << " is not installed";
        }
    }

    fs::path folder;
};

std::string ParamsText(EncoderTable *encoder, void *params) {
    char text[ENCODER_PARAM_BUFFER_SIZE] = {};
    char *buffer = text;
    encoder->ParamsToString(params, &buffer);
    return text;
}

// ---- The tables ----

TEST_F(Encoders, TablesDescribeTheEncoders) {
    struct Case {
        const char *name;
        const char *extension;
        std::vector<const char *> keys; // every key must be in the help text
    } cases[] = {
        {"flac", "flac", {"l:<0..8>", "b:<16|24>", "c:<1..8>", "f:<rate>"}},
        {"mp3",
         "mp3",
         {"m:<cbr|abr|vbr>", "b:<kbps>", "v:<0..9>", "q:<0..9>", "f:<rate>", "c:<m|s|j|1|2>"}},
        {"vorbis", "ogg", {"q:<-1..10>", "b:<kbps>", "c:<1..8>", "f:<rate>"}},
        {"opus",
         "opus",
         {"b:<kbps>", "x:<0..10>", "a:<audio|voip|lowdelay>", "c:<1..8>", "f:<rate>"}},
    };
    for (const Case &c : cases) {
        EncoderTable *encoder = LoadEncoder(c.name);
        EXPECT_GE(encoder->version, ENCODER_TABLE_MIN_VERSION) << c.name;
        EXPECT_EQ(std::string(encoder->description).rfind(std::string(c.name) + " - ", 0), 0u)
            << encoder->description;
        EXPECT_STREQ(encoder->extension, c.extension);
        EXPECT_NE(encoder->extensionDescription, nullptr) << c.name;
        EXPECT_NE(encoder->pPriority, nullptr) << c.name;
        EXPECT_EQ(encoder->NeedsMorePasses(), 0) << c.name;
        ASSERT_NE(encoder->GetHelpText(), nullptr) << c.name;
        std::string help = encoder->GetHelpText();
        for (const char *key : c.keys)
            EXPECT_NE(help.find(key), std::string::npos) << c.name << " help lacks " << key;
        EXPECT_EQ(help.rfind(encoder->description, 0), 0u) << c.name;
    }
}

TEST_F(Encoders, ParameterTextsParseAndPrintCanonically) {
    struct Case {
        const char *encoder;
        const char *text;
        const char *canonical; // null: refused
    } cases[] = {
        {"flac", "", "l:5"},
        {"flac", "l:8", "l:8"},
        {"flac", "  B:24\tL:0 ", "l:0 b:24"},
        {"flac", "b:16", "l:5 b:16"},
        {"flac", "l:9", nullptr},
        {"flac", "l:-1", nullptr},
        {"flac", "b:20", nullptr},
        {"flac", "b:8", nullptr},
        {"flac", "l:5 l:5", nullptr},
        {"flac", "l:+5", nullptr},
        {"flac", "l:5x", nullptr},
        {"flac", "l:", nullptr},
        {"flac", "l", nullptr},
        {"flac", ":5", nullptr},
        {"flac", "level:5", nullptr},
        {"flac", "l:5:5", nullptr},
        {"flac", "l:0000000005", nullptr},
        {"mp3", "", "m:vbr v:2 q:3"},
        {"mp3", "b:192", "m:cbr b:192 q:3"},
        {"mp3", "m:cbr", "m:cbr b:128 q:3"},
        {"mp3", "m:abr b:100", "m:abr b:100 q:3"},
        {"mp3", "v:0 q:0", "m:vbr v:0 q:0"},
        {"mp3", "C:J f:22050 M:VBR", "m:vbr v:2 q:3 f:22050 c:j"},
        {"mp3", "m:cbr b:320 q:9 f:48000 c:m", "m:cbr b:320 q:9 f:48000 c:m"},
        {"mp3", "m:cbr b:100", nullptr},
        {"mp3", "m:vbr b:128", nullptr},
        {"mp3", "m:cbr v:2", nullptr},
        {"mp3", "b:192 v:2", nullptr},
        {"mp3", "b:7", nullptr},
        {"mp3", "b:321", nullptr},
        {"mp3", "v:10", nullptr},
        {"mp3", "f:22000", nullptr},
        {"mp3", "f:96000", nullptr},
        {"mp3", "m:xbr", nullptr},
        {"mp3", "c:x", nullptr},
        {"mp3", "c:joint", nullptr},
        {"mp3", "m:vbr m:cbr", nullptr},
        {"vorbis", "", "q:5"},
        {"vorbis", "q:-1", "q:-1"},
        {"vorbis", "q:10", "q:10"},
        {"vorbis", "b:128", "b:128"},
        {"vorbis", "q:-2", nullptr},
        {"vorbis", "q:11", nullptr},
        {"vorbis", "q:5.5", nullptr},
        {"vorbis", "q:5 b:128", nullptr},
        {"vorbis", "b:31", nullptr},
        {"opus", "", "x:10 a:audio"},
        {"opus", "b:96 a:VOIP", "b:96 x:10 a:voip"},
        {"opus", "a:lowdelay x:0 b:6", "b:6 x:0 a:lowdelay"},
        {"opus", "b:5", nullptr},
        {"opus", "x:11", nullptr},
        {"opus", "a:music", nullptr},
        {"opus", "a:", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.encoder) + " \"" + c.text + "\"");
        EncoderTable *encoder = LoadEncoder(c.encoder);
        void *params = nullptr;
        int show = 0;
        EXPECT_EQ(encoder->StringToParams(c.text, &params, &show), c.canonical ? 1 : 0);
        EXPECT_EQ(show, 0);
        if (c.canonical == nullptr) {
            EXPECT_EQ(params, nullptr);
            continue;
        }
        std::string canonical = ParamsText(encoder, params);
        EXPECT_EQ(canonical, c.canonical);
        void *again = nullptr;
        ASSERT_EQ(encoder->StringToParams(canonical.c_str(), &again, &show), 1);
        EXPECT_EQ(ParamsText(encoder, again), canonical);
        encoder->FreeParams(&again);
        encoder->FreeParams(&params);
        EXPECT_EQ(params, nullptr);
    }
}

TEST_F(Encoders, DefaultsAreTheTextOfNoParameters) {
    for (const char *name : kEncoders) {
        EncoderTable *encoder = LoadEncoder(name);
        void *defaults = nullptr;
        void *empty = nullptr;
        int show = 0;
        encoder->GetDefaultParams(&defaults);
        ASSERT_EQ(encoder->StringToParams("", &empty, &show), 1) << name;
        EXPECT_EQ(ParamsText(encoder, defaults), ParamsText(encoder, empty)) << name;
        EXPECT_EQ(ParamsText(encoder, nullptr), ParamsText(encoder, empty)) << name;
        // A refused text leaves the earlier parameters as they were.
        std::string before = ParamsText(encoder, empty);
        EXPECT_EQ(encoder->StringToParams("z:1", &empty, &show), 0) << name;
        EXPECT_EQ(encoder->StringToParams(nullptr, &empty, &show), 0) << name;
        EXPECT_EQ(ParamsText(encoder, empty), before) << name;
        encoder->FreeParams(&defaults);
        encoder->FreeParams(&empty);
    }
}

TEST_F(Encoders, ShortDescriptionsNameTheSettings) {
    struct Case {
        const char *encoder;
        const char *text;
        const char *shortDesc;
    } cases[] = {
        {"flac", "", "FLAC level 5, depth of the input"},
        {"flac", "l:8 b:24", "FLAC level 8, 24 bit"},
        {"mp3", "", "VBR V2, q3"},
        {"mp3", "m:cbr b:192 c:j", "CBR 192 kbps, q3, joint stereo"},
        {"mp3", "m:abr b:320 q:9 f:48000 c:j", "ABR 320 kbps, q9, 48000 Hz, joint stereo"},
        {"vorbis", "", "Vorbis VBR q5"},
        {"vorbis", "b:128", "Vorbis ABR 128 kbps"},
        {"opus", "", "Opus VBR auto bitrate, audio, complexity 10"},
        {"opus", "b:2048 a:lowdelay x:0", "Opus VBR 2048 kbps, lowdelay, complexity 0"},
    };
    for (const Case &c : cases) {
        EncoderTable *encoder = LoadEncoder(c.encoder);
        void *params = nullptr;
        int show = 0;
        ASSERT_EQ(encoder->StringToParams(c.text, &params, &show), 1) << c.text;
        char text[256] = {};
        char *buffer = text;
        encoder->GetShortDesc(params, &buffer);
        EXPECT_STREQ(text, c.shortDesc) << c.encoder << " " << c.text;
        EXPECT_LT(std::strlen(text), 64u);
        encoder->FreeParams(&params);
    }
}

TEST_F(Encoders, BlockSizeIsThousandsOfWholeFrames) {
    for (const char *name : kEncoders) {
        EncoderTable *encoder = LoadEncoder(name);
        Signal signal{48000, static_cast<uint16_t>(std::string(name) == "mp3" ? 2 : 6), 24, 0};
        WAVEFORMATEX format = FormatOf(signal);
        int wantStandard = 0;
        fs::path output = folder / "block";
        ASSERT_EQ(encoder->Open(output.c_str(), nullptr, &format, &wantStandard), 0) << name;
        EXPECT_EQ(wantStandard, 0) << name;
        int blockSize = encoder->GetBlockSize();
        EXPECT_EQ(blockSize % format.nBlockAlign, 0) << name;
        EXPECT_GE(blockSize / format.nBlockAlign, 1024) << name;
        EXPECT_LE(blockSize / format.nBlockAlign, 16384) << name;
        encoder->Close();
        EXPECT_TRUE(fs::exists(output)) << name; // an empty stream is still a file
    }
}

// ---- FLAC is lossless ----

struct LosslessCase {
    uint16_t bits;
    uint16_t channels;
    uint32_t rate;
};

class FlacRoundTrip : public Encoders, public ::testing::WithParamInterface<LosslessCase> {};

TEST_P(FlacRoundTrip, FlacDecodesBitIdentical) {
    RequirePrograms({"flac"});
    const LosslessCase &c = GetParam();
    Signal signal{c.rate, c.channels, c.bits, c.rate / 2 + 4097};
    std::vector<int64_t> samples =
        Quantize(Synthesize(c.channels, c.rate, signal.frames, 0.05), c.bits);
    fs::path input = folder / "in.wav";
    WriteFile(input, MakeWav(signal, PcmBytes(samples, c.bits)));
    fs::path output = folder / "out.flac";
    Encoded encoded = EncodeFile("flac", nullptr, input, output);
    ASSERT_TRUE(encoded.finished);
    fs::path raw = folder / "out.raw";
    // flac checks the MD5 sum of the stream header while decoding.
    ASSERT_TRUE(RunCommand("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " +
                               Quoted(raw) + " " + Quoted(output),
                           folder / "log"))
        << ReadFile(folder / "log");
    EXPECT_TRUE(ReadFile(raw) == PcmBytes(samples, c.bits)) << "decoded samples differ";
}

std::vector<LosslessCase> AllLosslessCases() {
    std::vector<LosslessCase> cases;
    for (uint16_t bits : {16, 24})
        for (uint16_t channels : {1, 2, 6})
            for (uint32_t rate : {44100u, 48000u, 96000u})
                cases.push_back({bits, channels, rate});
    return cases;
}

void PrintTo(const LosslessCase &c, std::ostream *out) {
    *out << c.bits << "-bit " << c.channels << " ch " << c.rate << " Hz";
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FlacRoundTrip, ::testing::ValuesIn(AllLosslessCases()),
                         [](const auto &info) {
                             return "b" + std::to_string(info.param.bits) + "_c" +
                                    std::to_string(info.param.channels) + "_" +
                                    std::to_string(info.param.rate);
                         });

// A wider depth and samples that already fit come through bit for bit; a narrower depth is
// dithered: within one and a half LSB of the exact value and without the half-LSB bias that
// dropping the low bits leaves.
TEST_F(Encoders, FlacChangesTheDepthAsAsked) {
    RequirePrograms({"ffmpeg"});
    struct Case {
        const char *params;
        uint16_t inputBits;
        int outputBits;
        bool fits; // the input's low bits are zero
    } cases[] = {
        {"", 8, 16, true},      {"", 32, 24, false},    {"b:16", 24, 16, false},
        {"b:16", 24, 16, true}, {"b:24", 16, 24, true}, {"l:0 b:24", 24, 24, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.inputBits) + "-bit input, \"" + c.params + "\"" +
                     (c.fits ? ", fits" : ""));
        Signal signal{44100, 2, c.inputBits, 10000};
        int shift = c.outputBits - c.inputBits;
        std::vector<int64_t> samples = Quantize(Synthesize(2, signal.rate, signal.frames, 0.05),
                                                c.fits && shift < 0 ? c.outputBits : c.inputBits);
        if (c.fits && shift < 0) {
            for (int64_t &v : samples)
                v *= int64_t(1) << -shift;
        }
        fs::path input = folder / "in.wav";
        WriteFile(input, MakeWav(signal, PcmBytes(samples, c.inputBits)));
        fs::path output = folder / "depth.flac";
        ASSERT_TRUE(EncodeFile("flac", c.params, input, output).finished);
        fs::path raw = folder / "depth.raw";
        // ffmpeg gives 24-bit FLAC as 32-bit samples with the low byte zero.
        ASSERT_TRUE(RunCommand("ffmpeg -nostdin -v error -y -i " + Quoted(output) + " -f s32le " +
                                   Quoted(raw),
                               folder / "log"));
        std::string decoded = ReadFile(raw);
        ASSERT_EQ(decoded.size(), samples.size() * 4);
        double worst = 0, bias = 0;
        bool exact = true;
        for (size_t i = 0; i < samples.size(); i++) {
            int32_t top = 0;
            std::memcpy(&top, decoded.data() + 4 * i, 4);
            double got = top / std::ldexp(1.0, 32 - c.outputBits);
            double want = static_cast<double>(samples[i]) * std::ldexp(1.0, shift);
            exact = exact && got == want;
            worst = std::max(worst, std::abs(got - want));
            bias += (got - want) / static_cast<double>(samples.size());
        }
        if (c.fits || shift >= 0) {
            EXPECT_TRUE(exact) << "largest difference " << worst << " LSB";
        } else {
            EXPECT_LE(worst, 1.5);
            EXPECT_LT(std::abs(bias), 0.05);
        }
    }
}

// ---- Lossy codecs: the right stream, and close to the signal ----

struct LossyCase {
    const char *name;
    const char *encoder;
    const char *params;
    Signal input;
    uint32_t outputRate;
    uint16_t outputChannels;
    size_t lengthSlack; // frames: one codec frame plus the codec's delay and padding
    double minSnrDb;
};

// The frames that the decoders may add or drop: MP3 1152 per frame plus LAME's 576 and the
// decoder's 529 of delay; Vorbis one long block of 2048; Opus one 960 frame plus the 312 of
// pre-skip.
constexpr size_t kMp3Slack = 1152 + 576 + 529;
constexpr size_t kVorbisSlack = 2048;
constexpr size_t kOpusSlack = 960 + 312;

// SNR thresholds, measured after the best gain (LAME's CBR and ABR presets scale the signal by
// 0.95; the gain itself must stay within 10%). A perceptual codec does not aim at a low error,
// but on a few steady tones it reproduces the waveform closely. Each threshold lies about
// 7 dB or more below what the encoder reaches here, so it holds across library versions,
// while a channel in the wrong place, samples of the wrong depth or byte order, or a wrong
// rate give 0 dB or less. Reached here: MP3 V2 52 dB, CBR 128 and ABR 160 on tones 79, CBR 64
// after resampling 73, 8-bit input 39 (its own quantisation noise), a stereo input mixed to
// mono 43; Vorbis q5 and 128 kbps 38-44, q-1 (about 48 kbps) 20; Opus 96 to 320 kbps 40,
// Opus voip at 64 kbps from 16 kHz (SILK, a speech coder) 15.
// libvorbis and libopus code the LFE channel of 5.1 with a narrow band and their own gain:
// it reaches 22 and 30 dB there, with gains up to 1.19 and a shift of a few samples.
// ffmpeg honours LAME's delay in the Xing/LAME tag, the Vorbis granule positions and the Opus
// pre-skip, so every other channel lines up with the signal within a sample or two.
constexpr double kLfeMinSnrDb = 12;
constexpr double kLfeGainSlack = 0.25;
constexpr double kGainSlack = 0.1;
constexpr int kMaxShift = 2;

const LossyCase kLossyCases[] = {
    {"mp3 V2 stereo", "mp3", "", {44100, 2, 16, 66150}, 44100, 2, kMp3Slack, 40},
    {"mp3 CBR 128 mono 24-bit",
     "mp3",
     "m:cbr b:128",
     {48000, 1, 24, 72000},
     48000,
     1,
     kMp3Slack,
     50},
    {"mp3 ABR 160 32-bit", "mp3", "m:abr b:160", {44100, 2, 32, 44100}, 44100, 2, kMp3Slack, 50},
    {"mp3 8-bit", "mp3", "m:cbr b:128", {32000, 2, 8, 32000}, 32000, 2, kMp3Slack, 28},
    {"mp3 stereo mixed to mono", "mp3", "c:m", {44100, 2, 16, 66150}, 44100, 1, kMp3Slack, 30},
    {"mp3 resampled to 22050",
     "mp3",
     "m:cbr b:64 f:22050",
     {44100, 2, 16, 66150},
     22050,
     2,
     kMp3Slack,
     50},
    {"vorbis q5 stereo", "vorbis", "", {44100, 2, 16, 66150}, 44100, 2, kVorbisSlack, 30},
    {"vorbis 128 kbps 24-bit",
     "vorbis",
     "b:128",
     {48000, 2, 24, 72000},
     48000,
     2,
     kVorbisSlack,
     30},
    {"vorbis q-1 mono", "vorbis", "q:-1", {22050, 1, 16, 33075}, 22050, 1, kVorbisSlack, 12},
    {"vorbis 5.1", "vorbis", "q:5", {48000, 6, 16, 72000}, 48000, 6, kVorbisSlack, 30},
    {"vorbis 7.1 96 kHz", "vorbis", "q:5", {96000, 8, 24, 96000}, 96000, 8, kVorbisSlack, 28},
    {"opus stereo", "opus", "", {48000, 2, 16, 72000}, 48000, 2, kOpusSlack, 28},
    {"opus 128 from 44100", "opus", "b:128", {44100, 2, 24, 66150}, 48000, 2, kOpusSlack, 28},
    {"opus mono voip", "opus", "b:64 a:voip", {16000, 1, 16, 24000}, 48000, 1, kOpusSlack, 8},
    {"opus 5.1", "opus", "", {48000, 6, 16, 72000}, 48000, 6, kOpusSlack, 28},
};

void PrintTo(const LossyCase &c, std::ostream *out) {
    *out << c.name;
}

class LossyEncoding : public Encoders, public ::testing::WithParamInterface<LossyCase> {};

TEST_P(LossyEncoding, DecodesToTheSignalAtTheRightRateAndLength) {
    RequirePrograms({"ffmpeg", "ffprobe"});
    const LossyCase &c = GetParam();
    fs::path input = WriteSignal(c.input);
    fs::path output = folder / (std::string("out.") + LoadEncoder(c.encoder)->extension);
    Encoded encoded = EncodeFile(c.encoder, c.params, input, output);
    ASSERT_EQ(encoded.openResult, 0);
    ASSERT_TRUE(encoded.finished);
    Probe probe = ProbeAudio(output, folder / "probe");
    EXPECT_EQ(probe.rate, static_cast<int>(c.outputRate));
    EXPECT_EQ(probe.channels, c.outputChannels);
    bool decodedCleanly = false;
    std::vector<float> decoded = DecodeWithFfmpeg(output, folder / "decode", decodedCleanly);
    EXPECT_TRUE(decodedCleanly) << ReadFile(folder / "decode");
    auto expectedFrames = static_cast<double>(c.input.frames) * c.outputRate / c.input.rate;
    double frames = static_cast<double>(decoded.size()) / c.outputChannels;
    EXPECT_NEAR(frames, expectedFrames, static_cast<double>(c.lengthSlack));
    // The reference is the same signal made at the output rate; a mono output of a stereo
    // input is their mean.
    std::vector<double> reference =
        Synthesize(c.input.channels, c.outputRate, static_cast<size_t>(expectedFrames));
    if (c.outputChannels == 1 && c.input.channels == 2) {
        for (size_t frame = 0; frame < reference.size() / 2; frame++)
            reference[frame] = (reference[2 * frame] + reference[2 * frame + 1]) / 2;
        reference.resize(reference.size() / 2);
    }
    for (int channel = 0; channel < c.outputChannels; channel++) {
        bool lfe = c.outputChannels >= 6 && channel == 3;
        ChannelMatch match =
            MatchChannel(decoded, reference, c.outputChannels, channel, 64, c.outputRate / 20);
        EXPECT_GE(match.snrDb, lfe ? kLfeMinSnrDb : c.minSnrDb) << "channel " << channel;
        if (!lfe) {
            EXPECT_LE(std::abs(match.shift), kMaxShift) << "channel " << channel;
        }
        EXPECT_NEAR(match.gain, 1.0, lfe ? kLfeGainSlack : kGainSlack) << "channel " << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LossyEncoding, ::testing::ValuesIn(kLossyCases), [](const auto &info) {
        std::string name = info.param.name;
        std::replace_if(
            name.begin(), name.end(),
            [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
        return name;
    });

TEST_F(Encoders, Mp3CarriesTheLameTagForGaplessLength) {
    RequirePrograms({"ffmpeg"});
    struct Case {
        const char *params;
        const char *tagName; // "Xing" for VBR, "Info" for CBR
    } cases[] = {{"", "Xing"}, {"m:cbr b:192", "Info"}, {"m:abr b:128", "Xing"}};
    Signal signal{44100, 2, 16, 44100 + 777};
    fs::path input = WriteSignal(signal);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.params);
        fs::path output = folder / "tagged.mp3";
        ASSERT_TRUE(EncodeFile("mp3", c.params, input, output).finished);
        std::string bytes = ReadFile(output);
        size_t tag = bytes.find(c.tagName);
        ASSERT_NE(tag, std::string::npos);
        EXPECT_LT(tag, 64u); // inside the first frame
        EXPECT_EQ(bytes.compare(tag + 0x78, 4, "LAME"), 0);
        // The tag's frame count and encoder delay let ffmpeg cut the stream to the input's
        // length exactly; without the final tag it would be longer by delay and padding.
        bool ok = false;
        std::vector<float> decoded = DecodeWithFfmpeg(output, folder / "decode", ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(decoded.size() / 2, signal.frames);
    }
}

TEST_F(Encoders, OggStreamsGetRandomSerialNumbers) {
    Signal signal{48000, 2, 16, 9600};
    fs::path input = WriteSignal(signal);
    for (const char *name : {"vorbis", "opus"}) {
        ASSERT_TRUE(EncodeFile(name, nullptr, input, folder / "a.ogg").finished);
        ASSERT_TRUE(EncodeFile(name, nullptr, input, folder / "b.ogg").finished);
        std::string a = ReadFile(folder / "a.ogg");
        std::string b = ReadFile(folder / "b.ogg");
        ASSERT_GE(a.size(), 18u);
        ASSERT_GE(b.size(), 18u);
        ASSERT_EQ(a.compare(0, 4, "OggS"), 0) << name;
        EXPECT_NE(a.substr(14, 4), b.substr(14, 4)) << name << ": the same serial number twice";
    }
}

TEST_F(Encoders, EveryTestSetMakesAFileThatFfmpegDecodes) {
    RequirePrograms({"ffmpeg"});
    Signal signal{44100, 2, 16, 22050};
    fs::path input = WriteSignal(signal);
    for (const char *name : kEncoders) {
        EncoderTable *encoder = LoadEncoder(name);
        int count = 0;
        const char **pair = nullptr;
        while (encoder->GetTestParams(&pair, count) == 1) {
            SCOPED_TRACE(std::string(name) + " \"" + pair[0] + "\" " + pair[1]);
            // The core gives a file name without an extension the encoder's.
            fs::path output = folder / pair[1];
            if (!output.has_extension())
                output += std::string(".") + encoder->extension;
            Encoded encoded = EncodeFile(name, pair[0], input, output);
            EXPECT_EQ(encoded.openResult, 0);
            EXPECT_TRUE(encoded.finished);
            bool ok = false;
            std::vector<float> decoded = DecodeWithFfmpeg(output, folder / "decode", ok);
            EXPECT_TRUE(ok) << ReadFile(folder / "decode");
            EXPECT_GT(decoded.size(), 0u);
            count++;
        }
        EXPECT_GE(count, 3) << name;
        EXPECT_LE(count, 6) << name;
        EXPECT_EQ(encoder->GetTestParams(&pair, -1), 0) << name;
    }
}

// ---- The -FIXFREQ handler ----

// The core's handler, as a test double: records the call and may set a rate.
struct FixFreqDouble {
    EncoderTable *encoder = nullptr;
    void *params = nullptr;
    int calls = 0;
    int sourceRate = 0;
    int wantedRate = 0;
    int setRate = 0; // 0: only report
    std::string textAfter;
} fixFreq;

void HandleFixFreq(int sourceRate, int wantedRate) {
    fixFreq.calls++;
    fixFreq.sourceRate = sourceRate;
    fixFreq.wantedRate = wantedRate;
    if (fixFreq.setRate != 0)
        fixFreq.encoder->SetParamValue(fixFreq.params, ENCODER_PARAM_SAMPLE_RATE, fixFreq.setRate);
    fixFreq.textAfter = ParamsText(fixFreq.encoder, fixFreq.params);
}

TEST_F(Encoders, Mp3AsksTheFixFreqHandlerAboutARateChange) {
    RequirePrograms({"ffprobe"});
    struct Case {
        const char *name;
        const char *params;
        uint32_t inputRate;
        int setRate;
        int calls;
        int wantedRate;
        int openResult;
        int fileRate; // 0: no file
        const char *textAfter;
    } cases[] = {
        {"asked rate, handler picks another", "f:22050", 48000, 32000, 1, 22050, 0, 32000,
         "m:vbr v:2 q:3 f:32000"},
        {"asked rate, handler only reports", "f:22050", 48000, 0, 1, 22050, 0, 22050,
         "m:vbr v:2 q:3 f:22050"},
        {"LAME's own rate for a low bitrate", "m:cbr b:32", 44100, 0, 1, 16000, 0, 16000,
         "m:cbr b:32 q:3"},
        {"LAME's own rate, handler keeps the input's", "m:cbr b:32", 44100, 44100, 1, 16000, 0,
         44100, "m:cbr b:32 q:3 f:44100"},
        {"a rate MP3 cannot carry", "", 96000, 96000, 1, 48000, KN_ERR_ENCODER_RATE, 0,
         "m:vbr v:2 q:3 f:96000"},
        {"same rate asked", "f:44100", 44100, 0, 0, 0, 0, 44100, ""},
        {"same rate chosen", "", 48000, 0, 0, 0, 0, 48000, ""},
    };
    EncoderTable *encoder = LoadEncoder("mp3");
    encoder->FixFreqCallback = HandleFixFreq;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixFreq = FixFreqDouble{};
        fixFreq.encoder = encoder;
        fixFreq.setRate = c.setRate;
        int show = 0;
        ASSERT_EQ(encoder->StringToParams(c.params, &fixFreq.params, &show), 1);
        Signal signal{c.inputRate, 2, 16, c.inputRate / 2};
        std::string pcm = PcmBytes(Quantize(Synthesize(2, c.inputRate, signal.frames), 16), 16);
        WAVEFORMATEX format = FormatOf(signal);
        int wantStandard = 0;
        fs::path output = folder / "rate.mp3";
        std::error_code ignored;
        fs::remove(output, ignored);
        ASSERT_EQ(encoder->Open(output.c_str(), fixFreq.params, &format, &wantStandard),
                  c.openResult);
        EXPECT_EQ(fixFreq.calls, c.calls);
        if (c.calls > 0) {
            EXPECT_EQ(fixFreq.sourceRate, static_cast<int>(c.inputRate));
            EXPECT_EQ(fixFreq.wantedRate, c.wantedRate);
            EXPECT_EQ(fixFreq.textAfter, c.textAfter);
        }
        if (c.openResult == 0) {
            size_t block = static_cast<size_t>(encoder->GetBlockSize());
            size_t done = 0;
            for (; done + block <= pcm.size(); done += block)
                ASSERT_EQ(encoder->Encode(pcm.data() + done), 0);
            encoder->EncodeLast(pcm.data() + done, static_cast<int>(pcm.size() - done));
            encoder->Close();
            EXPECT_EQ(ProbeAudio(output, folder / "probe").rate, c.fileRate);
        } else {
            EXPECT_FALSE(fs::exists(output));
        }
        encoder->FreeParams(&fixFreq.params);
    }
    encoder->FixFreqCallback = nullptr;
}

// ---- Failures ----

TEST_F(Encoders, OpenRefusesWhatItCannotEncodeAndLeavesNoFile) {
    struct Case {
        const char *name;
        const char *encoder;
        const char *params;
        WAVEFORMATEX format;
        int result;
    } cases[] = {
        {"mp3 with 9 channels", "mp3", "", {1, 9, 48000, 864000, 18, 16, 0}, KN_ERR_ENCODER_INPUT},
        {"opus asked to make 5.1 of stereo",
         "opus",
         "c:6",
         {1, 2, 48000, 192000, 4, 16, 0},
         KN_ERR_ENCODER_INPUT},
        {"flac with 9 channels",
         "flac",
         "",
         {1, 9, 48000, 864000, 18, 16, 0},
         KN_ERR_ENCODER_INPUT},
        {"opus with float samples",
         "opus",
         "",
         {3, 2, 48000, 384000, 8, 32, 0},
         KN_ERR_ENCODER_INPUT},
        {"vorbis with 12-bit samples",
         "vorbis",
         "",
         {1, 2, 48000, 192000, 4, 12, 0},
         KN_ERR_ENCODER_INPUT},
        {"flac with a wrong block align",
         "flac",
         "",
         {1, 2, 48000, 192000, 5, 16, 0},
         KN_ERR_ENCODER_INPUT},
        {"flac at 2 MHz", "flac", "", {1, 2, 2000000, 8000000, 4, 16, 0}, KN_ERR_ENCODER_INPUT},
        {"vorbis at 500 kbps for 8 kHz mono",
         "vorbis",
         "b:500",
         {1, 1, 8000, 16000, 2, 16, 0},
         KN_ERR_ENCODER_SETUP},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EncoderTable *encoder = LoadEncoder(c.encoder);
        void *params = nullptr;
        int show = 0;
        ASSERT_EQ(encoder->StringToParams(c.params, &params, &show), 1);
        WAVEFORMATEX format = c.format;
        int wantStandard = 0;
        fs::path output = folder / "refused";
        EXPECT_EQ(encoder->Open(output.c_str(), params, &format, &wantStandard), c.result);
        EXPECT_FALSE(fs::exists(output));
        EXPECT_NE(
            encoder->Encode(std::string(static_cast<size_t>(encoder->GetBlockSize()), '\0').data()),
            0); // nothing is open
        encoder->Close();
        encoder->FreeParams(&params);
    }
}

TEST_F(Encoders, AnOutputThatCannotBeCreatedIsReported) {
    Signal signal{44100, 2, 16, 0};
    for (const char *name : kEncoders) {
        WAVEFORMATEX format = FormatOf(signal);
        int wantStandard = 0;
        fs::path missing = folder / "no folder" / "out";
        EXPECT_EQ(LoadEncoder(name)->Open(missing.c_str(), nullptr, &format, &wantStandard),
                  KN_ERR_OUTPUT_CREATE)
            << name;
        EXPECT_FALSE(fs::exists(missing.parent_path())) << name;
    }
}

TEST_F(Encoders, AFullDiskFailsTheEncoding) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    Signal signal{44100, 2, 16, 44100 * 10};
    std::string pcm = PcmBytes(Quantize(Synthesize(2, signal.rate, signal.frames, 0.05), 16), 16);
    for (const char *name : kEncoders) {
        SCOPED_TRACE(name);
        EncoderTable *encoder = LoadEncoder(name);
        WAVEFORMATEX format = FormatOf(signal);
        int wantStandard = 0;
        int opened = encoder->Open("/dev/full", nullptr, &format, &wantStandard);
        // The headers alone may already fill the file's buffer and fail at Open.
        if (opened != 0) {
            EXPECT_EQ(opened, KN_ERR_OUTPUT_CREATE);
            continue;
        }
        size_t block = static_cast<size_t>(encoder->GetBlockSize());
        size_t done = 0;
        while (done + block <= pcm.size() && encoder->Encode(pcm.data() + done) == 0)
            done += block;
        EXPECT_LT(done + block, pcm.size()) << "ten seconds went into a full disk";
        EXPECT_NE(encoder->Encode(pcm.data()), 0) << "a failed output takes more blocks";
        encoder->EncodeLast(pcm.data(), 1000);
        encoder->Close();
        EXPECT_TRUE(fs::exists("/dev/full"));
    }
}

} // namespace
