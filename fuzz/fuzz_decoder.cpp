// One decoder plug-in (KN_FUZZ_DECODER, a library of bin/plugins/in) on arbitrary bytes through
// its own table, driven as the core drives it: the bytes become a file, Play decodes it into a
// writer that takes everything, and Stop closes it once the decoder posted its end of stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_files.h"
#include "fuzz/plugin_host.h"

namespace {

// Takes any format and every block, and keeps nothing.
class DiscardTarget final : public testhost::PcmTarget {
  public:
    int Open(const WAVEFORMATEX &) override { return 0; }
    size_t BlockSize() const override { return 4608; }
    int Encode(const char *) override { return 0; }
    void EncodeLast(const char *, size_t) override {}
    void Close() override {}
};

const testhost::DecoderPlugin &Decoder() {
    const testhost::DecoderPlugin &plugin = testhost::LoadDecoder(KN_FUZZ_DECODER);
    if (plugin.module == nullptr) {
        std::fprintf(stderr, "%s\n", plugin.loadError.c_str());
        std::abort();
    }
    return plugin;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const testhost::DecoderPlugin &plugin = Decoder();
    std::string file = knfuzz::WriteInput("input." KN_FUZZ_EXTENSION, data, size);
    DiscardTarget target;
    testhost::DecodeRun run = testhost::Decode(plugin, file, target);
    // A decode that neither ended nor stopped is a hang, which the time limit may not see when
    // it waits in another thread.
    if (!run.finished)
        std::abort();
    if (run.writer.opens != run.writer.closes)
        std::abort();
    return 0;
}
