// RunProcess, the way the end-to-end tests start the built programs: exit codes, arguments
// that reach the child byte for byte, the environment, the working folder, the timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string ChildProgram() {
    return (fs::path(KN_TEST_BIN_DIR) /
            (std::string("process_child") + platform::kExecutableSuffix))
        .string();
}

class RunProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        do
            folder = fs::temp_directory_path() /
                     ("kn_process_" + std::to_string(std::random_device()()));
        while (!fs::create_directory(folder));
        folder = fs::canonical(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    int Run(const std::string &program, const std::vector<std::string> &args, const Env &env = {},
            int timeoutSeconds = 60) {
        return platform::RunProcess(program, args, folder.string(), env,
                                    (folder / "out.txt").string(), (folder / "err.txt").string(),
                                    timeoutSeconds);
    }
    std::string Out() const { return Slurp(folder / "out.txt"); }
    std::string Err() const { return Slurp(folder / "err.txt"); }

    fs::path folder;
};

TEST_F(RunProcessTest, ReturnsTheExitCode) {
    for (int code : {0, 1, 3, 124, 255}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Run(ChildProgram(), {"exit", std::to_string(code)}), code);
    }
}

// Lines as the child's C runtime ends them: Windows writes text output with CR LF.
#if defined(_WIN32)
constexpr const char *kLineEnd = "\r\n";
#else
constexpr const char *kLineEnd = "\n";
#endif

TEST_F(RunProcessTest, PassesEveryArgumentUnchanged) {
    struct Case {
        const char *label;
        std::string word;
    };
    const Case cases[] = {
        {"blanks", "two words  and more"},          {"empty", ""},
        {"double quotes", "say \"hi\" now"},        {"single quote", "it's"},
        {"backslashes before a quote", "a\\\\\"b"}, {"trailing backslash", "folder\\"},
        {"shell characters", "$HOME;|&<>*?`"},      {"separators", "out/a.wav"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(Run(ChildProgram(), {"exit", "0", c.word, "next"}), 0);
        EXPECT_EQ(Out(), "[" + c.word + "]" + kLineEnd + "[next]" + kLineEnd + "cwd " +
                             folder.string() + kLineEnd);
    }
}

TEST_F(RunProcessTest, AddsTheEnvironmentToOurs) {
    struct Case {
        const char *label;
        const char *ours; // KN_CHILD_VALUE in our environment; null: not set
        Env env;
        std::string err;
    };
    const Case cases[] = {
        {"set nowhere", nullptr, {}, "(unset)"},
        {"inherited", "from the parent", {}, "from the parent"},
        {"added, with blanks", nullptr, {{"KN_CHILD_VALUE", "a = b c"}}, "a = b c"},
        {"ours replaced", "from the parent", {{"KN_CHILD_VALUE", "given"}}, "given"},
        {"the last one given wins",
         nullptr,
         {{"KN_CHILD_VALUE", "first"}, {"KN_CHILD_VALUE", "last"}},
         "last"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        platform::SetEnvironment("KN_CHILD_VALUE", c.ours);
        EXPECT_EQ(platform::GetEnvironment("KN_CHILD_VALUE"), c.ours ? c.ours : "");
        ASSERT_EQ(Run(ChildProgram(), {"exit", "0"}, c.env), 0);
        EXPECT_EQ(Err(), c.err);
        EXPECT_EQ(platform::GetEnvironment("KN_CHILD_VALUE"), c.ours ? c.ours : "");
    }
    platform::SetEnvironment("KN_CHILD_VALUE", nullptr);
}

TEST_F(RunProcessTest, KillsARunPastItsTimeout) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(ChildProgram(), {"sleep", "60"}, {}, 1), 124);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(RunProcessTest, GivesMinusOneWhenTheProgramCannotStart) {
    const std::string missing = (folder / "no_such_program").string() + platform::kExecutableSuffix;
    EXPECT_EQ(Run(missing, {}), -1);
    EXPECT_EQ(platform::RunProcess(ChildProgram(), {"exit", "0"}, (folder / "missing").string(), {},
                                   (folder / "out.txt").string(), (folder / "err.txt").string(),
                                   60),
              -1);
}

TEST(ModulePath, NamesTheProgramHoldingTheAddress) {
    EXPECT_TRUE(platform::IsSameFile(
        platform::GetModulePath(reinterpret_cast<const void *>(&platform::GetModulePath)).c_str(),
        platform::GetExecutablePath().c_str()));
    int onTheStack = 0;
    EXPECT_EQ(platform::GetModulePath(&onTheStack), "");
}

#if !defined(_WIN32)
// A shell shows what the portable child cannot: deaths by signal and grandchildren.
TEST_F(RunProcessTest, ReportsDeathBySignal) {
    struct Case {
        const char *label;
        std::string script;
        int timeoutSeconds;
        int expected;
    };
    const Case cases[] = {
        {"terminated", "kill -TERM $$", 60, 128 + 15},
        {"killed", "kill -KILL $$", 60, 128 + 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Run("/bin/sh", {"-c", c.script}, {}, c.timeoutSeconds), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }
}

TEST_F(RunProcessTest, EndsWhatTheRunStartedWhenItTimesOut) {
    EXPECT_EQ(Run("/bin/sh", {"-c", "(sleep 2; echo late >late.txt) & wait"}, {}, 1), 124);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(fs::exists(folder / "late.txt"));
}
#endif

} // namespace
