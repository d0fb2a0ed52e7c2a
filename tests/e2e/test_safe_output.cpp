// Outputs are written under a temporary name beside the output and take its place only when
// the whole job succeeded: what a failed, stopped or killed job leaves in the output folder,
// and the system's reason when a write fails. Run through the console program with the pattern
// decoder (plugins/in) and the pattern encoder or the real WAV encoder (plugins/out).
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const char kEarlier[] = "an earlier result";

// Byte i of the pattern decoder's stream.
std::string Pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(static_cast<uint32_t>(i * 2654435761u) >> 24);
    return bytes;
}

Lines NamesIn(const std::string &folder) {
    Lines names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The temporary name of <base>.<extension>: <base>.kernova-partial-<process id>.<extension>.
bool IsPartialNameOf(const std::string &name, const std::string &base,
                     const std::string &extension) {
    return std::regex_match(name, std::regex(base + R"(\.kernova-partial-[0-9]+\.)" + extension));
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class SafeOutputTest : public ::testing::Test {
  protected:
    SafeOutputTest() {
        sandbox.AddFake("fake_decoder", "plugins/in", "pcm_decoder");
        sandbox.AddFake("fake_encoder", "plugins/out", "pcm_encoder");
        sandbox.AddFake("fake_tagger", "plugins", "idtagger");
        sandbox.env["IDTAGGER_FILE_TYPES"] = "pcm=2,enc=2";
        sandbox.env["IDTAGGER_TAGS"] = "in.pcm|v2|0=Title";
        sandbox.timeoutSeconds = 60;
        work = fs::canonical(sandbox.work).string();
        folder = work + NativePath("/out");
        input = work + NativePath("/in.pcm");
        output = folder + NativePath("/song.enc");
        sandbox.WriteFile(input, "not audio: the pattern decoder never reads its input");
    }

    RunResult Convert(const std::string &keys) const {
        return sandbox.Run({"-I", input, "-O", output, "-ENC", "pcm_encoder" + keys});
    }

    // Event lines of one plug-in that begin with `event`, without the plug-in's name.
    Lines Events(const std::string &plugin, const std::string &event) const {
        Lines found;
        for (const std::string &line : sandbox.Events(plugin)) {
            if (line.rfind(event, 0) == 0)
                found.push_back(line);
        }
        return found;
    }

    Sandbox sandbox;
    std::string work;
    std::string folder;
    std::string input;
    std::string output;
};

TEST_F(SafeOutputTest, FailedOrStoppedJobLeavesTheFolderAsItWas) {
    struct Case {
        const char *label;
        std::map<std::string, std::string> env;
        std::string keys;
        std::string error; // a line on stderr, or none
        std::string result;
    };
    const Case cases[] = {
        {"a damaged input",
         {{"PCM_DECODER_ERROR_CODE", "31"}},
         "",
         "kernova: error: damaged or truncated stream (decoded up to the damage)",
         "failed"},
        {"the encoder fails mid-way",
         {{"PCM_ENCODER_ENCODE_FAIL_AFTER", "3"}},
         "",
         "kernova: error: " + output + ": encoding failed",
         "failed"},
        {"the job is stopped",
         {{"PCM_DECODER_ENDLESS", "1"}, {"PCM_DECODER_ABORT_AT", "20000"}},
         "",
         "",
         "stopped"},
        {"the copied tags cannot be written",
         {{"IDTAGGER_WRITE_FAIL", "1"}},
         " -COPYID",
         "kernova: error: writing the ID tags failed",
         "failed"},
        {"the set tags cannot be written",
         {{"IDTAGGER_WRITE_FAIL", "1"}},
         " -SETID id: TITL=x",
         "kernova: error: writing the ID tags failed",
         "failed"},
    };
    for (const Case &c : cases) {
        const auto saved = sandbox.env;
        for (const auto &[name, value] : c.env)
            sandbox.env[name] = value;
        sandbox.WriteFile(output, kEarlier);
        const RunResult run = Convert(c.keys + " -DELSOURCE");
        sandbox.env = saved;
        EXPECT_NE(run.exitCode, 0) << c.label;
        EXPECT_TRUE(Contains(run.out, c.result + "\n")) << c.label << "\n" << run.out;
        if (!c.error.empty()) {
            EXPECT_TRUE(Contains(run.err, c.error + "\n")) << c.label << "\n" << run.err;
        }
        EXPECT_EQ(sandbox.ReadFile(output), kEarlier) << c.label;
        EXPECT_EQ(NamesIn(folder), Lines{"song.enc"}) << c.label << ": nothing else is left";
        EXPECT_TRUE(sandbox.Exists(input)) << c.label << ": the source stays";
    }
}

TEST_F(SafeOutputTest, FinishedJobPutsTheOneFileItWroteInTheOutputsPlace) {
    struct Case {
        const char *label;
        std::map<std::string, std::string> env;
        Lines args;
        std::string written; // the output's file name in the output folder
        bool sourceDeleted;
    };
    const Case cases[] = {
        {"three passes write one file, then the source goes",
         {{"PCM_ENCODER_PASSES", "3"}},
         {"-I", input, "-O", output, "-ENC", "pcm_encoder -DELSOURCE"},
         "song.enc",
         true},
        {"tags are copied and set before the file takes its place",
         {},
         {"-I", input, "-O", output, "-ENC", "pcm_encoder -COPYID -SETID id: TITL=x"},
         "song.enc",
         false},
        {"the encoder test writes the same way",
         {{"PCM_ENCODER_TESTSETS", "q:1|first"}},
         {"-I", input, "-O", folder, "-ENC", "pcm_encoder -TESTENC"},
         "first.enc",
         false},
    };
    for (const Case &c : cases) {
        const auto saved = sandbox.env;
        for (const auto &[name, value] : c.env)
            sandbox.env[name] = value;
        sandbox.ClearEvents();
        fs::remove_all(folder);
        sandbox.WriteFile(input, "source");
        sandbox.WriteFile(folder + NativePath("/") + c.written, kEarlier);
        const RunResult run = sandbox.Run(c.args);
        sandbox.env = saved;
        EXPECT_EQ(run.exitCode, 0) << c.label << "\n" << run.out << run.err;
        const std::string base = c.written.substr(0, c.written.find('.'));
        const Lines opened = Events("pcm_encoder", "output ");
        EXPECT_FALSE(opened.empty()) << c.label;
        for (const std::string &event : opened) {
            EXPECT_EQ(fs::path(event.substr(7)).parent_path().string(), folder) << c.label;
            EXPECT_TRUE(IsPartialNameOf(fs::path(event.substr(7)).filename().string(), base, "enc"))
                << c.label << ": " << event;
        }
        for (const std::string &event : Events("idtagger", "WriteTags "))
            EXPECT_TRUE(IsPartialNameOf(event.substr(10, event.find(' ', 10) - 10), base, "enc"))
                << c.label << ": " << event;
        EXPECT_EQ(sandbox.ReadFile(folder + NativePath("/") + c.written), Pattern(65536))
            << c.label;
        EXPECT_EQ(NamesIn(folder), Lines{c.written}) << c.label;
        EXPECT_EQ(sandbox.Exists(input), !c.sourceDeleted) << c.label;
        EXPECT_FALSE(Contains(run.out + run.err, "kernova-partial"))
            << c.label << ": messages name the output\n"
            << run.out << run.err;
    }
}

TEST_F(SafeOutputTest, KilledRunLeavesOnlyATemporaryFileThatNoWildcardRunTakes) {
    sandbox.env["PCM_DECODER_ENDLESS"] = "1";
    sandbox.env["PCM_DECODER_EXTENSIONS"] = "pcm;enc|PCM";
    sandbox.timeoutSeconds = 2; // the harness kills the run (kill -9) once this time is up
    sandbox.WriteFile(output, kEarlier);
    EXPECT_EQ(Convert("").exitCode, 124);
    EXPECT_EQ(sandbox.ReadFile(output), kEarlier);
    const Lines names = NamesIn(folder);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "song.enc");
    EXPECT_TRUE(IsPartialNameOf(names[1], "song", "enc")) << names[1];

    sandbox.timeoutSeconds = 60;
    const std::string batch = work + NativePath("/b.xfb");
    const RunResult run = sandbox.Run({"-I", folder + NativePath("/*.enc"), "-O",
                                       work + NativePath("/again/*.enc"), "-CREATEBATCH", batch});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string jobs = sandbox.ReadText(batch);
    EXPECT_TRUE(Contains(jobs, output)) << jobs;
    EXPECT_FALSE(Contains(jobs, "kernova-partial")) << jobs;
}

#if !defined(_WIN32)
// A small file system of its own for one case, mounted when the tests run with the right to
// mount (as root), and unmounted when it goes.
class SmallDisk {
  public:
    SmallDisk(const Sandbox &sandbox, const std::string &folder, const std::string &options)
        : sandbox(sandbox), folder(folder) {
        fs::create_directories(folder);
        mounted =
            sandbox.Exec("/bin/mount", {"-t", "tmpfs", "-o", options, "tmpfs", folder}).exitCode ==
            0;
    }
    ~SmallDisk() {
        if (mounted)
            sandbox.Exec("/bin/umount", {folder});
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool Remount(const std::string &options) {
        return sandbox.Exec("/bin/mount", {"-o", "remount," + options, folder}).exitCode == 0;
    }

    bool mounted = false;

  private:
    const Sandbox &sandbox;
    std::string folder;
};

// A folder that this process may not write into: with the rights of root, only a read-only
// file system stops a write.
bool IsWriteProtected(const std::string &folder) {
    std::ofstream probe(folder + NativePath("/probe"));
    return !probe.is_open();
}
#endif

TEST_F(SafeOutputTest, WriteErrorsGiveTheSystemsReasonAndKeepTheEarlierFile) {
#if defined(_WIN32)
    GTEST_SKIP() << "devices, mounts and folder permissions are POSIX matters";
#else
    sandbox.AddBuiltPlugin("plugins/out/wave");
    const std::string wave = folder + NativePath("/song.wav");
    struct Case {
        const char *label;
        std::string output;
        long bytes;
        std::string disk; // tmpfs options for the output folder, or none
        bool readOnly;
        bool earlier; // an earlier result stands under the output name
        Lines errors; // after "kernova: error: <output>: "
    };
    const Case cases[] = {
        {"a full device when the file is closed",
         "/dev/full",
         1000,
         "",
         false,
         false,
         {"no space left on the device", "encoding failed"}},
        {"a full disk while writing",
         wave,
         1000000,
         "size=64k",
         false,
         true,
         {"no space left on the device", "encoding failed"}},
        {"a read-only folder: the encoder cannot create its file",
         wave,
         1000,
         "size=64k",
         true,
         false,
         {"the file system is read-only", "the output file cannot be created"}},
        {"a read-only folder: the earlier file cannot be replaced",
         wave,
         1000,
         "size=64k",
         true,
         true,
         {"the file system is read-only", "the output file cannot be created"}},
        {"/dev/null takes the output as it is", "/dev/null", 65536, "", false, false, {}},
    };
    Lines skipped;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        sandbox.env["PCM_DECODER_TOTAL_BYTES"] = std::to_string(c.bytes);
        std::unique_ptr<SmallDisk> disk;
        if (!c.disk.empty()) {
            disk = std::make_unique<SmallDisk>(sandbox, folder, c.disk);
            if (!disk->mounted && !c.readOnly) {
                skipped.push_back(c.label); // a full disk needs a file system of its own
                continue;
            }
        }
        fs::remove(wave);
        if (c.earlier)
            sandbox.WriteFile(wave, kEarlier);
        Lines errors = c.errors;
        if (c.readOnly) {
            if (!disk->mounted || !disk->Remount("ro")) {
                fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
                if (!IsWriteProtected(folder)) {
                    skipped.push_back(c.label);
                    continue;
                }
                errors.front() = "permission denied";
            }
        }
        const RunResult run = sandbox.Run({"-I", input, "-O", c.output, "-ENC", "wave"});
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        std::string expected;
        for (const std::string &error : errors)
            expected += "kernova: error: " + c.output + ": " + error + "\n";
        EXPECT_EQ(run.err, expected);
        EXPECT_EQ(run.exitCode, errors.empty() ? 0 : 1);
        if (c.output == wave) {
            EXPECT_EQ(NamesIn(folder), c.earlier ? Lines{"song.wav"} : Lines{});
            if (c.earlier) {
                EXPECT_EQ(sandbox.ReadFile(wave), kEarlier);
            }
            continue;
        }
        EXPECT_FALSE(fs::is_regular_file(c.output)) << "a device is never replaced";
        for (const std::string &name : NamesIn("/dev"))
            EXPECT_NE(name.rfind(fs::path(c.output).filename().string() + ".", 0), 0u)
                << "/dev/" << name;
    }
    if (!skipped.empty())
        GTEST_SKIP() << "without the right to mount: skipped " << skipped.front();
#endif
}

} // namespace
