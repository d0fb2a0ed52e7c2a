// Threads, events and time on the Win32 kernel objects.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#undef CreateEvent

#include "platform/platform.h"

#include <new>

namespace platform {

namespace {

// ThreadFunction has the C calling convention; the system starts threads through __stdcall.
struct ThreadStart {
    ThreadFunction function;
    void *argument;
};

DWORD WINAPI RunThread(LPVOID parameter) {
    ThreadStart start = *static_cast<ThreadStart *>(parameter);
    delete static_cast<ThreadStart *>(parameter);
    return start.function(start.argument);
}

} // namespace

ThreadHandle CreateThread(ThreadFunction function, void *argument) {
    if (function == nullptr)
        return nullptr;
    auto *start = new (std::nothrow) ThreadStart{function, argument};
    if (start == nullptr)
        return nullptr;
    HANDLE thread = ::CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
    if (thread == nullptr)
        delete start;
    return thread;
}

void JoinThread(ThreadHandle thread) {
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

EventHandle CreateEvent(const char *name, bool manualReset, bool initialState) {
    return CreateEventA(nullptr, manualReset, initialState, name);
}

void SetEvent(EventHandle event) {
    if (event != nullptr)
        ::SetEvent(event);
}

void ResetEvent(EventHandle event) {
    if (event != nullptr)
        ::ResetEvent(event);
}

bool WaitEvent(EventHandle event, int timeoutMs) {
    if (event == nullptr)
        return false;
    DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(event, timeout) == WAIT_OBJECT_0;
}

void CloseEvent(EventHandle event) {
    if (event != nullptr)
        CloseHandle(event);
}

uint32_t GetTickCount() {
    return ::GetTickCount();
}

void Sleep(int milliseconds) {
    ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

} // namespace platform
