// Terminal services: whether a descriptor is a console, and Ctrl-C delivered to a handler.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>

#include "platform/platform.h"

#include <atomic>

namespace platform {

namespace {

// Written on the main thread, read on the thread the system creates for the console event.
std::atomic<void (*)()> interruptHandler{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    void (*handler)() = interruptHandler.load();
    // A worker has a console group of its own and gets its parent's Ctrl-C as Ctrl-Break.
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || handler == nullptr)
        return FALSE;
    handler();
    return TRUE;
}

} // namespace

bool IsTerminal(int fd) {
    return _isatty(fd) != 0;
}

void SetInterruptHandler(void (*handler)()) {
    static bool hooked = false;
    interruptHandler.store(handler);
    if (handler == nullptr) {
        if (hooked)
            SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
        hooked = false;
        return;
    }
    if (!hooked)
        hooked = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

// The core may be linked with a C library of its own, whose stdout a change here would miss.
bool RedirectStdout(const std::string &) {
    return false;
}

void RestoreStdout() {}

} // namespace platform
