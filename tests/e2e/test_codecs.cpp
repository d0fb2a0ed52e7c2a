// The codec plug-ins through the console program: every file that kernova writes is read back
// with a decoder that is not ours (ffmpeg, ffprobe, sox), so a fault on both sides of a round
// trip cannot cancel out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool Shell(const std::string &command) {
    return std::system(("sh -c " + Quote(command) + " >/dev/null 2>&1").c_str()) == 0;
}

bool HaveTools() {
    return Shell("command -v sox && command -v ffmpeg && command -v ffprobe");
}

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Position of the first line that starts with `prefix`, or -1.
long FindLine(const std::vector<std::string> &lines, const std::string &prefix) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0)
            return static_cast<long>(i);
    return -1;
}

const char *const kDecoders[] = {"wave", "flac", "mp3", "vorbis", "opus", "sndfile", "ffmpeg"};
const char *const kEncoders[] = {"wave", "flac", "mp3", "vorbis", "opus"};

class CodecE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools())
            GTEST_SKIP() << "sox, ffmpeg or ffprobe is not installed";
        for (const char *name : kDecoders)
            box.AddBuiltPlugin(LibraryFile(std::string("plugins/in/") + name));
        for (const char *name : kEncoders)
            box.AddBuiltPlugin(LibraryFile(std::string("plugins/out/") + name));
    }

    // A chord with one tone per channel, over quiet pink noise so that the lossless coders
    // see no long runs of predictable samples.
    void Generate(const std::string &relative, int rate, int channels, int bits, double seconds) {
        const std::string path = box.Path(relative);
        fs::create_directories(fs::path(path).parent_path());
        std::string tones;
        for (int channel = 0; channel < channels; ++channel)
            tones += " sine " + std::to_string(220 + 137 * channel);
        const std::string noise = box.root + NativePath("/noise.wav");
        const std::string chord = box.root + NativePath("/chord.wav");
        const std::string shape = " -r " + std::to_string(rate) + " -c " +
                                  std::to_string(channels) + " -b " + std::to_string(bits) + " ";
        const std::string command = "sox -n" + shape + Quote(noise) + " synth " +
                                    std::to_string(seconds) + " pinknoise vol 0.05 && sox -n" +
                                    shape + Quote(chord) + " synth " + std::to_string(seconds) +
                                    tones + " vol 0.4 && sox -D -m " + Quote(noise) + " " +
                                    Quote(chord) + shape + Quote(path);
        ASSERT_TRUE(Shell(command)) << command;
    }

    // The file decoded by ffmpeg into raw little-endian integers (format "s16le" or
    // "s24le"), optionally resampled to `rate`; empty when ffmpeg fails.
    std::string Raw(const std::string &relative, const std::string &format, int rate = 0) {
        const std::string raw = box.root + NativePath("/decoded.raw");
        fs::remove(raw);
        std::string command = "ffmpeg -v error -nostdin -y -i " + Quote(box.Path(relative));
        if (rate != 0)
            command += " -ar " + std::to_string(rate);
        command += " -f " + format + " " + Quote(raw);
        if (!Shell(command))
            return "";
        return box.ReadFile(raw);
    }

    std::vector<int16_t> Samples16(const std::string &relative) {
        const std::string raw = Raw(relative, "s16le");
        std::vector<int16_t> samples(raw.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<int16_t>(static_cast<uint8_t>(raw[2 * i]) |
                                              static_cast<uint8_t>(raw[2 * i + 1]) << 8);
        return samples;
    }

    // One property of the first audio stream as ffprobe sees it (sample_rate, channels, ...).
    std::string Probe(const std::string &relative, const std::string &entry) {
        const std::string answer = box.root + NativePath("/ffprobe.txt");
        fs::remove(answer);
        Shell("ffprobe -v error -select_streams a:0 -show_entries stream=" + entry +
              " -of default=noprint_wrappers=1:nokey=1 " + Quote(box.Path(relative)) + " >" +
              Quote(answer));
        std::string text = box.ReadFile(answer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

    // True when ffmpeg decodes the whole file without a single complaint.
    bool DecodesCleanly(const std::string &relative, std::string &complaints) {
        const std::string log = box.root + NativePath("/ffmpeg.log");
        const bool ran = Shell("ffmpeg -v error -nostdin -i " + Quote(box.Path(relative)) +
                               " -f null - 2>" + Quote(log));
        complaints = box.ReadFile(log);
        return ran && complaints.empty();
    }

    Sandbox box;
};

// ---------------------------------------------------------------- lossless round trip

struct LosslessCase {
    int bits;
    int channels;
    int rate;
};

class CodecLosslessE2E : public CodecE2E, public ::testing::WithParamInterface<LosslessCase> {};

TEST_P(CodecLosslessE2E, WaveToFlacToWaveKeepsEverySample) {
    const LosslessCase shape = GetParam();
    const std::string format = shape.bits == 16 ? "s16le" : "s24le";
    Generate("in/source.wav", shape.rate, shape.channels, shape.bits, 0.75);
    RunResult encoded = box.Run({"-I", "in/source.wav", "-O", "flac/source.flac"});
    ASSERT_EQ(encoded.exitCode, 0) << encoded.out << encoded.err;
    RunResult decoded = box.Run({"-I", "flac/source.flac", "-O", "back/source.wav"});
    ASSERT_EQ(decoded.exitCode, 0) << decoded.out << decoded.err;

    EXPECT_EQ(Probe("flac/source.flac", "codec_name"), "flac");
    EXPECT_EQ(Probe("flac/source.flac", "sample_rate"), std::to_string(shape.rate));
    EXPECT_EQ(Probe("flac/source.flac", "channels"), std::to_string(shape.channels));
    EXPECT_EQ(Probe("flac/source.flac", "bits_per_raw_sample"), std::to_string(shape.bits));
    EXPECT_EQ(Probe("back/source.wav", "bits_per_sample"), std::to_string(shape.bits));
    const std::string source = Raw("in/source.wav", format);
    ASSERT_GT(source.size(), 0u);
    // The FLAC file itself, read by ffmpeg's decoder, and the WAV that came back through ours.
    EXPECT_TRUE(Raw("flac/source.flac", format) == source) << "FLAC samples differ";
    EXPECT_TRUE(Raw("back/source.wav", format) == source) << "round-trip samples differ";
}

std::vector<LosslessCase> AllLosslessShapes() {
    std::vector<LosslessCase> shapes;
    for (int bits : {16, 24})
        for (int channels : {1, 2, 6})
            for (int rate : {44100, 48000, 96000})
                shapes.push_back({bits, channels, rate});
    return shapes;
}

INSTANTIATE_TEST_SUITE_P(CodecShapes, CodecLosslessE2E, ::testing::ValuesIn(AllLosslessShapes()),
                         [](const ::testing::TestParamInfo<LosslessCase> &info) {
                             return std::to_string(info.param.bits) + "bit_" +
                                    std::to_string(info.param.channels) + "ch_" +
                                    std::to_string(info.param.rate);
                         });

// Rates off the common list (speech, MPEG-2 Layer III, odd and very high ones) pass unchanged.
TEST_F(CodecE2E, PcmAtAnyRateConvertsToFlacAndWav) {
    const LosslessCase cases[] = {{16, 1, 9000},  {24, 2, 12000},  {16, 1, 24000},
                                  {16, 3, 12345}, {24, 2, 384000}, {16, 1, 768000}};
    for (const LosslessCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz");
        const std::string format = c.bits == 16 ? "s16le" : "s24le";
        Generate("in/any.wav", c.rate, c.channels, c.bits, 0.3);
        const std::string source = Raw("in/any.wav", format);
        ASSERT_GT(source.size(), 0u);
        for (const std::string output : {"out/any.flac", "out/any.wav"}) {
            const RunResult run = box.Run({"-I", "in/any.wav", "-O", output});
            ASSERT_EQ(run.exitCode, 0) << output << run.out << run.err;
            EXPECT_EQ(Probe(output, "sample_rate"), std::to_string(c.rate)) << output;
            EXPECT_TRUE(Raw(output, format) == source) << output << ": samples differ";
        }
    }
}

// ---------------------------------------------------------------- lossy encoders

// Signal-to-noise ratio in dB of `decoded` against `source` (interleaved, same channel
// count), at the lag that matches them best; the codecs' delays need not be compensated.
double BestSnr(const std::vector<int16_t> &source, const std::vector<int16_t> &decoded,
               int channels, int maxLag) {
    double best = -100;
    const long frames = static_cast<long>(source.size()) / channels;
    const long decodedFrames = static_cast<long>(decoded.size()) / channels;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double signal = 0, noise = 0;
        // Leave out the first and last 10% where the codecs fade in and out.
        for (long frame = frames / 10; frame < frames - frames / 10; ++frame) {
            const long other = frame + lag;
            if (other < 0 || other >= decodedFrames)
                continue;
            for (int channel = 0; channel < channels; ++channel) {
                const double s = source[frame * channels + channel];
                const double d = decoded[other * channels + channel];
                signal += s * s;
                noise += (s - d) * (s - d);
            }
        }
        if (signal > 0)
            best = std::max(best, 10 * std::log10(signal / std::max(noise, 1.0)));
    }
    return best;
}

struct LossyCase {
    const char *name;
    const char *encoder;
    const char *extension;
    const char *params;
    int rate;     // of the source and of the decoded file
    int channels; // of the source and of the output
    int slack;    // samples per channel: one codec frame plus the codec's delay
    double minSnr;
};

// The test signal is a chord (one tone per channel) over pink noise about 18 dB below it. A
// broken path (swapped or misordered channels, a lost or doubled block, wrong byte order, a
// wrong rate) leaves under 3 dB, so each threshold sits well below what the codec reaches on
// this signal (measured, in brackets) and far above that:
// - mp3 V2 stereo (~190 kbit/s) [42 dB]: transparent mode, codes the noise floor too; 30 dB.
//   mp3 CBR 128 mono [26 dB]: LAME lowpasses the noise's top band at this bitrate and
//   quantises the rest coarser; 18 dB. Slack: frame 1152, encoder delay 576, decoder 529.
// - vorbis q5 (~160 kbit/s) [35-37 dB]: transform coder with noise normalisation close to
//   transparent; 25 dB. Slack: a long block of 2048; granule positions trim the delay.
// - opus 128 stereo / 96 mono [32-33 dB]: CELT rebuilds part of the noise band by energy, not
//   waveform, so it stays lowest; 22 dB. Slack: frame 960 and pre-skip 312 at 48 kHz.
const LossyCase kLossyCases[] = {
    {"Mp3Vbr2Stereo", "mp3", "mp3", "m:vbr v:2", 44100, 2, 1152 + 576 + 529, 30},
    {"Mp3Cbr128Mono", "mp3", "mp3", "m:cbr b:128", 44100, 1, 1152 + 576 + 529, 18},
    {"VorbisQ5Stereo", "vorbis", "ogg", "q:5", 44100, 2, 2048, 25},
    {"VorbisQ5Mono48k", "vorbis", "ogg", "q:5", 48000, 1, 2048, 25},
    {"Opus128Stereo", "opus", "opus", "b:128", 48000, 2, 960 + 312, 22},
    {"Opus96Mono", "opus", "opus", "b:96", 48000, 1, 960 + 312, 22},
};

TEST_F(CodecE2E, LossyOutputsDecodeWithTheirShapeLengthAndSnr) {
    for (const LossyCase &c : kLossyCases) {
        SCOPED_TRACE(c.name);
        const std::string source = std::string("in/") + c.name + ".wav";
        const std::string output = std::string("out/") + c.name + "." + c.extension;
        Generate(source, c.rate, c.channels, 16, 3);
        RunResult result =
            box.Run({"-I", source, "-O", output, "-ENC", c.encoder, "-ENCPARAM", c.params});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(Probe(output, "codec_name"), c.encoder == std::string("mp3")      ? "mp3"
                                               : c.encoder == std::string("vorbis") ? "vorbis"
                                                                                    : "opus");
        EXPECT_EQ(Probe(output, "sample_rate"), std::to_string(c.rate));
        EXPECT_EQ(Probe(output, "channels"), std::to_string(c.channels));
        const std::vector<int16_t> original = Samples16(source);
        const std::vector<int16_t> decoded = Samples16(output);
        ASSERT_GT(decoded.size(), 0u);
        const long sourceFrames = static_cast<long>(original.size()) / c.channels;
        const long decodedFrames = static_cast<long>(decoded.size()) / c.channels;
        EXPECT_LE(std::labs(decodedFrames - sourceFrames), c.slack)
            << "source " << sourceFrames << " frames, decoded " << decodedFrames;
        const double snr = BestSnr(original, decoded, c.channels, c.slack);
        EXPECT_GE(snr, c.minSnr) << "SNR " << snr << " dB";
    }
}

// ---------------------------------------------------------------- encoder test sets

struct TestSetCase {
    const char *encoder;
    std::vector<std::string> files;
};

TEST_F(CodecE2E, EveryTestSetOfEveryEncoderDecodesCleanly) {
    const TestSetCase cases[] = {
        {"wave", {"test16.wav", "test24.wav", "test8.wav"}},
        {"flac",
         {"test_l0.flac", "test_l5.flac", "test_l8.flac", "test_l5_16bit.flac",
          "test_l5_24bit.flac"}},
        {"mp3",
         {"test_v2.mp3", "test_v6_q5.mp3", "test_cbr128.mp3", "test_cbr320_q0.mp3",
          "test_abr96_mono.mp3", "test_cbr64_22050.mp3"}},
        {"vorbis",
         {"test_q-1.ogg", "test_q5.ogg", "test_q10.ogg", "test_b96.ogg", "test_b192.ogg"}},
        {"opus",
         {"test_voip32.opus", "test_b64.opus", "test_b128.opus", "test_b128_x0.opus",
          "test_lowdelay96.opus"}},
    };
    Generate("test.wav", 44100, 2, 16, 1.5);
    for (const TestSetCase &c : cases) {
        SCOPED_TRACE(c.encoder);
        const std::string folder = std::string("sets_") + c.encoder + NativePath("/");
        fs::create_directories(box.Path(folder));
        RunResult result = box.Run({"-I", "test.wav", "-O", folder, "-ENC", c.encoder, "-TESTENC"});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        size_t written = 0;
        for (const auto &entry : fs::directory_iterator(box.Path(folder)))
            written += entry.is_regular_file() ? 1 : 0;
        EXPECT_EQ(written, c.files.size()) << result.out;
        for (const std::string &file : c.files) {
            SCOPED_TRACE(file);
            ASSERT_TRUE(box.Exists(folder + file)) << result.out;
            std::string complaints;
            EXPECT_TRUE(DecodesCleanly(folder + file, complaints)) << complaints;
        }
    }
}

// ---------------------------------------------------------------- -FIXFREQ with LAME

struct FixFreqCase {
    const char *mode;
    int fileRate;
    std::string notice; // the one line on stderr: a notice, the job succeeds
};

TEST_F(CodecE2E, FixFreqModesDecideTheMp3Rate) {
    // 48000 is of the 8000 family, 22050 of the 11025 family: every mode sees a family change.
    const std::string changed =
        "kernova: notice: the sample rate does not suit the encoder; its parameters are now: ";
    const FixFreqCase cases[] = {
        {"0", 22050,
         "kernova: notice: sample rates 48000 -> 22050 belong to different families (-FIXFREQ 1, "
         "2 or 3 fixes this)"},
        // The neighbour of 22050 downwards, as the source is higher.
        {"1", 16000, changed + "m:vbr v:2 q:3 f:16000"},
        {"2", 48000, changed + "m:vbr v:2 q:3 f:48000"},
        {"3", 48000, changed + "m:vbr v:2 q:3 f:48000"},
    };
    Generate("in/48k.wav", 48000, 2, 16, 1);
    for (const FixFreqCase &c : cases) {
        SCOPED_TRACE(std::string("mode ") + c.mode);
        const std::string output = std::string("out/fix") + c.mode + ".mp3";
        RunResult result = box.Run({"-I", NativePath("in/48k.wav"), "-O", NativePath(output),
                                    "-ENC", "mp3", "-ENCPARAM", "f:22050", "-FIXFREQ", c.mode});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(result.err, c.notice + "\n");
        EXPECT_EQ(Probe(output, "sample_rate"), std::to_string(c.fileRate));
        std::string complaints;
        EXPECT_TRUE(DecodesCleanly(output, complaints)) << complaints;
    }
}

// ---------------------------------------------------------------- damaged inputs

struct DamagedCase {
    const char *name;
    const char *file;
    const char *output;
    const char *code; // the decoder's error line
};

TEST_F(CodecE2E, UnreadableInputsFailWithTheirCodes) {
    std::string garbage;
    for (int i = 0; i < 20000; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 251 & 0x7f); // no MPEG sync bytes
    box.WriteFile("bad/garbage.mp3", garbage);
    box.WriteFile("bad/garbage.flac", garbage);
    box.WriteFile("bad/empty.ogg", "");
    box.WriteFile("bad/empty.opus", "");
    const DamagedCase cases[] = {
        {"garbage MP3", "bad/garbage.mp3", "out/garbage.wav", "E 34"},
        {"garbage FLAC", "bad/garbage.flac", "out/garbage.wav", "E 33"},
        {"empty Ogg", "bad/empty.ogg", "out/empty.wav", "E 110"},
        {"empty Opus", "bad/empty.opus", "out/empty.wav", "E 110"},
    };
    for (const DamagedCase &c : cases) {
        SCOPED_TRACE(c.name);
        RunResult run = box.Run({"-I", c.file, "-O", c.output});
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err; // 1, not a signal
        RunResult probed = box.Probe({std::string("-I ") + c.file + " -O " + c.output});
        const std::vector<std::string> lines = SplitLines(probed.out);
        EXPECT_TRUE(Contains(lines, c.code + (" " + std::string(c.file)))) << probed.out;
        EXPECT_TRUE(Contains(lines, "R 1 last=95")) << probed.out;
        EXPECT_FALSE(box.Exists(c.output));
    }
}

// A 3 s source in each format whose header states its length, made by the format's own tools,
// and two without a stated length (an MP3 without an Info tag, a WAV written into a pipe).
struct CutSource {
    const char *file;
    const char *command; // makes `file` from src.wav, in the work folder
    const char *promise; // what the error line says about the length the file states
};
const CutSource kCutSources[] = {
    {"t.wav", "cp src.wav t.wav", "of 3.00 s (the header promises 132300 frames, "},
    {"t.aiff", "sox src.wav t.aiff", "of 3.00 s (the header promises 132300 frames, "},
    {"t.w64", "sox src.wav t.w64", "of 3.00 s (the header promises 132300 frames, "},
    {"t.rf64", "ffmpeg -v error -i src.wav -rf64 always -f wav t.rf64",
     "of 3.00 s (the header promises 132300 frames, "},
    {"t.flac", "flac -s -o t.flac src.wav", "of 3.00 s (the header promises 132300 frames, "},
    {"t.mp3", "lame --quiet src.wav t.mp3", "of 3.00 s (the header promises 132300 frames, "},
    {"t.ogg", "oggenc -Q -o t.ogg src.wav", "the stream ends without its last page, after "},
    {"t.opus", "opusenc --quiet src.wav t.opus", "the stream ends without its last page, after "},
    {"plain.mp3", "lame --quiet -t src.wav plain.mp3", nullptr},
    {"pipe.wav", "ffmpeg -v error -i src.wav -f wav - >pipe.wav", nullptr},
};

// A cut file must fail with the decoder's code for it, naming the file and the seconds found
// against the seconds promised, and leave nothing behind; the whole file, and a cut one that
// states no length, convert (the latter as far as it goes).
TEST_F(CodecE2E, CutSourcesFailWithWhatTheyHoldAgainstTheirHeader) {
    if (!Shell("command -v flac && command -v lame && command -v oggenc && command -v opusenc"))
        GTEST_SKIP() << "flac, lame, oggenc or opusenc is not installed";
    Generate("src.wav", 44100, 2, 16, 3);
    for (const CutSource &source : kCutSources) {
        ASSERT_TRUE(Shell("cd " + Quote(box.work) + " && " + source.command)) << source.command;
        const std::string whole = box.ReadFile(source.file);
        for (double kept : {1.0, 0.4, 0.7, 0.95}) {
            const std::string name = "cut" + std::to_string(int(kept * 100)) + "_" + source.file;
            SCOPED_TRACE(name);
            box.WriteFile(name, whole.substr(0, size_t(double(whole.size()) * kept)));
            const std::string output = "out/" + name + ".wav";
            const RunResult run = box.Run({"-I", name, "-O", output});
            if (kept == 1.0 || source.promise == nullptr) {
                ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
                const double seconds = std::stod(Probe(output, "duration"));
                EXPECT_NEAR(seconds, 3 * kept, 0.1);
                continue;
            }
            EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
            for (const auto &left : fs::directory_iterator(box.Path("out")))
                EXPECT_EQ(left.path().filename().string().find(name), std::string::npos)
                    << left.path() << " was left";
            const std::string head = "kernova: error: " + box.Path(name) + ": ";
            const std::vector<std::string> lines = SplitLines(run.err);
            const long at = FindLine(lines, head);
            ASSERT_GE(at, 0) << run.err;
            const std::string detail = lines[at].substr(head.size());
            EXPECT_NE(detail.find(source.promise), std::string::npos) << detail;
            // The seconds found come first, or last after the missing page.
            const size_t number = detail.find_first_of("0123456789", detail.find("after "));
            EXPECT_LT(std::stod(detail.substr(number == std::string::npos ? 0 : number)),
                      3 * kept + 0.05)
                << detail;
            RunResult probed = box.Probe({"-I " + name + " -O " + output});
            EXPECT_EQ(FindLine(SplitLines(probed.out), "E 38 " + box.Path(name) + ": "),
                      FindLine(SplitLines(probed.out), "E "))
                << probed.out;
            EXPECT_TRUE(Contains(SplitLines(probed.out), "R 1 last=95")) << probed.out;
        }
    }
}

TEST_F(CodecE2E, DamagedFileInTheMiddleOfABatchDoesNotStopIt) {
    Generate("a.wav", 44100, 2, 16, 1);
    ASSERT_EQ(box.Run({"-I", "a.wav", "-O", "batch/a.flac"}).exitCode, 0);
    ASSERT_EQ(box.Run({"-I", "a.wav", "-O", "batch/c.flac"}).exitCode, 0);
    box.WriteFile("batch/b.flac", std::string(5000, 'x'));
    RunResult result = box.Run({"-I", "batch/*.flac", "-O", "out/*.wav"});
    EXPECT_NE(result.exitCode, 0) << result.out << result.err;
    EXPECT_LT(result.exitCode, 128) << "killed by a signal";
    EXPECT_FALSE(box.Exists("out/b.wav"));
    for (const char *file : {"out/a.wav", "out/c.wav"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(box.Exists(file)) << result.out << result.err;
        EXPECT_TRUE(Raw(file, "s16le") == Raw("a.wav", "s16le"));
    }
}

// ---------------------------------------------------------------- trees and automatic choice

TEST_F(CodecE2E, RecursiveCopyEncodesATreeOfFlacToMp3) {
    const std::vector<std::string> files = {"a", "rock/b", "rock/live/c"};
    for (const std::string &file : files) {
        Generate("src/" + file + ".wav", 44100, 2, 16, 1);
        ASSERT_EQ(box.Run({"-I", "src/" + file + ".wav", "-O", "in/" + file + ".flac"}).exitCode,
                  0);
    }
    RunResult result = box.Run({"-I", "in/*.flac", "-O", "mp3/*.mp3", "-RECURSIVE", "copy"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        const std::string output = "mp3/" + file + ".mp3";
        ASSERT_TRUE(box.Exists(output)) << result.out << result.err;
        EXPECT_EQ(Probe(output, "codec_name"), "mp3");
        EXPECT_EQ(Probe(output, "sample_rate"), "44100");
        EXPECT_EQ(Probe(output, "channels"), "2");
    }
    EXPECT_FALSE(box.Exists("mp3/b.mp3"));
    EXPECT_FALSE(box.Exists("mp3/c.mp3"));
}

TEST_F(CodecE2E, AutoPicksTheEncoderByTheOutputExtension) {
    const struct {
        const char *extension;
        const char *codec;
    } cases[] = {{"wav", "pcm_s16le"},
                 {"flac", "flac"},
                 {"mp3", "mp3"},
                 {"ogg", "vorbis"},
                 {"opus", "opus"}};
    Generate("in.wav", 48000, 2, 16, 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.extension);
        const std::string output = std::string("auto/x.") + c.extension;
        RunResult result = box.Run({"-I", "in.wav", "-O", output});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(Probe(output, "codec_name"), c.codec);
        std::string complaints;
        EXPECT_TRUE(DecodesCleanly(output, complaints)) << complaints;
    }
}

} // namespace
