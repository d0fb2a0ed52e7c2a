#include "tests/support/acm_drivers.h"

#include "platform/audio_format_common.h"

namespace platform {

namespace {

int MatchDriver(HACMDRIVERID id, uintptr_t instance, uint32_t) {
    auto *wanted = reinterpret_cast<HACMDRIVERID *>(instance);
    if (id != *wanted)
        return 1;
    *wanted = nullptr;
    return 0;
}

bool IsListedDriver(HACMDRIVERID hadid) {
    HACMDRIVERID wanted = hadid;
    acmDriverEnum(MatchDriver, reinterpret_cast<uintptr_t>(&wanted), 0);
    return hadid != nullptr && wanted == nullptr;
}

} // namespace

MMRESULT acmDriverAdd(HACMDRIVERID *phadid, const AcmDriverProcs *procs, uint32_t fdwAdd) {
    if (phadid == nullptr || procs == nullptr || procs->open == nullptr ||
        procs->getFormat == nullptr || procs->suggest == nullptr || procs->canConvert == nullptr ||
        procs->maxFormatSize < kFormatSize)
        return MMSYSERR_INVALPARAM;
    if (fdwAdd != 0)
        return MMSYSERR_INVALFLAG;
    return AddLocalDriver(phadid, procs);
}

MMRESULT acmDriverRemove(HACMDRIVERID hadid, uint32_t fdwRemove) {
    if (fdwRemove != 0)
        return MMSYSERR_INVALFLAG;
    MMRESULT result = RemoveLocalDriver(hadid);
    return result == MMSYSERR_INVALHANDLE && IsListedDriver(hadid) ? MMSYSERR_NOTSUPPORTED : result;
}

} // namespace platform
