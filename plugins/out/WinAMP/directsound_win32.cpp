/*
 * The playback output on Windows: an Out_Module that plays through DirectSound, into one
 * looping secondary buffer that holds the requested buffer length.
 *
 * The decoding thread writes, the stop thread closes and the engine sets the volume, so one
 * mutex serialises every entry point. Played bytes are counted from the play cursor's moves;
 * a cursor that stops moving while data is queued (a driver that plays nothing) fails the
 * Write or ends the Close instead of waiting for ever.
 */
#include <windows.h>

#include <dsound.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "kernova/winamp.h"

namespace {

constexpr int kDefaultBufferMs = 1000;
constexpr int kMinBufferMs = 250;
// A play cursor that has not moved for this long while data is queued has stalled.
constexpr DWORD kStallMs = 2000;
constexpr DWORD kPollMs = 10;

struct Playback {
    IDirectSound *device = nullptr;
    IDirectSoundBuffer *buffer = nullptr;
    DWORD size = 0;       // bytes in the looping buffer
    DWORD blockAlign = 1; // bytes per frame
    DWORD bytesPerSecond = 0;
    DWORD writeOffset = 0; // where the next Write goes in the buffer
    DWORD lastCursor = 0;  // play cursor at the last update
    DWORD lastMove = 0;    // tick count when the cursor last moved or data arrived
    uint64_t written = 0;  // bytes written since Open or the last Flush
    uint64_t played = 0;   // bytes played since Open or the last Flush
    DWORD prebuffer = 0;   // bytes to queue before playing starts
    int baseMs = 0;        // output time of the last Flush
    bool playing = false;
    bool paused = false;
};

std::mutex guard;
Playback playback;
int volume = 255;
int pan = 0;

LONG DirectSoundVolume(int value) {
    if (value <= 0)
        return DSBVOLUME_MIN;
    double hundredthsDb = 2000.0 * std::log10(std::min(value, 255) / 255.0);
    return std::max<LONG>(DSBVOLUME_MIN, static_cast<LONG>(hundredthsDb));
}

LONG DirectSoundPan(int value) {
    value = std::clamp(value, -128, 128);
    return static_cast<LONG>(value) * DSBPAN_RIGHT / 128;
}

void ApplyVolume() {
    if (playback.buffer == nullptr)
        return;
    playback.buffer->SetVolume(DirectSoundVolume(volume));
    playback.buffer->SetPan(DirectSoundPan(pan));
}

void Release() {
    if (playback.buffer != nullptr) {
        playback.buffer->Stop();
        playback.buffer->Release();
    }
    if (playback.device != nullptr)
        playback.device->Release();
    playback = Playback{};
}

// Counts what the play cursor passed since the last update; a buffer that ran dry stops, and
// the next data is queued where playing resumes.
void UpdatePlayed() {
    if (playback.buffer == nullptr || !playback.playing)
        return;
    DWORD cursor = 0;
    if (FAILED(playback.buffer->GetCurrentPosition(&cursor, nullptr)))
        return;
    DWORD moved = (cursor + playback.size - playback.lastCursor) % playback.size;
    if (moved != 0)
        playback.lastMove = GetTickCount();
    playback.lastCursor = cursor;
    playback.played += moved;
    if (playback.played >= playback.written) {
        playback.buffer->Stop();
        playback.playing = false;
        playback.played = playback.written;
        playback.writeOffset = cursor;
    }
}

void StartPlaying() {
    if (playback.playing || playback.paused || playback.buffer == nullptr)
        return;
    DWORD queued = static_cast<DWORD>(playback.written - playback.played);
    playback.buffer->SetCurrentPosition((playback.writeOffset + playback.size - queued) %
                                        playback.size);
    playback.buffer->GetCurrentPosition(&playback.lastCursor, nullptr);
    if (SUCCEEDED(playback.buffer->Play(0, 0, DSBPLAY_LOOPING))) {
        playback.playing = true;
        playback.lastMove = GetTickCount();
    }
}

DWORD FreeBytes() {
    UpdatePlayed();
    DWORD queued = static_cast<DWORD>(playback.written - playback.played);
    DWORD room = playback.size > queued ? playback.size - queued : 0;
    return room - room % playback.blockAlign;
}

bool Stalled() {
    return playback.playing && GetTickCount() - playback.lastMove > kStallMs;
}

bool CopyIn(const char *data, DWORD length) {
    void *first = nullptr;
    void *second = nullptr;
    DWORD firstLength = 0;
    DWORD secondLength = 0;
    HRESULT result = playback.buffer->Lock(playback.writeOffset, length, &first, &firstLength,
                                           &second, &secondLength, 0);
    if (result == DSERR_BUFFERLOST) {
        playback.buffer->Restore();
        result = playback.buffer->Lock(playback.writeOffset, length, &first, &firstLength, &second,
                                       &secondLength, 0);
    }
    if (FAILED(result))
        return false;
    std::memcpy(first, data, firstLength);
    if (second != nullptr)
        std::memcpy(second, data + firstLength, secondLength);
    playback.buffer->Unlock(first, firstLength, second, secondLength);
    playback.writeOffset = (playback.writeOffset + length) % playback.size;
    playback.written += length;
    return true;
}

void Config(HWND) {}
void About(HWND) {}
void Init() {}

void Quit() {
    std::lock_guard<std::mutex> lock(guard);
    Release();
}

bool CreateBuffer(int rate, int channels, int bits, int bufferMs) {
    if (FAILED(DirectSoundCreate(nullptr, &playback.device, nullptr)))
        return false;
    // Windows programs pass a top-level window; the desktop serves a host that has none.
    HWND owner = GetDesktopWindow();
    if (FAILED(playback.device->SetCooperativeLevel(owner, DSSCL_PRIORITY)))
        return false;
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(channels);
    format.nSamplesPerSec = static_cast<DWORD>(rate);
    format.wBitsPerSample = static_cast<WORD>(bits);
    format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    playback.blockAlign = format.nBlockAlign;
    playback.bytesPerSecond = format.nAvgBytesPerSec;
    DWORD frames = static_cast<DWORD>(static_cast<uint64_t>(rate) * bufferMs / 1000);
    playback.size = std::max<DWORD>(frames, 1) * format.nBlockAlign;
    DSBUFFERDESC description{};
    description.dwSize = sizeof(description);
    description.dwFlags =
        DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS | DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN;
    description.dwBufferBytes = playback.size;
    description.lpwfxFormat = &format;
    return SUCCEEDED(playback.device->CreateSoundBuffer(&description, &playback.buffer, nullptr));
}

int Open(int rate, int channels, int bits, int bufferMs, int prebufferMs) {
    std::lock_guard<std::mutex> lock(guard);
    Release();
    if (rate <= 0 || channels <= 0 || channels > 8 ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return -1;
    bufferMs = std::max(bufferMs > 0 ? bufferMs : kDefaultBufferMs, kMinBufferMs);
    if (!CreateBuffer(rate, channels, bits, bufferMs)) {
        Release();
        return -1;
    }
    DWORD prebuffer = static_cast<DWORD>(static_cast<uint64_t>(playback.bytesPerSecond) *
                                         std::clamp(prebufferMs, 0, bufferMs / 2) / 1000);
    playback.prebuffer = prebuffer - prebuffer % playback.blockAlign;
    ApplyVolume();
    return bufferMs;
}

// Waits, the mutex released, for the buffer to make room or to drain; false when the play
// cursor stalled.
bool WaitForCursor(std::unique_lock<std::mutex> &lock) {
    StartPlaying();
    if (Stalled() || !playback.playing)
        return false;
    lock.unlock();
    Sleep(kPollMs);
    lock.lock();
    return playback.buffer != nullptr;
}

int Write(char *data, int length) {
    std::unique_lock<std::mutex> lock(guard);
    if (playback.buffer == nullptr || length < 0)
        return -1;
    DWORD left = static_cast<DWORD>(length);
    while (left > 0) {
        DWORD room = std::min(FreeBytes(), left);
        if (room == 0) {
            if (!WaitForCursor(lock))
                return -1;
            continue;
        }
        if (!CopyIn(data, room))
            return -1;
        data += room;
        left -= room;
        playback.lastMove = GetTickCount();
        if (playback.written - playback.played >= playback.prebuffer)
            StartPlaying();
    }
    return 0;
}

// Plays what is queued before the buffer goes, so that the end of a file is heard.
void Close() {
    std::unique_lock<std::mutex> lock(guard);
    if (playback.buffer == nullptr)
        return;
    while (!playback.paused && playback.buffer != nullptr) {
        UpdatePlayed();
        if (playback.written == playback.played || !WaitForCursor(lock))
            break;
    }
    Release();
}

int CanWrite() {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.buffer == nullptr)
        return 0;
    // A stalled device answers with room, so that the next Write reports the failure.
    if (Stalled())
        return static_cast<int>(playback.blockAlign);
    return static_cast<int>(std::min<DWORD>(FreeBytes(), INT32_MAX));
}

int IsPlaying() {
    std::lock_guard<std::mutex> lock(guard);
    UpdatePlayed();
    return playback.buffer != nullptr && playback.written > playback.played ? 1 : 0;
}

int Pause(int pause) {
    std::lock_guard<std::mutex> lock(guard);
    int was = playback.paused ? 1 : 0;
    playback.paused = pause != 0;
    if (playback.buffer == nullptr)
        return was;
    if (playback.paused && playback.playing) {
        UpdatePlayed();
        playback.buffer->Stop();
        playback.playing = false;
    } else if (!playback.paused && playback.written > playback.played) {
        StartPlaying();
    }
    return was;
}

void SetVolume(int value) {
    std::lock_guard<std::mutex> lock(guard);
    // -666 asks to apply the current volume again.
    if (value != -666)
        volume = std::clamp(value, 0, 255);
    ApplyVolume();
}

void SetPan(int value) {
    std::lock_guard<std::mutex> lock(guard);
    pan = std::clamp(value, -128, 128);
    ApplyVolume();
}

void Flush(int ms) {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.buffer != nullptr) {
        playback.buffer->Stop();
        playback.buffer->SetCurrentPosition(0);
    }
    playback.playing = false;
    playback.writeOffset = 0;
    playback.lastCursor = 0;
    playback.written = 0;
    playback.played = 0;
    playback.baseMs = ms;
}

int BytesToMs(uint64_t bytes) {
    if (playback.bytesPerSecond == 0)
        return playback.baseMs;
    return playback.baseMs + static_cast<int>(bytes * 1000 / playback.bytesPerSecond);
}

int GetOutputTime() {
    std::lock_guard<std::mutex> lock(guard);
    UpdatePlayed();
    return BytesToMs(playback.played);
}

int GetWrittenTime() {
    std::lock_guard<std::mutex> lock(guard);
    return BytesToMs(playback.written);
}

char description[] = "DirectSound output";

Out_Module module = {16,    description, 0,      nullptr, nullptr,       Config,        About,
                     Init,  Quit,        Open,   Close,   Write,         CanWrite,      IsPlaying,
                     Pause, SetVolume,   SetPan, Flush,   GetOutputTime, GetWrittenTime};

} // namespace

KERNOVA_EXPORT Out_Module *winampGetOutModule() {
    return &module;
}
