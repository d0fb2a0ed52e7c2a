// The audio format layer on the Windows Audio Compression Manager (msacm32). Drivers that the
// process adds are local function drivers: one driver procedure per slot answers the ACM's
// driver messages from the slot's AcmDriverProcs.
#include <windows.h>

#include <mmsystem.h>

#include <mmreg.h>

#include <msacm.h>

// The platform layer declares these names itself, with the same values.
#undef MMSYSERR_NOERROR
#undef MMSYSERR_INVALHANDLE
#undef MMSYSERR_NOTSUPPORTED
#undef MMSYSERR_INVALFLAG
#undef MMSYSERR_INVALPARAM
#undef ACMERR_NOTPOSSIBLE
#undef ACMERR_BUSY
#undef ACM_METRIC_MAX_SIZE_FORMAT
#undef ACMDRIVERDETAILS_SUPPORTF_CODEC
#undef ACMDRIVERDETAILS_SUPPORTF_CONVERTER
#undef ACM_FORMATENUMF_INPUT
#undef ACM_FORMATENUMF_NCHANNELS
#undef ACM_FORMATENUMF_NSAMPLESPERSEC
#undef ACM_FORMATSUGGESTF_WFORMATTAG
#undef ACM_STREAMOPENF_QUERY
#undef ACM_STREAMOPENF_NONREALTIME
#undef ACMFORMATDETAILS_FORMAT_CHARS
#undef ACMFORMATDETAILS
#undef ACMFORMATENUMCB
#undef acmFormatEnum
#undef acmDriverAdd

#include "platform/acm_arguments.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace platform {

namespace {

// ---- The driver side of the ACM, which the compiler's headers leave out ----

constexpr UINT kDriverMessageBase = DRV_USER + 0x2000;
constexpr UINT kDriverDetails = kDriverMessageBase + 10;
constexpr UINT kFormatTagDetails = kDriverMessageBase + 25;
constexpr UINT kFormatDetails = kDriverMessageBase + 26;
constexpr UINT kFormatSuggest = kDriverMessageBase + 27;
constexpr UINT kStreamOpen = kDriverMessageBase + 76;
constexpr UINT kStreamClose = kDriverMessageBase + 77;

struct DriverOpenDescription {
    DWORD cbStruct;
    FOURCC fccType;
    FOURCC fccComp;
    DWORD dwVersion;
    DWORD dwFlags;
    DWORD dwError;
    LPCWSTR pszSectionName;
    LPCWSTR pszAliasName;
    DWORD dnDevNode;
};

struct DriverStreamInstance {
    DWORD cbStruct;
    WAVEFORMATEX *pwfxSrc;
    WAVEFORMATEX *pwfxDst;
    WAVEFILTER *pwfltr;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD fdwOpen;
    DWORD fdwDriver;
    DWORD_PTR dwDriver;
    ::HACMSTREAM has;
};

struct DriverFormatSuggest {
    DWORD cbStruct;
    DWORD fdwSuggest;
    WAVEFORMATEX *pwfxSrc;
    DWORD cbwfxSrc;
    WAVEFORMATEX *pwfxDst;
    DWORD cbwfxDst;
};

constexpr uint32_t kFormatSize = sizeof(WAVEFORMATEX);
constexpr uint32_t kMaxListedFormats = 65536; // a driver that never ends its list stops here
// The driver ids the procedure hands out: the ACM's session open, and every real open.
constexpr DWORD_PTR kSessionInstance = 1;
constexpr DWORD_PTR kDriverInstance = 2;

// ---- State, guarded by acmMutex. msacm32 keeps its lists without locks, so every call into it
// holds the mutex too; it is recursive because enumeration callbacks may call in again. ----

struct AddedDriver {
    const AcmDriverProcs *procs = nullptr; // null: a free slot
    ::HACMDRIVERID id = nullptr;
    uint64_t order = 0;         // when it was added: added drivers come first, in this order
    int opens = 0;              // open instances (handles and the streams that chose the driver)
    std::vector<uint16_t> tags; // format tags in order of first appearance
    std::vector<std::vector<uint32_t>> formats; // per tag, the driver's format indexes
};

struct OpenStream {
    ::HACMDRIVER driver;
    bool ownsDriver; // the stream chose its driver and opened it itself
};

constexpr size_t kSlotCount = 16;
std::recursive_mutex acmMutex;
std::array<AddedDriver, kSlotCount> slots;
uint64_t addCount = 0;
bool registering = false; // the ACM opens a driver while adding it: not a caller's open
std::map<::HACMSTREAM, OpenStream> openStreams;
// The drivers opened through acmDriverOpen: msacm32 itself would follow a stale handle.
std::set<::HACMDRIVER> openDrivers;

using Lock = std::lock_guard<std::recursive_mutex>;

// ---- The added drivers' procedure ----

uint32_t FormatBytes(const WAVEFORMATEX *format) {
    return kFormatSize + format->cbSize;
}

uint32_t ScratchSize(const AcmDriverProcs *procs) {
    return std::max(procs->maxFormatSize, kFormatSize);
}

void ListFormats(AddedDriver &driver) {
    driver.tags.clear();
    driver.formats.clear();
    std::vector<unsigned char> scratch(ScratchSize(driver.procs));
    auto *format = reinterpret_cast<WAVEFORMATEX *>(scratch.data());
    for (uint32_t index = 0; index < kMaxListedFormats; index++) {
        std::fill(scratch.begin(), scratch.end(), 0);
        if (!driver.procs->getFormat(index, format))
            break;
        auto tag = std::find(driver.tags.begin(), driver.tags.end(), format->wFormatTag);
        size_t position = static_cast<size_t>(tag - driver.tags.begin());
        if (tag == driver.tags.end()) {
            driver.tags.push_back(format->wFormatTag);
            driver.formats.emplace_back();
        }
        driver.formats[position].push_back(index);
    }
}

void DescribeFormat(const WAVEFORMATEX *format, WCHAR *text) {
    char channels[32];
    if (format->nChannels == 1)
        std::snprintf(channels, sizeof channels, "Mono");
    else if (format->nChannels == 2)
        std::snprintf(channels, sizeof channels, "Stereo");
    else
        std::snprintf(channels, sizeof channels, "%u Channels", format->nChannels);
    char narrow[ACMFORMATDETAILS_FORMAT_CHARS];
    auto rate = static_cast<unsigned>(format->nSamplesPerSec);
    if (format->wBitsPerSample != 0)
        std::snprintf(narrow, sizeof narrow, "%u.%03u kHz, %u Bit, %s", rate / 1000, rate % 1000,
                      format->wBitsPerSample, channels);
    else
        std::snprintf(narrow, sizeof narrow, "%u.%03u kHz, %s", rate / 1000, rate % 1000, channels);
    size_t i = 0;
    for (; narrow[i] != '\0'; i++)
        text[i] = static_cast<WCHAR>(narrow[i]);
    text[i] = 0;
}

LRESULT AnswerDriverDetails(AddedDriver &driver, ACMDRIVERDETAILSW *details) {
    ListFormats(driver);
    DWORD size = details->cbStruct;
    std::memset(details, 0, std::min<size_t>(size, sizeof *details));
    details->cbStruct = std::min<DWORD>(size, sizeof *details);
    details->fccType = mmioFOURCC('a', 'u', 'd', 'c');
    details->vdwACM = 0x04000000;
    details->vdwDriver = 0x01000000;
    details->fdwSupport = driver.procs->support;
    details->cFormatTags = static_cast<DWORD>(driver.tags.size());
    const wchar_t name[] = L"Local driver";
    std::memcpy(details->szShortName, name, sizeof name);
    std::memcpy(details->szLongName, name, sizeof name);
    return MMSYSERR_NOERROR;
}

// The position of the tag a format-tag query names, or -1.
int FindTag(const AddedDriver &driver, const ACMFORMATTAGDETAILSW *details, LPARAM flags) {
    switch (flags & ACM_FORMATTAGDETAILSF_QUERYMASK) {
    case ACM_FORMATTAGDETAILSF_INDEX:
        return details->dwFormatTagIndex < driver.tags.size()
                   ? static_cast<int>(details->dwFormatTagIndex)
                   : -1;
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
        if (details->dwFormatTag == WAVE_FORMAT_UNKNOWN)
            return driver.tags.empty() ? -1 : 0;
        [[fallthrough]];
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
        for (size_t i = 0; i < driver.tags.size(); i++)
            if (driver.tags[i] == details->dwFormatTag)
                return static_cast<int>(i);
        return -1;
    default:
        return -1;
    }
}

LRESULT AnswerFormatTagDetails(const AddedDriver &driver, ACMFORMATTAGDETAILSW *details,
                               LPARAM flags) {
    int position = FindTag(driver, details, flags);
    if (position < 0)
        return ACMERR_NOTPOSSIBLE;
    details->dwFormatTagIndex = static_cast<DWORD>(position);
    details->dwFormatTag = driver.tags[position];
    details->cbFormatSize = ScratchSize(driver.procs);
    details->fdwSupport = driver.procs->support;
    details->cStandardFormats = static_cast<DWORD>(driver.formats[position].size());
    details->szFormatTag[0] = 0;
    return MMSYSERR_NOERROR;
}

LRESULT AnswerFormatDetails(const AddedDriver &driver, ACMFORMATDETAILSW *details, LPARAM flags) {
    if ((flags & ACM_FORMATDETAILSF_QUERYMASK) != ACM_FORMATDETAILSF_INDEX)
        return MMSYSERR_NOTSUPPORTED;
    auto tag = std::find(driver.tags.begin(), driver.tags.end(), details->dwFormatTag);
    if (tag == driver.tags.end())
        return ACMERR_NOTPOSSIBLE;
    const std::vector<uint32_t> &indexes = driver.formats[tag - driver.tags.begin()];
    if (details->dwFormatIndex >= indexes.size())
        return ACMERR_NOTPOSSIBLE;
    std::vector<unsigned char> scratch(ScratchSize(driver.procs));
    auto *format = reinterpret_cast<WAVEFORMATEX *>(scratch.data());
    if (!driver.procs->getFormat(indexes[details->dwFormatIndex], format) ||
        FormatBytes(format) > scratch.size() || FormatBytes(format) > details->cbwfx)
        return ACMERR_NOTPOSSIBLE;
    std::memcpy(details->pwfx, format, FormatBytes(format));
    details->fdwSupport = driver.procs->support;
    DescribeFormat(format, details->szFormat);
    return MMSYSERR_NOERROR;
}

LRESULT AnswerFormatSuggest(const AddedDriver &driver, DriverFormatSuggest *suggest) {
    if ((suggest->fdwSuggest & ~ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return MMSYSERR_NOTSUPPORTED;
    uint16_t tag =
        (suggest->fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) ? suggest->pwfxDst->wFormatTag : 0;
    std::vector<unsigned char> scratch(ScratchSize(driver.procs));
    auto *format = reinterpret_cast<WAVEFORMATEX *>(scratch.data());
    if (!driver.procs->suggest(suggest->pwfxSrc, tag, format) ||
        FormatBytes(format) > scratch.size() || FormatBytes(format) > suggest->cbwfxDst)
        return ACMERR_NOTPOSSIBLE;
    std::memcpy(suggest->pwfxDst, format, FormatBytes(format));
    return MMSYSERR_NOERROR;
}

LRESULT AnswerOpen(AddedDriver &driver, LPARAM description) {
    // The ACM first opens a session without a description, then the driver proper.
    if (description == 0)
        return kSessionInstance;
    auto *open = reinterpret_cast<DriverOpenDescription *>(description);
    if (!registering && !driver.procs->open()) {
        open->dwError = ACMERR_NOTPOSSIBLE;
        return 0;
    }
    open->dwError = MMSYSERR_NOERROR;
    driver.opens++;
    return kDriverInstance;
}

LRESULT AnswerDriverMessage(AddedDriver &driver, DWORD_PTR instance, UINT msg, LPARAM lParam1,
                            LPARAM lParam2) {
    if (driver.procs == nullptr)
        return msg < DRV_USER ? 0 : MMSYSERR_NOTSUPPORTED;
    switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return DRV_OK;
    case DRV_OPEN:
        return AnswerOpen(driver, lParam2);
    case DRV_CLOSE:
        if (instance == kDriverInstance)
            driver.opens--;
        return DRV_OK;
    case kDriverDetails:
        return AnswerDriverDetails(driver, reinterpret_cast<ACMDRIVERDETAILSW *>(lParam1));
    case kFormatTagDetails:
        return AnswerFormatTagDetails(driver, reinterpret_cast<ACMFORMATTAGDETAILSW *>(lParam1),
                                      lParam2);
    case kFormatDetails:
        return AnswerFormatDetails(driver, reinterpret_cast<ACMFORMATDETAILSW *>(lParam1), lParam2);
    case kFormatSuggest:
        return AnswerFormatSuggest(driver, reinterpret_cast<DriverFormatSuggest *>(lParam1));
    case kStreamOpen: {
        auto *stream = reinterpret_cast<DriverStreamInstance *>(lParam1);
        return stream->pwfltr == nullptr &&
                       driver.procs->canConvert(stream->pwfxSrc, stream->pwfxDst)
                   ? MMSYSERR_NOERROR
                   : ACMERR_NOTPOSSIBLE;
    }
    case kStreamClose:
        return MMSYSERR_NOERROR;
    default:
        return msg < DRV_USER ? 0 : MMSYSERR_NOTSUPPORTED;
    }
}

// The ACM tells function drivers apart only by their procedure, so every slot has its own.
template <size_t Slot>
LRESULT CALLBACK SlotDriverProc(DWORD_PTR instance, HDRVR, UINT msg, LPARAM lParam1,
                                LPARAM lParam2) {
    return AnswerDriverMessage(slots[Slot], instance, msg, lParam1, lParam2);
}

template <size_t... Slot>
constexpr std::array<DRIVERPROC, sizeof...(Slot)> MakeSlotProcs(std::index_sequence<Slot...>) {
    return {SlotDriverProc<Slot>...};
}

constexpr std::array<DRIVERPROC, kSlotCount> slotProcs =
    MakeSlotProcs(std::make_index_sequence<kSlotCount>());

// ---- Driver order ----

AddedDriver *FindAdded(const void *id) {
    for (AddedDriver &driver : slots)
        if (driver.procs != nullptr && driver.id == id)
            return &driver;
    return nullptr;
}

BOOL CALLBACK CollectDriver(::HACMDRIVERID id, DWORD_PTR instance, DWORD) {
    reinterpret_cast<std::vector<::HACMDRIVERID> *>(instance)->push_back(id);
    return TRUE;
}

// The ACM puts each local driver it adds first; the drivers we added are put back in the order
// they were added, ahead of the system's own. The caller holds acmMutex.
std::vector<::HACMDRIVERID> ListDrivers() {
    std::vector<::HACMDRIVERID> drivers;
    ::acmDriverEnum(CollectDriver, reinterpret_cast<DWORD_PTR>(&drivers), 0);
    std::stable_partition(drivers.begin(), drivers.end(),
                          [](::HACMDRIVERID id) { return FindAdded(id) != nullptr; });
    auto added = std::find_if(drivers.begin(), drivers.end(),
                              [](::HACMDRIVERID id) { return FindAdded(id) == nullptr; });
    std::sort(drivers.begin(), added, [](::HACMDRIVERID a, ::HACMDRIVERID b) {
        return FindAdded(a)->order < FindAdded(b)->order;
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

constexpr uint32_t kRateAndChannels = ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_NSAMPLESPERSEC;

WAVEFORMATEX MakePcm(const WAVEFORMATEX &reference, uint16_t bits) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = reference.nChannels;
    format.nSamplesPerSec = reference.nSamplesPerSec;
    format.nBlockAlign = static_cast<WORD>(reference.nChannels * (bits / 8));
    format.nAvgBytesPerSec = format.nBlockAlign * reference.nSamplesPerSec;
    format.wBitsPerSample = bits;
    return format;
}

bool IsSamePcm(const WAVEFORMATEX *source, const WAVEFORMATEX *target) {
    return IsIntegerPcm(source) && IsIntegerPcm(target) &&
           std::memcmp(source, target, offsetof(WAVEFORMATEX, cbSize)) == 0;
}

// The system's own PCM converter, not a codec nor a driver the process added.
bool IsSystemPcmConverter(::HACMDRIVER driver, ::HACMDRIVERID &id, DWORD &support) {
    return ::acmDriverID(reinterpret_cast<::HACMOBJ>(driver), &id, 0) == MMSYSERR_NOERROR &&
           FindAdded(id) == nullptr &&
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
        const WAVEFORMATEX format = MakePcm(enumeration.reference, bits);
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
    if (fnCallback == nullptr)
        return MMSYSERR_INVALPARAM;
    if (fdwEnum != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
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
    if (phad == nullptr)
        return MMSYSERR_INVALPARAM;
    if (fdwOpen != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
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
    Lock lock(acmMutex);
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
    Lock lock(acmMutex);
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
    if (pafd == nullptr || fnCallback == nullptr || pafd->cbStruct < sizeof(ACMFORMATDETAILS) ||
        pafd->pwfx == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwEnum & ~(ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_NCHANNELS |
                     ACM_FORMATENUMF_NSAMPLESPERSEC)) != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
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
    if (pwfxSrc == nullptr || pwfxDst == nullptr || cbwfxDst < kFormatSize)
        return MMSYSERR_INVALPARAM;
    if (fdwSuggest != 0 && fdwSuggest != ACM_FORMATSUGGESTF_WFORMATTAG)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
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
    *pwfxDst = MakePcm(*source, source->wBitsPerSample);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM *phas, HACMDRIVER had, const WAVEFORMATEX *pwfxSrc,
                       const WAVEFORMATEX *pwfxDst, const void *pwfltr, uintptr_t, uintptr_t,
                       uint32_t fdwOpen) {
    if (MMRESULT refused = CheckStreamOpenArguments(phas, pwfxSrc, pwfxDst, pwfltr, fdwOpen))
        return refused;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    Lock lock(acmMutex);
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
    Lock lock(acmMutex);
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

MMRESULT acmDriverAdd(HACMDRIVERID *phadid, const AcmDriverProcs *procs, uint32_t fdwAdd) {
    if (phadid == nullptr || procs == nullptr || procs->open == nullptr ||
        procs->getFormat == nullptr || procs->suggest == nullptr || procs->canConvert == nullptr ||
        procs->maxFormatSize < kFormatSize)
        return MMSYSERR_INVALPARAM;
    if (fdwAdd != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
    auto free = std::find_if(slots.begin(), slots.end(),
                             [](const AddedDriver &driver) { return driver.procs == nullptr; });
    if (free == slots.end())
        return MMSYSERR_NOMEM;
    DRIVERPROC proc = slotProcs[static_cast<size_t>(free - slots.begin())];
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const char *>(proc), &module);
    *free = AddedDriver{};
    free->procs = procs;
    registering = true;
    ::HACMDRIVERID id = nullptr;
    MMRESULT result = ::acmDriverAddA(&id, module, reinterpret_cast<LPARAM>(proc), 0,
                                      ACM_DRIVERADDF_FUNCTION | ACM_DRIVERADDF_LOCAL);
    registering = false;
    if (result != MMSYSERR_NOERROR) {
        *free = AddedDriver{};
        return result;
    }
    free->id = id;
    free->order = ++addCount;
    *phadid = reinterpret_cast<HACMDRIVERID>(id);
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverRemove(HACMDRIVERID hadid, uint32_t fdwRemove) {
    if (fdwRemove != 0)
        return MMSYSERR_INVALFLAG;
    Lock lock(acmMutex);
    auto id = reinterpret_cast<::HACMDRIVERID>(hadid);
    AddedDriver *driver = FindAdded(id);
    if (driver == nullptr) {
        return IsDriverId(id) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
    }
    if (driver->opens > 0)
        return ACMERR_BUSY;
    MMRESULT result = ::acmDriverRemove(id, 0);
    if (result == MMSYSERR_NOERROR)
        *driver = AddedDriver{};
    return result;
}

} // namespace platform
