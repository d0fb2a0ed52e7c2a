// Job naming and source scanning without plug-ins: full names, the job file's place, output
// names built from masks and sub-folders, the order of a recursive scan, and the safe word.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cmdline/CommandRecord.h"
#include "jobs/jobs.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "tags/idtagger_extend.h"
#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

std::string Show(const char *text) {
    return text ? "\"" + std::string(text) + "\"" : "<null>";
}

struct Text {
    char *value = nullptr;
    explicit Text(const char *initial = nullptr) { AssignString(initial, &value); }
    ~Text() { FreeString(&value); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
};

// Job arrays released with everything in them.
struct Jobs {
    JobArrays arrays{};
    int count = 0;
    ~Jobs() {
        for (int i = 0; i < count; ++i) {
            FreeString(&arrays.sources[i]);
            FreeString(&arrays.outputs[i]);
        }
        delete[] arrays.sources;
        delete[] arrays.outputs;
    }
    std::vector<std::string> Sources() const {
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i)
            list.push_back(arrays.sources[i] ? arrays.sources[i] : "<null>");
        return list;
    }
};

struct Record {
    CommandRecord value{};
    ~Record() { ClearCommandRecord(&value); }
};

// A fresh folder that becomes the current folder; both are undone at the end.
class TempFolder {
  public:
    TempFolder() : saved_(fs::current_path()) {
        fs::path folder;
        do
            folder =
                fs::temp_directory_path() / ("kn_jobs_" + std::to_string(std::random_device()()));
        while (!fs::create_directory(folder));
        path_ = fs::canonical(folder).string();
        fs::current_path(path_);
    }
    ~TempFolder() {
        fs::current_path(saved_);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }
    void Touch(const std::string &relative) const {
        fs::path file = fs::path(path_) / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "x";
    }

  private:
    fs::path saved_;
    std::string path_;
};

TEST(MakeFullName, CompletesOnlyNamesWithoutFolder) {
    TempFolder temp;
    struct Case {
        const char *label;
        const char *name;
        std::string expected;
    };
    const Case cases[] = {
        {"bare name gets the current folder", "a.wav", temp.path() + NativePath("/a.wav")},
        {"wildcards are kept", "*.wav", temp.path() + NativePath("/*.wav")},
        {"relative name with a folder stays", "sub/a.wav", NativePath("sub/a.wav")},
#if !defined(_WIN32)
        {"full name stays", "/music/a.wav", "/music/a.wav"},
        {"name below the root stays", "/a.wav", "/a.wav"},
#endif
    };
    for (const Case &c : cases) {
        Text name(NativePath(c.name).c_str());
        MakeFullName(&name.value);
        EXPECT_EQ(Show(name.value), Show(c.expected.c_str())) << c.label;
    }
    char *none = nullptr;
    MakeFullName(&none);
    EXPECT_EQ(none, nullptr) << "a missing name stays missing";
}

TEST(GetJobFileName, IsTempDatBesideTheProgram) {
    const std::string program = platform::GetExecutablePath();
    const std::string expected =
        program.substr(0, program.rfind(platform::kPathSeparator)) + NativePath("/temp.dat");
    Text name("previous value is replaced");
    GetJobFileName(&name.value);
    EXPECT_EQ(Show(name.value), Show(expected.c_str()));
}

TEST(AddJob, NamesOutputsFromMaskAndSubFolder) {
    struct Case {
        const char *label;
        const char *source;
        const char *mask;
        const char *subFolder;
        const char *expected;
    };
    const Case cases[] = {
        {"-RECURSIVE copy keeps the sub-folder", "/in/rock/a.wav", "/out/*.mp3", "/rock",
         "/out/rock/a.mp3"},
        {"-RECURSIVE copy two levels deep", "/in/rock/live/a.wav", "/out/*.mp3", "/rock/live",
         "/out/rock/live/a.mp3"},
        {"-RECURSIVE alone flattens", "/in/rock/a.wav", "/out/*.mp3", nullptr, "/out/a.mp3"},
        {"mask with a fixed name", "/in/a.wav", "/out/b.flac", nullptr, "/out/b.flac"},
        {"no mask gives the bare name", "/in/a.wav", nullptr, nullptr, "a"},
        {"no mask with a sub-folder", "/in/rock/a.wav", nullptr, "/rock", "rock/a"},
    };
    for (const Case &c : cases) {
        const std::string source = NativePath(c.source);
        const std::string mask = NativePath(c.mask ? c.mask : "");
        const std::string subFolder = NativePath(c.subFolder ? c.subFolder : "");
        Jobs jobs;
        AddJob(source.c_str(), c.mask ? mask.c_str() : nullptr,
               c.subFolder ? subFolder.c_str() : nullptr, &jobs.arrays, &jobs.count, 1);
        ASSERT_EQ(jobs.count, 1) << c.label;
        EXPECT_EQ(Show(jobs.arrays.sources[0]), Show(source.c_str())) << c.label;
        EXPECT_EQ(Show(jobs.arrays.outputs[0]), Show(NativePath(c.expected).c_str())) << c.label;
    }
}

TEST(AddJob, KeepsEveryEntryInOrderAcrossGrowth) {
    Jobs jobs;
    const int total = 70;
    for (int i = 0; i < total; ++i) {
        const std::string source = NativePath("/in/f" + std::to_string(i) + ".wav");
        AddJob(source.c_str(), NativePath("/out/*.mp3").c_str(), nullptr, &jobs.arrays, &jobs.count,
               1);
    }
    ASSERT_EQ(jobs.count, total);
    for (int i = 0; i < total; ++i) {
        EXPECT_EQ(Show(jobs.arrays.sources[i]),
                  Show(NativePath("/in/f" + std::to_string(i) + ".wav").c_str()));
        EXPECT_EQ(Show(jobs.arrays.outputs[i]),
                  Show(NativePath("/out/f" + std::to_string(i) + ".mp3").c_str()));
    }
}

TEST(AddJob, SkipsSourcesNoDecoderClaimsUnlessForced) {
    Jobs jobs;
    AddJob("/in/a.wav", "/out/*.mp3", nullptr, &jobs.arrays, &jobs.count, 0);
    EXPECT_EQ(jobs.count, 0) << "no decoder is loaded in this test";
    AddJob("/in/a.wav", "/out/*.mp3", nullptr, &jobs.arrays, &jobs.count, 1);
    EXPECT_EQ(jobs.count, 1);
}

// Scans in show-ID mode (every file offered) and returns the sources found, as relative names.
std::vector<std::string> ScanShowId(const TempFolder &temp, const std::string &pattern,
                                    int recursive) {
    Record record;
    record.value.mode = kModeShowId;
    record.value.recursive = recursive;
    Jobs jobs;
    const std::string full = temp.path() + NativePath("/" + pattern);
    ScanFolder(&record.value, full.c_str(), nullptr, &jobs.arrays, &jobs.count, nullptr, 0);
    std::vector<std::string> found;
    for (const std::string &source : jobs.Sources())
        found.push_back(source.substr(temp.path().size() + 1));
    return found;
}

TEST(ScanFolder, RecursivePassesComeInTheirOrder) {
    TempFolder temp;
    for (const char *file : {"in/b.wav", "in/a.wav", "in/.hidden.wav", "in/c.mp3", "in/rock/r.wav",
                             "in/rock/live/l.wav", "in/.secret/s.wav", "in/x.wav/inner.wav"})
        temp.Touch(file);
    struct Case {
        const char *label;
        const char *pattern;
        int recursive;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"no recursion: matching entries, hidden ones left out",
         "in/*.wav",
         0,
         {"in/a.wav", "in/b.wav", "in/x.wav"}},
        {"a folder the pattern matches is searched once, where it is met",
         "in/*.wav",
         1,
         {"in/a.wav", "in/b.wav", "in/x.wav/inner.wav", "in/x.wav", "in/.secret/s.wav",
          "in/rock/r.wav", "in/rock/live/l.wav"}},
        {"*.* makes no second pass",
         "in/*.*",
         1,
         {"in/.secret/s.wav", "in/a.wav", "in/b.wav", "in/c.mp3", "in/rock/live/l.wav",
          "in/rock/live", "in/rock/r.wav", "in/rock", "in/x.wav/inner.wav", "in/x.wav"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> expected;
        for (const std::string &name : c.expected)
            expected.push_back(NativePath(name));
        EXPECT_EQ(ScanShowId(temp, c.pattern, c.recursive), expected) << c.label;
    }
}

TEST(ScanFolder, LinkBackUpTheTreeIsNotFollowed) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs symbolic links";
#endif
    TempFolder temp;
    temp.Touch("in/a.wav");
    fs::create_directory_symlink(temp.path() + "/in", temp.path() + "/in/loop");
    const std::vector<std::string> expected = {"in/a.wav"};
    EXPECT_EQ(ScanShowId(temp, "in/*.wav", 1), expected);
}

TEST(ParseSetIdSafe, TakesTheSafeWordOnlyBeforeMoreText) {
    struct Case {
        const char *label;
        const char *argument;
        int safe;
        const char *rest;
    };
    const Case cases[] = {
        {"safe word and a blank", "safe idv2: TITL=x", 1, " idv2: TITL=x"},
        {"any letter case", "SaFe id: TITL=x", 1, " id: TITL=x"},
        {"the word alone is too short", "SAFE", 0, "SAFE"},
        {"five characters are too short", "safeX", 0, "safeX"},
        {"the word glued to a field", "safetitle=x", 1, "title=x"},
        {"no safe word", "idv1: TITL=x", 0, "idv1: TITL=x"},
        {"no argument", nullptr, 0, nullptr},
    };
    for (const Case &c : cases) {
        Record record;
        record.value.setIdSafe = 7;
        AssignString(c.argument, &record.value.setIdArg);
        ParseSetIdSafe(&record.value);
        EXPECT_EQ(record.value.setIdSafe, c.safe) << c.label;
        EXPECT_EQ(Show(record.value.setIdArg), Show(c.rest)) << c.label;
    }
}

TEST(ApplySetIdFields, FailsWithoutArgumentOrTagger) {
    Record record;
    EXPECT_EQ(ApplySetIdFields(&record.value), 0) << "no argument";
    AssignString(" idv2: TITL=x", &record.value.setIdArg);
    EXPECT_EQ(ApplySetIdFields(&record.value), 0) << "no tag plug-in loaded";
}

} // namespace
