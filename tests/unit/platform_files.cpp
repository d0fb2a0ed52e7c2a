#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder below the system's temporary folder, removed with everything in it; the
// current folder and the permissions changed by a test are given back at the end.
class TempFolder {
  public:
    TempFolder() : saved_(fs::current_path()) {
        fs::path folder;
        do
            folder =
                fs::temp_directory_path() / ("kn_files_" + std::to_string(std::random_device()()));
        while (!fs::create_directory(folder));
        path_ = fs::canonical(folder).string();
    }
    ~TempFolder() {
        fs::current_path(saved_);
#if defined(_WIN32)
        std::error_code ignored;
        fs::remove_all(path_, ignored);
#else
        std::system(("chmod -R u+rwx '" + path_ + "'; rm -rf '" + path_ + "'").c_str());
#endif
    }
    const std::string &path() const {
        return path_;
    }
    // "a/b" below the folder, with the system's separators.
    std::string operator/(const std::string &name) const {
        std::string full = path_ + "/" + name;
        std::replace(full.begin(), full.end(), '/', platform::kPathSeparator);
        return full;
    }

  private:
    fs::path saved_;
    std::string path_;
};

void WriteFile(const std::string &path) {
    std::ofstream(path) << "x";
}

// One line per entry: name, then F for a folder and H for a hidden name.
std::string Describe(const std::vector<platform::FindEntry> &entries) {
    std::string text;
    for (const platform::FindEntry &entry : entries)
        text += entry.name + (entry.isFolder ? " F" : "") + (entry.isHidden ? " H" : "") + "\n";
    return text;
}

// Root ignores folder permissions; the permission cases only mean something for other users.
bool PermissionsApply(const std::string &lockedFolder) {
    std::error_code error;
    fs::directory_iterator probe(lockedFolder, error);
    return static_cast<bool>(error);
}

TEST(MatchesMask, MatchesLikeTheWindowsFileSearch) {
    struct Case {
        const char *name;
        const char *mask;
        bool matches;
    } cases[] = {
        {"Song.WAV", "*.wav", true},
        {"song.wav", "S?NG.*", true},
        {"song", "*.*", true},
        {"song", "*", true},
        {".hidden", "*.*", true},
        {"", "*", true},
        {"ab", "a?", true},
        {"a", "a?", false},
        {"abc", "a?", false},
        {"song.wav", "*.mp3", false},
        {"a.b.c", "*.c", true},
        {"x", "", false},
        {"song", "song.*", true},
        {"song.wav", "song.*", true},
        {"songs", "song.*", false},
        {"aXbYb", "a*b", true},
        {"aXbYc", "a*b", false},
        {"ab", "a**b", true},
        {"\xc4"
         "b",
         "\xe4"
         "b",
         false},
        {"[a]", "[A]", true},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*a*a*a*b", false},
        {nullptr, "*", false},
        {"a", nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "<null>") + " with " +
                     (c.mask ? c.mask : "<null>"));
        EXPECT_EQ(platform::MatchesMask(c.name, c.mask), c.matches);
    }
}

class FindFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *name : {"b.WAV", "a.wav", "C.wav", "noext", ".hidden.wav", "d.mp3"})
            WriteFile(temp / name);
        fs::create_directory(temp / "sub.wav");
        fs::create_directory(temp / "real");
#if defined(_WIN32)
        // Without symbolic links, a folder and a file that list the same way stand in.
        fs::create_directory(temp / "link.dir");
        WriteFile(temp / "dangling.wav");
#else
        fs::create_symlink(temp / "real", temp / "link.dir");
        fs::create_symlink(temp / "gone", temp / "dangling.wav");
#endif
    }
    TempFolder temp;
    std::vector<platform::FindEntry> entries;
};

TEST_F(FindFilesTest, ListsMatchingEntriesSorted) {
    struct Case {
        const char *pattern;
        bool found;
        const char *expected;
    } cases[] = {
        {"*.wav", true, ".hidden.wav H\nC.wav\na.wav\nb.WAV\ndangling.wav\nsub.wav F\n"},
        {"?.wav", true, "C.wav\na.wav\nb.WAV\n"},
        {"*.*", true,
         ".hidden.wav H\nC.wav\na.wav\nb.WAV\nd.mp3\ndangling.wav\nlink.dir F\nnoext\nreal F\n"
         "sub.wav F\n"},
        {"N*", true, "noext\n"},
        {"A.WAV", true, "a.wav\n"},
        {"a.wav", true, "a.wav\n"},
        {"real", true, "real F\n"},
        {"*.ogg", false, ""},
        {"missing", false, ""},
        {"", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(platform::FindFiles(temp / c.pattern, entries), c.found);
        EXPECT_EQ(Describe(entries), c.expected);
    }
}

TEST_F(FindFilesTest, NeverReturnsDotEntries) {
    for (const char *pattern : {"*", ".", "..", ".*"}) {
        SCOPED_TRACE(pattern);
        platform::FindFiles(temp / pattern, entries);
        for (const platform::FindEntry &entry : entries)
            EXPECT_TRUE(entry.name != "." && entry.name != "..") << entry.name;
    }
    EXPECT_TRUE(platform::FindFiles(temp / "*", entries));
    EXPECT_EQ(entries.size(), 10u);
}

TEST_F(FindFilesTest, ListsTheCurrentFolderWithoutFolderPart) {
    fs::current_path(temp.path());
    EXPECT_TRUE(platform::FindFiles("?.WAV", entries));
    EXPECT_EQ(Describe(entries), "C.wav\na.wav\nb.WAV\n");
}

TEST_F(FindFilesTest, ListsTheRootForALeadingSeparator) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a root folder without a drive";
#endif
    std::string firstLevel = std::next(fs::path(temp.path()).begin())->string();
    std::string mask = firstLevel;
    mask.back() = '?';
    ASSERT_TRUE(platform::FindFiles("/" + mask, entries));
    bool found = false;
    for (const platform::FindEntry &entry : entries)
        found = found || (entry.name == firstLevel && entry.isFolder);
    EXPECT_TRUE(found) << Describe(entries);
}

TEST_F(FindFilesTest, FailsForAMissingFolder) {
    EXPECT_FALSE(platform::FindFiles(temp / "missing/*", entries));
    EXPECT_FALSE(platform::FindFiles(temp / "a.wav/*", entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(FindFilesTest, FailsForAnUnreadableFolder) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs POSIX folder permissions";
#endif
    fs::create_directory(temp / "locked");
    WriteFile(temp / "locked/f.wav");
    fs::permissions(temp / "locked", fs::perms::none);
    if (!PermissionsApply(temp / "locked"))
        GTEST_SKIP() << "permissions do not apply to this user";
    EXPECT_FALSE(platform::FindFiles(temp / "locked/*", entries));
    EXPECT_FALSE(platform::FindFiles(temp / "locked/f.wav", entries));
}

TEST_F(FindFilesTest, FindsAnExactNameInAFolderThatCannotBeListed) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs POSIX folder permissions";
#endif
    fs::create_directory(temp / "searchable");
    WriteFile(temp / "searchable/f.wav");
    fs::permissions(temp / "searchable", fs::perms::owner_exec);
    if (!PermissionsApply(temp / "searchable"))
        GTEST_SKIP() << "permissions do not apply to this user";
    EXPECT_TRUE(platform::FindFiles(temp / "searchable/f.wav", entries));
    EXPECT_EQ(Describe(entries), "f.wav\n");
    EXPECT_FALSE(platform::FindFiles(temp / "searchable/*.wav", entries));
    EXPECT_FALSE(platform::FindFiles(temp / "searchable/F.WAV", entries));
}

TEST(FolderServices, CreateDeleteAndExist) {
    TempFolder temp;
    std::string folder = temp / "new";
    EXPECT_TRUE(platform::CreateFolder(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder((temp / "no/such").c_str()));
    EXPECT_TRUE(platform::FileExists(folder.c_str()));
    std::string file = temp / "f";
    WriteFile(file);
    EXPECT_TRUE(platform::FileExists(file.c_str()));
    EXPECT_TRUE(platform::DeleteFile(file.c_str()));
    EXPECT_FALSE(platform::FileExists(file.c_str()));
    EXPECT_FALSE(platform::DeleteFile(file.c_str()));
    EXPECT_FALSE(platform::DeleteFile(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder(nullptr));
    EXPECT_FALSE(platform::DeleteFile(nullptr));
    EXPECT_FALSE(platform::FileExists(nullptr));
}

TEST(FolderServices, IsSameFileFollowsNamesAndLinks) {
    TempFolder temp;
    WriteFile(temp / "a");
    WriteFile(temp / "b");
    fs::create_hard_link(temp / "a", temp / "hard");
#if !defined(_WIN32)
    fs::create_symlink(temp / "a", temp / "soft");
#endif
    fs::create_directory(temp / "d");
    struct Case {
        std::string a;
        std::string b;
        bool same;
    } cases[] = {
        {temp / "a", temp / "a", true},
        {temp / "a", temp / "hard", true},
#if !defined(_WIN32)
        {temp / "a", temp / "soft", true},
#endif
        {temp / "a", temp / "d/../a", true},
        {temp / "a", temp / "b", false},
        {temp / "a", temp / "missing", false},
        {temp / "missing", temp / "missing", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.a + " vs " + c.b);
        EXPECT_EQ(platform::IsSameFile(c.a.c_str(), c.b.c_str()), c.same);
    }
    EXPECT_FALSE(platform::IsSameFile(nullptr, (temp / "a").c_str()));
}

TEST(FolderServices, ExecutablePathNamesThisTestProgram) {
    std::string program = platform::GetExecutablePath();
    EXPECT_EQ(fs::path(program).parent_path(), fs::canonical(KN_TEST_BIN_DIR));
    EXPECT_EQ(fs::path(program).filename(),
              std::string("test_support") + platform::kExecutableSuffix);
}

TEST(FolderServices, CurrentFolderHasNoTrailingSeparator) {
    TempFolder temp;
    fs::current_path(temp.path());
    EXPECT_EQ(platform::GetCurrentFolder(), temp.path());
#if !defined(_WIN32)
    fs::current_path("/");
    EXPECT_EQ(platform::GetCurrentFolder(), "/");
#endif
}

} // namespace
