// The platform services behind the folder scans and the test runs: the name-mask rule, folder
// listings, file services, running a program, libraries.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/process.h"
#include "tests/fixtures/harness.h"

namespace fs = std::filesystem;

namespace {

void Touch(const std::string &path) {
    std::ofstream(path) << "x";
}

// One line per entry: name, then F for a folder and H for a hidden name.
std::string Describe(const std::vector<platform::FindEntry> &entries) {
    std::string text;
    for (const platform::FindEntry &entry : entries)
        text += entry.name + (entry.isFolder ? " F" : "") + (entry.isHidden ? " H" : "") + "\n";
    return text;
}

TEST(FindFiles, MasksMatchLikeTheWindowsFileSearch) {
    struct Case {
        const char *name;
        const char *mask;
        bool matches;
    };
    const Case cases[] = {
        {"Song.WAV", "*.wav", true},
        {"song.wav", "S?NG.*", true},
        {"song", "*.*", true},
        {".hidden", "*.*", true},
        {"", "*", true},
        {"ab", "a?", true},
        {"a", "a?", false},
        {"abc", "a?", false},
        {"song.wav", "*.mp3", false},
        {"a.b.c", "*.c", true},
        {"x", "", false},
        {"song", "song.*", true},
        {"songs", "song.*", false},
        {"aXbYb", "a*b", true},
        {"aXbYc", "a*b", false},
        {"ab", "a**b", true},
        {"\xc4y", "\xe4y", false},
        {"[a]", "[A]", true},
        {nullptr, "*", false},
        {"a", nullptr, false},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*a*a*a*b", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(platform::MatchesMask(c.name, c.mask), c.matches)
            << (c.name ? c.name : "<null>") << " with " << (c.mask ? c.mask : "<null>");
}

TEST(FindFiles, ListsMatchingEntriesSortedWithoutDotEntries) {
    const TempFolder temp;
    for (const char *name : {"b.WAV", "a.wav", "C.wav", "noext", ".hidden.wav", "d.mp3"})
        Touch(temp / name);
    fs::create_directory(temp / "sub.wav");
    fs::create_directory(temp / "real");
#if defined(_WIN32)
    // Without symbolic links, a folder and a file that list the same way stand in.
    fs::create_directory(temp / "link.dir");
    Touch(temp / "dangling.wav");
#else
    fs::create_symlink(temp / "real", temp / "link.dir");
    fs::create_symlink(temp / "gone", temp / "dangling.wav");
#endif
    struct Case {
        std::string pattern;
        bool found;
        const char *expected;
    };
    const Case cases[] = {
        {temp / "*.wav", true, ".hidden.wav H\nC.wav\na.wav\nb.WAV\ndangling.wav\nsub.wav F\n"},
        {temp / "?.wav", true, "C.wav\na.wav\nb.WAV\n"},
        {temp / "*", true,
         ".hidden.wav H\nC.wav\na.wav\nb.WAV\nd.mp3\ndangling.wav\nlink.dir F\nnoext\nreal F\n"
         "sub.wav F\n"},
        {temp / ".*", true, ".hidden.wav H\n"},
        {temp / "N*", true, "noext\n"},
        {temp / "A.WAV", true, "a.wav\n"},
        {temp / "real", true, "real F\n"},
        {temp / "*.ogg", false, ""},
        {temp / "", false, ""},
        {temp / "missing/*", false, ""},
        {temp / "a.wav/*", false, ""},
    };
    std::vector<platform::FindEntry> entries;
    for (const Case &c : cases) {
        EXPECT_EQ(platform::FindFiles(c.pattern, entries), c.found) << c.pattern;
        EXPECT_EQ(Describe(entries), c.expected) << c.pattern;
    }
    fs::current_path(temp.path());
    EXPECT_TRUE(platform::FindFiles("?.WAV", entries));
    EXPECT_EQ(Describe(entries), "C.wav\na.wav\nb.WAV\n");
#if !defined(_WIN32)
    // A leading separator is the root folder.
    const std::string firstLevel = std::next(fs::path(temp.path()).begin())->string();
    ASSERT_TRUE(platform::FindFiles("/" + firstLevel, entries));
    EXPECT_EQ(Describe(entries), firstLevel + " F\n");
#endif
}

TEST(FindFiles, FoldersThatCannotBeListedOrEnteredFail) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs POSIX folder permissions";
#endif
    const TempFolder temp;
    fs::create_directory(temp / "locked");
    fs::create_directory(temp / "searchable");
    Touch(temp / "locked/f.wav");
    Touch(temp / "searchable/f.wav");
    fs::permissions(temp / "locked", fs::perms::none);
    fs::permissions(temp / "searchable", fs::perms::owner_exec);
    std::error_code denied;
    fs::directory_iterator probe(temp / "locked", denied);
    if (!denied)
        GTEST_SKIP() << "folder permissions do not apply to this user";
    std::vector<platform::FindEntry> entries;
    EXPECT_FALSE(platform::FindFiles(temp / "locked/*", entries));
    EXPECT_FALSE(platform::FindFiles(temp / "locked/f.wav", entries));
    EXPECT_TRUE(platform::FindFiles(temp / "searchable/f.wav", entries));
    EXPECT_EQ(Describe(entries), "f.wav\n");
    EXPECT_FALSE(platform::FindFiles(temp / "searchable/*.wav", entries));
    EXPECT_FALSE(platform::FindFiles(temp / "searchable/F.WAV", entries));
}

TEST(FileServices, CreateDeleteExistAndCompare) {
    const TempFolder temp;
    const std::string folder = temp / "new";
    const std::string file = temp / "f";
    EXPECT_TRUE(platform::CreateFolder(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder((temp / "no/such").c_str()));
    Touch(file);
    EXPECT_TRUE(platform::FileExists(folder.c_str()) && platform::FileExists(file.c_str()));
    fs::create_hard_link(file, temp / "hard");
    Touch(temp / "other");
#if !defined(_WIN32)
    fs::create_symlink(file, temp / "soft");
    EXPECT_TRUE(platform::IsSameFile(file.c_str(), (temp / "soft").c_str()));
#endif
    EXPECT_TRUE(platform::IsSameFile(file.c_str(), (temp / "hard").c_str()));
    EXPECT_TRUE(platform::IsSameFile(file.c_str(), (temp / "new/../f").c_str()));
    EXPECT_FALSE(platform::IsSameFile(file.c_str(), (temp / "other").c_str()));
    EXPECT_FALSE(platform::IsSameFile((temp / "gone").c_str(), (temp / "gone").c_str()));
    EXPECT_FALSE(platform::IsSameFile(nullptr, file.c_str()));
    EXPECT_TRUE(platform::DeleteFile(file.c_str()));
    EXPECT_FALSE(platform::FileExists(file.c_str()));
    EXPECT_FALSE(platform::DeleteFile(file.c_str()));
    EXPECT_FALSE(platform::DeleteFile(folder.c_str()));
    EXPECT_FALSE(platform::CreateFolder(nullptr) || platform::DeleteFile(nullptr) ||
                 platform::FileExists(nullptr));
    EXPECT_EQ(fs::path(platform::GetExecutablePath()),
              fs::canonical(KN_TEST_BIN_DIR) / ProgramFile("test_unit"));
    EXPECT_TRUE(platform::IsSameFile(
        platform::GetModulePath(reinterpret_cast<const void *>(&platform::GetModulePath)).c_str(),
        platform::GetExecutablePath().c_str()));
    fs::current_path(temp.path());
    EXPECT_EQ(platform::GetCurrentFolder(), temp.path());
    int onTheStack = 0;
    EXPECT_EQ(platform::GetModulePath(&onTheStack), "");
}

// RunProcess, the way the end-to-end tests start the built programs.
class RunProcessTest : public ::testing::Test {
  protected:
    int Run(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::pair<std::string, std::string>> &env = {},
            int timeoutSeconds = 60, const std::string &cwd = "") {
        return platform::RunProcess(program, args, cwd.empty() ? temp.path() : cwd, env,
                                    temp / "out.txt", temp / "err.txt", timeoutSeconds);
    }
    std::string Read(const char *name) {
        std::ifstream in(temp / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string child = (fs::path(KN_TEST_BIN_DIR) / ProgramFile("process_child")).string();
    const TempFolder temp;
};

// Lines as the child's C runtime ends them: Windows writes text output with CR LF.
#if defined(_WIN32)
constexpr const char *kLineEnd = "\r\n";
#else
constexpr const char *kLineEnd = "\n";
#endif

TEST_F(RunProcessTest, ExitCodeArgumentsAndFolderReachTheChild) {
    for (int code : {0, 3, 124, 255})
        EXPECT_EQ(Run(child, {"exit", std::to_string(code)}), code);
    for (const std::string word : {"two words  and more", "", "say \"hi\" now", "it's", "a\\\\\"b",
                                   "folder\\", "$HOME;|&<>*?`"}) {
        ASSERT_EQ(Run(child, {"exit", "0", word, "next"}), 0);
        EXPECT_EQ(Read("out.txt"), "[" + word + "]" + kLineEnd + "[next]" + kLineEnd + "cwd " +
                                       temp.path() + kLineEnd)
            << word;
    }
    EXPECT_EQ(Run(temp / ProgramFile("no_such_program"), {}), -1);
    EXPECT_EQ(Run(child, {"exit", "0"}, {}, 60, temp / "missing"), -1);
}

TEST_F(RunProcessTest, ARunPastItsTimeoutIsKilledWithWhatItStarted) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(child, {"sleep", "60"}, {}, 1), 124);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
#if !defined(_WIN32)
    // A shell shows what the portable child cannot: deaths by signal and grandchildren.
    EXPECT_EQ(Run("/bin/sh", {"-c", "kill -TERM $$"}), 128 + 15);
    EXPECT_EQ(Run("/bin/sh", {"-c", "kill -KILL $$"}), 128 + 9);
    EXPECT_EQ(Run("/bin/sh", {"-c", "(sleep 2; echo late >late.txt) & wait"}, {}, 1), 124);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(fs::exists(temp / "late.txt"));
#endif
}

} // namespace
