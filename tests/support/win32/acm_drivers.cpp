// Added drivers on the system's ACM: local function drivers, whose driver procedure (one per
// slot) answers the ACM's driver messages from the slot's AcmDriverProcs.
#include "platform/win32/msacm.h"

#include "tests/support/acm_drivers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/audio_format_common.h"
#include "platform/win32/acm_drivers.h"

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

constexpr uint32_t kMaxListedFormats = 65536; // a driver that never ends its list stops here
// The driver ids the procedure hands out: the ACM's session open, and every real open.
constexpr DWORD_PTR kSessionInstance = 1;
constexpr DWORD_PTR kDriverInstance = 2;

// ---- State, guarded by AcmMutex() ----

struct AddedDriver {
    const AcmDriverProcs *procs = nullptr; // null: a free slot
    ::HACMDRIVERID id = nullptr;
    uint64_t order = 0;         // when it was added: added drivers come first, in this order
    int opens = 0;              // open instances (handles and the streams that chose the driver)
    std::vector<uint16_t> tags; // format tags in order of first appearance
    std::vector<std::vector<uint32_t>> formats; // per tag, the driver's format indexes
};

constexpr size_t kSlotCount = 16;
std::array<AddedDriver, kSlotCount> slots;
uint64_t addCount = 0;
bool registering = false; // the ACM opens a driver while adding it: not a caller's open

using Lock = std::lock_guard<std::recursive_mutex>;

// ---- The added drivers' procedure ----

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

void DescribeWide(const WAVEFORMATEX *format, WCHAR *text) {
    char narrow[ACMFORMATDETAILS_FORMAT_CHARS];
    DescribeFormat(format, narrow);
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
    DescribeWide(format, details->szFormat);
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

AddedDriver *FindAdded(const void *id) {
    for (AddedDriver &driver : slots)
        if (driver.procs != nullptr && driver.id == id)
            return &driver;
    return nullptr;
}

uint64_t RankOf(const void *id) {
    AddedDriver *driver = FindAdded(id);
    return driver == nullptr ? 0 : driver->order;
}

} // namespace

MMRESULT AddLocalDriver(HACMDRIVERID *phadid, const AcmDriverProcs *procs) {
    Lock lock(AcmMutex());
    SetAddedDriverRank(RankOf);
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

MMRESULT RemoveLocalDriver(HACMDRIVERID hadid) {
    Lock lock(AcmMutex());
    auto id = reinterpret_cast<::HACMDRIVERID>(hadid);
    AddedDriver *driver = FindAdded(id);
    if (driver == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (driver->opens > 0)
        return ACMERR_BUSY;
    MMRESULT result = ::acmDriverRemove(id, 0);
    if (result == MMSYSERR_NOERROR)
        *driver = AddedDriver{};
    return result;
}

} // namespace platform
