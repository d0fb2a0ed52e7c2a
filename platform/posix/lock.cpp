#include "platform/platform.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

// The handle carries the descriptor plus one, so that descriptor 0 is not a null handle.
FileLockHandle HandleFromDescriptor(int fd) {
    return reinterpret_cast<FileLockHandle>(static_cast<intptr_t>(fd) + 1);
}

int DescriptorFromHandle(FileLockHandle lock) {
    return static_cast<int>(reinterpret_cast<intptr_t>(lock) - 1);
}

} // namespace

FileLockHandle LockFile(const char *path) {
    if (path == nullptr)
        return nullptr;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    int result;
    do {
        result = flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return nullptr;
    }
    return HandleFromDescriptor(fd);
}

void UnlockFile(FileLockHandle lock) {
    if (lock == nullptr)
        return;
    int fd = DescriptorFromHandle(lock);
    flock(fd, LOCK_UN);
    close(fd);
}

} // namespace platform
