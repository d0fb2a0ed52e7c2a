// aac: Kernova's AAC encoder, libavcodec's own AAC-LC encoder in an MPEG-4 file (.m4a). The
// bitrate is an average (libavcodec's AAC encoder has no strict CBR); q: selects its VBR mode.
//
// Parameters (the shared encoder grammar):
//   b:<16..1024>   bitrate in kbit/s; default the encoder's: 128 stereo, 69 mono, 341 for 5.1
//   q:<1..20>      VBR quality in tenths (q:10 is FFmpeg's -q:a 1.0); not with b:
#include <iterator>
#include <string>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "m4a_session.h"

namespace {

using knplugin::ParamValues;

enum Key { kBitrate, kQuality, kKeyCount };

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"b", 16, 1024, nullptr},
    {"q", 1, 20, nullptr},
};

bool Settle(ParamValues &values) {
    return !(values.Has(kBitrate) && values.Has(kQuality));
}

std::string Describe(const ParamValues &values) {
    if (values.Has(kQuality)) {
        int q = values.Get(kQuality);
        return "AAC VBR quality " + std::to_string(q / 10) + "." + std::to_string(q % 10);
    }
    if (values.Has(kBitrate))
        return "AAC " + std::to_string(values.Get(kBitrate)) + " kbps";
    return "AAC, the encoder's bitrate for the channels";
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<knplugin::EncoderSession> &session) {
    knplugin::M4aSettings settings = {"aac", 0, 0, 0, -1};
    if (params.Has(kBitrate))
        settings.bitRate = params.Get(kBitrate) * 1000LL;
    if (params.Has(kQuality))
        settings.quality = params.Get(kQuality);
    return knplugin::StartM4a(outputName, format, settings, session);
}

const char *tests[][2] = {
    {"b:96", "test_b96.m4a"},
    {"b:128", "test_b128.m4a"},
    {"b:256", "test_b256.m4a"},
    {"q:10", "test_q10"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "aac - AAC encoder in MPEG-4 files (libavcodec)",
    .extension = "m4a",
    .extensionDescription = "MPEG-4 audio files (AAC)",
    .moduleId = 0x41414320, // "AAC "
    .grammar = {kKeys, kKeyCount},
    .rateKey = -1,
    .bitsKey = -1,
    .channelsKey = -1,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText =
        "aac - AAC encoder in MPEG-4 files (libavcodec)\n"
        "Parameters, blank separated, each at most once (default: the encoder's bitrate):\n"
        "  b:<16..1024>  average bitrate in kbit/s; without it 128 for stereo, 69 for mono,\n"
        "                341 for 5.1\n"
        "  q:<1..20>     variable bitrate at a quality in tenths: q:10 is FFmpeg's -q:a 1\n"
        "                (about 128 kbit/s stereo); not together with b:\n"
        "Takes 1 to 8 channels at 7350 to 96000 Hz (the AAC rates); the file keeps the\n"
        "input's rate and channels. The alac encoder writes .m4a files too; without -ENC\n"
        "an .m4a output gets AAC.\n"
        "Example: -ENC aac -ENCPARAM b:192\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = nullptr,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
