// What the Windows format layer shares with the code that adds local function drivers to the
// system's ACM (the test support library, tests/support/win32/acm_drivers.cpp).
#pragma once

#include <cstdint>
#include <mutex>

namespace platform {

// Held around every call into msacm32, which keeps its lists without locks; recursive, since
// enumeration callbacks may call in again.
std::recursive_mutex &AcmMutex();
// The place of a driver the process added: 1 for the first one added, and so on; 0 for the
// system's own drivers.
using AddedDriverRank = uint64_t (*)(const void *id);
// The layer lists added drivers first, by rank, and keeps its PCM shortcuts to the system's.
void SetAddedDriverRank(AddedDriverRank rank);

} // namespace platform
