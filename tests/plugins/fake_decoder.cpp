// Fake decoder: a native decoder that "decodes" any file into the pattern stream from a decoding
// thread of its own, the way a real decoder drives its output; built again as
// fake_winamp_decoder (KN_FAKE_WINAMP), a Winamp input plug-in whose native entries only log.
// Switches and events: tests/README.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernova/decoder.h"
#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

#if defined(KN_FAKE_WINAMP)
constexpr int kDefaultVersion = 0x100;
#else
constexpr int kDefaultVersion = IN_MODULE_VERSION_WITH_ERROR_CODE;
#endif

struct Stream {
    long totalBytes;
    int rate, channels, bits;
    long piece;
    bool endless, openInPlay;
    unsigned eofMessage;
    long abortAt;
};

In_Module module;
std::string description;
std::string extensionBlock;

// The decoding thread is started by Play (command thread) and joined by Stop (the core's stop
// thread), which may run while Play is still inside a failed Open.
std::mutex threadMutex;
std::thread decodingThread;
std::atomic<bool> stopAsked{false};
std::atomic<long> bytesWritten{0};
std::atomic<int> bytesPerSecond{0};

Stream ReadStream() {
    return {NumberSwitch("TOTAL_BYTES", 65536),
            static_cast<int>(NumberSwitch("RATE", 44100)),
            static_cast<int>(NumberSwitch("CHANNELS", 2)),
            static_cast<int>(NumberSwitch("BITS", 16)),
            std::max(1L, NumberSwitch("PIECE", 8192)),
            NumberSwitch("ENDLESS", 0) != 0,
            NumberSwitch("OPEN_IN_PLAY", 0) != 0,
            static_cast<unsigned>(NumberSwitch("EOF_MESSAGE", WM_WA_MPEG_EOF)),
            NumberSwitch("ABORT_AT", -1)};
}

int OpenOutput(const Stream &stream) {
    const int answer = module.outMod->Open(stream.rate, stream.channels, stream.bits, -1, -1);
    LogEvent("Open " + Number(stream.rate) + " " + Number(stream.channels) + " " +
             Number(stream.bits) + " = " + Number(answer));
    bytesPerSecond.store(stream.rate * stream.channels * (stream.bits / 8));
    return answer;
}

// A real decoder never writes more than the output says it can take without blocking.
bool WaitForRoom(long bytes) {
    const int wanted = static_cast<int>(std::min(bytes, 8192L));
    while (!stopAsked.load()) {
        if (module.outMod->CanWrite() >= wanted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Writes the pattern; false when the stream was cut short (stop or a failed write).
bool WriteStream(const Stream &stream) {
    std::vector<char> piece(static_cast<size_t>(stream.piece));
    long position = 0;
    while (stream.endless || position < stream.totalBytes) {
        const long size =
            stream.endless ? stream.piece : std::min(stream.piece, stream.totalBytes - position);
        if (!WaitForRoom(size))
            return false;
        for (long i = 0; i < size; ++i)
            piece[static_cast<size_t>(i)] = static_cast<char>(PatternByte(position + i));
        const int answer = module.outMod->Write(piece.data(), static_cast<int>(size));
        if (answer < 0) {
            LogEvent("Write " + Number(size) + " = " + Number(answer));
            return false;
        }
        const bool abortNow = position < stream.abortAt && position + size >= stream.abortAt;
        position += size;
        bytesWritten.store(position);
        // The core that loaded this library is that of the program folder, two folders up.
        if (abortNow && CallCoreExport("AbortCommand_DLL", 2))
            LogEvent("aborted");
    }
    return true;
}

void Decode(Stream stream) {
    if ((stream.openInPlay || OpenOutput(stream) >= 0) && WriteStream(stream)) {
        PostMessageA(module.hMainWindow, stream.eofMessage, 0, 0);
        LogEvent("posted " + Number(stream.eofMessage));
    }
    LogEvent("written " + Number(bytesWritten.load()));
}

void Init() {
    LogEvent("Init");
    LogEvent(std::string("hMainWindow=") + WindowKind(module.hMainWindow));
}

void Quit() {
    LogEvent("Quit");
}

void GetFileInfo(const char *file, char *title, int *lengthMs) {
    LogEvent(std::string("GetFileInfo ") + (file ? file : ""));
    if (title)
        title[0] = '\0';
    if (lengthMs)
        *lengthMs = static_cast<int>(NumberSwitch("LENGTH_MS", 1000));
}

int Play(const char *file) {
    LogEvent(std::string("Play ") + (file ? file : ""));
    // A process that dies in the middle of a job, as a crashing decoder ends it.
    const std::string dieOn = TextSwitch("EXIT_ON", "");
    if (file && !dieOn.empty() && std::string(file).find(dieOn) != std::string::npos)
        std::_Exit(70);
    const int result = static_cast<int>(NumberSwitch("PLAY_RESULT", 0));
    if (result != 0)
        return result;
    const Stream stream = ReadStream();
    stopAsked.store(false);
    bytesWritten.store(0);
    if (stream.openInPlay && OpenOutput(stream) < 0)
        return 1;
    std::lock_guard<std::mutex> lock(threadMutex);
    decodingThread = std::thread(Decode, stream);
    return 0;
}

void Stop() {
    LogEvent("Stop");
    stopAsked.store(true);
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        thread = std::move(decodingThread);
    }
    if (thread.joinable())
        thread.join();
    if (NumberSwitch("KEEP_OPEN", 0) != 0)
        return;
    LogEvent("Close");
    module.outMod->Close();
}

int GetLastErrorCode() {
    LogEvent("IsPaused");
    return static_cast<int>(NumberSwitch("ERROR_CODE", 0));
}

int GetLength() {
    return static_cast<int>(NumberSwitch("LENGTH_MS", 1000));
}

int GetOutputTime() {
    const int rate = bytesPerSecond.load();
    return rate > 0 ? static_cast<int>(bytesWritten.load() * 1000LL / rate) : 0;
}

int IsOurFile(const char *) {
    return 0;
}

In_Module *BuildModule() {
    if (NumberSwitch("NULL_TABLE", 0))
        return nullptr;
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " fake decoder");
    extensionBlock = ExtensionBlock(TextSwitch("EXTENSIONS", "pcm|PCM Pattern"));
    module = In_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", kDefaultVersion));
    module.description = description.data();
    module.FileExtensions = extensionBlock.data();
    module.UsesOutputPlug = static_cast<int>(NumberSwitch("USES_OUTPUT_PLUG", 1));
    module.Init = Init;
    module.Quit = Quit;
    module.GetFileInfo = GetFileInfo;
    module.IsOurFile = IsOurFile;
    module.Play = Play;
    module.IsPaused = GetLastErrorCode;
    module.Stop = Stop;
    module.GetLength = GetLength;
    module.GetOutputTime = GetOutputTime;
    EmptyIfAsked("Play", module.Play);
    EmptyIfAsked("Stop", module.Stop);
    return &module;
}

#if !defined(KN_FAKE_WINAMP)

InputModuleEx moduleEx;
std::string lastParams;

int SetParamString(const char *text) {
    lastParams = text ? text : "";
    LogEvent("SetParamString " + lastParams);
    return static_cast<int>(NumberSwitch("ACCEPT_PARAMS", 1));
}

void SetDefaultParams() {
    LogEvent("SetDefaultParams");
}

void GetParamDescription(char *buffer256) {
    LogEvent("GetParamDescription");
    std::snprintf(buffer256, 256, "described %s", lastParams.c_str());
}

InputModuleEx *BuildModuleEx() {
    moduleEx = InputModuleEx{};
    moduleEx.SetParamString = SetParamString;
    moduleEx.SetDefaultParams = SetDefaultParams;
    moduleEx.GetParamDescription = GetParamDescription;
    return &moduleEx;
}
#endif

} // namespace

#if defined(KN_FAKE_WINAMP)

KERNOVA_EXPORT In_Module *winampGetInModule2() {
    LogEvent("winampGetInModule2");
    return BuildModule();
}

KERNOVA_EXPORT In_Module *QZconvInputModAddr() {
    LogEvent("QZconvInputModAddr");
    return nullptr;
}

KERNOVA_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    LogEvent("QZconvInputModAddrEx");
    return nullptr;
}

#else

KERNOVA_EXPORT In_Module *QZconvInputModAddr() {
    LogEvent("QZconvInputModAddr");
    return BuildModule();
}

KERNOVA_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    LogEvent("QZconvInputModAddrEx");
    return BuildModuleEx();
}

#endif
