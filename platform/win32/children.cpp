// Worker processes with pipes to their standard input and output, on the Win32 process
// services. Anonymous pipes cannot be waited on, so one thread per child reads its output.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#undef CreateEvent

#include "platform/platform.h"
#include "platform/win32/command_line.h"

#include <mutex>

namespace platform {

struct Child {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE input = nullptr;  // our end of its standard input
    HANDLE output = nullptr; // our end of its standard output
    HANDLE reader = nullptr; // the thread that reads `output`
    std::mutex mutex;        // guards the two fields below
    std::string pending;     // read, not yet taken
    bool ended = false;      // the reader met the end of the output
    bool endTaken = false;   // ReadChildOutput has answered false
};

namespace {

constexpr DWORD kReadChunk = 65536;

// Set whenever a reader thread has read something or met the end; auto-reset.
HANDLE OutputEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

DWORD WINAPI ReadOutput(void *argument) {
    auto *child = static_cast<Child *>(argument);
    char buffer[kReadChunk];
    DWORD count = 0;
    while (ReadFile(child->output, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        std::lock_guard<std::mutex> lock(child->mutex);
        child->pending.append(buffer, count);
        SetEvent(OutputEvent());
    }
    std::lock_guard<std::mutex> lock(child->mutex);
    child->ended = true;
    SetEvent(OutputEvent());
    return 0;
}

// A pipe whose one end the child inherits; our end is not inherited.
bool MakePipe(HANDLE &childEnd, HANDLE &ourEnd, bool childReads) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    childEnd = childReads ? readEnd : writeEnd;
    ourEnd = childReads ? writeEnd : readEnd;
    SetHandleInformation(ourEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

HANDLE InheritableError() {
    HANDLE copy = nullptr;
    HANDLE ours = GetStdHandle(STD_ERROR_HANDLE);
    if (ours == nullptr || ours == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), ours, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

void CloseIfOpen(HANDLE &handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

bool Launch(Child &child, const std::string &commandLine, HANDLE input, HANDLE output,
            HANDLE error) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION info = {};
    std::string line = commandLine;
    // A console group of its own, so that InterruptChild can reach it alone.
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    child.process = info.hProcess;
    child.id = info.dwProcessId;
    return true;
}

} // namespace

ChildHandle StartChild(const std::string &program, const std::vector<std::string> &args) {
    std::string commandLine = BuildCommandLine(program, args);
    auto *child = new Child;
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE childError = InheritableError();
    bool started = MakePipe(childInput, child->input, true) &&
                   MakePipe(childOutput, child->output, false) &&
                   Launch(*child, commandLine, childInput, childOutput, childError);
    CloseIfOpen(childInput);
    CloseIfOpen(childOutput);
    CloseIfOpen(childError);
    if (started) {
        child->reader = ::CreateThread(nullptr, 0, ReadOutput, child, 0, nullptr);
        started = child->reader != nullptr;
        if (!started)
            TerminateProcess(child->process, 1);
    }
    if (!started) {
        CloseIfOpen(child->process);
        CloseIfOpen(child->input);
        CloseIfOpen(child->output);
        delete child;
        return nullptr;
    }
    return child;
}

bool WriteChildInput(ChildHandle child, const std::string &text) {
    if (!child || child->input == nullptr)
        return false;
    const char *data = text.data();
    size_t size = text.size();
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(child->input, data, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

void CloseChildInput(ChildHandle child) {
    if (child)
        CloseIfOpen(child->input);
}

void WaitForChildOutput(const std::vector<ChildHandle> &children, int timeoutMs) {
    for (ChildHandle child : children) {
        if (!child)
            continue;
        std::lock_guard<std::mutex> lock(child->mutex);
        if (!child->pending.empty() || (child->ended && !child->endTaken))
            return;
    }
    WaitForSingleObject(OutputEvent(), static_cast<DWORD>(timeoutMs));
}

bool ReadChildOutput(ChildHandle child, std::string &text) {
    if (!child)
        return false;
    std::lock_guard<std::mutex> lock(child->mutex);
    text += child->pending;
    child->pending.clear();
    if (child->ended)
        child->endTaken = true;
    return !child->ended;
}

void InterruptChild(ChildHandle child) {
    if (child)
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->id);
}

void KillChild(ChildHandle child) {
    if (child)
        TerminateProcess(child->process, 130);
}

int ChildProcessId(ChildHandle child) {
    return child ? static_cast<int>(child->id) : -1;
}

int FinishChild(ChildHandle child) {
    if (!child)
        return -1;
    CloseIfOpen(child->input);
    WaitForSingleObject(child->process, INFINITE);
    // The pipe breaks when the child ends, which ends the reader.
    WaitForSingleObject(child->reader, INFINITE);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(child->process, &code) != 0;
    CloseIfOpen(child->reader);
    CloseIfOpen(child->output);
    CloseIfOpen(child->process);
    delete child;
    return known ? static_cast<int>(code) : -1;
}

unsigned CountProcessors() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? static_cast<unsigned>(count) : 1u;
}

} // namespace platform
