// The audio format layer on the system's ACM (msacm32), as the format converter uses it: how our
// code handles the drivers and formats that the system really has. What the system's drivers
// answer is theirs; these cases pin down what we make of it.
#include <gtest/gtest.h>

#if defined(_WIN32)

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

constexpr uint16_t kImaAdpcmTag = 0x11;
constexpr uint16_t kGsm610Tag = 0x31;
constexpr uint32_t kLargestSystemFormat = 50; // MS-ADPCM's record with its coefficient table

struct Driver {
    HACMDRIVERID id;
    uint32_t support;
};

struct DriverWalk {
    std::vector<Driver> drivers;
    size_t stopAfter = 0; // 0: every driver
};

int CollectDriver(HACMDRIVERID id, uintptr_t instance, uint32_t support) {
    auto *walk = reinterpret_cast<DriverWalk *>(instance);
    walk->drivers.push_back({id, support});
    return walk->stopAfter == 0 || walk->drivers.size() < walk->stopAfter;
}

std::vector<Driver> Drivers(size_t stopAfter = 0) {
    DriverWalk walk;
    walk.stopAfter = stopAfter;
    EXPECT_EQ(acmDriverEnum(CollectDriver, reinterpret_cast<uintptr_t>(&walk), 0),
              MMSYSERR_NOERROR);
    return walk.drivers;
}

// One format as a driver's enumeration handed it over, extra bytes included.
struct Listed {
    uint32_t index;
    uint32_t support;
    std::vector<uint8_t> bytes;
    const WAVEFORMATEX &Format() const {
        return *reinterpret_cast<const WAVEFORMATEX *>(bytes.data());
    }
};

struct FormatWalk {
    std::vector<Listed> formats;
    uint32_t room;
};

int CollectFormat(HACMDRIVERID, ACMFORMATDETAILS *details, uintptr_t instance, uint32_t) {
    auto *walk = reinterpret_cast<FormatWalk *>(instance);
    const auto *first = reinterpret_cast<const uint8_t *>(details->pwfx);
    uint32_t bytes = std::min<uint32_t>(walk->room, sizeof(WAVEFORMATEX) + details->pwfx->cbSize);
    walk->formats.push_back(
        {details->dwFormatIndex, details->fdwSupport, std::vector<uint8_t>(first, first + bytes)});
    return 1;
}

// The formats of tag `tag` (0: all) that a driver lists, read with a buffer that fits the
// largest of them.
std::vector<Listed> ListFormats(HACMDRIVERID id, uint32_t tag, uint32_t flags = 0) {
    HACMDRIVER driver = nullptr;
    EXPECT_EQ(acmDriverOpen(&driver, id, 0), MMSYSERR_NOERROR);
    uint32_t largest = 0;
    EXPECT_EQ(acmMetrics(driver, ACM_METRIC_MAX_SIZE_FORMAT, &largest), MMSYSERR_NOERROR);
    FormatWalk walk{{}, std::max<uint32_t>(largest, sizeof(WAVEFORMATEX))};
    std::vector<uint8_t> buffer(walk.room);
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    details.pwfx = reinterpret_cast<WAVEFORMATEX *>(buffer.data());
    details.cbwfx = walk.room;
    EXPECT_EQ(
        acmFormatEnum(driver, &details, CollectFormat, reinterpret_cast<uintptr_t>(&walk), flags),
        MMSYSERR_NOERROR);
    EXPECT_EQ(acmDriverClose(driver, 0), MMSYSERR_NOERROR);
    return walk.formats;
}

// The first format that any driver lists with this tag, rate and channel count; empty when none.
std::vector<uint8_t> FindListedFormat(uint16_t tag, uint32_t rate, uint16_t channels) {
    for (const Driver &driver : Drivers())
        for (const Listed &listed : ListFormats(driver.id, tag))
            if (listed.Format().nSamplesPerSec == rate && listed.Format().nChannels == channels)
                return listed.bytes;
    return {};
}

// ---- The drivers ----

TEST(WindowsAudioFormatDrivers, EnumerationEndsWithThePcmDriverAfterTheCodecs) {
    std::vector<Driver> drivers = Drivers();
    ASSERT_GE(drivers.size(), 2u);
    EXPECT_EQ(drivers.back().support, ACMDRIVERDETAILS_SUPPORTF_CONVERTER);
    std::set<uint32_t> pcmTags;
    for (const Listed &listed : ListFormats(drivers.back().id, 0))
        pcmTags.insert(listed.Format().wFormatTag);
    EXPECT_EQ(pcmTags, std::set<uint32_t>{WAVE_FORMAT_PCM});
    for (size_t i = 0; i + 1 < drivers.size(); i++) {
        EXPECT_NE(drivers[i].support & ACMDRIVERDETAILS_SUPPORTF_CODEC, 0u) << "driver " << i;
        HACMDRIVER opened = nullptr;
        ASSERT_EQ(acmDriverOpen(&opened, drivers[i].id, 0), MMSYSERR_NOERROR) << "driver " << i;
        EXPECT_EQ(acmDriverClose(opened, 0), MMSYSERR_NOERROR) << "driver " << i;
        EXPECT_EQ(acmDriverClose(opened, 0), MMSYSERR_INVALHANDLE) << "driver " << i;
    }
    EXPECT_EQ(acmDriverRemove(drivers.back().id, 0), MMSYSERR_NOTSUPPORTED);
}

TEST(WindowsAudioFormatDrivers, EnumerationStopsWhereTheCallbackSays) {
    std::vector<Driver> all = Drivers();
    ASSERT_GE(all.size(), 2u);
    std::vector<Driver> first = Drivers(1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].id, all[0].id);
}

TEST(WindowsAudioFormatDrivers, LargestFormatOfEveryDriverIsTheLargestOfAnyDriver) {
    uint32_t everyDriver = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &everyDriver), MMSYSERR_NOERROR);
    EXPECT_EQ(everyDriver, kLargestSystemFormat);
    uint32_t largestOfOne = 0;
    for (const Driver &driver : Drivers()) {
        uint32_t size = 0;
        ASSERT_EQ(acmMetrics(driver.id, ACM_METRIC_MAX_SIZE_FORMAT, &size), MMSYSERR_NOERROR);
        largestOfOne = std::max(largestOfOne, size);
    }
    EXPECT_EQ(largestOfOne, everyDriver);
}

TEST(WindowsAudioFormatDrivers, PcmDriverListsMonoAndStereoAtSixRatesAndThreeDepths) {
    HACMDRIVERID pcm = Drivers().back().id;
    struct Key {
        uint32_t rate;
        uint16_t bits;
        uint16_t channels;
        auto operator<=>(const Key &) const = default;
    };
    std::set<Key> expected;
    for (uint32_t rate : {8000, 11025, 22050, 44100, 48000, 96000})
        for (uint16_t bits : {8, 16, 24})
            for (uint16_t channels : {1, 2})
                expected.insert({rate, bits, channels});
    struct Case {
        const char *name;
        uint32_t tag;
        uint32_t flags;
    } cases[] = {{"PCM tag, input flag", WAVE_FORMAT_PCM, ACM_FORMATENUMF_INPUT},
                 {"PCM tag, no flag", WAVE_FORMAT_PCM, 0},
                 {"every tag, no flag", 0, 0}};
    for (const Case &c : cases) {
        std::vector<Listed> formats = ListFormats(pcm, c.tag, c.flags);
        std::set<Key> seen;
        for (uint32_t i = 0; i < formats.size(); i++) {
            const WAVEFORMATEX &f = formats[i].Format();
            seen.insert({f.nSamplesPerSec, f.wBitsPerSample, f.nChannels});
            EXPECT_EQ(formats[i].index, i) << c.name;
            EXPECT_EQ(formats[i].support, ACMDRIVERDETAILS_SUPPORTF_CONVERTER) << c.name;
            EXPECT_EQ(f.nBlockAlign, f.nChannels * f.wBitsPerSample / 8) << c.name << " " << i;
            EXPECT_EQ(f.nAvgBytesPerSec, f.nBlockAlign * f.nSamplesPerSec) << c.name << " " << i;
        }
        EXPECT_EQ(formats.size(), expected.size()) << c.name;
        EXPECT_TRUE(seen == expected) << c.name;
    }
}

// ---- The format converter on the system's drivers ----

struct ConverterCase {
    const char *name;
    WAVEFORMATEX source;
    WAVEFORMATEX target; // as the encoder leaves it: tag, rate, channels and bit rate count
    int expected;
    int twoStage;
    bool firstStageOpen;     // the stream from the source to the intermediate format
    size_t intermediateSize; // five seconds of the intermediate format
};

// Fills the converter the way the output writer does, opens it, checks what the open left (the
// target begins with `described`, the driver's description) and that Close releases every
// stream it held.
void CheckOpen(const ConverterCase &c, const std::vector<uint8_t> &described = {}) {
    AcmFormatConverter converter;
    converter.mode = 1;
    *converter.sourceFormat = c.source;
    *converter.targetFormat = c.target;
    ASSERT_EQ(converter.Open(), c.expected) << c.name;
    EXPECT_EQ(converter.twoStage, c.twoStage) << c.name;
    EXPECT_EQ(converter.stream != nullptr, c.expected == 1) << c.name;
    EXPECT_EQ(converter.firstStageStream != nullptr, c.firstStageOpen) << c.name;
    EXPECT_EQ(converter.intermediateSize, c.intermediateSize) << c.name;
    EXPECT_EQ(converter.inputBuffer != nullptr, c.expected == 1) << c.name;
    EXPECT_EQ(converter.outputBuffer != nullptr, c.expected == 1) << c.name;
    EXPECT_EQ(converter.intermediateBuffer != nullptr, c.expected == 1 && c.twoStage == 1)
        << c.name;
    if (!described.empty()) {
        EXPECT_EQ(std::memcmp(converter.targetFormat, described.data(), described.size()), 0)
            << c.name << ": the target is not the driver's description";
    }
    HACMSTREAM stream = converter.stream;
    HACMSTREAM firstStage = converter.firstStageStream;
    converter.Close();
    for (HACMSTREAM held : {stream, firstStage}) {
        if (held != nullptr) {
            EXPECT_EQ(acmStreamClose(held, 0), MMSYSERR_INVALHANDLE) << c.name;
        }
    }
}

TEST(WindowsAudioFormatConverter, PcmTargetsThatADriverListsOpenDirectly) {
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    ConverterCase cases[] = {
        {"CD audio to itself", cd, cd, 1, 0, false, 0},
        {"to 22050 Hz mono", cd, Pcm(22050, 16, 1), 1, 0, false, 0},
        {"to 48000 Hz", cd, Pcm(48000, 16, 2), 1, 0, false, 0},
        {"24 bits to 16", Pcm(44100, 24, 2), cd, 1, 0, false, 0},
        // No driver lists these: a PCM format always passes to itself, and the PCM converter
        // takes the rates it does not list.
        {"88200 Hz to itself", Pcm(88200, 16, 2), Pcm(88200, 16, 2), 1, 0, false, 0},
        {"32 bits to itself", Pcm(44100, 32, 2), Pcm(44100, 32, 2), 1, 0, false, 0},
        {"to 88200 Hz", cd, Pcm(88200, 16, 2), 1, 0, false, 0},
        {"88200 Hz to CD audio", Pcm(88200, 16, 2), cd, 1, 0, false, 0},
    };
    // The drivers describe PCM as a PCMWAVEFORMAT, the 16 bytes before the extra-byte count,
    // the same as the encoder asked for.
    for (const ConverterCase &c : cases) {
        const auto *target = reinterpret_cast<const uint8_t *>(&c.target);
        CheckOpen(c, std::vector<uint8_t>(target, target + 16));
    }
}

TEST(WindowsAudioFormatConverter, FormatsTheDriversCannotReachAreRefused) {
    WAVEFORMATEX cd = Pcm(44100, 16, 2);
    ConverterCase cases[] = {
        // No driver converts from 32 bits; the unlisted source is its own intermediate
        // format, so the first stage opens and stays for Close.
        {"32 bits to CD audio", Pcm(44100, 32, 2), cd, 0, 1, true, 5 * 352800},
        // Listed, but 16-bit PCM only becomes 8 or 16 bits: the first stage (to the suggested
        // 16-bit intermediate) opens and stays for Close.
        {"16 bits to 96000 Hz 24 bits", cd, Pcm(96000, 24, 2), 0, 1, true, 5 * 176400},
    };
    for (const ConverterCase &c : cases)
        CheckOpen(c);
}

TEST(WindowsAudioFormatConverter, CompressedTargetsOpenDirectlyOrThroughIntermediatePcm) {
    struct Case {
        ConverterCase open;
        uint16_t tag;
        uint32_t rate;
        uint16_t channels;
    } cases[] = {
        // The codec takes 16-bit PCM: 8-bit sources go through the 16-bit format suggested.
        {{"8-bit stereo to IMA ADPCM", Pcm(44100, 8, 2), {}, 1, 1, true, 5 * 176400},
         kImaAdpcmTag,
         44100,
         2},
        {{"8-bit mono to IMA ADPCM", Pcm(22050, 8, 1), {}, 1, 1, true, 5 * 44100},
         kImaAdpcmTag,
         22050,
         1},
        {{"8000 Hz mono to GSM 6.10", Pcm(8000, 16, 1), {}, 1, 0, false, 0}, kGsm610Tag, 8000, 1},
        // The suggested intermediate keeps the source's rate and channels, which GSM 6.10 does
        // not take from 44100 Hz stereo: the second stage fails.
        {{"CD audio to GSM 6.10 at 8000 Hz mono", Pcm(44100, 16, 2), {}, 0, 1, true, 5 * 176400},
         kGsm610Tag,
         8000,
         1},
    };
    for (Case &c : cases) {
        std::vector<uint8_t> listed = FindListedFormat(c.tag, c.rate, c.channels);
        ASSERT_FALSE(listed.empty()) << c.open.name << ": no driver lists the format";
        const auto &codec = *reinterpret_cast<const WAVEFORMATEX *>(listed.data());
        ASSERT_EQ(listed.size(), sizeof(WAVEFORMATEX) + codec.cbSize) << c.open.name;
        // The encoder knows the tag, rate, channels and bit rate, not the codec's blocks.
        c.open.target = c.open.source;
        c.open.target.wFormatTag = c.tag;
        c.open.target.nSamplesPerSec = codec.nSamplesPerSec;
        c.open.target.nChannels = codec.nChannels;
        c.open.target.nAvgBytesPerSec = codec.nAvgBytesPerSec;
        CheckOpen(c.open, listed);
    }
}

} // namespace

#endif
