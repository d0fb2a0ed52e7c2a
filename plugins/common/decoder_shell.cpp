#include "decoder_shell.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "kernova/message_codes.h"

namespace knplugin {
namespace {

constexpr size_t kBlockFrames = 4096;
constexpr auto kWaitStep = std::chrono::milliseconds(1);
constexpr size_t kTitleBytes = 256;
constexpr size_t kParamDescriptionBytes = 256;

In_Module module;
InputModuleEx moduleEx;
const DecoderDefinition *definition = nullptr;

constexpr size_t kErrorTextBytes = 160;

// The last error and its detail. Written on the command thread (GetFileInfo, Play) or at the
// end of the decoding thread, read by the core after that thread has been joined.
std::atomic<int> lastError{0};
char errorText[kErrorTextBytes] = "";
std::atomic<int> lengthMs{0};
std::atomic<uint32_t> playingRate{0};
std::atomic<uint64_t> writtenFrames{0};
std::atomic<bool> stopRequested{false};
std::thread decodeThread;
Out_Module *playingOut = nullptr; // the output that the current decode opens
// The core may start the stop thread as soon as it has called Play, so Stop can come while
// Play is still starting the decode: Play and Stop hold this lock, which makes Stop wait for
// the decoding thread that Play starts. The decoding thread never takes it.
std::mutex playLock;

int LengthMs(uint64_t frames, uint32_t rate) {
    // Any data lasts at least 1 ms, so that a short file is not taken for an empty one.
    uint64_t ms = (frames * 1000 + rate - 1) / rate;
    return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

// Sets the last error; a code without a detail gets the empty text, so that the core names
// the input with it.
void SetError(int code, const char *detail = "") {
    std::snprintf(errorText, sizeof errorText, "%s", code != 0 ? detail : "");
    lastError = code;
}

// The open's error, unless it was set with its detail already.
void SetOpenError(int code) {
    if (code != KN_ERR_DECODER_TRUNCATED)
        SetError(code);
}

double Seconds(uint64_t frames, uint32_t rate) {
    return static_cast<double>(frames) / rate;
}

// A stream that delivered `frames` and ended short of the length that its file states, or
// without the mark of its end, comes from a cut file: sets KN_ERR_DECODER_TRUNCATED with how
// much it held. False when the stream is whole as far as its file tells.
bool SetCutError(const DecoderStream &stream, uint64_t frames) {
    uint32_t rate = stream.Format().rate;
    uint64_t stated = stream.StatedFrames();
    char detail[kErrorTextBytes];
    if (stated > 0 && frames < stated)
        std::snprintf(
            detail, sizeof detail, "%.2f s of %.2f s (the header promises %llu frames, %llu found)",
            Seconds(frames, rate), Seconds(stated, rate), static_cast<unsigned long long>(stated),
            static_cast<unsigned long long>(frames));
    else if (stream.LacksEnd())
        std::snprintf(detail, sizeof detail, "the stream ends without its last page, after %.2f s",
                      Seconds(frames, rate));
    else
        return false;
    SetError(KN_ERR_DECODER_TRUNCATED, detail);
    return true;
}

// Damage found where a cut file breaks off is the cut's doing; the other end codes (a format
// change) tell more than the shortfall.
void SetEndError(const DecoderStream &stream, uint64_t frames) {
    int code = stream.EndCode();
    if ((code == 0 || code == KN_ERR_DECODER_DAMAGED) && SetCutError(stream, frames))
        return;
    SetError(code);
}

bool IsOutputFormat(const PcmFormat &format) {
    bool bits = format.bits == 8 || format.bits == 16 || format.bits == 24 || format.bits == 32;
    return bits && format.channels >= 1 && format.channels <= kMaxChannels && format.rate >= 1 &&
           format.rate <= INT_MAX;
}

std::unique_ptr<DecoderStream> OpenStream(const char *file, int &error) {
    error = 0;
    if (file == nullptr || !std::ifstream(file, std::ios::binary)) {
        error = KN_ERR_DECODER_OPEN;
        return nullptr;
    }
    std::unique_ptr<DecoderStream> stream = definition->open(file, error);
    if (stream == nullptr && error == KN_ERR_DECODER_TRUNCATED) {
        SetError(error, "the file ends before its first whole block of sound");
        return nullptr;
    }
    if (stream != nullptr && !IsOutputFormat(stream->Format())) {
        error = KN_ERR_DECODER_ENCODING;
        return nullptr;
    }
    if (stream == nullptr && error == 0)
        error = KN_ERR_DECODER_DAMAGED;
    return stream;
}

// The core's output writer ignores writes of 4 bytes or fewer, so no piece is made that small:
// a piece holds at least this many bytes, unless the whole stream is shorter.
size_t MinPieceBytes(uint32_t frameBytes) {
    return (4 / frameBytes + 1) * frameBytes;
}

// The piece of the `left` bytes that the output can take now, 0 when it has no room for one.
size_t PieceThatFits(size_t left, int room, uint32_t frameBytes, size_t minPiece) {
    size_t fits = room > 0 ? static_cast<size_t>(room) / frameBytes * frameBytes : 0;
    size_t piece = std::min(left, fits);
    if (piece < left && left - piece < minPiece)
        piece = left - minPiece; // keeps the last piece large enough
    return piece >= minPiece ? piece : 0;
}

// Hands `bytes` to the output as fast as it takes them. False on a stop or an output failure.
bool WriteAll(Out_Module *out, char *data, size_t bytes, uint32_t frameBytes) {
    size_t minPiece = std::min(MinPieceBytes(frameBytes), bytes);
    size_t done = 0;
    while (done < bytes) {
        if (stopRequested)
            return false;
        size_t piece = PieceThatFits(bytes - done, out->CanWrite(), frameBytes, minPiece);
        int result = piece > 0 ? out->Write(data + done, static_cast<int>(piece)) : 1;
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

// Adds the `bytes` at `data` behind the held bytes. When they would not fit, all held bytes but
// the last smallest piece are written first, so that what stays held is never a tiny write.
bool JoinHeld(Out_Module *out, std::vector<char> &held, size_t &heldBytes, const char *data,
              size_t bytes, uint32_t frameBytes) {
    if (heldBytes + bytes > held.size()) {
        size_t minPiece = MinPieceBytes(frameBytes);
        size_t ready = heldBytes - minPiece;
        if (!WriteAll(out, held.data(), ready, frameBytes))
            return false;
        std::memmove(held.data(), held.data() + ready, minPiece);
        heldBytes = minPiece;
    }
    std::memcpy(held.data() + heldBytes, data, bytes);
    heldBytes += bytes;
    return true;
}

// The decoding thread. Blocks are read alternately into two buffers, and a block is written
// only once the next one has been read: a tiny read (the stream's last, or a short one at the
// start) joins the block before it, so that no write, the last included, is a tiny one. Whole
// blocks go out without being moved, and in step with encoders whose blocks have as many frames.
void Decode(std::unique_ptr<DecoderStream> stream, Out_Module *out, HWND window) {
    PcmFormat format = stream->Format();
    if (out->Open(static_cast<int>(format.rate), format.channels, format.bits, -1, -1) < 0)
        return;
    uint32_t frameBytes = format.FrameBytes();
    size_t minPiece = MinPieceBytes(frameBytes);
    // Room for a block plus a tiny read joined to it.
    std::vector<char> held(kBlockFrames * frameBytes + minPiece);
    std::vector<char> next(held.size());
    size_t heldBytes = 0;
    uint64_t readFrames = 0;
    while (!stopRequested) {
        size_t frames = stream->Read(next.data(), kBlockFrames);
        if (frames == 0)
            break;
        readFrames += frames;
        size_t bytes = frames * frameBytes;
        if (heldBytes > 0 && (heldBytes < minPiece || bytes < minPiece)) {
            if (!JoinHeld(out, held, heldBytes, next.data(), bytes, frameBytes))
                return;
            continue;
        }
        if (heldBytes > 0 && !WriteAll(out, held.data(), heldBytes, frameBytes))
            return;
        std::swap(held, next);
        heldBytes = bytes;
    }
    if (stopRequested || (heldBytes > 0 && !WriteAll(out, held.data(), heldBytes, frameBytes)))
        return;
    SetEndError(*stream, readFrames);
    PostMessageA(window, WM_WA_MPEG_EOF, 0, 0);
}

// Called with playLock held.
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
    std::lock_guard<std::mutex> lock(playLock);
    JoinDecodeThread();
}

// Without a file name: the file being played. A file that cannot be decoded has length 0, and
// GetLastErrorCode tells why.
void GetFileInfo(const char *file, char *title, int *length) {
    if (file == nullptr || file[0] == '\0') {
        if (length != nullptr)
            *length = lengthMs;
        if (title != nullptr)
            title[0] = '\0';
        return;
    }
    int error = 0;
    std::unique_ptr<DecoderStream> stream = OpenStream(file, error);
    SetOpenError(error);
    // A file cut before its first sound has no length; it must not pass for one without any.
    if (stream != nullptr && stream->LengthFrames() == 0)
        SetCutError(*stream, 0);
    if (stream != nullptr && length != nullptr)
        *length = LengthMs(stream->LengthFrames(), stream->Format().rate);
    if (title != nullptr)
        CopyTitle(file, title);
}

int Play(const char *fileName) {
    std::lock_guard<std::mutex> lock(playLock);
    JoinDecodeThread(); // a decode that was never stopped
    int error = 0;
    std::unique_ptr<DecoderStream> stream = OpenStream(fileName, error);
    SetOpenError(error);
    if (stream == nullptr || module.outMod == nullptr)
        return 1;
    PcmFormat format = stream->Format();
    lengthMs = LengthMs(stream->LengthFrames(), format.rate);
    playingRate = format.rate;
    writtenFrames = 0;
    stopRequested = false;
    playingOut = module.outMod;
    try {
        decodeThread = std::thread(Decode, std::move(stream), playingOut, module.hMainWindow);
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
    std::lock_guard<std::mutex> lock(playLock);
    JoinDecodeThread();
    if (playingOut != nullptr)
        playingOut->Close();
    playingOut = nullptr;
}

int GetLength() {
    return lengthMs;
}

int GetOutputTime() {
    uint32_t rate = playingRate;
    if (rate == 0)
        return 0;
    return static_cast<int>(std::min<uint64_t>(writtenFrames * 1000 / rate, INT_MAX));
}

int SetParamString(const char *text) {
    if (text == nullptr)
        return 1;
    return std::all_of(text, text + std::strlen(text), [](char c) { return c == ' ' || c == '\t'; })
               ? 1
               : 0;
}

void GetParamDescription(char *buffer) {
    std::snprintf(buffer, kParamDescriptionBytes, "%s", definition->paramDescription);
}

} // namespace

In_Module *GetDecoderModule(const DecoderDefinition &decoder) {
    definition = &decoder;
    module.version = IN_MODULE_VERSION_WITH_ERROR_CODE;
    module.description = decoder.description;
    module.FileExtensions = decoder.extensions;
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

InputModuleEx *GetDecoderModuleEx() {
    moduleEx.SetParamString = SetParamString;
    moduleEx.GetParamDescription = GetParamDescription;
    return &moduleEx;
}

const char *GetErrorText() {
    return lastError != 0 ? errorText : nullptr;
}

void ReorderVorbisChannels(int16_t *samples, size_t frames, uint16_t channels) {
    // For each WAV position, the Vorbis position that holds that speaker; 1, 2 and 4 channels
    // are in the same order in both.
    static const uint8_t kFromVorbis[kMaxChannels + 1][kMaxChannels] = {
        {},
        {0},
        {0, 1},
        {0, 2, 1},
        {0, 1, 2, 3},
        {0, 2, 1, 3, 4},
        {0, 2, 1, 5, 3, 4},
        {0, 2, 1, 6, 5, 3, 4},
        {0, 2, 1, 7, 5, 6, 3, 4},
    };
    if (channels <= 2 || channels == 4 || channels > kMaxChannels)
        return;
    const uint8_t *order = kFromVorbis[channels];
    int16_t frame[kMaxChannels];
    for (size_t i = 0; i < frames; i++, samples += channels) {
        std::copy(samples, samples + channels, frame);
        for (uint16_t c = 0; c < channels; c++)
            samples[c] = frame[order[c]];
    }
}

} // namespace knplugin
