// The tag plug-in and the -SHOWID and -SETID commands, run through the probe host with the
// test tag plug-in, which keeps each file's tags in memory for one start-up.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

std::string Result(int result, int last) {
    return "R " + std::to_string(result) + " last=" + std::to_string(last) + "\n";
}

class TagsTest : public ::testing::Test {
  protected:
    TagsTest() {
        sandbox.AddTestPlugin("test_decoder", "plugins/in", LibraryFile("test_decoder"));
        sandbox.AddTestPlugin("test_encoder", "plugins/out", LibraryFile("test_encoder"));
        sandbox.AddTestPlugin("test_tagger", "plugins", LibraryFile("idtagger"));
        work = fs::canonical(sandbox.work).string();
        tagLibrary = (fs::canonical(sandbox.app) / "plugins" / LibraryFile("idtagger")).string();
        for (const char *file : {"both.mp3", "v1.mp3", "v2.mp3", "none.mp3", "plain.wav"})
            sandbox.WriteFile(file, "x");
        sandbox.env["IDTAGGER_TAGS"] =
            "both.mp3|v1|0=T1|2=Al1|1=Ar1|4=1999|5=C1|8=3|6=Rock;"
            "both.mp3|v2|0=T2|2=Al2|3=O2|1=Ar2|4=2001|5=C2|8=4|6=Pop|12=http://x;"
            "v1.mp3|v1|0=Only|4=1980;"
            "v2.mp3|v2|12=http://y";
        log = sandbox.root + NativePath("/events.log");
        sandbox.env["KN_TEST_LOG"] = log;
    }

    std::string Show(const std::string &file) const {
        return "-I " + work + NativePath("/") + file + " -SHOWID";
    }

    std::vector<std::string> Events() const { return SplitLines(sandbox.ReadFile(log)); }

    Sandbox sandbox;
    std::string work;
    std::string tagLibrary;
    std::string log;
};

TEST_F(TagsTest, ShowIdSendsTheV1BlockBeforeTheV2Block) {
    struct Case {
        const char *file;
        std::string messages;
    };
    const Case cases[] = {
        {"both.mp3", "M 80\nM 78 T1\nM 77 Al1\nM 76 Ar1\nM 75 1999\nM 73 C1\nM 72 3\nM 74 Rock\n"
                     "M 79\nM 78 T2\nM 77 Al2\nM 70 O2\nM 76 Ar2\nM 75 2001\nM 73 C2\nM 72 4\n"
                     "M 74 Pop\nM 71 http://x\n"},
        {"v1.mp3", "M 80\nM 78 Only\nM 75 1980\n"},
        {"v2.mp3", "M 79\nM 71 http://y\n"},
        {"none.mp3", "M 64\n"},
        {"plain.wav", "M 64\n"},
    };
    for (const Case &c : cases) {
        const std::string expected = "INIT 1\nM 201 " + work + NativePath("/") + c.file + "\n" +
                                     c.messages + "M 97\n" + Result(1, 97);
        EXPECT_EQ(sandbox.Probe({Show(c.file)}).out, expected) << c.file;
    }
}

TEST_F(TagsTest, EveryFieldTextIsReleased) {
    sandbox.Probe({Show("both.mp3")});
    int released = 0;
    for (const std::string &event : Events())
        released += event == "idtagger FreeTagText" ? 1 : 0;
    EXPECT_EQ(released, 7 + 9) << "one per field asked, with or without a value";
}

TEST_F(TagsTest, UnreadableFileShowsNoTag) {
    sandbox.env["IDTAGGER_READ_FAIL"] = "1";
    EXPECT_EQ(sandbox.Probe({Show("both.mp3")}).out,
              "INIT 1\nM 201 " + work + NativePath("/both.mp3\nM 64\nM 97\n") + Result(1, 97));
}

TEST_F(TagsTest, SetIdReportsEachOutcome) {
    struct Case {
        const char *label;
        std::string command;
        std::string messages;
        int result;
    };
    const std::string both = work + NativePath("/both.mp3");
    const Case cases[] = {
        {"written", "-I both.mp3 -SETID idv2: TITL=New", "M 83 " + both + "\nM 85\n", 97},
        {"file without tags", "-I plain.wav -SETID id: TITL=x",
         "M 83 " + work + NativePath("/plain.wav\nE 86\n"), 97},
        {"argument refused", "-I both.mp3 -SETID idv1: ORIG=x", "E 87\n", 95},
        {"safe word alone is no argument", "-I both.mp3 -SETID SAFE", "E 87\n", 95},
    };
    for (const Case &c : cases) {
        const std::string expected =
            "INIT 1\n" + c.messages + "M " + std::to_string(c.result) + "\n" + Result(1, c.result);
        EXPECT_EQ(sandbox.Probe({c.command}).out, expected) << c.label;
    }
    sandbox.env["IDTAGGER_WRITE_FAIL"] = "1";
    EXPECT_EQ(sandbox.Probe({"-I both.mp3 -SETID id: TITL=x"}).out,
              "INIT 1\nM 83 " + both + "\nE 84\nM 95\n" + Result(1, 95));
}

TEST_F(TagsTest, SetTagsAreShownAfterwards) {
    const RunResult run = sandbox.Probe({"-I v2.mp3 -SETID safe idv2: TITL=New", Show("v2.mp3")});
    EXPECT_NE(run.out.find("M 79\nM 78 New\nM 71 http://y\n"), std::string::npos) << run.out;
}

TEST_F(TagsTest, SafeModeRereadsTheFileAndPassesTheRest) {
    sandbox.Probe({"-I v1.mp3 -SETID safe idv2: AUTH=X", "-I v1.mp3 -SETID id: TITL=Y"});
    std::vector<std::string> setting;
    for (const std::string &event : Events()) {
        if (event.rfind("idtagger ClearTags", 0) == 0 || event.rfind("idtagger ReadTags", 0) == 0 ||
            event.rfind("idtagger SetTagFields", 0) == 0 ||
            event.rfind("idtagger WriteTags", 0) == 0)
            setting.push_back(event);
    }
    const std::string file = "v1.mp3"; // the tagger logs names without folder
    const std::vector<std::string> expected = {
        "idtagger ClearTags",
        "idtagger ReadTags " + file,
        "idtagger SetTagFields safe=1  idv2: AUTH=X",
        "idtagger WriteTags " + file + " 1 1",
        "idtagger SetTagFields safe=0 id: TITL=Y",
        "idtagger WriteTags " + file + " 1 1",
    };
    EXPECT_EQ(setting, expected);
}

TEST_F(TagsTest, StartUpNeedsAUsableTagPlugIn) {
    struct Case {
        const char *label;
        const char *plugIn; // test plug-in installed as the tag library, or null for none
        std::string switchName;
        std::string switchValue;
        std::string out;
    };
    const std::string all = "GetTagFileType, ReadTags, WriteTags, ClearTags, GetTagField, "
                            "CopyTagContents, SetTagFields, HasTag, FreeTagText";
    std::string allNames = all;
    allNames.erase(std::remove(allNames.begin(), allNames.end(), ' '), allNames.end());
    const Case cases[] = {
        {"no library", nullptr, "", "", "E 101 " + tagLibrary + "\nINIT 0\n"},
        {"a library without the export", "test_decoder", "", "",
         "E 102 " + tagLibrary + "\nINIT 0\n"},
        {"an entry that gives no table", "test_tagger", "IDTAGGER_NULL_TABLE", "1",
         "E 102 " + tagLibrary + "\nINIT 0\n"},
        {"a slot that only a conversion calls", "test_tagger", "IDTAGGER_EMPTY_SLOTS",
         "CopyTagContents", "E 103 " + tagLibrary + ": CopyTagContents\nINIT 0\n"},
        {"every slot the core calls", "test_tagger", "IDTAGGER_EMPTY_SLOTS", allNames,
         "E 103 " + tagLibrary + ": " + all + "\nINIT 0\n"},
    };
    for (const Case &c : cases) {
        fs::remove(tagLibrary);
        if (c.plugIn)
            sandbox.AddTestPlugin(c.plugIn, "plugins", LibraryFile("idtagger"));
        const auto saved = sandbox.env;
        if (!c.switchName.empty())
            sandbox.env[c.switchName] = c.switchValue;
        EXPECT_EQ(sandbox.Probe({}).out, c.out) << c.label;
        sandbox.env = saved;
    }
}

} // namespace
