// Argument checks that every system's audio format layer makes before it asks its drivers.
#pragma once

#include "platform/platform.h"

namespace platform {

inline MMRESULT CheckStreamOpenArguments(const HACMSTREAM *phas, const WAVEFORMATEX *pwfxSrc,
                                         const WAVEFORMATEX *pwfxDst, const void *pwfltr,
                                         uint32_t fdwOpen) {
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (pwfxSrc == nullptr || pwfxDst == nullptr || (phas == nullptr && !query))
        return MMSYSERR_INVALPARAM;
    if ((fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) != 0)
        return MMSYSERR_INVALFLAG;
    if (pwfltr != nullptr)
        return MMSYSERR_NOTSUPPORTED;
    return MMSYSERR_NOERROR;
}

} // namespace platform
