// The formats that other programs write, through the console program and the real plug-ins:
// files made by ffmpeg, sox, wavpack and mpcenc convert to WAV and FLAC as ffmpeg decodes them,
// the aac, alac and wavpack encoders write files that ffmpeg reads back at the source's
// length, and -COPYID carries the fields and the cover from FLAC into .m4a and .wv.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

const char *const kDecoders[] = {"wave", "flac", "mp3", "vorbis", "opus", "sndfile", "ffmpeg"};
const char *const kEncoders[] = {"wave", "flac", "aac", "alac", "wavpack"};

class FormatsE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools({"sox", "ffmpeg", "ffprobe", "wavpack", "mpcenc", "flac"}))
            GTEST_SKIP() << "sox, ffmpeg, ffprobe, wavpack, mpcenc or flac is not installed";
        // Every case reads or writes a format only these plug-ins have.
        for (const char *plugin : {"in/ffmpeg", "out/aac", "out/alac", "out/wavpack"}) {
            if (!box.AddBuiltPlugin(std::string("plugins/") + plugin))
                GTEST_SKIP() << "this build has no plugins/" << plugin << " (the Windows builds)";
        }
        for (const char *name : kDecoders)
            box.AddBuiltPlugin(std::string("plugins/in/") + name);
        for (const char *name : kEncoders)
            box.AddBuiltPlugin(std::string("plugins/out/") + name);
        // One second of a chord over quiet noise, as stereo 16 bits, 24 bits and 5.1 24 bits.
        const std::string synth = " synth 1 sine 220 sine 357 sine 494 sine 631 sine 768 sine "
                                  "905 vol 0.4 : synth 1 pinknoise vol 0.02";
        for (const char *shape : {"-c 2 -b 16 s16.wav", "-c 2 -b 24 s24.wav", "-c 6 -b 24 m6.wav"})
            ASSERT_TRUE(Shell("cd " + Quote(box.work) + " && sox -n -r 44100 " + shape + synth));
        ASSERT_TRUE(
            Shell("cd " + Quote(box.work) +
                  " && ffmpeg -v error -f lavfi -i testsrc=size=64x48 -frames:v 1 cover.png"));
    }

    bool InWork(const std::string &command) {
        return Shell("cd " + Quote(box.work) + " && " + command);
    }

    // The file decoded by ffmpeg into raw samples of `format` (s16le, s24le, s32le).
    std::string Raw(const std::string &relative, const std::string &format) {
        const std::string raw = box.root + NativePath("/decoded.raw");
        fs::remove(raw);
        if (!Shell("ffmpeg -v error -nostdin -y -i " + Quote(box.Path(relative)) + " -map 0:a -f " +
                   format + " " + Quote(raw)))
            return "";
        return box.ReadFile(raw);
    }

    // ffprobe's answer for one entry (stream=sample_rate, format_tags=title, ...).
    std::string Probe(const std::string &relative, const std::string &entries) {
        const std::string answer = box.root + NativePath("/ffprobe.txt");
        fs::remove(answer);
        Shell("ffprobe -v error -select_streams a:0 -show_entries " + entries +
              " -of default=noprint_wrappers=1:nokey=1 " + Quote(box.Path(relative)) + " >" +
              Quote(answer));
        std::string text = box.ReadFile(answer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

    // The attached picture of a file, as ffmpeg finds it, byte for byte.
    std::string Cover(const std::string &relative) {
        const std::string picture = box.root + NativePath("/cover.out");
        fs::remove(picture);
        Shell("ffmpeg -v error -nostdin -y -i " + Quote(box.Path(relative)) +
              " -map 0:v -c copy -f data " + Quote(picture));
        return fs::exists(picture) ? box.ReadFile(picture) : "";
    }

    Sandbox box;
};

// ---------------------------------------------------------------- reading

struct SourceCase {
    const char *file;    // below work/in
    const char *command; // makes it, in work
    const char *raw;     // ffmpeg's raw format of the source's samples; null for a lossy source
    const char *rate;
    const char *channels;
};

// A header field patched in place: printf's octal bytes at an offset of the file.
#define PATCH(file, offset, bytes)                                                                 \
    " && printf '" bytes "' | dd of=" file " bs=1 seek=" #offset " conv=notrunc"

const SourceCase kSources[] = {
    {"alac.m4a",
     "ffmpeg -v error -i m6.wav -i cover.png -map 0 -map 1 -c:a alac -c:v copy -disposition:v "
     "attached_pic -metadata title=T in/alac.m4a",
     "s24le", "44100", "6"},
    {"tagged.wv", "wavpack -q -hh -w Title=T -w Artist=A s24.wav -o in/tagged.wv", "s24le", "44100",
     "2"},
    {"a.tta", "ffmpeg -v error -i s16.wav -c:a tta in/a.tta", "s16le", "44100", "2"},
    {"flac.mka", "ffmpeg -v error -i m6.wav -c:a flac -metadata artist=A in/flac.mka", "s24le",
     "44100", "6"},
    {"float.wav", "ffmpeg -v error -i s24.wav -af volume=2 -c:a pcm_f32le in/float.wav", "s32le",
     "44100", "2"},
    {"double.wav", "ffmpeg -v error -i s24.wav -c:a pcm_f64le in/double.wav", "s32le", "44100",
     "2"},
    {"ext_float.wav", "ffmpeg -v error -i m6.wav -c:a pcm_f32le in/ext_float.wav", "s32le", "44100",
     "6"},
    // sox writes a 16-byte format chunk: wBitsPerSample at 34 becomes 12 of the 16.
    {"b12.wav", "cp s16.wav in/b12.wav" PATCH("in/b12.wav", 34, "\\014"), "s16le", "44100", "2"},
    // 6 channels are WAVE_FORMAT_EXTENSIBLE: wValidBitsPerSample at 38 becomes 20 of the 24.
    {"b20.wav", "cp m6.wav in/b20.wav" PATCH("in/b20.wav", 38, "\\024"), "s24le", "44100", "6"},
    {"alaw.wav", "sox s16.wav -e a-law in/alaw.wav", "s16le", "44100", "2"},
    {"ulaw.wav", "sox s16.wav -e u-law in/ulaw.wav", "s16le", "44100", "2"},
    {"msadpcm.wav", "sox s16.wav -e ms-adpcm in/msadpcm.wav", "s16le", "44100", "2"},
    {"ima.wav", "ffmpeg -v error -i s16.wav -c:a adpcm_ima_wav in/ima.wav", "s16le", "44100", "2"},
    {"aac.m4a",
     "ffmpeg -v error -i s16.wav -i cover.png -map 0 -map 1 -c:a aac -c:v copy -disposition:v "
     "attached_pic -metadata title=T in/aac.m4a",
     nullptr, "44100", "2"},
    {"a.wma", "ffmpeg -v error -i s16.wav -c:a wmav2 -metadata title=T in/a.wma", nullptr, "44100",
     "2"},
    {"a.mpc", "mpcenc --silent --quality 5 s16.wav in/a.mpc", nullptr, "44100", "2"},
    // Half a second of Musepack states no length that FFmpeg can read.
    {"short.mpc", "sox s16.wav half.wav trim 0 0.5 && mpcenc --silent half.wav in/short.mpc",
     nullptr, "44100", "2"},
    {"a.ac3", "ffmpeg -v error -i m6.wav -c:a ac3 in/a.ac3", nullptr, "44100", "6"},
    {"a.webm", "ffmpeg -v error -i s16.wav -c:a libopus in/a.webm", nullptr, "48000", "2"},
};

TEST_F(FormatsE2E, OtherProgramsFilesConvertToWavAndFlac) {
    ASSERT_TRUE(InWork("mkdir -p in"));
    for (const SourceCase &c : kSources) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(InWork(c.command)) << c.command;
        const std::string source = std::string("in/") + c.file;
        const std::string stem = fs::path(c.file).stem().string() + "_" +
                                 fs::path(c.file).extension().string().substr(1);
        for (const std::string &output :
             std::vector<std::string>{"out/" + stem + ".wav", "out/" + stem + ".flac"}) {
            RunResult run = box.Run({"-I", source, "-O", output});
            ASSERT_EQ(run.exitCode, 0) << output << "\n" << run.out << run.err;
            EXPECT_EQ(run.err.find("FFmpeg"), std::string::npos) << run.err;
            EXPECT_EQ(Probe(output, "stream=sample_rate"), c.rate);
            EXPECT_EQ(Probe(output, "stream=channels"), c.channels);
            // FLAC keeps 24 of a float source's 32 bits: its length is what there is to check.
            const bool flacOfFloat =
                output.back() == 'c' && std::string(c.raw ? c.raw : "") == "s32le";
            if (c.raw != nullptr && !flacOfFloat) {
                const std::string expected = Raw(source, c.raw);
                EXPECT_GT(expected.size(), 0u);
                EXPECT_TRUE(Raw(output, c.raw) == expected) << output << ": samples differ";
            } else {
                // Lossy decoders may differ in the last bit; the length must be the source's.
                EXPECT_EQ(Raw(output, "s16le").size(), Raw(source, "s16le").size()) << output;
            }
        }
    }
}

// The FFmpeg plug-ins load FFmpeg's code from plugins/lib when they first need it; an install
// without it fails those jobs with the plug-in named, and nothing else.
TEST_F(FormatsE2E, WithoutTheFfmpegLibraryItsJobsFailAndTheOthersRun) {
    ASSERT_TRUE(InWork("ffmpeg -v error -i s16.wav -c:a alac a.m4a"));
    fs::remove_all(box.app + NativePath("/plugins/lib"));
    struct Case {
        std::vector<std::string> args;
        std::string error; // "" for a conversion that works
    };
    const Case cases[] = {
        {{"-I", "a.m4a", "-O", "out/a.wav"},
         "kernova: error: " + box.Path("a.m4a") +
             ": cannot load the decoder, or it is not a "
             "decoder\n"},
        {{"-I", "s16.wav", "-O", "out/b.m4a"},
         "kernova: error: out/b.m4a: cannot load the module\n"},
        {{"-I", "s16.wav", "-O", "out/c.flac"}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1] + " -> " + c.args[3]);
        const RunResult run = box.Run(c.args);
        EXPECT_EQ(run.exitCode, c.error.empty() ? 0 : 1);
        EXPECT_EQ(run.err, c.error);
        EXPECT_EQ(box.Exists(c.args[3]), c.error.empty());
    }
}

TEST_F(FormatsE2E, CutFilesFailWithTheTruncationCode) {
    ASSERT_TRUE(InWork("mkdir -p in && ffmpeg -v error -i m6.wav -c:a alac -movflags +faststart "
                       "whole.m4a && ffmpeg -v error -i s16.wav -c:a libvorbis whole.ogg && "
                       "wavpack -q s24.wav -o whole.wv"));
    for (const char *extension : {"m4a", "ogg", "wv"}) {
        SCOPED_TRACE(extension);
        const std::string whole = box.Path(std::string("whole.") + extension);
        const std::string cut = std::string("in/cut.") + extension;
        box.WriteFile(cut, box.ReadFile(whole).substr(0, fs::file_size(whole) * 6 / 10));
        RunResult run = box.Run({"-I", cut, "-O", "out/cut.wav"});
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        const std::vector<std::string> lines =
            SplitLines(box.Probe({"-I " + cut + " -O out/cut.wav"}).out);
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [&](const std::string &line) {
                                   return line.rfind("E 38 " + cut + ": ", 0) == 0;
                               }),
                  lines.end());
        EXPECT_FALSE(box.Exists("out/cut.wav"));
    }
}

// ---------------------------------------------------------------- writing

struct EncoderCase {
    const char *encoder;
    const char *params;
    const char *source;
    const char *output;
    const char *raw; // the round trip is bit for bit in this format; null for a lossy encoder
};

TEST_F(FormatsE2E, EncodersWriteFilesThatFfmpegReadsAtTheSourcesLength) {
    const EncoderCase cases[] = {
        {"aac", "b:128", "s16.wav", "out/aac.m4a", nullptr},
        {"aac", "q:10", "m6.wav", "out/aac6.m4a", nullptr},
        {"alac", "l:2", "m6.wav", "out/alac6.m4a", "s24le"},
        {"alac", "l:0", "s16.wav", "out/alac.m4a", "s16le"},
        {"wavpack", "l:4", "m6.wav", "out/wv6.wv", "s24le"},
        {"wavpack", "l:1", "s16.wav", "out/wv.wv", "s16le"},
        {"wavpack", "h:256", "s24.wav", "out/hybrid.wv", nullptr},
        {"wavpack", "h:320 c:1", "s24.wav", "out/corrected.wv", nullptr},
    };
    for (const EncoderCase &c : cases) {
        SCOPED_TRACE(std::string(c.encoder) + " " + c.params);
        RunResult run =
            box.Run({"-I", c.source, "-O", c.output, "-ENC", c.encoder, "-ENCPARAM", c.params});
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        const std::string frames = Probe(c.source, "stream=duration_ts");
        EXPECT_EQ(Probe(c.output, "stream=duration_ts"), frames);
        EXPECT_EQ(Probe(c.output, "stream=channels"), Probe(c.source, "stream=channels"));
        if (c.raw != nullptr) {
            EXPECT_TRUE(Raw(c.output, c.raw) == Raw(c.source, c.raw)) << "samples differ";
        } else if (std::string(c.encoder) == "wavpack") {
            EXPECT_EQ(Raw(c.output, "s16le").size(), Raw(c.source, "s16le").size());
        }
    }
    // The correction file takes its own name; with it the hybrid file is lossless again.
    ASSERT_TRUE(box.Exists("out/corrected.wvc"));
    EXPECT_FALSE(box.Exists("out/hybrid.wvc"));
    ASSERT_TRUE(InWork("wvunpack -q -y out/corrected.wv -o back.wav"));
    EXPECT_TRUE(Raw("back.wav", "s24le") == Raw("s24.wav", "s24le"));
    for (const auto &entry : fs::directory_iterator(box.Path("out")))
        EXPECT_EQ(entry.path().filename().string().find("kernova-partial"), std::string::npos);
}

TEST_F(FormatsE2E, TestSetsOfTheNewEncodersAllDecode) {
    struct Case {
        const char *encoder;
        std::vector<std::string> files;
    } cases[] = {
        {"aac", {"test_b96.m4a", "test_b128.m4a", "test_b256.m4a", "test_q10.m4a"}},
        {"alac", {"test_l0.m4a", "test_l1.m4a", "test_l2.m4a", "test_l2_24bit.m4a"}},
        {"wavpack",
         {"test_l1.wv", "test_l2.wv", "test_l4.wv", "test_h256.wv", "test_h320_wvc.wv",
          "test_h320_wvc.wvc"}},
    };
    const std::string frames = Probe("s24.wav", "stream=duration_ts");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.encoder);
        const std::string folder = std::string("tests_") + c.encoder + "/";
        RunResult run = box.Run({"-I", "s24.wav", "-O", folder, "-ENC", c.encoder, "-TESTENC"});
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        for (const std::string &file : c.files) {
            ASSERT_TRUE(box.Exists(folder + file)) << file << "\n" << run.out;
            if (file.back() != 'c') {
                EXPECT_EQ(Probe(folder + file, "stream=duration_ts"), frames) << file;
            }
        }
    }
}

// ---------------------------------------------------------------- tags

TEST_F(FormatsE2E, CopyIdCarriesFieldsAndCoverIntoM4aAndWavPack) {
    ASSERT_TRUE(InWork("flac -s --picture=cover.png -T TITLE=Song -T 'ARTIST=Ann Ö' -T ALBUM=Disc "
                       "-T DATE=2001 -T TRACKNUMBER=3 -T GENRE=Jazz s16.wav -o tagged.flac"));
    const std::string cover = box.ReadFile(box.Path("cover.png"));
    struct Case {
        const char *encoder;
        const char *output;
    } cases[] = {{"aac", "out/t.m4a"}, {"alac", "out/a.m4a"}, {"wavpack", "out/t.wv"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.encoder);
        RunResult run =
            box.Run({"-I", "tagged.flac", "-O", c.output, "-ENC", c.encoder, "-COPYID"});
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(Probe(c.output, "format_tags=title"), "Song");
        EXPECT_EQ(Probe(c.output, "format_tags=artist"), "Ann Ö");
        EXPECT_EQ(Probe(c.output, "format_tags=album"), "Disc");
        EXPECT_EQ(Probe(c.output, "format_tags=genre"), "Jazz");
        EXPECT_EQ(Probe(c.output, "format_tags=track"), "3");
        EXPECT_TRUE(Cover(c.output) == cover) << "cover bytes differ";
        // And back into FLAC.
        const std::string back = std::string(c.output) + ".flac";
        ASSERT_EQ(box.Run({"-I", c.output, "-O", back, "-COPYID"}).exitCode, 0);
        EXPECT_EQ(Probe(back, "format_tags=artist"), "Ann Ö");
        EXPECT_TRUE(Cover(back) == cover) << "cover bytes differ after the way back";
    }
}

} // namespace
