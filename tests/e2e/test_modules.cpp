// Plug-in discovery as a host sees it: the start-up scans of plugins/in and plugins/out,
// the Winamp folder, and what each test plug-in saw, through the probe host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;
using Switches = std::vector<std::pair<std::string, std::string>>;

class ModulesE2E : public ::testing::Test {
  protected:
    void SetUp() override { box.env["KN_TEST_LOG"] = box.root + NativePath("/events.log"); }

    // Installs a test plug-in as <folder>/<name>.so with its switches.
    void Add(const std::string &plugin, const std::string &folder, const std::string &name,
             const Switches &switches = {}) {
        box.AddTestPlugin(plugin, folder, LibraryFile(name));
        std::string prefix = name;
        std::transform(prefix.begin(), prefix.end(), prefix.begin(), ::toupper);
        for (const auto &[key, value] : switches)
            box.env[prefix + "_" + key] = value;
    }

    void AddEncoder(const std::string &name = "enc", const Switches &switches = {}) {
        Add("test_encoder", "plugins/out", name, switches);
    }

    void AddDecoder(const std::string &name = "dec", const Switches &switches = {}) {
        Add("test_decoder", "plugins/in", name, switches);
    }

    Lines Probe(const std::vector<std::string> &commands) {
        RunResult result = box.Probe(commands);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return SplitLines(result.out);
    }

    // Events logged by the plug-in copy `name`, in order.
    Lines Events(const std::string &name) const {
        Lines events;
        if (!box.Exists(box.root + NativePath("/events.log")))
            return events;
        for (const std::string &line :
             SplitLines(box.ReadFile(box.root + NativePath("/events.log")))) {
            if (line.rfind(name + " ", 0) == 0)
                events.push_back(line.substr(name.size() + 1));
        }
        return events;
    }

    // A scan releases each library before it loads the next one, so the lines of one
    // library never interleave with another's. (A library left loaded would only log its
    // unload when the process ends.)
    bool ScannedOneAtATime() const {
        std::string open;
        for (const std::string &line :
             SplitLines(box.ReadFile(box.root + NativePath("/events.log")))) {
            const std::string name = line.substr(0, line.find(' '));
            const std::string event = line.substr(name.size() + 1);
            if (event == "load" && !open.empty())
                return false;
            if (event == "load")
                open = name;
            else if (name != open)
                return false;
            else if (event == "unload")
                open.clear();
        }
        return open.empty();
    }

    Sandbox box;
};

TEST_F(ModulesE2E, DecoderFolderWithATextFileAndASubFolderGivesOneRecord) {
    AddDecoder("dec", {{"DESCRIPTION", "dec Test"}, {"EXTENSIONS", "mp3;mp2|MPEG Audio,wav|Wave"}});
    Add("test_decoder", "plugins/in/sub", "nested");
    box.WriteFile(box.app + NativePath("/plugins/in/readme.txt"), "not a plug-in\n");
    AddEncoder();
    EXPECT_EQ(Probe({"-LISTDEC"}),
              (Lines{"INIT 1", "M 67 dec", "M 61 dec Test", "M 68 MP3;MP2", "M 69 MPEG Audio",
                     "M 68 WAV", "M 69 Wave", "M 97", "R 1 last=97"}));
    EXPECT_TRUE(Events("nested").empty());
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, RefusedDecodersAreSkippedSilentlyAndReleased) {
    AddDecoder("dec");
    AddDecoder("old", {{"VERSION", "0xFF"}});
    AddDecoder("noout", {{"VERSION", "0x100"}, {"USES_OUTPUT_PLUG", "0"}});
    AddDecoder("empty", {{"NULL_TABLE", "1"}});
    Add("test_encoder", "plugins/in", "notdecoder");
    AddEncoder();
    Lines lines = Probe({"-LISTDEC"});
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.rfind("M 67 ", 0) == 0; }),
              1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "M 67 dec"), lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.rfind("E ", 0) == 0; }),
              0);
    for (const char *name : {"old", "noout", "empty", "notdecoder"}) {
        Lines events = Events(name);
        EXPECT_EQ(std::count(events.begin(), events.end(), "Init"), 0) << name;
        EXPECT_EQ(std::count(events.begin(), events.end(), "load"), 1) << name;
    }
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, LibraryWithBothDecoderEntriesIsTakenThroughTheWinampEntry) {
    Add("test_winamp_decoder", "plugins/in", "both", {{"DESCRIPTION", "both Winamp"}});
    AddEncoder();
    Lines lines = Probe({"-LISTDEC"});
    EXPECT_NE(std::find(lines.begin(), lines.end(), "M 61 both Winamp"), lines.end());
    EXPECT_EQ(Events("both"), (Lines{"load", "winampGetInModule2", "Init", "hMainWindow=desktop",
                                     "Quit", "unload"}));
}

TEST_F(ModulesE2E, EncoderScanSeesInitOnceQuitTwiceAndSkipsOldVersionsSilently) {
    AddDecoder();
    AddEncoder("enc_a", {{"EXTENSION", "mp3"},
                         {"EXTENSION_DESCRIPTION", "MPEG Layer 3"},
                         {"DESCRIPTION", "enc_a MP3"}});
    AddEncoder(
        "enc_b",
        {{"EXTENSION", "OGG"}, {"EXTENSION_DESCRIPTION", "Ogg"}, {"DESCRIPTION", "enc_b Ogg"}});
    AddEncoder("old", {{"VERSION", "15"}});
    box.WriteFile(box.app + NativePath("/plugins/out/notes.txt"), "text\n");
    EXPECT_EQ(Probe({"-LISTENC"}), (Lines{"INIT 1", "M 67 enc_a", "M 61 enc_a MP3", "M 68 mp3",
                                          "M 69 MPEG Layer 3", "M 67 enc_b", "M 61 enc_b Ogg",
                                          "M 68 OGG", "M 69 Ogg", "M 97", "R 1 last=97"}));
    for (const char *name : {"enc_a", "enc_b"}) {
        EXPECT_EQ(Events(name),
                  (Lines{"load", "RegisterCompressModule", "Init", "Quit", "Quit", "unload"}))
            << name;
    }
    EXPECT_EQ(Events("old"), (Lines{"load", "RegisterCompressModule", "unload"}));
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, DecodersSeeTheDesktopWindowDuringTheStartUpScan) {
    AddDecoder("dec");
    Add("test_winamp_decoder", "plugins/in", "in_wa");
    AddEncoder();
    EXPECT_EQ(Probe({}), (Lines{"INIT 1"}));
    for (const char *name : {"dec", "in_wa"}) {
        Lines events = Events(name);
        auto init = std::find(events.begin(), events.end(), "Init");
        ASSERT_NE(init, events.end()) << name;
        ASSERT_NE(init + 1, events.end()) << name;
        EXPECT_EQ(*(init + 1), "hMainWindow=desktop") << name;
    }
}

TEST_F(ModulesE2E, StartUpFailsWithoutDecodersOrEncodersButReleasesWhatItTried) {
    struct Case {
        const char *what;
        bool decoder;
        bool encoder;
    } cases[] = {{"no encoder", true, false}, {"no decoder", false, true}};
    for (const Case &c : cases) {
        Sandbox fresh;
        fresh.env["KN_TEST_LOG"] = fresh.root + NativePath("/events.log");
        if (c.decoder)
            fresh.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("dec"));
        if (c.encoder)
            fresh.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("enc"));
        fresh.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("old"));
        fresh.env["OLD_VERSION"] = "15";
        RunResult result = fresh.Probe({});
        EXPECT_EQ(SplitLines(result.out), (Lines{"INIT 0"})) << c.what;
        Lines log = SplitLines(fresh.ReadFile(fresh.root + NativePath("/events.log")));
        EXPECT_EQ(std::count(log.begin(), log.end(), "old load"), 1) << c.what;
        EXPECT_EQ(std::count(log.begin(), log.end(), "old unload"), 1) << c.what;
    }
}

TEST_F(ModulesE2E, WinampFolderIsScannedByTheListingWithTheHiddenWindow) {
    AddDecoder("dec", {{"DESCRIPTION", "dec Native"}, {"EXTENSIONS", "wav|Wave"}});
    AddEncoder();
    const std::string winamp = box.root + NativePath("/Winamp");
    box.AddTestPlugin("test_winamp_decoder", "../Winamp/plugins", LibraryFile("in_x"));
    box.env["IN_X_DESCRIPTION"] = "in_x Tracker";
    box.env["IN_X_EXTENSIONS"] = "mod;xm|Modules";
    Lines lines = Probe({"-LISTDEC -WINAMP " + winamp});
    EXPECT_EQ(lines, (Lines{"INIT 1", "M 67 dec", "M 61 dec Native", "M 68 WAV", "M 69 Wave",
                            "M 67 in_x", "M 61 [WinAMP] in_x Tracker", "M 68 MOD;XM",
                            "M 69 Modules", "M 97", "R 1 last=97"}));
    EXPECT_EQ(Events("in_x"), (Lines{"load", "winampGetInModule2", "Init", "hMainWindow=shadow",
                                     "Quit", "unload"}));
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, DecoderListedFromTheWinampFolderCanBeChosenByName) {
    AddDecoder("dec", {{"EXTENSIONS", "tst|Test"}});
    AddEncoder("enc", {{"EXTENSION", "out"}});
    const std::string winamp = box.root + NativePath("/Winamp");
    box.AddTestPlugin("test_winamp_decoder", "../Winamp/plugins", LibraryFile("in_x"));
    box.env["IN_X_EXTENSIONS"] = "xyz|Other";
    box.WriteFile("song.tst", "data");
    Lines lines =
        Probe({"-LISTDEC -WINAMP " + winamp, "-I song.tst -O song.out -ENC enc -DEC in_x"});
    EXPECT_NE(std::find(lines.begin(), lines.end(), "M 206 in_x"), lines.end());
    Lines events = Events("in_x");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string &e) {
                                return e.rfind("Play ", 0) == 0 && e.ends_with("song.tst");
                            }),
              1);
}

// The test tag plug-in keeps what -SETID wrote for the following commands of one start-up.
TEST_F(ModulesE2E, TestTaggerKeepsTagsInMemoryBetweenCommands) {
    AddDecoder();
    AddEncoder();
    box.AddTestPlugin("test_tagger", "plugins", LibraryFile("idtagger"));
    box.env["IDTAGGER_TAGS"] = "a.mp3|v1|0=T1|1=A1;a.mp3|v2|0=T2|12=U2";
    box.WriteFile("a.mp3", "x");
    const std::string file = box.Path("a.mp3");
    EXPECT_EQ(Probe({"-SHOWID -I a.mp3", "-SETID idv2: TITL=New -I a.mp3", "-SHOWID -I a.mp3",
                     "-SETID bogus -I a.mp3"}),
              (Lines{"INIT 1",       "M 201 " + file, "M 80",        "M 78 T1",     "M 76 A1",
                     "M 79",         "M 78 T2",       "M 71 U2",     "M 97",        "R 1 last=97",
                     "M 83 " + file, "M 85",          "M 97",        "R 1 last=97", "M 201 " + file,
                     "M 80",         "M 78 T1",       "M 76 A1",     "M 79",        "M 78 New",
                     "M 71 U2",      "M 97",          "R 1 last=97", "E 87",        "M 95",
                     "R 1 last=95"}));
    Lines events = Events("idtagger");
    EXPECT_NE(std::find(events.begin(), events.end(), "WriteTags a.mp3 1 1"), events.end());
}

} // namespace
