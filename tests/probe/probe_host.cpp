// The probe host: loads the core beside itself the way the console program does and prints
// every callback as one line; each argument is a command line, an option or a graphical-host
// call (tests/README.md).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "host/core_library.h"
#include "kernova/gui.h"

namespace {

struct GuiExports {
    LoadPlugIn_GUIFunc load;
    UnloadCurrentPlugIn_GUIFunc unload;
    GetEncParamString_GUIFunc get;
    SetEncParamString_GUIFunc set;
    GetShortDesc_GUIFunc desc;
    ShowGUIAdvancedSettingsFunc advanced;
    SendGUINotification_ModuleFunc notify;
    GuiInitInterfaceFunc guiInit;
};

HostCallbacks *table = nullptr;
AbortCommand_DLLFunc abortCommand = nullptr;
int abortOnCode = -1;
bool showProgress = false;

void PrintCallback(char kind, int code, intptr_t arg) {
    if (arg != 0)
        std::printf("%c %d %s\n", kind, code, reinterpret_cast<const char *>(arg));
    else
        std::printf("%c %d\n", kind, code);
    std::fflush(stdout);
}

void OnMessage(int code, intptr_t arg) {
    PrintCallback('M', code, arg);
    if (code == abortOnCode)
        abortCommand();
}

void OnError(int code, intptr_t arg) {
    PrintCallback('E', code, arg);
}

void OnPosition(int value) {
    if (showProgress)
        std::printf("P %d\n", value);
}

void OnLength(int value) {
    if (showProgress)
        std::printf("L %d\n", value);
}

void OnUnknownKey() {
    std::printf("U\n");
    std::fflush(stdout);
}

template <typename Function> void Find(const CoreLibrary &core, const char *name, Function &slot) {
    slot = reinterpret_cast<Function>(platform::GetExport(core.handle, name));
}

void LogStep(const char *step) {
    const char *path = std::getenv("KN_TEST_LOG");
    FILE *file = path && *path ? std::fopen(path, "a") : nullptr;
    if (file) {
        std::fprintf(file, "probe %s\n", step);
        std::fclose(file);
    }
}

const char *TextArgument(const std::string &text) {
    return text == "(null)" ? nullptr : text.c_str();
}

intptr_t Number(const std::string &text) {
    return static_cast<intptr_t>(std::strtoll(text.c_str(), nullptr, 0));
}

void RunGuiCall(const GuiExports &gui, const std::string &step) {
    std::istringstream stream(step.substr(1));
    std::string call, word;
    stream >> call;
    std::vector<std::string> words;
    while (stream >> word)
        words.push_back(word);
    words.resize(2);
    // The text of @set and @desc is everything up to the target, blanks included.
    const size_t textStart = step.find(' ') == std::string::npos ? step.size() : step.find(' ') + 1;
    const std::string text = step.substr(std::min(textStart, step.size()));
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "untouched");
    if (call == "load") {
        std::printf("load %d\n",
                    gui.load(TextArgument(words[0]), static_cast<uint32_t>(Number(words[1]))));
    } else if (call == "unload") {
        gui.unload();
        std::printf("unload\n");
    } else if (call == "get") {
        gui.get(buffer, Number(words[0]));
        std::printf("get [%s]\n", buffer);
    } else if (call == "set") {
        const size_t last = text.rfind(' ');
        gui.set(TextArgument(text.substr(0, last)), Number(text.substr(last + 1)));
        std::printf("set\n");
    } else if (call == "desc") {
        gui.desc(TextArgument(text), buffer);
        std::printf("desc [%s]\n", buffer);
    } else if (call == "adv") {
        std::printf("adv %d\n", gui.advanced());
    } else if (call == "notify") {
        gui.notify(Number(words[0]), Number(words[1]));
        std::printf("notify\n");
    } else if (call == "guiinit") {
        std::printf("guiinit %d\n", gui.guiInit(Number(words[0])));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    CoreLibrary core;
    std::string failure;
    if (!LoadCoreLibrary(core, failure)) {
        std::fprintf(stderr, "probe: %s\n", failure.c_str());
        return 2;
    }
    GuiExports gui{};
    Find(core, "LoadPlugIn_GUI", gui.load);
    Find(core, "UnloadCurrentPlugIn_GUI", gui.unload);
    Find(core, "GetEncParamString_GUI", gui.get);
    Find(core, "SetEncParamString_GUI", gui.set);
    Find(core, "GetShortDesc_GUI", gui.desc);
    Find(core, "ShowGUIAdvancedSettings", gui.advanced);
    Find(core, "SendGUINotification_Module", gui.notify);
    Find(core, "GuiInitInterface", gui.guiInit);
    abortCommand = core.abortCommand;
    table = core.getTable();
    table->onMessage = OnMessage;
    table->onError = OnError;
    table->onPosition = OnPosition;
    table->onLength = OnLength;
    table->onUnknownKey = OnUnknownKey;

    std::printf("INIT %d\n", core.init());
    std::fflush(stdout);
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        LogStep(argv[i]);
        if (step.rfind("--abort-on=", 0) == 0) {
            abortOnCode = std::atoi(argv[i] + 11);
        } else if (step == "--clear-abort") {
            table->abortFlag = 0;
        } else if (step == "--progress") {
            showProgress = true;
        } else if (step.rfind('@', 0) == 0) {
            RunGuiCall(gui, step);
        } else {
            const int result = core.doCommand(argv[i]);
            std::fflush(stdout);
            std::printf("R %d last=%d\n", result, table->lastResult);
            std::fflush(stdout);
        }
    }
    core.deInit();
    UnloadCoreLibrary(core);
    return 0;
}
