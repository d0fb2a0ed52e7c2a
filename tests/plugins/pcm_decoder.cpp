/*
 * PCM test decoder: a native decoder (QZconvInputModAddr, QZconvInputModAddrEx) that
 * "decodes" any file with one of its extensions into a deterministic byte pattern, from a
 * decoding thread of its own, the way a real decoder drives its output: Open, wait on
 * CanWrite, Write pieces, post the end-of-stream message, and close the output in Stop.
 *
 * Byte i of the stream (counted from the first byte of every Play) is
 * (uint8_t)((uint32_t)(i * 2654435761u) >> 24), which no reordering or repetition of pieces
 * or blocks can reproduce.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: a copy named pcm_b.so reads PCM_B_TOTAL_BYTES.
 * Numbers may be written in decimal or with 0x.
 *   <NAME>_EXTENSIONS        extension list, pairs "extensions|description" separated by ","
 *                            (default "pcm|PCM Pattern")
 *   <NAME>_DESCRIPTION       description (default "<name> pattern decoder")
 *   <NAME>_VERSION           In_Module version (default 0x1000, with GetLastErrorCode; 0x100
 *                            makes it Winamp-style: the IsPaused slot only logs "IsPaused")
 *   <NAME>_TOTAL_BYTES       bytes of the stream (default 65536)
 *   <NAME>_RATE, _CHANNELS, _BITS  format given to Open (default 44100, 2, 16)
 *   <NAME>_PIECE             bytes per Write (default 8192)
 *   <NAME>_LENGTH_MS         length of GetFileInfo and GetLength (default 1000; 0 = none)
 *   <NAME>_PLAY_RESULT       answer of Play (default 0 = playing)
 *   <NAME>_ERROR_CODE        answer of GetLastErrorCode (default 0)
 *   <NAME>_KEEP_OPEN         1: Stop never closes the output
 *   <NAME>_OPEN_IN_PLAY      1: Play opens the output itself and fails (1) when the output
 *                            refuses; the decoding thread then only writes
 *   <NAME>_ENDLESS           1: the stream never ends until Stop
 *   <NAME>_EOF_MESSAGE       message posted at the end (default 0x402, WM_USER + 2)
 *   <NAME>_ABORT_AT          once this many bytes were written, the decoding thread calls the
 *                            core's AbortCommand_DLL like a host's stop button (default: never)
 *   <NAME>_ACCEPT_PARAMS     answer of SetParamString (default 1)
 *   <NAME>_PARAM_DESCRIPTION text of GetParamDescription (default "described <last text>")
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   Init, Quit, GetFileInfo <file>, Play <file>, Open <rate> <channels> <bits> = <answer>,
 *   Write <bytes> = <answer> (only a failed one), written <bytes> (when the thread ends),
 *   posted <message>, aborted, Stop, Close, IsPaused, SetParamString <text>, SetDefaultParams,
 *   GetParamDescription.
 */
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernova/decoder.h"
#include "kernova/host.h"
#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

// ---- The stream ----

struct StreamSettings {
    long totalBytes;
    int rate;
    int channels;
    int bits;
    long piece;
    bool endless;
    bool openInPlay;
    unsigned eofMessage;
    long abortAt;
};

In_Module module;
InputModuleEx moduleEx;
std::string description;
std::string extensionBlock;
std::string lastParams;

// The decoding thread is started by Play (command thread) and joined by Stop (the core's
// stop thread), which may run while Play is still inside a failed Open.
std::mutex threadMutex;
std::thread decodingThread;
std::atomic<bool> stopAsked{false};
std::atomic<long> bytesWritten{0};
std::atomic<int> bytesPerSecond{0};

uint8_t PatternByte(uint64_t index) {
    return static_cast<uint8_t>(static_cast<uint32_t>(index * 2654435761u) >> 24);
}

StreamSettings ReadSettings() {
    StreamSettings settings{};
    settings.totalBytes = NumberSwitch("TOTAL_BYTES", 65536);
    settings.rate = static_cast<int>(NumberSwitch("RATE", 44100));
    settings.channels = static_cast<int>(NumberSwitch("CHANNELS", 2));
    settings.bits = static_cast<int>(NumberSwitch("BITS", 16));
    settings.piece = std::max(1L, NumberSwitch("PIECE", 8192));
    settings.endless = NumberSwitch("ENDLESS", 0) != 0;
    settings.openInPlay = NumberSwitch("OPEN_IN_PLAY", 0) != 0;
    settings.eofMessage = static_cast<unsigned>(NumberSwitch("EOF_MESSAGE", WM_WA_MPEG_EOF));
    settings.abortAt = NumberSwitch("ABORT_AT", -1);
    return settings;
}

int OpenOutput(const StreamSettings &settings) {
    const int answer = module.outMod->Open(settings.rate, settings.channels, settings.bits, -1, -1);
    LogEvent("Open " + Number(settings.rate) + " " + Number(settings.channels) + " " +
             Number(settings.bits) + " = " + Number(answer));
    bytesPerSecond.store(settings.rate * settings.channels * (settings.bits / 8));
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

// Presses the host's stop button: the core that loaded this plug-in is the core library of
// the program folder, two folders above plugins/in.
void AbortLikeTheHost() {
    if (CallCoreExport("AbortCommand_DLL", 2))
        LogEvent("aborted");
}

// Writes the pattern; false when the stream was cut short (stop or a failed write).
bool WriteStream(const StreamSettings &settings) {
    std::vector<char> piece(static_cast<size_t>(settings.piece));
    uint64_t position = 0;
    while (settings.endless || static_cast<long>(position) < settings.totalBytes) {
        const long size =
            settings.endless
                ? settings.piece
                : std::min(settings.piece, settings.totalBytes - static_cast<long>(position));
        if (!WaitForRoom(size))
            return false;
        for (long i = 0; i < size; ++i)
            piece[static_cast<size_t>(i)] = static_cast<char>(PatternByte(position + i));
        const int answer = module.outMod->Write(piece.data(), static_cast<int>(size));
        if (answer < 0) {
            LogEvent("Write " + Number(size) + " = " + Number(answer));
            return false;
        }
        const bool abortNow = settings.abortAt >= 0 &&
                              static_cast<long>(position) < settings.abortAt &&
                              static_cast<long>(position) + size >= settings.abortAt;
        position += static_cast<uint64_t>(size);
        bytesWritten.store(static_cast<long>(position));
        if (abortNow)
            AbortLikeTheHost();
    }
    return true;
}

void Decode(StreamSettings settings) {
    if (settings.openInPlay || OpenOutput(settings) >= 0) {
        if (WriteStream(settings)) {
            PostMessageA(module.hMainWindow, settings.eofMessage, 0, 0);
            LogEvent("posted " + Number(settings.eofMessage));
        }
    }
    LogEvent("written " + Number(bytesWritten.load()));
}

std::thread TakeThread() {
    std::lock_guard<std::mutex> lock(threadMutex);
    return std::move(decodingThread);
}

// ---- In_Module functions ----

void Init() {
    LogEvent("Init");
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
    const int result = static_cast<int>(NumberSwitch("PLAY_RESULT", 0));
    if (result != 0)
        return result;
    const StreamSettings settings = ReadSettings();
    stopAsked.store(false);
    bytesWritten.store(0);
    if (settings.openInPlay && OpenOutput(settings) < 0)
        return 1;
    std::lock_guard<std::mutex> lock(threadMutex);
    decodingThread = std::thread(Decode, settings);
    return 0;
}

void Stop() {
    LogEvent("Stop");
    stopAsked.store(true);
    std::thread thread = TakeThread();
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

// ---- Extension table ----

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
    const std::string text = TextSwitch("PARAM_DESCRIPTION", "described " + lastParams);
    std::snprintf(buffer256, 256, "%s", text.c_str());
}

// "pcm;raw|PCM,wav|Wave" -> "pcm;raw\0PCM\0wav\0Wave\0\0"
std::string MakeExtensionBlock(const std::string &list) {
    std::string block;
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string pair = list.substr(start, end - start);
        const size_t bar = pair.find('|');
        block += pair.substr(0, bar);
        block += '\0';
        if (bar != std::string::npos)
            block += pair.substr(bar + 1);
        block += '\0';
        start = end + 1;
    }
    block += '\0';
    return block;
}

In_Module *BuildModule() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " pattern decoder");
    extensionBlock = MakeExtensionBlock(TextSwitch("EXTENSIONS", "pcm|PCM Pattern"));
    module = In_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", IN_MODULE_VERSION_WITH_ERROR_CODE));
    module.description = description.data();
    module.FileExtensions = extensionBlock.data();
    module.UsesOutputPlug = 1;
    module.Init = Init;
    module.Quit = Quit;
    module.GetFileInfo = GetFileInfo;
    module.IsOurFile = IsOurFile;
    module.Play = Play;
    module.IsPaused = GetLastErrorCode;
    module.Stop = Stop;
    module.GetLength = GetLength;
    module.GetOutputTime = GetOutputTime;
    return &module;
}

} // namespace

#define TEST_PLUGIN_EXPORT KERNOVA_EXPORT

TEST_PLUGIN_EXPORT In_Module *QZconvInputModAddr() {
    return BuildModule();
}

TEST_PLUGIN_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    moduleEx = InputModuleEx{};
    moduleEx.SetParamString = SetParamString;
    moduleEx.SetDefaultParams = SetDefaultParams;
    moduleEx.GetParamDescription = GetParamDescription;
    return &moduleEx;
}
