/*
 * Test decoder: a native decoder (QZconvInputModAddr, QZconvInputModAddrEx) driven by
 * environment switches, for the loader, listing and conversion tests.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: a copy named dec_a.so reads DEC_A_VERSION. Numbers
 * may be written in decimal or with 0x.
 *   <NAME>_VERSION            In_Module version (default 0x1000: GetLastErrorCode in IsPaused)
 *   <NAME>_USES_OUTPUT_PLUG   UsesOutputPlug (default 1)
 *   <NAME>_NULL_TABLE         1: QZconvInputModAddr returns null
 *   <NAME>_NULL_EX            1: QZconvInputModAddrEx returns null
 *   <NAME>_DESCRIPTION        description (default "<name> test decoder")
 *   <NAME>_EXTENSIONS         extension list, pairs "extensions|description" separated by
 *                             ",": "mp3;mp2|MPEG Audio,wav|Wave" (default "tst|Test Audio");
 *                             set but empty: no entry
 *   <NAME>_LENGTH_MS          length reported by GetFileInfo and GetLength (default 1000)
 *   <NAME>_ERROR_CODE         answer of GetLastErrorCode (default 0)
 *   <NAME>_PLAY_RESULT        answer of Play (default 0); 0 plays an empty stream: the
 *                             end-of-stream message is posted at once
 *   <NAME>_ACCEPT_PARAMS      answer of SetParamString (default 1)
 *   <NAME>_PARAM_DESCRIPTION  text of GetParamDescription (default "params <last text>")
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   load, unload (library constructor and destructor), QZconvInputModAddr,
 *   QZconvInputModAddrEx, Init followed by hMainWindow=desktop|shadow|null, Quit,
 *   GetFileInfo <file>, Play <file>, Stop, SetParamString <text>, SetDefaultParams,
 *   GetParamDescription.
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
InputModuleEx moduleEx;
std::string description;
std::string extensionBlock;
std::string lastParams;

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

int GetLastErrorCode() {
    return static_cast<int>(NumberSwitch("ERROR_CODE", 0));
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
    if (buffer256 == nullptr)
        return;
    std::string text = TextSwitch("PARAM_DESCRIPTION", "params " + lastParams);
    std::snprintf(buffer256, 256, "%s", text.c_str());
}

In_Module *BuildModule() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " test decoder");
    extensionBlock = MakeExtensionBlock(TextSwitch("EXTENSIONS", "tst|Test Audio"));
    module = In_Module{};
    module.version = static_cast<int>(NumberSwitch("VERSION", IN_MODULE_VERSION_WITH_ERROR_CODE));
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

} // namespace

#define TEST_PLUGIN_EXPORT KERNOVA_EXPORT

TEST_PLUGIN_EXPORT In_Module *QZconvInputModAddr() {
    LogEvent("QZconvInputModAddr");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildModule();
}

TEST_PLUGIN_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    LogEvent("QZconvInputModAddrEx");
    if (NumberSwitch("NULL_EX", 0))
        return nullptr;
    moduleEx = InputModuleEx{};
    moduleEx.SetParamString = SetParamString;
    moduleEx.SetDefaultParams = SetDefaultParams;
    moduleEx.GetParamDescription = GetParamDescription;
    return &moduleEx;
}
