/*
 * The playback output: an Out_Module that plays through the system's sound server with the
 * PulseAudio client library (PipeWire's pulse layer answers it too).
 *
 * Each Open connects anew (threaded mainloop, context, playback stream) and Close drains what
 * was written before it disconnects, so that the end of a file is heard. Every entry point
 * may come from another thread (the decoding thread writes, the stop thread closes, the
 * engine sets the volume): one mutex serialises them, and the mainloop lock guards the calls
 * into the client library while its own thread runs the callbacks.
 */
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include "kernova/winamp.h"

namespace {

// A server that accepts the connection but never answers must not hang the play.
constexpr pa_usec_t kConnectTimeoutUs = 3 * PA_USEC_PER_SEC;
// Draining may take what is queued plus this much before the stream is dropped anyway.
constexpr pa_usec_t kDrainMarginUs = 2 * PA_USEC_PER_SEC;
constexpr int kDefaultBufferMs = 1000;
// Room that CanWrite reports for a stream that died, so that the next Write reports the failure.
constexpr int kDeadStreamRoom = 4096;

struct Playback {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    std::string partialFrame;  // bytes of a frame that a Write cut in two
    uint64_t writtenBytes = 0; // since Open or the last Flush
    uint64_t triggeredAt = UINT64_MAX;
    pa_usec_t streamTimeAtBase = 0;
    int baseMs = 0; // output time of the last Flush
    bool paused = false;
};

std::mutex guard;
Playback playback;
int volume = 255;
int pan = 0;

void Signal(pa_threaded_mainloop *loop) {
    pa_threaded_mainloop_signal(loop, 0);
}

void OnContextState(pa_context *, void *loop) {
    Signal(static_cast<pa_threaded_mainloop *>(loop));
}

void OnStreamEvent(pa_stream *, void *loop) {
    Signal(static_cast<pa_threaded_mainloop *>(loop));
}

void OnTimeout(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *flag) {
    auto *timedOut = static_cast<std::pair<pa_threaded_mainloop *, bool> *>(flag);
    timedOut->second = true;
    Signal(timedOut->first);
}

void OnDrained(pa_stream *, int, void *loop) {
    Signal(static_cast<pa_threaded_mainloop *>(loop));
}

// Waits (mainloop locked) until `done` holds or `timeoutUs` has passed; true when it holds.
template <typename Done> bool WaitUntil(Done done, pa_usec_t timeoutUs) {
    std::pair<pa_threaded_mainloop *, bool> timedOut{playback.loop, false};
    pa_time_event *timer =
        pa_context_rttime_new(playback.context, pa_rtclock_now() + timeoutUs, OnTimeout, &timedOut);
    bool reached = done();
    while (!reached && !timedOut.second) {
        pa_threaded_mainloop_wait(playback.loop);
        reached = done();
    }
    if (timer != nullptr)
        pa_threaded_mainloop_get_api(playback.loop)->time_free(timer);
    return reached;
}

bool ContextSettled() {
    pa_context_state_t state = pa_context_get_state(playback.context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

bool StreamSettled() {
    pa_stream_state_t state = pa_stream_get_state(playback.stream);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state) ||
           !PA_CONTEXT_IS_GOOD(pa_context_get_state(playback.context));
}

bool StreamReady() {
    return playback.stream != nullptr && pa_stream_get_state(playback.stream) == PA_STREAM_READY;
}

// Volume 0..255 scales the amplitude; pan -128..128 turns the other side down.
pa_cvolume VolumeOf(const pa_sample_spec &sampleFormat, const pa_channel_map &map) {
    pa_cvolume levels;
    pa_cvolume_set(&levels, sampleFormat.channels, pa_sw_volume_from_linear(volume / 255.0));
    if (pan != 0 && pa_channel_map_can_balance(&map))
        pa_cvolume_set_balance(&levels, &map, pan / 128.0f);
    return levels;
}

// Runs an operation to its end (mainloop locked), or until the timeout or a failure.
void Finish(pa_operation *operation, pa_usec_t timeoutUs) {
    if (operation == nullptr)
        return;
    WaitUntil(
        [operation] {
            return pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
                   !PA_CONTEXT_IS_GOOD(pa_context_get_state(playback.context));
        },
        timeoutUs);
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
}

void Release(pa_operation *operation) {
    if (operation != nullptr)
        pa_operation_unref(operation);
}

void ApplyVolume() {
    if (!StreamReady())
        return;
    pa_cvolume levels = VolumeOf(playback.sampleFormat, playback.map);
    Release(pa_context_set_sink_input_volume(playback.context, pa_stream_get_index(playback.stream),
                                             &levels, nullptr, nullptr));
}

pa_usec_t StreamTime() {
    pa_usec_t time = 0;
    if (!StreamReady() || pa_stream_get_time(playback.stream, &time) < 0)
        return 0;
    return time;
}

int BytesToMs(uint64_t bytes) {
    uint64_t perSecond = pa_bytes_per_second(&playback.sampleFormat);
    return perSecond == 0 ? 0 : static_cast<int>(bytes * 1000 / perSecond);
}

// Milliseconds written and played since Open or the last Flush.
int WrittenMs() {
    return BytesToMs(playback.writtenBytes);
}

int PlayedMs() {
    pa_usec_t time = StreamTime();
    pa_usec_t played = time > playback.streamTimeAtBase ? time - playback.streamTimeAtBase : 0;
    return std::min(static_cast<int>(std::min<pa_usec_t>(played / 1000, INT_MAX)), WrittenMs());
}

// Frees everything of the last Open (mainloop unlocked on entry).
void Disconnect() {
    if (playback.loop == nullptr)
        return;
    pa_threaded_mainloop_lock(playback.loop);
    if (playback.stream != nullptr) {
        pa_stream_set_state_callback(playback.stream, nullptr, nullptr);
        pa_stream_disconnect(playback.stream);
        pa_stream_unref(playback.stream);
    }
    if (playback.context != nullptr) {
        pa_context_set_state_callback(playback.context, nullptr, nullptr);
        pa_context_disconnect(playback.context);
        pa_context_unref(playback.context);
    }
    pa_threaded_mainloop_unlock(playback.loop);
    pa_threaded_mainloop_stop(playback.loop);
    pa_threaded_mainloop_free(playback.loop);
    playback = Playback{};
}

bool ConnectContext() {
    playback.loop = pa_threaded_mainloop_new();
    if (playback.loop == nullptr)
        return false;
    playback.context = pa_context_new(pa_threaded_mainloop_get_api(playback.loop), "Kernova");
    if (playback.context == nullptr)
        return false;
    pa_context_set_state_callback(playback.context, OnContextState, playback.loop);
    if (pa_context_connect(playback.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    if (pa_threaded_mainloop_start(playback.loop) < 0)
        return false;
    pa_threaded_mainloop_lock(playback.loop);
    bool ready = WaitUntil(ContextSettled, kConnectTimeoutUs) &&
                 pa_context_get_state(playback.context) == PA_CONTEXT_READY;
    pa_threaded_mainloop_unlock(playback.loop);
    return ready;
}

pa_buffer_attr BufferOf(int bufferMs, int prebufferMs) {
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.fragsize = UINT32_MAX;
    int buffer = bufferMs > 0 ? bufferMs : kDefaultBufferMs;
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(
        static_cast<pa_usec_t>(buffer) * PA_USEC_PER_MSEC, &playback.sampleFormat));
    attr.prebuf = UINT32_MAX;
    if (prebufferMs > 0)
        attr.prebuf = static_cast<uint32_t>(std::min<size_t>(
            attr.tlength, pa_usec_to_bytes(static_cast<pa_usec_t>(prebufferMs) * PA_USEC_PER_MSEC,
                                           &playback.sampleFormat)));
    return attr;
}

// Latency of the connected stream in milliseconds, or -1 when it did not connect.
int ConnectStream(int bufferMs, int prebufferMs) {
    pa_threaded_mainloop_lock(playback.loop);
    playback.stream =
        pa_stream_new(playback.context, "Kernova", &playback.sampleFormat, &playback.map);
    int latency = -1;
    if (playback.stream != nullptr) {
        pa_stream_set_state_callback(playback.stream, OnStreamEvent, playback.loop);
        pa_buffer_attr attr = BufferOf(bufferMs, prebufferMs);
        pa_cvolume levels = VolumeOf(playback.sampleFormat, playback.map);
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING |
                                                    PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(playback.stream, nullptr, &attr, flags, &levels, nullptr) >=
                0 &&
            WaitUntil(StreamSettled, kConnectTimeoutUs) && StreamReady()) {
            const pa_buffer_attr *granted = pa_stream_get_buffer_attr(playback.stream);
            latency = static_cast<int>(pa_bytes_to_usec(granted->tlength, &playback.sampleFormat) /
                                       PA_USEC_PER_MSEC);
        }
    }
    pa_threaded_mainloop_unlock(playback.loop);
    return latency;
}

bool DescribeFormat(int rate, int channels, int bits) {
    static const pa_sample_format_t formats[] = {PA_SAMPLE_U8, PA_SAMPLE_S16LE, PA_SAMPLE_S24LE,
                                                 PA_SAMPLE_S32LE};
    if (bits % 8 != 0 || bits < 8 || bits > 32 || channels <= 0 ||
        channels > static_cast<int>(PA_CHANNELS_MAX) || rate <= 0)
        return false;
    playback.sampleFormat.format = formats[bits / 8 - 1];
    playback.sampleFormat.rate = static_cast<uint32_t>(rate);
    playback.sampleFormat.channels = static_cast<uint8_t>(channels);
    return pa_sample_spec_valid(&playback.sampleFormat) &&
           pa_channel_map_init_auto(&playback.map, playback.sampleFormat.channels,
                                    PA_CHANNEL_MAP_WAVEEX) != nullptr;
}

// Hands whole frames to the stream (mainloop locked); false when the stream refused them.
bool QueueFrames(const char *data, size_t bytes) {
    size_t frame = pa_frame_size(&playback.sampleFormat);
    size_t whole = bytes / frame * frame;
    if (whole > 0 &&
        pa_stream_write(playback.stream, data, whole, nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return false;
    playback.partialFrame.assign(data + whole, bytes - whole);
    return true;
}

void Config(HWND) {}

void About(HWND) {}

void Init() {
    std::lock_guard<std::mutex> lock(guard);
    volume = 255;
    pan = 0;
}

void Quit() {
    std::lock_guard<std::mutex> lock(guard);
    Disconnect();
}

int Open(int samplerate, int numchannels, int bitspersamp, int bufferlenms, int prebufferms) {
    std::lock_guard<std::mutex> lock(guard);
    Disconnect();
    if (!DescribeFormat(samplerate, numchannels, bitspersamp) || !ConnectContext()) {
        Disconnect();
        return -1;
    }
    int latency = ConnectStream(bufferlenms, prebufferms);
    if (latency < 0)
        Disconnect();
    return latency;
}

// Drains what was written, unless the stream is paused (a paused stream would never drain).
void Close() {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr)
        return;
    pa_threaded_mainloop_lock(playback.loop);
    if (StreamReady() && !playback.paused && playback.writtenBytes > 0) {
        pa_usec_t queuedUs =
            static_cast<pa_usec_t>(std::max(WrittenMs() - PlayedMs(), 0)) * PA_USEC_PER_MSEC;
        Release(pa_stream_trigger(playback.stream, nullptr, nullptr));
        Finish(pa_stream_drain(playback.stream, OnDrained, playback.loop),
               queuedUs + kDrainMarginUs);
    }
    pa_threaded_mainloop_unlock(playback.loop);
    Disconnect();
}

int Write(char *buf, int len) {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr || len < 0 || (buf == nullptr && len > 0))
        return -1;
    pa_threaded_mainloop_lock(playback.loop);
    bool queued = StreamReady();
    if (queued && len > 0) {
        if (playback.partialFrame.empty()) {
            queued = QueueFrames(buf, static_cast<size_t>(len));
        } else {
            std::string joined = playback.partialFrame + std::string(buf, static_cast<size_t>(len));
            queued = QueueFrames(joined.data(), joined.size());
        }
    }
    if (queued)
        playback.writtenBytes += static_cast<uint64_t>(len);
    pa_threaded_mainloop_unlock(playback.loop);
    return queued ? 0 : -1;
}

int CanWrite() {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr)
        return 0;
    pa_threaded_mainloop_lock(playback.loop);
    int room = kDeadStreamRoom;
    if (StreamReady()) {
        size_t writable = pa_stream_writable_size(playback.stream);
        room = writable == static_cast<size_t>(-1)
                   ? kDeadStreamRoom
                   : static_cast<int>(std::min<size_t>(writable, INT_MAX));
    }
    pa_threaded_mainloop_unlock(playback.loop);
    return room;
}

// A decoder asks this once it has written everything: a file shorter than the prebuffer is
// started here, as it would otherwise wait for more data for ever.
int IsPlaying() {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr)
        return 0;
    pa_threaded_mainloop_lock(playback.loop);
    bool playing = StreamReady() && PlayedMs() < WrittenMs();
    if (playing && !playback.paused && playback.triggeredAt != playback.writtenBytes) {
        playback.triggeredAt = playback.writtenBytes;
        Release(pa_stream_trigger(playback.stream, nullptr, nullptr));
    }
    pa_threaded_mainloop_unlock(playback.loop);
    return playing ? 1 : 0;
}

int Pause(int pause) {
    std::lock_guard<std::mutex> lock(guard);
    int was = playback.paused ? 1 : 0;
    if (playback.loop == nullptr)
        return was;
    pa_threaded_mainloop_lock(playback.loop);
    if (StreamReady()) {
        playback.paused = pause != 0;
        Release(pa_stream_cork(playback.stream, pause != 0, nullptr, nullptr));
    }
    pa_threaded_mainloop_unlock(playback.loop);
    return was;
}

// A negative volume re-applies the current one.
void SetVolume(int value) {
    std::lock_guard<std::mutex> lock(guard);
    if (value >= 0)
        volume = std::min(value, 255);
    if (playback.loop == nullptr)
        return;
    pa_threaded_mainloop_lock(playback.loop);
    ApplyVolume();
    pa_threaded_mainloop_unlock(playback.loop);
}

void SetPan(int value) {
    std::lock_guard<std::mutex> lock(guard);
    pan = std::clamp(value, -128, 128);
    if (playback.loop == nullptr)
        return;
    pa_threaded_mainloop_lock(playback.loop);
    ApplyVolume();
    pa_threaded_mainloop_unlock(playback.loop);
}

// Drops what is queued; the output time goes on from `t`.
void Flush(int t) {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr)
        return;
    pa_threaded_mainloop_lock(playback.loop);
    if (StreamReady())
        Release(pa_stream_flush(playback.stream, nullptr, nullptr));
    playback.streamTimeAtBase = StreamTime();
    playback.writtenBytes = 0;
    playback.triggeredAt = UINT64_MAX;
    playback.partialFrame.clear();
    playback.baseMs = t;
    pa_threaded_mainloop_unlock(playback.loop);
}

int GetOutputTime() {
    std::lock_guard<std::mutex> lock(guard);
    if (playback.loop == nullptr)
        return 0;
    pa_threaded_mainloop_lock(playback.loop);
    int time = playback.baseMs + PlayedMs();
    pa_threaded_mainloop_unlock(playback.loop);
    return time;
}

int GetWrittenTime() {
    std::lock_guard<std::mutex> lock(guard);
    return playback.loop == nullptr ? 0 : playback.baseMs + WrittenMs();
}

char description[] = "DirectSound - plays through the sound server";

Out_Module module = {16,    description, 0,      nullptr, nullptr,       Config,        About,
                     Init,  Quit,        Open,   Close,   Write,         CanWrite,      IsPlaying,
                     Pause, SetVolume,   SetPan, Flush,   GetOutputTime, GetWrittenTime};

} // namespace

KERNOVA_EXPORT Out_Module *winampGetOutModule() {
    return &module;
}
