// The pure parts of the audio format layer that every system's implementation shares:
// argument checks made before any driver is asked, PCM records and format descriptions.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

constexpr std::array<uint16_t, 4> kPcmBits = {8, 16, 24, 32};
constexpr uint16_t kPcmMaxChannels = 8;
constexpr uint32_t kPcmMaxRate = 768000;
constexpr uint32_t kFormatSize = sizeof(WAVEFORMATEX);

// Every integer PCM format that a decoder can deliver or an encoder ask for, at any rate: each
// system's layer passes such a format to itself.
bool IsIntegerPcm(const WAVEFORMATEX *format);
WAVEFORMATEX MakePcm(uint32_t rate, uint16_t bits, uint16_t channels);
// Bytes of the record with its extra bytes.
uint32_t FormatBytes(const WAVEFORMATEX *format);
// Writes e.g. "44.100 kHz, 16 Bit, Stereo" into text (ACMFORMATDETAILS_FORMAT_CHARS bytes).
void DescribeFormat(const WAVEFORMATEX *format, char *text);

// A call with one required argument and no flags: MMSYSERR_INVALPARAM, MMSYSERR_INVALFLAG or
// MMSYSERR_NOERROR.
MMRESULT CheckArgumentAndNoFlags(bool given, uint32_t flags);
MMRESULT CheckFormatEnumArguments(const ACMFORMATDETAILS *pafd, ACMFORMATENUMCB fnCallback,
                                  uint32_t fdwEnum);
MMRESULT CheckFormatSuggestArguments(const WAVEFORMATEX *pwfxSrc, const WAVEFORMATEX *pwfxDst,
                                     uint32_t cbwfxDst, uint32_t fdwSuggest);
MMRESULT CheckStreamOpenArguments(const HACMSTREAM *phas, const WAVEFORMATEX *pwfxSrc,
                                  const WAVEFORMATEX *pwfxDst, const void *pwfltr,
                                  uint32_t fdwOpen);

} // namespace platform
