// The command line through the core's exports: any text as one DoCommand_DLL call.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/core_session.h"
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    if (line.find('\0') != std::string::npos || !knfuzz::StaysInCurrentFolder(line))
        return -1;
    knfuzz::StartCore();
    knfuzz::RunCommand(line);
    return 0;
}
