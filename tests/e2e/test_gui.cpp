// The encoder interface of a graphical host, through the GUI probe host: which encoder is
// current after each load and unload, and which encoder slots each export calls, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

struct GuiRun {
    int exitCode = -1;
    Lines out; // the probe's lines after INIT
    Lines log; // the event log from the first call on: "gui ..." and the encoders' lines
};

// Two encoders (ids 0x41 and 0x42) and a decoder, so that start-up succeeds.
class GuiE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        box.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("enc_a"));
        box.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("enc_b"));
        box.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("dec"));
        box.env["ENC_A_MODULE_ID"] = "0x41";
        box.env["ENC_B_MODULE_ID"] = "0x42";
        box.env["ENC_A_ADVANCED_RESULT"] = "7";
        box.env["KN_TEST_LOG"] = (fs::path(box.root) / "events.log").string();
    }

    // Runs the GUI probe with the script in the work folder and returns what it printed.
    GuiRun Run(const std::vector<std::string> &script) {
        const fs::path log = fs::path(box.root) / "events.log";
        fs::remove(log);
        const RunResult result =
            box.Exec((fs::path(box.app) / ProgramFile("gui_probe")).string(), script);
        GuiRun run;
        run.exitCode = result.exitCode;
        Lines printed = SplitLines(result.out + result.err);
        EXPECT_FALSE(printed.empty());
        if (!printed.empty()) {
            EXPECT_EQ(printed.front(), "INIT 1");
            run.out.assign(printed.begin() + 1, printed.end());
        }
        bool calls = false;
        for (const std::string &line : SplitLines(Slurp(log))) {
            calls = calls || line.rfind("gui ", 0) == 0;
            if (calls)
                run.log.push_back(line);
        }
        return run;
    }

    Sandbox box;
};

// The events of loading an encoder that no one holds: the library comes in and is set up.
Lines Loaded(const std::string &name) {
    return {name + " load", name + " RegisterCompressModule", name + " Init"};
}

Lines Released(const std::string &name) {
    return {name + " Quit", name + " unload"};
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(GuiE2E, LoadKeepsTheEncoderOnlyForAMatchingId) {
    struct Case {
        const char *label;
        std::string name;
        std::string id;
        std::string loaded; // the probe's answer
        Lines events;       // between the load call and the next call
        std::string get;    // what a following get shows
    };
    const Case cases[] = {
        {"id 0 takes any encoder", "enc_a", "0", "load 1", Loaded("enc_a"), "get [gui:5]"},
        {"its own id", "enc_a", "0x41", "load 1", Loaded("enc_a"), "get [gui:5]"},
        {"another encoder's id", "enc_a", "0x42", "load 0",
         Join({Loaded("enc_a"), Released("enc_a")}), "get []"},
        {"no such encoder", "nothere", "0", "load 0", {}, "get []"},
        {"a library that is no encoder", "dec", "0", "load 0", {}, "get []"},
    };
    box.AddTestPlugin("test_decoder", "plugins/out", LibraryFile("dec"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        GuiRun run = Run({"load", c.name, c.id, "get", "5", "unload"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, (Lines{c.loaded, c.get, "unload"}));
        Lines expected = Join({{"gui load " + c.name + " " + c.id}, c.events, {"gui get 5"}});
        if (c.loaded == "load 1")
            expected = Join({expected,
                             {"enc_a GetGuiParams 5", "enc_a FreeParams", "gui unload"},
                             Released("enc_a")});
        else
            expected.push_back("gui unload");
        // The library that is no encoder logs its own events; only the encoders' count here.
        Lines seen;
        for (const std::string &line : run.log)
            if (line.rfind("dec ", 0) != 0)
                seen.push_back(line);
        EXPECT_EQ(seen, expected);
    }
}

TEST_F(GuiE2E, SecondLoadReleasesTheFirstEncoder) {
    GuiRun run = Run({"load", "enc_a", "0", "load", "enc_b", "0", "guiinit", "3", "unload"});
    EXPECT_EQ(run.out, (Lines{"load 1", "load 1", "guiinit 1", "unload"}));
    const Lines expected = Join({{"gui load enc_a 0"},
                                 Loaded("enc_a"),
                                 {"gui load enc_b 0"},
                                 Released("enc_a"),
                                 Loaded("enc_b"),
                                 {"gui guiinit 3"},
                                 {"enc_b GuiInit 3", "gui unload"},
                                 Released("enc_b")});
    EXPECT_EQ(run.log, expected);
}

TEST_F(GuiE2E, UnloadWithoutLoadDoesNothing) {
    struct Case {
        const char *label;
        std::vector<std::string> script;
        Lines out;
        Lines log;
    };
    const Case cases[] = {
        {"nothing loaded",
         {"unload", "unload"},
         {"unload", "unload"},
         {"gui unload", "gui unload"}},
        {"after a refused load",
         {"load", "enc_b", "0x41", "unload"},
         {"load 0", "unload"},
         Join({{"gui load enc_b 0x41"}, Loaded("enc_b"), Released("enc_b"), {"gui unload"}})},
        {"after an unload",
         {"load", "enc_b", "0", "unload", "unload"},
         {"load 1", "unload", "unload"},
         Join({{"gui load enc_b 0"},
               Loaded("enc_b"),
               {"gui unload"},
               Released("enc_b"),
               {"gui unload"}})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        GuiRun run = Run(c.script);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.log, c.log);
    }
}

TEST_F(GuiE2E, WithoutAnEncoderNothingIsCalled) {
    GuiRun run = Run(
        {"get", "7", "desc", "q:1", "set", "q:1", "9", "adv", "notify", "1", "2", "guiinit", "4"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              (Lines{"get []", "desc [untouched]", "set", "adv 0", "notify", "guiinit 0"}));
    EXPECT_EQ(run.log, (Lines{"gui get 7", "gui desc q:1", "gui set q:1 9", "gui adv",
                              "gui notify 1 2", "gui guiinit 4"}));
}

TEST_F(GuiE2E, EachExportCallsItsSlotsInOrder) {
    GuiRun run = Run({"load", "enc_a",  "0", "get", "7",       "set", "q:1  r:2", "9",
                      "set",  "(null)", "9", "set", "q:1",     "0",   "desc",     "q:3",
                      "adv",  "notify", "4", "5",   "guiinit", "6",   "unload"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, (Lines{"load 1", "get [gui:7]", "set", "set", "set", "desc [enc_a q:3]",
                              "adv 7", "notify", "guiinit 1", "unload"}));
    const Lines expected = Join({{"gui load enc_a 0"},
                                 Loaded("enc_a"),
                                 {"gui get 7", "enc_a GetGuiParams 7", "enc_a FreeParams"},
                                 {"gui set q:1  r:2 9", "enc_a StringToParams q:1  r:2",
                                  "enc_a SetGuiParams 9 q:1 r:2", "enc_a FreeParams"},
                                 {"gui set (null) 9", "gui set q:1 0"},
                                 {"gui desc q:3", "enc_a StringToParams q:3", "enc_a FreeParams"},
                                 {"gui adv", "enc_a ShowAdvancedSettings 0"},
                                 {"gui notify 4 5", "enc_a GuiNotify 4 5"},
                                 {"gui guiinit 6", "enc_a GuiInit 6"},
                                 {"gui unload"},
                                 Released("enc_a")});
    EXPECT_EQ(run.log, expected);
}

TEST_F(GuiE2E, GetSendsWhatTheEncoderBuiltFromTheControls) {
    box.env["ENC_A_GUI_PARAMS"] = "b:24 c:2 f:48000";
    GuiRun run = Run({"load", "enc_a", "0", "get", "1", "unload"});
    EXPECT_EQ(run.out, (Lines{"load 1", "get [b:24 c:2 f:48000]", "unload"}));
}

TEST_F(GuiE2E, CommandInBetweenLeavesNoEncoderCurrent) {
    GuiRun run =
        Run({"load", "enc_a", "0", "do", "-HELPENC enc_b", "get", "1", "guiinit", "2", "unload"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, (Lines{"load 1", "enc_b help text", "M 97", "do 1", "get []", "guiinit 0",
                              "unload"}));
    // The command loads and releases its own encoder; after it no slot of any encoder is
    // called, and the unload finds nothing to release. (What follows the last call is the
    // libraries' own unloading at the end of the process.)
    const auto from = std::find(run.log.begin(), run.log.end(), "gui do -HELPENC enc_b");
    const auto to = std::find(run.log.begin(), run.log.end(), "gui unload");
    ASSERT_NE(to, run.log.end());
    EXPECT_EQ(Lines(from, to + 1), Join({{"gui do -HELPENC enc_b"},
                                         {"enc_b load", "enc_b RegisterCompressModule"},
                                         Released("enc_b"),
                                         {"gui get 1", "gui guiinit 2", "gui unload"}}));
}

} // namespace
