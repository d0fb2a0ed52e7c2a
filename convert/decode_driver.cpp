#include "convert/decode_driver.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "convert/QZ_Convertor.h"
#include "convert/convert_jobs.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"

namespace {

constexpr int kProgressIntervalMs = 50;
constexpr int kPumpIdleSleepMs = 2;
constexpr int kRelayDefaultCanWrite = 8192;
// A message that only wakes the pump; the hidden window passes it to its default handling.
constexpr unsigned kWakeMessage = 0;

const char *const kEventNames[] = {"MDP_ISEOF",     "MDP_ISABORT",  "MDP_ISOPEN",  "MDP_ISEOF_W",
                                   "MDP_ISABORT_W", "MDP_ISOPEN_W", "MDP_ISSTOP_W"};
constexpr int kEventCount = sizeof(kEventNames) / sizeof(kEventNames[0]);

Out_Module relayOutModule;
Out_Module *targetOutModule = nullptr;
In_Module inModuleCopy;
platform::EventHandle events[kEventCount];

// Marks shared between the command thread, the decoder's thread, the stop thread and the
// thread that asks for an abort.
std::atomic<int> stopRequested{0};
std::atomic<int> outputOpen{0};
std::atomic<int> stopping{0};
std::atomic<int> stopDone{0};
std::atomic<int> previewReached{0};
std::atomic<int> errorRaised{0};
std::atomic<int> errorCode{0};
std::atomic<int> previewSeconds{0};
std::atomic<int64_t> bytesPerSecond{0};
std::atomic<int64_t> bytesWritten{0};
std::atomic<int> decodeActive{0};
std::atomic<int> abortRequested{0};
std::atomic<int> endedDamaged{0};

// Guards the creation of the one stop thread of a decode against a concurrent abort.
std::mutex stopThreadMutex;
platform::ThreadHandle stopThread = nullptr;

bool IsNativeDecoder(const In_Module &module) {
    return module.version == IN_MODULE_VERSION_WITH_ERROR_CODE;
}

unsigned long RunStopThread(void *argument) {
    auto *done = static_cast<std::atomic<int> *>(argument);
    stopping.store(1);
    if (inModuleCopy.Stop)
        inModuleCopy.Stop();
    done->store(1);
    // Wakes the pump, which waits for messages between its checks of the marks.
    PostMessageA(converterState.shadowWindow, kWakeMessage, 0, 0);
    return 0;
}

void RaiseError(int code) {
    errorRaised.store(1);
    errorCode.store(code);
    RequestStop();
}

bool WritesBlocked() {
    return outputOpen.load() == 0 || stopping.load() == 1 || stopRequested.load() == 1;
}

int RelayOpen(int sampleRate, int channels, int bitsPerSample, int bufferLengthMs,
              int preBufferMs) {
    if (targetOutModule->Open && targetOutModule->Open(sampleRate, channels, bitsPerSample,
                                                       bufferLengthMs, preBufferMs) < 0) {
        RaiseError(kDecodeTargetOpenFailed);
        return -1;
    }
    outputOpen.store(1);
    const int lengthMs = inModuleCopy.GetLength ? inModuleCopy.GetLength() : 0;
    bytesWritten.store(0);
    bytesPerSecond.store(static_cast<int64_t>(bitsPerSample / 8) * sampleRate * channels);
    const int preview = previewSeconds.load();
    converterState.onLength(preview > 0 ? preview : lengthMs / 1000);
    return 0;
}

int RelayWrite(char *buffer, int length) {
    if (WritesBlocked())
        return 0;
    const int preview = previewSeconds.load();
    if (preview > 0) {
        const int64_t total = bytesWritten.fetch_add(length) + length;
        if (total > bytesPerSecond.load() * preview) {
            previewReached.store(1);
            RequestStop();
            return 0;
        }
    }
    if (!targetOutModule->Write)
        return 0;
    const int answer = targetOutModule->Write(buffer, length);
    if (answer < 0) {
        RaiseError(kDecodeTargetWriteFailed);
        return -1;
    }
    return answer;
}

int RelayCanWrite() {
    if (WritesBlocked())
        return 0;
    return targetOutModule->CanWrite ? targetOutModule->CanWrite() : kRelayDefaultCanWrite;
}

void RelayClose() {
    int open = 1;
    if (outputOpen.compare_exchange_strong(open, 0) && targetOutModule->Close)
        targetOutModule->Close();
}

void RelayInit() {
    if (targetOutModule->Init)
        targetOutModule->Init();
}

void RelayQuit() {
    if (targetOutModule->Quit)
        targetOutModule->Quit();
}

int RelayIsPlaying() {
    return targetOutModule->IsPlaying ? targetOutModule->IsPlaying() : 0;
}

void RelayFlush(int t) {
    if (targetOutModule->Flush)
        targetOutModule->Flush(t);
}

int RelayGetOutputTime() {
    return targetOutModule->GetOutputTime ? targetOutModule->GetOutputTime() : 0;
}

int RelayGetWrittenTime() {
    return targetOutModule->GetWrittenTime ? targetOutModule->GetWrittenTime() : 0;
}

void ResetDecodeMarks(int preview) {
    for (int i = 0; i < kEventCount; ++i) {
        if (!events[i])
            events[i] = platform::CreateEvent(kEventNames[i], true, false);
        else
            platform::ResetEvent(events[i]);
    }
    {
        std::lock_guard<std::mutex> lock(stopThreadMutex);
        stopThread = nullptr;
    }
    stopRequested.store(0);
    endedDamaged.store(0);
    errorRaised.store(0);
    outputOpen.store(0);
    stopping.store(0);
    errorCode.store(0);
    stopDone.store(0);
    previewReached.store(0);
    previewSeconds.store(preview);
}

void SetTargetPanAndVolume(int volume) {
    if (targetOutModule->SetPan)
        targetOutModule->SetPan(0);
    if (targetOutModule->SetVolume)
        targetOutModule->SetVolume(volume);
}

void ReportProgress() {
    if (previewSeconds.load() > 0) {
        const int64_t rate = bytesPerSecond.load();
        if (rate != 0)
            converterState.onPosition(static_cast<int>(bytesWritten.load() / rate));
        return;
    }
    const int timeMs = inModuleCopy.GetOutputTime ? inModuleCopy.GetOutputTime() : 0;
    converterState.onPosition(timeMs / 1000);
}

// A decoder that never closes its output after its Stop returned must not keep the command
// waiting forever: after kCloseWaitMs the target is closed here and the decode fails.
void CloseAbandonedOutput() {
    errorRaised.store(1);
    errorCode.store(kDecodeCloseTimeout);
    RelayClose();
}

void PumpUntilStopped() {
    uint32_t nextTick = platform::GetTickCount() + kProgressIntervalMs;
    uint32_t closeDeadline = 0;
    bool waitingForClose = false;
    while (!(stopDone.load() == 1 && outputOpen.load() == 0)) {
        // Waking on a post instead of sleeping a fixed time keeps the per-file cost small.
        if (!platform::PumpOneMessage())
            platform::WaitForMessage(kPumpIdleSleepMs);
        const uint32_t now = platform::GetTickCount();
        if (static_cast<int32_t>(now - nextTick) >= 0) {
            ReportProgress();
            nextTick = now + kProgressIntervalMs;
        }
        if (stopDone.load() == 1 && !waitingForClose) {
            waitingForClose = true;
            closeDeadline = now + kCloseWaitMs;
        }
        if (waitingForClose && static_cast<int32_t>(now - closeDeadline) >= 0)
            CloseAbandonedOutput();
    }
}

void JoinStopThread() {
    platform::ThreadHandle thread;
    {
        std::lock_guard<std::mutex> lock(stopThreadMutex);
        thread = stopThread;
        stopThread = nullptr;
    }
    if (thread)
        platform::JoinThread(thread);
}

int PlayFailureCode() {
    if (IsNativeDecoder(inModuleCopy) && inModuleCopy.IsPaused) {
        const int code = inModuleCopy.IsPaused();
        if (code != 0)
            return code;
    }
    return kDecodePlayFailed;
}

// A native decoder that met damage mid-stream still ends its stream normally; its error code
// tells that the output holds only part of the input.
int DamageCode() {
    if (!IsNativeDecoder(inModuleCopy) || !inModuleCopy.IsPaused)
        return 0;
    return inModuleCopy.IsPaused();
}

int DecodeResult() {
    if (errorRaised.load() == 1)
        return errorCode.load();
    if (stopRequested.load() == 1 && previewReached.load() == 0)
        return KN_RESULT_STOPPED;
    if (previewReached.load() == 0) {
        const int damage = DamageCode();
        endedDamaged.store(damage != 0 ? 1 : 0);
        return damage;
    }
    return 0;
}

} // namespace

void AttachOutput(In_Module *inModule, Out_Module *target) {
    inModuleCopy = *inModule;
    targetOutModule = target;
    relayOutModule = Out_Module{};
    relayOutModule.version = target->version;
    relayOutModule.description = target->description;
    relayOutModule.id = target->id;
    relayOutModule.hMainWindow = target->hMainWindow;
    relayOutModule.hDllInstance = target->hDllInstance;
    relayOutModule.Config = target->Config;
    relayOutModule.About = target->About;
    relayOutModule.Pause = target->Pause;
    relayOutModule.SetVolume = target->SetVolume;
    relayOutModule.SetPan = target->SetPan;
    relayOutModule.Init = RelayInit;
    relayOutModule.Quit = RelayQuit;
    relayOutModule.Open = RelayOpen;
    relayOutModule.Close = RelayClose;
    relayOutModule.Write = RelayWrite;
    relayOutModule.CanWrite = RelayCanWrite;
    relayOutModule.IsPlaying = RelayIsPlaying;
    relayOutModule.Flush = RelayFlush;
    relayOutModule.GetOutputTime = RelayGetOutputTime;
    relayOutModule.GetWrittenTime = RelayGetWrittenTime;
    inModule->outMod = &relayOutModule;
    startStopThread = StartStopThread;
}

int DecodeFile(const char *fileName, int volume, int preview) {
    ResetDecodeMarks(preview);
    if (abortRequested.load() == 1)
        return KN_RESULT_STOPPED;
    SetTargetPanAndVolume(volume);
    // The decoder's thread may open (and fail) its output before Play returns; a stop asked
    // for from there must find the decode active.
    decodeActive.store(1);
    if (!inModuleCopy.Play || inModuleCopy.Play(fileName) != 0) {
        decodeActive.store(0);
        JoinStopThread();
        return PlayFailureCode();
    }
    if (abortRequested.load() == 1)
        RequestStop();
    SetTargetPanAndVolume(volume);
    PumpUntilStopped();
    decodeActive.store(0);
    JoinStopThread();
    return DecodeResult();
}

void RequestStop() {
    stopRequested.store(1);
    StartStopThread();
}

void StartStopThread() {
    std::lock_guard<std::mutex> lock(stopThreadMutex);
    if (stopThread || decodeActive.load() == 0)
        return;
    stopThread = platform::CreateThread(RunStopThread, &stopDone);
}

bool DecodeEndedDamaged() {
    return endedDamaged.load() == 1;
}

bool DecodeReachedPreview() {
    return previewReached.load() == 1;
}

void ClearAbortRequest() {
    abortRequested.store(0);
}

bool IsAbortRequested() {
    return abortRequested.load() == 1;
}

void AbortPlay() {
    abortRequested.store(1);
    RequestStop();
}
