// The conversion's pure routines, driven with an encoder table of the test as the current encoder
// and the test's callbacks in the converter state: the sample-rate fix handler (the one table of
// -FIXFREQ cases), the output writer, module lists and the choice by extension, job naming.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cmdline/CommandRecord.h"
#include "convert/QZ_Conv_func.h"
#include "convert/QZ_Convertor.h"
#include "format/fix_freq.h"
#include "jobs/jobs.h"
#include "kernova/encoder.h"
#include "modules/QZ_ExtList.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "support/All_Func.h"
#include "tags/idtagger_extend.h"
#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/plugins/common/plugin_switches.h"

namespace fs = std::filesystem;

namespace {

// What the callbacks and the encoder saw, in order.
Lines events;
int paramBlock; // the parameter block the core must hand through unchanged

std::string Text(intptr_t arg) {
    return arg ? std::string(" ") + reinterpret_cast<const char *>(arg) : std::string();
}
void RecordError(int code, intptr_t arg) {
    events.push_back("E " + std::to_string(code) + Text(arg));
}
void RecordMessage(int code, intptr_t arg) {
    events.push_back("M " + std::to_string(code) + Text(arg));
}
void IgnoreValue(int) {}

struct Encoder {
    int rate = 0;         // parameter 1 as the encoder holds it
    int blockSize = 4608; // answer of GetBlockSize
    int openResult = 0, encodeResult = 0, wantStandard = 0;
    bool zeroedBuffers = true; // every ParamsToString buffer arrived zeroed
    std::string openedName;
    void *openedParams = nullptr;
    WAVEFORMATEX *format = nullptr;
    WAVEFORMATEX formatAtBlockSize{};
    std::string received; // bytes of Encode and EncodeLast, in order
} encoder;
EncoderTable table;

void SetParamValue(void *params, int which, int value) {
    events.push_back("SetParamValue " + std::to_string(which) + " " + std::to_string(value) +
                     (params == &paramBlock ? "" : " (foreign params)"));
    encoder.rate = value;
}
void ParamsToString(void *params, char **buffer) {
    for (int i = 0; i < ENCODER_PARAM_BUFFER_SIZE; ++i)
        encoder.zeroedBuffers = encoder.zeroedBuffers && (*buffer)[i] == 0;
    std::snprintf(*buffer, ENCODER_PARAM_BUFFER_SIZE, "f:%d%s", encoder.rate,
                  params == &paramBlock ? "" : " (foreign params)");
}
int Open(const char *outputName, void *params, WAVEFORMATEX *format, int *wantStandard) {
    events.push_back("Open");
    encoder.openedName = outputName ? outputName : "(null)";
    encoder.openedParams = params;
    encoder.format = format;
    *wantStandard = encoder.wantStandard;
    return encoder.openResult;
}
int GetBlockSize() {
    encoder.formatAtBlockSize = *encoder.format;
    return encoder.blockSize;
}
int Encode(const void *block) {
    events.push_back("Encode");
    encoder.received.append(static_cast<const char *>(block), encoder.blockSize);
    return encoder.encodeResult;
}
void EncodeLast(const void *buffer, int length) {
    events.push_back("EncodeLast " + std::to_string(length));
    encoder.received.append(static_cast<const char *>(buffer), length);
}
void Close() {
    events.push_back("Close");
}

class ConversionRoutinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        events.clear();
        encoder = Encoder{};
        table = EncoderTable{};
        table.version = ENCODER_TABLE_MIN_VERSION;
        table.extension = "tst";
        table.SetParamValue = SetParamValue;
        table.ParamsToString = ParamsToString;
        table.Open = ::Open;
        table.GetBlockSize = GetBlockSize;
        table.Encode = Encode;
        table.EncodeLast = EncodeLast;
        table.Close = Close;
        currentOutModule = &table;
        converterState = ConverterState{};
        converterState.onError = RecordError;
        converterState.onMessage = RecordMessage;
        converterState.onLength = IgnoreValue;
        converterState.onPosition = IgnoreValue;
        converterState.encoderParamBlock = &paramBlock;
        AssignString((temp / "out.tst").c_str(), &converterState.outputName);
        AssignString(NativePath("/music/song.wav").c_str(), &converterState.inputName);
    }
    void TearDown() override {
        MDC_Out_Close();
        FreeString(&converterState.outputName);
        FreeString(&converterState.inputName);
        converterState = ConverterState{};
        currentOutModule = nullptr;
        for (int kind : {kInputModules, kWinampInputModules, kOutputModules})
            ClearModListStruct(GetModuleList(kind));
    }
    const TempFolder temp;
};

Lines Changed(int rate) {
    return {"SetParamValue 1 " + std::to_string(rate), "E 81", "M 203 f:" + std::to_string(rate)};
}
Lines Shown(int rate) {
    return {"E 81", "M 203 f:" + std::to_string(rate)};
}

TEST_F(ConversionRoutinesTest, FixFreqModesActOnlyOnTheirCase) {
    struct Case {
        int mode, source, wanted;
        Lines events;
    };
    const Case cases[] = {
        {0, 44100, 48000, {"E 82 44100 -> 48000"}},
        {0, 48000, 44100, {"E 82 48000 -> 44100"}},
        {0, 44100, 22050, {}},
        {0, 48000, 48000, {}},
        {0, 96000, 44100, {}},
        {0, 12000, 8000, {}},
        {1, 22050, 16000, Changed(11025)},
        {1, 8000, 11025, Changed(16000)},
        {1, 32000, 44100, Changed(32000)}, // 44100 has no neighbour: the source rate
        {1, 44100, 48000, Changed(44100)},
        {1, 22050, 8000, Changed(11025)},
        {1, 16000, 22050, Changed(32000)},
        {1, 22050, 32000, Changed(44100)},
        {1, 44100, 22050, {}},
        {1, 96000, 48000, {}},
        {2, 48000, 44100, Changed(48000)},
        {2, 44100, 22050, {}},
        {2, 12000, 11025, {}},
        {3, 44100, 22050, Changed(44100)},
        {3, 96000, 48000, Changed(96000)},
        {3, 44100, 44100, {}},
        {5, 8000, 11025, Shown(11025)},
        {-1, 8000, 11025, Shown(11025)},
        {4, 44100, 48000, Shown(48000)},
        {INT_MIN, 16000, 44100, Shown(44100)},
        {5, 44100, 22050, {}},
        {5, 96000, 44100, {}},
    };
    for (const Case &c : cases) {
        events.clear();
        encoder.rate = c.wanted;
        converterState.fixFreq = c.mode;
        FixFreqHandler(c.source, c.wanted);
        EXPECT_EQ(events, c.events) << "mode " << c.mode << ", " << c.source << " -> " << c.wanted;
        EXPECT_TRUE(encoder.zeroedBuffers);
    }
    // An encoder without the slots still hears the change reported.
    table.SetParamValue = nullptr;
    table.ParamsToString = nullptr;
    events.clear();
    converterState.fixFreq = 2;
    FixFreqHandler(48000, 44100);
    EXPECT_EQ(events, (Lines{"E 81", "M 203 "}));
}

TEST(NeighbourRate, OtherFamilyNextToTheWantedRate) {
    struct Case {
        int wanted, upwards, downwards; // upwards: the source is lower than the wanted rate
    };
    const Case cases[] = {{8000, 11025, 11025},  {11025, 16000, 8000},  {16000, 22050, 11025},
                          {22050, 32000, 16000}, {32000, 44100, 22050}, {48000, 44100, 44100}};
    for (const Case &c : cases) {
        EXPECT_EQ(NeighbourRate(c.wanted - 1, c.wanted), c.upwards) << c.wanted;
        EXPECT_EQ(NeighbourRate(c.wanted, c.wanted), c.downwards) << c.wanted;
        EXPECT_EQ(NeighbourRate(c.wanted + 1, c.wanted), c.downwards) << c.wanted;
    }
    for (int wanted : {44100, 96000, 12000, 0})
        EXPECT_EQ(NeighbourRate(192000, wanted), 192000) << wanted;
}

// Before the first write the writer offers twice the encoder's block, 16384 bytes after it;
// writes of 4 bytes or fewer change nothing. (The end-to-end tests follow the blocks.)
TEST_F(ConversionRoutinesTest, OutputWriterOffersRoomAndIgnoresTinyWrites) {
    for (int blockSize : {4608, 1, 100000}) {
        events.clear();
        encoder.blockSize = blockSize;
        Out_Module *writer = GetEncoderOutModule();
        ASSERT_EQ(writer->Open(44100, 2, 16, -1, -1), 0);
        char bytes[8] = "abcdefg";
        for (int length : {1, 2, 3, 4, 0, -1})
            EXPECT_EQ(writer->Write(bytes, length), 0);
        EXPECT_EQ(writer->CanWrite(), 2 * blockSize);
        EXPECT_EQ(writer->Write(bytes, 5), 0);
        EXPECT_EQ(writer->CanWrite(), 16384);
        EXPECT_EQ(writer->IsPlaying(), 0);
        MDC_Out_Close();
        if (blockSize == 4608) {
            EXPECT_EQ(events, (Lines{"Open", "EncodeLast 5", "Close"}));
            EXPECT_EQ(encoder.received, "abcde");
        }
    }
}

TEST_F(ConversionRoutinesTest, OutputWriterOpensTheEncoderWithTheSourceOrTheStandardFormat) {
    struct Case {
        int wantStandard;
        int rate, channels, bits;
        unsigned wantRate, wantChannels, wantBits, wantAlign;
    };
    // The system's format converter must take the source format: the Windows one has no
    // formats of more than two channels and converts only 8 and 16 bits.
    const Case cases[] = {
        {0, 48000, platform::kPathSeparator == '/' ? 6 : 2, 16, 48000,
         platform::kPathSeparator == '/' ? 6u : 2u, 16, platform::kPathSeparator == '/' ? 12u : 4u},
        {1, 48000, 2, 16, 44100, 2, 16, 4},
        {0, 22050, 1, 8, 22050, 1, 8, 1},
        {1, 8000, 1, 8, 44100, 2, 16, 4},
    };
    for (const Case &c : cases) {
        encoder.wantStandard = c.wantStandard;
        ASSERT_EQ(GetEncoderOutModule()->Open(c.rate, c.channels, c.bits, -1, -1), 0);
        const WAVEFORMATEX &format = encoder.formatAtBlockSize;
        EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(
            std::vector<unsigned>({format.nSamplesPerSec, format.nChannels, format.wBitsPerSample,
                                   format.nBlockAlign, format.nAvgBytesPerSec}),
            std::vector<unsigned>(
                {c.wantRate, c.wantChannels, c.wantBits, c.wantAlign, c.wantAlign * c.wantRate}))
            << c.rate << " " << c.channels << " " << c.bits;
        EXPECT_EQ(encoder.openedParams, &paramBlock);
        MDC_Out_Close();
    }
}

TEST_F(ConversionRoutinesTest, OutputWriterReportsEncoderFailuresWithTheOutputName) {
    const std::string output = temp / "out.tst";
    Out_Module *writer = GetEncoderOutModule();
    ASSERT_EQ(writer->Open(44100, 2, 16, -1, -1), 0);
    std::string bytes(8192, 'x');
    ASSERT_EQ(writer->Write(bytes.data(), 1000), 0);
    encoder.encodeResult = 3;
    EXPECT_EQ(writer->Write(bytes.data(), 8192), -1);
    EXPECT_EQ(events, (Lines{"Open", "Encode", "E 9 " + output}));
    EXPECT_EQ(writer->IsPlaying(), 1) << "a failed write leaves the writer busy";
    EXPECT_EQ(writer->CanWrite(), 0);
    MDC_Out_Close();
    events.clear();
    encoder.openResult = -7;
    EXPECT_EQ(GetEncoderOutModule()->Open(44100, 2, 16, -1, -1), -1);
    MDC_Out_Close(); // reaches no encoder
    EXPECT_EQ(events, (Lines{"Open", "E -7 " + output}));
    EXPECT_EQ(writer->Write(bytes.data(), 8192), -1);
}

TEST_F(ConversionRoutinesTest, OutputNameIsCompletedAndItsFoldersCreated) {
    struct Case {
        std::string output, opened;
    };
    const Case cases[] = {
        {"sub/deeper/name", "sub/deeper/name.tst"},
        {"folder/", "folder/song.tst"},
        {"x/y/kept.wav", "x/y/kept.wav"},
    };
    for (const Case &c : cases) {
        AssignString((temp / c.output).c_str(), &converterState.outputName);
        ASSERT_EQ(GetEncoderOutModule()->Open(44100, 2, 16, -1, -1), 0);
        EXPECT_EQ(encoder.openedName, temp / c.opened);
        EXPECT_STREQ(converterState.outputName, (temp / c.opened).c_str());
        EXPECT_TRUE(fs::is_directory(fs::path(temp / c.opened).parent_path()));
        EXPECT_FALSE(fs::exists(temp / c.opened)) << "the writer creates no file itself";
        MDC_Out_Close();
    }
}

// ---- Module lists ----

ModuleRecord *NewRecord(const std::string &fileName, const std::string &block,
                        const char *encoderExtension = nullptr) {
    auto *record = new ModuleRecord{};
    AssignString(fileName.c_str(), &record->fileName);
    StrToExtList(record, block.c_str());
    if (encoderExtension) // encoders keep their extension as they gave it
        AssignString(encoderExtension, &record->extensions[0]);
    return record;
}

Lines Entries(const ModuleRecord &record, char **array) {
    Lines texts;
    for (int i = 0; i < record.extensionCount; ++i)
        texts.push_back(array[i] ? array[i] : "(null)");
    return texts;
}

std::string Chosen(char *name) {
    const std::string shown = name ? name : "(null)";
    FreeString(&name);
    return shown;
}

TEST_F(ConversionRoutinesTest, ExtensionListsBecomeUpperCaseEntries) {
    ModuleRecord record{};
    StrToExtList(&record, testplugin::ExtensionBlock("mp3;mp2|MPEG Audio,m\xe4p-1;a_z|x").c_str());
    EXPECT_EQ(Entries(record, record.extensions), (Lines{"MP3;MP2", "M\xe4P-1;A_Z"}));
    EXPECT_EQ(Entries(record, record.extensionDescriptions), (Lines{"MPEG Audio", "x"}));
    ClearModStruct(&record);
    EXPECT_EQ(record.extensionCount, 0);
    // A block that ends right after an extension text is read that far and no further.
    const std::string exact("mp3\0M\0wav\0\0", 11);
    std::vector<char> bytes(exact.begin(), exact.end());
    StrToExtList(&record, bytes.data());
    EXPECT_EQ(Entries(record, record.extensions), (Lines{"MP3", "WAV"}));
    EXPECT_EQ(Entries(record, record.extensionDescriptions), (Lines{"M", ""}));
    ClearModStruct(&record);
    EXPECT_EQ(AddExtToList(&record, testplugin::ExtensionBlock("ogg|Ogg Vorbis").c_str()), 15u);
    StrToExtList(&record, nullptr);
    EXPECT_EQ(record.extensionCount, 1);
    ClearModStruct(&record);
    std::string many;
    for (int i = 0; i < 300; ++i)
        many += (many.empty() ? "" : ",") + ("e" + std::to_string(i)) + "|d" + std::to_string(i);
    StrToExtList(&record, testplugin::ExtensionBlock(many).c_str());
    ASSERT_EQ(record.extensionCount, 255) << "entries beyond 255 are skipped";
    EXPECT_STREQ(record.extensions[254], "E254");
    ClearModStruct(&record);
}

TEST_F(ConversionRoutinesTest, ListsHoldAtMost255ModulesAndChooseByExtension) {
    for (int kind : {3, -1, 255})
        EXPECT_EQ(GetModuleList(kind), nullptr) << kind;
    ModuleList *inputs = GetModuleList(kInputModules);
    for (int i = 0; i < 255; ++i)
        AddMdlInList(inputs, NewRecord("m" + std::to_string(i), "\0"));
    ModuleRecord *refused = NewRecord("m255", "\0");
    AddMdlInList(inputs, refused);
    ASSERT_EQ(inputs->count, 255);
    EXPECT_STREQ(inputs->modules[254]->fileName, "m254");
    ClearModStruct(refused);
    delete refused;
    ClearModListStruct(inputs);
    EXPECT_EQ(inputs->modules, nullptr);
    const auto add = [](int kind, ModuleRecord *record) {
        AddMdlInList(GetModuleList(kind), record);
    };
    add(kWinampInputModules, NewRecord("wa_ogg", testplugin::ExtensionBlock("ogg|Ogg")));
    add(kWinampInputModules, NewRecord("wa_mod", testplugin::ExtensionBlock("mod;xm|Tracker")));
    add(kInputModules, NewRecord("first", testplugin::ExtensionBlock("ogg|Ogg,MP3;;MP1|Old")));
    add(kInputModules, NewRecord("second", testplugin::ExtensionBlock("ogg;flac|Both")));
    add(kOutputModules, NewRecord("lame", testplugin::ExtensionBlock("mp3|MPEG"), "mp3"));
    add(kOutputModules, NewRecord("wave1", testplugin::ExtensionBlock("WAV|Wave"), "WAV"));
    add(kOutputModules, NewRecord("wave2", testplugin::ExtensionBlock("wav|Wave"), "wav"));
    struct Case {
        const char *name;
        uint8_t first; // 0, 1: the plug-in decoders from that one on; 2, 3: the Winamp ones
        const char *decoder;
        const char *encoder;
    };
    const Case cases[] = {
        {"a.ogg", 0, "first", "(null)"},         {"A.Ogg", 1, "second", "(null)"},
        {"a/b.c/x.flac", 0, "second", "(null)"}, {"tune.XM", 0, "wa_mod", "(null)"},
        {"a.ogg", 2, "wa_ogg", "(null)"},        {"a.ogg", 3, "(null)", "(null)"},
        {"a.ogg", 4, "(null)", "(null)"},        {"x.MP1", 0, "first", "(null)"},
        {"OUT.Mp3", 0, "first", "lame"},         {"x.wav", 0, "(null)", "wave1"},
        {"song.", 0, "(null)", "(null)"},        {"song", 0, "(null)", "(null)"},
        {"x.mp", 0, "(null)", "(null)"},         {"", 0, "(null)", "(null)"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Chosen(GetInModuleForFile(c.name, c.first)), c.decoder)
            << c.name << " " << int(c.first);
        EXPECT_EQ(Chosen(GetOutModuleForFile(c.name)), c.encoder) << c.name;
    }
    EXPECT_EQ(Chosen(GetInModuleForFile(nullptr, 0)), "(null)");
    const ModuleList *list = GetModuleList(kInputModules);
    for (const char *extension : {"MP", "mp3", "", "MP3;MP1", "OG"})
        EXPECT_EQ(IsInModExt(extension, 0, list), -1) << extension;
    EXPECT_EQ(IsInModExt("MP1", 0, list), 1);
    EXPECT_EQ(IsInModExt("FLAC", 1, list), 0);
    EXPECT_EQ(IsInModExt("FLAC", 2, list), -1);
    EXPECT_EQ(IsInModExt("MP3", 0, nullptr), -1);
    EXPECT_EQ(IsInModExt(nullptr, 0, list), -1);
    const char *untouched = "untouched";
    EXPECT_EQ(GetTestString(&untouched, &untouched, 0), 0) << "no encoder is loaded";
}

// ---- Job naming ----

struct Jobs {
    JobArrays arrays{};
    int count = 0;
    ~Jobs() {
        for (int i = 0; i < count; ++i) {
            FreeString(&arrays.sources[i]);
            FreeString(&arrays.outputs[i]);
        }
        delete[] arrays.sources;
        delete[] arrays.outputs;
    }
};

// Recursive passes come in their order: matching entries, then every sub-folder for the
// pattern (a folder the pattern matches is searched in both); hidden entries are left out.
TEST(JobNaming, ScanFolderPassesComeInTheirOrder) {
    const TempFolder temp;
    for (const char *file : {"in/b.wav", "in/a.wav", "in/.hidden.wav", "in/c.mp3", "in/rock/r.wav",
                             "in/rock/live/l.wav", "in/.secret/s.wav", "in/x.wav/inner.wav"}) {
        fs::create_directories(fs::path(temp / file).parent_path());
        std::ofstream(temp / file) << "x";
    }
    struct Case {
        const char *pattern;
        int recursive;
        Lines expected;
    };
    Case cases[] = {
        {"in/*.wav", 0, {"in/a.wav", "in/b.wav", "in/x.wav"}},
        {"in/*.wav",
         1,
         {"in/a.wav", "in/b.wav", "in/x.wav/inner.wav", "in/x.wav", "in/.secret/s.wav",
          "in/rock/r.wav", "in/rock/live/l.wav"}},
        {"in/*.*",
         1,
         {"in/.secret/s.wav", "in/a.wav", "in/b.wav", "in/c.mp3", "in/rock/live/l.wav",
          "in/rock/live", "in/rock/r.wav", "in/rock", "in/x.wav/inner.wav", "in/x.wav"}},
        // A link back up the tree is never followed.
        {"in/rock/*.wav", 1, {"in/rock/r.wav", "in/rock/live/l.wav"}},
    };
    for (const Case &c : cases) {
#if !defined(_WIN32)
        if (c.pattern == std::string("in/rock/*.wav"))
            fs::create_directory_symlink(temp / "in", temp / "in/rock/live/loop");
#endif
        CommandRecord record{};
        record.mode = kModeShowId; // every file is offered
        record.recursive = c.recursive;
        Jobs jobs;
        ScanFolder(&record, (temp / c.pattern).c_str(), nullptr, &jobs.arrays, &jobs.count, nullptr,
                   0);
        Lines found;
        for (int i = 0; i < jobs.count; ++i)
            found.push_back(std::string(jobs.arrays.sources[i]).substr(temp.path().size() + 1));
        Lines expected;
        for (const std::string &name : c.expected)
            expected.push_back(NativePath(name));
        EXPECT_EQ(found, expected) << c.pattern << " " << c.recursive;
        ClearCommandRecord(&record);
    }
}

// The job file's name replaces what the variable held (the ASan build sees a lost one).
TEST(JobNaming, JobFileNameReplacesWhatTheNameHeld) {
    const std::string expected = std::string(KN_TEST_BIN_DIR) + NativePath("/temp.dat");
    for (const char *held : {static_cast<const char *>(nullptr), "old name"}) {
        char *name = nullptr;
        AssignString(held, &name);
        GetJobFileName(&name);
        EXPECT_STREQ(name, expected.c_str()) << (held ? held : "<null>");
        FreeString(&name);
    }
}

TEST(JobNaming, SafeWordIsTakenOnlyBeforeMoreText) {
    struct Case {
        const char *argument;
        int safe;
        const char *rest;
    };
    const Case cases[] = {
        {"safe idv2: TITL=x", 1, " idv2: TITL=x"},
        {"SaFe id: TITL=x", 1, " id: TITL=x"},
        {"SAFE", 0, "SAFE"},
        {"safeX", 0, "safeX"},
        {"safetitle=x", 1, "title=x"},
        {"idv1: TITL=x", 0, "idv1: TITL=x"},
        {nullptr, 0, nullptr},
    };
    for (const Case &c : cases) {
        CommandRecord record{};
        record.setIdSafe = 7;
        AssignString(c.argument, &record.setIdArg);
        ParseSetIdSafe(&record);
        EXPECT_EQ(record.setIdSafe, c.safe) << (c.argument ? c.argument : "<null>");
        EXPECT_STREQ(record.setIdArg, c.rest);
        EXPECT_EQ(ApplySetIdFields(&record), 0) << "no tag plug-in is loaded";
        ClearCommandRecord(&record);
    }
}

} // namespace
