// The codec plug-ins through the console program. Every file kernova writes is read back by a
// decoder that is not ours (ffmpeg), and every file it reads was made by an encoder that is not
// ours or is read by ffmpeg too, so that a fault on both sides of a round trip cannot cancel out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

const char *const kEncoders[] = {"wave", "flac", "mp3", "vorbis", "opus"};

std::string RawFormat(int bits) {
    return bits == 8 ? "u8" : "s" + std::to_string(bits) + "le";
}

// The command of an outside coder, by the name a row gives, making `out` from `in`.
std::string Tool(const std::string &tool, const std::string &in, const std::string &out) {
    static const std::map<std::string, std::string> commands = {
        {"flac", "flac -s -f -o {out} {in}"},
        {"flac-pipe", "flac -s -c {in} | cat > {out}"}, // cannot go back to fill in the length
        {"lame", "lame --quiet -b 192 {in} {out}"},
        {"mp2", "ffmpeg -nostdin -v error -y -i {in} -c:a mp2 -b:a 256k {out}"},
        {"oggenc", "oggenc -Q -q 6 -o {out} {in}"},
        {"opusenc", "opusenc --quiet --bitrate 128 {in} {out}"},
        {"sox", "sox {in} {out}"},
        {"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -c:a copy {out}"},
        {"rf64", "ffmpeg -nostdin -v error -y -i {in} -c:a copy -rf64 always -f wav {out}"}};
    std::string command = commands.at(tool);
    command.replace(command.find("{in}"), 4, Quote(in));
    command.replace(command.find("{out}"), 5, Quote(out));
    return command;
}

class CodecE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools({"sox", "ffmpeg", "ffprobe", "flac", "lame", "oggenc", "opusenc"}))
            GTEST_SKIP() << "sox, ffmpeg, ffprobe, flac, lame, oggenc or opusenc is missing";
        for (const char *decoder : {"wave", "flac", "mp3", "vorbis", "opus", "sndfile"})
            ASSERT_TRUE(sb.AddBuiltPlugin(std::string("plugins/in/") + decoder)) << decoder;
        haveFfmpeg = sb.AddBuiltPlugin("plugins/in/ffmpeg"); // none in the Windows builds
        for (const char *encoder : kEncoders)
            ASSERT_TRUE(sb.AddBuiltPlugin(std::string("plugins/out/") + encoder)) << encoder;
        sb.AddFake("fake_output", "plugins/out/WinAMP", "DirectSound");
        sb.env["DIRECTSOUND_CAPTURE"] = sb.root + "/played.raw";
    }

    // src.wav of the shape: the signal, with noise and extremes for lossless coders, made at
    // `madeBits` (0: the shape's) and shifted up to the shape's depth; the samples.
    std::vector<int64_t> WriteSource(const WavShape &shape, bool lossless,
                                     const char *name = "src.wav", int madeBits = 0) {
        const int made = madeBits ? madeBits : shape.bits;
        std::vector<int64_t> values = Quantize(Signal(shape, lossless ? 0.1 : 0, lossless), made);
        for (int64_t &v : values)
            v *= int64_t{1} << (shape.bits - made);
        sb.WriteFile(name, WavFile(shape, PcmBytes(values, shape.bits)));
        return values;
    }

    // coded.<extension> from src.wav: with an outside tool, or with kernova and its encoder.
    void Encode(const char *tool, const char *params, const std::string &coded) {
        if (tool) {
            ASSERT_TRUE(Shell(Tool(tool, sb.Path("src.wav"), sb.Path(coded)))) << tool;
            return;
        }
        Lines args = {"-I", "src.wav", "-O", coded};
        if (params && *params)
            args.insert(args.end(), {"-ENCPARAM", params});
        const RunResult run = sb.Run(args);
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    }

    std::string Played() const { return sb.ReadFile(sb.root + "/played.raw"); }

    Sandbox sb;
    bool haveFfmpeg = false;
};

struct RoundTrip {
    const char *tool; // shell command making {out} from {in}; null: kernova, -ENCPARAM params
    const char *params;
    const char *file;  // the coded file
    const char *codec; // its codec by ffprobe
    WavShape shape;    // of the source
    uint32_t rate;     // of the decoded stream
    uint16_t channels;
    uint16_t bits;    // of the samples our decoder gives
    double minSnr;    // 0: lossless, bit for bit; else the SNR against the signal
    size_t slack;     // frames a lossy codec may add or drop
    int madeBits = 0; // the source's samples made at this depth (their low bits zero)
};

// The frames that lossy decoders may add or drop: MP3 1152 per frame plus LAME's 576 and the
// decoder's 529 of delay; Vorbis one long block of 2048; Opus one 960 frame plus the 312 of
// pre-skip.
constexpr size_t kMp3Slack = 1152 + 576 + 529, kVorbisSlack = 2048, kOpusSlack = 960 + 312;

// SNR thresholds lie about 7 dB or more below what each encoder reaches on these tones, so they
// hold across library versions, while a channel in the wrong place, samples of the wrong depth
// or byte order, or a wrong rate give 0 dB or less. Reached: MP3 V2 52 dB, CBR 128 and ABR 160
// 79, CBR 64 after resampling 73, 8-bit input 39 (its own quantisation noise), stereo mixed to
// mono 43; Vorbis q5 and 128 kbps 38-44, q-1 20; Opus 96 to 320 kbps 40, voip from 16 kHz (SILK,
// a speech coder) 15. The LFE channel of 5.1 is coded with a narrow band and a gain of its own.
const RoundTrip kRoundTrips[] = {
    {nullptr, "", "a.flac", "flac", {44100, 1, 16, 20000}, 44100, 1, 16, 0, 0},
    {nullptr, "l:8", "a.flac", "flac", {48000, 2, 16, 24001}, 48000, 2, 16, 0, 0},
    {nullptr, "l:0", "a.flac", "flac", {96000, 6, 24, 30000}, 96000, 6, 24, 0, 0},
    {nullptr, "", "a.flac", "flac", {44100, 2, 8, 10000}, 44100, 2, 16, 0, 0},
    {nullptr, "", "a.flac", "flac", {44100, 2, 32, 10000}, 44100, 2, 24, 0, 0},
    {nullptr, "b:16", "a.flac", "flac", {44100, 2, 24, 10000}, 44100, 2, 16, 0, 0},
    {nullptr, "b:16", "a.flac", "flac", {44100, 2, 24, 10000}, 44100, 2, 16, 0, 0, 16},
    {nullptr, "l:0 b:24", "a.flac", "flac", {44100, 2, 24, 10000}, 44100, 2, 24, 0, 0},
    {nullptr, "b:24", "a.flac", "flac", {44100, 2, 16, 10000}, 44100, 2, 24, 0, 0},
    {nullptr, "", "a.wav", "pcm_s24le", {96000, 6, 24, 9601}, 96000, 6, 24, 0, 0},
    {nullptr, "", "a.wav", "pcm_u8", {22050, 1, 8, 2205}, 22050, 1, 8, 0, 0},
    {nullptr, "", "a.wav", "pcm_s32le", {48000, 8, 32, 4801}, 48000, 8, 32, 0, 0},
    // Rates off the common list (speech, MPEG-2 Layer III, odd and very high ones) pass unchanged.
    {nullptr, "", "a.flac", "flac", {9000, 1, 16, 2700}, 9000, 1, 16, 0, 0},
    {nullptr, "", "a.wav", "pcm_s16le", {9000, 1, 16, 2700}, 9000, 1, 16, 0, 0},
    {nullptr, "", "a.flac", "flac", {12000, 2, 24, 3600}, 12000, 2, 24, 0, 0},
    {nullptr, "", "a.wav", "pcm_s24le", {12000, 2, 24, 3600}, 12000, 2, 24, 0, 0},
    {nullptr, "", "a.flac", "flac", {24000, 1, 16, 7200}, 24000, 1, 16, 0, 0},
    {nullptr, "", "a.wav", "pcm_s16le", {24000, 1, 16, 7200}, 24000, 1, 16, 0, 0},
    {nullptr, "", "a.flac", "flac", {12345, 3, 16, 3704}, 12345, 3, 16, 0, 0},
    {nullptr, "", "a.wav", "pcm_s16le", {12345, 3, 16, 3704}, 12345, 3, 16, 0, 0},
    {nullptr, "", "a.flac", "flac", {384000, 2, 24, 38400}, 384000, 2, 24, 0, 0},
    {nullptr, "", "a.wav", "pcm_s24le", {384000, 2, 24, 38400}, 384000, 2, 24, 0, 0},
    {nullptr, "", "a.flac", "flac", {768000, 1, 16, 76800}, 768000, 1, 16, 0, 0},
    {nullptr, "", "a.wav", "pcm_s16le", {768000, 1, 16, 76800}, 768000, 1, 16, 0, 0},
    {"rf64", nullptr, "b.wav", "pcm_s16le", {44100, 2, 16, 4410}, 44100, 2, 16, 0, 0},
    {"ffmpeg", nullptr, "b.wav", "pcm_s32le", {48000, 3, 32, 4801}, 48000, 3, 32, 0, 0},
    {"flac", nullptr, "a.flac", "flac", {22050, 1, 8, 8193}, 22050, 1, 8, 0, 0},
    {"flac", nullptr, "a.flac", "flac", {8000, 1, 16, 3}, 8000, 1, 16, 0, 0},
    {"flac-pipe", nullptr, "a.flac", "flac", {44100, 2, 16, 30001}, 44100, 2, 16, 0, 0},
    {"sox", nullptr, "a.aiff", "pcm_s16be", {44100, 2, 16, 5001}, 44100, 2, 16, 0, 0},
    {"sox", nullptr, "a.aiff", "pcm_s32be", {44100, 2, 32, 5001}, 44100, 2, 32, 0, 0},
    {"sox", nullptr, "a.aifc", "pcm_s24be", {44100, 2, 24, 5001}, 44100, 2, 24, 0, 0},
    {"sox", nullptr, "a.caf", "pcm_s24be", {96000, 6, 24, 9001}, 96000, 6, 24, 0, 0},
    {"sox", nullptr, "a.w64", "pcm_u8", {44100, 2, 8, 5001}, 44100, 2, 8, 0, 0},
    {"rf64", nullptr, "a.rf64", "pcm_s24le", {48000, 2, 24, 7001}, 48000, 2, 24, 0, 0},
    {nullptr, "", "a.mp3", "mp3", {44100, 2, 16, 66150}, 44100, 2, 16, 40, kMp3Slack},
    {nullptr, "m:cbr b:128", "a.mp3", "mp3", {48000, 1, 24, 72000}, 48000, 1, 16, 50, kMp3Slack},
    {nullptr, "m:abr b:160", "a.mp3", "mp3", {44100, 2, 32, 44100}, 44100, 2, 16, 50, kMp3Slack},
    {nullptr, "m:cbr b:128", "a.mp3", "mp3", {32000, 2, 8, 32000}, 32000, 2, 16, 28, kMp3Slack},
    {nullptr, "c:m", "a.mp3", "mp3", {44100, 2, 16, 66150}, 44100, 1, 16, 30, kMp3Slack},
    {nullptr,
     "m:cbr b:64 f:22050",
     "a.mp3",
     "mp3",
     {44100, 2, 16, 66150},
     22050,
     2,
     16,
     50,
     kMp3Slack},
    {nullptr, "", "a.ogg", "vorbis", {44100, 2, 16, 66150}, 44100, 2, 16, 30, kVorbisSlack},
    {nullptr, "b:128", "a.ogg", "vorbis", {48000, 2, 24, 72000}, 48000, 2, 16, 30, kVorbisSlack},
    {nullptr, "q:-1", "a.ogg", "vorbis", {22050, 1, 16, 33075}, 22050, 1, 16, 12, kVorbisSlack},
    {nullptr, "q:5", "a.ogg", "vorbis", {96000, 8, 24, 96000}, 96000, 8, 16, 28, kVorbisSlack},
    {nullptr, "", "a.opus", "opus", {48000, 6, 16, 72000}, 48000, 6, 16, 28, kOpusSlack},
    {nullptr, "b:128", "a.opus", "opus", {44100, 2, 24, 66150}, 48000, 2, 16, 28, kOpusSlack},
    {nullptr, "b:64 a:voip", "a.opus", "opus", {16000, 1, 16, 24000}, 48000, 1, 16, 8, kOpusSlack},
    {"lame", nullptr, "b.mp3", "mp3", {44100, 2, 16, 44100}, 44100, 2, 16, -1, kMp3Slack},
    {"mp2", nullptr, "b.mp2", "mp2", {48000, 2, 16, 48000}, 48000, 2, 16, -1, kMp3Slack},
    {"oggenc", nullptr, "b.ogg", "vorbis", {48000, 6, 16, 30001}, 48000, 6, 16, -1, kVorbisSlack},
    {"opusenc", nullptr, "b.opus", "opus", {44100, 2, 16, 44100}, 48000, 2, 16, -1, kOpusSlack},
};

// A lossless file comes back bit for bit, through our decoder and through ffmpeg; a lossy one
// decodes to the signal at the right rate and length, and our decoder matches ffmpeg's.
TEST_F(CodecE2E, EveryCodecRoundTrip) {
    for (const RoundTrip &c : kRoundTrips) {
        const std::string label = std::string(c.file) + " " + (c.tool ? c.tool : c.params) + " " +
                                  std::to_string(c.shape.bits) + "-bit " +
                                  std::to_string(c.shape.channels) + " ch";
        SCOPED_TRACE(label);
        const bool lossless = c.minSnr == 0;
        const std::vector<int64_t> source = WriteSource(c.shape, lossless, "src.wav", c.madeBits);
        fs::remove(sb.Path(c.file));
        Encode(c.tool, c.params, c.file);
        const std::string coded = sb.Path(c.file);
        EXPECT_EQ(StreamInfo(coded, "codec_name"), c.codec);
        EXPECT_EQ(StreamInfo(coded, "sample_rate"), std::to_string(c.rate));
        EXPECT_EQ(StreamInfo(coded, "channels"), std::to_string(c.channels));
        const RunResult decoded = sb.Run({"-I", c.file, "-O", "back.wav", "-ENC", "wave"});
        ASSERT_EQ(decoded.exitCode, 0) << decoded.out << decoded.err;
        const WavContent back = ReadWav(sb.ReadFile("back.wav"));
        ASSERT_EQ(back.problem, "");
        EXPECT_EQ(std::vector<unsigned>({back.rate, back.channels, back.bits}),
                  std::vector<unsigned>({c.rate, c.channels, c.bits}));
        if (lossless) {
            EXPECT_EQ(DepthChangeFault(source, c.shape.bits, back.data, c.bits), "")
                << "our decode";
            EXPECT_EQ(FirstDifference(back.data, FfmpegDecode(coded, RawFormat(c.bits))), "")
                << "ffmpeg's decode";
            continue;
        }
        const std::vector<double> theirs = ToSignal(FfmpegDecode(coded, "s16le"), 16);
        const std::vector<double> ours = ToSignal(back.data, 16);
        const double expectedFrames = double(c.shape.frames) * c.rate / c.shape.rate;
        EXPECT_NEAR(double(theirs.size()) / c.channels, expectedFrames, double(c.slack));
        EXPECT_NEAR(double(ours.size()) / c.channels, expectedFrames, double(c.slack));
        // The reference is the signal made at the output rate; a mono output of a stereo
        // input is their mean.
        std::vector<double> reference =
            Signal({c.rate, c.shape.channels, 16, size_t(expectedFrames)});
        if (c.channels == 1 && c.shape.channels == 2) {
            for (size_t frame = 0; frame < reference.size() / 2; ++frame)
                reference[frame] = (reference[2 * frame] + reference[2 * frame + 1]) / 2;
            reference.resize(reference.size() / 2);
        }
        for (int channel = 0; channel < c.channels; ++channel) {
            const bool lfe = c.channels >= 6 && channel == 3;
            const ChannelMatch same =
                MatchChannel(ours, theirs, c.channels, channel, 2, c.rate / 20);
            EXPECT_GE(same.snrDb, 50) << "our decode against ffmpeg's, channel " << channel;
            if (c.minSnr < 0)
                continue; // made by an outside encoder: only our decoder is checked
            const ChannelMatch match =
                MatchChannel(theirs, reference, c.channels, channel, 64, c.rate / 20);
            EXPECT_GE(match.snrDb, lfe ? 12 : c.minSnr) << "channel " << channel;
            EXPECT_NEAR(match.gain, 1.0, lfe ? 0.25 : 0.1) << "channel " << channel;
            if (!lfe) {
                EXPECT_LE(std::abs(match.shift), 2) << "channel " << channel;
            }
        }
    }
}

// Each encoder's help names its keys, and each of its test sets writes a file that decodes.
TEST_F(CodecE2E, EveryTestSetOfEveryEncoderDecodesCleanly) {
    WriteSource({44100, 2, 16, 66150}, false);
    const size_t sets[] = {3, 5, 6, 5, 5};
    const char *const keys[] = {"b:<bits> c:<1..8> f:<rate>",
                                "l:<0..8> b:<16|24> c:<1..8> f:<rate>",
                                "m:<cbr|abr|vbr> b:<kbps> v:<0..9> q:<0..9> f:<rate> c:<m|s|j|1|2>",
                                "q:<-1..10> b:<kbps> c:<1..8> f:<rate>",
                                "b:<kbps> x:<0..10> a:<audio|voip|lowdelay> c:<1..8> f:<rate>"};
    for (size_t i = 0; i < std::size(kEncoders); ++i) {
        SCOPED_TRACE(kEncoders[i]);
        const std::string help = sb.Run({"-HELPENC", kEncoders[i]}).out;
        std::istringstream words(keys[i]);
        for (std::string key; words >> key;)
            EXPECT_NE(help.find(key), std::string::npos) << key << " in " << help;
        const std::string folder = std::string("sets_") + kEncoders[i];
        fs::create_directories(sb.Path(folder));
        const RunResult run =
            sb.Run({"-I", "src.wav", "-O", folder + "/", "-ENC", kEncoders[i], "-TESTENC"});
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        size_t written = 0;
        for (const auto &entry : fs::directory_iterator(sb.Path(folder))) {
            ++written;
            EXPECT_NE(FfmpegDecode(entry.path().string(), "s16le"), "") << entry.path();
        }
        EXPECT_EQ(written, sets[i]);
    }
}

// A rate the encoder cannot make or keep goes through the sample-rate fix handler, which -FIXFREQ
// steers: the MP3 encoder knows some rates only; the WAV writer converts to the rate decided.
// The console program shows each message as a notice.
TEST_F(CodecE2E, FixFreqDecidesTheRate) {
    struct Case {
        const char *output;
        uint32_t sourceRate;
        const char *params, *mode;
        Lines messages; // between the decoder choice and the result
        int fileRate;   // 0: no file, the job fails
    };
    const std::string mp3 = sb.Path("fix.mp3"), wav = sb.Path("fix.wav");
    const Case cases[] = {
        // 48000 is of the 8000 family, 22050 of the 11025 family.
        {"fix.mp3", 48000, "f:22050", "0", {"E 82 48000 -> 22050"}, 22050},
        {"fix.mp3", 48000, "f:22050", "1", {"E 81", "M 203 m:vbr v:2 q:3 f:16000"}, 16000},
        {"fix.mp3", 48000, "f:22050", "2", {"E 81", "M 203 m:vbr v:2 q:3 f:48000"}, 48000},
        {"fix.mp3", 48000, "f:22050", "3", {"E 81", "M 203 m:vbr v:2 q:3 f:48000"}, 48000},
        {"fix.mp3", 48000, "f:48000", "3", {}, 48000},
        // LAME picks 16000 Hz for 32 kbit/s; -FIXFREQ 2 keeps the source's rate.
        {"fix.mp3", 44100, "m:cbr b:32", "0", {"E 82 44100 -> 16000"}, 16000},
        {"fix.mp3", 44100, "m:cbr b:32", "2", {"E 81", "M 203 m:cbr b:32 q:3 f:44100"}, 44100},
        // No MP3 carries 96000 Hz.
        {"fix.mp3", 96000, "", "3", {"E 81", "M 203 m:vbr v:2 q:3 f:96000", "E 42 " + mp3}, 0},
        {"fix.wav", 44100, "f:48000", "2", {"E 81", "M 203 f:44100"}, 44100},
        {"fix.wav", 44100, "f:48000", "1", {"E 81", "M 203 f:44100"}, 44100},
        {"fix.wav", 44100, "f:48000", "0", {"E 82 44100 -> 48000"}, 48000},
        {"fix.wav", 48000, "f:44100", "0", {"E 82 48000 -> 44100"}, 44100},
        // 44100 has no neighbour of the 8000 family: the source's rate.
        {"fix.wav", 48000, "f:44100", "1", {"E 81", "M 203 f:48000"}, 48000},
        {"fix.wav", 96000, "f:44100", "1", {}, 44100}, // 96000 is of no family
        {"fix.wav", 96000, "f:44100", "3", {"E 81", "M 203 f:96000"}, 96000},
    };
    for (const Case &c : cases) {
        const std::string label = std::string(c.output) + " from " + std::to_string(c.sourceRate) +
                                  " " + c.params + " -FIXFREQ " + c.mode;
        const std::string output = sb.Path(c.output);
        WriteSource({c.sourceRate, 2, 16, c.sourceRate / 2}, false);
        fs::remove(output);
        const Lines lines = sb.Callbacks({"-I " + sb.Path("src.wav") + " -O " + output +
                                          " -ENCPARAM " + c.params + " -FIXFREQ " + c.mode});
        const auto decoder = std::find(lines.begin(), lines.end(), "M 206 default");
        ASSERT_NE(decoder, lines.end()) << label;
        EXPECT_EQ(Lines(decoder + 1, lines.end() - 2), c.messages) << label;
        EXPECT_EQ(lines.back(), c.fileRate ? "R 1 last=97" : "R 1 last=95") << label;
        EXPECT_EQ(sb.Exists(output), c.fileRate != 0) << label;
        if (!c.fileRate)
            continue;
        EXPECT_EQ(StreamInfo(output, "sample_rate"), std::to_string(c.fileRate)) << label;
        EXPECT_NE(FfmpegDecode(output, "s16le"), "") << label;
        std::string notices;
        for (const std::string &message : c.messages) {
            if (message.rfind("E 82 ", 0) == 0)
                notices += "kernova: notice: sample rates " + message.substr(5) +
                           " belong to different families (-FIXFREQ 1, 2 or 3 fixes this)\n";
            if (message.rfind("M 203 ", 0) == 0)
                notices += "kernova: notice: the sample rate does not suit the encoder; its "
                           "parameters are now: " +
                           message.substr(6) + "\n";
        }
        const RunResult run =
            sb.Run({"-I", "src.wav", "-O", c.output, "-ENCPARAM", c.params, "-FIXFREQ", c.mode});
        EXPECT_EQ(run.err, notices) << label;
        EXPECT_EQ(run.exitCode, 0) << label;
    }
}

// The bytes of a FLAC stream from its first frame on: after "fLaC" and the metadata blocks.
std::string FlacFrames(const std::string &flac) {
    size_t at = 4;
    for (bool last = false; !last && at + 4 <= flac.size();) {
        last = (static_cast<uint8_t>(flac[at]) & 0x80) != 0;
        at += 4 + (size_t(uint8_t(flac[at + 1])) << 16 | size_t(uint8_t(flac[at + 2])) << 8 |
                   uint8_t(flac[at + 3]));
    }
    return flac.substr(std::min(at, flac.size()));
}

// Broken files fail with the decoder's code, naming the file, and leave no output. The Ogg
// files go to the FFmpeg decoder unless -DEC names the Vorbis or Opus one, or the build has none.
TEST_F(CodecE2E, DamagedInputsFailWithTheirCodes) {
    struct Format {
        const char *file, *tool, *keys;
    };
    const Format formats[] = {{"a.flac", "flac", ""},
                              {"a.mp3", "lame", ""},
                              {"a.ogg", "oggenc", " -DEC vorbis"},
                              {"a.opus", "opusenc", " -DEC opus"},
                              {"a.aiff", "sox", ""},
                              {"b.ogg", "oggenc", ""},
                              {"b.opus", "opusenc", ""}};
    const WavShape shape{44100, 2, 16, 4 * 44100};
    WriteSource(shape, true);
    WriteSource({44100, 1, 16, 44100}, true, "mono.wav");
    WriteSource({44100, 2, 24, 44100}, true, "deep.wav");
    std::string random(300000, '\0');
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<char>((i * 7919 + 13) % 251);
    struct Case {
        const Format &format;
        const char *damage; // empty, random, zeros, head, cut, scribbled, mono, deep
        double kept;        // the part of the file the cut leaves
        const char *code;   // the first error line begins with it and the file's name
    };
    const Case cases[] = {
        {formats[0], "empty", 0, "E 33"},
        {formats[1], "empty", 0, "E 34"},
        {formats[2], "empty", 0, "E 35"},
        {formats[3], "empty", 0, "E 36"},
        {formats[4], "empty", 0, "E 37"},
        {formats[5], "empty", 0, haveFfmpeg ? "E 110" : "E 35"},
        {formats[6], "empty", 0, haveFfmpeg ? "E 110" : "E 36"},
        {formats[0], "random", 0, "E 33"},
        {formats[1], "random", 0, "E 34"},
        {formats[2], "random", 0, "E 35"},
        {formats[3], "random", 0, "E 36"},
        {formats[4], "random", 0, "E 37"},
        {formats[1], "zeros", 0, "E 34"},
        {formats[0], "head", 0, "E 33"},
        {formats[3], "head", 0, "E 36"},
        {formats[4], "head", 0, "E 37"},
        {formats[0], "cut", 0.5, "E 38"},
        {formats[0], "scribbled", 0, "E 31"},
        {formats[1], "cut", 0.5, "E 38"},
        {formats[2], "cut", 0.5, "E 38"},
        {formats[2], "scribbled", 0, "E 31"},
        {formats[3], "cut", 0.5, "E 38"},
        {formats[3], "scribbled", 0, "E 31"},
        {formats[3], "cut", 0.05, "E 38"},
        {formats[4], "cut", 0.5, "E 38"},
        // The frames lost to the damage leave the stream short of its header too.
        {formats[1], "scribbled", 0, "E 38"},
        // Frames that contradict the stream information: other channels, another depth.
        {formats[0], "mono", 0, "E 31"},
        {formats[0], "deep", 0, "E 31"},
    };
    for (const Case &c : cases) {
        const std::string label = std::string(c.format.file) + c.format.keys + " " + c.damage +
                                  " " + std::to_string(c.kept);
        SCOPED_TRACE(label);
        Encode(c.format.tool, nullptr, c.format.file);
        std::string bytes = sb.ReadFile(c.format.file);
        const std::string damage = c.damage;
        if (damage == "empty")
            bytes.clear();
        else if (damage == "random")
            bytes = random;
        else if (damage == "zeros")
            bytes = std::string(5000, '\0');
        else if (damage == "head")
            bytes.resize(10);
        else if (damage == "cut")
            bytes.resize(size_t(double(bytes.size()) * c.kept));
        else if (damage == "scribbled")
            for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i)
                bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
        else {
            ASSERT_TRUE(
                Shell(Tool(c.format.tool, sb.Path(damage + ".wav"), sb.Path("other.flac"))));
            bytes += FlacFrames(sb.ReadFile("other.flac"));
        }
        sb.WriteFile(c.format.file, bytes);
        fs::remove(sb.Path("out.wav"));
        const std::string input = sb.Path(c.format.file);
        const Lines lines =
            sb.Callbacks({"-I " + input + " -O " + sb.Path("out.wav") + c.format.keys});
        const auto error = std::find_if(lines.begin(), lines.end(), [](const std::string &line) {
            return line.rfind("E ", 0) == 0;
        });
        ASSERT_NE(error, lines.end()) << lines.back();
        EXPECT_EQ(error->substr(0, std::string(c.code).size() + input.size() + 1),
                  c.code + (" " + input));
        EXPECT_EQ(lines.back(), "R 1 last=95");
        EXPECT_FALSE(sb.Exists("out.wav"));
    }
    const Lines missing = sb.Callbacks({"-I " + sb.Path("missing.flac") + " -O out.wav -STREAM"});
    EXPECT_TRUE(Contains(missing, "E 30 " + sb.Path("missing.flac")));
}

// A 3 s source in each format whose header states its length, made by the format's own tools,
// and two without a stated length (an MP3 without an Info tag, a WAV written into a pipe).
struct CutSource {
    const char *file;
    const char *command;           // makes `file` from src.wav, in the work folder
    const char *promise;           // what the error line says about the length the file states
    const char *decoder = nullptr; // named by -DEC (the Ogg files go to FFmpeg otherwise)
};
const CutSource kCutSources[] = {
    {"t.wav", "cp src.wav t.wav", "of 3.00 s (the header promises 132300 frames, "},
    {"t.aiff", "sox src.wav t.aiff", "of 3.00 s (the header promises 132300 frames, "},
    {"t.w64", "sox src.wav t.w64", "of 3.00 s (the header promises 132300 frames, "},
    {"t.rf64", "ffmpeg -v error -i src.wav -rf64 always -f wav t.rf64",
     "of 3.00 s (the header promises 132300 frames, "},
    {"t.flac", "flac -s -o t.flac src.wav", "of 3.00 s (the header promises 132300 frames, "},
    {"t.mp3", "lame --quiet src.wav t.mp3", "of 3.00 s (the header promises 132300 frames, "},
    {"t.ogg", "oggenc -Q -o t.ogg src.wav", "the stream ends without its last page, after ",
     "vorbis"},
    {"t.opus", "opusenc --quiet src.wav t.opus", "the stream ends without its last page, after ",
     "opus"},
    {"plain.mp3", "lame --quiet -t src.wav plain.mp3", nullptr},
    {"pipe.wav", "ffmpeg -v error -i src.wav -f wav - >pipe.wav", nullptr},
};

// A cut file must fail with the truncation code, naming the file and the seconds found against
// the seconds promised, and leave nothing behind; the whole file, and a cut one that states no
// length, convert (the latter as far as it goes).
TEST_F(CodecE2E, CutSourcesFailWithWhatTheyHoldAgainstTheirHeader) {
    WriteSource({44100, 2, 16, 3 * 44100}, false);
    for (const CutSource &source : kCutSources) {
        ASSERT_TRUE(Shell("cd " + Quote(sb.work) + " && " + source.command)) << source.command;
        const std::string whole = sb.ReadFile(source.file);
        for (double kept : {1.0, 0.4, 0.7, 0.95}) {
            const std::string name = "cut" + std::to_string(int(kept * 100)) + "_" + source.file;
            SCOPED_TRACE(name);
            sb.WriteFile(name, whole.substr(0, size_t(double(whole.size()) * kept)));
            const std::string output = "out/" + name + ".wav";
            Lines args = {"-I", name, "-O", output};
            if (source.decoder)
                args.insert(args.end(), {"-DEC", source.decoder});
            const RunResult run = sb.Run(args);
            if (kept == 1.0 || source.promise == nullptr) {
                ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
                EXPECT_NEAR(std::stod(StreamInfo(sb.Path(output), "duration")), 3 * kept, 0.1);
                continue;
            }
            EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
            for (const auto &left : fs::directory_iterator(sb.Path("out")))
                EXPECT_EQ(left.path().filename().string().find(name), std::string::npos)
                    << left.path() << " was left";
            const std::string head = "kernova: error: " + sb.Path(name) + ": ";
            const Lines lines = SplitLines(run.err);
            const auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
                return l.rfind(head, 0) == 0;
            });
            ASSERT_NE(at, lines.end()) << run.err;
            const std::string detail = at->substr(head.size());
            EXPECT_NE(detail.find(source.promise), std::string::npos) << detail;
            // The seconds found come first, or last after the missing page.
            const size_t number = detail.find_first_of("0123456789", detail.find("after "));
            EXPECT_LT(std::stod(detail.substr(number == std::string::npos ? 0 : number)),
                      3 * kept + 0.05)
                << detail;
            const Lines probed =
                sb.Callbacks({"-I " + name + " -O " + output +
                              (source.decoder ? std::string(" -DEC ") + source.decoder : "")});
            const auto error = std::find_if(probed.begin(), probed.end(), [](const std::string &l) {
                return l.rfind("E ", 0) == 0;
            });
            ASSERT_NE(error, probed.end());
            EXPECT_EQ(error->rfind("E 38 " + sb.Path(name) + ": ", 0), 0u) << *error;
            EXPECT_EQ(probed.back(), "R 1 last=95");
        }
    }
}

// Played through an output that takes little at a time, every decoder hands over every byte in
// pieces it can take; one that takes nothing more keeps the decoder waiting until the stop.
// Pieces are whole blocks of 4096 frames as long as the output takes them.
TEST_F(CodecE2E, DecodersWaitForTheOutputAndStopWhileWaiting) {
    struct Case {
        const char *file, *tool;
        WavShape shape;
        const char *canWrite;
    };
    const Case cases[] = {
        {"a.flac", "flac", {48000, 6, 24, 3001}, "40"},
        {"a.flac", "flac", {8000, 1, 8, 3001}, "9"},
        {"a.aiff", "sox", {44100, 2, 16, 3001}, "100"},
        {"a.wav", "sox", {44100, 2, 16, 3001}, "12"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " room " + c.canWrite);
        const std::vector<int64_t> values = WriteSource(c.shape, true);
        Encode(c.tool, nullptr, c.file);
        sb.env["DIRECTSOUND_CAN_WRITE"] = c.canWrite;
        fs::remove(sb.root + "/played.raw");
        EXPECT_EQ(sb.Callbacks({"-I " + sb.Path(c.file) + " -PLAY"}).back(), "R 1 last=97");
        EXPECT_EQ(FirstDifference(PcmBytes(values, c.shape.bits), Played()), "");
    }
    sb.env.erase("DIRECTSOUND_CAN_WRITE");
    const WavShape shape{48000, 2, 16, 3 * 48000};
    WriteSource(shape, false);
    const struct {
        const char *file, *tool;
        bool wholeBlocks; // the codec gives whole blocks of 4096 frames
    } formats[] = {{"b.wav", "sox", true},       {"b.flac", "flac", true},
                   {"b.mp3", "lame", true},      {"b.ogg", "oggenc", false},
                   {"b.opus", "opusenc", false}, {"b.aiff", "sox", true}};
    for (const auto &f : formats) {
        SCOPED_TRACE(f.file);
        Encode(f.tool, nullptr, f.file);
        sb.env["DIRECTSOUND_LOG_WRITES"] = "1";
        sb.ClearEvents();
        EXPECT_EQ(sb.Callbacks({"-I " + sb.Path(f.file) + " -PLAY"}).back(), "R 1 last=97");
        Lines writes;
        for (const std::string &event : sb.Events("DirectSound"))
            if (event.rfind("Write ", 0) == 0)
                writes.push_back(event);
        ASSERT_GE(writes.size(), 3u);
        if (f.wholeBlocks) {
            EXPECT_EQ(Lines(writes.begin(), writes.end() - 1),
                      Lines(writes.size() - 1, "Write 16384"))
                << "whole blocks but the last";
        }
        sb.env.erase("DIRECTSOUND_LOG_WRITES");
        sb.env["DIRECTSOUND_STALL_AFTER"] = "65536";
        sb.ClearEvents();
        EXPECT_EQ(sb.Callbacks({"-I " + sb.Path(f.file) + " -PLAY"}).back(), "R 0 last=95");
        sb.env.erase("DIRECTSOUND_STALL_AFTER");
        EXPECT_EQ(CountOf(sb.Events("DirectSound"), "aborted"), 1u);
        Lines closes;
        for (const std::string &event : sb.Events("DirectSound"))
            if (event.rfind("Close bytes=", 0) == 0)
                closes.push_back(event);
        ASSERT_EQ(closes.size(), 1u) << "the stopped decoder closes its output";
        const long recorded = std::stol(closes[0].substr(12));
        EXPECT_GE(recorded, 65536);
        EXPECT_LT(recorded, long(shape.frames * shape.FrameBytes() / 2));
    }
}

} // namespace
