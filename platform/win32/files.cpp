// Files and folders on the Win32 file services.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// windows.h maps these names to its ANSI functions; the platform layer has its own.
#undef DeleteFile

#include "platform/platform.h"
#include "platform/win32/read_growing.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

bool IsDriveRoot(const std::string &path) {
    return path.size() == 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

HANDLE OpenForIdentity(const char *path) {
    // Backup semantics lets a folder be opened as well as a file.
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool ReadIdentity(const char *path, BY_HANDLE_FILE_INFORMATION &info) {
    HANDLE file = OpenForIdentity(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool read = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return read;
}

bool IsDotEntry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

FindEntry MakeEntry(const WIN32_FIND_DATAA &found) {
    FindEntry entry;
    entry.name = found.cFileName;
    entry.isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isHidden = found.cFileName[0] == '.' || (found.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    return entry;
}

} // namespace

std::string GetExecutablePath() {
    return ReadGrowing(
        [](char *buffer, DWORD size) { return GetModuleFileNameA(nullptr, buffer, size); });
}

std::string GetCurrentFolder() {
    std::string folder = ReadGrowing([](char *buffer, DWORD size) {
        DWORD length = GetCurrentDirectoryA(size, buffer);
        // Too small a buffer gives the size needed, never less than the size offered.
        return length > size ? size : length;
    });
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/') && !IsDriveRoot(folder))
        folder.pop_back();
    return folder;
}

bool CreateFolder(const char *path) {
    return path != nullptr && CreateDirectoryA(path, nullptr) != 0;
}

bool DeleteFile(const char *path) {
    return path != nullptr && DeleteFileA(path) != 0;
}

bool FileExists(const char *path) {
    return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsSameFile(const char *a, const char *b) {
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    if (a == nullptr || b == nullptr || !ReadIdentity(a, infoA) || !ReadIdentity(b, infoB))
        return false;
    return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// A probe file is the only sure test: folder attributes and ACLs do not tell.
bool IsFolderWritable(const char *path) {
    if (path == nullptr)
        return false;
    std::string probe = path;
    if (!probe.empty() && probe.back() != '\\' && probe.back() != '/')
        probe += '\\';
    probe += "kernova-" + std::to_string(GetCurrentProcessId()) + ".probe";
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

std::string GetUserStateFolder() {
    char buffer[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        return std::string();
    return std::string(buffer, length) + "\\Kernova";
}

bool GetFileStamp(const char *path, int64_t &modifiedNs, uint64_t &size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path == nullptr || !GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return false;
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    // File times count 100-nanosecond ticks.
    modifiedNs = static_cast<int64_t>(ticks) * 100;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::string CreatePrivateFolder() {
    std::string temp = ReadGrowing([](char *buffer, DWORD size) {
        DWORD length = GetTempPathA(size, buffer);
        return length > size ? size : length;
    });
    if (temp.empty())
        return std::string();
    if (temp.back() != '\\')
        temp += '\\';
    // The folder inherits the permissions of the user's own temporary folder.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp + "kernova-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(name.c_str(), nullptr))
            return name;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return std::string();
}

bool RemoveFolder(const char *path) {
    return path != nullptr && RemoveDirectoryA(path) != 0;
}

bool FindFiles(const std::string &pattern, std::vector<FindEntry> &entries) {
    entries.clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        if (!IsDotEntry(found.cFileName))
            entries.push_back(MakeEntry(found));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(entries.begin(), entries.end(),
              [](const FindEntry &a, const FindEntry &b) { return a.name < b.name; });
    return !entries.empty();
}

} // namespace platform
