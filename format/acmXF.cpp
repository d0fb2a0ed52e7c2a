#include "format/acmXF.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kPlainFormatSize = sizeof(WAVEFORMATEX);
constexpr uint32_t kFormatSlack = 28;
constexpr size_t kBufferSeconds = 5;
// The drivers list only formats of the match format's channels and rate, which is all the
// match test takes; a driver may then offer a PCM rate beyond the common ones it lists.
constexpr uint32_t kMatchRestriction =
    platform::ACM_FORMATENUMF_NCHANNELS | platform::ACM_FORMATENUMF_NSAMPLESPERSEC;

// Size of the largest format record of all drivers; measured at each construction and open.
uint32_t largestFormatSize = kPlainFormatSize;
// The target as it was before the open replaced it; the format-matching test compares to it.
WAVEFORMATEX matchFormat;

bool QueryLargestFormatSize(platform::HACMOBJ object, uint32_t &size) {
    return platform::acmMetrics(object, platform::ACM_METRIC_MAX_SIZE_FORMAT, &size) ==
           platform::MMSYSERR_NOERROR;
}

WAVEFORMATEX *AllocateFormat(uint32_t size) {
    return reinterpret_cast<WAVEFORMATEX *>(new uint8_t[size]());
}

void FreeFormat(WAVEFORMATEX *&format) {
    delete[] reinterpret_cast<uint8_t *>(format);
    format = nullptr;
}

// A zeroed buffer of `size` bytes holding a format of the match format's tag, channels and
// rate, whose extra bytes fill the rest.
std::vector<uint8_t> MakeFormatBuffer(uint32_t size) {
    std::vector<uint8_t> buffer(size);
    auto *format = reinterpret_cast<WAVEFORMATEX *>(buffer.data());
    format->wFormatTag = matchFormat.wFormatTag;
    format->nChannels = matchFormat.nChannels;
    format->nSamplesPerSec = matchFormat.nSamplesPerSec;
    format->cbSize = static_cast<uint16_t>(size - kPlainFormatSize);
    return buffer;
}

int MatchFormat(platform::HACMDRIVERID, platform::ACMFORMATDETAILS *details, uintptr_t instance,
                uint32_t) {
    const WAVEFORMATEX *offered = details->pwfx;
    bool matches = offered->wFormatTag == matchFormat.wFormatTag &&
                   offered->nSamplesPerSec == matchFormat.nSamplesPerSec &&
                   offered->nChannels == matchFormat.nChannels &&
                   offered->nAvgBytesPerSec == matchFormat.nAvgBytesPerSec;
    if (matches)
        *reinterpret_cast<bool *>(instance) = true;
    return matches ? 0 : 1;
}

// Lists the formats of `driver` of the match format's tag into `buffer`, up to the first that
// matches; `matched` tells whether one did, and the buffer then holds it.
platform::MMRESULT EnumerateMatch(platform::HACMDRIVER driver, std::vector<uint8_t> &buffer,
                                  uint32_t flags, bool &matched) {
    platform::ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = matchFormat.wFormatTag;
    details.pwfx = reinterpret_cast<WAVEFORMATEX *>(buffer.data());
    details.cbwfx = static_cast<uint32_t>(buffer.size());
    matched = false;
    return platform::acmFormatEnum(driver, &details, MatchFormat,
                                   reinterpret_cast<uintptr_t>(&matched),
                                   flags | kMatchRestriction);
}

uint32_t DriverFormatSize(platform::HACMDRIVER driver) {
    uint32_t size = 0;
    if (!QueryLargestFormatSize(driver, size) || size < kPlainFormatSize)
        return kPlainFormatSize;
    return size;
}

struct DriverSearch {
    platform::HACMDRIVERID found = nullptr;
};

int OfferDriver(platform::HACMDRIVERID id, uintptr_t instance, uint32_t) {
    auto *search = reinterpret_cast<DriverSearch *>(instance);
    platform::HACMDRIVER driver = nullptr;
    if (platform::acmDriverOpen(&driver, id, 0) != platform::MMSYSERR_NOERROR)
        return 0; // one driver that does not open ends the whole search
    std::vector<uint8_t> buffer = MakeFormatBuffer(DriverFormatSize(driver));
    bool matched = false;
    platform::MMRESULT result =
        EnumerateMatch(driver, buffer, platform::ACM_FORMATENUMF_INPUT, matched);
    platform::acmDriverClose(driver, 0);
    if (result != platform::MMSYSERR_NOERROR)
        return 0;
    if (matched)
        search->found = id;
    return matched ? 0 : 1;
}

platform::HACMDRIVERID FindDriverForTarget() {
    DriverSearch search;
    platform::acmDriverEnum(OfferDriver, reinterpret_cast<uintptr_t>(&search), 0);
    return search.found;
}

// The driver's complete description of the format that matches; empty when there is none.
std::vector<uint8_t> FetchDriverFormat(platform::HACMDRIVERID id) {
    platform::HACMDRIVER driver = nullptr;
    if (platform::acmDriverOpen(&driver, id, 0) != platform::MMSYSERR_NOERROR)
        return {};
    std::vector<uint8_t> buffer = MakeFormatBuffer(DriverFormatSize(driver));
    bool matched = false;
    platform::MMRESULT result = EnumerateMatch(driver, buffer, 0, matched);
    platform::acmDriverClose(driver, 0);
    if (result != platform::MMSYSERR_NOERROR || !matched)
        return {};
    return buffer;
}

uint32_t FormatBytes(const WAVEFORMATEX *format) {
    return kPlainFormatSize + format->cbSize;
}

std::unique_ptr<uint8_t[]> AllocateSeconds(uint32_t bytesPerSecond) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kBufferSeconds * bytesPerSecond]);
}

platform::MMRESULT OpenStream(platform::HACMSTREAM &stream, const WAVEFORMATEX *from,
                              const WAVEFORMATEX *to) {
    return platform::acmStreamOpen(&stream, nullptr, from, to, nullptr, 0, 0,
                                   platform::ACM_STREAMOPENF_NONREALTIME);
}

} // namespace

AcmFormatConverter::AcmFormatConverter() {
    uint32_t size = 0;
    largestFormatSize = QueryLargestFormatSize(nullptr, size) ? size : kPlainFormatSize;
    formatBufferSize = std::max(largestFormatSize, kPlainFormatSize) + kFormatSlack;
    targetFormat = AllocateFormat(formatBufferSize);
    sourceFormat = AllocateFormat(formatBufferSize);
}

AcmFormatConverter::~AcmFormatConverter() {
    Close();
}

int AcmFormatConverter::Open() {
    if (open == 0 || stream != nullptr || firstStageStream != nullptr)
        return 0; // closed, or opened before: its streams stay as they are
    std::memcpy(&matchFormat, targetFormat, kPlainFormatSize);
    if (!QueryLargestFormatSize(nullptr, largestFormatSize))
        return 0;
    platform::HACMDRIVERID driver = FindDriverForTarget();
    if (driver == nullptr)
        return 0;
    std::vector<uint8_t> driverFormat = FetchDriverFormat(driver);
    if (driverFormat.empty())
        return 0;
    auto *found = reinterpret_cast<const WAVEFORMATEX *>(driverFormat.data());
    uint32_t foundBytes = FormatBytes(found);
    if (foundBytes > driverFormat.size() || foundBytes > formatBufferSize)
        return 0;
    std::memcpy(targetFormat, found, foundBytes);

    std::vector<uint8_t> intermediateStorage(std::max(largestFormatSize, kPlainFormatSize));
    auto *intermediate = reinterpret_cast<WAVEFORMATEX *>(intermediateStorage.data());
    intermediate->wFormatTag = WAVE_FORMAT_PCM;
    if (platform::acmFormatSuggest(
            nullptr, sourceFormat, intermediate, static_cast<uint32_t>(intermediateStorage.size()),
            platform::ACM_FORMATSUGGESTF_WFORMATTAG) != platform::MMSYSERR_NOERROR)
        return 0;

    if (OpenStream(stream, sourceFormat, targetFormat) == platform::MMSYSERR_NOERROR) {
        inputBuffer = AllocateSeconds(sourceFormat->nAvgBytesPerSec);
        outputBuffer = AllocateSeconds(targetFormat->nAvgBytesPerSec);
        return inputBuffer && outputBuffer ? 1 : 0;
    }
    if (OpenStream(firstStageStream, sourceFormat, intermediate) != platform::MMSYSERR_NOERROR)
        return 0;
    twoStage = 1;
    intermediateSize = kBufferSeconds * intermediate->nAvgBytesPerSec;
    if (OpenStream(stream, intermediate, targetFormat) != platform::MMSYSERR_NOERROR)
        return 0;
    firstStageInputBuffer = AllocateSeconds(sourceFormat->nAvgBytesPerSec);
    intermediateBuffer = AllocateSeconds(intermediate->nAvgBytesPerSec);
    inputBuffer = AllocateSeconds(intermediate->nAvgBytesPerSec);
    outputBuffer = AllocateSeconds(targetFormat->nAvgBytesPerSec);
    return firstStageInputBuffer && intermediateBuffer && inputBuffer && outputBuffer ? 1 : 0;
}

void AcmFormatConverter::Close() {
    if (open == 0)
        return;
    if (stream != nullptr)
        platform::acmStreamClose(stream, 0);
    if (firstStageStream != nullptr)
        platform::acmStreamClose(firstStageStream, 0);
    stream = nullptr;
    firstStageStream = nullptr;
    outputBuffer.reset();
    intermediateBuffer.reset();
    inputBuffer.reset();
    firstStageInputBuffer.reset();
    FreeFormat(targetFormat);
    FreeFormat(sourceFormat);
    open = 0;
}
