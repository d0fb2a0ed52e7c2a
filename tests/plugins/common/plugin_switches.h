// Name, switches and event log shared by the fake plug-ins.
//
// Tests copy one fake under several names, so a plug-in's name is its library file name
// without folder and suffix ("dec_a" for plugins/in/dec_a.so). Its switches are environment
// variables <NAME>_<SWITCH>, <NAME> being the name upper-cased (DEC_A_VERSION); numbers may be
// written in decimal or with 0x. Event lines "<name> <event>" are appended to the file named
// by KN_TEST_LOG, when that is set.
#pragma once

#include <cstdint>
#include <string>

namespace testplugin {

// Byte `index` of the fake decoder's stream, which no reordering or repetition of pieces or
// blocks can reproduce.
inline uint8_t PatternByte(uint64_t index) {
    return static_cast<uint8_t>(static_cast<uint32_t>(index * 2654435761u) >> 24);
}

// The plug-in's name, e.g. "dec_a"; "unknown" when its library file cannot be found.
const char *PlugInName();

long NumberSwitch(const char *key, long fallback);
// The switch's text when it is set (possibly empty), otherwise the fallback.
std::string TextSwitch(const char *key, const std::string &fallback);

// True when the switch EMPTY_SLOTS (slot names separated by commas, "Open,Close") names the
// slot: tests see the core meet a broken table.
bool IsSlotToEmpty(const char *name);
template <typename Slot> void EmptyIfAsked(const char *name, Slot &slot) {
    if (IsSlotToEmpty(name))
        slot = nullptr;
}

void LogEvent(const std::string &event);

// An extension list as a decoder table holds it: "mp3;mp2|MPEG Audio,wav|Wave" gives
// "mp3;mp2\0MPEG Audio\0wav\0Wave\0\0".
std::string ExtensionBlock(const std::string &list);

// The file name without its folder ("a.mp3" for "/x/a.mp3", or "C:\\x\\a.mp3" on Windows).
std::string WithoutFolder(const std::string &path);

// std::to_string would make the library impossible to unload (a unique symbol).
std::string Number(long long value);

// "null", "desktop" (a static object of a loaded library, as the core's desktop stand-in is)
// or "shadow" (a hidden window, which lives on the heap).
const char *WindowKind(const void *window);

// Calls the export `name` (a function without arguments) of the core library that loaded
// this plug-in: the core of the program folder, `levelsUp` folders above the plug-in's own.
// False when the core or the export is missing.
bool CallCoreExport(const char *name, int levelsUp);

// Logs "load" when the library is loaded and "unload" when it is unloaded; a plug-in that
// reports both declares one object of this type.
struct LoadLog {
    LoadLog();
    ~LoadLog();
    LoadLog(const LoadLog &) = delete;
    LoadLog &operator=(const LoadLog &) = delete;
};

} // namespace testplugin
