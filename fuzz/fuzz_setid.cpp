// The -SETID text parser of the tag plug-in on any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plugins/idtagger/setid_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    idtagger::ParseSetIdText(std::string_view(reinterpret_cast<const char *>(data), size));
    return 0;
}
