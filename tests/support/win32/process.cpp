// The tests' child processes, the environment and module paths on the Win32 process services.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/command_line.h"
#include "platform/win32/read_growing.h"
#include "tests/support/process.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform {

namespace {

using Variable = std::pair<std::string, std::string>;

std::string UpperName(const std::string &name) {
    std::string upper = name;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// The name of "NAME=value"; the hidden per-drive entries ("=C:=C:\x") begin with '='.
std::string NameOf(const std::string &entry) {
    size_t equals = entry.find('=', 1);
    return equals == std::string::npos ? entry : entry.substr(0, equals);
}

std::vector<Variable> ReadOurEnvironment() {
    std::vector<Variable> variables;
    char *block = GetEnvironmentStringsA();
    if (block == nullptr)
        return variables;
    for (const char *entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
        std::string text = entry;
        std::string name = NameOf(text);
        variables.emplace_back(name, text.size() > name.size() ? text.substr(name.size() + 1) : "");
    }
    FreeEnvironmentStringsA(block);
    return variables;
}

// Our environment with `env` added; names compare without case, the block is sorted by name
// the way the system keeps it.
std::string BuildEnvironmentBlock(const std::vector<Variable> &env) {
    std::vector<Variable> variables = ReadOurEnvironment();
    for (const Variable &added : env) {
        std::string upper = UpperName(added.first);
        std::erase_if(variables, [&](const Variable &v) { return UpperName(v.first) == upper; });
        variables.push_back(added);
    }
    std::stable_sort(variables.begin(), variables.end(), [](const Variable &a, const Variable &b) {
        return UpperName(a.first) < UpperName(b.first);
    });
    std::string block;
    for (const Variable &v : variables) {
        block += v.first + '=' + v.second;
        block += '\0';
    }
    block += '\0';
    return block;
}

HANDLE OpenInheritable(const std::string &path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.empty() ? "NUL" : path.c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The handles the child gets as standard input, output and error; closed with the object.
struct ChildHandles {
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    HANDLE error = INVALID_HANDLE_VALUE;

    ChildHandles(const std::string &outFile, const std::string &errFile) {
        input = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
        output = OpenInheritable(outFile, GENERIC_WRITE, CREATE_ALWAYS);
        // One file for both streams shares one handle, so neither overwrites the other.
        error =
            errFile == outFile ? output : OpenInheritable(errFile, GENERIC_WRITE, CREATE_ALWAYS);
    }
    ~ChildHandles() {
        if (error != output)
            Close(error);
        Close(output);
        Close(input);
    }
    ChildHandles(const ChildHandles &) = delete;
    ChildHandles &operator=(const ChildHandles &) = delete;

    bool Valid() const {
        return input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
               error != INVALID_HANDLE_VALUE;
    }
    static void Close(HANDLE handle) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

int WaitForExit(HANDLE process, int timeoutSeconds) {
    DWORD timeout = timeoutSeconds > 0 ? static_cast<DWORD>(timeoutSeconds) * 1000 : INFINITE;
    if (WaitForSingleObject(process, timeout) == WAIT_TIMEOUT) {
        TerminateProcess(process, 124);
        WaitForSingleObject(process, INFINITE);
        return 124;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code))
        return -1;
    return static_cast<int>(code);
}

} // namespace

int RunProcess(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &outFile, const std::string &errFile, int timeoutSeconds) {
    ChildHandles handles(outFile, errFile);
    if (!handles.Valid())
        return -1;
    std::string commandLine = BuildCommandLine(program, args);
    std::string environment = BuildEnvironmentBlock(env);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handles.input;
    startup.hStdOutput = handles.output;
    startup.hStdError = handles.error;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, environment.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &child))
        return -1;
    CloseHandle(child.hThread);
    int code = WaitForExit(child.hProcess, timeoutSeconds);
    CloseHandle(child.hProcess);
    return code;
}

std::string GetEnvironment(const char *name) {
    // The system's copy, not the C runtime's: SetEnvironment changes only the former.
    if (name == nullptr)
        return std::string();
    return ReadGrowing([name](char *buffer, DWORD size) {
        DWORD length = GetEnvironmentVariableA(name, buffer, size);
        return length > size ? size : length;
    });
}

bool HasEnvironment(const char *name) {
    // The size asked for counts the terminator, so a set but empty variable answers 1.
    return name != nullptr && GetEnvironmentVariableA(name, nullptr, 0) != 0;
}

void SetEnvironment(const char *name, const char *value) {
    if (name != nullptr)
        SetEnvironmentVariableA(name, value);
}

std::string GetModulePath(const void *address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char *>(address), &module))
        return std::string();
    return ReadGrowing(
        [module](char *buffer, DWORD size) { return GetModuleFileNameA(module, buffer, size); });
}

} // namespace platform
