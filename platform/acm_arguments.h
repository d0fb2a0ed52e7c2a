// Argument checks that every system's audio format layer makes before it asks its drivers.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

constexpr std::array<uint16_t, 4> kPcmBits = {8, 16, 24, 32};
constexpr uint16_t kPcmMaxChannels = 8;
constexpr uint32_t kPcmMaxRate = 768000;

// Every integer PCM format that a decoder can deliver or an encoder ask for, at any rate: each
// system's layer passes such a format to itself.
inline bool IsIntegerPcm(const WAVEFORMATEX *format) {
    bool listedBits = false;
    for (uint16_t bits : kPcmBits)
        listedBits = listedBits || bits == format->wBitsPerSample;
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels < 1 ||
        format->nChannels > kPcmMaxChannels || !listedBits || format->nSamplesPerSec < 1 ||
        format->nSamplesPerSec > kPcmMaxRate)
        return false;
    const uint32_t blockAlign = format->nChannels * (format->wBitsPerSample / 8u);
    return format->nBlockAlign == blockAlign &&
           format->nAvgBytesPerSec == blockAlign * format->nSamplesPerSec;
}

inline MMRESULT CheckStreamOpenArguments(const HACMSTREAM *phas, const WAVEFORMATEX *pwfxSrc,
                                         const WAVEFORMATEX *pwfxDst, const void *pwfltr,
                                         uint32_t fdwOpen) {
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (pwfxSrc == nullptr || pwfxDst == nullptr || (phas == nullptr && !query))
        return MMSYSERR_INVALPARAM;
    if ((fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) != 0)
        return MMSYSERR_INVALFLAG;
    if (pwfltr != nullptr)
        return MMSYSERR_NOTSUPPORTED;
    return MMSYSERR_NOERROR;
}

} // namespace platform
