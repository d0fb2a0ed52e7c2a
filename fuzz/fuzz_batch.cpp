// The job/batch file reader: any bytes as a batch file, run by -BATCH through the core's exports.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/core_session.h"
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string content(reinterpret_cast<const char *>(data), size);
    if (!knfuzz::StaysInCurrentFolder(content))
        return -1;
    knfuzz::StartCore();
    knfuzz::RunCommand("-BATCH fuzzed.xfb", content);
    return 0;
}
