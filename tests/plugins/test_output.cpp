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
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>

#include "kernova/winamp.h"

namespace {

// ---- Name, switches and event log: the same block in every test plug-in ----

char plugInName[128] = "unknown";   // file base name, e.g. "dec_a"
char switchPrefix[128] = "UNKNOWN"; // upper-cased, e.g. "DEC_A"
std::mutex logMutex;

// Tests copy one plug-in under several names, so the name comes from the loaded file.
void FindOwnName() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&FindOwnName), &info) || !info.dli_fname)
        return;
    const char *base = std::strrchr(info.dli_fname, '/');
    base = base ? base + 1 : info.dli_fname;
    const char *dot = std::strrchr(base, '.');
    size_t length = dot ? static_cast<size_t>(dot - base) : std::strlen(base);
    length = std::min(length, sizeof plugInName - 1);
    for (size_t i = 0; i < length; ++i) {
        plugInName[i] = base[i];
        switchPrefix[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(base[i])));
    }
    plugInName[length] = '\0';
    switchPrefix[length] = '\0';
}

const char *Switch(const char *key) {
    std::string name = std::string(switchPrefix) + "_" + key;
    return std::getenv(name.c_str());
}

long NumberSwitch(const char *key, long fallback) {
    const char *value = Switch(key);
    return value && *value ? std::strtol(value, nullptr, 0) : fallback;
}

std::string TextSwitch(const char *key, const std::string &fallback) {
    const char *value = Switch(key);
    return value ? std::string(value) : fallback;
}

// std::to_string would make the library impossible to unload (a unique symbol).
std::string Number(long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

void LogEvent(const std::string &event) {
    const char *path = std::getenv("KN_TEST_LOG");
    if (!path || !*path)
        return;
    std::lock_guard<std::mutex> lock(logMutex);
    if (FILE *file = std::fopen(path, "a")) {
        std::fprintf(file, "%s %s\n", plugInName, event.c_str());
        std::fclose(file);
    }
}

__attribute__((constructor)) void OnLoad() {
    FindOwnName();
    LogEvent("load");
}

__attribute__((destructor)) void OnUnload() {
    LogEvent("unload");
}

// ---- end of the shared block ----

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
    description = TextSwitch("DESCRIPTION", std::string(plugInName) + " test output");
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

extern "C" __attribute__((visibility("default"))) Out_Module *winampGetOutModule() {
    LogEvent("winampGetOutModule");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildModule();
}
