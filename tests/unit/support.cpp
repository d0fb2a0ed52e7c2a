// Text variables and file-name routines: what each name is taken apart into, names built from
// masks, folder trees and the path limit. Names are written with '/' and tested with the
// system's separator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"
#include "tests/fixtures/harness.h"

namespace fs = std::filesystem;

namespace {

// A text variable that is released when the case ends.
struct Text {
    char *value = nullptr;
    explicit Text(const char *initial = nullptr) { AssignString(initial, &value); }
    ~Text() { FreeString(&value); }
};

// Null is shown as "<null>", so that null and empty results differ in messages.
std::string Show(const char *text) {
    return text == nullptr ? "<null>" : "\"" + std::string(text) + "\"";
}

std::string ShowAndFree(char *text) {
    const std::string shown = Show(text);
    std::free(text); // texts of GetFileExtension; the others are released alike below
    return shown;
}

std::string ShowText(char *text) {
    const std::string shown = Show(text);
    FreeString(&text);
    return shown;
}

// A name with the system's separators; null stays null.
struct Native {
    explicit Native(const char *name) : null(name == nullptr), text(NativePath(name ? name : "")) {}
    const char *get() const { return null ? nullptr : text.c_str(); }
    bool null;
    std::string text;
};

// The expectation on Windows, where a separator at index 0 never separates, and elsewhere,
// where a leading '/' is the root folder.
constexpr const char *OnWindowsOr([[maybe_unused]] const char *windows,
                                  [[maybe_unused]] const char *elsewhere) {
#if defined(_WIN32)
    return windows;
#else
    return elsewhere;
#endif
}

TEST(TextVariables, ReplaceAppendTrimAndSlash) {
    struct Case {
        const char *initial;
        const char *operand;
        const char *assigned; // AssignString(operand)
        const char *appended; // AddStr(initial, operand)
        const char *trimmed;  // GetTrim(initial)
    };
    const Case cases[] = {
        {"abc", nullptr, nullptr, "abc", "abc"},
        {"abcdef", "", "", "abcdef", "abcdef"},
        {nullptr, "xyz", "xyz", "xyz", nullptr},
        {"", nullptr, nullptr, nullptr, nullptr},
        {"", "x", "x", "x", nullptr},
        {"  a b  ", "cd", "cd", "  a b  cd", "a b"},
        {"   ", "", "", "   ", nullptr},
        {"\tx", "", "", "\tx", "\tx"},
        {" x\n ", "", "", " x\n ", "x\n"},
    };
    for (const Case &c : cases) {
        Text assigned(c.initial), appended(c.initial), trimmed(c.initial);
        EXPECT_EQ(AssignString(c.operand, &assigned.value),
                  c.operand ? int(std::strlen(c.operand)) : 0);
        EXPECT_EQ(Show(assigned.value), Show(c.assigned)) << Show(c.initial);
        EXPECT_TRUE(c.operand == nullptr || assigned.value != c.operand) << "a copy";
        AddStr(&appended.value, c.operand);
        EXPECT_EQ(Show(appended.value), Show(c.appended)) << Show(c.initial);
        EXPECT_EQ(GetTrim(&trimmed.value), c.trimmed ? int(std::strlen(c.trimmed)) : 0);
        EXPECT_EQ(Show(trimmed.value), Show(c.trimmed)) << Show(c.initial);
    }
    Text self("ab");
    AssignString(self.value, &self.value);
    AddStr(&self.value, self.value);
    EXPECT_EQ(Show(self.value), Show("abab"));
    EXPECT_EQ(AssignString("x", nullptr), 0);
    for (const char *folder : {"/dir", "/dir/", "", "/", "music"}) {
        const std::string expected = NativePath(folder).ends_with(platform::kPathSeparator)
                                         ? NativePath(folder)
                                         : NativePath(folder) + platform::kPathSeparator;
        EXPECT_EQ(ShowText(AddSlash(NativePath(folder).c_str())), Show(expected.c_str())) << folder;
    }
    EXPECT_EQ(AddSlash(nullptr), nullptr);
}

// Folder part (ExtractPathX, "keep": left as it was), file part (ExtractOnlyFileName),
// extension (GetFileExtension) and base and extension (ExpandNameAndExt, "keep" as before).
TEST(FileNameParts, EachNameIsTakenApart) {
    struct Case {
        const char *name;
        const char *folder;
        const char *file;
        const char *extension;
        const char *base;
        const char *ext;
    };
    const Case cases[] = {
        {"a.mp3", "keep", "a.mp3", "MP3", "a", "mp3"},
        {"  a.mp3  ", "keep", "  a.mp3  ", "MP3", "  a", "mp3  "},
        {".mp3", "keep", ".mp3", nullptr, ".mp3", "keep"},
        {"name.", "keep", "name.", nullptr, "name.", "keep"},
        {"a", "keep", "a", nullptr, "a", "keep"},
        {"x.Mp3", "keep", "x.Mp3", "MP3", "x", "Mp3"},
        {"a.b.c", "keep", "a.b.c", "C", "a.b", "c"},
        {"/a.b/name", "/a.b", "name", "B/NAME", "/a", "b/name"},
        {"/music/song.wav", "/music", "song.wav", "WAV", "/music/song", "wav"},
        {"music/a.wav", "music", "a.wav", "WAV", "music/a", "wav"},
        {"/out/", "/out", nullptr, nullptr, "/out/", "keep"},
        {"/file", OnWindowsOr("keep", ""), OnWindowsOr("/file", "file"), nullptr, "/file", "keep"},
        {"/", OnWindowsOr("keep", ""), OnWindowsOr("/", nullptr), nullptr, "/", "keep"},
        {"a//b", "a/", "b", nullptr, "a//b", "keep"},
        {"a.\xe4x", "keep", "a.\xe4x", "\xe4X", "a", "\xe4x"},
        {"  .mp3", "keep", "  .mp3", nullptr, "  .mp3", "keep"},
        {"", "keep", "", nullptr, "", "keep"},
        {nullptr, "keep", nullptr, nullptr, "keep", "keep"},
    };
    for (const Case &c : cases) {
        const Native name(c.name);
        Text folder("keep"), file("keep"), base("keep"), ext("keep");
        ExtractPathX(name.get(), &folder.value);
        ExtractOnlyFileName(name.get(), &file.value);
        ExpandNameAndExt(name.get(), &base.value, &ext.value);
        EXPECT_EQ(Show(folder.value), Show(Native(c.folder).get())) << Show(c.name);
        EXPECT_EQ(Show(file.value), Show(Native(c.file).get())) << Show(c.name);
        EXPECT_EQ(ShowAndFree(GetFileExtension(name.get())), Show(Native(c.extension).get()))
            << Show(c.name);
        EXPECT_EQ(Show(base.value), Show(Native(c.base).get())) << Show(c.name);
        EXPECT_EQ(Show(ext.value), Show(Native(c.ext).get())) << Show(c.name);
    }
}

#if defined(_WIN32)
TEST(FileNameParts, FollowDrivesAndNetworkNames) {
    struct Case {
        const char *name, *folder, *file, *extension;
    };
    const Case cases[] = {
        {"D:\\b.mp3", "D:", "b.mp3", "MP3"},
        {"D:\\", "D:", nullptr, nullptr},
        {"D:x.wav", "keep", "D:x.wav", "WAV"},
        {"\\\\server\\share\\x.wav", "\\\\server\\share", "x.wav", "WAV"},
        {"\\\\server", "\\", "server", nullptr},
    };
    for (const Case &c : cases) {
        Text folder("keep"), file("keep");
        ExtractPathX(c.name, &folder.value);
        ExtractOnlyFileName(c.name, &file.value);
        EXPECT_EQ(Show(folder.value), Show(c.folder)) << c.name;
        EXPECT_EQ(Show(file.value), Show(c.file)) << c.name;
        EXPECT_EQ(ShowAndFree(GetFileExtension(c.name)), Show(c.extension)) << c.name;
    }
}
#endif

TEST(NameMasks, MasksOverlayNamesAndFolders) {
    struct Case {
        char *(*build)(const char *, const char *);
        const char *name;
        const char *mask;
        const char *expected;
    };
    const Case cases[] = {
        {MakeOneStringMask, "track01", "new_*", "new_k01"},
        {MakeOneStringMask, "ab", "????x", "abx"},
        {MakeOneStringMask, "song", "x*", "xong"},
        {MakeOneStringMask, "ab", "long*", "long"},
        {MakeOneStringMask, "abcdef", "xy", "xy"},
        {MakeOneStringMask, "song", "", ""},
        {MakeOneStringMask, "song", "s?x?", "soxg"},
        {MakeOneStringMask, "", "a?*", "a"},
        {MakeOneStringMask, "song", "*abc", "song"},
        {MakeOneStringMask, nullptr, "*", nullptr},
        {MakeOneStringMask, "song", nullptr, nullptr},
        {GetFileNameByMask, "song.wav", "*.mp3", "song.mp3"},
        {GetFileNameByMask, "song.wav", "*.*", "song.wav"},
        {GetFileNameByMask, "song.wav", "*", "song"},
        {GetFileNameByMask, "song", "*.mp3", "song"},
        {GetFileNameByMask, "a.b.c", "x*.mp3", "x.b.mp3"},
        {GetFileNameByMask, "track01.wav", "new_*.?p3", "new_k01.wp3"},
        {GetFileNameByMask, nullptr, "*.mp3", nullptr},
        {GetPathFileNameByMask, "/music/song.wav", "/out/*.mp3", "/out/song.mp3"},
        {GetPathFileNameByMask, "/music/song.wav", "*.mp3", "song.mp3"},
        {GetPathFileNameByMask, "/music/song.wav", "/*.mp3", OnWindowsOr("/ong.mp3", "/song.mp3")},
        {GetPathFileNameByMask, "/song.wav", "out/x*", OnWindowsOr("out/xsong", "out/xong")},
        {GetPathFileNameByMask, "E:/music/song.wav", "D:/*.mp3", "D:/song.mp3"},
        {GetPathFileNameByMask, "song.wav", "/out//*.mp3", "/out/song.mp3"},
        {GetPathFileNameByMask, "/music/", "/out/*.mp3", nullptr},
        {GetPathFileNameByMask, "/music/song.wav", "/out/", nullptr},
        {GetPathFileNameByMask, "song.wav", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ShowText(c.build(Native(c.name).get(), Native(c.mask).get())),
                  Show(Native(c.expected).get()))
            << Show(c.name) << " with " << Show(c.mask);
    }
    // An overlaid name is cut at its limit.
    const std::string at(kMaxMaskedNameChars, 'm');
    const std::string long5000(5000, 'n');
    EXPECT_EQ(ShowText(MakeOneStringMask(long5000.c_str(), "*")),
              Show(long5000.substr(0, 255).c_str()));
    EXPECT_EQ(ShowText(MakeOneStringMask("song", (at + "xyz").c_str())), Show(at.c_str()));
    EXPECT_EQ(ShowText(MakeOneStringMask(long5000.c_str(), std::string(300, '?').c_str())),
              Show(long5000.substr(0, 255).c_str()));
}

TEST(NameMasks, OutputNamesGetTheirExtensionAndSubFolder) {
    struct Case {
        const char *name;
        const char *operand; // extension, or sub-folder
        const char *source;  // for AddIfNoExtension; null: InsertPathInName, "+": AddFileExtension
        const char *expected;
    };
    const Case cases[] = {
        {"/out/a", "mp3", "+", "/out/a.mp3"},
        {"/out/a", nullptr, "+", "/out/a"},
        {nullptr, "mp3", "+", ".mp3"},
        {"/out/", "mp3", "/music/song.wav", "/out/song.mp3"},
        {"/out/new", "mp3", "/music/song.wav", "/out/new.mp3"},
        {"/out/song.MP3", "ogg", "/music/song.wav", "/out/song.MP3"},
        {"/out/*.mp3", "ogg", "/music/song.wav", "/out/*.mp3"},
        {"/", "mp3", "/music/song.wav", OnWindowsOr("/.mp3", "/song.mp3")},
        {"D:/out/", "mp3", "E:/music/song.wav", "D:/out/song.mp3"},
        {"out/", "mp3", "song.wav", "out/song.mp3"},
        {"/out/", nullptr, "/music/song.wav", "/out/song"},
        {"/out/", "mp3", "/music/", "/out//*.mp3"},
        {nullptr, "mp3", "/music/song.wav", nullptr},
        {"/out/song.mp3", "rock/live", nullptr, "/out/rock/live/song.mp3"},
        {"/out/song.mp3", "/rock/", nullptr, "/out/rock/song.mp3"},
        {"song.mp3", "rock", nullptr, "rock/song.mp3"},
        {"/song.mp3", "rock", nullptr, OnWindowsOr("rock//song.mp3", "/rock/song.mp3")},
        {"D:/song.mp3", "rock", nullptr, "D:/rock/song.mp3"},
        {"/out/", "rock", nullptr, "/out/rock/"},
        {nullptr, "rock", nullptr, "rock/"},
        {"/out/song.mp3", nullptr, nullptr, "/out/song.mp3"},
    };
    for (const Case &c : cases) {
        Text name(Native(c.name).get());
        if (c.source == nullptr)
            InsertPathInName(&name.value, Native(c.operand).get());
        else if (std::string(c.source) == "+")
            AddFileExtension(&name.value, c.operand);
        else
            AddIfNoExtension(&name.value, c.operand, Native(c.source).get());
        EXPECT_EQ(Show(name.value), Show(Native(c.expected).get()))
            << Show(c.name) << " " << Show(c.operand);
    }
    AddIfNoExtension(nullptr, "mp3", "song.wav");
    // Names far longer than any buffer are taken apart like short ones.
    const std::string folder = NativePath("/" + std::string(5000, 'f') + "/");
    Text output(folder.c_str());
    AddIfNoExtension(&output.value, "mp3", (folder + std::string(5000, 'n') + ".wav").c_str());
    EXPECT_EQ(std::string(output.value), folder + std::string(255, 'n') + ".mp3");
}

// Folder names, each at most 255 characters, that extend `base` to exactly `length` characters.
Lines LevelsUpToLength(size_t base, size_t length) {
    Lines levels;
    size_t remaining = length - base;
    char fill = 'a';
    for (; remaining > 256; remaining -= 201)
        levels.push_back(std::string(200, fill++));
    levels.push_back(std::string(remaining - 1, fill));
    return levels;
}

// Creates the levels from the current folder and stays in the deepest one, so that trees beyond
// the path limit can be built.
std::string DescendCreating(const std::string &base, const Lines &levels) {
    std::string path = base;
    for (const std::string &level : levels) {
        fs::create_directory(level);
        fs::current_path(level);
        path += platform::kPathSeparator + level;
    }
    return path;
}

TEST(FolderTrees, CreateMultiLevelFolderCreatesEveryLevelButTheLast) {
    const TempFolder temp;
    fs::current_path(temp.path());
    struct Case {
        std::string path;
        Lines created;
        Lines notCreated;
    };
    const Case cases[] = {
        {temp / "a/b/c.mp3", {temp / "a", temp / "a/b"}, {temp / "a/b/c.mp3"}},
        {"mp/x.wav", {"mp"}, {"mp/x.wav"}},
        {"r/x", OnWindowsOr(nullptr, "r") ? Lines{"r"} : Lines{}, {"r/x"}}, // Windows: too short
        {temp / "tree/", {temp / "tree"}, {}},
        {"/", {}, {}},
        {"plain", {}, {"plain"}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CreateMultiLevelFolder(NativePath(c.path).c_str()), 1) << c.path;
        for (const std::string &folder : c.created)
            EXPECT_TRUE(fs::is_directory(NativePath(folder))) << folder;
        for (const std::string &missing : c.notCreated)
            EXPECT_FALSE(fs::exists(NativePath(missing))) << missing;
    }
    EXPECT_EQ(CreateMultiLevelFolder(nullptr), 1);
    // At the path limit levels are created; past it nothing is.
    const size_t limit = kMaxPathChars - 1;
    const Lines fits = LevelsUpToLength(temp.path().size(), limit - 2);
    std::string deepest = temp.path();
    for (const std::string &level : fits)
        deepest += platform::kPathSeparator + level;
    EXPECT_EQ(CreateMultiLevelFolder((deepest + NativePath("/x")).c_str()), 1);
    EXPECT_TRUE(fs::is_directory(deepest));
    for (size_t length : {limit + 1, size_t{5000}}) {
        const std::string tooLong =
            temp / ("z/" + std::string(length - temp.path().size() - 3, 'y'));
        EXPECT_EQ(CreateMultiLevelFolder(tooLong.c_str()), 1);
        EXPECT_FALSE(fs::exists(temp / "z")) << length;
    }
}

#if defined(_WIN32)
// Levels are looked for from index 4 of a drive path ("X:\" and the first folder's first
// character), from index 3 of a network name, from the start of any other path; paths under 5
// characters are left alone.
TEST(FolderTrees, CreateMultiLevelFolderFollowsTheWindowsStartIndex) {
    struct Case {
        std::string path; // "<temp>": the current folder's full name; "<drive>": its drive
        Lines created;
    };
    Case cases[] = {
        {"<temp>\\a\\b\\c.mp3", {"a", "a\\b"}},
        {"ab\\cd", {"ab"}},
        {"ab\\c", {}},
        {"E:\\x", {}},
        {"<drive>s\\f.wav", {}},
        {"<drive>sub\\f.wav", {"sub"}},
        {"\\\\server\\share\\dir\\f", {}},
    };
    for (Case &c : cases) {
        const TempFolder temp;
        fs::current_path(temp.path());
        if (c.path.starts_with("<temp>"))
            c.path.replace(0, 6, temp.path());
        if (c.path.starts_with("<drive>"))
            c.path.replace(0, 7, temp.path().substr(0, 2));
        EXPECT_EQ(CreateMultiLevelFolder(c.path.c_str()), 1);
        Lines entries;
        for (const auto &entry : fs::recursive_directory_iterator(temp.path()))
            entries.push_back(fs::relative(entry.path(), temp.path()).string());
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, c.created) << c.path;
    }
}
#endif

TEST(FolderTrees, ProgramAndCurrentFolderEndWithASeparatorAndFitThePathLimit) {
    EXPECT_EQ(ShowText(GetMainPathName()),
              Show((fs::canonical(KN_TEST_BIN_DIR).string() + platform::kPathSeparator).c_str()));
    const TempFolder temp;
    fs::current_path(temp.path());
    EXPECT_EQ(ShowText(GetCurPathName()), Show((temp.path() + platform::kPathSeparator).c_str()));
#if defined(_WIN32)
    GTEST_SKIP() << "needs folders deeper than the path limit and rm to remove them";
#endif
    const size_t limit = kMaxPathChars - 1;
    for (size_t length : {limit - 1, limit, size_t{5000}}) {
        fs::current_path(temp.path());
        const Lines levels = LevelsUpToLength(temp.path().size(), length);
        const std::string deepest = DescendCreating(temp.path(), levels);
        EXPECT_EQ(ShowText(GetCurPathName()),
                  length < limit ? Show((deepest + "/").c_str()) : "<null>")
            << length;
        fs::current_path(temp.path());
        std::system(("rm -rf '" + temp.path() + "/" + levels.front() + "'").c_str());
    }
}

} // namespace
