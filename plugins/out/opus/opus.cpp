// opus: Kernova's Ogg Opus encoder (libopusenc). Unconstrained VBR like opusenc; 1 to 8
// channels (surround as mapping family 1, in the Vorbis channel order). The stream's header
// holds the input's rate and libopusenc resamples to Opus's 48000 Hz: its resampler measures as
// well as the shared stage under Opus's own coding noise and keeps that header rate. The
// shared format stage makes an asked rate or channel count first.
//
// Parameters (the shared encoder grammar):
//   b:<kbps>                   bitrate; default 64 per stream plus 32 per coupled pair
//   x:<0..10>                  complexity, default 10
//   a:<audio|voip|lowdelay>    application, default audio
//   c:<1..8>                   output channels (down-mix to stereo or mono, mono to stereo)
//   f:<rate>                   the input rate that the header holds, 8000 to 192000
#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <opus/opusenc.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "format_stage.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "resident_library.h"

// libopusenc stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&ope_encoder_create_callbacks));

namespace {

using knplugin::EncoderSession;
using knplugin::OutputFile;
using knplugin::ParamValues;

enum Key { kBitrate, kComplexity, kApplication, kChannels, kRate, kKeyCount };
enum Application { kAudio, kVoip, kLowDelay };

const char *const kApplications[] = {"audio", "voip", "lowdelay", nullptr};
constexpr int kOpusApplications[] = {OPUS_APPLICATION_AUDIO, OPUS_APPLICATION_VOIP,
                                     OPUS_APPLICATION_RESTRICTED_LOWDELAY};

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"b", 6, 2048, nullptr},      {"x", 0, 10, nullptr},
    {"a", 0, 0, kApplications},   {"c", 1, knplugin::kMaxSurroundChannels, nullptr},
    {"f", 8000, 192000, nullptr},
};

constexpr int kDefaultComplexity = 10;
// opusenc's default at 48 kHz: 64 kbps for each stream and 32 more for each coupled one.
constexpr int kStreamBitrate = 64000;
constexpr int kCoupledBitrate = 32000;
constexpr int kMaxLsbDepth = 24;

int WriteBytes(void *file, const unsigned char *data, opus_int32 bytes) {
    return static_cast<OutputFile *>(file)->Write(data, static_cast<size_t>(bytes)) ? 0 : 1;
}

int CloseNothing(void *) {
    return 0; // the file is closed by the session, which knows whether it is complete
}

const OpusEncCallbacks kCallbacks = {WriteBytes, CloseNothing};

class OpusSession : public EncoderSession {
  public:
    explicit OpusSession(const WAVEFORMATEX &format)
        : bits(format.wBitsPerSample), channels(format.nChannels),
          order(knplugin::VorbisChannelOrder(format.nChannels)),
          samples(knplugin::kBlockFrames * format.nChannels),
          ordered(knplugin::kBlockFrames * format.nChannels) {}

    ~OpusSession() override {
        if (encoder != nullptr)
            ope_encoder_destroy(encoder);
    }

    // Creates the file and the encoder; the headers follow with the first samples. 0 or a
    // message code.
    int Start(const char *outputName, uint32_t rate, const ParamValues &params) {
        if (!file.Create(outputName))
            return KN_ERR_OUTPUT_CREATE;
        OggOpusComments *comments = ope_comments_create();
        if (comments == nullptr)
            return KN_ERR_ENCODER_SETUP;
        int family = channels > 2 ? 1 : 0;
        int error = OPE_OK;
        encoder = ope_encoder_create_callbacks(
            &kCallbacks, &file, comments, static_cast<opus_int32>(rate), channels, family, &error);
        ope_comments_destroy(comments);
        if (encoder == nullptr || error != OPE_OK)
            return KN_ERR_ENCODER_SETUP;
        return Configure(params) ? 0 : KN_ERR_ENCODER_SETUP;
    }

    bool Feed(const uint8_t *pcm, size_t frames) override {
        knplugin::PcmToFloat(pcm, bits, frames * channels, samples.data());
        for (size_t frame = 0; frame < frames; frame++) {
            for (int channel = 0; channel < channels; channel++)
                ordered[frame * channels + channel] = samples[frame * channels + order[channel]];
        }
        return ope_encoder_write_float(encoder, ordered.data(), static_cast<int>(frames)) == OPE_OK;
    }

    bool Finish() override {
        // libopusenc 0.2.1 fails an assertion when it drains a 48 kHz stream that was never
        // written to; a write of no samples starts the stream first.
        return ope_encoder_write_float(encoder, ordered.data(), 0) == OPE_OK &&
               ope_encoder_drain(encoder) == OPE_OK;
    }

  private:
    bool Configure(const ParamValues &params) {
        std::random_device random;
        int streams = 1, coupled = 0;
        ope_encoder_ctl(encoder, OPE_GET_NB_STREAMS(&streams));
        ope_encoder_ctl(encoder, OPE_GET_NB_COUPLED_STREAMS(&coupled));
        opus_int32 bitrate = params.Has(kBitrate)
                                 ? params.Get(kBitrate) * 1000
                                 : streams * kStreamBitrate + coupled * kCoupledBitrate;
        // libopusenc's own serial number comes from an unseeded rand(): the same in every file.
        int serial = static_cast<int>(random() & 0x7FFFFFFF);
        return ope_encoder_ctl(encoder, OPE_SET_SERIALNO(serial)) == OPE_OK &&
               ope_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate)) == OPE_OK &&
               ope_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(0)) == OPE_OK &&
               ope_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(params.Get(kComplexity))) == OPE_OK &&
               ope_encoder_ctl(encoder,
                               OPUS_SET_APPLICATION(kOpusApplications[params.Get(kApplication)])) ==
                   OPE_OK &&
               ope_encoder_ctl(encoder, OPUS_SET_LSB_DEPTH(std::min(bits, kMaxLsbDepth))) == OPE_OK;
    }

    OggOpusEnc *encoder = nullptr;
    int bits;
    int channels;
    const int *order;
    std::vector<float> samples;
    std::vector<float> ordered;
};

bool Settle(ParamValues &values) {
    values.SetIfUnset(kComplexity, kDefaultComplexity);
    values.SetIfUnset(kApplication, kAudio);
    return true;
}

std::string Describe(const ParamValues &values) {
    std::string text = "Opus VBR ";
    text += values.Has(kBitrate) ? std::to_string(values.Get(kBitrate)) + " kbps" : "auto bitrate";
    text += std::string(", ") + kApplications[values.Get(kApplication)];
    text += ", complexity " + std::to_string(values.Get(kComplexity));
    text += knplugin::ShapeText(values, kChannels, kRate);
    return text;
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    auto opus = std::make_unique<OpusSession>(format);
    int result = opus->Start(outputName, format.nSamplesPerSec, params);
    if (result == 0)
        session = std::move(opus);
    return result;
}

const char *tests[][2] = {
    {"b:32 a:voip", "test_voip32.opus"},
    {"b:64", "test_b64.opus"},
    {"b:128", "test_b128.opus"},
    {"b:128 x:0", "test_b128_x0.opus"},
    {"b:96 a:lowdelay", "test_lowdelay96"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "opus - Ogg Opus encoder (libopus)",
    .extension = "opus",
    .extensionDescription = "Ogg Opus files",
    .moduleId = 0x4F505553, // "OPUS"
    .grammar = {kKeys, kKeyCount},
    .rateKey = kRate,
    .bitsKey = -1,
    .channelsKey = kChannels,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText =
        "opus - Ogg Opus encoder (libopus)\n"
        "Parameters, blank separated, each at most once (default: x:10 a:audio):\n"
        "  b:<kbps>      bitrate, 6 to 2048 (Opus uses at most 256 per channel); default\n"
        "                64 per stream plus 32 per stereo pair: 64 for mono, 96 for stereo,\n"
        "                320 for 5.1\n"
        "  x:<0..10>     complexity, 0 fastest and 10 best; default 10\n"
        "  a:<audio|voip|lowdelay>  application: music and general audio, speech, or\n"
        "                the lowest delay; default audio\n"
        "  c:<1..8>      channels; default the input's: surround is down-mixed to stereo\n"
        "                or mono (ITU-R BS.775), stereo to mono as the mean, mono copied to\n"
        "                stereo\n"
        "  f:<rate>      the input rate that the stream's header records, 8000 to 192000;\n"
        "                default the input's; another rate is resampled (libsoxr) first,\n"
        "                -FIXFREQ deciding\n"
        "The bitrate is a target of unconstrained VBR. Takes 1 to 8 channels at any rate;\n"
        "Opus codes at 48000 Hz and players decode at that rate.\n"
        "Example: -ENC opus -ENCPARAM b:160\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = nullptr,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
