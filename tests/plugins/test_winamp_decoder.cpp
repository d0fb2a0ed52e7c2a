/*
 * Test Winamp input plug-in (winampGetInModule2) driven by environment switches. It also
 * exports the native decoder entries QZconvInputModAddr and QZconvInputModAddrEx, which
 * only log that they were called, so that tests can check that the Winamp entry wins.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: a copy named in_wa.so reads IN_WA_VERSION. Numbers
 * may be written in decimal or with 0x.
 *   <NAME>_VERSION            In_Module version (default 0x100)
 *   <NAME>_USES_OUTPUT_PLUG   UsesOutputPlug (default 1)
 *   <NAME>_NULL_TABLE         1: winampGetInModule2 returns null
 *   <NAME>_DESCRIPTION        description (default "<name> test winamp decoder")
 *   <NAME>_EXTENSIONS         extension list, pairs "extensions|description" separated by
 *                             ",": "mp3;mp2|MPEG Audio,wav|Wave" (default "tst|Test Audio");
 *                             set but empty: no entry
 *   <NAME>_LENGTH_MS          length reported by GetFileInfo and GetLength (default 1000)
 *   <NAME>_PLAY_RESULT        answer of Play (default 0); 0 plays an empty stream: the
 *                             end-of-stream message is posted at once
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   load, unload (library constructor and destructor), winampGetInModule2,
 *   QZconvInputModAddr, QZconvInputModAddrEx, Init followed by hMainWindow=desktop|shadow|null,
 *   Quit, GetFileInfo <file>, Play <file>, Stop.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernova/decoder.h"
#include "kernova/winamp.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

In_Module module;
std::string description;
std::string extensionBlock;

// "mp3;mp2|MPEG Audio,wav|Wave" -> "mp3;mp2\0MPEG Audio\0wav\0Wave\0\0"
std::string MakeExtensionBlock(const std::string &list) {
    std::string block;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = std::min(list.find(',', start), list.size());
        std::string pair = list.substr(start, end - start);
        size_t bar = pair.find('|');
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

// ---- The stream: Play starts it, Stop ends it ----

void StartStream(const char *) {
    PostMessageA(module.hMainWindow, WM_WA_MPEG_EOF, 0, 0);
}

void EndStream() {}

// ---- In_Module functions ----

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
    int result = static_cast<int>(NumberSwitch("PLAY_RESULT", 0));
    if (result == 0)
        StartStream(file);
    return result;
}

void Stop() {
    LogEvent("Stop");
    EndStream();
}

int IsPaused() {
    return 0;
}
int GetLength() {
    return static_cast<int>(NumberSwitch("LENGTH_MS", 1000));
}
int GetOutputTime() {
    return 0;
}
int IsOurFile(const char *) {
    return 0;
}

In_Module *BuildModule() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " test winamp decoder");
    extensionBlock = MakeExtensionBlock(TextSwitch("EXTENSIONS", "tst|Test Audio"));
    module = In_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", 0x100));
    module.description = description.data();
    module.FileExtensions = extensionBlock.data();
    module.UsesOutputPlug = static_cast<int>(NumberSwitch("USES_OUTPUT_PLUG", 1));
    module.Init = Init;
    module.Quit = Quit;
    module.GetFileInfo = GetFileInfo;
    module.IsOurFile = IsOurFile;
    module.Play = Play;
    module.IsPaused = IsPaused;
    module.Stop = Stop;
    module.GetLength = GetLength;
    module.GetOutputTime = GetOutputTime;
    return &module;
}

} // namespace

#define TEST_PLUGIN_EXPORT KERNOVA_EXPORT

TEST_PLUGIN_EXPORT In_Module *winampGetInModule2() {
    LogEvent("winampGetInModule2");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildModule();
}

// Present only so that tests can see which entry the core takes.
TEST_PLUGIN_EXPORT In_Module *QZconvInputModAddr() {
    LogEvent("QZconvInputModAddr");
    return nullptr;
}

TEST_PLUGIN_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    LogEvent("QZconvInputModAddrEx");
    return nullptr;
}
