#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool IsDotEntry(const std::string &name) {
    return name == "." || name == "..";
}

bool HasWildcard(const std::string &mask) {
    return mask.find_first_of("*?") != std::string::npos;
}

FindEntry MakeEntry(const std::string &name, const std::string &path) {
    FindEntry entry;
    entry.name = name;
    struct stat info;
    entry.isFolder = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    entry.isHidden = name[0] == '.';
    return entry;
}

// The exact name is found even in a folder that may be searched but not listed.
bool FindExactName(const std::string &pattern, const std::string &name,
                   std::vector<FindEntry> &entries) {
    if (IsDotEntry(name) || !FileExists(pattern.c_str()))
        return false;
    entries.push_back(MakeEntry(name, pattern));
    return true;
}

bool ListMatchingNames(const std::string &folder, const std::string &prefix,
                       const std::string &mask, std::vector<FindEntry> &entries) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    while (dirent *item = readdir(dir)) {
        std::string name = item->d_name;
        if (!IsDotEntry(name) && MatchesMask(name.c_str(), mask.c_str()))
            entries.push_back(MakeEntry(name, prefix + name));
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const FindEntry &a, const FindEntry &b) { return a.name < b.name; });
    return !entries.empty();
}

} // namespace

std::string GetExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer)
        return std::string();
    return std::string(buffer, static_cast<size_t>(length));
}

std::string GetCurrentFolder() {
    char *folder = getcwd(nullptr, 0);
    if (folder == nullptr)
        return std::string();
    std::string result = folder;
    std::free(folder);
    return result;
}

bool CreateFolder(const char *path) {
    return path != nullptr && mkdir(path, 0777) == 0;
}

bool DeleteFile(const char *path) {
    return path != nullptr && unlink(path) == 0;
}

bool FileExists(const char *path) {
    struct stat info;
    return path != nullptr && stat(path, &info) == 0;
}

bool IsSameFile(const char *a, const char *b) {
    struct stat infoA, infoB;
    if (a == nullptr || b == nullptr || stat(a, &infoA) != 0 || stat(b, &infoB) != 0)
        return false;
    return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool IsFolderWritable(const char *path) {
    return path != nullptr && access(path, W_OK | X_OK) == 0;
}

std::string GetUserStateFolder() {
    // Relative values are to be ignored, as the XDG base directory rules say.
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/kernova";
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/kernova";
    return std::string();
}

bool GetFileStamp(const char *path, int64_t &modifiedNs, uint64_t &size) {
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0)
        return false;
    modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

std::string CreatePrivateFolder() {
    const char *temp = std::getenv("TMPDIR");
    std::string name = std::string(temp && temp[0] ? temp : "/tmp") + "/kernova-XXXXXX";
    // mkdtemp makes the folder with the permissions 0700.
    return mkdtemp(name.data()) ? name : std::string();
}

bool RemoveFolder(const char *path) {
    return path != nullptr && rmdir(path) == 0;
}

bool FindFiles(const std::string &pattern, std::vector<FindEntry> &entries) {
    entries.clear();
    size_t p = pattern.rfind(kPathSeparator);
    std::string prefix = p == std::string::npos ? std::string() : pattern.substr(0, p + 1);
    std::string mask = pattern.substr(prefix.size());
    if (mask.empty())
        return false;
    if (!HasWildcard(mask) && FindExactName(pattern, mask, entries))
        return true;
    return ListMatchingNames(prefix.empty() ? "." : prefix, prefix, mask, entries);
}

} // namespace platform
