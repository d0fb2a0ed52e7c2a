#include "support/Fnames_Rout.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/All_Func.h"

namespace {

constexpr char kSep = platform::kPathSeparator;
// A leading '/' is the root folder and separates; a leading backslash on Windows does not.
constexpr size_t kFirstSeparatorIndex = kSep == '/' ? 0 : 1;
constexpr size_t kNone = std::string_view::npos;
// Windows takes '/' as a folder separator too, and users type it there ("my folder/*.wav").
constexpr std::string_view kSeparators = kSep == '/' ? "/" : "\\/";

// Index of the separator that ends the folder part, or kNone when the name has no folder part.
size_t FindFolderEnd(std::string_view name) {
    size_t p = name.find_last_of(kSeparators);
    return p != kNone && p >= kFirstSeparatorIndex ? p : kNone;
}

// Where CreateMultiLevelFolder starts looking for folder ends. On Windows it skips a drive
// and its root ("D:\a": the first folder ends at index 4 at the earliest) or the two
// backslashes of a network name, and leaves paths of under 5 characters alone; here it skips
// the root folder's '/'. kNone: nothing to create.
size_t FirstFolderSeparatorIndex([[maybe_unused]] std::string_view path) {
#if defined(_WIN32)
    if (path.size() < 5)
        return kNone;
    if (path[1] == ':')
        return 4;
    if (path.starts_with("\\\\"))
        return 3;
    return 0;
#else
    return 1;
#endif
}

bool HasFilePart(std::string_view name) {
    size_t p = FindFolderEnd(name);
    return p == kNone || p + 1 < name.size();
}

std::string_view FilePartOf(std::string_view name) {
    size_t p = FindFolderEnd(name);
    return p == kNone ? name : name.substr(p + 1);
}

char *NewText(std::string_view text) {
    char *result = nullptr;
    AssignString(std::string(text).c_str(), &result);
    return result;
}

// Index of the dot that starts the extension, or kNone. The search runs on the name without
// its outer blanks, never looks at that text's first character and ignores a final dot.
size_t FindExtensionDot(std::string_view name, size_t *end) {
    size_t first = name.find_first_not_of(' ');
    if (first == kNone)
        return kNone;
    size_t last = name.find_last_not_of(' ');
    *end = last + 1;
    if (last - first + 1 < 2)
        return kNone;
    size_t dot = name.substr(0, last + 1).rfind('.');
    if (dot == kNone || dot <= first || dot == last)
        return kNone;
    return dot;
}

// The folder part of `name` with one trailing separator (none when it has no folder part),
// followed by `tail`.
std::string JoinFolderAndFile(std::string_view name, std::string_view tail) {
    std::string result;
    size_t p = FindFolderEnd(name);
    if (p != kNone) {
        result.assign(name.substr(0, p));
        if (result.empty() || result.back() != kSep)
            result += kSep;
    }
    result += tail;
    return result;
}

} // namespace

void ExtractPathX(const char *name, char **folder) {
    if (name == nullptr || folder == nullptr)
        return;
    std::string_view view(name);
    size_t p = FindFolderEnd(view);
    if (p != kNone)
        AssignString(std::string(view.substr(0, p)).c_str(), folder);
}

void ExtractOnlyFileName(const char *name, char **file) {
    if (file == nullptr)
        return;
    if (name == nullptr || !HasFilePart(name)) {
        FreeString(file);
        return;
    }
    AssignString(std::string(FilePartOf(name)).c_str(), file);
}

char *GetFileExtension(const char *name) {
    if (name == nullptr)
        return nullptr;
    std::string_view view(name);
    size_t end = 0;
    size_t dot = FindExtensionDot(view, &end);
    if (dot == kNone)
        return nullptr;
    size_t length = end - dot - 1;
    char *result = static_cast<char *>(std::malloc(length + 1));
    if (result == nullptr)
        return nullptr;
    for (size_t i = 0; i < length; ++i)
        result[i] = UpperAscii(view[dot + 1 + i]);
    result[length] = '\0';
    return result;
}

void ExpandNameAndExt(const char *name, char **base, char **extension) {
    if (name == nullptr)
        return;
    std::string_view view(name);
    size_t end = 0;
    size_t dot = FindExtensionDot(view, &end);
    if (dot == kNone) {
        AssignString(name, base);
        return;
    }
    AssignString(std::string(view.substr(0, dot)).c_str(), base);
    AssignString(name + dot + 1, extension);
}

char *MakeOneStringMask(const char *name, const char *mask) {
    if (name == nullptr || mask == nullptr)
        return nullptr;
    size_t nameLength = std::strlen(name);
    size_t maskLength = std::strlen(mask);
    std::string result;
    bool star = false;
    for (size_t i = 0; result.size() < static_cast<size_t>(kMaxMaskedNameChars); ++i) {
        if (!star) {
            if (i >= maskLength)
                break;
            star = mask[i] == '*';
        }
        if (star) {
            if (i >= nameLength)
                break;
            result += name[i];
        } else if (mask[i] != '?') {
            result += mask[i];
        } else if (i < nameLength) {
            result += name[i];
        }
    }
    return NewText(result);
}

char *GetFileNameByMask(const char *name, const char *mask) {
    if (name == nullptr || mask == nullptr)
        return nullptr;
    char *nameBase = nullptr, *nameExt = nullptr, *maskBase = nullptr, *maskExt = nullptr;
    ExpandNameAndExt(name, &nameBase, &nameExt);
    ExpandNameAndExt(mask, &maskBase, &maskExt);
    char *result = MakeOneStringMask(nameBase, maskBase);
    if (nameExt != nullptr && maskExt != nullptr) {
        char *newExt = MakeOneStringMask(nameExt, maskExt);
        AddFileExtension(&result, newExt);
        FreeString(&newExt);
    }
    FreeString(&nameBase);
    FreeString(&nameExt);
    FreeString(&maskBase);
    FreeString(&maskExt);
    return result;
}

char *GetPathFileNameByMask(const char *source, const char *mask) {
    if (source == nullptr || mask == nullptr || !HasFilePart(source) || !HasFilePart(mask))
        return nullptr;
    std::string sourceFile(FilePartOf(source));
    std::string maskFile(FilePartOf(mask));
    char *fileName = GetFileNameByMask(sourceFile.c_str(), maskFile.c_str());
    if (fileName == nullptr)
        return nullptr;
    char *result = NewText(JoinFolderAndFile(mask, fileName));
    FreeString(&fileName);
    return result;
}

void AddFileExtension(char **name, const char *extension) {
    if (name == nullptr || extension == nullptr)
        return;
    AddStr(name, ".");
    AddStr(name, extension);
}

void AddIfNoExtension(char **name, const char *extension, const char *source) {
    if (name == nullptr || *name == nullptr)
        return;
    char *existing = GetFileExtension(*name);
    if (existing != nullptr) {
        std::free(existing);
        return;
    }
    if (!HasFilePart(*name)) {
        const char anyFile[] = {kSep, '*', '\0'};
        AddStr(name, anyFile);
    }
    AddFileExtension(name, extension);
    char *completed = GetPathFileNameByMask(source, *name);
    if (completed == nullptr)
        return;
    FreeString(name);
    *name = completed;
}

void InsertPathInName(char **name, const char *subFolder) {
    if (name == nullptr || subFolder == nullptr)
        return;
    std::string_view oldName = *name != nullptr ? *name : "";
    const char *sub = subFolder[0] == kSep ? subFolder + 1 : subFolder;
    char *slashedSub = AddSlash(sub);
    std::string tail = slashedSub;
    FreeString(&slashedSub);
    tail += FilePartOf(oldName);
    AssignString(JoinFolderAndFile(oldName, tail).c_str(), name);
}

int CreateMultiLevelFolder(const char *path) {
    if (path == nullptr)
        return 1;
    std::string_view view(path);
    if (view.size() >= static_cast<size_t>(kMaxPathChars))
        return 1;
    const size_t start = FirstFolderSeparatorIndex(view);
    if (start == kNone)
        return 1;
    for (size_t p = start; p < view.size(); ++p) {
        if (kSeparators.find(view[p]) != kNone)
            platform::CreateFolder(std::string(view.substr(0, p)).c_str());
    }
    return 1;
}

char *FolderWithSlash(const char *name) {
    char *folder = nullptr;
    ExtractPathX(name, &folder);
    char *slashed = AddSlash(folder);
    FreeString(&folder);
    return slashed;
}

char *GetMainPathName() {
    std::string program = platform::GetExecutablePath();
    if (program.empty() || program.size() >= static_cast<size_t>(kMaxPathChars))
        return nullptr;
    size_t p = FindFolderEnd(program);
    std::string folder = p == kNone ? std::string() : program.substr(0, p);
    return AddSlash(folder.c_str());
}

char *GetCurPathName() {
    std::string current = platform::GetCurrentFolder();
    if (current.empty())
        return nullptr;
    char *result = AddSlash(current.c_str());
    if (std::strlen(result) >= static_cast<size_t>(kMaxPathChars))
        FreeString(&result);
    return result;
}
