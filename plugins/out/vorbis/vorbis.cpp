// vorbis: Kernova's Ogg Vorbis encoder (libvorbisenc). Quality mode like oggenc -q, or a
// managed average bitrate. 1 to 8 channels, taken from the WAVE order into the Vorbis order.
// Another rate or channel count comes from the shared format stage.
//
// Parameters (the shared encoder grammar):
//   q:<-1..10>   quality, default 5
//   b:<kbps>     average bitrate instead of a quality
//   c:<1..8>     output channels (down-mix to stereo or mono, mono copied to stereo)
//   f:<rate>     output rate in Hz, 8000 to 192000, resampled
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "format_stage.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "resident_library.h"

// libvorbis and libvorbisenc stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&vorbis_info_init)) &&
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&vorbis_encode_init));

namespace {

using knplugin::EncoderSession;
using knplugin::ParamValues;

enum Key { kQuality, kBitrate, kChannels, kRate, kKeyCount };

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"q", -1, 10, nullptr},
    {"b", 32, 500, nullptr},
    {"c", 1, knplugin::kMaxSurroundChannels, nullptr},
    {"f", 8000, 192000, nullptr},
};

constexpr int kDefaultQuality = 5; // oggenc -q5

class VorbisSession : public EncoderSession {
  public:
    explicit VorbisSession(const WAVEFORMATEX &format)
        : bits(format.wBitsPerSample), channels(format.nChannels),
          order(knplugin::VorbisChannelOrder(format.nChannels)),
          samples(knplugin::kBlockFrames * format.nChannels) {
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }

    ~VorbisSession() override {
        if (streamReady)
            ogg_stream_clear(&stream);
        if (analysisReady) {
            vorbis_block_clear(&block);
            vorbis_dsp_clear(&dsp);
        }
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
    }

    // Sets the encoder up for a quality or, when `kbps` is above 0, an average bitrate; 0 or a
    // message code.
    int Setup(uint32_t rate, int quality, int kbps) {
        int result = kbps > 0 ? vorbis_encode_init(&info, channels, rate, -1, kbps * 1000, -1)
                              : vorbis_encode_init_vbr(&info, channels, rate, quality / 10.0f);
        if (result != 0 || vorbis_analysis_init(&dsp, &info) != 0)
            return KN_ERR_ENCODER_SETUP;
        vorbis_block_init(&dsp, &block);
        analysisReady = true;
        return 0;
    }

    // Creates the file and writes the three header packets on pages of their own.
    bool Start(const char *outputName) {
        std::random_device random;
        ogg_stream_init(&stream, static_cast<int>(random()));
        streamReady = true;
        ogg_packet id, tags, books;
        vorbis_analysis_headerout(&dsp, &comment, &id, &tags, &books);
        ogg_stream_packetin(&stream, &id);
        ogg_stream_packetin(&stream, &tags);
        ogg_stream_packetin(&stream, &books);
        return file.Create(outputName) && WritePages(true);
    }

    bool Feed(const uint8_t *pcm, size_t frames) override {
        knplugin::PcmToFloat(pcm, bits, frames * channels, samples.data());
        float **planes = vorbis_analysis_buffer(&dsp, static_cast<int>(frames));
        for (size_t frame = 0; frame < frames; frame++) {
            for (int channel = 0; channel < channels; channel++)
                planes[channel][frame] = samples[frame * channels + order[channel]];
        }
        vorbis_analysis_wrote(&dsp, static_cast<int>(frames));
        return Drain();
    }

    bool Finish() override {
        vorbis_analysis_wrote(&dsp, 0); // the end of the stream
        return Drain() && WritePages(true);
    }

  private:
    // Encodes the blocks that the analysis holds and writes the pages that are complete.
    bool Drain() {
        ogg_packet packet;
        while (vorbis_analysis_blockout(&dsp, &block) == 1) {
            vorbis_analysis(&block, nullptr);
            vorbis_bitrate_addblock(&block);
            while (vorbis_bitrate_flushpacket(&dsp, &packet) == 1) {
                ogg_stream_packetin(&stream, &packet);
                if (!WritePages(false))
                    return false;
            }
        }
        return !file.Failed();
    }

    bool WritePages(bool flush) {
        ogg_page page;
        while ((flush ? ogg_stream_flush(&stream, &page) : ogg_stream_pageout(&stream, &page)) !=
               0) {
            if (!file.Write(page.header, static_cast<size_t>(page.header_len)) ||
                !file.Write(page.body, static_cast<size_t>(page.body_len)))
                return false;
        }
        return true;
    }

    int bits;
    int channels;
    const int *order;
    std::vector<float> samples;
    vorbis_info info;
    vorbis_comment comment;
    vorbis_dsp_state dsp;
    vorbis_block block;
    ogg_stream_state stream;
    bool analysisReady = false;
    bool streamReady = false;
};

bool Settle(ParamValues &values) {
    if (values.Has(kBitrate))
        return !values.Has(kQuality);
    values.SetIfUnset(kQuality, kDefaultQuality);
    return true;
}

std::string Describe(const ParamValues &values) {
    std::string text = values.Has(kBitrate)
                           ? "Vorbis ABR " + std::to_string(values.Get(kBitrate)) + " kbps"
                           : "Vorbis VBR q" + std::to_string(values.Get(kQuality));
    text += knplugin::ShapeText(values, kChannels, kRate);
    return text;
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    auto vorbis = std::make_unique<VorbisSession>(format);
    int kbps = params.Has(kBitrate) ? params.Get(kBitrate) : 0;
    int result = vorbis->Setup(format.nSamplesPerSec, params.Get(kQuality), kbps);
    if (result != 0)
        return result;
    if (!vorbis->Start(outputName))
        return KN_ERR_OUTPUT_CREATE;
    session = std::move(vorbis);
    return 0;
}

const char *tests[][2] = {
    {"q:-1", "test_q-1.ogg"}, {"q:5", "test_q5.ogg"}, {"q:10", "test_q10.ogg"},
    {"b:96", "test_b96.ogg"}, {"b:192", "test_b192"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "vorbis - Ogg Vorbis encoder (libvorbis)",
    .extension = "ogg",
    .extensionDescription = "Ogg Vorbis files",
    .moduleId = 0x4F474756, // "OGGV"
    .grammar = {kKeys, kKeyCount},
    .rateKey = kRate,
    .bitsKey = -1,
    .channelsKey = kChannels,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText =
        "vorbis - Ogg Vorbis encoder (libvorbis)\n"
        "Parameters, blank separated, each at most once (default: q:5):\n"
        "  q:<-1..10>  quality, -1 smallest and 10 best; 5 is about 160 kbps for stereo\n"
        "  b:<kbps>    average bitrate from 32 to 500, kept by libvorbis's bitrate\n"
        "              management, instead of a quality; which bitrates are possible\n"
        "              depends on the rate and the channels\n"
        "  c:<1..8>    channels; default the input's: surround is down-mixed to stereo or\n"
        "              mono (ITU-R BS.775), stereo to mono as the mean, mono copied to stereo\n"
        "  f:<rate>    sample rate in Hz, 8000 to 192000; default the input's; another rate\n"
        "              is resampled (libsoxr, very high quality), -FIXFREQ deciding first\n"
        "Takes 1 to 8 channels (libvorbis covers 8000 to 192000 Hz).\n"
        "Example: -ENC vorbis -ENCPARAM q:6\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = nullptr,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
