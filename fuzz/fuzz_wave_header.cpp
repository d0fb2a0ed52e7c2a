// The WAV decoder's header reader on arbitrary bytes: GetFileInfo reads the chunks up to "data"
// and the length they give, without decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_files.h"
#include "fuzz/plugin_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const testhost::DecoderPlugin &plugin = testhost::LoadDecoder("wave");
    if (plugin.module == nullptr)
        std::abort();
    std::string file = knfuzz::WriteInput("header.wav", data, size);
    testhost::GetFileInfo(plugin, file);
    return 0;
}
