// wavpack: Kernova's WavPack encoder (libwavpack), .wv files. Lossless by default: 8- to 32-bit
// PCM comes back bit for bit. Hybrid mode stores a lossy file of the given bitrate and, when
// asked, the rest in a correction file beside it (<name>.wvc), which together are lossless
// again. 1 to 8 channels in the WAVE order, with the usual speaker mask.
//
// Parameters (the shared encoder grammar):
//   l:<1..4>        1 fast, 2 normal (default), 3 high, 4 very high compression
//   h:<24..9600>    hybrid mode at this bitrate in kbit/s
//   c:<0|1>         with h:, 1 also writes the correction file; default 0
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <wavpack/wavpack.h>

#include "encoder_pcm.h"
#include "encoder_table.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "resident_library.h"

// libwavpack stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&WavpackOpenFileOutput));

namespace {

using knplugin::EncoderSession;
using knplugin::OutputFile;
using knplugin::ParamValues;

enum Key { kLevel, kHybrid, kCorrection, kKeyCount };

const knplugin::ParamKey kKeys[kKeyCount] = {
    {"l", 1, 4, nullptr},
    {"h", 24, 9600, nullptr},
    {"c", 0, 1, nullptr},
};

constexpr int kDefaultLevel = 2;
constexpr int kLevelFlags[] = {0, CONFIG_FAST_FLAG, 0, CONFIG_HIGH_FLAG,
                               CONFIG_HIGH_FLAG | CONFIG_VERY_HIGH_FLAG};
constexpr int32_t kChannelMasks[knplugin::kMaxSurroundChannels + 1] = {
    0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};

// "song.wv" -> "song.wvc"; any other name gets ".wvc" added.
std::string CorrectionName(const std::string &output) {
    size_t size = output.size();
    bool wv = size >= 3 && output[size - 3] == '.' && (output[size - 2] | 0x20) == 'w' &&
              (output[size - 1] | 0x20) == 'v';
    return wv ? output + "c" : output + ".wvc";
}

// The core writes the output under a temporary name, "song.kernova-partial-4711.wv", and puts
// it in place when the job succeeds; the correction file is written beside it under the
// matching temporary name and goes to its own name ("song.wvc") once it is complete.
std::string FinalName(const std::string &written) {
    static const char kMark[] = ".kernova-partial-";
    size_t mark = written.rfind(kMark);
    if (mark == std::string::npos)
        return written;
    size_t end = mark + sizeof kMark - 1;
    while (end < written.size() && written[end] >= '0' && written[end] <= '9')
        ++end;
    return written.substr(0, mark) + written.substr(end);
}

// One of the two files: every block goes to it, and the first is kept so that its sample count
// can be filled in at the end.
struct BlockFile {
    OutputFile *file = nullptr;
    std::vector<char> firstBlock;
};

int WriteBlock(void *id, void *data, int32_t bytes) {
    auto *target = static_cast<BlockFile *>(id);
    if (target->firstBlock.empty())
        target->firstBlock.assign(static_cast<char *>(data), static_cast<char *>(data) + bytes);
    return target->file->Write(data, static_cast<size_t>(bytes)) ? 1 : 0;
}

class WavpackSession : public EncoderSession {
  public:
    explicit WavpackSession(const WAVEFORMATEX &format)
        : bits(format.wBitsPerSample), channels(format.nChannels),
          samples(knplugin::kBlockFrames * format.nChannels) {}

    ~WavpackSession() override {
        if (context != nullptr)
            WavpackCloseFile(context);
    }

    // Creates the file (and the correction file) and starts the encoder; 0 or a message code.
    int Start(const char *outputName, uint32_t rate, const ParamValues &params) {
        bool correction = params.Has(kHybrid) && params.Get(kCorrection) == 1;
        if (correction) {
            correctionWritten = CorrectionName(outputName);
            correctionFinal = FinalName(correctionWritten);
        }
        if (!file.Create(outputName) ||
            (correction && !correctionFile.Create(correctionWritten.c_str())))
            return KN_ERR_OUTPUT_CREATE;
        main.file = &file;
        extra.file = &correctionFile;
        context = WavpackOpenFileOutput(WriteBlock, &main, correction ? &extra : nullptr);
        if (context == nullptr)
            return KN_ERR_ENCODER_SETUP;
        WavpackConfig config{};
        config.bytes_per_sample = bits / 8;
        config.bits_per_sample = bits;
        config.num_channels = channels;
        config.channel_mask = kChannelMasks[channels];
        config.sample_rate = static_cast<int32_t>(rate);
        config.flags = kLevelFlags[params.Get(kLevel)];
        if (params.Has(kHybrid)) {
            config.flags |= CONFIG_HYBRID_FLAG | CONFIG_BITRATE_KBPS;
            config.bitrate = static_cast<float>(params.Get(kHybrid));
            if (correction)
                config.flags |= CONFIG_CREATE_WVC;
        }
        if (!WavpackSetConfiguration64(context, &config, -1, nullptr) || !WavpackPackInit(context))
            return KN_ERR_ENCODER_SETUP;
        return 0;
    }

    bool Feed(const uint8_t *pcm, size_t frames) override {
        knplugin::PcmToInt(pcm, bits, frames * channels, bits, samples.data());
        return WavpackPackSamples(context, samples.data(), static_cast<uint32_t>(frames)) != 0;
    }

    // Writes the last block and fills the sample count into the first block of each file.
    bool Finish() override {
        if (!WavpackFlushSamples(context))
            return false;
        if (!UpdateFirstBlock(main))
            return false;
        if (!correctionFile.IsOpen())
            return true;
        if (!UpdateFirstBlock(extra) || !correctionFile.Close())
            return false;
        return PlaceCorrectionFile();
    }

  private:
    bool PlaceCorrectionFile() {
        if (correctionFinal == correctionWritten)
            return true;
        std::remove(correctionFinal.c_str()); // the rename replaces nothing on every system
        if (std::rename(correctionWritten.c_str(), correctionFinal.c_str()) == 0)
            return true;
        std::remove(correctionWritten.c_str());
        return false;
    }

    bool UpdateFirstBlock(BlockFile &target) {
        if (target.firstBlock.empty())
            return true; // no sample was written: the file holds no block
        WavpackUpdateNumSamples(context, target.firstBlock.data());
        return target.file->WriteAt(0, target.firstBlock.data(), target.firstBlock.size());
    }

    int bits;
    int channels;
    std::vector<int32_t> samples;
    OutputFile correctionFile;
    std::string correctionWritten;
    std::string correctionFinal;
    BlockFile main;
    BlockFile extra;
    WavpackContext *context = nullptr;
};

bool Settle(ParamValues &values) {
    values.SetIfUnset(kLevel, kDefaultLevel);
    if (values.Has(kCorrection) && !values.Has(kHybrid))
        return false;
    values.SetIfUnset(kCorrection, 0);
    return true;
}

std::string Describe(const ParamValues &values) {
    static const char *const kLevels[] = {"", "fast", "normal", "high", "very high"};
    std::string text = std::string("WavPack ") + kLevels[values.Get(kLevel)];
    if (!values.Has(kHybrid))
        return text + ", lossless";
    text += ", hybrid " + std::to_string(values.Get(kHybrid)) + " kbps";
    return values.Get(kCorrection) == 1 ? text + " with correction file" : text;
}

int Start(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
          std::unique_ptr<EncoderSession> &session) {
    auto wavpack = std::make_unique<WavpackSession>(format);
    int result = wavpack->Start(outputName, format.nSamplesPerSec, params);
    if (result == 0)
        session = std::move(wavpack);
    return result;
}

const char *tests[][2] = {
    {"l:1", "test_l1.wv"},     {"l:2", "test_l2.wv"},          {"l:4", "test_l4.wv"},
    {"h:256", "test_h256.wv"}, {"h:320 c:1", "test_h320_wvc"},
};

const knplugin::EncoderTraits kTraits = {
    .description = "wavpack - WavPack lossless and hybrid encoder (libwavpack)",
    .extension = "wv",
    .extensionDescription = "WavPack files",
    .moduleId = 0x57565043, // "WVPC"
    .grammar = {kKeys, kKeyCount},
    .rateKey = -1,
    .bitsKey = -1,
    .channelsKey = -1,
    .maxChannels = knplugin::kMaxSurroundChannels,
    .refusedInputCode = KN_ERR_ENCODER_INPUT,
    .helpText = "wavpack - WavPack lossless and hybrid encoder (libwavpack)\n"
                "Parameters, blank separated, each at most once (default: l:2, lossless):\n"
                "  l:<1..4>      compression: 1 fast, 2 normal, 3 high, 4 very high (slowest)\n"
                "  h:<24..9600>  hybrid mode: a lossy file of about this many kbit/s\n"
                "  c:<0|1>       with h:, 1 also writes the correction file <name>.wvc that makes\n"
                "                the pair lossless; default 0\n"
                "Takes 8- to 32-bit PCM, 1 to 8 channels, at any rate; the file keeps the input's\n"
                "depth, rate and channels.\n"
                "Example: -ENC wavpack -ENCPARAM l:3 h:384 c:1\n",
    .tests = tests,
    .testCount = static_cast<int>(std::size(tests)),
    .settle = Settle,
    .describe = Describe,
    .outputShape = nullptr,
    .start = Start,
};

} // namespace

KN_ENCODER_ENTRY_POINT(kTraits)
