// Added drivers of the native format layer: entries of its driver list.
#include "tests/support/acm_drivers.h"

#include <memory>
#include <mutex>

#include "platform/posix/acm_drivers.h"

namespace platform {

MMRESULT AddLocalDriver(HACMDRIVERID *phadid, const AcmDriverProcs *procs) {
    std::lock_guard<std::mutex> lock(AcmMutex());
    auto &added = AddedAcmDrivers();
    added.push_back(std::make_unique<AcmDriverId>(AcmDriverId{procs, 0}));
    *phadid = added.back().get();
    return MMSYSERR_NOERROR;
}

MMRESULT RemoveLocalDriver(HACMDRIVERID hadid) {
    std::lock_guard<std::mutex> lock(AcmMutex());
    auto &added = AddedAcmDrivers();
    for (auto it = added.begin(); it != added.end(); ++it) {
        if (it->get() != hadid)
            continue;
        if (hadid->users > 0)
            return ACMERR_BUSY;
        added.erase(it);
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALHANDLE;
}

} // namespace platform
