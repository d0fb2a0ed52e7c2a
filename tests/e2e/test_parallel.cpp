// Batches in worker processes, through the console program with the real WAV, FLAC and MP3
// plug-ins: the program's own options, a parallel run against a run in one process,
// --skip-existing, --dry-run, -DELSOURCE, Ctrl-C once and twice, and --split with GNU
// parallel running the parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSources = 7;
const std::string kBroken = "in/s4.wav"; // the one source no decoder reads

// Every file below `folder` with its size and time, to see that a run changed nothing.
std::map<std::string, std::string> Snapshot(const std::string &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        const std::string stamp =
            entry.is_regular_file()
                ? std::to_string(entry.file_size()) + "@" +
                      std::to_string(entry.last_write_time().time_since_epoch().count())
                : "folder";
        files[fs::relative(entry.path(), folder).string()] = stamp;
    }
    return files;
}

std::vector<std::string> SortedLines(const std::string &text) {
    std::vector<std::string> lines = SplitLines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

class ParallelTest : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "sox and the shell run only on the native build";
#endif
        if (!Shell("command -v sox"))
            GTEST_SKIP() << "sox is not installed";
        for (const char *plugin :
             {"plugins/in/wave", "plugins/out/wave", "plugins/out/flac", "plugins/out/mp3"}) {
            if (!sandbox.AddBuiltPlugin(plugin))
                GTEST_SKIP() << plugin << " is not built";
        }
    }

    // Sources of different lengths, so that the biggest-first order is not the lines' order,
    // and one that is not a WAV file.
    void MakeSources(double seconds = 0.4) {
        fs::create_directories(sandbox.Path("in"));
        for (int i = 1; i <= kSources; ++i) {
            const std::string name = sandbox.Path("in/s" + std::to_string(i) + ".wav");
            const double length = seconds * (1 + (i * 3) % kSources);
            ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 -b 16 " + Quote(name) + " synth " +
                              std::to_string(length) + " pinknoise vol 0.3"));
        }
        sandbox.WriteFile(kBroken, "RIFF, but not a WAV file");
    }

    // Sets a source's time after its output's, as an edit of the source would.
    void Touch(const std::string &source) {
        fs::last_write_time(sandbox.Path(source),
                            fs::file_time_type::clock::now() + std::chrono::seconds(5));
    }

    std::string Kernova() const {
        return sandbox.app + "/kernova";
    }

    Sandbox sandbox;
};

TEST_F(ParallelTest, OptionsAreTheProgramsOwnAndNeverReachTheCore) {
    const std::string range = "kernova: error: --jobs needs a number from 1 to 256";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;     // stderr, byte for byte
        std::string outHead; // how stdout begins
    };
    const Case cases[] = {
        {{"--jobs", "0", "-LISTENC"}, 2, range + ", not \"0\"\n", ""},
        {{"--jobs=x", "-LISTENC"}, 2, range + ", not \"x\"\n", ""},
        {{"-LISTENC", "--jobs"}, 2, range + "\n", ""},
        {{"--frobnicate", "-LISTENC"},
         2,
         "kernova: error: unknown option --frobnicate (kernova --help lists the options)\n",
         ""},
        {{"--quiet=yes", "-LISTENC"}, 2, "kernova: error: --quiet takes no value\n", ""},
        {{"--dry-run", "-LISTENC"},
         2,
         "kernova: error: --dry-run needs a conversion or -BATCH with a batch file, without "
         "-SETID, -STREAM or -DEBUG\n",
         ""},
        {{"--split", "2"},
         2,
         "kernova: error: --split needs one batch file: kernova --split N "
         "FILE\n",
         ""},
        {{"--jobs", "3", "-LISTENC", "--quiet"}, 0, "", "flac  flac - FLAC"},
        {{"--", "--jobs"}, 1, "", "ERROR: unknown key --jobs\n\n"},
        {{"--version"}, 0, "", "kernova "},
        {{"--help"}, 0, "", "Usage: kernova "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const RunResult result = sandbox.Run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out.rfind(c.outHead, 0), 0u) << result.out;
    }
    EXPECT_NE(sandbox.Run({"--help"}).out.find("--skip-existing"), std::string::npos);
}

TEST_F(ParallelTest, WorkersPrintAndWriteWhatOneProcessDoes) {
    MakeSources();
    ASSERT_EQ(
        sandbox.Run({"-I", "in/*.wav", "-O", "out/*.flac", "-CREATEBATCH", "all.xfb"}).exitCode, 0);
    // A last line that writes the output of the shortest source again, from the longest one:
    // the output must end as the later line leaves it, though the longest sources go first.
    std::string batch = sandbox.ReadText("all.xfb");
    for (const std::string &line : SplitLines(batch)) {
        const auto at = line.find("in/s7.wav");
        if (at != std::string::npos)
            batch += std::string(line).replace(at, 9, "in/s2.wav") + "\n";
    }
    sandbox.WriteFile("all.xfb", batch);
    const std::vector<std::vector<std::string>> commands = {
        {"-I", "in/*.wav", "-O", "out/*.flac"},
        {"-I", "in/*.wav", "-O", "out/*", "-ENC", "flac", "-ENCPARAM", "l:8"},
        {"-BATCH", "all.xfb"},
    };
    for (const auto &command : commands) {
        const std::string converted = command[0] == "-BATCH" ? "7" : "6";
        SCOPED_TRACE(command.back());
        std::vector<std::string> one{"--jobs", "1"};
        one.insert(one.end(), command.begin(), command.end());
        const RunResult alone = sandbox.Run(one);
        const auto made = Snapshot(sandbox.Path("out"));
        std::map<std::string, std::string> written;
        for (const auto &[name, stamp] : made)
            written[name] = sandbox.ReadFile("out/" + name);
        EXPECT_EQ(alone.exitCode, 1);
        EXPECT_EQ(
            alone.summary.rfind("kernova: " + converted + " converted, 1 failed, 0 skipped", 0), 0u)
            << alone.summary;
        EXPECT_EQ(written.size(), 6u);
        const std::vector<std::vector<std::string>> runs = {
            {"--jobs", "2"}, {"--jobs", "4"}, {"--jobs", "2", "--quiet"}};
        for (std::vector<std::string> many : runs) {
            const bool quiet = many.size() == 3;
            SCOPED_TRACE(many[1] + (quiet ? " --quiet" : ""));
            fs::remove_all(sandbox.Path("out"));
            many.insert(many.end(), command.begin(), command.end());
            const RunResult parallel = sandbox.Run(many);
            // The same lines, job by job in the order of the job lines, and the same files;
            // --quiet keeps the errors only.
            EXPECT_EQ(parallel.out, quiet ? "" : alone.out);
            EXPECT_EQ(parallel.err, alone.err);
            EXPECT_EQ(parallel.exitCode, 1);
            EXPECT_EQ(parallel.summary.substr(0, 45), quiet ? "" : alone.summary.substr(0, 45));
            EXPECT_EQ(Snapshot(sandbox.Path("out")).size(), written.size());
            for (const auto &[name, content] : written)
                EXPECT_TRUE(sandbox.ReadFile("out/" + name) == content) << name;
        }
        fs::remove_all(sandbox.Path("out"));
    }
}

TEST_F(ParallelTest, SkipExistingConvertsOnlyOutputsOlderThanTheirSources) {
    MakeSources();
    fs::remove(sandbox.Path(kBroken));
    // Without an extension in the mask the encoder's own one names the output.
    const std::vector<std::string> command = {"--skip-existing", "-I",   "in/*.wav", "-O",
                                              "out/*",           "-ENC", "wave"};
    const RunResult first = sandbox.Run(command);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(first.summary.rfind("kernova: 6 converted, 0 failed, 0 skipped in ", 0), 0u)
        << first.summary;
    const auto converted = Snapshot(sandbox.Path("out"));

    const RunResult second = sandbox.Run(command);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.summary.rfind("kernova: 0 converted, 0 failed, 6 skipped in ", 0), 0u);
    EXPECT_EQ(Snapshot(sandbox.Path("out")), converted);
    std::string skipped;
    for (const char *name : {"s1", "s2", "s3", "s5", "s6", "s7"})
        skipped += "out/" + std::string(name) +
                   ".wav: skipped, the output is newer than its "
                   "source\n";
    EXPECT_EQ(second.out, skipped);

    Touch("in/s6.wav");
    const RunResult third = sandbox.Run(command);
    EXPECT_EQ(third.exitCode, 0);
    EXPECT_EQ(third.summary.rfind("kernova: 1 converted, 0 failed, 5 skipped in ", 0), 0u)
        << third.summary;
    const auto after = Snapshot(sandbox.Path("out"));
    for (const auto &[name, stamp] : converted)
        EXPECT_EQ(after.at(name) == stamp, name != "s6.wav") << name;
}

TEST_F(ParallelTest, DryRunShowsEachJobAndWritesNothing) {
    MakeSources();
    // Written after the sources, so newer than its own.
    sandbox.WriteFile("out/s2.wav", "an earlier output");
    const auto before = Snapshot(sandbox.work);
    const RunResult named = sandbox.Run({"--dry-run", "--skip-existing", "-I", "in/*.wav", "-O",
                                         "out/*", "-ENC", "WAVE", "-ENCPARAM", "b:16"});
    EXPECT_EQ(named.exitCode, 0);
    const std::string s1 = "encoder:    WAVE\nparameters: b:16\ninput:      in/s1.wav\n"
                           "output:     out/s1.wav\n\n";
    EXPECT_EQ(named.out.rfind(s1 + "out/s2.wav: skipped, the output is newer than its source\n"
                                   "encoder:    WAVE\n",
                              0),
              0u)
        << named.out;
    const RunResult automatic = sandbox.Run({"--dry-run", "-I", "in/s1.wav", "-O", "out/*.flac"});
    EXPECT_EQ(automatic.out, "encoder:    flac\nparameters: default settings\n"
                             "input:      in/s1.wav\noutput:     out/s1.flac\n\n");
    EXPECT_EQ(Snapshot(sandbox.work), before);
}

TEST_F(ParallelTest, DelsourceDeletesExactlyTheSourcesWhoseOutputsWereMade) {
    MakeSources();
    const RunResult result =
        sandbox.Run({"--jobs", "3", "-I", "in/*.wav", "-O", "out/*.wav", "-DELSOURCE"});
    EXPECT_EQ(result.exitCode, 1);
    for (int i = 1; i <= kSources; ++i) {
        const std::string name = "s" + std::to_string(i) + ".wav";
        const bool broken = "in/" + name == kBroken;
        EXPECT_EQ(sandbox.Exists("in/" + name), broken) << name;
        EXPECT_EQ(sandbox.Exists("out/" + name), !broken) << name;
    }
}

// A worker holds the next line behind its job; when it dies, only its job fails and the line
// behind it runs in a new worker.
TEST_F(ParallelTest, AWorkerThatDiesFailsOnlyItsJob) {
    sandbox.AddFake("fake_decoder", "plugins/in", "dies");
    sandbox.env["DIES_EXIT_ON"] = "c.pcm";
    // The biggest source goes first, so c.pcm and a.pcm go to the first worker.
    const std::map<std::string, int> sizes = {
        {"c", 60}, {"a", 50}, {"b", 40}, {"d", 30}, {"e", 20}};
    for (const auto &[name, size] : sizes)
        sandbox.WriteFile("in/" + name + ".pcm", std::string(size, 'x'));
    const RunResult result = sandbox.Run({"--jobs", "2", "-I", "in/*.pcm", "-O", "out/*.wav"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.summary.rfind("kernova: 4 converted, 1 failed, 0 skipped", 0), 0u)
        << result.summary;
    EXPECT_NE(result.err.find("kernova: error: " + NativePath("in/c.pcm") +
                              ": the worker process ended before the job did"),
              std::string::npos)
        << result.err;
    for (const auto &[name, size] : sizes)
        EXPECT_EQ(sandbox.Exists("out/" + name + ".wav"), name != "c") << name;
}

// Runs the shell script, which leaves "<exit status> <processes of this install still there>"
// in `report`.
std::pair<int, int> RunReported(const std::string &script, const std::string &report) {
    EXPECT_EQ(std::system(("sh -c " + Quote(script)).c_str()), 0);
    std::ifstream in(report);
    int status = -1;
    int left = -1;
    in >> status >> left;
    return {status, left};
}

// A few moments and presses; scripts/interrupt-trials.sh makes twenty at random.
TEST_F(ParallelTest, CtrlCLeavesOnlyWholeOutputsAndNoWorker) {
    MakeSources(1.0);
    // The run's private folder goes into `temp`, which every run must leave empty.
    const std::string temp = sandbox.root + "/temp";
    fs::create_directories(temp);
    const std::string command = "TMPDIR=" + Quote(temp) + " " + Quote(Kernova()) +
                                " --jobs 4 -I 'in/*.wav' -O 'out/*.mp3' >/dev/null 2>&1";
    const std::string report = sandbox.root + "/report.txt";
    // Only the program's own processes begin their command line with its path.
    const std::string left = "$(pgrep -f " + Quote("^" + Kernova()) + " | wc -l)";
    const std::string cd = "cd " + Quote(sandbox.work) + " && ";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunReported(cd + command + "; echo $? 0 >" + Quote(report), report).first, 1);
    const std::chrono::duration<double> run = std::chrono::steady_clock::now() - start;
    std::map<std::string, std::string> whole;
    for (const auto &[name, stamp] : Snapshot(sandbox.Path("out")))
        whole[name] = sandbox.ReadFile("out/" + name);
    ASSERT_EQ(whole.size(), 6u);
    struct Trial {
        double moment; // of the first Ctrl-C, as a share of the uninterrupted run
        bool twice;    // a second Ctrl-C right after the first
    };
    for (const Trial &trial :
         {Trial{0.05, false}, Trial{0.3, false}, Trial{0.05, true}, Trial{0.3, true}}) {
        const double delay = trial.moment * run.count();
        SCOPED_TRACE("Ctrl-C after " + std::to_string(delay) + " s" +
                     (trial.twice ? ", twice" : ""));
        fs::remove_all(sandbox.Path("out"));
        const std::string press = "sleep " + std::to_string(delay) + "; kill -INT $pid; " +
                                  (trial.twice ? "kill -INT $pid; " : "");
        const auto [status, processesLeft] =
            RunReported(cd + "{ " + command + " & pid=$!; " + press + "wait $pid; echo $? " + left +
                            " >" + Quote(report) + "; }",
                        report);
        EXPECT_EQ(processesLeft, 0);
        EXPECT_TRUE(fs::is_empty(temp));
        // A run that ended before the second press ends as after one.
        EXPECT_TRUE(status == 1 || (trial.twice && status == 130)) << status;
        if (!fs::exists(sandbox.Path("out")))
            continue;
        for (const auto &[name, stamp] : Snapshot(sandbox.Path("out"))) {
            const auto known = whole.find(name);
            ASSERT_NE(known, whole.end()) << name;
            EXPECT_TRUE(sandbox.ReadFile("out/" + name) == known->second) << name;
        }
    }
}

// Two presses while the jobs of a big tree are being listed: the program ends at once, and takes
// the run's private folder with it.
TEST_F(ParallelTest, SecondCtrlCWhileListingLeavesNoPrivateFolder) {
    fs::create_directories(sandbox.Path("many"));
    for (int i = 0; i < 10000; ++i)
        std::ofstream(sandbox.Path("many/f" + std::to_string(i) + ".wav"));
    const std::string temp = sandbox.root + "/temp";
    fs::create_directories(temp);
    const std::string report = sandbox.root + "/report.txt";
    for (const char *moment : {"0.01", "0.02", "0.04", "0.08"}) {
        SCOPED_TRACE(std::string("Ctrl-C after ") + moment + " s");
        const auto [status, unused] = RunReported(
            "cd " + Quote(sandbox.work) + " && { TMPDIR=" + Quote(temp) + " " + Quote(Kernova()) +
                " --jobs 2 -I 'many/*.wav' -O 'out/*.flac' >/dev/null 2>&1 & pid=$!; sleep " +
                moment + "; kill -INT $pid; sleep 0.005; kill -INT $pid; wait $pid; echo $? 0 >" +
                Quote(report) + "; }",
            report);
        EXPECT_TRUE(status == 130 || status == 1) << status;
        EXPECT_TRUE(fs::is_empty(temp));
    }
}

TEST_F(ParallelTest, SplitPartsHoldEveryLineOnceAndGnuParallelRunsThem) {
    MakeSources();
    fs::remove(sandbox.Path(kBroken));
    ASSERT_EQ(
        sandbox.Run({"-I", "in/*.wav", "-O", "out/*.flac", "-CREATEBATCH", "all.xfb"}).exitCode, 0);
    const RunResult split = sandbox.Run({"--split", "3", "all"});
    EXPECT_EQ(split.exitCode, 0);
    EXPECT_EQ(split.out, "all-1.xfb\nall-2.xfb\nall-3.xfb\n");
    std::string joined;
    std::vector<std::uintmax_t> work;
    for (const std::string &part : SplitLines(split.out)) {
        const std::string text = sandbox.ReadText(part);
        joined += text;
        std::uintmax_t bytes = 0;
        for (const std::string &line : SplitLines(text)) {
            const auto start = line.find("|-I| |") + 6;
            bytes += fs::file_size(sandbox.Path(line.substr(start, line.find('|', start) - start)));
        }
        work.push_back(bytes);
    }
    EXPECT_EQ(SortedLines(joined), SortedLines(sandbox.ReadText("all.xfb")));
    // Biggest first into the lightest part: no part exceeds another by more than a source.
    std::uintmax_t biggest = 0;
    for (const auto &entry : fs::directory_iterator(sandbox.Path("in")))
        biggest = std::max(biggest, entry.file_size());
    const auto [lightest, heaviest] = std::minmax_element(work.begin(), work.end());
    EXPECT_LE(*heaviest - *lightest, biggest);

    if (!Shell("command -v parallel"))
        GTEST_SKIP() << "GNU parallel is not installed";
    const std::string report = sandbox.root + "/report.txt";
    const auto [status, unused] = RunReported(
        "cd " + Quote(sandbox.work) + " && parallel --will-cite --sshlogin : " + Quote(Kernova()) +
            " -BATCH {} ::: all-1.xfb all-2.xfb all-3.xfb >/dev/null "
            "2>&1; echo $? 0 >" +
            Quote(report),
        report);
    EXPECT_EQ(status, 0);
    for (const auto &entry : fs::directory_iterator(sandbox.Path("in")))
        EXPECT_TRUE(sandbox.Exists("out/" + entry.path().stem().string() + ".flac"))
            << entry.path();
}

} // namespace
