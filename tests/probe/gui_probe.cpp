// A graphical host for tests: loads the core beside itself, calls InitKernova_DLL and then
// runs a script of encoder-interface calls given as arguments, one call and its arguments per
// group of arguments, printing one line per call on stdout:
//   load NAME ID       LoadPlugIn_GUI(NAME, ID)                -> "load <result>"
//   unload             UnloadCurrentPlugIn_GUI()               -> "unload"
//   get SRC            GetEncParamString_GUI(buffer, SRC)      -> "get [<text>]"
//   set TEXT TGT       SetEncParamString_GUI(TEXT, TGT)        -> "set"
//   desc TEXT          GetShortDesc_GUI(TEXT, buffer)          -> "desc [<text>]"
//   adv                ShowGUIAdvancedSettings()               -> "adv <result>"
//   notify A B         SendGUINotification_Module(A, B)        -> "notify"
//   guiinit V          GuiInitInterface(V)                     -> "guiinit <result>"
//   do LINE            DoCommand_DLL(LINE)                     -> "do <result>"
// TEXT "(null)" passes a null pointer. The buffers start filled with "untouched", so that a
// call that leaves them alone shows it. The first line is "INIT <result>"; callbacks print as
// in the probe host ("M <code> [text]", "E <code> [text]"). When KN_TEST_LOG names a file,
// each call is also appended to it as "gui <call> <arguments>" before it runs, so that the
// plug-ins' event lines there fall between the calls that caused them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernova/gui.h"
#include "kernova/host.h"
#include "platform/platform.h"

namespace {

// The core library beside the program: libkernova.so here, kernova.dll on Windows.
#if defined(_WIN32)
constexpr const char *kCoreLibraryName = "kernova";
#else
constexpr const char *kCoreLibraryName = "libkernova";
#endif

constexpr size_t kBufferSize = 1024;

struct GuiExports {
    LoadPlugIn_GUIFunc load = nullptr;
    UnloadCurrentPlugIn_GUIFunc unload = nullptr;
    GetEncParamString_GUIFunc get = nullptr;
    SetEncParamString_GUIFunc set = nullptr;
    GetShortDesc_GUIFunc desc = nullptr;
    ShowGUIAdvancedSettingsFunc advanced = nullptr;
    SendGUINotification_ModuleFunc notify = nullptr;
    GuiInitInterfaceFunc guiInit = nullptr;
    DoCommand_DLLFunc doCommand = nullptr;
};

void PrintCallback(char kind, int code, intptr_t arg) {
    if (arg != 0)
        std::printf("%c %d %s\n", kind, code, reinterpret_cast<const char *>(arg));
    else
        std::printf("%c %d\n", kind, code);
    std::fflush(stdout);
}

void OnMessage(int code, intptr_t arg) {
    PrintCallback('M', code, arg);
}
void OnError(int code, intptr_t arg) {
    PrintCallback('E', code, arg);
}
void OnValue(int) {}
void OnUnknownKey() {}

std::string FolderOf(const std::string &path) {
    auto pos = path.rfind(platform::kPathSeparator);
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos);
}

template <typename Func> bool Find(platform::LibraryHandle library, const char *name, Func &slot) {
    slot = reinterpret_cast<Func>(platform::GetExport(library, name));
    return slot != nullptr;
}

bool FindExports(platform::LibraryHandle library, GuiExports &gui) {
    return Find(library, "LoadPlugIn_GUI", gui.load) &&
           Find(library, "UnloadCurrentPlugIn_GUI", gui.unload) &&
           Find(library, "GetEncParamString_GUI", gui.get) &&
           Find(library, "SetEncParamString_GUI", gui.set) &&
           Find(library, "GetShortDesc_GUI", gui.desc) &&
           Find(library, "ShowGUIAdvancedSettings", gui.advanced) &&
           Find(library, "SendGUINotification_Module", gui.notify) &&
           Find(library, "GuiInitInterface", gui.guiInit) &&
           Find(library, "DoCommand_DLL", gui.doCommand);
}

const char *TextArgument(const char *text) {
    return std::strcmp(text, "(null)") == 0 ? nullptr : text;
}

intptr_t NumberArgument(const char *text) {
    return static_cast<intptr_t>(std::strtoll(text, nullptr, 0));
}

void LogCall(char **words, int count) {
    const char *path = std::getenv("KN_TEST_LOG");
    if (!path || !*path)
        return;
    FILE *file = std::fopen(path, "a");
    if (!file)
        return;
    std::fprintf(file, "gui");
    for (int i = 0; i < count; ++i)
        std::fprintf(file, " %s", words[i]);
    std::fprintf(file, "\n");
    std::fclose(file);
}

int ArgumentCount(const std::string &call) {
    if (call == "unload" || call == "adv")
        return 0;
    if (call == "load" || call == "set" || call == "notify")
        return 2;
    if (call == "get" || call == "desc" || call == "guiinit" || call == "do")
        return 1;
    return -1;
}

void PrintBuffer(const char *call, const char *buffer) {
    std::printf("%s [%s]\n", call, buffer);
}

void RunCall(const GuiExports &gui, const std::string &call, char **args) {
    char buffer[kBufferSize];
    std::snprintf(buffer, sizeof buffer, "untouched");
    if (call == "load") {
        std::printf("load %d\n", gui.load(TextArgument(args[0]),
                                          static_cast<uint32_t>(NumberArgument(args[1]))));
    } else if (call == "unload") {
        gui.unload();
        std::printf("unload\n");
    } else if (call == "get") {
        gui.get(buffer, NumberArgument(args[0]));
        PrintBuffer("get", buffer);
    } else if (call == "set") {
        gui.set(TextArgument(args[0]), NumberArgument(args[1]));
        std::printf("set\n");
    } else if (call == "desc") {
        gui.desc(TextArgument(args[0]), buffer);
        PrintBuffer("desc", buffer);
    } else if (call == "adv") {
        std::printf("adv %d\n", gui.advanced());
    } else if (call == "notify") {
        gui.notify(NumberArgument(args[0]), NumberArgument(args[1]));
        std::printf("notify\n");
    } else if (call == "guiinit") {
        std::printf("guiinit %d\n", gui.guiInit(NumberArgument(args[0])));
    } else if (call == "do") {
        std::printf("do %d\n", gui.doCommand(args[0]));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    std::string core = FolderOf(platform::GetExecutablePath()) + platform::kPathSeparator +
                       kCoreLibraryName + platform::kLibrarySuffix;
    platform::LibraryHandle library = platform::LoadLibrary(core.c_str());
    if (!library) {
        std::fprintf(stderr, "gui probe: cannot load %s: %s\n", core.c_str(),
                     platform::LastLibraryError().c_str());
        return 2;
    }
    GuiExports gui;
    GetKernova_DLLFunc getTable = nullptr;
    InitKernova_DLLFunc init = nullptr;
    DeInitKernova_DLLFunc deInit = nullptr;
    if (!FindExports(library, gui) || !Find(library, "GetKernova_DLL", getTable) ||
        !Find(library, "InitKernova_DLL", init) || !Find(library, "DeInitKernova_DLL", deInit)) {
        std::fprintf(stderr, "gui probe: missing export\n");
        return 2;
    }
    HostCallbacks *table = getTable();
    table->onMessage = OnMessage;
    table->onError = OnError;
    table->onPosition = OnValue;
    table->onLength = OnValue;
    table->onUnknownKey = OnUnknownKey;

    std::printf("INIT %d\n", init());
    std::fflush(stdout);
    int status = 0;
    for (int i = 1; i < argc;) {
        const std::string call = argv[i];
        const int count = ArgumentCount(call);
        if (count < 0 || i + count >= argc) {
            std::fprintf(stderr, "gui probe: bad call at argument %d: %s\n", i, argv[i]);
            status = 2;
            break;
        }
        LogCall(argv + i, count + 1);
        RunCall(gui, call, argv + i + 1);
        i += count + 1;
    }
    deInit();
    platform::FreeLibrary(library);
    return status;
}
