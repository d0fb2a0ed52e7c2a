// -SHOWID, -SETID and -COPYID as the core drives the tag plug-in, with the fake tagger, which
// keeps each file's tags in memory for one start-up: the message sequences, which versions are
// read, copied and written, and the start-up without a tag plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/fixtures/harness.h"

namespace fs = std::filesystem;

namespace {

class TagsTest : public ::testing::Test {
  protected:
    TagsTest() {
        sb.AddFake("fake_decoder", "plugins/in", "dec");
        sb.AddFake("fake_encoder", "plugins/out", "enc");
        sb.AddFake("fake_tagger", "plugins", "idtagger");
        sb.env["DEC_EXTENSIONS"] = "mp3|MPEG";
        sb.env["IDTAGGER_FILE_TYPES"] = "mp3=6,tst=2,low=1";
        for (const char *file : {"both.mp3", "v1.mp3", "v2.mp3", "none.mp3", "plain.wav"})
            sb.WriteFile(file, "x");
        sb.env["IDTAGGER_TAGS"] =
            "both.mp3|v1|0=T1|2=Al1|1=Ar1|4=1999|5=C1|8=3|6=Rock;"
            "both.mp3|v2|0=T2|2=Al2|3=O2|1=Ar2|4=2001|5=C2|8=4|6=Pop|12=http://x;"
            "v1.mp3|v1|0=Only|4=1980;v2.mp3|v2|12=http://y";
    }

    std::string Show(const std::string &file) const { return "-I " + sb.Path(file) + " -SHOWID"; }

    // The tagger's calls that read, copy, set and write tags.
    // The output is written under a temporary name and renamed when it is whole.
    static std::string WithoutPartialName(std::string event) {
        const size_t at = event.find(".kernova-partial-");
        if (at != std::string::npos)
            event.erase(at, event.find('.', at + 1) - at);
        return event;
    }

    Lines TagWork() const {
        Lines work;
        for (const std::string &event : sb.Events("idtagger")) {
            for (const char *call :
                 {"ReadTags", "ClearTags", "SetTagFields", "CopyTagContents", "WriteTags"}) {
                if (event.rfind(call, 0) == 0)
                    work.push_back(WithoutPartialName(event));
            }
        }
        return work;
    }

    Sandbox sb;
};

TEST_F(TagsTest, ShowIdSendsTheV1BlockBeforeTheV2BlockAndReleasesEveryText) {
    struct Case {
        const char *file;
        Lines messages;
    };
    const Case cases[] = {
        {"both.mp3",
         {"M 80", "M 78 T1", "M 77 Al1", "M 76 Ar1", "M 75 1999", "M 73 C1", "M 72 3", "M 74 Rock",
          "M 79", "M 78 T2", "M 77 Al2", "M 70 O2", "M 76 Ar2", "M 75 2001", "M 73 C2", "M 72 4",
          "M 74 Pop", "M 71 http://x"}},
        {"v1.mp3", {"M 80", "M 78 Only", "M 75 1980"}},
        {"v2.mp3", {"M 79", "M 71 http://y"}},
        {"none.mp3", {"M 64"}},
        {"plain.wav", {"M 64"}},
    };
    for (const Case &c : cases) {
        sb.ClearEvents();
        EXPECT_EQ(sb.Callbacks({Show(c.file)}),
                  Concat(Concat({"M 201 " + sb.Path(c.file)}, c.messages), {"M 97", "R 1 last=97"}))
            << c.file;
    }
    sb.ClearEvents();
    sb.Callbacks({Show("both.mp3")});
    EXPECT_EQ(CountOf(sb.Events("idtagger"), "FreeTagText"), 7u + 9u)
        << "one per field asked, with or without a value";
    sb.env["IDTAGGER_READ_FAIL"] = "1";
    EXPECT_EQ(sb.Callbacks({Show("both.mp3")}),
              (Lines{"M 201 " + sb.Path("both.mp3"), "M 64", "M 97", "R 1 last=97"}));
}

TEST_F(TagsTest, SetIdReportsEachOutcomeAndSafeModeRereadsTheFile) {
    const std::string both = sb.Path("both.mp3");
    struct Case {
        std::string command;
        Lines lines;
        Lines work;
    };
    const Case cases[] = {
        {"-I both.mp3 -SETID idv2: TITL=New", Lines{"M 83 " + both, "M 85", "M 97"},
         Lines{"SetTagFields safe=0 idv2: TITL=New", "WriteTags both.mp3 1 1"}},
        {"-I v1.mp3 -SETID safe idv2: AUTH=X", Lines{"M 83 " + sb.Path("v1.mp3"), "M 85", "M 97"},
         Lines{"ClearTags", "ReadTags v1.mp3", "SetTagFields safe=1  idv2: AUTH=X",
               "WriteTags v1.mp3 1 1"}},
        {"-I plain.wav -SETID id: TITL=x", Lines{"M 83 " + sb.Path("plain.wav"), "E 86", "M 97"},
         Lines{}},
        {"-I both.mp3 -SETID idv1: ORIG=x", Lines{"E 87", "M 95"},
         Lines{"SetTagFields safe=0 idv1: ORIG=x"}},
        {"-I both.mp3 -SETID SAFE", Lines{"E 87", "M 95"}, Lines{"SetTagFields safe=0 SAFE"}},
    };
    for (const Case &c : cases) {
        sb.ClearEvents();
        const Lines lines = sb.Callbacks({c.command});
        EXPECT_EQ(lines, Concat(c.lines, {"R 1 last=" + c.lines.back().substr(2)})) << c.command;
        EXPECT_EQ(TagWork(), c.work) << c.command;
    }
    EXPECT_EQ(sb.Callbacks({"-I v2.mp3 -SETID safe idv2: TITL=New", Show("v2.mp3")}),
              (Lines{"M 83 " + sb.Path("v2.mp3"), "M 85", "M 97", "R 1 last=97",
                     "M 201 " + sb.Path("v2.mp3"), "M 79", "M 78 New", "M 71 http://y", "M 97",
                     "R 1 last=97"}));
    sb.env["IDTAGGER_WRITE_FAIL"] = "1";
    EXPECT_EQ(sb.Callbacks({"-I both.mp3 -SETID id: TITL=x"}),
              (Lines{"M 83 " + both, "E 84", "M 95", "R 1 last=95"}));
}

// The source's tags go to the converted file: both versions by default, one into the other
// with "<source>:<destination>" (1 v1.1, 2 v2.x, A both); a file type above 5 carries no v1.1 of
// its own, so a source with v1.1 only fills its v2.x; above 1 it always gets v2.x.
TEST_F(TagsTest, CopyIdCarriesTheVersionsTheArgumentNames) {
    struct Case {
        const char *source, *output, *argument;
        Lines work;
        bool copied;
    };
    const Case cases[] = {
        {"both.mp3", "out.mp3", "", Lines{"ReadTags both.mp3", "WriteTags out.mp3 1 1"}, true},
        {"v1.mp3", "out.mp3", "",
         Lines{"ReadTags v1.mp3", "CopyTagContents 1", "WriteTags out.mp3 1 1"}, true},
        {"v1.mp3", "out.low", " A:a", Lines{"ReadTags v1.mp3", "WriteTags out.low 1 1"}, true},
        {"both.mp3", "out.mp3", " 1:2",
         Lines{"ReadTags both.mp3", "CopyTagContents 1", "WriteTags out.mp3 0 1"}, true},
        {"both.mp3", "out.low", " 2:1",
         Lines{"ReadTags both.mp3", "CopyTagContents 0", "WriteTags out.low 1 0"}, true},
        {"both.mp3", "out.tst", " 2:1",
         Lines{"ReadTags both.mp3", "CopyTagContents 0", "WriteTags out.tst 1 1"}, true},
        {"both.mp3", "out.mp3", " 3:1", Lines{"ReadTags both.mp3"}, false},
        {"both.mp3", "out.mp3", " 1:22", Lines{"ReadTags both.mp3"}, false},
        {"both.mp3", "out.enc", "", {}, false},
    };
    for (const Case &c : cases) {
        sb.ClearEvents();
        const Lines lines = sb.Callbacks({"-I " + sb.Path(c.source) + " -O " + sb.Path(c.output) +
                                          " -ENC enc -COPYID" + c.argument});
        EXPECT_EQ(CountOf(lines, "M 65"), c.copied ? 1u : 0u) << c.argument;
        EXPECT_EQ(CountOf(lines, "M 66"), c.argument[0] == ' ' && !c.copied ? 1u : 0u)
            << c.argument;
        EXPECT_EQ(lines.back(), "R 1 last=97") << c.argument;
        EXPECT_EQ(TagWork(), c.work) << c.source << " -> " << c.output << c.argument;
    }
    sb.env["IDTAGGER_READ_FAIL"] = "1";
    sb.ClearEvents();
    const Lines lines = sb.Callbacks(
        {"-I " + sb.Path("both.mp3") + " -O " + sb.Path("out.mp3") + " -ENC enc -COPYID"});
    EXPECT_EQ(CountOf(lines, "M 65"), 0u);
    EXPECT_EQ(CountOf(sb.Events("idtagger"), "WriteTags out.mp3 1 1"), 0u);
}

TEST_F(TagsTest, StartUpNeedsAUsableTagPlugIn) {
    const std::string library = sb.app + NativePath("/plugins/") + LibraryFile("idtagger");
    fs::remove(library);
    EXPECT_EQ(sb.Probe({}).out, "E 101 " + library + "\nINIT 0\n");
    sb.AddFake("fake_decoder", "plugins", "idtagger");
    EXPECT_EQ(sb.Probe({}).out, "E 102 " + library + "\nINIT 0\n");
    sb.AddFake("fake_tagger", "plugins", "idtagger");
    const std::string all = "GetTagFileType, ReadTags, WriteTags, ClearTags, GetTagField, "
                            "CopyTagContents, SetTagFields, HasTag, FreeTagText";
    std::string allNames = all;
    allNames.erase(std::remove(allNames.begin(), allNames.end(), ' '), allNames.end());
    struct Case {
        const char *name, *value;
        std::string out;
    };
    const Case cases[] = {
        {"IDTAGGER_NULL_TABLE", "1", "E 102 " + library + "\nINIT 0\n"},
        {"IDTAGGER_EMPTY_SLOTS", "CopyTagContents",
         "E 103 " + library + ": CopyTagContents\nINIT 0\n"},
        {"IDTAGGER_EMPTY_SLOTS", allNames.c_str(), "E 103 " + library + ": " + all + "\nINIT 0\n"},
    };
    const auto saved = sb.env;
    for (const Case &c : cases) {
        sb.env = saved;
        sb.env[c.name] = c.value;
        EXPECT_EQ(sb.Probe({}).out, c.out) << c.name << "=" << c.value;
    }
}

} // namespace
