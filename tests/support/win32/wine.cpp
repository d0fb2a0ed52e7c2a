// Unix programs and Unix file names from a Windows program under Wine.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/command_line.h"
#include "tests/support/wine.h"

namespace platform {

bool StartUnixProgram(const std::string &program, const std::vector<std::string> &args) {
    std::string commandLine = BuildCommandLine(program, args);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &child))
        return false;
    // Wine hands back no handles that can be waited on for a Unix program.
    for (HANDLE handle : {child.hThread, child.hProcess}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    return true;
}

std::string UnixFileName(const std::string &path) {
    // Wine's own export; the name is returned on the process heap.
    using ToUnix = char *(CDECL *)(const WCHAR *);
    auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (toUnix == nullptr || length <= 0)
        return std::string();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length);
    char *name = toUnix(wide.c_str());
    if (name == nullptr)
        return std::string();
    std::string unixName = name;
    HeapFree(GetProcessHeap(), 0, name);
    return unixName;
}

} // namespace platform
