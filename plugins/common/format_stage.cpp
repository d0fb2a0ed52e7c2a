#include "format_stage.h"

#include <algorithm>
#include <cmath>

#include <soxr.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "resident_library.h"

// libsoxr stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&soxr_create));

namespace knplugin {

namespace {

constexpr double kFullScale = 2147483648.0; // a top-aligned 32-bit sample of 1.0
constexpr double kMinus3dB = 0.70710678118654752;

// The speaker of each channel, in the layouts that a WAVE file of that many channels carries
// (the masks that the wave writer puts into WAVE_FORMAT_EXTENSIBLE).
enum Speaker { kFL, kFR, kFC, kLFE, kBL, kBR, kBC, kSL, kSR };

constexpr Speaker kLayouts[kMaxSurroundChannels - 1][kMaxSurroundChannels] = {
    {kFL, kFR},
    {kFL, kFR, kFC},
    {kFL, kFR, kBL, kBR},
    {kFL, kFR, kFC, kBL, kBR},
    {kFL, kFR, kFC, kLFE, kBL, kBR},
    {kFL, kFR, kFC, kLFE, kBC, kSL, kSR},
    {kFL, kFR, kFC, kLFE, kBL, kBR, kSL, kSR},
};

// Each speaker's share of the left and the right channel of the stereo down-mix.
constexpr double kToStereo[][2] = {
    {1, 0},                 // front left
    {0, 1},                 // front right
    {kMinus3dB, kMinus3dB}, // centre
    {0, 0},                 // LFE
    {kMinus3dB, 0},         // back left
    {0, kMinus3dB},         // back right
    {0.5, 0.5},             // back centre
    {kMinus3dB, 0},         // side left
    {0, kMinus3dB},         // side right
};

// Rows of output channels, columns of input channels.
std::vector<double> MixMatrix(int channels, int wanted) {
    std::vector<double> matrix(static_cast<size_t>(wanted * channels));
    for (int i = 0; i < channels; i++) {
        const double *share = kToStereo[kLayouts[channels - 2][i]];
        if (wanted == 2) {
            matrix[static_cast<size_t>(i)] = share[0];
            matrix[static_cast<size_t>(channels + i)] = share[1];
        } else {
            matrix[static_cast<size_t>(i)] = (share[0] + share[1]) / 2;
        }
    }
    return matrix;
}

// True when every sample of `bits` already fits `outBits` (its low bits are zero).
bool FitsDepth(const uint8_t *pcm, size_t samples, int bits, int outBits) {
    if (outBits >= bits)
        return true;
    auto lowBits = static_cast<uint32_t>((uint64_t(1) << (32 - outBits)) - 1);
    int bytes = bits / 8;
    for (size_t i = 0; i < samples; i++, pcm += bytes) {
        if ((static_cast<uint32_t>(ReadPcmSample(pcm, bits)) & lowBits) != 0)
            return false;
    }
    return true;
}

} // namespace

bool CanMixChannels(int channels, int wanted) {
    if (channels < 1 || channels > kMaxSurroundChannels)
        return false;
    return wanted == channels || (wanted >= 1 && wanted <= 2 && wanted < channels) ||
           (channels == 1 && wanted == 2);
}

std::string ChannelsText(int channels) {
    if (channels == 1)
        return "mono";
    return channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

std::string ShapeText(const ParamValues &values, int channelsKey, int rateKey) {
    std::string text;
    if (values.Has(channelsKey))
        text += ", " + ChannelsText(values.Get(channelsKey));
    if (values.Has(rateKey))
        text += ", " + std::to_string(values.Get(rateKey)) + " Hz";
    return text;
}

uint32_t DitherSeed(const PcmShape &input, const PcmShape &output) {
    uint32_t hash = 2166136261u; // FNV-1a over both shapes
    for (int value : {static_cast<int>(input.rate), input.channels, input.bits,
                      static_cast<int>(output.rate), output.channels, output.bits})
        hash = (hash ^ static_cast<uint32_t>(value)) * 16777619u;
    return hash;
}

FormatStage::~FormatStage() {
    soxr_delete(resampler);
}

bool FormatStage::Open(const PcmShape &input, const PcmShape &output, uint32_t seed) {
    soxr_delete(resampler);
    resampler = nullptr;
    in = input;
    out = output;
    noiseState = seed != 0 ? seed : 1;
    if (!CanMixChannels(in.channels, out.channels) || !IsPcmDepth(in.bits) ||
        !IsPcmDepth(out.bits) || in.rate == 0 || out.rate == 0)
        return false;
    if (in == out)
        return true;
    mixedChannels = std::min(in.channels, out.channels);
    exactCopy = in.rate == out.rate && mixedChannels == in.channels;
    matrix =
        mixedChannels < in.channels ? MixMatrix(in.channels, out.channels) : std::vector<double>();
    mixed.resize(kBlockFrames * static_cast<size_t>(mixedChannels));
    widened.resize(kBlockFrames * static_cast<size_t>(out.channels));
    converted.resize(kBlockFrames * static_cast<size_t>(out.channels * (out.bits / 8)));
    if (in.rate == out.rate)
        return true;
    resampled.resize(kBlockFrames * static_cast<size_t>(mixedChannels));
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t error = nullptr;
    resampler = soxr_create(in.rate, out.rate, static_cast<unsigned>(mixedChannels), &error, &io,
                            &quality, nullptr);
    return error == nullptr && resampler != nullptr;
}

bool FormatStage::Convert(const uint8_t *pcm, size_t frames, EncoderSession &session) {
    size_t frameBytes = static_cast<size_t>(in.channels * (in.bits / 8));
    while (frames > 0) {
        size_t now = std::min(frames, kBlockFrames);
        bool ok = false;
        if (exactCopy &&
            FitsDepth(pcm, now * static_cast<size_t>(in.channels), in.bits, out.bits)) {
            ok = EmitExact(pcm, now, session);
        } else {
            MixFrames(pcm, now);
            ok = resampler != nullptr ? Resample(mixed.data(), now, session)
                                      : Emit(mixed.data(), now, session);
        }
        if (!ok)
            return false;
        pcm += now * frameBytes;
        frames -= now;
    }
    return true;
}

bool FormatStage::Flush(EncoderSession &session) {
    return resampler == nullptr || Resample(nullptr, 0, session);
}

void FormatStage::MixFrames(const uint8_t *pcm, size_t frames) {
    int bytes = in.bits / 8;
    double *to = mixed.data();
    double frame[kMaxSurroundChannels];
    for (size_t f = 0; f < frames; f++) {
        for (int i = 0; i < in.channels; i++, pcm += bytes)
            frame[i] = ReadPcmSample(pcm, in.bits) / kFullScale;
        if (matrix.empty()) {
            to = std::copy(frame, frame + in.channels, to);
            continue;
        }
        for (int o = 0; o < mixedChannels; o++) {
            const double *row = matrix.data() + static_cast<size_t>(o * in.channels);
            double sum = 0;
            for (int i = 0; i < in.channels; i++)
                sum += row[i] * frame[i];
            *to++ = sum;
        }
    }
}

// Runs frames through libsoxr; null samples drain what it holds. Its output comes in pieces
// of at most one block.
bool FormatStage::Resample(const double *samples, size_t frames, EncoderSession &session) {
    size_t offset = 0;
    for (;;) {
        size_t used = 0;
        size_t made = 0;
        const double *from = samples != nullptr ? samples + offset * mixedChannels : nullptr;
        if (soxr_process(resampler, from, frames - offset, &used, resampled.data(), kBlockFrames,
                         &made) != nullptr)
            return false;
        offset += used;
        if (made > 0 && !Emit(resampled.data(), made, session))
            return false;
        if (made == kBlockFrames)
            continue; // the output was full: more may wait
        if (samples == nullptr || offset == frames)
            return true;
        if (used == 0 && made == 0)
            return false; // libsoxr takes nothing more: never leave input behind silently
    }
}

// Quantises samples (full scale ±1) to the output's depth, copying mono to stereo on the way.
bool FormatStage::Emit(const double *samples, size_t frames, EncoderSession &session) {
    const double *source = samples;
    size_t count = frames * static_cast<size_t>(out.channels);
    if (mixedChannels < out.channels) {
        for (size_t f = 0; f < frames; f++)
            widened[2 * f] = widened[2 * f + 1] = samples[f];
        source = widened.data();
    }
    double scale = std::ldexp(1.0, out.bits - 1);
    bool fits = out.bits == 32 || std::all_of(source, source + count, [scale](double v) {
                    double scaled = v * scale;
                    return scaled == std::nearbyint(scaled);
                });
    double top = scale - 1;
    int bytes = out.bits / 8;
    uint8_t *to = converted.data();
    for (size_t i = 0; i < count; i++, to += bytes) {
        double value = source[i] * scale + (fits ? 0.0 : Dither());
        value = std::clamp(std::nearbyint(value), -scale, top);
        auto sample = static_cast<int64_t>(value) * (int64_t(1) << (32 - out.bits));
        WritePcmSample(to, static_cast<int32_t>(sample), out.bits);
    }
    return session.Feed(converted.data(), frames);
}

// Frames whose samples fit the output's depth, taken over without any arithmetic.
bool FormatStage::EmitExact(const uint8_t *pcm, size_t frames, EncoderSession &session) {
    int inBytes = in.bits / 8;
    int outBytes = out.bits / 8;
    uint8_t *to = converted.data();
    for (size_t f = 0; f < frames; f++, pcm += in.channels * inBytes) {
        for (int o = 0; o < out.channels; o++, to += outBytes) {
            int channel = std::min(o, in.channels - 1); // mono to stereo copies
            WritePcmSample(to, ReadPcmSample(pcm + channel * inBytes, in.bits), out.bits);
        }
    }
    return session.Feed(converted.data(), frames);
}

// TPDF noise of one LSB peak: the difference of two uniform values (xorshift32).
double FormatStage::Dither() {
    auto next = [this] {
        noiseState ^= noiseState << 13;
        noiseState ^= noiseState >> 17;
        noiseState ^= noiseState << 5;
        return noiseState / 4294967296.0;
    };
    double first = next();
    return first - next();
}

} // namespace knplugin
