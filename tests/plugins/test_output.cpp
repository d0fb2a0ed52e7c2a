/*
 * Test playback output plug-in (winampGetOutModule) driven by environment switches; it
 * accepts the PCM given to Write and counts it.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: installed as plugins/out/WinAMP/DirectSound.so it
 * reads DIRECTSOUND_VERSION. Numbers may be written in decimal or with 0x.
 *   <NAME>_VERSION       Out_Module version (default 16)
 *   <NAME>_NULL_TABLE    1: winampGetOutModule returns null
 *   <NAME>_DESCRIPTION   description (default "<name> test output")
 *   <NAME>_OPEN_RESULT   answer of Open (default 0)
 *   <NAME>_WRITE_RESULT  answer of Write (default 0)
 *   <NAME>_CAN_WRITE     answer of CanWrite in bytes (default 65536)
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   load, unload (library constructor and destructor), winampGetOutModule, Init, Quit,
 *   Open <rate> <channels> <bits>, Close bytes=<n> (bytes given to Write since Open).
 */
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

Out_Module module;
std::string description;
std::atomic<long> bytesWritten{0};
std::atomic<int> bytesPerSecond{0};

void Init() {
    LogEvent("Init");
}
void Quit() {
    LogEvent("Quit");
}
void Config(HWND) {}
void About(HWND) {}

int Open(int sampleRate, int channels, int bitsPerSample, int, int) {
    bytesWritten = 0;
    bytesPerSecond = sampleRate * channels * (bitsPerSample / 8);
    LogEvent("Open " + Number(sampleRate) + " " + Number(channels) + " " + Number(bitsPerSample));
    return static_cast<int>(NumberSwitch("OPEN_RESULT", 0));
}

void Close() {
    LogEvent("Close bytes=" + Number(bytesWritten.load()));
}

int Write(char *, int length) {
    if (length > 0)
        bytesWritten += length;
    return static_cast<int>(NumberSwitch("WRITE_RESULT", 0));
}

int CanWrite() {
    return static_cast<int>(NumberSwitch("CAN_WRITE", 65536));
}
int IsPlaying() {
    return 0;
}
int Pause(int) {
    return 0;
}
void SetVolume(int) {}
void SetPan(int) {}
void Flush(int) {}

// Everything written counts as played at once.
int GetWrittenTime() {
    const int rate = bytesPerSecond.load();
    return rate > 0 ? static_cast<int>(bytesWritten.load() * 1000 / rate) : 0;
}

Out_Module *BuildModule() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " test output");
    module = Out_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", 16));
    module.description = description.data();
    module.Config = Config;
    module.About = About;
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
    module.GetOutputTime = GetWrittenTime;
    module.GetWrittenTime = GetWrittenTime;
    return &module;
}

} // namespace

KERNOVA_EXPORT Out_Module *winampGetOutModule() {
    LogEvent("winampGetOutModule");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildModule();
}
