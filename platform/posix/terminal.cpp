// Terminal services: whether an output is a terminal, and Ctrl-C delivered to a handler.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace platform {

namespace {

// stdout as it was before RedirectStdout, -1 when it is not sent elsewhere.
int savedStdout = -1;

// What a Ctrl-C does may not be done in a signal handler (a stop request starts a thread), so
// the signal only wakes a thread of ours through a pipe, and that thread calls the handler, as
// the Windows console does.
std::atomic<void (*)()> interruptHandler{nullptr};
int wakePipe[2] = {-1, -1};

void OnInterruptSignal(int) {
    const int saved = errno;
    const char byte = 0;
    // The pipe does not block: a flood of Ctrl-Cs drops the ones the thread has not read yet.
    ssize_t ignored = write(wakePipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void RunInterruptThread() {
    for (;;) {
        char byte;
        const ssize_t got = read(wakePipe[0], &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        void (*handler)() = interruptHandler.load();
        if (handler)
            handler();
    }
}

bool StartInterruptThread() {
    static const bool started = [] {
        if (pipe2(wakePipe, O_CLOEXEC) != 0)
            return false;
        fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
        try {
            std::thread(RunInterruptThread).detach();
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }();
    return started;
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
    if (hooked || !StartInterruptThread())
        return;
    struct sigaction action = {};
    action.sa_handler = OnInterruptSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted reads and writes: the program goes on after the first Ctrl-C.
    action.sa_flags = SA_RESTART;
    hooked = sigaction(SIGINT, &action, &previous) == 0;
}

bool RedirectStdout(const std::string &file) {
    std::fflush(stdout);
    // The C library picks stdout's buffering when stdout is first used: lines on a terminal.
    // Were that first use to come while stdout is a file, the choice would outlast the change.
    if (isatty(STDOUT_FILENO))
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    const int target = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Getting stdout's own number means that stdout was closed: there is nothing to send on.
    if (target == STDOUT_FILENO)
        close(target);
    if (target < 0 || target == STDOUT_FILENO)
        return false;
    savedStdout = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    const bool sent = savedStdout >= 0 && dup2(target, STDOUT_FILENO) >= 0;
    close(target);
    if (!sent && savedStdout >= 0) {
        close(savedStdout);
        savedStdout = -1;
    }
    return sent;
}

void RestoreStdout() {
    if (savedStdout < 0)
        return;
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    savedStdout = -1;
}

} // namespace platform
