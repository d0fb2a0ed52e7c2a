#include "tests/support/process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

constexpr int kTimedOut = 124;
constexpr int kCannotStart = -1;

std::string NameOf(const std::string &entry) {
    return entry.substr(0, entry.find('='));
}

// Our environment with `extra` put in; a variable given again replaces the earlier value.
std::vector<std::string>
MergeEnvironment(const std::vector<std::pair<std::string, std::string>> &extra) {
    std::vector<std::string> merged;
    for (char **entry = environ; *entry != nullptr; ++entry)
        merged.emplace_back(*entry);
    for (const auto &variable : extra) {
        // A named reference, not a structured binding: clang 14 cannot capture those.
        const std::string &name = variable.first;
        const std::string entry = name + "=" + variable.second;
        auto same = std::find_if(merged.begin(), merged.end(),
                                 [&name](const std::string &e) { return NameOf(e) == name; });
        if (same != merged.end())
            *same = entry;
        else
            merged.push_back(entry);
    }
    return merged;
}

std::vector<char *> MakePointerList(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (auto &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

bool AddFileActions(posix_spawn_file_actions_t &actions, const std::string &cwd,
                    const std::string &outFile, const std::string &errFile) {
    const int writeFlags = O_WRONLY | O_CREAT | O_TRUNC;
    const char *out = outFile.empty() ? "/dev/null" : outFile.c_str();
    const char *err = errFile.empty() ? "/dev/null" : errFile.c_str();
    // The output files are opened before the change of folder, so relative names mean ours.
    return posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions, 1, out, writeFlags, 0644) == 0 &&
           posix_spawn_file_actions_addopen(&actions, 2, err, writeFlags, 0644) == 0 &&
           (cwd.empty() || posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str()) == 0);
}

// The child gets its own process group (so a timeout ends everything it started) and the
// default reaction to the signals a test program may have changed.
bool SetAttributes(posix_spawnattr_t &attributes) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, signal);
    sigset_t noMask;
    sigemptyset(&noMask);
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETSIGMASK) == 0 &&
           posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &noMask) == 0;
}

pid_t StartProcess(const std::string &program, const std::vector<std::string> &args,
                   const std::string &cwd,
                   const std::vector<std::pair<std::string, std::string>> &env,
                   const std::string &outFile, const std::string &errFile) {
    std::vector<std::string> argTexts{program};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = MergeEnvironment(env);
    std::vector<char *> argv = MakePointerList(argTexts);
    std::vector<char *> envp = MakePointerList(envTexts);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    pid_t child = -1;
    if (AddFileActions(actions, cwd, outFile, errFile) && SetAttributes(attributes) &&
        posix_spawnp(&child, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0)
        child = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

double SecondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return kCannotStart;
}

// Polls, since a SIGCHLD handler would belong to the whole test program.
int WaitForChild(pid_t child, int timeoutSeconds) {
    const double deadline = SecondsNow() + timeoutSeconds;
    long pauseNs = 1000000;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return ExitCodeOf(status);
        if (done < 0 && errno != EINTR)
            return kCannotStart;
        if (SecondsNow() >= deadline)
            break;
        const timespec pause{0, pauseNs};
        nanosleep(&pause, nullptr);
        pauseNs = std::min(pauseNs * 2, 20000000L);
    }
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return kTimedOut;
}

} // namespace

int RunProcess(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &outFile, const std::string &errFile, int timeoutSeconds) {
    const pid_t child = StartProcess(program, args, cwd, env, outFile, errFile);
    if (child <= 0)
        return kCannotStart;
    return WaitForChild(child, timeoutSeconds);
}

std::string GetEnvironment(const char *name) {
    const char *value = name ? std::getenv(name) : nullptr;
    return value ? value : "";
}

bool HasEnvironment(const char *name) {
    return name != nullptr && std::getenv(name) != nullptr;
}

void SetEnvironment(const char *name, const char *value) {
    if (name == nullptr)
        return;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

std::string GetModulePath(const void *address) {
    Dl_info info{};
    if (address == nullptr || !dladdr(address, &info) || info.dli_fname == nullptr)
        return "";
    // The program itself is named as it was started, which may be relative.
    char full[PATH_MAX];
    if (info.dli_fname[0] != '/' && realpath(info.dli_fname, full) != nullptr)
        return full;
    return info.dli_fname;
}

} // namespace platform
