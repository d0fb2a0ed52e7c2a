#include "encoder_pcm.h"

namespace knplugin {

namespace {

// Vorbis I channel order for 1 to 8 channels: mono; L R; L C R; FL FR RL RR; FL C FR RL RR;
// FL C FR RL RR LFE; FL C FR SL SR RC LFE; FL C FR SL SR RL RR LFE.
constexpr int kVorbisOrder[kMaxSurroundChannels][kMaxSurroundChannels] = {
    {0},
    {0, 1},
    {0, 2, 1},
    {0, 1, 2, 3},
    {0, 2, 1, 3, 4},
    {0, 2, 1, 4, 5, 3},
    {0, 2, 1, 5, 6, 4, 3},
    {0, 2, 1, 6, 7, 4, 5, 3},
};

} // namespace

bool IsPcmDepth(int bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

int32_t ReadPcmSample(const uint8_t *p, int bits) {
    uint32_t value = 0;
    switch (bits) {
    case 8:
        value = static_cast<uint32_t>(p[0] ^ 0x80) << 24;
        break;
    case 16:
        value = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 24;
        break;
    case 24:
        value = static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                static_cast<uint32_t>(p[2]) << 24;
        break;
    default:
        value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        break;
    }
    return static_cast<int32_t>(value);
}

void WritePcmSample(uint8_t *p, int32_t sample, int bits) {
    auto value = static_cast<uint32_t>(sample);
    if (bits == 8) {
        p[0] = static_cast<uint8_t>((value >> 24) ^ 0x80);
        return;
    }
    value >>= 32 - bits;
    for (int i = 0; i < bits / 8; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PcmToInt(const uint8_t *pcm, int bits, size_t samples, int outBits, int32_t *out) {
    int bytes = bits / 8;
    int shift = 32 - outBits;
    for (size_t i = 0; i < samples; i++, pcm += bytes)
        out[i] = ReadPcmSample(pcm, bits) >> shift; // arithmetic: keeps the sign
}

void PcmToFloat(const uint8_t *pcm, int bits, size_t samples, float *out) {
    constexpr float kScale = 1.0f / 2147483648.0f;
    int bytes = bits / 8;
    for (size_t i = 0; i < samples; i++, pcm += bytes)
        out[i] = static_cast<float>(ReadPcmSample(pcm, bits)) * kScale;
}

const int *VorbisChannelOrder(int channels) {
    if (channels < 1 || channels > kMaxSurroundChannels)
        return nullptr;
    return kVorbisOrder[channels - 1];
}

} // namespace knplugin
