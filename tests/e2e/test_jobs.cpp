// The job file and batch files, run through the probe host: what each command writes into
// temp.dat, how batch files are found and run, and when a run stops or is refused.
#include <algorithm>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/fixtures/harness.h"

namespace {

std::string Probed(const std::string &body, int result, int last) {
    return "INIT 1\n" + body + "R " + std::to_string(result) + " last=" + std::to_string(last) +
           "\n";
}

// The lines a show-ID job sends for a file the tagger holds no tag for.
std::string ShowIdWithoutTags(const std::string &name) {
    return "M 201 " + name + "\nM 64\nM 97\n";
}

// An installed program whose decoder claims .wav and whose encoder writes .flac.
class JobsTest : public ::testing::Test {
  protected:
    JobsTest() {
        sandbox.AddFake("fake_decoder", "plugins/in", "dec");
        sandbox.AddFake("fake_encoder", "plugins/out", "enc");
        sandbox.AddFake("fake_tagger", "plugins", "idtagger");
        sandbox.env["DEC_EXTENSIONS"] = "wav|Wave";
        sandbox.env["ENC_EXTENSION"] = "flac";
        // The conversions fail at once: these tests are about which jobs run, not their audio.
        sandbox.env["DEC_PLAY_RESULT"] = "1";
        work = sandbox.work;
    }

    std::string JobFile() const { return sandbox.app + NativePath("/temp.dat"); }

    // Job lines of blank-separated items, "{in}" and "{out}" standing for work/in and work/out.
    std::string Jobs(const Lines &lines) const {
        std::string text;
        for (const std::string &line : lines) {
            std::istringstream items(line);
            std::string joined;
            for (std::string item; items >> item;) {
                for (const auto &[name, folder] :
                     {std::pair{"{in}", "/in"}, std::pair{"{out}", "/out"}})
                    if (item.rfind(name, 0) == 0)
                        item = work + folder + item.substr(std::string(name).size());
                joined += (joined.empty() ? "|" : " |") + NativePath(item) + "|";
            }
            text += joined + "\n";
        }
        return text;
    }

    Sandbox sandbox;
    std::string work;
};

TEST_F(JobsTest, JobFileHoldsOneLinePerSource) {
    for (const char *file :
         {"in/b.wav", "in/a.wav", "in/.h.wav", "in/c.txt", "in/rock/r.wav", "in/rock/.h2.wav"})
        sandbox.WriteFile(file, "x");
    struct Case {
        const char *label;
        std::string cwd;
        std::string command;
        std::string jobFile;
    };
    const std::string in = work + NativePath("/in"), out = work + NativePath("/out");
    const Case cases[] = {
        {"bare wildcard: full names, no hidden file, no file without decoder", in,
         "-I *.wav -O " + out + NativePath("/*.flac"),
         Jobs({"-I {in}/a.wav -O {out}/a.flac -ENC AUTO",
               "-I {in}/b.wav -O {out}/b.flac -ENC AUTO"})},
        {"a relative folder stays relative", work, NativePath("-I in/*.wav -O out/*.flac"),
         Jobs({"-I in/a.wav -O out/a.flac -ENC AUTO", "-I in/b.wav -O out/b.flac -ENC AUTO"})},
        {"-RECURSIVE copy mirrors the sub-folder and is not written", in,
         "-I *.wav -O " + out + NativePath("/*.flac -RECURSIVE copy -ENC enc -CPU 3"),
         Jobs({"-I {in}/a.wav -O {out}/a.flac -ENC enc -CPU 3",
               "-I {in}/b.wav -O {out}/b.flac -ENC enc -CPU 3",
               "-I {in}/rock/r.wav -O {out}/rock/r.flac -ENC enc -CPU 3"})},
        {"-RECURSIVE alone puts every output into one folder", in,
         "-I *.wav -O " + out + NativePath("/*.flac -RECURSIVE"),
         Jobs({"-I {in}/a.wav -O {out}/a.flac -ENC AUTO", "-I {in}/b.wav -O {out}/b.flac -ENC AUTO",
               "-I {in}/rock/r.wav -O {out}/r.flac -ENC AUTO"})},
        {"show-ID offers every visible entry, folders too", in, "-I *.* -SHOWID",
         Jobs({"-I {in}/a.wav -SHOWID", "-I {in}/b.wav -SHOWID", "-I {in}/c.txt -SHOWID",
               "-I {in}/rock -SHOWID"})},
        {"a listing is one line", work, "-LISTENC", "|-LISTENC|\n"},
        {"help is one line", work, "-HELP CPU", "|-HELP| |CPU|\n"},
        {"-STREAM takes the input as it stands; a source without extension gives none", work,
         "-I http://radio/live -O x.flac -STREAM",
         "|-I| |http://radio/live| |-O| |" + work + NativePath("/x| |-ENC| |AUTO| |-STREAM|\n")},
    };
    for (const Case &c : cases) {
        const RunResult run = sandbox.Probe({c.command}, c.cwd);
        EXPECT_EQ(sandbox.ReadText(JobFile()), c.jobFile) << c.label;
        EXPECT_NE(run.out.find("R 1 last="), std::string::npos) << c.label << "\n" << run.out;
    }
}

// Whatever the pattern, every folder is searched once and every file gives one job.
TEST_F(JobsTest, EachSourceGivesOneJob) {
    for (const char *file : {"in/a.wav", "in/x.wav/inner.wav", "in/d.e/f.g/deep.wav",
                             "in/d.e/mid.wav", "in/sub/s.wav", "in/sub/t.txt"})
        sandbox.WriteFile(file, "x");
    const std::string in = work + NativePath("/in/");
    const std::string all = "a.wav d.e/f.g/deep.wav d.e/mid.wav sub/s.wav x.wav/inner.wav";
    struct Case {
        const char *pattern;
        const char *recursion;
        std::string sources; // sorted, relative to in/
    };
    const Case cases[] = {
        {"*", "-RECURSIVE", all},
        {"*", "-RECURSIVE copy", all},
        {"*.*", "-RECURSIVE", all},
        {"*.*", "-RECURSIVE copy", all},
        {"*.wav", "-RECURSIVE", all},
        {"*.wav", "-RECURSIVE copy", all},
        {"", "-RECURSIVE copy", all},
        {"*.wav", "", "a.wav"},
        {"d.e/*", "-RECURSIVE copy", "d.e/f.g/deep.wav d.e/mid.wav"},
        // A folder named without the final separator is the same as with it.
        {"d.e", "-RECURSIVE copy", "d.e/f.g/deep.wav d.e/mid.wav"},
        {"x.wav", "", "x.wav/inner.wav"},
    };
    for (const Case &c : cases) {
        const std::string command = "-I " + in + NativePath(c.pattern) + " -O " + work +
                                    NativePath("/out/*.flac ") + c.recursion;
        sandbox.Probe({command});
        Lines sources;
        for (const std::string &line : SplitLines(sandbox.ReadText(JobFile()))) {
            const size_t from = line.find(in) + in.size();
            sources.push_back(line.substr(from, line.find('|', from) - from));
        }
        std::sort(sources.begin(), sources.end());
        std::string joined;
        for (const std::string &source : sources)
            joined += (joined.empty() ? "" : " ") + source;
        EXPECT_EQ(joined, NativePath(c.sources)) << command;
    }
}

TEST_F(JobsTest, CreateBatchWritesConversionsOnly) {
    sandbox.WriteFile("in/a.wav", "x");
    sandbox.WriteFile("in/rock/r.wav", "x");
    const std::string in = work + NativePath("/in");
    const RunResult run =
        sandbox.Probe({"-CREATEBATCH " + NativePath("new/b.txt -I ") + in +
                       NativePath("/*.wav -O out/*.flac -RECURSIVE -SETID id: TITL=x")});
    EXPECT_EQ(run.out, Probed("Batch file created:\n" + NativePath("new/b.txt\n"), 1, 0));
    EXPECT_EQ(sandbox.ReadText(NativePath("new/b.txt")),
              Jobs({"-I {in}/a.wav -O out/a.flac -ENC AUTO",
                    "-I {in}/rock/r.wav -O out/r.flac -ENC AUTO"}));
    EXPECT_FALSE(sandbox.Exists(JobFile())) << "the job file is not touched";
}

TEST_F(JobsTest, CommandsWithoutJobsAreRefused) {
    sandbox.WriteFile("in/a.wav", "x");
    sandbox.WriteFile("in/b.wav", "x");
    sandbox.WriteFile("in/rock/a.wav", "x");
    sandbox.WriteFile("in/rock/b.wav", "x");
    sandbox.WriteFile("in/sub/b.wav", "x");
    sandbox.WriteFile("in/c.txt", "x");
    sandbox.WriteFile("in/x.wav/inner.wav", "x");
    const std::string in = work + NativePath("/in");
    struct Case {
        const char *label;
        std::string command;
        std::string messages;
    };
    const Case cases[] = {
        {"no source file: the pattern is named", NativePath("-I in/*.mp3 -O out/*.flac"),
         NativePath("Error...\nE 13 in/*.mp3\n")},
        {"no source file for a batch file",
         NativePath("-CREATEBATCH none.txt -I in/*.mp3 -O out/*.flac"),
         NativePath("Error...\nE 13 in/*.mp3\n")},
        {"a batch file that cannot be created is named",
         NativePath("-CREATEBATCH in/a.wav/b.txt -I in/*.wav -O out/*.flac"),
         NativePath("Error...\nE 98 in/a.wav/b.txt\n")},
        {"an existing file that no decoder reads", NativePath("-I in/c.txt -O out/c.flac"),
         NativePath("Error...\nE 1 in/c.txt\n")},
        {"two sources, one output file", NativePath("-I in/*.wav -O out/x.flac"),
         NativePath("E 16 out/x.flac\nError...\nE 16\n")},
        {"two sources, one output file in a batch file",
         NativePath("-CREATEBATCH none.txt -I in/*.wav -O out/x.flac"),
         NativePath("E 16 out/x.flac\nError...\nE 16\n")},
        {"sub-folders flattened: every colliding output named once",
         "-I " + in + NativePath("/*.wav -O out/*.flac -RECURSIVE"),
         NativePath("E 16 out/a.flac\nE 16 out/b.flac\nError...\nE 16\n")},
    };
    sandbox.Probe({"-LISTENC"});
    for (const Case &c : cases) {
        const RunResult run = sandbox.Probe({c.command});
        EXPECT_EQ(run.out, Probed(c.messages, 0, 0)) << c.label;
        EXPECT_EQ(sandbox.ReadText(JobFile()), "|-LISTENC|\n") << c.label << ": nothing written";
    }
    EXPECT_FALSE(sandbox.Exists("none.txt"));
}

TEST_F(JobsTest, BatchFilesAreFoundAndRun) {
    const std::string job = "-I one.mp3 -SHOWID\n";
    sandbox.WriteFile("jobs.xfb", "|-I| |one.mp3| |-SHOWID|\r\n\n-\n-BOGUS x\n-I two.mp3 -SHOWID");
    sandbox.WriteFile("b/1.dbt", job);
    sandbox.WriteFile("b/2.dbt", "-I two.mp3 -SHOWID\n");
    sandbox.WriteFile("b/3.txt", job);
    sandbox.WriteFile("b/d.dbt/inner.dbt", job);
    sandbox.WriteFile("b/4.xfb", "-I four.mp3 -SHOWID\n");
    sandbox.WriteFile("b/job1", "-I five.mp3 -SHOWID\n");
    struct Case {
        const char *label;
        std::string command;
        std::string out;
    };
    const Case cases[] = {
        {"default extension; short, empty and refused lines skipped", "-BATCH jobs",
         Probed("Opening batch file :\njobs.xfb\n\n" + ShowIdWithoutTags("one.mp3") +
                    "ERROR: unknown key -BOGUS\n\nU\n" + ShowIdWithoutTags("two.mp3"),
                1, 97)},
        {"wildcard: files in name order, folders left out", NativePath("-BATCH b/*.dbt"),
         Probed(NativePath("Opening batch file :\nb/1.dbt\n\n") + ShowIdWithoutTags("one.mp3") +
                    NativePath("Opening batch file :\nb/2.dbt\n\n") + ShowIdWithoutTags("two.mp3"),
                1, 97)},
        {"a folder runs its batch files", "-BATCH " + work + NativePath("/b/"),
         Probed("Opening batch file :\n" + work + NativePath("/b/4.xfb\n\n") +
                    ShowIdWithoutTags("four.mp3"),
                1, 97)},
        {"a file of the name as given is run without the default extension",
         NativePath("-BATCH b/job1"),
         Probed(NativePath("Opening batch file :\nb/job1\n\n") + ShowIdWithoutTags("five.mp3"), 1,
                97)},
        {"no match: the name without a line end", "-BATCH missing",
         Probed("Cannot find batch file : missing.xfb", 0, 0)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sandbox.Probe({c.command}).out, c.out) << c.label;
}

TEST_F(JobsTest, BatchLineNamingABatchCommandIsNotExecutable) {
    sandbox.WriteFile("other.xfb", "-I nested.mp3 -SHOWID\n");
    sandbox.WriteFile("jobs.xfb", "-BATCH other\n|-BATCH| |jobs|\n"
                                  "-CREATEBATCH made.txt -I one.mp3 -O x.flac\n"
                                  "-I one.mp3 -SHOWID\n");
    const RunResult run = sandbox.Probe({"-BATCH jobs"});
    EXPECT_EQ(run.out, Probed("Opening batch file :\njobs.xfb\n\nM 93\nM 93\nM 93\n" +
                                  ShowIdWithoutTags("one.mp3"),
                              1, 97));
    EXPECT_FALSE(sandbox.Exists("made.txt"));
}

TEST_F(JobsTest, AbortStopsAfterTheCurrentJob) {
    for (const char *file : {"in/a.mp3", "in/b.mp3", "in/c.mp3"})
        sandbox.WriteFile(file, "x");
    const std::string in = work + NativePath("/in");
    const RunResult run =
        sandbox.Probe({"--abort-on=97", "-I " + in + NativePath("/*.mp3 -SHOWID"),
                       "-I " + in + NativePath("/*.mp3 -SHOWID"), "--clear-abort", "--abort-on=-1",
                       "-I " + in + NativePath("/*.mp3 -SHOWID")});
    const std::string a = ShowIdWithoutTags(in + NativePath("/a.mp3"));
    const std::string all = a + ShowIdWithoutTags(in + NativePath("/b.mp3")) +
                            ShowIdWithoutTags(in + NativePath("/c.mp3"));
    EXPECT_EQ(run.out,
              "INIT 1\n" + a + "R 0 last=97\n" + a + "R 0 last=97\n" + all + "R 1 last=97\n")
        << "a set flag stops the next command after its first job, until the host clears it";
}

TEST_F(JobsTest, AbortEndsTheWholeBatchCommand) {
    sandbox.WriteFile("b/1.xfb", "-I one.mp3 -SHOWID\n-I two.mp3 -SHOWID\n");
    sandbox.WriteFile("b/2.xfb", "-I three.mp3 -SHOWID\n");
    const RunResult run = sandbox.Probe({"--abort-on=97", NativePath("-BATCH b/*")});
    EXPECT_EQ(run.out,
              Probed(NativePath("Opening batch file :\nb/1.xfb\n\n") + ShowIdWithoutTags("one.mp3"),
                     0, 97));
}

TEST_F(JobsTest, LongJobLineRunsWhole) {
    const std::string name = std::string(5000, 'n') + ".mp3";
    sandbox.WriteFile("long.xfb", "-I short.mp3 -SHOWID\n|-I| |" + name + "| |-SHOWID|\n" +
                                      "-I after.mp3 -SHOWID\n");
    const RunResult run = sandbox.Probe({"-BATCH long"});
    EXPECT_EQ(run.out,
              Probed("Opening batch file :\nlong.xfb\n\n" + ShowIdWithoutTags("short.mp3") +
                         ShowIdWithoutTags(name) + ShowIdWithoutTags("after.mp3"),
                     1, 97));
}

} // namespace
