// Output files on POSIX: what stands under a name, and replacing a file in one step.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

FileKind GetFileKind(const char *path) {
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0)
        return FileKind::Missing;
    if (S_ISREG(info.st_mode))
        return FileKind::Regular;
    return S_ISDIR(info.st_mode) ? FileKind::Folder : FileKind::Device;
}

std::string ResolveLinks(const char *path) {
    struct stat info;
    if (lstat(path, &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string(path);
}

int CheckWritable(const char *path) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int MoveFileOver(const char *from, const char *to) {
    struct stat old;
    if (stat(to, &old) == 0)
        chmod(from, old.st_mode & 07777);
    return rename(from, to) == 0 ? 0 : errno;
}

int CurrentProcessId() {
    return static_cast<int>(getpid());
}

} // namespace platform
