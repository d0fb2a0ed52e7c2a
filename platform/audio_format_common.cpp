#include "platform/audio_format_common.h"

#include <cstdio>

namespace platform {

bool IsIntegerPcm(const WAVEFORMATEX *format) {
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

WAVEFORMATEX MakePcm(uint32_t rate, uint16_t bits, uint16_t channels) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.wBitsPerSample = bits;
    return format;
}

uint32_t FormatBytes(const WAVEFORMATEX *format) {
    return kFormatSize + format->cbSize;
}

void DescribeFormat(const WAVEFORMATEX *format, char *text) {
    char channels[32];
    if (format->nChannels == 1)
        std::snprintf(channels, sizeof channels, "Mono");
    else if (format->nChannels == 2)
        std::snprintf(channels, sizeof channels, "Stereo");
    else
        std::snprintf(channels, sizeof channels, "%u Channels", format->nChannels);
    auto rate = static_cast<unsigned>(format->nSamplesPerSec);
    if (format->wBitsPerSample != 0)
        std::snprintf(text, ACMFORMATDETAILS_FORMAT_CHARS, "%u.%03u kHz, %u Bit, %s", rate / 1000,
                      rate % 1000, format->wBitsPerSample, channels);
    else
        std::snprintf(text, ACMFORMATDETAILS_FORMAT_CHARS, "%u.%03u kHz, %s", rate / 1000,
                      rate % 1000, channels);
}

MMRESULT CheckArgumentAndNoFlags(bool given, uint32_t flags) {
    if (!given)
        return MMSYSERR_INVALPARAM;
    return flags != 0 ? MMSYSERR_INVALFLAG : MMSYSERR_NOERROR;
}

MMRESULT CheckFormatEnumArguments(const ACMFORMATDETAILS *pafd, ACMFORMATENUMCB fnCallback,
                                  uint32_t fdwEnum) {
    if (pafd == nullptr || fnCallback == nullptr || pafd->cbStruct < sizeof(ACMFORMATDETAILS) ||
        pafd->pwfx == nullptr)
        return MMSYSERR_INVALPARAM;
    const uint32_t known =
        ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_NSAMPLESPERSEC;
    return (fdwEnum & ~known) != 0 ? MMSYSERR_INVALFLAG : MMSYSERR_NOERROR;
}

MMRESULT CheckFormatSuggestArguments(const WAVEFORMATEX *pwfxSrc, const WAVEFORMATEX *pwfxDst,
                                     uint32_t cbwfxDst, uint32_t fdwSuggest) {
    if (pwfxSrc == nullptr || pwfxDst == nullptr || cbwfxDst < kFormatSize)
        return MMSYSERR_INVALPARAM;
    return fdwSuggest != 0 && fdwSuggest != ACM_FORMATSUGGESTF_WFORMATTAG ? MMSYSERR_INVALFLAG
                                                                          : MMSYSERR_NOERROR;
}

MMRESULT CheckStreamOpenArguments(const HACMSTREAM *phas, const WAVEFORMATEX *pwfxSrc,
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
