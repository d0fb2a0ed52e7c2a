// The real tag plug-in behind -SHOWID, -SETID and -COPYID, on audio files made at test time;
// what it writes is checked with outside readers (id3v2, eyeD3, metaflac, vorbiscomment,
// ffprobe), and failed writes must leave the file byte for byte.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

const char *const kMp3 = "-c:a libmp3lame -id3v2_version 0";

const std::string kV1Block = "M 80\nM 78 V1 Title\nM 77 V1 Album\nM 76 V1 Artist\nM 75 1999\n"
                             "M 73 V1 comment\nM 72 3\nM 74 Rock\n";
const std::string kV23Block = "M 79\nM 78 T23\nM 77 Al23\nM 70 Orig23\nM 76 A23\nM 75 2002\n"
                              "M 73 C23\nM 72 5/10\nM 74 Pop\nM 71 http://example.com/c\n";
const std::string kFlacBlock = "M 79\nM 78 Flac Title\nM 77 Flac Album\nM 70 Flac Orig\n"
                               "M 76 Flac Artist\nM 75 2005\nM 73 Flac note\nM 72 9\n"
                               "M 74 Ambient\nM 71 http://flac.example/\n";

class IdTagger : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools({"ffmpeg", "ffprobe", "id3v2", "eyeD3", "metaflac", "vorbiscomment"}))
            GTEST_SKIP() << "ffmpeg, ffprobe or a tag tool is missing";
        for (const char *plugin :
             {"plugins/in/wave", "plugins/out/wave", "plugins/in/flac", "plugins/in/mp3",
              "plugins/out/flac", "plugins/out/mp3", "plugins/out/vorbis", "plugins/out/opus"})
            ASSERT_TRUE(sb.AddBuiltPlugin(plugin)) << plugin;
        // Audio files with the tags the cases start from; each name says what it holds.
        ASSERT_TRUE(MakeAudio("none.mp3", kMp3));
        ASSERT_TRUE(Tool("cp none.mp3 v1.mp3 && id3v2 -1 -t 'V1 Title' -a 'V1 Artist' -A 'V1 "
                         "Album' -y 1999 -c 'V1 comment' -g 17 -T 3 v1.mp3"));
        ASSERT_TRUE(
            Tool("cp none.mp3 v23.mp3 && id3v2 -2 -t T23 -a A23 -A Al23 -y 2002 -c C23 -g 13 "
                 "-T 5/10 --TOPE Orig23 --WCOP http://example.com/c v23.mp3"));
        ASSERT_TRUE(Tool("cp v1.mp3 both.mp3 && eyeD3 --v2 --to-v2.4 -t 'Two Title' -a 'Two "
                         "Artist' -A 'Two Album' --text-frame TOPE:Lead --url-frame "
                         "WCOP:http://two.example/ both.mp3"));
        ASSERT_TRUE(MakeAudio("tagged.flac",
                              "-c:a flac -metadata TITLE='Flac Title' -metadata ARTIST='Flac "
                              "Artist' -metadata ALBUM='Flac Album' -metadata DATE=2005 -metadata "
                              "COMMENT='Flac note' -metadata GENRE=Ambient -metadata TRACKNUMBER=9 "
                              "-metadata ORIGINALARTIST='Flac Orig' -metadata "
                              "COPYRIGHTURL=http://flac.example/ -metadata COMPOSER=Composer "
                              "-metadata ALBUMARTIST='Album Artist' -metadata MYFIELD='My Value' "
                              "-metadata DISCNUMBER=2"));
        ASSERT_TRUE(Tool("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=s=16x16 -frames:v 1 "
                         "cover.png && metaflac --import-picture-from=cover.png tagged.flac"));
        ASSERT_TRUE(MakeAudio("plain.wav", "-c:a pcm_s16le"));
        ASSERT_TRUE(Tool("flac -s -o vendor-only.flac plain.wav"));
        ASSERT_TRUE(MakeAudio("tagged.ogg", "-c:a libvorbis -metadata TITLE='Ogg Title' "
                                            "-metadata ALBUM='Ogg Album'"));
        sb.WriteFile("text.mp3", "no audio here\n");
        sb.WriteFile("notes.txt", "no audio here\n");
    }

    bool Tool(const std::string &command) const {
        return Shell("cd " + Quote(sb.work) + " && " + command);
    }
    std::string ToolOutput(const std::string &command) const {
        return Output("cd " + Quote(sb.work) + " && " + command);
    }
    // A one-second sine; `extra` goes before the output name (codec, metadata).
    bool MakeAudio(const std::string &name, const std::string &extra) const {
        return Tool("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=1 " +
                    extra + " " + Quote(name));
    }
    std::string Show(const std::string &name) const {
        return sb.Probe({"-I " + sb.Path(name) + " -SHOWID"}).out;
    }
    std::string Shown(const std::string &name, const std::string &blocks) const {
        return "INIT 1\nM 201 " + sb.Path(name) + "\n" + blocks + "M 97\nR 1 last=97\n";
    }
    std::string SetId(const std::string &name, const std::string &text) const {
        return sb.Probe({"-I " + sb.Path(name) + " -SETID " + text}).out;
    }
    std::string SetIdOutput(const std::string &name, const std::string &messages,
                            int result) const {
        const std::string code = std::to_string(result);
        return "INIT 1\nM 83 " + sb.Path(name) + "\n" + messages + "M " + code +
               "\nR 1 last=" + code + "\n";
    }
    // The MD5 of the decoded audio: the same before and after a tag change.
    std::string AudioDigest(const std::string &name) const {
        return ToolOutput("ffmpeg -nostdin -v error -i " + Quote(name) + " -map 0:a -f md5 -");
    }

    Sandbox sb;
};

TEST_F(IdTagger, ShowIdSendsTheV1BlockThenTheV2Block) {
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
    };
    for (const Case &c : cases)
        EXPECT_EQ(Show(c.file), Shown(c.file, c.blocks)) << c.file;
}

TEST_F(IdTagger, SetIdWritesOnlyTheVersionsTheTextSelectsAndLeavesTheAudio) {
    struct Case {
        const char *start; // file copied into target.<extension>
        std::string text;
        std::string blocks; // -SHOWID afterwards
        std::string reader; // outside reader run on the file
        Lines contains, absent;
    };
    const std::string longComment(400, 'c');
    const Case cases[] = {
        {"v23.mp3",
         "safe idv2: TITL=Blue Moon AUTH=Some One",
         "M 79\nM 78 Blue Moon\nM 77 Al23\nM 70 Orig23\nM 76 Some One\nM 75 2002\nM 73 C23\n"
         "M 72 5/10\nM 74 Pop\nM 71 http://example.com/c\n",
         "id3v2 -l",
         {"TIT2 (Title/songname/content description): Blue Moon", "TOPE", "TYER"},
         {"id3v1 tag info"}},
        {"both.mp3",
         "idv2: TITL=Only This",
         kV1Block + "M 79\nM 78 Only This\n",
         "eyeD3 -2",
         {"title: Only This"},
         {"Two Artist", "original artist"}},
        {"both.mp3",
         "idv1: TITL=New One GENR=Jazz",
         "M 80\nM 78 New One\nM 74 Jazz\nM 79\nM 78 Two Title\nM 77 Two Album\nM 70 Lead\n"
         "M 76 Two Artist\nM 71 http://two.example/\n",
         "id3v2 -l",
         {"Title  : New One", "Genre: Jazz (8)"},
         {"V1 Artist"}},
        {"none.mp3",
         "id: TITL=T AUTH=A ORIG=O URLC=http://u.example/ YEAR=2020 TRCK=4",
         "M 80\nM 78 T\nM 76 A\nM 75 2020\nM 72 4\nM 79\nM 78 T\nM 70 O\nM 76 A\nM 75 2020\n"
         "M 72 4\nM 71 http://u.example/\n",
         "eyeD3",
         {"ID3 v2.4", "original artist: O", "Copyright URL: http://u.example/"},
         {}},
        {"tagged.flac",
         "safe idv1: TITL=Via One",
         "M 79\nM 78 Via One\nM 77 Flac Album\nM 70 Flac Orig\nM 76 Flac Artist\nM 75 2005\n"
         "M 73 Flac note\nM 72 9\nM 74 Ambient\nM 71 http://flac.example/\n",
         "metaflac --list",
         {"TITLE=Via One", "COMPOSER=Composer", "type: 6 (PICTURE)"},
         {}},
        {"tagged.flac",
         "idv2: AUTH=Alone",
         "M 79\nM 76 Alone\n",
         "metaflac --list",
         {"ARTIST=Alone"},
         {"COMPOSER", "TITLE", "type: 6 (PICTURE)"}},
        {"tagged.ogg",
         "safe id: COMT=Nice one",
         "M 79\nM 78 Ogg Title\nM 77 Ogg Album\nM 73 Nice one\n",
         "vorbiscomment -l",
         {"TITLE=Ogg Title", "COMMENT=Nice one"},
         {}},
        {"plain.wav",
         "id: TITL=Wave AUTH=Waver",
         "M 79\nM 78 Wave\nM 76 Waver\n",
         "ffprobe -v error -show_entries format_tags",
         {"TAG:title=Wave", "TAG:artist=Waver"},
         {}},
        {"v23.mp3",
         "safe idv2: COMT= TRCK=",
         "M 79\nM 78 T23\nM 77 Al23\nM 70 Orig23\nM 76 A23\nM 75 2002\nM 74 Pop\n"
         "M 71 http://example.com/c\n",
         "id3v2 -l",
         {"TALB"},
         {"COMM", "TRCK"}},
        // A value that ends in a multi-byte UTF-8 sequence is UTF-8 all the same.
        {"none.mp3",
         "idv2: TITL=Caf\xc3\xa9 AUTH=\xc3\xa9t\xc3\xa9",
         "M 79\nM 78 Caf\xc3\xa9\nM 76 \xc3\xa9t\xc3\xa9\n",
         "ffprobe -v error -show_entries format_tags",
         {"TAG:title=Caf\xc3\xa9", "TAG:artist=\xc3\xa9t\xc3\xa9"},
         {"\xc3\x83"}},
        {"v23.mp3", "safe id: COMT=" + longComment + " TITL=Grown", "", "", {}, {}},
    };
    for (const Case &c : cases) {
        const std::string target = "target" + fs::path(c.start).extension().string();
        sb.WriteFile(target, sb.ReadFile(c.start));
        const std::string audio = AudioDigest(target);
        EXPECT_EQ(SetId(target, c.text), SetIdOutput(target, "M 85\n", 97)) << c.text;
        EXPECT_EQ(AudioDigest(target), audio) << c.text << ": the audio stays as it was";
        if (c.blocks.empty())
            continue;
        EXPECT_EQ(Show(target), Shown(target, c.blocks)) << c.text;
        const std::string read = ToolOutput(c.reader + " " + target);
        for (const std::string &text : c.contains)
            EXPECT_NE(read.find(text), std::string::npos) << c.text << ": " << text << "\n" << read;
        for (const std::string &text : c.absent)
            EXPECT_EQ(read.find(text), std::string::npos) << c.text << ": " << text << "\n" << read;
    }
}

// The tags of a file shown before stay in the plug-in; a -SETID that names only v1.1 must not
// write them into the next file as its v2.x tag.
TEST_F(IdTagger, SetIdOfOneVersionWritesNothingElse) {
    const RunResult run = sb.Probe({"-I " + sb.Path("both.mp3") + " -SHOWID",
                                    "-I " + sb.Path("v1.mp3") + " -SETID idv1: TITL=Changed"});
    EXPECT_NE(run.out.find("M 85\n"), std::string::npos) << run.out;
    EXPECT_NE(ToolOutput("id3v2 -l v1.mp3").find("Title  : Changed"), std::string::npos);
    EXPECT_NE(sb.ReadFile("v1.mp3").rfind("ID3", 0), 0u) << "an ID3v2 tag was written";
}

// Only files whose content is of their type carry tags: names alone make none taggable.
TEST_F(IdTagger, FilesThatCannotCarryTagsAndRefusedTextsLeaveTheFileAlone) {
    // WAVE at its place, but no little-endian RIFF header.
    sb.WriteFile("notriff.wav", std::string("RIFX\x24\0\0\0WAVEfmt ", 16) + std::string(40, 'x'));
    ASSERT_TRUE(Tool("cp plain.wav pcm.flac && ffmpeg -nostdin -v error -y -f lavfi -i "
                     "sine=duration=1 -f s16le raw.pcm"));
    for (const char *name : {"notes.txt", "text.mp3", "notriff.wav", "pcm.flac", "raw.pcm"}) {
        const std::string before = sb.ReadFile(name);
        EXPECT_EQ(SetId(name, "id: TITL=x"), SetIdOutput(name, "E 86\n", 97)) << name;
        EXPECT_EQ(sb.ReadFile(name), before) << name;
    }
    const std::string before = sb.ReadFile("both.mp3");
    for (const char *text : {"idv3: TITL=x", "idv2: NAME=x", "idv1: ORIG=x", "safe idv2:"}) {
        EXPECT_EQ(SetId("both.mp3", text), "INIT 1\nE 87\nM 95\nR 1 last=95\n") << text;
        EXPECT_EQ(sb.ReadFile("both.mp3"), before) << text;
    }
}

TEST_F(IdTagger, FailedWritesReportAndKeepTheFileByteForByte) {
    fs::permissions(sb.Path("v23.mp3"), fs::perms::owner_read | fs::perms::group_read);
    const std::string before = sb.ReadFile("v23.mp3");
    EXPECT_EQ(SetId("v23.mp3", "safe idv2: TITL=x"), SetIdOutput("v23.mp3", "E 84\n", 95));
    EXPECT_EQ(sb.ReadFile("v23.mp3"), before);
    // A tmpfs that the copy does not fit on; mounting needs root.
    fs::create_directories(sb.Path("full"));
    if (!Shell("mount -t tmpfs -o size=200k tmpfs " + Quote(sb.Path("full"))))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    fs::copy_file(sb.Path("v1.mp3"), sb.Path("full/v1.mp3"));
    Shell("cat /dev/zero > " + Quote(sb.Path("full/filler")));
    const std::string full = sb.ReadFile("full/v1.mp3");
    EXPECT_EQ(SetId("full/v1.mp3", "id: TITL=A Longer Title AUTH=Somebody Else"),
              SetIdOutput("full/v1.mp3", "E 84\n", 95));
    EXPECT_EQ(sb.ReadFile("full/v1.mp3"), full);
    EXPECT_EQ(std::distance(fs::directory_iterator(sb.Path("full")), fs::directory_iterator()), 2)
        << "only the file and the filler: no copy is left behind";
    Shell("umount " + Quote(sb.Path("full")));
}

// -COPYID through real conversions: every field and the cover reach each format, and what the
// plug-in reads back carries them on.
TEST_F(IdTagger, CopyIdCarriesFieldsAndCoverIntoEveryFormat) {
    const std::string cover = sb.ReadFile("cover.png");
    ASSERT_TRUE(Tool("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=1 -i cover.png -map 0 "
                     "-map 1 -c:a libmp3lame -c:v copy -id3v2_version 3 -metadata title=Tune "
                     "-metadata MYFIELD=Mine -metadata:s:v comment='Cover (front)' cover.mp3"));
    // ffmpeg stores a comment as DESCRIPTION; other programs write YEAR instead of DATE.
    ASSERT_TRUE(MakeAudio("note.flac", "-c:a flac -metadata COMMENT='A note'"));
    ASSERT_TRUE(Tool("metaflac --set-tag=YEAR=1977 note.flac"));
    struct Case {
        const char *source, *output, *argument;
        std::string blocks; // -SHOWID of the output; empty: not checked
        Lines probed;       // in ffprobe's tags of the output, without regard to case
        Lines absent;
        bool picture;
    };
    const Lines rich = {"tag:composer=composer", "tag:album_artist=album artist",
                        "tag:myfield=my value", "tag:disc=2"};
    const Case cases[] = {
        {"tagged.flac", "out.mp3", "", kFlacBlock, rich, {}, true},
        {"tagged.flac", "out.ogg", "", kFlacBlock, rich, {}, true},
        {"tagged.flac", "out.opus", "", kFlacBlock, rich, {}, true},
        {"tagged.flac", "out.flac", "", kFlacBlock, rich, {}, true},
        {"tagged.flac", "out.wav", "", kFlacBlock, {"tag:title=flac title"}, {}, false},
        {"v1.mp3",
         "out.flac",
         "",
         "M 79\nM 78 V1 Title\nM 77 V1 Album\nM 76 V1 Artist\nM 75 1999\n"
         "M 73 V1 comment\nM 72 3\nM 74 Rock\n",
         {"tag:title=v1 title", "tag:date=1999"},
         {},
         false},
        {"cover.mp3", "out.flac", "", "", {"tag:title=tune", "tag:myfield=mine"}, {}, true},
        {"note.flac",
         "out.mp3",
         "",
         "",
         {"tag:comment=a note", "tag:date=1977"},
         {"tag:description=", "tag:year="},
         false},
        // v2.x copied into v1.1 and written as v1.1 only.
        {"v23.mp3",
         "out.mp3",
         " 2:1",
         "",
         {"tag:title=t23", "tag:artist=a23", "tag:date=2002"},
         {},
         false},
    };
    auto lower = [](std::string text) {
        for (char &ch : text)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return text;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.output + c.argument);
        fs::remove(sb.Path(c.output));
        const RunResult run = sb.Probe(
            {"-I " + sb.Path(c.source) + " -O " + sb.Path(c.output) + " -COPYID" + c.argument});
        EXPECT_NE(run.out.find("M 65\n"), std::string::npos) << run.out;
        if (!c.blocks.empty()) {
            EXPECT_EQ(Show(c.output), Shown(c.output, c.blocks));
        }
        const std::string tags = lower(
            ToolOutput("ffprobe -v error -show_entries format_tags:stream_tags -of default=nw=1 " +
                       Quote(c.output)));
        for (const std::string &tag : c.probed)
            EXPECT_NE(tags.find(tag), std::string::npos) << tag << "\n" << tags;
        for (const std::string &tag : c.absent)
            EXPECT_EQ(tags.find(tag), std::string::npos) << tag << "\n" << tags;
        if (c.picture) {
            EXPECT_TRUE(ToolOutput("ffmpeg -nostdin -v error -i " + Quote(c.output) +
                                   " -an -map 0:v:0 -c copy -f data -") == cover);
        }
    }
    EXPECT_NE(sb.ReadFile("out.mp3").rfind("ID3", 0), 0u) << "v1.1 only: no ID3v2 tag";
}

} // namespace
