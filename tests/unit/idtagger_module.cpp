// The tag plug-in loaded the way the core loads it, driven through its tag table: file type
// numbers, the -COPYID step across formats (every field and the cover must arrive), and
// writes that must fail without touching the file.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "kernova/tagger.h"
#include "platform/platform.h"
#include "tests/unit/idtagger_media.h"

namespace fs = std::filesystem;
using namespace idtagger_media;

namespace {

// The core's string routines, lent to the plug-in in slots 20 to 25.
int LentAssignString(const char *source, char **variable) {
    delete[] * variable;
    *variable = nullptr;
    if (!source)
        return 0;
    const std::size_t length = std::strlen(source);
    *variable = new char[length + 1]();
    std::memcpy(*variable, source, length);
    return static_cast<int>(length);
}

void LentAddStr(char **variable, const char *text) {
    const std::string joined = std::string(*variable ? *variable : "") + (text ? text : "");
    LentAssignString(joined.empty() ? nullptr : joined.c_str(), variable);
}

int LentGetTrim(char **variable) {
    std::string text = *variable ? *variable : "";
    const auto first = text.find_first_not_of(' ');
    text = first == std::string::npos ? ""
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
    LentAssignString(text.empty() ? nullptr : text.c_str(), variable);
    return static_cast<int>(text.size());
}

char *LentGetFileExtension(const char *name) {
    return strdup(fs::path(name ? name : "").extension().string().c_str());
}

void LentTraceEnter(const char *, const char *) {}
void LentTraceLeave() {}

class TaggerModule : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string path =
            std::string(KN_BIN_DIR) + "/plugins/idtagger" + platform::kLibrarySuffix;
        library = platform::LoadLibrary(path.c_str());
        ASSERT_NE(library, nullptr) << path;
        auto get = reinterpret_cast<zorvGetTagModuleFunc>(
            platform::GetExport(library, "zorvGetTagModule"));
        ASSERT_NE(get, nullptr);
        table = get();
        ASSERT_NE(table, nullptr);
        table->libraryHandle = library;
        table->GetTrim = LentGetTrim;
        table->GetFileExtension = LentGetFileExtension;
        table->AssignString = LentAssignString;
        table->AddStr = LentAddStr;
        table->TraceEnter = LentTraceEnter;
        table->TraceLeave = LentTraceLeave;
    }

    static void TearDownTestSuite() {
        if (library)
            platform::FreeLibrary(library);
        library = nullptr;
        table = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(table, nullptr);
        std::random_device seed;
        dir = fs::temp_directory_path() / ("idtagger-module-" + std::to_string(seed()));
        fs::create_directories(dir);
        table->ClearTags();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir, ignored);
    }

    fs::path Make(const std::string &name, const std::string &extra) {
        const fs::path path = dir / name;
        EXPECT_TRUE(MakeAudio(path, extra)) << name;
        return path;
    }

    std::string Field(int field, int kind) const {
        char *text = nullptr;
        std::string value;
        if (table->GetTagField(&text, field, kind) == 1 && text)
            value = text;
        table->FreeTagText(&text);
        return value;
    }

    // What the core's -COPYID step does with its default argument A:A.
    int CopyTags(const fs::path &from, const fs::path &to) const {
        const int outputType = table->GetTagFileType(to.string().c_str());
        if (table->GetTagFileType(from.string().c_str()) == 0 || outputType == 0 ||
            table->ReadTags(from.string().c_str()) == 0)
            return 0;
        if (outputType > 5 && table->HasTag(TAG_KIND_V2) != 1 && table->HasTag(TAG_KIND_V1) == 1)
            table->CopyTagContents(TAG_KIND_V1);
        return table->WriteTags(to.string().c_str(), 1, 1);
    }

    // A FLAC file with the usual fields, fields ID3 has no frame of its own for, and a cover.
    fs::path MakeRichFlac() {
        const fs::path cover = dir / "cover.png";
        EXPECT_TRUE(MakeCover(cover, 24));
        const fs::path flac = Make(
            "rich.flac", std::string(kFlac) +
                             " -metadata TITLE='Rich Title' -metadata ARTIST='Rich Artist'"
                             " -metadata ALBUM='Rich Album' -metadata DATE=2004"
                             " -metadata DISCNUMBER=2 -metadata COMPOSER='The Composer'"
                             " -metadata ALBUMARTIST='Album Artist' -metadata MYFIELD='My Value'");
        EXPECT_TRUE(Succeeds("metaflac --import-picture-from=" + Quote(cover.string()) + " " +
                             Quote(flac.string())));
        return flac;
    }

    static platform::LibraryHandle library;
    static TagTable *table;
    fs::path dir;
};

platform::LibraryHandle TaggerModule::library = nullptr;
TagTable *TaggerModule::table = nullptr;

TEST_F(TaggerModule, FileTypeNumbersFollowTheContent) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    struct Case {
        const char *name;
        const char *extra; // null: write the text "hello" instead of audio
        int type;
    };
    const Case cases[] = {
        {"a.mp3", kMp3, 1},
        {"a.wav", kWav, 6},
        {"a.aiff", kAiff, 7},
        {"a.flac", kFlac, 8},
        {"a.ogg", kVorbis, 9},
        {"a.opus", kOpus, 10},
        {"opus.ogg", "-c:a libopus -f ogg", 10},
        {"A.MP3", kMp3, 1},
        {"text.mp3", nullptr, 0},
        {"notes.txt", nullptr, 0},
        {"wav.flac", "-c:a pcm_s16le -f wav", 0},
        {"raw.pcm", "-f s16le", 0},
    };
    for (const Case &c : cases) {
        const fs::path path = dir / c.name;
        if (c.extra)
            ASSERT_TRUE(MakeAudio(path, c.extra)) << c.name;
        else
            WriteAll(path, "hello\n");
        EXPECT_EQ(table->GetTagFileType(path.string().c_str()), c.type) << c.name;
    }
    fs::create_directories(dir / "folder.mp3");
    EXPECT_EQ(table->GetTagFileType((dir / "folder.mp3").string().c_str()), 0);
    EXPECT_EQ(table->GetTagFileType((dir / "missing.mp3").string().c_str()), 0);
    EXPECT_EQ(table->GetTagFileType(nullptr), 0);
    EXPECT_EQ(table->ReadTags((dir / "text.mp3").string().c_str()), 0);
}

TEST_F(TaggerModule, V1OnlySourceFillsTheNativeTagOfFormatsWithoutV1) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    const fs::path mp3 = Make("v1.mp3", kMp3);
    ASSERT_TRUE(
        Succeeds("id3v2 -1 -t 'Old Song' -a 'Old Band' -y 1987 -T 7 " + Quote(mp3.string())));
    const fs::path flac = Make("out.flac", kFlac);
    ASSERT_EQ(CopyTags(mp3, flac), 1);
    const std::string comments =
        Output("metaflac --list --block-type=VORBIS_COMMENT " + Quote(flac.string()), dir);
    for (const char *field : {"TITLE=Old Song", "ARTIST=Old Band", "DATE=1987", "TRACKNUMBER=7"})
        EXPECT_NE(comments.find(field), std::string::npos) << field << "\n" << comments;
}

TEST_F(TaggerModule, Mp3CoverAndCustomFieldsReachFlac) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    const fs::path cover = dir / "cover.png";
    ASSERT_TRUE(MakeCover(cover, 20));
    const fs::path mp3 = dir / "in.mp3";
    ASSERT_TRUE(Succeeds("ffmpeg -nostdin -y -f lavfi -i sine=duration=1 -i " +
                         Quote(cover.string()) +
                         " -map 0 -map 1 -c:a libmp3lame -c:v copy -id3v2_version 3"
                         " -metadata title=Tune -metadata MYFIELD=Mine -metadata:s:v "
                         "comment='Cover (front)' " +
                         Quote(mp3.string())));
    const fs::path flac = Make("out.flac", kFlac);
    ASSERT_EQ(CopyTags(mp3, flac), 1);
    const fs::path exported = dir / "exported.png";
    ASSERT_TRUE(Succeeds("metaflac --export-picture-to=" + Quote(exported.string()) + " " +
                         Quote(flac.string())));
    EXPECT_TRUE(ReadAll(exported) == ReadAll(cover));
    const std::string comments =
        Output("metaflac --list --block-type=VORBIS_COMMENT " + Quote(flac.string()), dir);
    EXPECT_NE(comments.find("TITLE=Tune"), std::string::npos) << comments;
    EXPECT_NE(comments.find("MYFIELD=Mine"), std::string::npos) << comments;
}

TEST_F(TaggerModule, V2ContentCopiedIntoV1IsWrittenAsV1Only) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    const fs::path source =
        Make("v2.mp3", std::string(kMp3WithV24) + " -metadata title='Second Title' -metadata "
                                                  "artist=Somebody -metadata date=2011");
    const fs::path output = Make("out.mp3", kMp3);
    ASSERT_EQ(table->ReadTags(source.string().c_str()), 1);
    ASSERT_EQ(table->HasTag(TAG_KIND_V2), 1);
    ASSERT_EQ(table->HasTag(TAG_KIND_V1), 0);
    table->CopyTagContents(TAG_KIND_V2);
    EXPECT_EQ(Field(0, TAG_KIND_V1), "Second Title");
    ASSERT_EQ(table->WriteTags(output.string().c_str(), 1, 0), 1);
    const std::string listing = Output("id3v2 -l " + Quote(output.string()), dir);
    EXPECT_NE(listing.find("Title  : Second Title"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Year: 2011"), std::string::npos) << listing;
    EXPECT_NE(ReadAll(output).rfind("ID3", 0), 0u) << "an ID3v2 tag was written";
}

TEST_F(TaggerModule, FailedWritesLeaveTheFileAsItWas) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    const fs::path flac = dir / "big.flac";
    ASSERT_TRUE(MakeAudio(flac, std::string(kFlac) + " -metadata TITLE=Big"));
    WriteAll(dir / "big.bin", RandomBytes(300 * 1024));
    ASSERT_TRUE(Succeeds("metaflac '--import-picture-from=3|image/jpeg||16x16x24|" +
                         (dir / "big.bin").string() + "' " + Quote(flac.string())));

    const fs::path readOnly = Make("readonly.mp3", kMp3);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read);
    const std::string readOnlyBytes = ReadAll(readOnly);
    ASSERT_EQ(table->ReadTags(flac.string().c_str()), 1);
    EXPECT_EQ(table->WriteTags(readOnly.string().c_str(), 1, 1), 0);
    EXPECT_TRUE(ReadAll(readOnly) == readOnlyBytes);

    // The copy fits on the small disk, the copy with the picture does not.
    SmallDisk disk(dir / "small", "200k");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path small = dir / "small" / "small.mp3";
    ASSERT_TRUE(MakeAudio(small, kMp3));
    const std::string smallBytes = ReadAll(small);
    EXPECT_EQ(table->WriteTags(small.string().c_str(), 1, 1), 0);
    EXPECT_TRUE(ReadAll(small) == smallBytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "small"), fs::directory_iterator()), 1)
        << "the copy is removed";
}

TEST_F(TaggerModule, VorbisDescriptionAndYearBecomeId3CommentAndDate) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    // ffmpeg stores a comment as DESCRIPTION; other programs write YEAR instead of DATE.
    const fs::path flac = Make("in.flac", std::string(kFlac) + " -metadata COMMENT='A note'");
    ASSERT_TRUE(Succeeds("metaflac --set-tag=YEAR=1977 " + Quote(flac.string())));
    const fs::path mp3 = Make("out.mp3", kMp3);
    ASSERT_EQ(CopyTags(flac, mp3), 1);
    const std::string listing = Output("eyeD3 -2 " + Quote(mp3.string()), dir);
    EXPECT_NE(listing.find("Comment: [Description: ]"), std::string::npos) << listing;
    EXPECT_NE(listing.find("A note"), std::string::npos) << listing;
    EXPECT_NE(listing.find("recording date: 1977"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("[Description: DESCRIPTION]"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("[Description: YEAR]"), std::string::npos) << listing;
}

TEST_F(TaggerModule, WaveTagWrittenAndReadBackKeepsTheSamples) {
    // Made without outside tools, so that it also runs where ffmpeg is missing.
    const fs::path wav = dir / "song.wav";
    const std::string samples = RandomBytes(4000);
    WriteAll(wav, PcmWave(samples));
    ASSERT_EQ(table->GetTagFileType(wav.string().c_str()), 6);
    ASSERT_NE(table->SetTagFields("idv2: TITL=Night Song YEAR=1999", 0), 0);
    ASSERT_EQ(table->WriteTags(wav.string().c_str(), 0, 1), 1);

    table->ClearTags();
    ASSERT_EQ(table->ReadTags(wav.string().c_str()), 1);
    EXPECT_EQ(table->HasTag(TAG_KIND_V2), 1);
    EXPECT_EQ(Field(0, TAG_KIND_V2), "Night Song");
    EXPECT_EQ(Field(4, TAG_KIND_V2), "1999");
    EXPECT_NE(ReadAll(wav).find(samples), std::string::npos) << "the samples were changed";

    // TagLib alone would take any file named .wav or .aiff for one.
    WriteAll(dir / "text.wav", "hello\n");
    WriteAll(dir / "text.aiff", "hello, this is no AIFF file\n");
    fs::create_directories(dir / "folder.wav");
    for (const char *name : {"text.wav", "text.aiff", "folder.wav", "missing.wav"})
        EXPECT_EQ(table->GetTagFileType((dir / name).string().c_str()), 0) << name;
}

struct Destination {
    const char *name;
    const char *extra;
    bool allFields; // ffprobe shows every field (of WAV files only the LIST INFO chunk's)
    bool picture;   // ffmpeg shows the embedded picture of this format
};

class CopyFromFlac : public TaggerModule, public ::testing::WithParamInterface<Destination> {};

TEST_P(CopyFromFlac, KeepsEveryFieldAndTheCover) {
#if defined(_WIN32)
    GTEST_SKIP() << "makes and checks its files with ffmpeg and the tag tools, which are not here";
#endif
    const fs::path flac = MakeRichFlac();
    const fs::path output = Make(GetParam().name, GetParam().extra);
    ASSERT_EQ(CopyTags(flac, output), 1);

    struct Expected {
        const char *name;
        const char *value;
        bool common; // held by every format's tag
    };
    const Expected expected[] = {
        {"title", "Rich Title", true},       {"artist", "Rich Artist", true},
        {"album", "Rich Album", true},       {"date", "2004", true},
        {"composer", "The Composer", false}, {"album_artist", "Album Artist", false},
        {"myfield", "My Value", false},      {"disc", "2", false},
    };
    const auto tags = ProbeTags(output, dir);
    for (const Expected &field : expected) {
        if (!field.common && !GetParam().allFields)
            continue;
        const auto found = tags.find(field.name);
        EXPECT_TRUE(found != tags.end() && found->second == field.value) << field.name;
    }
    if (GetParam().picture) {
        EXPECT_TRUE(EmbeddedPicture(output, dir) == ReadAll(dir / "cover.png"));
    }

    // What the plug-in reads back carries everything on to the next copy.
    table->ClearTags();
    ASSERT_EQ(table->ReadTags(output.string().c_str()), 1);
    EXPECT_EQ(table->HasTag(TAG_KIND_V2), 1);
    EXPECT_EQ(table->HasTag(TAG_KIND_V1), 0);
    EXPECT_EQ(Field(0, TAG_KIND_V2), "Rich Title");
    const fs::path again = Make("again.flac", kFlac);
    ASSERT_EQ(CopyTags(output, again), 1);
    EXPECT_TRUE(EmbeddedPicture(again, dir) == ReadAll(dir / "cover.png"));
    const std::string comments =
        Output("metaflac --list --block-type=VORBIS_COMMENT " + Quote(again.string()), dir);
    for (const char *field :
         {"COMPOSER=The Composer", "ALBUMARTIST=Album Artist", "MYFIELD=My Value", "DISCNUMBER=2"})
        EXPECT_NE(comments.find(field), std::string::npos) << field;
}

INSTANTIATE_TEST_SUITE_P(Formats, CopyFromFlac,
                         ::testing::Values(Destination{"out.mp3", kMp3, true, true},
                                           Destination{"out.ogg", kVorbis, true, true},
                                           Destination{"out.opus", kOpus, true, true},
                                           Destination{"out.flac", kFlac, true, true},
                                           Destination{"out.wav", kWav, false, false},
                                           Destination{"out.aiff", kAiff, true, false}),
                         [](const auto &info) {
                             return fs::path(info.param.name).extension().string().substr(1);
                         });

} // namespace
