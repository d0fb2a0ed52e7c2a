// The audio format layer of the native build: driver list, handles and the built-in PCM
// driver. Handles are checked against the live ones, so a stale or foreign handle gives
// MMSYSERR_INVALHANDLE instead of a crash.
#include "platform/audio_format_common.h"
#include "platform/platform.h"
#include "platform/posix/acm_drivers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

struct AcmDriver {
    AcmDriverId *id;
    int streams;
};

struct AcmStream {
    AcmDriverId *id;
    AcmDriver *driver; // null when the stream chose its driver itself
};

namespace {

constexpr std::array<uint32_t, 11> kPcmRates = {8000,  11025, 16000, 22050,  32000, 44100,
                                                48000, 88200, 96000, 176400, 192000};
constexpr uint32_t kRestrictingFlags = ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_NSAMPLESPERSEC;
constexpr uint32_t kPcmFormatCount =
    static_cast<uint32_t>(kPcmRates.size() * kPcmBits.size()) * kPcmMaxChannels;

bool PcmOpen() {
    return true;
}

// Format number `index` of the PCM formats at one rate: bits, then channels ascending.
bool PcmGetFormatAtRate(uint32_t rate, uint32_t index, WAVEFORMATEX *format) {
    if (rate < 1 || rate > kPcmMaxRate || index >= kPcmBits.size() * kPcmMaxChannels)
        return false;
    auto channels = static_cast<uint16_t>(index % kPcmMaxChannels + 1);
    *format = MakePcm(rate, kPcmBits[index / kPcmMaxChannels], channels);
    return true;
}

bool PcmGetFormat(uint32_t index, WAVEFORMATEX *format) {
    if (index >= kPcmFormatCount)
        return false;
    uint32_t perRate = static_cast<uint32_t>(kPcmBits.size()) * kPcmMaxChannels;
    uint16_t bits = kPcmBits[(index % perRate) / kPcmMaxChannels];
    auto channels = static_cast<uint16_t>(index % kPcmMaxChannels + 1);
    *format = MakePcm(kPcmRates[index / perRate], bits, channels);
    return true;
}

bool PcmSuggest(const WAVEFORMATEX *source, uint16_t tag, WAVEFORMATEX *target) {
    if ((tag != 0 && tag != WAVE_FORMAT_PCM) || !IsIntegerPcm(source))
        return false;
    *target = MakePcm(source->nSamplesPerSec, source->wBitsPerSample, source->nChannels);
    return true;
}

bool PcmCanConvert(const WAVEFORMATEX *source, const WAVEFORMATEX *target) {
    return IsIntegerPcm(source) && IsIntegerPcm(target);
}

constexpr AcmDriverProcs kPcmDriver = {ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
                                       kFormatSize,
                                       PcmOpen,
                                       PcmGetFormat,
                                       PcmSuggest,
                                       PcmCanConvert};

// Everything below is guarded by AcmMutex(); driver procs and callbacks run without it.
AcmDriverId builtinDriver = {&kPcmDriver, 0};
std::map<const void *, std::unique_ptr<AcmDriver>> openDrivers;
std::map<const void *, std::unique_ptr<AcmStream>> openStreams;

std::vector<AcmDriverId *> ListDrivers() {
    std::vector<AcmDriverId *> drivers;
    for (auto &added : AddedAcmDrivers())
        drivers.push_back(added.get());
    drivers.push_back(&builtinDriver);
    return drivers;
}

bool IsDriverId(const void *handle) {
    if (handle == &builtinDriver)
        return true;
    for (auto &added : AddedAcmDrivers())
        if (added.get() == handle)
            return true;
    return false;
}

AcmDriver *FindOpenDriver(const void *handle) {
    auto found = openDrivers.find(handle);
    return found == openDrivers.end() ? nullptr : found->second.get();
}

uint32_t MaxFormatSize(const AcmDriverId *id) {
    return id->procs->maxFormatSize;
}

using FormatLister = std::function<bool(uint32_t index, WAVEFORMATEX *format)>;

// The formats an enumeration walks: the driver's own list, or, for the built-in driver asked
// for one rate, every PCM format of that rate, which its list of common rates cannot hold.
FormatLister ListerFor(const AcmDriverId *id, uint32_t flags, uint32_t rate) {
    if (id == &builtinDriver && (flags & ACM_FORMATENUMF_NSAMPLESPERSEC) != 0)
        return [rate](uint32_t index, WAVEFORMATEX *format) {
            return PcmGetFormatAtRate(rate, index, format);
        };
    return id->procs->getFormat;
}

bool PassesRestriction(const WAVEFORMATEX *format, uint32_t flags, const WAVEFORMATEX &reference) {
    if ((flags & ACM_FORMATENUMF_NCHANNELS) != 0 && format->nChannels != reference.nChannels)
        return false;
    return (flags & ACM_FORMATENUMF_NSAMPLESPERSEC) == 0 ||
           format->nSamplesPerSec == reference.nSamplesPerSec;
}

// The drivers a call works with: the one behind `had`, or all of them in order. They cannot be
// removed until the call ends.
class HeldDrivers {
  public:
    explicit HeldDrivers(HACMDRIVER had) {
        std::lock_guard<std::mutex> lock(AcmMutex());
        if (had == nullptr) {
            ids = ListDrivers();
        } else if (AcmDriver *driver = FindOpenDriver(had)) {
            ids = {driver->id};
        } else {
            valid = false;
            return;
        }
        for (AcmDriverId *id : ids)
            id->users++;
    }
    ~HeldDrivers() {
        std::lock_guard<std::mutex> lock(AcmMutex());
        for (AcmDriverId *id : ids)
            id->users--;
    }
    HeldDrivers(const HeldDrivers &) = delete;
    HeldDrivers &operator=(const HeldDrivers &) = delete;

    std::vector<AcmDriverId *> ids;
    bool valid = true;
};

} // namespace

MMRESULT acmDriverEnum(ACMDRIVERENUMCB fnCallback, uintptr_t dwInstance, uint32_t fdwEnum) {
    if (MMRESULT refused = CheckArgumentAndNoFlags(fnCallback != nullptr, fdwEnum))
        return refused;
    std::vector<AcmDriverId *> drivers;
    {
        std::lock_guard<std::mutex> lock(AcmMutex());
        drivers = ListDrivers();
    }
    for (AcmDriverId *id : drivers) {
        uint32_t support;
        {
            // A callback may have removed a later driver.
            std::lock_guard<std::mutex> lock(AcmMutex());
            if (!IsDriverId(id))
                continue;
            support = id->procs->support;
        }
        if (!fnCallback(id, dwInstance, support))
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverOpen(HACMDRIVER *phad, HACMDRIVERID hadid, uint32_t fdwOpen) {
    if (MMRESULT refused = CheckArgumentAndNoFlags(phad != nullptr, fdwOpen))
        return refused;
    const AcmDriverProcs *procs;
    {
        std::lock_guard<std::mutex> lock(AcmMutex());
        if (!IsDriverId(hadid))
            return MMSYSERR_INVALHANDLE;
        procs = hadid->procs;
        hadid->users++; // keeps the driver while its open() runs
    }
    bool opened = procs->open();
    std::lock_guard<std::mutex> lock(AcmMutex());
    if (!opened) {
        hadid->users--;
        return ACMERR_NOTPOSSIBLE;
    }
    auto driver = std::make_unique<AcmDriver>(AcmDriver{hadid, 0});
    *phad = driver.get();
    openDrivers.emplace(driver.get(), std::move(driver));
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverClose(HACMDRIVER had, uint32_t fdwClose) {
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    std::lock_guard<std::mutex> lock(AcmMutex());
    AcmDriver *driver = FindOpenDriver(had);
    if (driver == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (driver->streams > 0)
        return ACMERR_BUSY;
    driver->id->users--;
    openDrivers.erase(had);
    return MMSYSERR_NOERROR;
}

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void *pMetric) {
    if (pMetric == nullptr)
        return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(AcmMutex());
    std::vector<AcmDriverId *> drivers;
    if (hao == nullptr)
        drivers = ListDrivers();
    else if (IsDriverId(hao))
        drivers = {const_cast<AcmDriverId *>(static_cast<const AcmDriverId *>(hao))};
    else if (AcmDriver *driver = FindOpenDriver(hao))
        drivers = {driver->id};
    else if (openStreams.count(hao) != 0)
        return MMSYSERR_NOTSUPPORTED;
    else
        return MMSYSERR_INVALHANDLE;
    if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT)
        return MMSYSERR_NOTSUPPORTED;
    uint32_t largest = 0;
    for (AcmDriverId *id : drivers)
        largest = std::max(largest, MaxFormatSize(id));
    std::memcpy(pMetric, &largest, sizeof largest);
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatEnum(HACMDRIVER had, ACMFORMATDETAILS *pafd, ACMFORMATENUMCB fnCallback,
                       uintptr_t dwInstance, uint32_t fdwEnum) {
    if (MMRESULT refused = CheckFormatEnumArguments(pafd, fnCallback, fdwEnum))
        return refused;
    WAVEFORMATEX reference{};
    if ((fdwEnum & kRestrictingFlags) != 0)
        std::memcpy(&reference, pafd->pwfx, kFormatSize);
    AcmDriverId *id;
    {
        std::lock_guard<std::mutex> lock(AcmMutex());
        AcmDriver *driver = FindOpenDriver(had);
        if (driver == nullptr)
            return MMSYSERR_INVALHANDLE;
        id = driver->id;
    }
    const AcmDriverProcs *procs = id->procs;
    if (pafd->cbwfx < std::max(procs->maxFormatSize, kFormatSize))
        return MMSYSERR_INVALPARAM;
    // Each format is written aside first, so that pwfx only ever holds a listed one.
    std::vector<unsigned char> scratch(std::max(procs->maxFormatSize, kFormatSize));
    auto *format = reinterpret_cast<WAVEFORMATEX *>(scratch.data());
    uint32_t wantedTag = pafd->dwFormatTag;
    FormatLister getFormat = ListerFor(id, fdwEnum, reference.nSamplesPerSec);
    uint32_t listed = 0;
    for (uint32_t index = 0;; index++) {
        std::fill(scratch.begin(), scratch.end(), 0);
        if (!getFormat(index, format))
            break;
        if ((wantedTag != 0 && format->wFormatTag != wantedTag) ||
            !PassesRestriction(format, fdwEnum, reference))
            continue;
        if (FormatBytes(format) > scratch.size())
            return ACMERR_NOTPOSSIBLE; // the driver broke its own size limit
        std::memcpy(pafd->pwfx, format, FormatBytes(format));
        pafd->dwFormatIndex = listed++;
        pafd->dwFormatTag = format->wFormatTag;
        pafd->fdwSupport = procs->support;
        DescribeFormat(format, pafd->szFormat);
        if (!fnCallback(id, pafd, dwInstance, procs->support))
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX *pwfxSrc, WAVEFORMATEX *pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
    if (MMRESULT refused = CheckFormatSuggestArguments(pwfxSrc, pwfxDst, cbwfxDst, fdwSuggest))
        return refused;
    uint16_t tag = fdwSuggest == ACM_FORMATSUGGESTF_WFORMATTAG ? pwfxDst->wFormatTag : 0;
    HeldDrivers drivers(had);
    if (!drivers.valid)
        return MMSYSERR_INVALHANDLE;
    for (AcmDriverId *id : drivers.ids) {
        const AcmDriverProcs *procs = id->procs;
        if (had == nullptr && !procs->open())
            continue;
        std::vector<unsigned char> scratch(std::max(procs->maxFormatSize, kFormatSize));
        auto *format = reinterpret_cast<WAVEFORMATEX *>(scratch.data());
        if (!procs->suggest(pwfxSrc, tag, format) || FormatBytes(format) > scratch.size() ||
            FormatBytes(format) > cbwfxDst)
            continue;
        std::memcpy(pwfxDst, format, FormatBytes(format));
        return MMSYSERR_NOERROR;
    }
    return ACMERR_NOTPOSSIBLE;
}

MMRESULT acmStreamOpen(HACMSTREAM *phas, HACMDRIVER had, const WAVEFORMATEX *pwfxSrc,
                       const WAVEFORMATEX *pwfxDst, const void *pwfltr, uintptr_t, uintptr_t,
                       uint32_t fdwOpen) {
    if (MMRESULT refused = CheckStreamOpenArguments(phas, pwfxSrc, pwfxDst, pwfltr, fdwOpen))
        return refused;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    HeldDrivers drivers(had);
    if (!drivers.valid)
        return MMSYSERR_INVALHANDLE;
    for (AcmDriverId *id : drivers.ids) {
        if (had == nullptr && !id->procs->open())
            continue;
        if (!id->procs->canConvert(pwfxSrc, pwfxDst))
            continue;
        if (query)
            return MMSYSERR_NOERROR;
        std::lock_guard<std::mutex> lock(AcmMutex());
        AcmDriver *driver = had == nullptr ? nullptr : FindOpenDriver(had);
        if (had != nullptr && driver == nullptr)
            return MMSYSERR_INVALHANDLE; // closed by another thread meanwhile
        auto stream = std::make_unique<AcmStream>(AcmStream{id, driver});
        id->users++;
        if (driver != nullptr)
            driver->streams++;
        *phas = stream.get();
        openStreams.emplace(stream.get(), std::move(stream));
        return MMSYSERR_NOERROR;
    }
    return ACMERR_NOTPOSSIBLE;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    std::lock_guard<std::mutex> lock(AcmMutex());
    auto found = openStreams.find(has);
    if (found == openStreams.end())
        return MMSYSERR_INVALHANDLE;
    AcmStream *stream = found->second.get();
    stream->id->users--;
    if (stream->driver != nullptr)
        stream->driver->streams--;
    openStreams.erase(found);
    return MMSYSERR_NOERROR;
}

std::mutex &AcmMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::unique_ptr<AcmDriverId>> &AddedAcmDrivers() {
    static std::vector<std::unique_ptr<AcmDriverId>> added;
    return added;
}

} // namespace platform
