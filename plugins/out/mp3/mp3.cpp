// mp3: Kernova's MP3 encoder (LAME). VBR, ABR or CBR at the rates MPEG audio carries. Another
// rate or channel count comes from the shared format stage, which keeps aliases far lower than
// LAME's own resampler; LAME always codes at the rate it is given. The first frame of the file
// is the Xing/LAME tag with the length and gapless information, rewritten when the file is
// complete.
//
// Parameters (the shared encoder grammar):
//   m:<cbr|abr|vbr>  bitrate mode; default vbr, or cbr when only b: is given
//   b:<kbps>         CBR or ABR bitrate, default 128
//   v:<0..9>         VBR quality, 0 best; default 2
//   q:<0..9>         algorithm quality, 0 best and slowest; default 3
//   f:<Hz>           output rate; default LAME's choice for the bitrate and input rate
//   c:<m|s|j|1|2>    mono, stereo or joint stereo (1 is mono, 2 joint stereo); default joint
//                    stereo, mono for mono input; more channels are down-mixed
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <lame/lame.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "resident_library.h"

// LAME stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&lame_init));

namespace {

using knplugin::EncoderSession;
using knplugin::ParamValues;

enum Key { kMode, kBitrate, kVbrQuality, kQuality, kRate, kChannelMode, kKeyCount };
enum Mode { kCbr, kAbr, kVbr };
enum ChannelMode { kMono, kStereo, kJoint, kOneChannel, kTwoChannels };

const char *const kModes[] = {"cbr", "abr", "vbr", nullptr};
const char *const kChannelModes[] = {"m", "s", "j", "1", "2", nullptr};

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"m", 0, 0, kModes},  {"b", 8, 320, nullptr},      {"v", 0, 9, nullptr},
    {"q", 0, 9, nullptr}, {"f", 8000, 48000, nullptr}, {"c", 0, 0, kChannelModes},
};

constexpr int kDefaultBitrate = 128;
constexpr int kDefaultVbrQuality = 2; // lame -V2
constexpr int kDefaultQuality = 3;    // LAME's own default
constexpr int kMaxChannels = 2;

constexpr int kCbrBitrates[] = {8,  16,  24,  32,  40,  48,  56,  64,  80,
                                96, 112, 128, 144, 160, 192, 224, 256, 320};
constexpr int kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

template <size_t N> bool IsOneOf(const int (&list)[N], int value) {
    return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

constexpr MPEG_mode kLameModes[] = {MONO, STEREO, JOINT_STEREO, MONO, JOINT_STEREO};

struct LameDeleter {
    void operator()(lame_global_flags *lame) const { lame_close(lame); }
};
using Lame = std::unique_ptr<lame_global_flags, LameDeleter>;

// LAME set up for PCM of `channels` at `inRate` and the parameters, at `outRate` (0: LAME
// chooses); null when LAME refuses the settings.
Lame Configure(const ParamValues &params, int channels, int inRate, int outRate) {
    Lame lame(lame_init());
    if (!lame)
        return nullptr;
    lame_global_flags *l = lame.get();
    lame_set_num_channels(l, channels);
    lame_set_in_samplerate(l, inRate);
    lame_set_out_samplerate(l, outRate);
    lame_set_quality(l, params.Get(kQuality));
    lame_set_findReplayGain(l, 0);         // the analysis costs time and nothing here reads it
    lame_set_write_id3tag_automatic(l, 0); // ID tags are the tag plug-in's business
    lame_set_bWriteVbrTag(l, 1);
    if (params.Has(kChannelMode))
        lame_set_mode(l, kLameModes[params.Get(kChannelMode)]);
    switch (params.Get(kMode)) {
    case kVbr:
        lame_set_VBR(l, vbr_default);
        lame_set_VBR_quality(l, static_cast<float>(params.Get(kVbrQuality)));
        break;
    case kAbr:
        lame_set_VBR(l, vbr_abr);
        lame_set_VBR_mean_bitrate_kbps(l, params.Get(kBitrate));
        break;
    default:
        lame_set_VBR(l, vbr_off);
        lame_set_brate(l, params.Get(kBitrate));
        break;
    }
    if (lame_init_params(l) < 0)
        return nullptr;
    return lame;
}

class Mp3Session : public EncoderSession {
  public:
    Mp3Session(Lame configured, const WAVEFORMATEX &format)
        : lame(std::move(configured)), bits(format.wBitsPerSample), channels(format.nChannels),
          samples(knplugin::kBlockFrames * format.nChannels),
          // LAME's worst case for a buffer of n frames: 1.25 n + 7200 bytes
          mp3(knplugin::kBlockFrames * 5 / 4 + 7200) {}

    bool Feed(const uint8_t *pcm, size_t frames) override {
        knplugin::PcmToInt(pcm, bits, frames * channels, 32, samples.data());
        auto count = static_cast<int>(frames);
        auto size = static_cast<int>(mp3.size());
        int bytes = channels == 2 ? lame_encode_buffer_interleaved_int(lame.get(), samples.data(),
                                                                       count, mp3.data(), size)
                                  : lame_encode_buffer_int(lame.get(), samples.data(),
                                                           samples.data(), count, mp3.data(), size);
        return bytes >= 0 && file.Write(mp3.data(), static_cast<size_t>(bytes));
    }

    // Flushes the last frames and puts the final Xing/LAME tag into the first frame, which LAME
    // left empty for it (the file has nothing before it).
    bool Finish() override {
        int bytes = lame_encode_flush(lame.get(), mp3.data(), static_cast<int>(mp3.size()));
        if (bytes < 0 || !file.Write(mp3.data(), static_cast<size_t>(bytes)))
            return false;
        size_t tag = lame_get_lametag_frame(lame.get(), mp3.data(), mp3.size());
        if (tag > mp3.size())
            return false;
        return tag == 0 || file.WriteAt(0, mp3.data(), tag);
    }

  private:
    Lame lame;
    int bits;
    int channels;
    std::vector<int> samples;
    std::vector<unsigned char> mp3;
};

bool Settle(ParamValues &values) {
    values.SetIfUnset(kMode, values.Has(kBitrate) ? kCbr : kVbr);
    values.SetIfUnset(kQuality, kDefaultQuality);
    if (values.Has(kRate) && !IsOneOf(kRates, values.Get(kRate)))
        return false;
    if (values.Get(kMode) == kVbr) {
        values.SetIfUnset(kVbrQuality, kDefaultVbrQuality);
        return !values.Has(kBitrate);
    }
    values.SetIfUnset(kBitrate, kDefaultBitrate);
    if (values.Get(kMode) == kCbr && !IsOneOf(kCbrBitrates, values.Get(kBitrate)))
        return false;
    return !values.Has(kVbrQuality);
}

std::string Describe(const ParamValues &values) {
    static const char *const modeNames[] = {"CBR", "ABR", "VBR"};
    static const char *const channelNames[] = {"mono", "stereo", "joint stereo", "mono",
                                               "joint stereo"};
    std::string text = modeNames[values.Get(kMode)];
    if (values.Get(kMode) == kVbr)
        text += " V" + std::to_string(values.Get(kVbrQuality));
    else
        text += " " + std::to_string(values.Get(kBitrate)) + " kbps";
    text += ", q" + std::to_string(values.Get(kQuality));
    if (values.Has(kRate))
        text += ", " + std::to_string(values.Get(kRate)) + " Hz";
    if (values.Has(kChannelMode))
        text += std::string(", ") + channelNames[values.Get(kChannelMode)];
    return text;
}

int OutputChannels(const ParamValues &params, int inputChannels) {
    if (!params.Has(kChannelMode))
        return std::min(inputChannels, kMaxChannels);
    int mode = params.Get(kChannelMode);
    return mode == kMono || mode == kOneChannel ? 1 : 2;
}

// The asked rate, else the one that LAME picks for the bitrate and the input (the input's when
// LAME refuses the settings, which Start then reports).
knplugin::PcmShape OutputShape(const knplugin::EncoderTraits &, const ParamValues &params,
                               const knplugin::PcmShape &input) {
    knplugin::PcmShape shape = {input.rate, OutputChannels(params, input.channels), 0};
    if (params.Has(kRate)) {
        shape.rate = static_cast<uint32_t>(params.Get(kRate));
    } else if (Lame lame = Configure(params, shape.channels, static_cast<int>(input.rate), 0)) {
        shape.rate = static_cast<uint32_t>(lame_get_out_samplerate(lame.get()));
    }
    return shape;
}

// LAME codes at the rate that the format stage delivers; a rate that MPEG audio cannot carry
// (one that -FIXFREQ set) is refused.
int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    auto rate = static_cast<int>(format.nSamplesPerSec);
    Lame lame = Configure(params, format.nChannels, rate, rate);
    if (!lame)
        return IsOneOf(kRates, rate) ? KN_ERR_ENCODER_SETUP : KN_ERR_ENCODER_RATE;
    if (lame_get_out_samplerate(lame.get()) != rate)
        return KN_ERR_ENCODER_RATE;
    auto mp3 = std::make_unique<Mp3Session>(std::move(lame), format);
    if (!mp3->file.Create(outputName))
        return KN_ERR_OUTPUT_CREATE;
    session = std::move(mp3);
    return 0;
}

const char *tests[][2] = {
    {"m:vbr v:2", "test_v2.mp3"},          {"m:vbr v:6 q:5", "test_v6_q5.mp3"},
    {"m:cbr b:128", "test_cbr128.mp3"},    {"m:cbr b:320 q:0", "test_cbr320_q0.mp3"},
    {"m:abr b:96 c:m", "test_abr96_mono"}, {"m:cbr b:64 f:22050", "test_cbr64_22050.mp3"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "mp3 - MPEG-1/2 Layer III encoder (LAME)",
    .extension = "mp3",
    .extensionDescription = "MPEG Layer 3 files",
    .moduleId = 0x4D503320, // "MP3 "
    .grammar = {kKeys, kKeyCount},
    .rateKey = kRate,
    .bitsKey = -1,
    .channelsKey = kChannelMode,
    .maxChannels = kMaxChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText =
        "mp3 - MPEG-1/2 Layer III encoder (LAME)\n"
        "Parameters, blank separated, each at most once (default: m:vbr v:2 q:3):\n"
        "  m:<cbr|abr|vbr>  bitrate mode: constant, average or variable; default vbr,\n"
        "                   or cbr when only b: is given\n"
        "  b:<kbps>         bitrate of cbr (8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128,\n"
        "                   144, 160, 192, 224, 256 or 320) and abr (8 to 320); default 128;\n"
        "                   not with vbr\n"
        "  v:<0..9>         vbr quality, 0 best and largest; default 2; only with vbr\n"
        "  q:<0..9>         algorithm quality, 0 best and slowest; default 3\n"
        "  f:<rate>         output rate in Hz: 8000, 11025, 12000, 16000, 22050, 24000,\n"
        "                   32000, 44100 or 48000; default the rate LAME picks for the\n"
        "                   bitrate and the input. When the output rate differs from the\n"
        "                   input's, -FIXFREQ decides, then the input is resampled (libsoxr)\n"
        "  c:<m|s|j|1|2>    channel mode: mono (stereo is mixed to their mean), stereo or\n"
        "                   joint stereo; 1 is mono, 2 joint stereo; default joint stereo,\n"
        "                   mono for a mono input\n"
        "Takes PCM of 8 to 32 bits; surround input is down-mixed to stereo (ITU-R BS.775).\n"
        "ID tags are left to -COPYID/-SETID.\n"
        "Example: -ENC mp3 -ENCPARAM m:cbr b:192\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = OutputShape,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
