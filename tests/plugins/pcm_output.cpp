/*
 * PCM test playback output (winampGetOutModule): records what Write receives, so that tests
 * can compare what a play job passed on with what the decoder produced. Tests install it as
 * plugins/out/WinAMP/DirectSound.so, where it reads the switches DIRECTSOUND_<SWITCH>.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased. Numbers may be written in decimal or with 0x.
 *   <NAME>_CAPTURE       file that every byte given to Write is appended to
 *   <NAME>_VERSION       Out_Module version (default 16)
 *   <NAME>_OPEN_RESULT   answer of Open (default 0; -1 refuses)
 *   <NAME>_WRITE_RESULT  answer of Write (default 0; -1 fails, and nothing is recorded)
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   Init, Quit, Open <rate> <channels> <bits>, SetVolume <v>, SetPan <p>,
 *   Close bytes=<n> (bytes recorded since Open).
 */
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

// ---- The output ----

constexpr int kCanWrite = 65536;

Out_Module module;
std::string description;
// Open and Write run on the decoder's thread, Close on the core's stop thread.
FILE *captureFile = nullptr;
std::atomic<long> bytesRecorded{0};
std::atomic<int> bytesPerSecond{0};

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
    bytesRecorded.fetch_add(length);
    return result;
}

int CanWrite() {
    return kCanWrite;
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

int GetOutputTime() {
    const int rate = bytesPerSecond.load();
    return rate > 0 ? static_cast<int>(bytesRecorded.load() * 1000LL / rate) : 0;
}

int GetWrittenTime() {
    return GetOutputTime();
}

Out_Module *BuildModule() {
    description = std::string(PlugInName()) + " pattern output";
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
    module.GetWrittenTime = GetWrittenTime;
    return &module;
}

} // namespace

KERNOVA_EXPORT Out_Module *winampGetOutModule() {
    return BuildModule();
}
