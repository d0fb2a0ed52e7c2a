// Drivers that a test adds to the audio format layer for its length: on Windows local function
// drivers of the system's ACM, natively entries of the layer's own driver list.
#pragma once

#include "platform/platform.h"

namespace platform {

// Adds a driver before the built-in one (after those added earlier); procs must stay valid
// until acmDriverRemove. fdwAdd must be 0.
MMRESULT acmDriverAdd(HACMDRIVERID *phadid, const AcmDriverProcs *procs, uint32_t fdwAdd);
// Removes an added driver; ACMERR_BUSY while it is open, MMSYSERR_NOTSUPPORTED for a driver
// that was not added.
MMRESULT acmDriverRemove(HACMDRIVERID hadid, uint32_t fdwRemove);

// One implementation per system below tests/support/, called with checked arguments.
MMRESULT AddLocalDriver(HACMDRIVERID *phadid, const AcmDriverProcs *procs);
// MMSYSERR_INVALHANDLE for a driver that was not added.
MMRESULT RemoveLocalDriver(HACMDRIVERID hadid);

} // namespace platform
