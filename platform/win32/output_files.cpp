// Output files on the Win32 file services: what stands under a name, and replacing a file in
// one step.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"

#include <cerrno>

namespace platform {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The errno value that says the same as a Win32 error code.
int ErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
        return EIO;
    default:
        return EINVAL;
    }
}

int LastErrno() {
    return ErrnoOf(GetLastError());
}

HANDLE OpenForWriting(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

FileKind GetFileKind(const char *path) {
    if (path == nullptr)
        return FileKind::Missing;
    // Backup semantics lets a folder be opened as well as a file; NUL and CON open as devices.
    HANDLE file = CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FileKind::Missing;
    BY_HANDLE_FILE_INFORMATION info;
    FileKind kind = FileKind::Device;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info))
        kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder
                                                                       : FileKind::Regular;
    CloseHandle(file);
    return kind;
}

std::string ResolveLinks(const char *path) {
    return path;
}

int CheckWritable(const char *path) {
    HANDLE file = OpenForWriting(path);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrno();
    CloseHandle(file);
    return 0;
}

int MoveFileOver(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : LastErrno();
}

int CurrentProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

} // namespace platform
