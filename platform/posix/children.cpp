// Worker processes with pipes to their standard input and output.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

extern char **environ;

namespace platform {

struct Child {
    pid_t pid = -1;
    int input = -1;  // our end of its standard input
    int output = -1; // our end of its standard output
    bool outputEnded = false;
};

namespace {

constexpr std::size_t kReadChunk = 65536;

void CloseDescriptor(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// The child starts with the default reaction to the signals we may have changed or ignored.
bool SetChildAttributes(posix_spawnattr_t &attributes) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGPIPE, SIGTERM})
        sigaddset(&defaults, signal);
    sigset_t noMask;
    sigemptyset(&noMask);
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) ==
               0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &noMask) == 0;
}

pid_t Spawn(const std::string &program, const std::vector<std::string> &args, int input,
            int output) {
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    pid_t pid = -1;
    // Every pipe end is opened close-on-exec; the two copies made here are the child's.
    if (posix_spawn_file_actions_adddup2(&actions, input, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&actions, output, 1) != 0 ||
        !SetChildAttributes(attributes) ||
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A write to a child that has gone raises SIGPIPE; it is held back for this thread and taken
// away again, so that the write only fails.
bool WriteAll(int fd, const char *data, std::size_t size) {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool written = true;
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            written = false;
            break;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    if (!written && errno == EPIPE) {
        const timespec noWait{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

ChildHandle StartChild(const std::string &program, const std::vector<std::string> &args) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return nullptr;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return nullptr;
    }
    const pid_t pid = Spawn(program, args, toChild[0], fromChild[1]);
    close(toChild[0]);
    close(fromChild[1]);
    if (pid <= 0) {
        close(toChild[1]);
        close(fromChild[0]);
        return nullptr;
    }
    fcntl(fromChild[0], F_SETFL, fcntl(fromChild[0], F_GETFL) | O_NONBLOCK);
    auto *child = new Child;
    child->pid = pid;
    child->input = toChild[1];
    child->output = fromChild[0];
    return child;
}

bool WriteChildInput(ChildHandle child, const std::string &text) {
    return child && child->input >= 0 && WriteAll(child->input, text.data(), text.size());
}

void CloseChildInput(ChildHandle child) {
    if (child)
        CloseDescriptor(child->input);
}

void WaitForChildOutput(const std::vector<ChildHandle> &children, int timeoutMs) {
    std::vector<pollfd> watched;
    for (ChildHandle child : children) {
        if (child && !child->outputEnded)
            watched.push_back(pollfd{child->output, POLLIN, 0});
    }
    if (watched.empty()) {
        const timespec pause{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        return;
    }
    poll(watched.data(), watched.size(), timeoutMs);
}

bool ReadChildOutput(ChildHandle child, std::string &text) {
    if (!child || child->outputEnded)
        return false;
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t n = read(child->output, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        child->outputEnded = true;
        return false;
    }
}

void InterruptChild(ChildHandle child) {
    if (child)
        kill(child->pid, SIGINT);
}

void KillChild(ChildHandle child) {
    if (child)
        kill(child->pid, SIGKILL);
}

int ChildProcessId(ChildHandle child) {
    return child ? static_cast<int>(child->pid) : -1;
}

int FinishChild(ChildHandle child) {
    if (!child)
        return -1;
    CloseDescriptor(child->input);
    CloseDescriptor(child->output);
    int status = 0;
    pid_t done;
    while ((done = waitpid(child->pid, &status, 0)) < 0 && errno == EINTR) {
    }
    delete child;
    return done < 0 ? -1 : ExitCodeOf(status);
}

unsigned CountProcessors() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

} // namespace platform
