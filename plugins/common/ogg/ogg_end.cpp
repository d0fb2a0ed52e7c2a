#include "ogg_end.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace knplugin {
namespace {

// A page is at most 65307 bytes long; twice 64 KiB also holds the last page when a few bytes
// (an appended tag) follow it.
constexpr std::streamoff kTailBytes = 2 * 65536;

std::vector<char> ReadTail(const char *fileName) {
    std::ifstream file(fileName, std::ios::binary | std::ios::ate);
    std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : 0;
    std::streamoff start = std::max<std::streamoff>(size - kTailBytes, 0);
    std::vector<char> tail(static_cast<size_t>(size - start));
    file.seekg(start);
    file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    tail.resize(static_cast<size_t>(std::max<std::streamsize>(file.gcount(), 0)));
    return tail;
}

// Whether the bytes that the sync layer could not make a page of begin one: a page cut short.
bool HoldsPageStart(const ogg_sync_state &sync) {
    const long rest = sync.fill - sync.returned;
    return rest >= 4 && std::memcmp(sync.data + sync.returned, "OggS", 4) == 0;
}

} // namespace

bool EndsWithStreamEnd(const char *fileName) {
    std::vector<char> tail = ReadTail(fileName);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char *buffer = ogg_sync_buffer(&sync, static_cast<long>(tail.size()));
    bool ends = false;
    if (buffer != nullptr) {
        std::memcpy(buffer, tail.data(), tail.size());
        ogg_sync_wrote(&sync, static_cast<long>(tail.size()));
        ogg_page page;
        long result = 0;
        // Positive: a whole page; negative: bytes skipped to the next one; 0: the rest is no page.
        while ((result = ogg_sync_pageseek(&sync, &page)) != 0)
            if (result > 0)
                ends = ogg_page_eos(&page) != 0;
        ends = ends && !HoldsPageStart(sync);
    }
    ogg_sync_clear(&sync);
    return ends;
}

} // namespace knplugin
