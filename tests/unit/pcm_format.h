// A plain PCM format record, as the format tests describe sources and targets.
#pragma once

#include <cstdint>

#include "kernova/winamp.h"

inline WAVEFORMATEX Pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>(bits / 8 * channels);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.wBitsPerSample = bits;
    return format;
}
