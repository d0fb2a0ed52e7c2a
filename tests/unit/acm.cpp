// The audio format layer (the ACM stand-in) and the ACM format converter built on it. On Windows
// the same calls reach the system's ACM, whose drivers and format lists are its own: tests of
// the native layer's lists skip there, the rest hold on both systems (acm_windows.cpp checks the
// converter against the system's drivers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/acmXF.h"
#include "platform/platform.h"
#include "tests/fixtures/audio.h"
#include "tests/support/acm_drivers.h"

using namespace platform;

namespace {

struct FormatKey {
    uint32_t rate;
    uint16_t bits;
    uint16_t channels;
    auto operator<=>(const FormatKey &) const = default;
};

using Listing = std::vector<FormatKey>;

int CollectFormat(HACMDRIVERID, ACMFORMATDETAILS *details, uintptr_t instance, uint32_t) {
    const WAVEFORMATEX *f = details->pwfx;
    reinterpret_cast<Listing *>(instance)->push_back(
        {f->nSamplesPerSec, f->wBitsPerSample, f->nChannels});
    return 1;
}

int CollectDriver(HACMDRIVERID id, uintptr_t instance, uint32_t) {
    reinterpret_cast<std::vector<HACMDRIVERID> *>(instance)->push_back(id);
    return 1;
}

std::vector<HACMDRIVERID> Drivers() {
    std::vector<HACMDRIVERID> drivers;
    EXPECT_EQ(acmDriverEnum(CollectDriver, reinterpret_cast<uintptr_t>(&drivers), 0),
              MMSYSERR_NOERROR);
    return drivers;
}

HACMDRIVERID PcmDriverId() {
    return Drivers().back();
}

class OpenedPcmDriver {
  public:
    OpenedPcmDriver() { EXPECT_EQ(acmDriverOpen(&handle, PcmDriverId(), 0), MMSYSERR_NOERROR); }
    ~OpenedPcmDriver() { acmDriverClose(handle, 0); }
    HACMDRIVER handle = nullptr;
};

MMRESULT Enumerate(HACMDRIVER driver, Listing &listing, uint32_t tag, uint32_t flags) {
    WAVEFORMATEX own{};
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    details.pwfx = &own;
    details.cbwfx = sizeof(WAVEFORMATEX);
    return acmFormatEnum(driver, &details, CollectFormat, reinterpret_cast<uintptr_t>(&listing),
                         flags);
}

// True for the native layer; false where the calls reach the system's ACM, whose drivers and
// format lists differ.
constexpr bool kNativeLayer =
#if defined(_WIN32)
    false;
#else
    true;
#endif

TEST(AudioFormatLayer, StreamsOpenBetweenAnyListedFormats) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's PCM driver converts only some pairs of its formats";
#endif
    OpenedPcmDriver driver;
    Listing listing;
    Enumerate(driver.handle, listing, WAVE_FORMAT_PCM, 0);
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    ASSERT_EQ(listing.size(), 352u) << "11 rates, 4 depths, 1 to 8 channels";
    for (const FormatKey &key : listing) {
        WAVEFORMATEX format = Pcm(key.rate, key.bits, key.channels);
        for (auto [from, to] : {std::pair{&format, &cd}, std::pair{&cd, &format}}) {
            HACMSTREAM stream = nullptr;
            ASSERT_EQ(acmStreamOpen(&stream, nullptr, from, to, nullptr, 0, 0,
                                    ACM_STREAMOPENF_NONREALTIME),
                      MMSYSERR_NOERROR)
                << key.rate << "/" << key.bits << "/" << key.channels;
            ASSERT_EQ(acmStreamClose(stream, 0), MMSYSERR_NOERROR);
        }
    }
}

TEST(AudioFormatLayer, HandlesAreReleasedOnceAndDriversStayWhileStreamsUseThem) {
    HACMDRIVER driver = nullptr;
    ASSERT_EQ(acmDriverOpen(&driver, PcmDriverId(), 0), MMSYSERR_NOERROR);
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acmStreamOpen(&stream, driver, &cd, &cd, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmDriverClose(driver, 0), ACMERR_BUSY);
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmDriverClose(driver, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmDriverClose(driver, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmDriverOpen(&driver, nullptr, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmDriverOpen(&driver, PcmDriverId(), 1), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmDriverRemove(PcmDriverId(), 0), MMSYSERR_NOTSUPPORTED);
}

WAVEFORMATEX Extensible(WAVEFORMATEX format) {
    format.wFormatTag = 0xFFFE;
    return format;
}

// ---- Added drivers: a test codec and a driver that never opens ----

constexpr uint16_t kCodecTag = 0x7777;
constexpr uint32_t kCodecBytesPerSecond = 16000;
constexpr uint8_t kCodecExtra[2] = {0xAB, 0xCD};

struct CodecFormat {
    WAVEFORMATEX format;
    uint8_t extra[2];
};

// One format: 44100 Hz stereo at 16000 bytes per second, block 1024, with two extra bytes.
bool CodecGetFormat(uint32_t index, WAVEFORMATEX *format) {
    if (index != 0)
        return false;
    CodecFormat codec{};
    codec.format = {kCodecTag, 2, 44100, kCodecBytesPerSecond, 1024, 0, sizeof kCodecExtra};
    std::memcpy(codec.extra, kCodecExtra, sizeof kCodecExtra);
    std::memcpy(format, &codec, sizeof codec);
    return true;
}

// Encodes 16-bit stereo 44100 Hz only, and suggests that as PCM for any 44100 Hz stereo input.
bool CodecSuggest(const WAVEFORMATEX *source, uint16_t tag, WAVEFORMATEX *target) {
    if (tag != WAVE_FORMAT_PCM || source->nSamplesPerSec != 44100 || source->nChannels != 2)
        return false;
    *target = Pcm(44100, 16, 2);
    return true;
}

bool CodecCanConvert(const WAVEFORMATEX *source, const WAVEFORMATEX *target) {
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    return std::memcmp(source, &cd, sizeof cd) == 0 && target->wFormatTag == kCodecTag &&
           target->nAvgBytesPerSec == kCodecBytesPerSecond;
}

const AcmDriverProcs kCodec = {ACMDRIVERDETAILS_SUPPORTF_CODEC,
                               sizeof(CodecFormat),
                               [] { return true; },
                               CodecGetFormat,
                               CodecSuggest,
                               CodecCanConvert};
// A driver that never opens.
const AcmDriverProcs kClosedDriver = {
    ACMDRIVERDETAILS_SUPPORTF_CODEC,
    18,
    [] { return false; },
    [](uint32_t, WAVEFORMATEX *) { return false; },
    [](const WAVEFORMATEX *, uint16_t, WAVEFORMATEX *) { return false; },
    [](const WAVEFORMATEX *, const WAVEFORMATEX *) { return false; }};

// Adds a driver for the length of a test.
class AddedDriver {
  public:
    explicit AddedDriver(const AcmDriverProcs *procs) {
        EXPECT_EQ(acmDriverAdd(&id, procs, 0), MMSYSERR_NOERROR);
    }
    ~AddedDriver() { EXPECT_EQ(acmDriverRemove(id, 0), MMSYSERR_NOERROR); }
    HACMDRIVERID id = nullptr;
};

// The added drivers, then the drivers that were there before.
std::vector<HACMDRIVERID> AddedBefore(std::vector<HACMDRIVERID> added,
                                      const std::vector<HACMDRIVERID> &before) {
    added.insert(added.end(), before.begin(), before.end());
    return added;
}

TEST(AudioFormatLayer, AddedDriversComeFirstAndLeaveOnlyWhenUnused) {
    // The native layer has its PCM driver only; the system has codecs of its own, whose
    // formats may be larger than the added codec's.
    const std::vector<HACMDRIVERID> before = Drivers();
    uint32_t sizeBefore = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &sizeBefore), MMSYSERR_NOERROR);
    if (kNativeLayer) {
        ASSERT_EQ(before, std::vector<HACMDRIVERID>{PcmDriverId()});
    }
    {
        AddedDriver codec(&kCodec);
        EXPECT_EQ(Drivers(), AddedBefore({codec.id}, before));
        uint32_t size = 0;
        acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size);
        EXPECT_EQ(size, std::max<uint32_t>(sizeBefore, sizeof(CodecFormat)));
        HACMDRIVER opened = nullptr;
        ASSERT_EQ(acmDriverOpen(&opened, codec.id, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(acmDriverRemove(codec.id, 0), ACMERR_BUSY);
        acmDriverClose(opened, 0);
        AddedDriver closed(&kClosedDriver);
        EXPECT_EQ(Drivers(), AddedBefore({codec.id, closed.id}, before));
        EXPECT_EQ(acmDriverOpen(&opened, closed.id, 0), ACMERR_NOTPOSSIBLE);
    }
    EXPECT_EQ(Drivers(), before);
}

// ---- The converter ----

// Fills the converter the way the output writer does: PCM source, target copied from it.
void PrepareConverter(AcmFormatConverter &converter, const WAVEFORMATEX &source) {
    converter.mode = 1;
    *converter.sourceFormat = source;
    std::memcpy(converter.targetFormat, converter.sourceFormat, sizeof(WAVEFORMATEX));
}

TEST(AcmFormatConverter, PcmOpensDirectlyForEveryIntegerPcmFormat) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's drivers list other formats (see acm_windows.cpp)";
#endif
    struct Case {
        const char *name;
        WAVEFORMATEX source;
        WAVEFORMATEX target;
        int expected;
        uint16_t targetBitsAfter;
    } cases[] = {
        {"CD audio", Pcm(44100, 16, 2), Pcm(44100, 16, 2), 1, 16},
        {"8-bit mono 8000 Hz", Pcm(8000, 8, 1), Pcm(8000, 8, 1), 1, 8},
        {"24-bit 6 channels 88200 Hz", Pcm(88200, 24, 6), Pcm(88200, 24, 6), 1, 24},
        {"32-bit 8 channels 176400 Hz", Pcm(176400, 32, 8), Pcm(176400, 32, 8), 1, 32},
        {"16 to 24 bits", Pcm(48000, 16, 2), Pcm(48000, 24, 2), 1, 24},
        {"to the standard format", Pcm(96000, 24, 6), Pcm(44100, 16, 2), 1, 16},
        // Rates off the common list: speech, MPEG-2 Layer III, odd and very high ones.
        {"9000 Hz", Pcm(9000, 16, 1), Pcm(9000, 16, 1), 1, 16},
        {"24000 Hz to 16 bits", Pcm(24000, 8, 1), Pcm(24000, 16, 1), 1, 16},
        {"12345 Hz 8-bit 7 channels", Pcm(44100, 16, 2), Pcm(12345, 8, 7), 1, 8},
        {"1 Hz", Pcm(1, 16, 2), Pcm(1, 16, 2), 1, 16},
        {"768000 Hz 32-bit", Pcm(768000, 32, 2), Pcm(768000, 32, 2), 1, 32},
        {"above 768000 Hz", Pcm(768001, 16, 2), Pcm(768001, 16, 2), 0, 16},
        {"to above 768000 Hz", Pcm(44100, 16, 2), Pcm(800000, 16, 2), 0, 16},
        {"9 channels", Pcm(44100, 16, 9), Pcm(44100, 16, 9), 0, 16},
        // The target matches the listed 16-bit format, but no driver takes the 20-bit source.
        {"7 channels of 20 bits", Pcm(44100, 20, 7), Pcm(44100, 20, 7), 0, 16},
        // Bits are not compared: 20 bits in 2-byte blocks match the listed 16-bit format.
        {"20-bit target matched as 16-bit", Pcm(44100, 16, 7), Pcm(44100, 20, 7), 1, 16},
        // No driver lists the WAVE_FORMAT_EXTENSIBLE tag.
        {"extensible target", Pcm(44100, 16, 2), Extensible(Pcm(44100, 16, 2)), 0, 16},
    };
    for (const Case &c : cases) {
        AcmFormatConverter converter;
        PrepareConverter(converter, c.source);
        *converter.targetFormat = c.target;
        ASSERT_EQ(converter.Open(), c.expected) << c.name;
        EXPECT_EQ(converter.twoStage, 0) << c.name;
        EXPECT_EQ(converter.targetFormat->wBitsPerSample, c.targetBitsAfter) << c.name;
        EXPECT_EQ(converter.stream != nullptr, c.expected == 1) << c.name;
        EXPECT_EQ(converter.inputBuffer != nullptr, c.expected == 1) << c.name;
        EXPECT_EQ(converter.outputBuffer != nullptr, c.expected == 1) << c.name;
        EXPECT_EQ(converter.firstStageStream, nullptr) << c.name;
        EXPECT_EQ(converter.intermediateBuffer, nullptr) << c.name;
        EXPECT_EQ(converter.pending, 0u) << c.name;
    }
}

TEST(AcmFormatConverter, CloseReleasesEverythingOnce) {
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(44100, 16, 2));
    ASSERT_EQ(converter.Open(), 1);
    HACMSTREAM stream = converter.stream;
    EXPECT_EQ(converter.Open(), 0); // a second open keeps the first stream
    EXPECT_EQ(converter.stream, stream);
    converter.Close();
    EXPECT_EQ(converter.open, 0);
    EXPECT_EQ(converter.stream, nullptr);
    EXPECT_EQ(converter.sourceFormat, nullptr);
    EXPECT_EQ(converter.targetFormat, nullptr);
    EXPECT_EQ(converter.inputBuffer, nullptr);
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_INVALHANDLE); // already closed by Close
    converter.Close();
    EXPECT_EQ(converter.Open(), 0);
}

// The converter is left open: destroying it must close its streams, so that the codec driver is
// free to go afterwards.
TEST(AcmFormatConverter, CompressedTargetOpensInTwoStagesThroughPcm) {
    AddedDriver codec(&kCodec);
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(44100, 8, 2));
    // The encoder's target: only tag, rate, channels and bit rate need to agree with the driver.
    converter.targetFormat->wFormatTag = kCodecTag;
    converter.targetFormat->nAvgBytesPerSec = kCodecBytesPerSecond;
    converter.targetFormat->nBlockAlign = 6;
    converter.targetFormat->wBitsPerSample = 24;
    ASSERT_EQ(converter.Open(), 1);
    EXPECT_EQ(converter.twoStage, 1);
    EXPECT_NE(converter.stream, nullptr);
    EXPECT_NE(converter.firstStageStream, nullptr);
    EXPECT_EQ(converter.intermediateSize, 5u * 176400);
    EXPECT_NE(converter.firstStageInputBuffer, nullptr);
    EXPECT_NE(converter.intermediateBuffer, nullptr);
    EXPECT_NE(converter.inputBuffer, nullptr);
    EXPECT_NE(converter.outputBuffer, nullptr);
    // The target now is the driver's own description, extra bytes included.
    EXPECT_EQ(converter.targetFormat->nBlockAlign, 1024);
    EXPECT_EQ(converter.targetFormat->wBitsPerSample, 0);
    ASSERT_EQ(converter.targetFormat->cbSize, sizeof kCodecExtra);
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(converter.targetFormat) + 18, kCodecExtra,
                          sizeof kCodecExtra),
              0);
}

TEST(AcmFormatConverter, CompressedTargetNeedsTheSameBitRateChannelsAndRate) {
    AddedDriver codec(&kCodec);
    struct Case {
        const char *name;
        uint32_t rate;
        uint16_t channels;
        uint32_t bytesPerSecond;
        int expected;
    } cases[] = {{"matching", 44100, 2, kCodecBytesPerSecond, 1},
                 {"other bit rate", 44100, 2, kCodecBytesPerSecond + 1, 0},
                 {"other rate", 48000, 2, kCodecBytesPerSecond, 0},
                 {"other channels", 44100, 1, kCodecBytesPerSecond, 0}};
    for (const Case &c : cases) {
        AcmFormatConverter converter;
        PrepareConverter(converter, Pcm(44100, 16, 2));
        converter.targetFormat->wFormatTag = kCodecTag;
        converter.targetFormat->nSamplesPerSec = c.rate;
        converter.targetFormat->nChannels = c.channels;
        converter.targetFormat->nAvgBytesPerSec = c.bytesPerSecond;
        EXPECT_EQ(converter.Open(), c.expected) << c.name;
        EXPECT_EQ(converter.twoStage, 0) << c.name; // 16-bit stereo goes straight to the codec
    }
}

// 48000 Hz PCM gets a suggestion from the PCM driver, but neither stage reaches the codec,
// which suggests only for 44100 Hz; a driver that does not open ends the search.
TEST(AcmFormatConverter, NoRouteToTheTargetFailsTheOpen) {
    {
        AddedDriver codec(&kCodec);
        AcmFormatConverter converter;
        PrepareConverter(converter, Pcm(48000, 16, 2));
        converter.targetFormat->wFormatTag = kCodecTag;
        converter.targetFormat->nSamplesPerSec = 44100;
        converter.targetFormat->nAvgBytesPerSec = kCodecBytesPerSecond;
        EXPECT_EQ(converter.Open(), 0);
        EXPECT_EQ(converter.twoStage, 1);
        EXPECT_NE(converter.firstStageStream, nullptr);
        EXPECT_EQ(converter.stream, nullptr);
    }
    AddedDriver closed(&kClosedDriver);
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(44100, 16, 2));
    EXPECT_EQ(converter.Open(), 0);
}

} // namespace
