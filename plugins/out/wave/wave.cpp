// wave: Kernova's PCM WAV writer. Writes PCM as a RIFF/WAVE file (plain PCM up to 2 channels
// and 16 bits, WAVE_FORMAT_EXTENSIBLE above), at another rate, depth or channel count through
// the shared format stage.
//
// Parameters (the shared encoder grammar):
//   b:<8|16|24|32>  output depth; a lower depth is dithered
//   c:<1..8>        output channels: a down-mix to stereo or mono, or mono copied to stereo
//   f:<rate>        output rate in Hz (1000 to 768000), resampled
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"

namespace {

using knplugin::EncoderSession;
using knplugin::kBlockFrames;
using knplugin::ParamValues;

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFF;

// Speaker masks of the usual layouts for 1 to 8 channels.
constexpr uint32_t kChannelMasks[knplugin::kMaxSurroundChannels + 1] = {
    0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
constexpr uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

enum Key { kBits, kChannels, kRate, kKeyCount };

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"b", 8, 32, nullptr},
    {"c", 1, knplugin::kMaxSurroundChannels, nullptr},
    {"f", 1000, 768000, nullptr},
};

struct OutputFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;

    uint32_t FrameBytes() const { return channels * (bits / 8u); }
    bool Extensible() const { return channels > 2 || bits > 16; }
    uint32_t FormatChunkSize() const { return Extensible() ? 40 : 16; }
    uint32_t HeaderBytes() const { return 12 + 8 + FormatChunkSize() + 8; }
};

void PutLe16(std::vector<uint8_t> &bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(std::vector<uint8_t> &bytes, uint32_t value) {
    PutLe16(bytes, value & 0xFFFF);
    PutLe16(bytes, value >> 16);
}

void PutTag(std::vector<uint8_t> &bytes, const char *tag) {
    for (int i = 0; i < 4; i++)
        bytes.push_back(static_cast<uint8_t>(tag[i]));
}

std::vector<uint8_t> MakeHeader(const OutputFormat &format, uint64_t dataBytes) {
    std::vector<uint8_t> bytes;
    PutTag(bytes, "RIFF");
    PutLe32(bytes, static_cast<uint32_t>(format.HeaderBytes() - 8 + dataBytes + (dataBytes & 1)));
    PutTag(bytes, "WAVE");
    PutTag(bytes, "fmt ");
    PutLe32(bytes, format.FormatChunkSize());
    PutLe16(bytes, format.Extensible() ? kTagExtensible : kTagPcm);
    PutLe16(bytes, format.channels);
    PutLe32(bytes, format.rate);
    PutLe32(bytes, format.rate * format.FrameBytes());
    PutLe16(bytes, format.FrameBytes());
    PutLe16(bytes, format.bits);
    if (format.Extensible()) {
        PutLe16(bytes, 22);
        PutLe16(bytes, format.bits);
        PutLe32(bytes, kChannelMasks[format.channels]);
        bytes.insert(bytes.end(), kPcmGuid, kPcmGuid + sizeof kPcmGuid);
    }
    PutTag(bytes, "data");
    PutLe32(bytes, static_cast<uint32_t>(dataBytes));
    return bytes;
}

class WaveSession : public EncoderSession {
  public:
    explicit WaveSession(const OutputFormat &format) : output(format) {}

    bool Start(const char *outputName) {
        std::vector<uint8_t> header = MakeHeader(output, 0);
        return file.Create(outputName) && file.Write(header.data(), header.size());
    }

    // Writes whole frames; false once the output failed or would pass the 4 GiB limit.
    bool Feed(const uint8_t *data, size_t frames) override {
        while (frames > 0) {
            size_t now = std::min(frames, kBlockFrames);
            size_t bytes = now * output.FrameBytes();
            if (output.HeaderBytes() - 8 + dataBytes + bytes + 1 > kMaxRiffSize) {
                file.Fail(EFBIG);
                return false;
            }
            if (!file.Write(data, bytes))
                return false;
            dataBytes += bytes;
            data += bytes;
            frames -= now;
        }
        return true;
    }

    bool Finish() override {
        if (dataBytes & 1)
            file.Write("", 1);
        std::vector<uint8_t> header = MakeHeader(output, dataBytes);
        return file.WriteAt(0, header.data(), header.size());
    }

  private:
    OutputFormat output;
    uint64_t dataBytes = 0;
};

bool Settle(ParamValues &values) {
    return !values.Has(kBits) || knplugin::IsPcmDepth(values.Get(kBits));
}

std::string Describe(const ParamValues &values) {
    std::string text = "PCM WAV";
    if (values.Has(kBits))
        text += ", " + std::to_string(values.Get(kBits)) + " bit";
    text += knplugin::ShapeText(values, kChannels, kRate);
    if (!values.Has(kBits) && !values.Has(kChannels) && !values.Has(kRate))
        text += ", as the input";
    return text;
}

int Start(const char *outputName, ParamValues &, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    auto wave = std::make_unique<WaveSession>(
        OutputFormat{format.nSamplesPerSec, format.nChannels, format.wBitsPerSample});
    if (!wave->Start(outputName))
        return KN_ERR_OUTPUT_CREATE;
    session = std::move(wave);
    return 0;
}

const char *tests[][2] = {{"b:16", "test16.wav"}, {"b:24", "test24"}, {"b:8", "test8.wav"}};

const knplugin::EncoderTraits kTraits = {
    .description = "wave - PCM WAV writer",
    .extension = "wav",
    .extensionDescription = "Wave files",
    .moduleId = 0x57415645, // "WAVE"
    .grammar = {kKeys, kKeyCount},
    .rateKey = kRate,
    .bitsKey = kBits,
    .channelsKey = kChannels,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_WAVE_FORMAT_CHANGE,
    .helpText = "wave - PCM WAV writer\n"
                "Parameters, blank separated, each at most once (default: the input's format):\n"
                "  b:<bits>   sample depth 8, 16, 24 or 32, converted from the input's depth;\n"
                "             a lower depth gets TPDF dither unless the samples already fit\n"
                "  c:<1..8>   channels: surround is down-mixed to stereo or mono (ITU-R BS.775),\n"
                "             stereo to mono as the mean, mono copied to stereo; any other change\n"
                "             of the channel count is refused (error 20)\n"
                "  f:<rate>   sample rate in Hz, 1000 to 768000, resampled (libsoxr, very high\n"
                "             quality); when it differs from the input's, -FIXFREQ decides first\n"
                "More than 2 channels or more than 16 bits are written as WAVE_FORMAT_EXTENSIBLE.\n"
                "A file cannot pass 4 GiB: longer inputs fail. A failed output is removed.\n"
                "Example: -ENC wave -ENCPARAM b:24 c:2\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = nullptr,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
