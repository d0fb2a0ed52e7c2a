// The audio format layer (the ACM stand-in) and the ACM format converter built on it. On Windows
// the same calls reach the system's ACM, whose drivers and format lists are its own: tests of
// the native layer's lists skip there, the rest hold on both systems (format_acm_windows.cpp
// checks the converter against the system's drivers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "format/acmXF.h"
#include "platform/platform.h"
#include "tests/unit/pcm_format.h"

using namespace platform;

namespace {

struct FormatKey {
    uint32_t rate;
    uint16_t bits;
    uint16_t channels;
    auto operator<=>(const FormatKey &) const = default;
};

struct Listing {
    std::vector<FormatKey> formats;
    std::vector<uint32_t> indices;
    std::vector<std::string> texts;
    bool consistent = true;
    size_t stopAfter = 0; // 0: list everything
};

int CollectFormat(HACMDRIVERID, ACMFORMATDETAILS *details, uintptr_t instance, uint32_t support) {
    auto *listing = reinterpret_cast<Listing *>(instance);
    const WAVEFORMATEX *f = details->pwfx;
    listing->formats.push_back({f->nSamplesPerSec, f->wBitsPerSample, f->nChannels});
    listing->indices.push_back(details->dwFormatIndex);
    listing->texts.push_back(details->szFormat);
    listing->consistent = listing->consistent && f->wFormatTag == WAVE_FORMAT_PCM &&
                          f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8 &&
                          f->nAvgBytesPerSec == f->nBlockAlign * f->nSamplesPerSec &&
                          f->cbSize == 0 && support == ACMDRIVERDETAILS_SUPPORTF_CONVERTER;
    return listing->stopAfter == 0 || listing->formats.size() < listing->stopAfter;
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

MMRESULT Enumerate(HACMDRIVER driver, Listing &listing, uint32_t tag, uint32_t flags,
                   WAVEFORMATEX *buffer = nullptr) {
    WAVEFORMATEX own{};
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    details.pwfx = buffer ? buffer : &own;
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

const std::vector<uint32_t> kRates = {8000,  11025, 16000, 22050,  32000, 44100,
                                      48000, 88200, 96000, 176400, 192000};

TEST(AudioFormatLayer, BuiltInPcmDriverIsTheOnlyDriver) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's ACM has drivers and formats of its own";
#endif
    EXPECT_EQ(Drivers().size(), 1u);
    uint32_t support = 0;
    auto keep = [](HACMDRIVERID, uintptr_t instance, uint32_t flags) {
        *reinterpret_cast<uint32_t *>(instance) = flags;
        return 1;
    };
    acmDriverEnum(keep, reinterpret_cast<uintptr_t>(&support), 0);
    EXPECT_EQ(support, ACMDRIVERDETAILS_SUPPORTF_CONVERTER);
}

TEST(AudioFormatLayer, PcmDriverListsEveryCommonRateDepthAndChannelCount) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's ACM has drivers and formats of its own";
#endif
    OpenedPcmDriver driver;
    std::set<FormatKey> expected;
    for (uint32_t rate : kRates)
        for (uint16_t bits : {8, 16, 24, 32})
            for (uint16_t channels = 1; channels <= 8; channels++)
                expected.insert({rate, bits, channels});
    struct Case {
        const char *name;
        uint32_t tag;
        uint32_t flags;
    } cases[] = {{"PCM tag, input flag", WAVE_FORMAT_PCM, ACM_FORMATENUMF_INPUT},
                 {"PCM tag, no flag", WAVE_FORMAT_PCM, 0},
                 {"every tag, input flag", 0, ACM_FORMATENUMF_INPUT}};
    for (const Case &c : cases) {
        Listing listing;
        ASSERT_EQ(Enumerate(driver.handle, listing, c.tag, c.flags), MMSYSERR_NOERROR) << c.name;
        EXPECT_EQ(listing.formats.size(), 352u) << c.name;
        EXPECT_EQ(std::set<FormatKey>(listing.formats.begin(), listing.formats.end()), expected)
            << c.name;
        EXPECT_TRUE(listing.consistent) << c.name;
        EXPECT_TRUE(std::is_sorted(listing.formats.begin(), listing.formats.end())) << c.name;
        for (uint32_t i = 0; i < listing.indices.size(); i++)
            ASSERT_EQ(listing.indices[i], i) << c.name;
    }
}

TEST(AudioFormatLayer, FormatTextsDescribeTheFormat) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's drivers word their format texts themselves";
#endif
    OpenedPcmDriver driver;
    Listing listing;
    Enumerate(driver.handle, listing, WAVE_FORMAT_PCM, 0);
    auto textOf = [&](FormatKey key) {
        for (size_t i = 0; i < listing.formats.size(); i++)
            if (listing.formats[i] == key)
                return listing.texts[i];
        return std::string();
    };
    EXPECT_EQ(textOf({44100, 16, 2}), "44.100 kHz, 16 Bit, Stereo");
    EXPECT_EQ(textOf({8000, 8, 1}), "8.000 kHz, 8 Bit, Mono");
    EXPECT_EQ(textOf({176400, 24, 6}), "176.400 kHz, 24 Bit, 6 Channels");
}

TEST(AudioFormatLayer, EnumerationStopsAtTheCallbackAndKeepsThatFormat) {
    OpenedPcmDriver driver;
    Listing listing;
    listing.stopAfter = 10;
    WAVEFORMATEX buffer{};
    ASSERT_EQ(Enumerate(driver.handle, listing, WAVE_FORMAT_PCM, 0, &buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(listing.formats.size(), 10u);
    FormatKey last = listing.formats.back();
    EXPECT_EQ(last, (FormatKey{buffer.nSamplesPerSec, buffer.wBitsPerSample, buffer.nChannels}));
}

TEST(AudioFormatLayer, OtherTagsListNothing) {
    OpenedPcmDriver driver;
    Listing listing;
    EXPECT_EQ(Enumerate(driver.handle, listing, 2, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(listing.formats.empty());
}

TEST(AudioFormatLayer, BadEnumerationArgumentsAreRefused) {
    OpenedPcmDriver driver;
    HACMDRIVER closed = nullptr;
    ASSERT_EQ(acmDriverOpen(&closed, PcmDriverId(), 0), MMSYSERR_NOERROR);
    ASSERT_EQ(acmDriverClose(closed, 0), MMSYSERR_NOERROR);
    WAVEFORMATEX buffer{};
    struct Case {
        const char *name;
        HACMDRIVER driver;
        uint32_t cbStruct;
        WAVEFORMATEX *pwfx;
        uint32_t cbwfx;
        uint32_t flags;
        MMRESULT expected;
    } cases[] = {
        {"short details record", driver.handle, 16, &buffer, 18, 0, MMSYSERR_INVALPARAM},
        {"no format buffer", driver.handle, sizeof(ACMFORMATDETAILS), nullptr, 18, 0,
         MMSYSERR_INVALPARAM},
        {"format buffer below 18 bytes", driver.handle, sizeof(ACMFORMATDETAILS), &buffer, 16, 0,
         MMSYSERR_INVALPARAM},
        {"unknown flag", driver.handle, sizeof(ACMFORMATDETAILS), &buffer, 18, 0x00010000,
         MMSYSERR_INVALFLAG},
        {"closed driver", closed, sizeof(ACMFORMATDETAILS), &buffer, 18, 0, MMSYSERR_INVALHANDLE},
        {"no driver", nullptr, sizeof(ACMFORMATDETAILS), &buffer, 18, 0, MMSYSERR_INVALHANDLE},
    };
    for (const Case &c : cases) {
        Listing listing;
        ACMFORMATDETAILS details{};
        details.cbStruct = c.cbStruct;
        details.dwFormatTag = WAVE_FORMAT_PCM;
        details.pwfx = c.pwfx;
        details.cbwfx = c.cbwfx;
        EXPECT_EQ(acmFormatEnum(c.driver, &details, CollectFormat,
                                reinterpret_cast<uintptr_t>(&listing), c.flags),
                  c.expected)
            << c.name;
        EXPECT_TRUE(listing.formats.empty()) << c.name;
    }
}

TEST(AudioFormatLayer, LargestFormatSizeIsAPlainFormatRecord) {
    OpenedPcmDriver driver;
    HACMSTREAM stream = nullptr;
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    ASSERT_EQ(acmStreamOpen(&stream, nullptr, &cd, &cd, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    int unrelated = 0;
    // The system's codecs have larger formats; its PCM driver's are PCMWAVEFORMAT records,
    // without the extra-byte count.
    const uint32_t everyDriver = kNativeLayer ? 18 : 50;
    const uint32_t pcmDriver = kNativeLayer ? 18 : 16;
    struct Case {
        const char *name;
        HACMOBJ object;
        uint32_t metric;
        MMRESULT expected;
        uint32_t size;
    } cases[] = {
        {"every driver", nullptr, ACM_METRIC_MAX_SIZE_FORMAT, MMSYSERR_NOERROR, everyDriver},
        {"driver id", PcmDriverId(), ACM_METRIC_MAX_SIZE_FORMAT, MMSYSERR_NOERROR, pcmDriver},
        {"opened driver", driver.handle, ACM_METRIC_MAX_SIZE_FORMAT, MMSYSERR_NOERROR, pcmDriver},
        {"stream", stream, ACM_METRIC_MAX_SIZE_FORMAT, MMSYSERR_NOTSUPPORTED, 0},
        {"not a handle", &unrelated, ACM_METRIC_MAX_SIZE_FORMAT, MMSYSERR_INVALHANDLE, 0},
        {"driver count metric", nullptr, 1, MMSYSERR_NOTSUPPORTED, 0},
    };
    for (const Case &c : cases) {
        uint32_t size = 0;
        EXPECT_EQ(acmMetrics(c.object, c.metric, &size), c.expected) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
    }
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_NOERROR);
}

TEST(AudioFormatLayer, SuggestionKeepsAPcmFormat) {
    struct Case {
        const char *name;
        WAVEFORMATEX source;
        uint16_t tag;
        uint32_t flags;
        uint32_t bytes;
        MMRESULT expected;
    } cases[] = {
        {"CD audio to PCM", Pcm(44100, 16, 2), WAVE_FORMAT_PCM, ACM_FORMATSUGGESTF_WFORMATTAG, 18,
         MMSYSERR_NOERROR},
        // Every integer PCM format up to 768000 Hz and 8 channels is its own suggestion, also
        // where the system's PCM driver lists one and two channels at common rates only.
        {"24-bit 6 channels to PCM", Pcm(96000, 24, 6), WAVE_FORMAT_PCM,
         ACM_FORMATSUGGESTF_WFORMATTAG, 18, MMSYSERR_NOERROR},
        {"any tag", Pcm(8000, 8, 1), 0, 0, 18, MMSYSERR_NOERROR},
        {"rate off the common list", Pcm(12345, 16, 2), WAVE_FORMAT_PCM,
         ACM_FORMATSUGGESTF_WFORMATTAG, 18, MMSYSERR_NOERROR},
        {"rate above 768000 Hz", Pcm(768001, 16, 2), WAVE_FORMAT_PCM, ACM_FORMATSUGGESTF_WFORMATTAG,
         18, ACMERR_NOTPOSSIBLE},
        {"unlisted depth", Pcm(44100, 20, 7), WAVE_FORMAT_PCM, ACM_FORMATSUGGESTF_WFORMATTAG, 18,
         ACMERR_NOTPOSSIBLE},
        {"compressed tag", Pcm(44100, 16, 2), 2, ACM_FORMATSUGGESTF_WFORMATTAG, 18,
         ACMERR_NOTPOSSIBLE},
        {"buffer too small", Pcm(44100, 16, 2), WAVE_FORMAT_PCM, ACM_FORMATSUGGESTF_WFORMATTAG, 16,
         MMSYSERR_INVALPARAM},
        {"channel restriction", Pcm(44100, 16, 2), WAVE_FORMAT_PCM, 0x00020000, 18,
         MMSYSERR_INVALFLAG},
    };
    for (const Case &c : cases) {
        WAVEFORMATEX suggested{};
        suggested.wFormatTag = c.tag;
        ASSERT_EQ(acmFormatSuggest(nullptr, &c.source, &suggested, c.bytes, c.flags), c.expected)
            << c.name;
        if (c.expected == MMSYSERR_NOERROR) {
            EXPECT_EQ(std::memcmp(&suggested, &c.source, sizeof suggested), 0) << c.name;
        }
    }
}

TEST(AudioFormatLayer, StreamsOpenBetweenAnyListedFormats) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's PCM driver converts only some pairs of its formats";
#endif
    OpenedPcmDriver driver;
    Listing listing;
    Enumerate(driver.handle, listing, WAVE_FORMAT_PCM, 0);
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    for (const FormatKey &key : listing.formats) {
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

TEST(AudioFormatLayer, StreamOpenRefusesWhatNoDriverConverts) {
    OpenedPcmDriver driver;
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    WAVEFORMATEX odd = Pcm(800000, 16, 2);
    WAVEFORMATEX badAlign = cd;
    badAlign.nBlockAlign = 3;
    int filter = 0;
    struct Case {
        const char *name;
        bool withHandle;
        HACMDRIVER driver;
        const WAVEFORMATEX *from;
        const WAVEFORMATEX *to;
        const void *filter;
        uint32_t flags;
        MMRESULT expected;
        bool nativeList; // the native PCM driver's own rule; the system's PCM driver has others
    } cases[] = {
        {"query only", false, nullptr, &cd, &cd, nullptr, ACM_STREAMOPENF_QUERY, MMSYSERR_NOERROR,
         false},
        {"through the PCM driver", true, driver.handle, &cd, &cd, nullptr, 0, MMSYSERR_NOERROR,
         false},
        {"target above 768000 Hz", true, nullptr, &cd, &odd, nullptr, 0, ACMERR_NOTPOSSIBLE, true},
        {"source above 768000 Hz", true, nullptr, &odd, &cd, nullptr, 0, ACMERR_NOTPOSSIBLE, true},
        {"inconsistent block align", true, nullptr, &cd, &badAlign, nullptr, 0, ACMERR_NOTPOSSIBLE,
         true},
        {"a filter", true, nullptr, &cd, &cd, &filter, 0, MMSYSERR_NOTSUPPORTED, false},
        {"asynchronous", true, nullptr, &cd, &cd, nullptr, 0x2, MMSYSERR_INVALFLAG, false},
        {"no handle to fill", false, nullptr, &cd, &cd, nullptr, 0, MMSYSERR_INVALPARAM, false},
        {"no source", true, nullptr, nullptr, &cd, nullptr, 0, MMSYSERR_INVALPARAM, false},
    };
    for (const Case &c : cases) {
        if (c.nativeList && !kNativeLayer)
            continue;
        HACMSTREAM stream = nullptr;
        EXPECT_EQ(acmStreamOpen(c.withHandle ? &stream : nullptr, c.driver, c.from, c.to, c.filter,
                                0, 0, c.flags),
                  c.expected)
            << c.name;
        EXPECT_EQ(stream != nullptr, c.withHandle && c.expected == MMSYSERR_NOERROR) << c.name;
        if (stream != nullptr)
            acmStreamClose(stream, 0);
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

// ---- Added drivers: a test codec and a driver that never opens ----

constexpr uint16_t kCodecTag = 0x7777;
constexpr uint32_t kCodecBytesPerSecond = 16000;
constexpr uint8_t kCodecExtra[2] = {0xAB, 0xCD};

struct CodecFormat {
    WAVEFORMATEX format;
    uint8_t extra[2];
};

bool CodecOpen() {
    return true;
}
bool NeverOpen() {
    return false;
}

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

bool NoFormat(uint32_t, WAVEFORMATEX *) {
    return false;
}
bool NoSuggestion(const WAVEFORMATEX *, uint16_t, WAVEFORMATEX *) {
    return false;
}
bool NoConversion(const WAVEFORMATEX *, const WAVEFORMATEX *) {
    return false;
}

const AcmDriverProcs kCodec = {ACMDRIVERDETAILS_SUPPORTF_CODEC,
                               sizeof(CodecFormat),
                               CodecOpen,
                               CodecGetFormat,
                               CodecSuggest,
                               CodecCanConvert};
const AcmDriverProcs kClosedDriver = {
    ACMDRIVERDETAILS_SUPPORTF_CODEC, 18, NeverOpen, NoFormat, NoSuggestion, NoConversion};

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

TEST(AcmFormatConverter, ConstructionPreparesBothFormatBuffers) {
    AcmFormatConverter converter;
    EXPECT_EQ(converter.open, 1);
    ASSERT_NE(converter.sourceFormat, nullptr);
    ASSERT_NE(converter.targetFormat, nullptr);
    EXPECT_EQ(converter.targetFormat->wFormatTag, 0);
    EXPECT_EQ(converter.stream, nullptr);
    EXPECT_EQ(converter.twoStage, 0);
}

TEST(AcmFormatConverter, PcmOpensDirectlyForEveryIntegerPcmFormat) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's drivers list other formats (see format_acm_windows.cpp)";
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

TEST(AcmFormatConverter, ExtensibleTargetFailsBecauseNoDriverListsItsTag) {
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(44100, 16, 2));
    converter.targetFormat->wFormatTag = 0xFFFE;
    EXPECT_EQ(converter.Open(), 0);
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

TEST(AcmFormatConverter, DestroyingAnOpenConverterClosesItsStreams) {
    AddedDriver codec(&kCodec);
    auto *converter = new AcmFormatConverter();
    // The codec takes 16-bit PCM only: 8 bits go through the 16-bit format it suggests.
    PrepareConverter(*converter, Pcm(44100, 8, 2));
    converter->targetFormat->wFormatTag = kCodecTag;
    converter->targetFormat->nAvgBytesPerSec = kCodecBytesPerSecond;
    ASSERT_EQ(converter->Open(), 1);
    EXPECT_EQ(converter->twoStage, 1);
    delete converter; // destroying closes: the codec driver is free to go afterwards
}

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

TEST(AcmFormatConverter, SourceWithoutASuggestionFailsEvenForACompressedTarget) {
    AddedDriver codec(&kCodec);
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(48000, 16, 2)); // the codec suggests only for 44100 Hz
    converter.targetFormat->wFormatTag = kCodecTag;
    converter.targetFormat->nSamplesPerSec = 44100;
    converter.targetFormat->nAvgBytesPerSec = kCodecBytesPerSecond;
    // 48000 Hz PCM gets a suggestion from the PCM driver, but neither stage reaches the codec.
    EXPECT_EQ(converter.Open(), 0);
    EXPECT_EQ(converter.twoStage, 1);
    EXPECT_NE(converter.firstStageStream, nullptr);
    EXPECT_EQ(converter.stream, nullptr);
}

TEST(AcmFormatConverter, ADriverThatDoesNotOpenEndsTheSearch) {
    {
        AddedDriver closed(&kClosedDriver);
        AcmFormatConverter converter;
        PrepareConverter(converter, Pcm(44100, 16, 2));
        EXPECT_EQ(converter.Open(), 0);
    }
    AcmFormatConverter converter;
    PrepareConverter(converter, Pcm(44100, 16, 2));
    EXPECT_EQ(converter.Open(), 1);
}

} // namespace
