// flac: Kernova's FLAC encoder (libFLAC). Lossless: 16- and 24-bit PCM come back bit for bit;
// 1 to 8 channels in the WAVE order, which is also FLAC's. Another rate, depth or channel
// count comes from the shared format stage.
//
// Parameters (the shared encoder grammar):
//   l:<0..8>     compression level, default 5
//   b:<16|24>    output depth; default the input's, 8-bit input as 16 and 32-bit as 24
//   c:<1..8>     output channels (down-mix to stereo or mono, mono copied to stereo)
//   f:<rate>     output rate in Hz, 1000 to 1048575, resampled
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <FLAC/format.h>
#include <FLAC/stream_encoder.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "resident_library.h"

// libFLAC stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&FLAC__stream_encoder_new));

namespace {

using knplugin::EncoderSession;
using knplugin::OutputFile;
using knplugin::ParamValues;

enum Key { kLevel, kBits, kChannels, kRate, kKeyCount };

// Rates up to the format's limit; above 655350 Hz or off the streamable subset's list the file
// needs the non-subset format, as with flac --lax.
const knplugin::ParamKey kKeys[kKeyCount] = {
    {"l", 0, 8, nullptr},
    {"b", 16, 24, nullptr},
    {"c", 1, knplugin::kMaxSurroundChannels, nullptr},
    {"f", 1000, static_cast<int>(FLAC__MAX_SAMPLE_RATE), nullptr},
};

constexpr int kDefaultLevel = 5;

FLAC__StreamEncoderWriteStatus WriteBytes(const FLAC__StreamEncoder *, const FLAC__byte buffer[],
                                          size_t bytes, uint32_t, uint32_t, void *file) {
    return static_cast<OutputFile *>(file)->Write(buffer, bytes)
               ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
               : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus SeekTo(const FLAC__StreamEncoder *, FLAC__uint64 offset, void *file) {
    return static_cast<OutputFile *>(file)->Seek(offset) ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                                                         : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus TellAt(const FLAC__StreamEncoder *, FLAC__uint64 *offset,
                                     void *file) {
    *offset = static_cast<OutputFile *>(file)->Tell();
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

class FlacSession : public EncoderSession {
  public:
    explicit FlacSession(const WAVEFORMATEX &format)
        : bits(format.wBitsPerSample), channels(format.nChannels),
          samples(knplugin::kBlockFrames * format.nChannels) {}

    ~FlacSession() override {
        if (encoder != nullptr)
            FLAC__stream_encoder_delete(encoder);
    }

    // Sets up the encoder and writes the stream header; 0 or a message code.
    int Start(const char *outputName, int level, uint32_t rate) {
        encoder = FLAC__stream_encoder_new();
        if (encoder == nullptr)
            return KN_ERR_ENCODER_SETUP;
        FLAC__stream_encoder_set_verify(encoder, false);
        // A rate that a frame header cannot carry needs the non-subset format, as with flac --lax.
        FLAC__stream_encoder_set_streamable_subset(encoder,
                                                   FLAC__format_sample_rate_is_subset(rate));
        FLAC__stream_encoder_set_channels(encoder, channels);
        FLAC__stream_encoder_set_bits_per_sample(encoder, static_cast<uint32_t>(bits));
        FLAC__stream_encoder_set_sample_rate(encoder, rate);
        FLAC__stream_encoder_set_compression_level(encoder, static_cast<uint32_t>(level));
        if (!file.Create(outputName))
            return KN_ERR_OUTPUT_CREATE;
        if (FLAC__stream_encoder_init_stream(encoder, WriteBytes, SeekTo, TellAt, nullptr, &file) !=
            FLAC__STREAM_ENCODER_INIT_STATUS_OK)
            return file.Failed() ? KN_ERR_OUTPUT_CREATE : KN_ERR_ENCODER_SETUP;
        return 0;
    }

    bool Feed(const uint8_t *pcm, size_t frames) override {
        knplugin::PcmToInt(pcm, bits, frames * channels, bits, samples.data());
        return FLAC__stream_encoder_process_interleaved(encoder, samples.data(),
                                                        static_cast<uint32_t>(frames));
    }

    // Writes the last frames and rewrites the stream header with the length and MD5 sum.
    bool Finish() override { return FLAC__stream_encoder_finish(encoder); }

  private:
    FLAC__StreamEncoder *encoder = nullptr;
    int bits;
    uint32_t channels;
    std::vector<FLAC__int32> samples;
};

bool Settle(ParamValues &values) {
    values.SetIfUnset(kLevel, kDefaultLevel);
    return !values.Has(kBits) || values.Get(kBits) == 16 || values.Get(kBits) == 24;
}

std::string Describe(const ParamValues &values) {
    std::string text = "FLAC level " + std::to_string(values.Get(kLevel));
    text += values.Has(kBits) ? ", " + std::to_string(values.Get(kBits)) + " bit"
                              : ", depth of the input";
    text += knplugin::ShapeText(values, kChannels, kRate);
    return text;
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    if (!FLAC__format_sample_rate_is_valid(format.nSamplesPerSec))
        return KN_ERR_ENCODER_INPUT;
    auto flac = std::make_unique<FlacSession>(format);
    int result = flac->Start(outputName, params.Get(kLevel), format.nSamplesPerSec);
    if (result == 0)
        session = std::move(flac);
    return result;
}

const char *tests[][2] = {
    {"l:0", "test_l0.flac"},       {"l:5", "test_l5.flac"},
    {"l:8", "test_l8.flac"},       {"l:5 b:16", "test_l5_16bit.flac"},
    {"l:5 b:24", "test_l5_24bit"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "flac - FLAC lossless encoder (libFLAC)",
    .extension = "flac",
    .extensionDescription = "FLAC files",
    .moduleId = 0x464C4143, // "FLAC"
    .grammar = {kKeys, kKeyCount},
    .rateKey = kRate,
    .bitsKey = kBits,
    .channelsKey = kChannels,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText =
        "flac - FLAC lossless encoder (libFLAC)\n"
        "Parameters, blank separated, each at most once (default: l:5):\n"
        "  l:<0..8>   compression level: 0 is fastest, 8 smallest; 5 is the usual balance\n"
        "  b:<16|24>  sample depth of the file; default the input's, with 8-bit input\n"
        "             stored as 16 bits and 32-bit input as 24 bits; a lower depth gets\n"
        "             TPDF dither unless the samples already fit\n"
        "  c:<1..8>   channels; default the input's: surround is down-mixed to stereo or\n"
        "             mono (ITU-R BS.775), stereo to mono as the mean, mono copied to stereo\n"
        "  f:<rate>   sample rate in Hz, 1000 to 1048575; default the input's; another rate\n"
        "             is resampled (libsoxr, very high quality), -FIXFREQ deciding first\n"
        "Takes 1 to 8 channels at any rate that FLAC carries (1 Hz to 1048575 Hz).\n"
        "Example: -ENC flac -ENCPARAM l:8 b:24\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = knplugin::CommonDepthShape,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
