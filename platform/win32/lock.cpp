// Exclusive file locks on the Win32 byte-range locks.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"

namespace platform {

FileLockHandle LockFile(const char *path) {
    if (path == nullptr)
        return nullptr;
    HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    // The whole possible range, so every locker asks for the same bytes; no flag to fail at
    // once, so the call waits while another process holds the lock.
    OVERLAPPED whole = {};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

void UnlockFile(FileLockHandle lock) {
    if (lock == nullptr)
        return;
    OVERLAPPED whole = {};
    UnlockFileEx(lock, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(lock);
}

} // namespace platform
