#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace fs = std::filesystem;

namespace {

struct Text {
    char *value = nullptr;
    explicit Text(const char *initial = nullptr) { AssignString(initial, &value); }
    ~Text() { FreeString(&value); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
};

std::string Show(const char *text) {
    return text == nullptr ? "<null>" : "\"" + std::string(text) + "\"";
}

// A name with the system's folder separators; a null name stays null.
class Native {
  public:
    explicit Native(const char *name) : null_(name == nullptr), text_(name ? name : "") {
        std::replace(text_.begin(), text_.end(), '/', platform::kPathSeparator);
    }
    const char *get() const { return null_ ? nullptr : text_.c_str(); }

  private:
    bool null_;
    std::string text_;
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

std::string ShowAndFree(char *text) {
    std::string shown = Show(text);
    FreeString(&text);
    return shown;
}

// A fresh folder below the system's temporary folder, removed with everything in it; the
// current folder is given back at the end. rm copes with trees deeper than the path limit.
class TempFolder {
  public:
    TempFolder() : saved_(fs::current_path()) {
        fs::path folder;
        do
            folder =
                fs::temp_directory_path() / ("kn_fnames_" + std::to_string(std::random_device()()));
        while (!fs::create_directory(folder));
        path_ = fs::canonical(folder).string();
    }
    ~TempFolder() {
        fs::current_path(saved_);
#if defined(_WIN32)
        std::error_code ignored;
        fs::remove_all(path_, ignored);
#else
        std::system(("rm -rf '" + path_ + "'").c_str());
#endif
    }
    const std::string &path() const {
        return path_;
    }

  private:
    fs::path saved_;
    std::string path_;
};

// Folder names, each at most 255 characters, that extend `base` to exactly `length` characters.
std::vector<std::string> LevelsUpToLength(size_t base, size_t length) {
    std::vector<std::string> levels;
    size_t remaining = length - base;
    char fill = 'a';
    while (remaining > 256) {
        levels.push_back(std::string(200, fill++));
        remaining -= 201;
    }
    levels.push_back(std::string(remaining - 1, fill));
    return levels;
}

// Creates the levels one by one from the current folder and stays in the deepest one, so
// that even trees beyond the path limit can be built.
void DescendCreating(const std::vector<std::string> &levels) {
    for (const std::string &level : levels) {
        fs::create_directory(level);
        fs::current_path(level);
    }
}

std::string Join(const std::string &base, const std::vector<std::string> &levels) {
    std::string path = base;
    for (const std::string &level : levels)
        path += platform::kPathSeparator + level;
    return path;
}

TEST(GetFileExtension, FindsTheUpperCaseExtension) {
    struct Case {
        const char *name;
        const char *expected;
    } cases[] = {
        {"a.mp3", "MP3"},
        {"  a.mp3  ", "MP3"},
        {".mp3", nullptr},
        {"name.", nullptr},
        {"a", nullptr},
        {"/a.b/name", "B/NAME"},
        {"x.Mp3", "MP3"},
        {"a.b.c", "C"},
        {"  .mp3", nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {nullptr, nullptr},
        {"/music/song.wav", "WAV"},
        {"/x.y", "Y"},
        {"a.\xe4x", "\xe4X"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name));
        char *extension = GetFileExtension(c.name);
        EXPECT_EQ(Show(extension), Show(c.expected));
        std::free(extension);
    }
}

TEST(ExpandNameAndExt, SplitsAtTheExtensionDot) {
    struct Case {
        const char *name;
        const char *base;
        const char *extension;
    } cases[] = {
        {"Song.Wav", "Song", "Wav"},
        {"  a.mp3  ", "  a", "mp3  "},
        {"song", "song", "keep"},
        {".mp3", ".mp3", "keep"},
        {"a.b.c", "a.b", "c"},
        {"/a.b/name", "/a", "b/name"},
        {"/music/track.flac", "/music/track", "flac"},
        {nullptr, "keep", "keep"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name));
        Text base("keep"), extension("keep");
        ExpandNameAndExt(c.name, &base.value, &extension.value);
        EXPECT_EQ(Show(base.value), Show(c.base));
        EXPECT_EQ(Show(extension.value), Show(c.extension));
    }
}

TEST(MakeOneStringMask, OverlaysTheMask) {
    struct Case {
        const char *name;
        const char *mask;
        const char *expected;
    } cases[] = {
        {"track01", "new_*", "new_k01"},
        {"ab", "????x", "abx"},
        {"song", "*", "song"},
        {"song", "x*", "xong"},
        {"ab", "long*", "long"},
        {"abcdef", "xy", "xy"},
        {"song", "", ""},
        {"song", "s?x?", "soxg"},
        {"", "a?*", "a"},
        {"song", "*abc", "song"},
        {nullptr, "*", nullptr},
        {"song", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name) + " with " + Show(c.mask));
        EXPECT_EQ(ShowAndFree(MakeOneStringMask(c.name, c.mask)), Show(c.expected));
    }
}

TEST(MakeOneStringMask, CutsTheResultAtTheLimit) {
    std::string longName(5000, 'n');
    std::string longMask(300, 'm');
    std::string questionMask(300, '?');
    std::string atLimit(kMaxMaskedNameChars, 'm');
    struct Case {
        const char *what;
        std::string name;
        std::string mask;
        std::string expected;
    } cases[] = {
        {"star keeps a 5000-character name", longName, "*", longName.substr(0, 255)},
        {"300 literal characters", "song", longMask, longMask.substr(0, 255)},
        {"300 question marks", std::string(300, 'q'), questionMask, std::string(255, 'q')},
        {"exactly the limit", "x", atLimit, atLimit},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char *result = MakeOneStringMask(c.name.c_str(), c.mask.c_str());
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::string(result), c.expected);
        FreeString(&result);
    }
}

TEST(GetFileNameByMask, OverlaysBaseAndExtension) {
    struct Case {
        const char *name;
        const char *mask;
        const char *expected;
    } cases[] = {
        {"song.wav", "*.mp3", "song.mp3"}, {"song.wav", "*.*", "song.wav"},
        {"song.wav", "*", "song"},         {"song", "*.mp3", "song"},
        {"a.b.c", "x*.mp3", "x.b.mp3"},    {"track01.wav", "new_*.?p3", "new_k01.wp3"},
        {nullptr, "*.mp3", nullptr},       {"song.wav", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name) + " with " + Show(c.mask));
        EXPECT_EQ(ShowAndFree(GetFileNameByMask(c.name, c.mask)), Show(c.expected));
    }
}

TEST(ExtractPathX, StoresTheFolderPart) {
    struct Case {
        const char *name;
        const char *expected;
    } cases[] = {
        {"file", "keep"},
        {"/file", OnWindowsOr("keep", "")},
        {"/music/a.wav", "/music"},
        {"music/a.wav", "music"},
        {"/out/", "/out"},
        {"/", OnWindowsOr("keep", "")},
        {"a//b", "a/"},
        {nullptr, "keep"},
        {"", "keep"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name));
        Text folder("keep");
        ExtractPathX(Native(c.name).get(), &folder.value);
        EXPECT_EQ(Show(folder.value), Show(Native(c.expected).get()));
    }
}

TEST(ExtractOnlyFileName, AlwaysReplacesTheVariable) {
    struct Case {
        const char *name;
        const char *expected;
    } cases[] = {
        {"/file", OnWindowsOr("/file", "file")},
        {"/out/", nullptr},
        {"file", "file"},
        {"/music/a.wav", "a.wav"},
        {"/", OnWindowsOr("/", nullptr)},
        {nullptr, nullptr},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name));
        Text file("keep");
        ExtractOnlyFileName(Native(c.name).get(), &file.value);
        EXPECT_EQ(Show(file.value), Show(Native(c.expected).get()));
    }
}

// Folder part, one separator and file part give the name back, also for names at the root
// (of a drive, on Windows).
TEST(FileNameParts, RoundTripAbsoluteAndRelativeNames) {
#if defined(_WIN32)
    const char *const names[] = {"D:/a.wav",    "D:/music/a.wav", "D:/music/rock/a.wav",
                                 "music/a.wav", "D:/.x",          "//server/share/a.wav"};
#else
    const char *const names[] = {"/a.wav", "/music/a.wav", "/music/rock/a.wav", "music/a.wav",
                                 "/.x"};
#endif
    for (const char *given : names) {
        SCOPED_TRACE(given);
        const Native native(given);
        const char *name = native.get();
        Text folder, file;
        ExtractPathX(name, &folder.value);
        ExtractOnlyFileName(name, &file.value);
        ASSERT_NE(folder.value, nullptr);
        ASSERT_NE(file.value, nullptr);
        Text joined;
        joined.value = AddSlash(folder.value);
        AddStr(&joined.value, file.value);
        EXPECT_EQ(Show(joined.value), Show(name));
    }
}

TEST(GetPathFileNameByMask, PutsTheSourceFileIntoTheMaskFolder) {
    struct Case {
        const char *source;
        const char *mask;
        const char *expected;
    } cases[] = {
        {"/music/song.wav", "/out/*.mp3", "/out/song.mp3"},
        {"/music/song.wav", "*.mp3", "song.mp3"},
        {"/music/song.wav", "/*.mp3", OnWindowsOr("/ong.mp3", "/song.mp3")},
        {"/song.wav", "out/x*", OnWindowsOr("out/xsong", "out/xong")},
        {"E:/music/song.wav", "D:/out/*.mp3", "D:/out/song.mp3"},
        {"E:/music/song.wav", "D:/*.mp3", "D:/song.mp3"},
        {"song.wav", "/out//*.mp3", "/out/song.mp3"},
        {"/music/", "/out/*.mp3", nullptr},
        {"/music/song.wav", "/out/", nullptr},
        {nullptr, "*.mp3", nullptr},
        {"song.wav", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.source) + " with " + Show(c.mask));
        EXPECT_EQ(ShowAndFree(GetPathFileNameByMask(Native(c.source).get(), Native(c.mask).get())),
                  Show(Native(c.expected).get()));
    }
}

TEST(AddFileExtension, AppendsDotAndExtension) {
    struct Case {
        const char *name;
        const char *extension;
        const char *expected;
    } cases[] = {
        {"/out/a", "mp3", "/out/a.mp3"},
        {"/out/a", nullptr, "/out/a"},
        {nullptr, "mp3", ".mp3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name) + " + " + Show(c.extension));
        Text name(Native(c.name).get());
        AddFileExtension(&name.value, c.extension);
        EXPECT_EQ(Show(name.value), Show(Native(c.expected).get()));
    }
}

TEST(AddIfNoExtension, CompletesOutputNamesWithoutExtension) {
    struct Case {
        const char *name;
        const char *extension;
        const char *source;
        const char *expected;
    } cases[] = {
        {"/out/", "mp3", "/music/song.wav", "/out/song.mp3"},
        {"/out/new", "mp3", "/music/song.wav", "/out/new.mp3"},
        {"/out/song.MP3", "ogg", "/music/song.wav", "/out/song.MP3"},
        {"/out/*.mp3", "ogg", "/music/song.wav", "/out/*.mp3"},
        {"/", "mp3", "/music/song.wav", OnWindowsOr("/.mp3", "/song.mp3")},
        {"D:/out/", "mp3", "E:/music/song.wav", "D:/out/song.mp3"},
        {"D:/out/new", "mp3", "E:/music/song.wav", "D:/out/new.mp3"},
        {"out/", "mp3", "song.wav", "out/song.mp3"},
        {"/out/", nullptr, "/music/song.wav", "/out/song"},
        {"/out/", "mp3", nullptr, "/out//*.mp3"},
        {"/out/", "mp3", "/music/", "/out//*.mp3"},
        {nullptr, "mp3", "/music/song.wav", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name) + " from " + Show(c.source));
        Text name(Native(c.name).get());
        AddIfNoExtension(&name.value, c.extension, Native(c.source).get());
        EXPECT_EQ(Show(name.value), Show(Native(c.expected).get()));
    }
    AddIfNoExtension(nullptr, "mp3", "song.wav");
}

TEST(InsertPathInName, InsertsTheSubFolder) {
    struct Case {
        const char *name;
        const char *subFolder;
        const char *expected;
    } cases[] = {
        {"/out/song.mp3", "rock/live", "/out/rock/live/song.mp3"},
        {"/out/song.mp3", "/rock/", "/out/rock/song.mp3"},
        {"song.mp3", "rock", "rock/song.mp3"},
        {"/song.mp3", "rock", OnWindowsOr("rock//song.mp3", "/rock/song.mp3")},
        {"D:/out/song.mp3", "rock/live", "D:/out/rock/live/song.mp3"},
        {"D:/song.mp3", "rock", "D:/rock/song.mp3"},
        {"/out/", "rock", "/out/rock/"},
        {nullptr, "rock", "rock/"},
        {"/out/song.mp3", nullptr, "/out/song.mp3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name) + " with " + Show(c.subFolder));
        Text name(Native(c.name).get());
        InsertPathInName(&name.value, Native(c.subFolder).get());
        EXPECT_EQ(Show(name.value), Show(Native(c.expected).get()));
    }
}

// Names far longer than any buffer are taken apart like short ones.
TEST(FileNameParts, HandleA5000CharacterName) {
    const std::string separator(1, platform::kPathSeparator);
    std::string folder = separator + std::string(5000, 'f');
    std::string name = folder + separator + std::string(5000, 'n') + ".wav";
    Text part;
    ExtractPathX(name.c_str(), &part.value);
    EXPECT_EQ(std::string(part.value), folder);
    ExtractOnlyFileName(name.c_str(), &part.value);
    EXPECT_EQ(std::string(part.value), std::string(5000, 'n') + ".wav");
    char *extension = GetFileExtension(name.c_str());
    EXPECT_EQ(Show(extension), Show("WAV"));
    std::free(extension);
    Text output((folder + separator).c_str());
    AddIfNoExtension(&output.value, "mp3", name.c_str());
    EXPECT_EQ(std::string(output.value), folder + separator + std::string(255, 'n') + ".mp3");
}

TEST(CreateMultiLevelFolder, CreatesEveryLevelButTheLast) {
    TempFolder temp;
    fs::current_path(temp.path());
    const std::string t = temp.path();
    struct Case {
        std::string path;
        std::vector<std::string> created;
        std::vector<std::string> notCreated;
    } cases[] = {
        {t + "/a/b/c.mp3", {t + "/a", t + "/a/b"}, {t + "/a/b/c.mp3"}},
        {"mp/x.wav", {"mp"}, {"mp/x.wav"}},
#if defined(_WIN32)
        {"r/x", {}, {"r"}}, // under 5 characters
#else
        {"r/x", {"r"}, {"r/x"}},
#endif
        {t + "/tree/", {t + "/tree"}, {}},
        {"/", {}, {}},
        {"plain", {}, {"plain"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CreateMultiLevelFolder(Native(c.path.c_str()).get()), 1);
        for (const std::string &folder : c.created)
            EXPECT_TRUE(fs::is_directory(folder)) << folder;
        for (const std::string &missing : c.notCreated)
            EXPECT_FALSE(fs::exists(missing)) << missing;
    }
    EXPECT_EQ(CreateMultiLevelFolder(nullptr), 1);
}

#if defined(_WIN32)
// Drive letters and network names: where the folder part, the file part and the extension are.
TEST(FileNameParts, FollowDrivesAndNetworkNames) {
    struct Case {
        const char *name;
        const char *folder; // "keep": the folder variable stays as it was
        const char *file;
        const char *extension;
    } cases[] = {
        {"D:\\a\\b.mp3", "D:\\a", "b.mp3", "MP3"},
        {"D:\\b.mp3", "D:", "b.mp3", "MP3"},
        {"D:\\", "D:", nullptr, nullptr},
        {"D:x.wav", "keep", "D:x.wav", "WAV"},
        {"\\\\server\\share\\x.wav", "\\\\server\\share", "x.wav", "WAV"},
        {"\\\\server", "\\", "server", nullptr},
        {"E:\\a.b\\name", "E:\\a.b", "name", "B\\NAME"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Show(c.name));
        Text folder("keep"), file("keep");
        ExtractPathX(c.name, &folder.value);
        EXPECT_EQ(Show(folder.value), Show(c.folder));
        ExtractOnlyFileName(c.name, &file.value);
        EXPECT_EQ(Show(file.value), Show(c.file));
        char *extension = GetFileExtension(c.name);
        EXPECT_EQ(Show(extension), Show(c.extension));
        std::free(extension);
    }
}

// Every entry below `folder`, as names relative to it, in order.
std::vector<std::string> EntriesBelow(const std::string &folder) {
    std::vector<std::string> entries;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder))
        entries.push_back(fs::relative(entry.path(), folder).string());
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Levels are looked for from index 4 of a drive path ("X:\" and the first folder's first
// character), from index 3 of a network name, from the start of any other path; paths under 5
// characters are left alone. Each case runs in a fresh current folder on the temporary
// folder's drive and must create exactly the folders named, nothing else.
TEST(CreateMultiLevelFolder, FollowsTheWindowsStartIndex) {
    struct Case {
        const char *label;
        std::string path; // "<temp>": the current folder's full name; "<drive>": its drive
        std::vector<std::string> created;
    } cases[] = {
        {"drive path", "<temp>\\a\\b\\c.mp3", {"a", "a\\b"}},
        {"drive path ending with a separator", "<temp>\\tree\\", {"tree"}},
        {"relative", "mp\\x.wav", {"mp"}},
        {"relative, 5 characters", "ab\\cd", {"ab"}},
        {"relative, 4 characters", "ab\\c", {}},
        {"relative, 3 characters", "r\\x", {}},
        {"drive root and a name", "E:\\x", {}},
        {"drive-relative, separator before index 4", "<drive>s\\f.wav", {}},
        {"drive-relative, separator at index 5", "<drive>sub\\f.wav", {"sub"}},
        {"network name", "\\\\server\\share\\dir\\f", {}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        fs::current_path(temp.path());
        const std::string drive = temp.path().substr(0, 2);
        ASSERT_EQ(drive[1], ':') << temp.path();
        if (c.path.starts_with("<temp>"))
            c.path.replace(0, 6, temp.path());
        if (c.path.starts_with("<drive>"))
            c.path.replace(0, 7, drive);
        EXPECT_EQ(CreateMultiLevelFolder(c.path.c_str()), 1);
        EXPECT_EQ(EntriesBelow(temp.path()), c.created) << c.path;
    }
}
#endif

TEST(CreateMultiLevelFolder, StopsAtThePathLimit) {
    TempFolder temp;
    size_t limit = kMaxPathChars - 1;
    std::vector<std::string> fits = LevelsUpToLength(temp.path().size(), limit - 2);
    std::string longest = Join(temp.path(), fits) + Native("/x").get();
    ASSERT_EQ(longest.size(), limit);
    EXPECT_EQ(CreateMultiLevelFolder(longest.c_str()), 1);
    EXPECT_TRUE(fs::is_directory(Join(temp.path(), fits)));

    for (size_t length : {limit + 1, size_t{5000}}) {
        SCOPED_TRACE(length);
        std::string tooLong =
            temp.path() + Native("/z/").get() + std::string(length - temp.path().size() - 3, 'y');
        ASSERT_EQ(tooLong.size(), length);
        EXPECT_EQ(CreateMultiLevelFolder(tooLong.c_str()), 1);
        EXPECT_FALSE(fs::exists(temp.path() + "/z"));
    }
}

TEST(GetCurPathName, GivesTheCurrentFolderWithOneSeparator) {
    TempFolder temp;
    fs::current_path(temp.path());
    EXPECT_EQ(ShowAndFree(GetCurPathName()),
              Show((temp.path() + platform::kPathSeparator).c_str()));
#if !defined(_WIN32)
    fs::current_path("/");
    EXPECT_EQ(ShowAndFree(GetCurPathName()), Show("/"));
#endif
}

TEST(GetCurPathName, IsNullWhenTheFolderDoesNotFit) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs folders deeper than the path limit and rm to remove them";
#endif
    TempFolder temp;
    size_t limit = kMaxPathChars - 1;
    struct Case {
        size_t folderLength;
        bool fits;
    } cases[] = {{limit - 1, true}, {limit, false}, {5000, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folderLength);
        fs::current_path(temp.path());
        std::vector<std::string> levels = LevelsUpToLength(temp.path().size(), c.folderLength);
        DescendCreating(levels);
        char *result = GetCurPathName();
        if (c.fits) {
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(std::string(result), Join(temp.path(), levels) + "/");
        } else {
            EXPECT_EQ(result, nullptr);
        }
        FreeString(&result);
        fs::current_path(temp.path());
        std::system(("rm -rf '" + temp.path() + "/" + levels.front() + "'").c_str());
    }
}

TEST(GetMainPathName, GivesTheTestProgramsFolder) {
    std::string expected = fs::canonical(KN_TEST_BIN_DIR).string() + platform::kPathSeparator;
    EXPECT_EQ(ShowAndFree(GetMainPathName()), Show(expected.c_str()));
}

// Started from a copy of this program at the end of a deep tree, the program writes what
// GetMainPathName gives into the named file and ends before any test runs.
const char *const kChildReportVariable = "KN_MAIN_PATH_REPORT";

bool ReportMainPathIfChild() {
    const char *report = std::getenv(kChildReportVariable);
    if (report == nullptr)
        return false;
    std::ofstream(report) << ShowAndFree(GetMainPathName());
    std::exit(0);
}

const bool kIsChild = ReportMainPathIfChild();

// Builds the tree below the current folder with a link halfway down, so that the copy can be
// started as "hop1/hop2/prog" from a short current folder (the test framework of the child
// needs one) however long its real path is.
void BuildTreeWithHops(const std::vector<std::string> &levels) {
    size_t middle = levels.size() / 2;
    std::vector<std::string> upper(levels.begin(), levels.begin() + middle);
    std::vector<std::string> lower(levels.begin() + middle, levels.end());
    fs::create_directory_symlink(Join(".", upper).substr(2), "hop1");
    DescendCreating(upper);
    fs::create_directory_symlink(Join(".", lower).substr(2), "hop2");
    DescendCreating(lower);
}

TEST(GetMainPathName, IsNullWhenTheProgramPathDoesNotFit) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs symbolic links, /proc and a POSIX shell";
#endif
    ASSERT_FALSE(kIsChild);
    TempFolder temp;
    std::string program = fs::read_symlink("/proc/self/exe").string();
    std::string report = temp.path() + "/report.txt";
    size_t limit = kMaxPathChars - 1;
    const std::string copyName = "prog";
    struct Case {
        size_t programLength;
        bool fits;
    } cases[] = {{limit, true}, {limit + 1, false}, {5000, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.programLength);
        fs::current_path(temp.path());
        std::vector<std::string> levels =
            LevelsUpToLength(temp.path().size(), c.programLength - copyName.size() - 1);
        BuildTreeWithHops(levels);
        fs::copy_file(program, copyName);
        fs::current_path(temp.path());
        std::string command =
            std::string(kChildReportVariable) + "='" + report + "' ./hop1/hop2/" + copyName;
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::string expected = c.fits ? Show((Join(temp.path(), levels) + "/").c_str()) : "<null>";
        std::ifstream in(report);
        std::string shown((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(shown, expected);
        std::system(("rm -rf hop1 report.txt '" + levels.front() + "'").c_str());
    }
}

} // namespace
