// Fake playback output, installed as plugins/out/WinAMP/DirectSound: records what Write
// receives. Switches and events: tests/README.md.
#include <atomic>
#include <cstdio>
#include <string>

#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

Out_Module module;
std::string description;
// Open and Write run on the decoder's thread, Close on the core's stop thread.
FILE *captureFile = nullptr;
std::atomic<long> bytesRecorded{0};
std::atomic<int> bytesPerSecond{0};
std::atomic<int> stalledAnswers{0};

void Init() {
    LogEvent("Init");
}

void Quit() {
    LogEvent("Quit");
}

int Open(int rate, int channels, int bits, int, int) {
    LogEvent("Open " + Number(rate) + " " + Number(channels) + " " + Number(bits));
    const int result = static_cast<int>(NumberSwitch("OPEN_RESULT", 0));
    if (result < 0)
        return result;
    bytesRecorded.store(0);
    stalledAnswers.store(0);
    bytesPerSecond.store(rate * channels * (bits / 8));
    const std::string capture = TextSwitch("CAPTURE", "");
    if (!capture.empty())
        captureFile = std::fopen(capture.c_str(), "ab");
    return result;
}

void Close() {
    LogEvent("Close bytes=" + Number(bytesRecorded.load()));
    if (captureFile)
        std::fclose(captureFile);
    captureFile = nullptr;
}

int Write(char *buffer, int length) {
    const int result = static_cast<int>(NumberSwitch("WRITE_RESULT", 0));
    if (result < 0)
        return result;
    if (captureFile)
        std::fwrite(buffer, 1, static_cast<size_t>(length), captureFile);
    if (NumberSwitch("LOG_WRITES", 0))
        LogEvent("Write " + Number(length));
    bytesRecorded.fetch_add(length);
    return result;
}

int CanWrite() {
    if (bytesRecorded.load() >= NumberSwitch("STALL_AFTER", 1L << 30)) {
        // The core that loaded this library is that of the program folder, three folders up.
        if (stalledAnswers.fetch_add(1) == 20 && CallCoreExport("AbortCommand_DLL", 3))
            LogEvent("aborted");
        return 0;
    }
    return static_cast<int>(NumberSwitch("CAN_WRITE", 65536));
}

int IsPlaying() {
    return 0;
}

int Pause(int) {
    return 0;
}

void SetVolume(int volume) {
    LogEvent("SetVolume " + Number(volume));
}

void SetPan(int pan) {
    LogEvent("SetPan " + Number(pan));
}

void Flush(int) {}

// Everything written counts as played at once.
int GetOutputTime() {
    const int rate = bytesPerSecond.load();
    return rate > 0 ? static_cast<int>(bytesRecorded.load() * 1000LL / rate) : 0;
}

Out_Module *BuildModule() {
    description = std::string(PlugInName()) + " fake output";
    module = Out_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", 16));
    module.description = description.data();
    module.id = 0x5043;
    module.Init = Init;
    module.Quit = Quit;
    module.Open = Open;
    module.Close = Close;
    module.Write = Write;
    module.CanWrite = CanWrite;
    module.IsPlaying = IsPlaying;
    module.Pause = Pause;
    module.SetVolume = SetVolume;
    module.SetPan = SetPan;
    module.Flush = Flush;
    module.GetOutputTime = GetOutputTime;
    module.GetWrittenTime = GetOutputTime;
    return &module;
}

} // namespace

KERNOVA_EXPORT Out_Module *winampGetOutModule() {
    LogEvent("winampGetOutModule");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildModule();
}
