// alac: Kernova's Apple Lossless encoder, libavcodec's ALAC encoder in an MPEG-4 file (.m4a).
// Lossless: 16- and 24-bit PCM come back bit for bit.
//
// Parameters (the shared encoder grammar):
//   l:<0..2>     compression level: 0 stores the samples, 2 (default) compresses best
//   b:<16|24>    output depth; default the input's, 8-bit input as 16 and 32-bit as 24
#include <algorithm>
#include <iterator>
#include <string>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "m4a_session.h"

namespace {

using knplugin::ParamValues;

enum Key { kLevel, kBits, kKeyCount };

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"l", 0, 2, nullptr},
    {"b", 16, 24, nullptr},
};

constexpr int kDefaultLevel = 2;

bool Settle(ParamValues &values) {
    values.SetIfUnset(kLevel, kDefaultLevel);
    return !values.Has(kBits) || values.Get(kBits) == 16 || values.Get(kBits) == 24;
}

std::string Describe(const ParamValues &values) {
    std::string text = "ALAC level " + std::to_string(values.Get(kLevel));
    if (values.Has(kBits))
        return text + ", " + std::to_string(values.Get(kBits)) + " bit";
    return text + ", depth of the input";
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<knplugin::EncoderSession> &session) {
    knplugin::M4aSettings settings = {"alac", format.wBitsPerSample, 0, 0, params.Get(kLevel)};
    return knplugin::StartM4a(outputName, format, settings, session);
}

const char *tests[][2] = {
    {"l:0", "test_l0.m4a"},
    {"l:1", "test_l1.m4a"},
    {"l:2", "test_l2.m4a"},
    {"l:2 b:24", "test_l2_24bit"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "alac - Apple Lossless encoder in MPEG-4 files (libavcodec)",
    .extension = "m4a",
    .extensionDescription = "MPEG-4 audio files (ALAC)",
    .moduleId = 0x414C4143, // "ALAC"
    .grammar = {kKeys, kKeyCount},
    .rateKey = -1,
    .bitsKey = kBits,
    .channelsKey = -1,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText = "alac - Apple Lossless encoder in MPEG-4 files (libavcodec)\n"
                "Parameters, blank separated, each at most once (default: l:2):\n"
                "  l:<0..2>   compression level: 0 stores the samples uncompressed, 2 compresses\n"
                "             best\n"
                "  b:<16|24>  sample depth of the file; default the input's, with 8-bit input\n"
                "             stored as 16 bits and 32-bit input as 24 bits; a lower depth gets\n"
                "             TPDF dither unless the samples already fit\n"
                "Takes 1 to 8 channels; the file keeps the input's rate and channels. The aac\n"
                "encoder writes .m4a files too: name this one with -ENC alac.\n"
                "Example: -ENC alac -ENCPARAM b:24\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = knplugin::CommonDepthShape,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
