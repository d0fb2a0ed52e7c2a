// Reading a text of unknown length from a Win32 call that fills a caller's buffer.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Calls fill(buffer, size) with a growing buffer until the whole text fits. fill returns the
// length written, or at least size when the text was cut; 0 means failure.
template <typename Fill> std::string ReadGrowing(Fill fill) {
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::string();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
