// The real tag plug-in behind -SHOWID, -SETID and -COPYID, run through the probe host on audio
// files made at test time; what it writes is checked with outside readers (id3v2, eyeD3,
// metaflac, vorbiscomment, ffprobe).
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/unit/idtagger_media.h"

namespace fs = std::filesystem;
using namespace idtagger_media;

namespace {

const std::string kV1Block = "M 80\nM 78 V1 Title\nM 77 V1 Album\nM 76 V1 Artist\nM 75 1999\n"
                             "M 73 V1 comment\nM 72 3\nM 74 Rock\n";
const std::string kV23Block = "M 79\nM 78 T23\nM 77 Al23\nM 70 Orig23\nM 76 A23\nM 75 2002\n"
                              "M 73 C23\nM 72 5/10\nM 74 Pop\nM 71 http://example.com/c\n";
const std::string kFlacBlock = "M 79\nM 78 Flac Title\nM 77 Flac Album\nM 70 Flac Orig\n"
                               "M 76 Flac Artist\nM 75 2005\nM 73 Flac note\nM 72 9\n"
                               "M 74 Ambient\nM 71 http://flac.example/\n";

class IdTagger : public ::testing::Test {
  protected:
    IdTagger() {
        sandbox.AddBuiltPlugin(LibraryFile("plugins/in/wave"));
        sandbox.AddBuiltPlugin(LibraryFile("plugins/out/wave"));
        work = fs::canonical(sandbox.work);
    }

    // Audio files with the tags the cases start from; each name says what it holds.
    void MakeFiles() {
        ASSERT_TRUE(MakeAudio(work / "none.mp3", kMp3));
        Copy("none.mp3", "v1.mp3");
        ASSERT_TRUE(Tool("id3v2 -1 -t 'V1 Title' -a 'V1 Artist' -A 'V1 Album' -y 1999 "
                         "-c 'V1 comment' -g 17 -T 3 v1.mp3"));
        Copy("none.mp3", "v23.mp3");
        ASSERT_TRUE(Tool("id3v2 -2 -t T23 -a A23 -A Al23 -y 2002 -c C23 -g 13 -T 5/10 "
                         "--TOPE Orig23 --WCOP http://example.com/c v23.mp3"));
        Copy("v1.mp3", "both.mp3");
        ASSERT_TRUE(Tool("eyeD3 --v2 --to-v2.4 -t 'Two Title' -a 'Two Artist' -A 'Two Album' "
                         "--text-frame TOPE:Lead --url-frame WCOP:http://two.example/ both.mp3"));
        ASSERT_TRUE(MakeAudio(work / "tagged.flac",
                              std::string(kFlac) +
                                  " -metadata TITLE='Flac Title' -metadata ARTIST='Flac Artist'"
                                  " -metadata ALBUM='Flac Album' -metadata DATE=2005"
                                  " -metadata COMMENT='Flac note' -metadata GENRE=Ambient"
                                  " -metadata TRACKNUMBER=9 -metadata ORIGINALARTIST='Flac Orig'"
                                  " -metadata COPYRIGHTURL=http://flac.example/"
                                  " -metadata COMPOSER=Composer"));
        ASSERT_TRUE(MakeCover(work / "cover.png", 16));
        ASSERT_TRUE(Tool("metaflac --import-picture-from=cover.png tagged.flac"));
        ASSERT_TRUE(MakeAudio(work / "plain.wav", kWav));
        ASSERT_TRUE(Tool("flac -s -o vendor-only.flac plain.wav"));
        ASSERT_TRUE(MakeAudio(work / "tagged.ogg", std::string(kVorbis) +
                                                       " -metadata TITLE='Ogg Title'"
                                                       " -metadata ALBUM='Ogg Album'"));
        WriteAll(work / "text.mp3", "no audio here\n");
        WriteAll(work / "notes.txt", "no audio here\n");
    }

    bool Tool(const std::string &command) const {
        return Succeeds("cd " + Quote(work.string()) + " && " + command);
    }
    std::string ToolOutput(const std::string &command) const {
        return Output("cd " + Quote(work.string()) + " && " + command, work);
    }
    void Copy(const std::string &from, const std::string &to) const {
        fs::copy_file(work / from, work / to, fs::copy_options::overwrite_existing);
    }
    std::string File(const std::string &name) const { return (work / name).string(); }

    std::string Show(const std::string &name) const {
        return sandbox.Probe({"-I " + File(name) + " -SHOWID"}).out;
    }
    static std::string ShowOutput(const std::string &path, const std::string &blocks) {
        return "INIT 1\nM 201 " + path + "\n" + blocks + "M 97\nR 1 last=97\n";
    }
    std::string SetId(const std::string &name, const std::string &text) const {
        return sandbox.Probe({"-I " + File(name) + " -SETID " + text}).out;
    }
    std::string SetIdOutput(const std::string &name, const std::string &messages,
                            int result) const {
        const std::string code = std::to_string(result);
        return "INIT 1\nM 83 " + File(name) + "\n" + messages + "M " + code + "\nR 1 last=" + code +
               "\n";
    }

    Sandbox sandbox;
    fs::path work;
};

TEST_F(IdTagger, ShowIdSendsTheV1BlockThenTheV2Block) {
    MakeFiles();
    struct Case {
        const char *file;
        std::string blocks;
    };
    const Case cases[] = {
        {"v1.mp3", kV1Block},
        {"v23.mp3", kV23Block},
        {"both.mp3", kV1Block + "M 79\nM 78 Two Title\nM 77 Two Album\nM 70 Lead\n"
                                "M 76 Two Artist\nM 71 http://two.example/\n"},
        {"none.mp3", "M 64\n"},
        {"tagged.flac", kFlacBlock},
        {"vendor-only.flac", "M 64\n"},
        {"tagged.ogg", "M 79\nM 78 Ogg Title\nM 77 Ogg Album\n"},
        {"plain.wav", "M 64\n"},
        {"text.mp3", "M 64\n"},
        {"notes.txt", "M 64\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Show(c.file), ShowOutput(File(c.file), c.blocks)) << c.file;
}

TEST_F(IdTagger, SetIdWritesOnlyTheVersionsTheTextSelects) {
    MakeFiles();
    struct Case {
        const char *label;
        const char *start; // file copied into target.<extension>
        const char *text;
        std::string blocks;                // -SHOWID afterwards
        std::string reader;                // outside reader run on the file
        std::vector<std::string> contains; // in its output
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"safe v2 keeps the other fields and v1",
         "v23.mp3",
         "safe idv2: TITL=Blue Moon AUTH=Some One",
         "M 79\nM 78 Blue Moon\nM 77 Al23\nM 70 Orig23\nM 76 Some One\nM 75 2002\nM 73 C23\n"
         "M 72 5/10\nM 74 Pop\nM 71 http://example.com/c\n",
         "id3v2 -l",
         {"TIT2 (Title/songname/content description): Blue Moon", "TOPE", "TYER"},
         {"id3v1 tag info"}},
        {"v2 without safe replaces the whole v2 tag",
         "both.mp3",
         "idv2: TITL=Only This",
         kV1Block + "M 79\nM 78 Only This\n",
         "eyeD3 -2",
         {"title: Only This"},
         {"Two Artist", "original artist"}},
        {"v1 without safe replaces v1 and leaves v2",
         "both.mp3",
         "idv1: TITL=New One GENR=Jazz",
         "M 80\nM 78 New One\nM 74 Jazz\nM 79\nM 78 Two Title\nM 77 Two Album\nM 70 Lead\n"
         "M 76 Two Artist\nM 71 http://two.example/\n",
         "id3v2 -l",
         {"Title  : New One", "Genre: Jazz (8)"},
         {"V1 Artist"}},
        {"both versions into an untagged file",
         "none.mp3",
         "id: TITL=T AUTH=A ORIG=O URLC=http://u.example/ YEAR=2020 TRCK=4",
         "M 80\nM 78 T\nM 76 A\nM 75 2020\nM 72 4\nM 79\nM 78 T\nM 70 O\nM 76 A\nM 75 2020\n"
         "M 72 4\nM 71 http://u.example/\n",
         "eyeD3",
         {"ID3 v2.4", "original artist: O", "Copyright URL: http://u.example/"},
         {}},
        {"safe v1 on FLAC changes the native tag",
         "tagged.flac",
         "safe idv1: TITL=Via One",
         "M 79\nM 78 Via One\nM 77 Flac Album\nM 70 Flac Orig\nM 76 Flac Artist\nM 75 2005\n"
         "M 73 Flac note\nM 72 9\nM 74 Ambient\nM 71 http://flac.example/\n",
         "metaflac --list",
         {"TITLE=Via One", "COMPOSER=Composer", "type: 6 (PICTURE)"},
         {}},
        {"v2 without safe on FLAC replaces the comment",
         "tagged.flac",
         "idv2: AUTH=Alone",
         "M 79\nM 76 Alone\n",
         "metaflac --list",
         {"ARTIST=Alone"},
         {"COMPOSER", "TITLE", "type: 6 (PICTURE)"}},
        {"safe Ogg Vorbis",
         "tagged.ogg",
         "safe id: COMT=Nice one",
         "M 79\nM 78 Ogg Title\nM 77 Ogg Album\nM 73 Nice one\n",
         "vorbiscomment -l",
         {"TITLE=Ogg Title", "COMMENT=Nice one"},
         {}},
        {"WAV gets an ID3 chunk and LIST INFO",
         "plain.wav",
         "id: TITL=Wave AUTH=Waver",
         "M 79\nM 78 Wave\nM 76 Waver\n",
         "ffprobe -v error -show_entries format_tags",
         {"TAG:title=Wave", "TAG:artist=Waver"},
         {}},
        {"an empty value removes the field",
         "v23.mp3",
         "safe idv2: COMT= TRCK=",
         "M 79\nM 78 T23\nM 77 Al23\nM 70 Orig23\nM 76 A23\nM 75 2002\nM 74 Pop\n"
         "M 71 http://example.com/c\n",
         "id3v2 -l",
         {"TALB"},
         {"COMM", "TRCK"}},
    };
    for (const Case &c : cases) {
        const std::string target = "target" + fs::path(c.start).extension().string();
        Copy(c.start, target);
        EXPECT_EQ(SetId(target, c.text), SetIdOutput(target, "M 85\n", 97)) << c.label;
        EXPECT_EQ(Show(target), ShowOutput(File(target), c.blocks)) << c.label;
        const std::string read = ToolOutput(c.reader + " " + target);
        for (const std::string &text : c.contains)
            EXPECT_NE(read.find(text), std::string::npos) << c.label << ": " << text << "\n"
                                                          << read;
        for (const std::string &text : c.absent)
            EXPECT_EQ(read.find(text), std::string::npos) << c.label << ": " << text << "\n"
                                                          << read;
    }
}

// The tags of a file shown before stay in the plug-in; a -SETID that names only v1.1 must not
// write them into the next file as its v2.x tag.
TEST_F(IdTagger, SetIdOfOneVersionWritesNothingElse) {
    MakeFiles();
    const RunResult run = sandbox.Probe({"-I " + File("both.mp3") + " -SHOWID",
                                         "-I " + File("v1.mp3") + " -SETID idv1: TITL=Changed"});
    EXPECT_NE(run.out.find("M 85\n"), std::string::npos) << run.out;
    const std::string listing = ToolOutput("id3v2 -l v1.mp3");
    EXPECT_NE(listing.find("Title  : Changed"), std::string::npos) << listing;
    EXPECT_NE(ReadAll(work / "v1.mp3").rfind("ID3", 0), 0u) << "an ID3v2 tag was written";
}

TEST_F(IdTagger, SetIdRefusesMalformedTextsAndLeavesTheFile) {
    MakeFiles();
    const std::string before = ReadAll(work / "both.mp3");
    const char *const texts[] = {
        "idv3: TITL=x", "idv2 TITL=x",         "idv2: TITL x",   "idv2: NAME=x",
        "idv1: ORIG=x", "idv1: TITL=a URLC=b", "idv2:",          "safe idv2:",
        "TITL=x",       "idv2: TITL=x TITL=y", "safe id: hello",
    };
    for (const char *text : texts) {
        EXPECT_EQ(SetId("both.mp3", text), "INIT 1\nE 87\nM 95\nR 1 last=95\n") << text;
        EXPECT_TRUE(ReadAll(work / "both.mp3") == before) << text;
    }
}

TEST_F(IdTagger, SetIdOnFilesThatCannotCarryTags) {
    MakeFiles();
    for (const char *name : {"notes.txt", "text.mp3"})
        EXPECT_EQ(SetId(name, "id: TITL=x"), SetIdOutput(name, "E 86\n", 97)) << name;
    EXPECT_EQ(ReadAll(work / "text.mp3"), "no audio here\n");
}

TEST_F(IdTagger, FailedWritesReportAndKeepTheFileByteForByte) {
    MakeFiles();
    fs::permissions(work / "v23.mp3", fs::perms::owner_read | fs::perms::group_read);
    const std::string before = ReadAll(work / "v23.mp3");
    EXPECT_EQ(SetId("v23.mp3", "safe idv2: TITL=x"), SetIdOutput("v23.mp3", "E 84\n", 95));
    EXPECT_TRUE(ReadAll(work / "v23.mp3") == before);

    SmallDisk disk(work / "full", "200k");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    Copy("v1.mp3", "full/v1.mp3");
    disk.Fill();
    const std::string full = ReadAll(work / "full" / "v1.mp3");
    EXPECT_EQ(SetId("full/v1.mp3", "id: TITL=A Longer Title AUTH=Somebody Else"),
              SetIdOutput("full/v1.mp3", "E 84\n", 95));
    EXPECT_TRUE(ReadAll(work / "full" / "v1.mp3") == full);
    EXPECT_EQ(std::distance(fs::directory_iterator(work / "full"), fs::directory_iterator()), 2)
        << "only the file and the filler: no copy is left behind";
}

TEST_F(IdTagger, WrittenTagsLeaveTheAudioAlone) {
    MakeFiles();
    const std::string longComment(400, 'c');
    for (const char *name :
         {"v23.mp3", "both.mp3", "none.mp3", "tagged.flac", "tagged.ogg", "plain.wav"}) {
        const std::string audio = AudioDigest(work / name, work);
        ASSERT_FALSE(audio.empty()) << name;
        EXPECT_EQ(SetId(name, "safe id: COMT=" + longComment + " TITL=Grown"),
                  SetIdOutput(name, "M 85\n", 97))
            << name;
        EXPECT_EQ(AudioDigest(work / name, work), audio) << name;
    }
}

TEST_F(IdTagger, CopyIdBetweenWaveFiles) {
    MakeFiles();
    ASSERT_EQ(SetId("plain.wav", "id: TITL=Source Title ORIG=Source Orig"),
              SetIdOutput("plain.wav", "M 85\n", 97));
    const RunResult run =
        sandbox.Probe({"-I " + File("plain.wav") + " -O " + File("out.wav") + " -COPYID"});
    EXPECT_NE(run.out.find("M 65\n"), std::string::npos) << run.out;
    EXPECT_EQ(Show("out.wav"),
              ShowOutput(File("out.wav"), "M 79\nM 78 Source Title\nM 70 Source Orig\n"));
}

// The FLAC decoder and the MP3, Vorbis and Opus encoders come with their own plug-ins.
class CopyIdFromFlac : public IdTagger, public ::testing::WithParamInterface<const char *> {};

TEST_P(CopyIdFromFlac, CarriesFieldsAndCover) {
    const std::string encoder = GetParam();
    const std::string plugins[] = {LibraryFile("plugins/in/flac"),
                                   LibraryFile("plugins/out/" + encoder)};
    for (const std::string &plugin : plugins) {
        if (!fs::exists(fs::path(KN_BIN_DIR) / plugin))
            GTEST_SKIP() << plugin << " is not built yet";
        sandbox.AddBuiltPlugin(plugin);
    }
    MakeFiles();
    const std::string output = "out." + std::string(encoder == "vorbis" ? "ogg" : encoder);
    const RunResult run =
        sandbox.Probe({"-I " + File("tagged.flac") + " -O " + File(output) + " -COPYID"});
    EXPECT_NE(run.out.find("M 65\n"), std::string::npos) << run.out;
    EXPECT_EQ(Show(output), ShowOutput(File(output), kFlacBlock));
    const auto tags = ProbeTags(work / output, work);
    EXPECT_TRUE(tags.count("composer") && tags.at("composer") == "Composer");
    EXPECT_TRUE(EmbeddedPicture(work / output, work) == ReadAll(work / "cover.png"));
}

INSTANTIATE_TEST_SUITE_P(Encoders, CopyIdFromFlac, ::testing::Values("mp3", "vorbis", "opus"));

} // namespace
