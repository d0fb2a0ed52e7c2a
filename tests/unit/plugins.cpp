// The plug-ins' own routines, loaded from the build and called through their tables: every
// encoder's parameter texts, what Open refuses, outputs that fail (a full disk, the WAV
// writer's 4 GiB limit), and the tag plug-in's -SETID text reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "plugins/idtagger/checked_stream.h"
#include "plugins/idtagger/setid_text.h"
#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

// <build>/bin/plugins/out/<name>, loaded once for the whole run; null when the build has none.
EncoderTable *LoadEncoder(const std::string &name) {
    static std::map<std::string, EncoderTable *> loaded;
    if (loaded.count(name))
        return loaded[name];
    const std::string path = NativePath(KN_BIN_DIR + ("/plugins/out/" + LibraryFile(name)));
    platform::LibraryHandle library = platform::LoadLibrary(path.c_str());
    auto registerModule = library ? reinterpret_cast<RegisterCompressModuleFunc>(
                                        platform::GetExport(library, "RegisterCompressModule"))
                                  : nullptr;
    return loaded[name] = registerModule ? registerModule() : nullptr;
}

const char *const kEncoders[] = {"wave", "flac", "mp3", "vorbis", "opus"};

std::string ParamsText(EncoderTable *encoder, void *params) {
    char text[ENCODER_PARAM_BUFFER_SIZE] = {};
    char *buffer = text;
    encoder->ParamsToString(params, &buffer);
    return text;
}

// Each text parses to its canonical form (null: refused), which parses to itself, and names
// the settings in the short description when one is given.
TEST(EncoderParams, TextsParseToTheirCanonicalForm) {
    struct Case {
        const char *encoder, *text, *canonical, *shortDesc;
    };
    const Case cases[] = {
        {"wave", "", "", "PCM WAV, as the input"},
        {"wave", "  B:24\tc:2  f:48000", "b:24 c:2 f:48000", "PCM WAV, 24 bit, stereo, 48000 Hz"},
        {"wave", "f:1000 c:1", "c:1 f:1000", nullptr},
        {"wave", "c:1", "c:1", "PCM WAV, mono"},
        {"wave", "c:6 b:24", "b:24 c:6", nullptr},
        {"wave", "f:768000 b:8", "b:8 f:768000", nullptr},
        {"flac", "", "l:5", "FLAC level 5, depth of the input"},
        {"flac", "  B:24\tL:8 ", "l:8 b:24", "FLAC level 8, 24 bit"},
        {"flac", "b:16", "l:5 b:16", nullptr},
        {"mp3", "", "m:vbr v:2 q:3", "VBR V2, q3"},
        {"mp3", "b:192 c:j", "m:cbr b:192 q:3 c:j", "CBR 192 kbps, q3, joint stereo"},
        {"mp3", "m:cbr", "m:cbr b:128 q:3", nullptr},
        {"mp3", "m:abr b:320 q:9 f:48000 c:j", "m:abr b:320 q:9 f:48000 c:j",
         "ABR 320 kbps, q9, 48000 Hz, joint stereo"},
        {"mp3", "m:abr b:100", "m:abr b:100 q:3", nullptr},
        {"mp3", "v:0 q:0", "m:vbr v:0 q:0", nullptr},
        {"mp3", "C:M f:22050 M:VBR", "m:vbr v:2 q:3 f:22050 c:m", nullptr},
        {"vorbis", "", "q:5", "Vorbis VBR q5"},
        {"vorbis", "q:-1", "q:-1", nullptr},
        {"vorbis", "q:10", "q:10", nullptr},
        {"vorbis", "b:128", "b:128", "Vorbis ABR 128 kbps"},
        {"opus", "", "x:10 a:audio", "Opus VBR auto bitrate, audio, complexity 10"},
        {"opus", "b:96 a:VOIP", "b:96 x:10 a:voip", nullptr},
        {"opus", "a:lowdelay x:0 b:2048", "b:2048 x:0 a:lowdelay",
         "Opus VBR 2048 kbps, lowdelay, complexity 0"},
        {"opus", "b:6", "b:6 x:10 a:audio", nullptr},
        {"wave", "b:12", nullptr, nullptr},
        {"wave", "b:016x", nullptr, nullptr},
        {"wave", "c:9", nullptr, nullptr},
        {"wave", "c:0", nullptr, nullptr},
        {"wave", "f:999", nullptr, nullptr},
        {"wave", "f:768001", nullptr, nullptr},
        {"wave", "f:-44100", nullptr, nullptr},
        {"wave", "b:99999999999", nullptr, nullptr},
        {"wave", "hello", nullptr, nullptr},
        {"flac", "l:9", nullptr, nullptr},
        {"flac", "l:-1", nullptr, nullptr},
        {"flac", "b:20", nullptr, nullptr},
        {"flac", "b:8", nullptr, nullptr},
        {"flac", "l:5 l:5", nullptr, nullptr},
        {"flac", "l:+5", nullptr, nullptr},
        {"flac", "l:", nullptr, nullptr},
        {"flac", "l", nullptr, nullptr},
        {"flac", ":5", nullptr, nullptr},
        {"flac", "level:5", nullptr, nullptr},
        {"flac", "l:5:5", nullptr, nullptr},
        {"flac", "l:0000000005", nullptr, nullptr},
        {"mp3", "m:cbr b:100", nullptr, nullptr},
        {"mp3", "m:vbr b:128", nullptr, nullptr},
        {"mp3", "m:cbr v:2", nullptr, nullptr},
        {"mp3", "b:7", nullptr, nullptr},
        {"mp3", "b:321", nullptr, nullptr},
        {"mp3", "v:10", nullptr, nullptr},
        {"mp3", "f:22000", nullptr, nullptr},
        {"mp3", "f:96000", nullptr, nullptr},
        {"mp3", "m:xbr", nullptr, nullptr},
        {"mp3", "c:joint", nullptr, nullptr},
        {"mp3", "m:vbr m:cbr", nullptr, nullptr},
        {"vorbis", "q:-2", nullptr, nullptr},
        {"vorbis", "q:11", nullptr, nullptr},
        {"vorbis", "q:5.5", nullptr, nullptr},
        {"vorbis", "q:5 b:128", nullptr, nullptr},
        {"vorbis", "b:31", nullptr, nullptr},
        {"opus", "b:5", nullptr, nullptr},
        {"opus", "x:11", nullptr, nullptr},
        {"opus", "a:music", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        EncoderTable *encoder = LoadEncoder(c.encoder);
        if (encoder == nullptr)
            continue; // the Windows build has the WAV encoder only
        SCOPED_TRACE(std::string(c.encoder) + " \"" + c.text + "\"");
        void *params = nullptr;
        int show = 0;
        EXPECT_EQ(encoder->StringToParams(c.text, &params, &show), c.canonical ? 1 : 0);
        EXPECT_EQ(show, 0);
        if (c.canonical == nullptr) {
            EXPECT_EQ(params, nullptr);
            continue;
        }
        const std::string canonical = ParamsText(encoder, params);
        EXPECT_EQ(canonical, c.canonical);
        void *again = nullptr;
        ASSERT_EQ(encoder->StringToParams(canonical.c_str(), &again, &show), 1);
        EXPECT_EQ(ParamsText(encoder, again), canonical);
        if (c.shortDesc) {
            char text[256] = {};
            char *buffer = text;
            encoder->GetShortDesc(params, &buffer);
            EXPECT_STREQ(text, c.shortDesc);
        }
        encoder->FreeParams(&again);
        encoder->FreeParams(&params);
        EXPECT_EQ(params, nullptr);
    }
}

// The defaults are the text of no parameters; a refused text leaves the earlier ones.
TEST(EncoderParams, RefusedTextsKeepThePreviousParameters) {
    for (const char *name : kEncoders) {
        EncoderTable *encoder = LoadEncoder(name);
        if (encoder == nullptr)
            continue;
        void *defaults = nullptr;
        void *params = nullptr;
        int show = 0;
        encoder->GetDefaultParams(&defaults);
        ASSERT_EQ(encoder->StringToParams("", &params, &show), 1) << name;
        EXPECT_EQ(ParamsText(encoder, defaults), ParamsText(encoder, params)) << name;
        EXPECT_EQ(ParamsText(encoder, nullptr), ParamsText(encoder, params)) << name;
        const std::string before = ParamsText(encoder, params);
        EXPECT_EQ(encoder->StringToParams("z:1", &params, &show), 0) << name;
        EXPECT_EQ(encoder->StringToParams(nullptr, &params, &show), 0) << name;
        EXPECT_EQ(ParamsText(encoder, params), before) << name;
        encoder->FreeParams(&defaults);
        encoder->FreeParams(&params);
    }
}

// What Open refuses leaves no file, and no block is taken afterwards; what it takes gets
// blocks of thousands of whole frames, and an empty stream is still a file.
TEST(EncoderOutputs, OpenRefusesWhatItCannotEncodeAndBlocksAreWholeFrames) {
    const TempFolder temp;
    struct Case {
        const char *encoder, *params;
        WAVEFORMATEX format;
        int result;
    };
    const Case cases[] = {
        {"mp3", "", Pcm(48000, 16, 9), KN_ERR_ENCODER_INPUT},
        {"opus", "c:6", Pcm(48000, 16, 2), KN_ERR_ENCODER_INPUT}, // 5.1 of stereo
        {"flac", "", Pcm(48000, 16, 9), KN_ERR_ENCODER_INPUT},
        {"opus", "", Pcm(48000, 32, 2, 3), KN_ERR_ENCODER_INPUT},
        {"vorbis", "", Pcm(48000, 12, 2), KN_ERR_ENCODER_INPUT},
        {"flac", "", {1, 2, 48000, 192000, 5, 16, 0}, KN_ERR_ENCODER_INPUT},
        {"flac", "", Pcm(2000000, 16, 2), KN_ERR_ENCODER_INPUT},
        {"vorbis", "b:500", Pcm(8000, 16, 1), KN_ERR_ENCODER_SETUP},
        {"wave", "", Pcm(48000, 16, 0), KN_ERR_WAVE_FORMAT_CHANGE},
        {"wave", "", Pcm(48000, 24, 6), 0},
        {"flac", "", Pcm(48000, 24, 6), 0},
        {"mp3", "", Pcm(48000, 24, 2), 0},
        {"vorbis", "", Pcm(48000, 24, 2), 0},
        {"opus", "", Pcm(48000, 24, 6), 0},
    };
    for (const Case &c : cases) {
        EncoderTable *encoder = LoadEncoder(c.encoder);
        if (encoder == nullptr)
            continue;
        SCOPED_TRACE(std::string(c.encoder) + " " + std::to_string(c.format.nChannels) + " ch " +
                     std::to_string(c.format.wBitsPerSample) + " bit");
        void *params = nullptr;
        int show = 0;
        ASSERT_EQ(encoder->StringToParams(c.params, &params, &show), 1);
        WAVEFORMATEX format = c.format;
        int wantStandard = 0;
        const std::string output = temp / "out";
        EXPECT_EQ(encoder->Open(output.c_str(), params, &format, &wantStandard), c.result);
        EXPECT_EQ(wantStandard, 0);
        if (c.result == 0) {
            const int frames = encoder->GetBlockSize() / c.format.nBlockAlign;
            EXPECT_EQ(encoder->GetBlockSize() % c.format.nBlockAlign, 0);
            EXPECT_TRUE(frames >= 1024 && frames <= 16384) << frames;
        } else {
            EXPECT_NE(encoder->Encode(std::string(encoder->GetBlockSize(), '\0').data()), 0);
        }
        encoder->Close();
        EXPECT_EQ(fs::exists(output), c.result == 0);
        fs::remove(output);
        encoder->FreeParams(&params);
    }
}

TEST(EncoderOutputs, OutputsThatCannotBeWrittenFailTheEncoding) {
    const TempFolder temp;
    const std::string pcm = MakeSamples({44100, 2, 16, 441000}, 0.05); // ten seconds
    for (const char *name : kEncoders) {
        EncoderTable *encoder = LoadEncoder(name);
        if (encoder == nullptr)
            continue;
        SCOPED_TRACE(name);
        WAVEFORMATEX format = Pcm(44100, 16, 2);
        int wantStandard = 0;
        const std::string missing = temp / "no folder/out";
        EXPECT_EQ(encoder->Open(missing.c_str(), nullptr, &format, &wantStandard),
                  KN_ERR_OUTPUT_CREATE);
        EXPECT_FALSE(fs::exists(temp / "no folder"));
        if (!fs::exists("/dev/full"))
            continue;
        // The headers alone may already fill the file's buffer and fail at Open.
        const int opened = encoder->Open("/dev/full", nullptr, &format, &wantStandard);
        if (opened != 0) {
            EXPECT_EQ(opened, KN_ERR_OUTPUT_CREATE);
            continue;
        }
        const size_t block = static_cast<size_t>(encoder->GetBlockSize());
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

// A WAV file's RIFF size must stay below 4 GiB: 8-bit mono, so that the last frame can land on
// the limit exactly; the stream goes through a pipe that only counts it.
TEST(EncoderOutputs, WaveDataStopsExactlyAtTheFourGibibyteLimit) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a named pipe";
#endif
    EncoderTable *encoder = LoadEncoder("wave");
    ASSERT_NE(encoder, nullptr);
    const TempFolder temp;
    const std::string pipe = temp / "count.wav";
    ASSERT_EQ(std::system(("mkfifo '" + pipe + "'").c_str()), 0);
    uint64_t counted = 0;
    std::thread counter([&] {
        std::ifstream in(pipe, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount())
            counted += static_cast<uint64_t>(in.gcount());
    });
    WAVEFORMATEX format = Pcm(44100, 8, 1);
    int wantStandard = 0;
    ASSERT_EQ(encoder->Open(pipe.c_str(), nullptr, &format, &wantStandard), 0);
    const std::string block(static_cast<size_t>(encoder->GetBlockSize()), '\x80');
    // 44 header bytes, of which 8 lie outside the RIFF size; a pad byte could follow the data.
    const uint64_t limit = 0xFFFFFFFFull - 36 - 1;
    uint64_t data = 0;
    while (data + block.size() <= limit && encoder->Encode(block.data()) == 0)
        data += block.size();
    encoder->EncodeLast(block.data(), static_cast<int>(limit - data)); // lands on the limit
    encoder->EncodeLast(block.data(), 1);                              // one frame past it
    EXPECT_NE(encoder->Encode(block.data()), 0);
    encoder->Close();
    counter.join();
    EXPECT_EQ(counted, 44 + limit);
}

// A tag that keeps its size is written in place: the audio behind it stays unwritten, which a
// sparse file shows, whose hole would fill with written zeros.
TEST(TagStream, ASameSizeTagLeavesWhatFollowsUnwritten) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a sparse file and du";
#endif
    const TempFolder temp;
    const std::string file = temp / "file";
    std::ofstream(file, std::ios::binary) << "0123456789";
    fs::resize_file(file, 64 << 20);
    idtagger::CheckedFileStream stream(file);
    stream.insert(TagLib::ByteVector("abcd"), 2, 4);
    EXPECT_TRUE(stream.Close());
    std::ifstream in(file, std::ios::binary);
    std::string start(10, '\0');
    in.read(start.data(), 10);
    EXPECT_EQ(start, "01abcd6789");
    EXPECT_LT(std::stoi(Output("du -k " + Quote(file))), 1024) << "KiB written";
}

TEST(SetIdText, AcceptedTextsGiveVersionsAndFieldsAndMalformedOnesNothing) {
    struct Case {
        const char *text;
        const char *parsed; // null: refused
    };
    const Case cases[] = {
        {"idv2: TITL=Blue Moon AUTH=Some One", "v2: 0=[Blue Moon] 1=[Some One]"},
        {" idv1: TITL=x", "v1: 0=[x]"}, // safe mode leaves the blank after the safe word
        {"id: ORIG=Lead URLC=http://a.b/c?d=e", "v1v2: 3=[Lead] 12=[http://a.b/c?d=e]"},
        {"IDV2:TITL=x", "v2: 0=[x]"},
        {"idv2 : ALBM=A  B   YEAR=1999", "v2: 2=[A  B] 4=[1999]"},
        {"idv2: COMT= GENR=Rock", "v2: 5=[] 6=[Rock]"},
        {"idv2: TITL=a=b c: d", "v2: 0=[a=b c: d]"},
        {"idv2: TITL=the auth=x titl", "v2: 0=[the auth=x titl]"},
        {"idv2: TRCK=3/12 COMT=Take TWO", "v2: 8=[3/12] 5=[Take TWO]"},
        {"idv1: TITL=Caf\xc3\xa9", "v1: 0=[Caf\xc3\xa9]"},
        {"", nullptr},
        {"TITL=x", nullptr},
        {"idv3: TITL=x", nullptr},
        {"id v2: TITL=x", nullptr},
        {": TITL=x", nullptr},
        {"idv2:    ", nullptr},
        {"idv2: hello TITL=x", nullptr},
        {"idv2: TITL x", nullptr},
        {"idv2: TITL=x AUTH", nullptr},
        {"idv2: TITL=x ARTI=y", nullptr},
        {"idv2: titl=x", nullptr},
        {"idv2: TITL=x TITL=y", nullptr},
        {"idv1: ORIG=x", nullptr},
        {"idv1: TITL=x URLC=http://a", nullptr},
    };
    for (const Case &c : cases) {
        const auto request = idtagger::ParseSetIdText(c.text);
        std::string parsed = "refused";
        if (request) {
            parsed = std::string(request->v1 ? "v1" : "") + (request->v2 ? "v2" : "") + ":";
            for (const idtagger::SetIdField &field : request->fields)
                parsed += " " + std::to_string(field.field) + "=[" + field.value + "]";
        }
        EXPECT_EQ(parsed, c.parsed ? c.parsed : "refused") << "[" << c.text << "]";
    }
}

} // namespace
