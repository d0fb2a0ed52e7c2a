/*
 * The format stage between the PCM that the core hands an encoder and the PCM that the encoder
 * writes: another sample rate, channel count or depth, in one pass.
 *
 * - Rate: libsoxr at its very high quality (28-bit precision, linear phase): flat to 91.3% of
 *   the lower Nyquist frequency, every image and alias at least 120 dB down. libsoxr removes
 *   its own filter delay, so the output starts with the input's first instant and holds the
 *   input's length at the new rate (rounded to a whole frame); nothing is added or cut.
 * - Channels: down-mixes to stereo with the ITU-R BS.775 coefficients, the WAVE channel order
 *   (front left, front right, centre, LFE, back left, back right, side left, side right as far
 *   as present): centre at -3 dB into both sides, each surround (back or side) at -3 dB into
 *   its own side, a single back centre at -6 dB into both, LFE left out. Mono is the mean of
 *   that stereo pair (BS.775's mono down-mix 3 dB lower), so a centred source keeps its level.
 *   Mono becomes stereo by copying. Other channel changes are refused. A mix that passes full
 *   scale is clipped.
 * - Depth: a lower depth gets TPDF dither of one LSB peak, from a generator seeded by the
 *   output's name: every pass over the same file writes the same samples. A block whose samples
 *   already fit the depth (16-bit PCM in 24 bits, an exact mono copy) is written without dither,
 *   so unchanged samples stay bit for bit the same.
 * - PCM that needs none of this passes through untouched.
 *
 * Hooking an encoder in: its EncoderTraits name the keys that hold the rate, depth and channels
 * (rateKey, bitsKey, channelsKey) and may give an `outputShape` function for rules of its own;
 * the table then asks -FIXFREQ about a rate change, runs this stage and starts the encoder
 * with the converted format, so the encoder's session sees only PCM in the shape it asked for.
 */
#ifndef KERNOVA_PLUGIN_FORMAT_STAGE_H
#define KERNOVA_PLUGIN_FORMAT_STAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encoder_params.h"

struct soxr;

namespace knplugin {

class EncoderSession;

// Rate in Hz, channels, bits per sample (8, 16, 24 or 32) of interleaved PCM in the encoder
// convention (encoder_pcm.h).
struct PcmShape {
    uint32_t rate = 0;
    int channels = 0;
    int bits = 0;

    bool operator==(const PcmShape &) const = default;
};

// Whether the stage can turn `channels` into `wanted` channels.
bool CanMixChannels(int channels, int wanted);

// "mono", "stereo" or "<n> channels", for encoder descriptions.
std::string ChannelsText(int channels);
// The channels and rate that the parameters set, as the tail of an encoder's description:
// ", stereo, 48000 Hz", ", mono", or nothing.
std::string ShapeText(const ParamValues &values, int channelsKey, int rateKey);

// A seed for the dither of one conversion, the same for every run over the same source: the
// encoder sees only the temporary name its output is written under, which changes per run.
uint32_t DitherSeed(const PcmShape &input, const PcmShape &output);

class FormatStage {
  public:
    FormatStage() = default;
    FormatStage(const FormatStage &) = delete;
    FormatStage &operator=(const FormatStage &) = delete;
    ~FormatStage();

    // Prepares the conversion; false when the channels cannot be mixed or libsoxr fails.
    bool Open(const PcmShape &input, const PcmShape &output, uint32_t seed);
    bool PassesThrough() const { return in == out; }
    // Converts whole input frames and feeds the result to `session` in pieces of at most
    // kBlockFrames frames; false when the session refuses them.
    bool Convert(const uint8_t *pcm, size_t frames, EncoderSession &session);
    // Feeds what the resampler still holds at the end of the input.
    bool Flush(EncoderSession &session);

  private:
    void MixFrames(const uint8_t *pcm, size_t frames);
    bool Resample(const double *samples, size_t frames, EncoderSession &session);
    bool Emit(const double *samples, size_t frames, EncoderSession &session);
    bool EmitExact(const uint8_t *pcm, size_t frames, EncoderSession &session);
    double Dither();

    PcmShape in;
    PcmShape out;
    int mixedChannels = 0; // channels between the mix and the resampler
    bool exactCopy = false;
    std::vector<double> matrix; // a row of input shares for each mixed channel
    std::vector<double> mixed;
    std::vector<double> resampled;
    std::vector<double> widened;
    std::vector<uint8_t> converted;
    soxr *resampler = nullptr;
    uint32_t noiseState = 1;
};

} // namespace knplugin

#endif
