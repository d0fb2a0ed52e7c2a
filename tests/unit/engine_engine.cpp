// The sample-rate fix handler and the output writer, driven with an encoder table of the test
// as the current encoder and the test's own callbacks in the converter state.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convert/QZ_Conv_func.h"
#include "convert/QZ_Convertor.h"
#include "format/fix_freq.h"
#include "kernova/encoder.h"
#include "modules/loader.h"
#include "support/All_Func.h"
#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

// What the callbacks and the fake encoder saw, in order.
std::vector<std::string> events;

std::string Text(intptr_t arg) {
    return arg ? std::string(" ") + reinterpret_cast<const char *>(arg) : std::string();
}

void RecordError(int code, intptr_t arg) {
    events.push_back("E " + std::to_string(code) + Text(arg));
}

void RecordMessage(int code, intptr_t arg) {
    events.push_back("M " + std::to_string(code) + Text(arg));
}

void IgnoreValue(int) {}

// A parameter block the handler must hand through unchanged.
int paramBlock;

// ---- The fake encoder ----

struct FakeEncoder {
    int rate = 0;              // parameter 1 as the encoder holds it
    int blockSize = 4608;      // answer of GetBlockSize
    int openResult = 0;        // answer of Open
    int encodeResult = 0;      // answer of Encode
    int wantStandard = 0;      // written into Open's flag
    bool allZeroBuffer = true; // every ParamsToString buffer arrived zeroed
    std::string openedName;    // output name that Open received
    void *openedParams = nullptr;
    WAVEFORMATEX *format = nullptr; // the writer's target format, as handed to Open
    WAVEFORMATEX formatAtBlockSize{};
    std::vector<unsigned char> received; // bytes of Encode and EncodeLast, in order
};

FakeEncoder fake;
EncoderTable table;

void FakeSetParamValue(void *params, int which, int value) {
    events.push_back("SetParamValue " + std::to_string(which) + " " + std::to_string(value) +
                     (params == &paramBlock ? "" : " (foreign params)"));
    if (which == ENCODER_PARAM_SAMPLE_RATE)
        fake.rate = value;
}

void FakeParamsToString(void *params, char **buffer) {
    events.push_back(std::string("ParamsToString") +
                     (params == &paramBlock ? "" : " (foreign params)"));
    for (int i = 0; i < ENCODER_PARAM_BUFFER_SIZE; ++i)
        fake.allZeroBuffer = fake.allZeroBuffer && (*buffer)[i] == 0;
    std::snprintf(*buffer, ENCODER_PARAM_BUFFER_SIZE, "f:%d", fake.rate);
}

int FakeOpen(const char *outputName, void *params, WAVEFORMATEX *format, int *wantStandard) {
    events.push_back("Open");
    fake.openedName = outputName ? outputName : "(null)";
    fake.openedParams = params;
    fake.format = format;
    *wantStandard = fake.wantStandard;
    return fake.openResult;
}

int FakeGetBlockSize() {
    fake.formatAtBlockSize = *fake.format;
    return fake.blockSize;
}

int FakeEncode(const void *block) {
    events.push_back("Encode");
    const auto *bytes = static_cast<const unsigned char *>(block);
    fake.received.insert(fake.received.end(), bytes, bytes + fake.blockSize);
    return fake.encodeResult;
}

void FakeEncodeLast(const void *buffer, int length) {
    events.push_back("EncodeLast " + std::to_string(length));
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    fake.received.insert(fake.received.end(), bytes, bytes + length);
}

void FakeClose() {
    events.push_back("Close");
}

void InstallFakeEncoder() {
    fake = FakeEncoder{};
    table = EncoderTable{};
    table.version = ENCODER_TABLE_MIN_VERSION;
    table.extension = "tst";
    table.SetParamValue = FakeSetParamValue;
    table.ParamsToString = FakeParamsToString;
    table.Open = FakeOpen;
    table.GetBlockSize = FakeGetBlockSize;
    table.Encode = FakeEncode;
    table.EncodeLast = FakeEncodeLast;
    table.Close = FakeClose;
    currentOutModule = &table;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        events.clear();
        InstallFakeEncoder();
        converterState = ConverterState{};
        converterState.onError = RecordError;
        converterState.onMessage = RecordMessage;
        converterState.onLength = IgnoreValue;
        converterState.onPosition = IgnoreValue;
        converterState.encoderParamBlock = &paramBlock;
    }

    void TearDown() override {
        FreeString(&converterState.outputName);
        FreeString(&converterState.inputName);
        converterState = ConverterState{};
        currentOutModule = nullptr;
    }
};

// ---- Sample-rate fix handler ----

struct FixFreqCase {
    const char *label;
    int mode;
    int source;
    int wanted;
    int rateAfter; // parameter 1 of the encoder after the call (it starts as the wanted rate)
    std::vector<std::string> events;
};

std::vector<std::string> Changed(int rate) {
    return {"SetParamValue 1 " + std::to_string(rate), "ParamsToString", "E 81",
            "M 203 f:" + std::to_string(rate)};
}

std::vector<std::string> ReportedOnly(int rate) {
    return {"ParamsToString", "E 81", "M 203 f:" + std::to_string(rate)};
}

class FixFreqHandlerTest : public EngineTest {};

TEST_F(FixFreqHandlerTest, EachModeActsOnlyOnItsCase) {
    const FixFreqCase cases[] = {
        {"mode 0 family change is reported", 0, 44100, 48000, 48000, {"E 82 44100 -> 48000"}},
        {"mode 0 the other way round", 0, 48000, 44100, 44100, {"E 82 48000 -> 44100"}},
        {"mode 0 same family", 0, 44100, 22050, 22050, {}},
        {"mode 0 equal rates", 0, 48000, 48000, 48000, {}},
        {"mode 0 96000 has no family", 0, 96000, 44100, 44100, {}},
        {"mode 0 12000 has no family", 0, 12000, 8000, 8000, {}},
        {"mode 1 down from 16000", 1, 22050, 16000, 11025, Changed(11025)},
        {"mode 1 up from 11025", 1, 8000, 11025, 16000, Changed(16000)},
        {"mode 1 44100 keeps the source", 1, 32000, 44100, 32000, Changed(32000)},
        {"mode 1 48000 goes to 44100", 1, 44100, 48000, 44100, Changed(44100)},
        {"mode 1 8000 goes to 11025", 1, 22050, 8000, 11025, Changed(11025)},
        {"mode 1 up from 22050", 1, 16000, 22050, 32000, Changed(32000)},
        {"mode 1 up from 32000", 1, 22050, 32000, 44100, Changed(44100)},
        {"mode 1 same family", 1, 44100, 22050, 22050, {}},
        {"mode 1 96000 has no family", 1, 96000, 48000, 48000, {}},
        {"mode 2 keeps the source", 2, 48000, 44100, 48000, Changed(48000)},
        {"mode 2 same family", 2, 44100, 22050, 22050, {}},
        {"mode 2 12000 has no family", 2, 12000, 11025, 11025, {}},
        {"mode 3 any difference", 3, 44100, 22050, 44100, Changed(44100)},
        {"mode 3 without a family", 3, 96000, 48000, 96000, Changed(96000)},
        {"mode 3 equal rates", 3, 44100, 44100, 44100, {}},
        {"mode 5 family change only reported", 5, 8000, 11025, 11025, ReportedOnly(11025)},
        {"mode -1 family change only reported", -1, 8000, 11025, 11025, ReportedOnly(11025)},
        {"mode 4 is the fallback too", 4, 44100, 48000, 48000, ReportedOnly(48000)},
        {"lowest int is the fallback", INT_MIN, 16000, 44100, 44100, ReportedOnly(44100)},
        {"mode 5 same family", 5, 44100, 22050, 22050, {}},
        {"mode 5 96000 has no family", 5, 96000, 44100, 44100, {}},
    };
    for (const FixFreqCase &c : cases) {
        SCOPED_TRACE(c.label);
        events.clear();
        fake.rate = c.wanted;
        fake.allZeroBuffer = true;
        converterState.fixFreq = c.mode;
        FixFreqHandler(c.source, c.wanted);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(fake.rate, c.rateAfter);
        EXPECT_TRUE(fake.allZeroBuffer);
    }
}

TEST(NeighbourRateTest, OtherFamilyNextToTheWantedRate) {
    struct Case {
        int wanted;
        int upwards;   // the source is lower than the wanted rate
        int downwards; // the source is equal or higher
    };
    const Case cases[] = {
        {8000, 11025, 11025},  {11025, 16000, 8000},  {16000, 22050, 11025},
        {22050, 32000, 16000}, {32000, 44100, 22050}, {48000, 44100, 44100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("wanted " + std::to_string(c.wanted));
        EXPECT_EQ(NeighbourRate(c.wanted - 1, c.wanted), c.upwards);
        EXPECT_EQ(NeighbourRate(c.wanted, c.wanted), c.downwards);
        EXPECT_EQ(NeighbourRate(c.wanted + 1, c.wanted), c.downwards);
    }
    // Without an entry of its own the wanted rate gives way to the source rate.
    for (int wanted : {44100, 96000, 12000, 0}) {
        SCOPED_TRACE("wanted " + std::to_string(wanted));
        EXPECT_EQ(NeighbourRate(8000, wanted), 8000);
        EXPECT_EQ(NeighbourRate(192000, wanted), 192000);
    }
}

// ---- Output writer ----

std::string UniqueFolder() {
    static std::mt19937_64 generator{std::random_device{}()};
    return (fs::temp_directory_path() / ("kn-writer-" + std::to_string(generator()))).string();
}

// A recognisable byte stream: byte i of the whole conversion is a function of i.
std::vector<unsigned char> Pattern(size_t offset, size_t length) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((offset + i) * 131 + (offset + i) / 251);
    return bytes;
}

class OutputWriterTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        folder = UniqueFolder();
        AssignString((folder + "/out.tst").c_str(), &converterState.outputName);
        AssignString(NativePath("/music/song.wav").c_str(), &converterState.inputName);
        writer = GetEncoderOutModule();
    }

    void TearDown() override {
        MDC_Out_Close();
        EngineTest::TearDown();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    int Open(int rate = 44100, int channels = 2, int bits = 16) {
        return writer->Open(rate, channels, bits, -1, -1);
    }

    // Writes `length` bytes of the pattern that continue what was written before.
    int Write(size_t length) {
        std::vector<unsigned char> bytes = Pattern(sent, length);
        sent += length;
        return writer->Write(reinterpret_cast<char *>(bytes.data()), static_cast<int>(length));
    }

    size_t Count(const std::string &event) const {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }

    std::string folder;
    Out_Module *writer = nullptr;
    size_t sent = 0;
};

TEST_F(OutputWriterTest, EveryByteReachesTheEncoderOnceInOrder) {
    ASSERT_EQ(Open(), 0);
    const size_t kWrite = 8192;
    for (int i = 1; i <= 10; ++i) {
        SCOPED_TRACE("after write " + std::to_string(i));
        ASSERT_EQ(Write(kWrite), 0);
        // Only whole blocks go out; the rest waits for the next write.
        EXPECT_EQ(Count("Encode"), i * kWrite / 4608);
        EXPECT_EQ(fake.received, Pattern(0, fake.received.size()));
    }
    MDC_Out_Close();
    EXPECT_EQ(fake.received, Pattern(0, 10 * kWrite));
    const std::vector<std::string> tail(events.end() - 2, events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"EncodeLast " + std::to_string(10 * kWrite % 4608),
                                              "Close"}));
}

TEST_F(OutputWriterTest, SmallWritesAndCloseAsTheBufferStands) {
    struct Case {
        const char *label;
        std::vector<int> writes;
        size_t kept; // bytes of the writes that reach the encoder
        int canWrite;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"nothing written: only Close", {}, 0, 2 * 4608, {"Open", "Close"}},
        {"4 bytes change nothing", {4}, 0, 2 * 4608, {"Open", "Close"}},
        {"any length up to 4 is ignored", {1, 2, 3, 4, 0, -1}, 0, 2 * 4608, {"Open", "Close"}},
        {"5 bytes are buffered", {5}, 5, 16384, {"Open", "EncodeLast 5", "Close"}},
        {"1000 bytes go out with EncodeLast",
         {1000},
         1000,
         16384,
         {"Open", "EncodeLast 1000", "Close"}},
        {"one whole block leaves nothing", {4608}, 4608, 16384, {"Open", "Encode", "Close"}},
        {"pieces add up to one block", {4000, 608}, 4608, 16384, {"Open", "Encode", "Close"}},
        {"block plus one byte",
         {4000, 609},
         4609,
         16384,
         {"Open", "Encode", "EncodeLast 1", "Close"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        events.clear();
        fake.received.clear();
        sent = 0;
        writer = GetEncoderOutModule();
        ASSERT_EQ(Open(), 0);
        std::vector<unsigned char> expected;
        for (int length : c.writes) {
            std::vector<unsigned char> data = Pattern(sent, length > 0 ? length : 0);
            EXPECT_EQ(writer->Write(reinterpret_cast<char *>(data.data()), length), 0);
            if (length > 4) {
                expected.insert(expected.end(), data.begin(), data.end());
                sent += data.size();
            }
        }
        EXPECT_EQ(writer->CanWrite(), c.canWrite);
        EXPECT_EQ(writer->IsPlaying(), 0);
        MDC_Out_Close();
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(fake.received.size(), c.kept);
        EXPECT_EQ(fake.received, expected);
    }
}

TEST_F(OutputWriterTest, CanWriteIsTwiceTheBlockBeforeTheFirstWriteThen16384) {
    for (int blockSize : {4608, 1, 100000}) {
        SCOPED_TRACE("block size " + std::to_string(blockSize));
        fake.blockSize = blockSize;
        sent = 0;
        writer = GetEncoderOutModule();
        ASSERT_EQ(Open(), 0);
        EXPECT_EQ(writer->CanWrite(), 2 * blockSize);
        ASSERT_EQ(Write(6000), 0);
        EXPECT_EQ(writer->CanWrite(), 16384);
        ASSERT_EQ(Write(4), 0);
        EXPECT_EQ(writer->CanWrite(), 16384);
        MDC_Out_Close();
    }
}

TEST_F(OutputWriterTest, TargetFormatIsTheSourceOrTheStandardFormat) {
    struct Case {
        const char *label;
        int wantStandard;
        int rate, channels, bits;
        unsigned wantRate, wantChannels, wantBits, wantAlign, wantBytesPerSecond;
    };
    // The system's format converter must take the source format: the Windows one has no
    // formats of more than two channels and converts only 8 and 16 bits.
    const Case cases[] = {
#if defined(_WIN32)
        {"source kept", 0, 48000, 2, 16, 48000, 2, 16, 4, 192000},
        {"standard asked for", 1, 48000, 2, 16, 44100, 2, 16, 4, 176400},
#else
        {"source kept", 0, 48000, 6, 24, 48000, 6, 24, 18, 864000},
        {"standard asked for", 1, 48000, 6, 24, 44100, 2, 16, 4, 176400},
#endif
        {"mono 8 bit kept", 0, 22050, 1, 8, 22050, 1, 8, 1, 22050},
        {"standard from mono", 1, 8000, 1, 8, 44100, 2, 16, 4, 176400},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        events.clear();
        fake.wantStandard = c.wantStandard;
        writer = GetEncoderOutModule();
        ASSERT_EQ(Open(c.rate, c.channels, c.bits), 0);
        const WAVEFORMATEX &format = fake.formatAtBlockSize;
        EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(format.nSamplesPerSec, c.wantRate);
        EXPECT_EQ(format.nChannels, c.wantChannels);
        EXPECT_EQ(format.wBitsPerSample, c.wantBits);
        EXPECT_EQ(format.nBlockAlign, c.wantAlign);
        EXPECT_EQ(format.nAvgBytesPerSec, c.wantBytesPerSecond);
        EXPECT_EQ(fake.openedParams, &paramBlock);
        MDC_Out_Close();
    }
}

TEST_F(OutputWriterTest, EncodeFailureReportsTheOutputName) {
    ASSERT_EQ(Open(), 0);
    fake.encodeResult = 3;
    EXPECT_EQ(Write(8192), -1);
    const std::vector<std::string> expected = {"Open", "Encode", "E 9 " + folder + "/out.tst"};
    EXPECT_EQ(events, expected);
    // The failed write leaves the writer marked busy and taking nothing.
    EXPECT_EQ(writer->IsPlaying(), 1);
    EXPECT_EQ(writer->CanWrite(), 0);
}

TEST_F(OutputWriterTest, EncodeFailureOnBufferedBytesReportsToo) {
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(Write(1000), 0);
    fake.encodeResult = 1;
    EXPECT_EQ(Write(4000), -1);
    const std::vector<std::string> expected = {"Open", "Encode", "E 9 " + folder + "/out.tst"};
    EXPECT_EQ(events, expected);
}

TEST_F(OutputWriterTest, EncoderOpenFailureReportsItsCode) {
    for (int code : {41, 1, -7}) {
        SCOPED_TRACE("code " + std::to_string(code));
        events.clear();
        fake.openResult = code;
        writer = GetEncoderOutModule();
        EXPECT_EQ(Open(), -1);
        // No block size is asked for, and closing afterwards reaches no encoder.
        MDC_Out_Close();
        const std::vector<std::string> expected = {"Open", "E " + std::to_string(code) + " " +
                                                               folder + "/out.tst"};
        EXPECT_EQ(events, expected);
        EXPECT_EQ(Write(8192), -1);
    }
}

TEST_F(OutputWriterTest, OutputNameIsCompletedAndItsFoldersCreated) {
    struct Case {
        const char *label;
        std::string output;
        std::string opened;
    };
    const Case cases[] = {
        {"no extension gets the encoder's", NativePath("/sub/deeper/name"),
         NativePath("/sub/deeper/name.tst")},
        {"a folder takes the source's name", NativePath("/folder/"),
         NativePath("/folder/song.tst")},
        {"an extension stays", NativePath("/x/y/kept.wav"), NativePath("/x/y/kept.wav")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        AssignString((folder + c.output).c_str(), &converterState.outputName);
        writer = GetEncoderOutModule();
        ASSERT_EQ(Open(), 0);
        const std::string opened = folder + c.opened;
        EXPECT_EQ(fake.openedName, opened);
        EXPECT_STREQ(converterState.outputName, opened.c_str());
        EXPECT_TRUE(fs::is_directory(fs::path(opened).parent_path()));
        EXPECT_FALSE(fs::exists(opened)) << "the writer creates no file itself";
        MDC_Out_Close();
    }
}

} // namespace
