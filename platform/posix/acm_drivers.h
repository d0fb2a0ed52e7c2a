// The native format layer's driver list. The test support library adds drivers of its own
// (tests/support/posix/acm_drivers.cpp); they come ahead of the built-in PCM driver and leave
// once nothing uses them.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct AcmDriverId {
    const AcmDriverProcs *procs;
    int users; // opened handles, open streams and running calls: no removal meanwhile
};

// Guards the added drivers, every users count and the layer's handles.
std::mutex &AcmMutex();
// The added drivers, in the order added.
std::vector<std::unique_ptr<AcmDriverId>> &AddedAcmDrivers();

} // namespace platform
