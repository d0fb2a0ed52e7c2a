// The audio format layer on the Windows Audio Compression Manager (msacm32).
#include "platform/win32/msacm.h"

#include "platform/audio_format_common.h"
#include "platform/platform.h"
#include "platform/win32/acm_drivers.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace platform {

namespace {

constexpr uint32_t kRateAndChannels = ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_NSAMPLESPERSEC;

// ---- State, guarded by AcmMutex() ----

struct OpenStream {
    ::HACMDRIVER driver;
    bool ownsDriver; // the stream chose its driver and opened it itself
};

std::map<::HACMSTREAM, OpenStream> openStreams;
// The drivers opened through acmDriverOpen: msacm32 itself would follow a stale handle.
std::set<::HACMDRIVER> openDrivers;
AddedDriverRank addedDriverRank = nullptr;

using Lock = std::lock_guard<std::recursive_mutex>;

uint64_t RankOf(const void *id) {
    return addedDriverRank == nullptr ? 0 : addedDriverRank(id);
}

// ---- Driver order ----

BOOL CALLBACK CollectDriver(::HACMDRIVERID id, DWORD_PTR instance, DWORD) {
    reinterpret_cast<std::vector<::HACMDRIVERID> *>(instance)->push_back(id);
    return TRUE;
}

// The ACM puts each local driver it adds first; the drivers the process added are put back in
// the order they were added, ahead of the system's own. The caller holds AcmMutex().
std::vector<::HACMDRIVERID> ListDrivers() {
    std::vector<::HACMDRIVERID> drivers;
    ::acmDriverEnum(CollectDriver, reinterpret_cast<DWORD_PTR>(&drivers), 0);
    std::stable_sort(drivers.begin(), drivers.end(), [](::HACMDRIVERID a, ::HACMDRIVERID b) {
        uint64_t rankA = RankOf(a), rankB = RankOf(b);
        return rankA != 0 && (rankB == 0 || rankA < rankB);
    });
    return drivers;
}

bool IsDriverId(const void *handle) {
    std::vector<::HACMDRIVERID> drivers = ListDrivers();
    return std::find(drivers.begin(), drivers.end(), handle) != drivers.end();
}

bool IsOpenDriver(const void *handle) {
    return openDrivers.count(static_cast<::HACMDRIVER>(const_cast<void *>(handle))) != 0;
}

// Enumeration callbacks see the support flags a driver declares, without the ACM's own marks.
uint32_t SupportFlags(DWORD support) {
    return support & ~(ACMDRIVERDETAILS_SUPPORTF_LOCAL | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
}

// ---- Format enumeration ----

struct FormatEnumeration {
    ACMFORMATDETAILS *details;
    ACMFORMATENUMCB callback;
    uintptr_t instance;
    uint32_t wantedTag;
    uint32_t listed;
    WAVEFORMATEX reference;            // the rate and channels asked for
    bool stopped = false;              // the callback ended the enumeration
    std::set<uint16_t> pcmWidths = {}; // bits of the PCM formats of that rate and channels seen
};

bool OfferFormat(FormatEnumeration &enumeration, ::HACMDRIVERID id, DWORD support) {
    enumeration.stopped =
        enumeration.callback(reinterpret_cast<HACMDRIVERID>(id), enumeration.details,
                             enumeration.instance, SupportFlags(support)) == 0;
    return !enumeration.stopped;
}

BOOL CALLBACK RelayFormat(::HACMDRIVERID id, ACMFORMATDETAILSA *found, DWORD_PTR instance,
                          DWORD support) {
    auto *enumeration = reinterpret_cast<FormatEnumeration *>(instance);
    if (enumeration->wantedTag != 0 && found->dwFormatTag != enumeration->wantedTag)
        return TRUE;
    const WAVEFORMATEX *format = found->pwfx;
    if (format->wFormatTag == WAVE_FORMAT_PCM &&
        format->nSamplesPerSec == enumeration->reference.nSamplesPerSec &&
        format->nChannels == enumeration->reference.nChannels)
        enumeration->pcmWidths.insert(format->wBitsPerSample);
    ACMFORMATDETAILS *details = enumeration->details;
    details->dwFormatIndex = enumeration->listed++;
    details->dwFormatTag = found->dwFormatTag;
    details->fdwSupport = SupportFlags(found->fdwSupport);
    std::memcpy(details->szFormat, found->szFormat, sizeof details->szFormat);
    details->szFormat[sizeof details->szFormat - 1] = '\0';
    return OfferFormat(*enumeration, id, support);
}

// ---- PCM at any rate ----
// The system's PCM converter lists and converts only common rates and widths. Every integer PCM
// format passes to itself here as in the native layer, so that a file of any rate or width
// that the encoder takes unchanged passes the format check on every system.

bool IsSamePcm(const WAVEFORMATEX *source, const WAVEFORMATEX *target) {
    return IsIntegerPcm(source) && IsIntegerPcm(target) &&
           std::memcmp(source, target, offsetof(WAVEFORMATEX, cbSize)) == 0;
}

// The system's own PCM converter, not a codec nor a driver the process added.
bool IsSystemPcmConverter(::HACMDRIVER driver, ::HACMDRIVERID &id, DWORD &support) {
    return ::acmDriverID(reinterpret_cast<::HACMOBJ>(driver), &id, 0) == MMSYSERR_NOERROR &&
           RankOf(id) == 0 &&
           ::acmMetrics(reinterpret_cast<::HACMOBJ>(id), ACM_METRIC_DRIVER_SUPPORT, &support) ==
               MMSYSERR_NOERROR &&
           (support & ACMDRIVERDETAILS_SUPPORTF_CONVERTER) != 0;
}

// Asked for one rate and channel count, the PCM converter also offers the widths it does not
// list there.
void OfferUnlistedPcmWidths(FormatEnumeration &enumeration, ::HACMDRIVER driver) {
    ::HACMDRIVERID id = nullptr;
    DWORD support = 0;
    if (!IsSystemPcmConverter(driver, id, support))
        return;
    for (uint16_t bits : kPcmBits) {
        const WAVEFORMATEX format =
            MakePcm(enumeration.reference.nSamplesPerSec, bits, enumeration.reference.nChannels);
        if (enumeration.stopped || !IsIntegerPcm(&format))
            return;
        if (enumeration.pcmWidths.count(bits) != 0)
            continue;
        ACMFORMATDETAILS *details = enumeration.details;
        std::memcpy(details->pwfx, &format, kFormatSize);
        details->dwFormatIndex = enumeration.listed++;
        details->dwFormatTag = WAVE_FORMAT_PCM;
        details->fdwSupport = SupportFlags(support);
        std::snprintf(details->szFormat, sizeof details->szFormat, "%lu Hz, %u Bit, %u Channels",
                      static_cast<unsigned long>(format.nSamplesPerSec), bits, format.nChannels);
        OfferFormat(enumeration, id, support);
    }
}

// A stream of a PCM format to itself that no system driver opens: no sample passes through the
// layer's streams, so this one is a handle only.
MMRESULT OpenPcmCopy(HACMSTREAM *phas, bool query) {
    if (query)
        return MMSYSERR_NOERROR;
    auto stream = reinterpret_cast<::HACMSTREAM>(new char);
    openStreams[stream] = OpenStream{nullptr, false};
    *phas = reinterpret_cast<HACMSTREAM>(stream);
    return MMSYSERR_NOERROR;
}

// Opens the first driver in order that converts the pair (only asks with `query`).
MMRESULT OpenStreamWithAnyDriver(HACMSTREAM *phas, WAVEFORMATEX *source, WAVEFORMATEX *target,
                                 uint32_t fdwOpen, bool query) {
    for (::HACMDRIVERID id : ListDrivers()) {
        ::HACMDRIVER driver;
        if (::acmDriverOpen(&driver, id, 0) != MMSYSERR_NOERROR)
            continue;
        ::HACMSTREAM stream = nullptr;
        if (::acmStreamOpen(query ? nullptr : &stream, driver, source, target, nullptr, 0, 0,
                            fdwOpen) != MMSYSERR_NOERROR) {
            ::acmDriverClose(driver, 0);
            continue;
        }
        if (query) {
            ::acmDriverClose(driver, 0);
            return MMSYSERR_NOERROR;
        }
        openStreams[stream] = OpenStream{driver, true};
        *phas = reinterpret_cast<HACMSTREAM>(stream);
        return MMSYSERR_NOERROR;
    }
    return ACMERR_NOTPOSSIBLE;
}

} // namespace

MMRESULT acmDriverEnum(ACMDRIVERENUMCB fnCallback, uintptr_t dwInstance, uint32_t fdwEnum) {
    if (MMRESULT refused = CheckArgumentAndNoFlags(fnCallback != nullptr, fdwEnum))
        return refused;
    Lock lock(AcmMutex());
    for (::HACMDRIVERID id : ListDrivers()) {
        DWORD support = 0;
        // A callback may have removed a later driver.
        if (::acmMetrics(reinterpret_cast<::HACMOBJ>(id), ACM_METRIC_DRIVER_SUPPORT, &support) !=
            MMSYSERR_NOERROR)
            continue;
        if (!fnCallback(reinterpret_cast<HACMDRIVERID>(id), dwInstance, SupportFlags(support)))
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverOpen(HACMDRIVER *phad, HACMDRIVERID hadid, uint32_t fdwOpen) {
    if (MMRESULT refused = CheckArgumentAndNoFlags(phad != nullptr, fdwOpen))
        return refused;
    Lock lock(AcmMutex());
    if (!IsDriverId(hadid))
        return MMSYSERR_INVALHANDLE;
    ::HACMDRIVER driver = nullptr;
    MMRESULT result = ::acmDriverOpen(&driver, reinterpret_cast<::HACMDRIVERID>(hadid), 0);
    if (result != MMSYSERR_NOERROR)
        return result;
    openDrivers.insert(driver);
    *phad = reinterpret_cast<HACMDRIVER>(driver);
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverClose(HACMDRIVER had, uint32_t fdwClose) {
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(AcmMutex());
    if (!IsOpenDriver(had))
        return MMSYSERR_INVALHANDLE;
    auto driver = reinterpret_cast<::HACMDRIVER>(had);
    for (const auto &[stream, open] : openStreams)
        if (open.driver == driver)
            return ACMERR_BUSY;
    MMRESULT result = ::acmDriverClose(driver, 0);
    if (result == MMSYSERR_NOERROR)
        openDrivers.erase(driver);
    return result;
}

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void *pMetric) {
    if (pMetric == nullptr)
        return MMSYSERR_INVALPARAM;
    Lock lock(AcmMutex());
    auto object = reinterpret_cast<::HACMOBJ>(const_cast<void *>(hao));
    if (openStreams.count(reinterpret_cast<::HACMSTREAM>(object)) != 0)
        return MMSYSERR_NOTSUPPORTED;
    if (hao != nullptr && !IsOpenDriver(hao) && !IsDriverId(hao))
        return MMSYSERR_INVALHANDLE;
    if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT)
        return MMSYSERR_NOTSUPPORTED;
    DWORD largest = 0;
    MMRESULT result = ::acmMetrics(object, ACM_METRIC_MAX_SIZE_FORMAT, &largest);
    if (result == MMSYSERR_NOERROR)
        std::memcpy(pMetric, &largest, sizeof(uint32_t));
    return result;
}

MMRESULT acmFormatEnum(HACMDRIVER had, ACMFORMATDETAILS *pafd, ACMFORMATENUMCB fnCallback,
                       uintptr_t dwInstance, uint32_t fdwEnum) {
    if (MMRESULT refused = CheckFormatEnumArguments(pafd, fnCallback, fdwEnum))
        return refused;
    Lock lock(AcmMutex());
    if (!IsOpenDriver(had))
        return MMSYSERR_INVALHANDLE;
    auto driver = reinterpret_cast<::HACMDRIVER>(had);
    // The drivers write whole formats: a smaller buffer than the largest one is refused.
    DWORD largest = 0;
    MMRESULT result =
        ::acmMetrics(reinterpret_cast<::HACMOBJ>(driver), ACM_METRIC_MAX_SIZE_FORMAT, &largest);
    if (result != MMSYSERR_NOERROR)
        return result;
    if (pafd->cbwfx < std::max<uint32_t>(largest, kFormatSize))
        return MMSYSERR_INVALPARAM;
    FormatEnumeration enumeration = {pafd, fnCallback, dwInstance, pafd->dwFormatTag, 0, {}};
    std::memcpy(&enumeration.reference, pafd->pwfx, kFormatSize);
    ACMFORMATDETAILSA details = {};
    details.cbStruct = sizeof details;
    details.dwFormatTag = WAVE_FORMAT_UNKNOWN; // the tag is filtered here, whatever the ACM does
    details.pwfx = pafd->pwfx;
    details.cbwfx = pafd->cbwfx;
    result = ::acmFormatEnumA(driver, &details, RelayFormat,
                              reinterpret_cast<DWORD_PTR>(&enumeration), fdwEnum);
    if (result == MMSYSERR_NOERROR && (fdwEnum & kRateAndChannels) == kRateAndChannels &&
        enumeration.wantedTag == WAVE_FORMAT_PCM)
        OfferUnlistedPcmWidths(enumeration, driver);
    return result;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX *pwfxSrc, WAVEFORMATEX *pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
    if (MMRESULT refused = CheckFormatSuggestArguments(pwfxSrc, pwfxDst, cbwfxDst, fdwSuggest))
        return refused;
    Lock lock(AcmMutex());
    auto *source = const_cast<WAVEFORMATEX *>(pwfxSrc);
    if (had != nullptr && !IsOpenDriver(had))
        return MMSYSERR_INVALHANDLE;
    if (had != nullptr)
        return ::acmFormatSuggest(reinterpret_cast<::HACMDRIVER>(had), source, pwfxDst, cbwfxDst,
                                  fdwSuggest);
    for (::HACMDRIVERID id : ListDrivers()) {
        ::HACMDRIVER driver;
        if (::acmDriverOpen(&driver, id, 0) != MMSYSERR_NOERROR)
            continue;
        MMRESULT result = ::acmFormatSuggest(driver, source, pwfxDst, cbwfxDst, fdwSuggest);
        ::acmDriverClose(driver, 0);
        if (result == MMSYSERR_NOERROR)
            return MMSYSERR_NOERROR;
    }
    // A PCM format that no driver lists is its own PCM suggestion, as in the native layer.
    const bool pcmWanted = fdwSuggest == 0 || pwfxDst->wFormatTag == WAVE_FORMAT_PCM;
    if (!pcmWanted || !IsIntegerPcm(source))
        return ACMERR_NOTPOSSIBLE;
    *pwfxDst = MakePcm(source->nSamplesPerSec, source->wBitsPerSample, source->nChannels);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM *phas, HACMDRIVER had, const WAVEFORMATEX *pwfxSrc,
                       const WAVEFORMATEX *pwfxDst, const void *pwfltr, uintptr_t, uintptr_t,
                       uint32_t fdwOpen) {
    if (MMRESULT refused = CheckStreamOpenArguments(phas, pwfxSrc, pwfxDst, pwfltr, fdwOpen))
        return refused;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    Lock lock(AcmMutex());
    auto *source = const_cast<WAVEFORMATEX *>(pwfxSrc);
    auto *target = const_cast<WAVEFORMATEX *>(pwfxDst);
    if (had == nullptr) {
        MMRESULT result = OpenStreamWithAnyDriver(phas, source, target, fdwOpen, query);
        return result != MMSYSERR_NOERROR && IsSamePcm(source, target) ? OpenPcmCopy(phas, query)
                                                                       : result;
    }
    if (!IsOpenDriver(had))
        return MMSYSERR_INVALHANDLE;
    auto driver = reinterpret_cast<::HACMDRIVER>(had);
    ::HACMSTREAM stream = nullptr;
    MMRESULT result =
        ::acmStreamOpen(query ? nullptr : &stream, driver, source, target, nullptr, 0, 0, fdwOpen);
    if (result != MMSYSERR_NOERROR || query)
        return result;
    openStreams[stream] = OpenStream{driver, false};
    *phas = reinterpret_cast<HACMSTREAM>(stream);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(AcmMutex());
    auto found = openStreams.find(reinterpret_cast<::HACMSTREAM>(has));
    if (found == openStreams.end())
        return MMSYSERR_INVALHANDLE;
    if (found->second.driver == nullptr) {
        delete reinterpret_cast<char *>(found->first);
        openStreams.erase(found);
        return MMSYSERR_NOERROR;
    }
    MMRESULT result = ::acmStreamClose(found->first, 0);
    if (result != MMSYSERR_NOERROR)
        return result;
    if (found->second.ownsDriver)
        ::acmDriverClose(found->second.driver, 0);
    openStreams.erase(found);
    return MMSYSERR_NOERROR;
}

std::recursive_mutex &AcmMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

void SetAddedDriverRank(AddedDriverRank rank) {
    Lock lock(AcmMutex());
    addedDriverRank = rank;
}

} // namespace platform
