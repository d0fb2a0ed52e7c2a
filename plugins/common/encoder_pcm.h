/*
 * PCM as the core hands it to an encoder: interleaved little-endian signed integers of 16, 24
 * or 32 bits, or unsigned 8-bit samples, channels in the WAVE order (front left, front right,
 * centre, LFE, back left, back right, side left, side right, as far as present).
 */
#ifndef KERNOVA_PLUGIN_ENCODER_PCM_H
#define KERNOVA_PLUGIN_ENCODER_PCM_H

#include <cstddef>
#include <cstdint>

namespace knplugin {

constexpr int kMaxSurroundChannels = 8;

bool IsPcmDepth(int bits); // 8, 16, 24 or 32

// One sample as a 32-bit value with its bits at the top.
int32_t ReadPcmSample(const uint8_t *p, int bits);

// Writes a top-aligned sample at `bits`; the low bits that the depth cannot hold are dropped.
void WritePcmSample(uint8_t *p, int32_t sample, int bits);

// `samples` samples of `bits` as integers of `outBits` significant bits (1 to 32), aligned at
// the bottom; a lower depth drops the low bits.
void PcmToInt(const uint8_t *pcm, int bits, size_t samples, int outBits, int32_t *out);

// `samples` samples of `bits` as floats, full scale -1 to 1.
void PcmToFloat(const uint8_t *pcm, int bits, size_t samples, float *out);

// For each channel of the Vorbis order (used by Ogg Vorbis and Opus), the WAVE channel that
// it takes, for 1 to 8 channels.
const int *VorbisChannelOrder(int channels);

} // namespace knplugin

#endif
