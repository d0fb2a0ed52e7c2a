// wave: Kernova's WAV decoder. Reads integer PCM (8, 16, 24 or 32 bits, 1 to 8 channels) from
// RIFF/WAVE and RF64 files, plain or WAVE_FORMAT_EXTENSIBLE, and plays it into the output module
// that the core puts into outMod, on a decoding thread of its own. Anything else is refused with
// a message code that GetLastErrorCode returns.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "kernova/decoder.h"
#include "kernova/message_codes.h"

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kSizeUnknown = 0xFFFFFFFF; // streaming writers leave sizes open like this
constexpr uint32_t kMaxChannels = 8;
constexpr size_t kBlockFrames = 4096;
constexpr size_t kMaxWriteBytes = 8192; // Winamp outputs take at most 8192 bytes per Write
constexpr auto kWaitStep = std::chrono::milliseconds(2);
constexpr size_t kTitleBytes = 256;

// The sub-format GUID of PCM after its first two bytes (the format code).
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct WaveInfo {
    int error = 0; // message code; the fields below are valid when it is 0
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0; // whole frames actually present in the file

    uint32_t FrameBytes() const { return channels * (bits / 8u); }
};

uint16_t ReadLe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ReadLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t ReadLe64(const uint8_t *p) {
    return static_cast<uint64_t>(ReadLe32(p)) | static_cast<uint64_t>(ReadLe32(p + 4)) << 32;
}

bool ReadAt(std::ifstream &file, uint64_t offset, uint8_t *buffer, size_t bytes) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char *>(buffer), static_cast<std::streamsize>(bytes));
    return static_cast<size_t>(file.gcount()) == bytes;
}

bool IsSupportedBits(uint16_t bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Reads the "fmt " chunk body (`size` bytes, at most 40 of them given) into `info`.
int ParseFormat(const uint8_t *body, uint32_t size, WaveInfo &info) {
    if (size < 16)
        return KN_ERR_WAVE_DAMAGED;
    uint16_t tag = ReadLe16(body);
    info.channels = ReadLe16(body + 2);
    info.rate = ReadLe32(body + 4);
    uint16_t blockAlign = ReadLe16(body + 12);
    info.bits = ReadLe16(body + 14);
    if (tag == kTagExtensible) {
        if (size < 40 || ReadLe16(body + 16) < 22)
            return KN_ERR_WAVE_DAMAGED;
        if (std::memcmp(body + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0)
            return KN_ERR_WAVE_ENCODING;
        tag = ReadLe16(body + 24);
    }
    if (tag != kTagPcm)
        return KN_ERR_WAVE_ENCODING;
    if (info.channels == 0 || info.rate == 0 || info.rate > INT_MAX)
        return KN_ERR_WAVE_DAMAGED;
    if (!IsSupportedBits(info.bits) || info.channels > kMaxChannels)
        return KN_ERR_WAVE_ENCODING;
    return blockAlign == info.FrameBytes() ? 0 : KN_ERR_WAVE_DAMAGED;
}

// Walks the chunks up to "data". A data size beyond the end of the file (a cut file) or left
// open is taken as "up to the end"; the data is cut to whole frames.
WaveInfo ReadWaveHeader(const char *fileName) {
    WaveInfo info;
    info.error = KN_ERR_WAVE_DAMAGED;
    std::ifstream file(fileName ? fileName : "", std::ios::binary);
    if (!file)
        return info;
    file.seekg(0, std::ios::end);
    auto fileSize = static_cast<uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
    uint8_t riff[12];
    if (!ReadAt(file, 0, riff, sizeof riff) || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return info;
    bool rf64 = std::memcmp(riff, "RF64", 4) == 0;
    if (!rf64 && std::memcmp(riff, "RIFF", 4) != 0)
        return info;
    bool haveFormat = false;
    uint64_t ds64DataSize = kSizeUnknown;
    uint64_t position = sizeof riff;
    uint8_t header[8];
    while (position + sizeof header <= fileSize && ReadAt(file, position, header, sizeof header)) {
        uint32_t size = ReadLe32(header + 4);
        uint64_t body = position + sizeof header;
        if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFormat)
                return info;
            uint64_t bytes = size == kSizeUnknown ? ds64DataSize : size;
            bytes = std::min(bytes, fileSize - body);
            info.dataOffset = body;
            info.dataBytes = bytes - bytes % info.FrameBytes();
            info.error = 0;
            return info;
        }
        if (size == kSizeUnknown)
            return info; // only the data chunk may run to the end
        if (std::memcmp(header, "fmt ", 4) == 0 && !haveFormat) {
            uint8_t format[40] = {};
            uint32_t given = std::min<uint32_t>(size, sizeof format);
            if (!ReadAt(file, body, format, given))
                return info;
            info.error = ParseFormat(format, given, info);
            if (info.error != 0)
                return info;
            info.error = KN_ERR_WAVE_DAMAGED;
            haveFormat = true;
        } else if (std::memcmp(header, "ds64", 4) == 0 && rf64 && size >= 16) {
            uint8_t sizes[16];
            if (!ReadAt(file, body, sizes, sizeof sizes))
                return info;
            ds64DataSize = ReadLe64(sizes + 8);
        }
        position = body + size + (size & 1);
    }
    return info;
}

int LengthMs(const WaveInfo &info) {
    uint64_t frames = info.dataBytes / info.FrameBytes();
    // A file with any data lasts at least 1 ms, so that it is not taken for an empty one.
    uint64_t ms = (frames * 1000 + info.rate - 1) / info.rate;
    return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

In_Module module;
InputModuleEx moduleEx;

std::atomic<int> lastError{0};
std::atomic<int> lengthMs{0};
std::atomic<uint64_t> writtenFrames{0};
std::atomic<bool> stopRequested{false};
std::thread decodeThread;
WaveInfo playing;                 // the file of the current decode
Out_Module *playingOut = nullptr; // the output that the current decode opens

// The core's output writer ignores writes of 4 bytes or fewer, so no piece is made that small:
// a piece holds at least this many bytes, unless the whole data is shorter.
size_t MinPieceBytes(uint32_t frameBytes) {
    return (4 / frameBytes + 1) * frameBytes;
}

// Hands `bytes` to the output in pieces it can take now. False on a stop or an output failure.
bool WriteAll(Out_Module *out, char *data, size_t bytes, uint32_t frameBytes) {
    size_t minPiece = std::min(MinPieceBytes(frameBytes), bytes);
    size_t maxPiece = kMaxWriteBytes / frameBytes * frameBytes;
    size_t done = 0;
    while (done < bytes) {
        if (stopRequested)
            return false;
        size_t left = bytes - done;
        int room = out->CanWrite();
        size_t fits = room > 0 ? static_cast<size_t>(room) / frameBytes * frameBytes : 0;
        size_t piece = std::min({left, maxPiece, fits});
        if (piece < left && left - piece < minPiece)
            piece = left - minPiece; // keeps the last piece large enough
        int result = piece >= minPiece ? out->Write(data + done, static_cast<int>(piece)) : 1;
        if (result < 0)
            return false;
        if (result > 0) { // nothing taken yet
            std::this_thread::sleep_for(kWaitStep);
            continue;
        }
        done += piece;
        writtenFrames += piece / frameBytes;
    }
    return true;
}

void Decode(std::ifstream file, WaveInfo info, Out_Module *out, HWND window) {
    if (out->Open(static_cast<int>(info.rate), info.channels, info.bits, -1, -1) < 0)
        return;
    uint32_t frameBytes = info.FrameBytes();
    size_t blockBytes = kBlockFrames * frameBytes;
    std::vector<char> block(blockBytes + MinPieceBytes(frameBytes));
    uint64_t remaining = info.dataBytes;
    while (remaining > 0 && !stopRequested) {
        uint64_t wanted = std::min<uint64_t>(blockBytes, remaining);
        if (remaining - wanted < MinPieceBytes(frameBytes))
            wanted = remaining; // a short tail goes with this block
        file.read(block.data(), static_cast<std::streamsize>(wanted));
        auto got = static_cast<size_t>(file.gcount());
        got -= got % frameBytes;
        if (got == 0)
            break; // the file became shorter while it was read
        if (!WriteAll(out, block.data(), got, frameBytes))
            return;
        remaining -= got;
    }
    if (!stopRequested)
        PostMessageA(window, WM_WA_MPEG_EOF, 0, 0);
}

void JoinDecodeThread() {
    stopRequested = true;
    if (decodeThread.joinable())
        decodeThread.join();
}

void CopyTitle(const char *fileName, char *title) {
    std::string stem = std::filesystem::path(fileName).stem().string();
    std::snprintf(title, kTitleBytes, "%s", stem.c_str());
}

void Quit() {
    JoinDecodeThread();
}

void GetFileInfo(const char *file, char *title, int *length) {
    bool current = file == nullptr || file[0] == '\0';
    if (current) {
        if (length != nullptr)
            *length = lengthMs;
        if (title != nullptr)
            title[0] = '\0';
        return;
    }
    WaveInfo info = ReadWaveHeader(file);
    lastError = info.error;
    if (info.error == 0 && length != nullptr)
        *length = LengthMs(info);
    if (title != nullptr)
        CopyTitle(file, title);
}

int Play(const char *fileName) {
    JoinDecodeThread(); // a decode that was never stopped
    WaveInfo info = ReadWaveHeader(fileName);
    lastError = info.error;
    if (info.error != 0)
        return 1;
    std::ifstream file(fileName, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(info.dataOffset));
    if (!file || module.outMod == nullptr) {
        lastError = KN_ERR_WAVE_DAMAGED;
        return 1;
    }
    playing = info;
    playingOut = module.outMod;
    lengthMs = LengthMs(info);
    writtenFrames = 0;
    stopRequested = false;
    try {
        decodeThread = std::thread(Decode, std::move(file), info, playingOut, module.hMainWindow);
    } catch (const std::system_error &) {
        playingOut = nullptr;
        return 1;
    }
    return 0;
}

int GetLastErrorCode() {
    return lastError;
}

// Stops the decode and closes its output; the decoding thread has ended when it returns.
void Stop() {
    JoinDecodeThread();
    if (playingOut != nullptr)
        playingOut->Close();
    playingOut = nullptr;
}

int GetLength() {
    return lengthMs;
}

int GetOutputTime() {
    if (playing.rate == 0)
        return 0;
    return static_cast<int>(std::min<uint64_t>(writtenFrames * 1000 / playing.rate, INT_MAX));
}

int SetParamString(const char *text) {
    if (text == nullptr)
        return 1;
    return std::all_of(text, text + std::strlen(text), [](char c) { return c == ' ' || c == '\t'; })
               ? 1
               : 0;
}

void GetParamDescription(char *buffer) {
    std::snprintf(buffer, 256, "no parameters: integer PCM is read as it is stored");
}

char description[] = "wave - PCM WAV reader";
char extensions[] = "WAV\0Wave files\0";

} // namespace

extern "C" In_Module *QZconvInputModAddr() {
    module.version = IN_MODULE_VERSION_WITH_ERROR_CODE;
    module.description = description;
    module.FileExtensions = extensions;
    module.is_seekable = 0;
    module.UsesOutputPlug = 1;
    module.Quit = Quit;
    module.GetFileInfo = GetFileInfo;
    module.Play = Play;
    module.IsPaused = GetLastErrorCode;
    module.Stop = Stop;
    module.GetLength = GetLength;
    module.GetOutputTime = GetOutputTime;
    return &module;
}

extern "C" InputModuleEx *QZconvInputModAddrEx() {
    moduleEx.SetParamString = SetParamString;
    moduleEx.GetParamDescription = GetParamDescription;
    return &moduleEx;
}
