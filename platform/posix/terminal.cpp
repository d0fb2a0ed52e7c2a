// Terminal services: whether an output is a terminal, and Ctrl-C delivered to a handler.
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

// Written before the signal is hooked, read inside the signal handler.
std::atomic<void (*)()> interruptHandler{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free);

void OnInterruptSignal(int) {
    void (*handler)() = interruptHandler.load();
    if (handler)
        handler();
}

} // namespace

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

void SetInterruptHandler(void (*handler)()) {
    // The disposition found before the first handler comes back when the handler is removed.
    static struct sigaction previous;
    static bool hooked = false;
    interruptHandler.store(handler);
    if (!handler) {
        if (hooked)
            sigaction(SIGINT, &previous, nullptr);
        hooked = false;
        return;
    }
    if (hooked)
        return;
    struct sigaction action = {};
    action.sa_handler = OnInterruptSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted reads and writes: the program goes on after the first Ctrl-C.
    action.sa_flags = SA_RESTART;
    hooked = sigaction(SIGINT, &action, &previous) == 0;
}

} // namespace platform
