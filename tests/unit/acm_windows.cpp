// The format converter on the system's ACM (msacm32): how our code handles the drivers and
// formats that the system really has. What the system's drivers answer is theirs; these cases
// pin down what we make of it.
#include <gtest/gtest.h>

#if defined(_WIN32)

#include <cstring>
#include <vector>

#include "format/acmXF.h"
#include "platform/platform.h"
#include "tests/fixtures/audio.h"

using namespace platform;

namespace {

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

} // namespace

#endif
