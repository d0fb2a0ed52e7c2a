// The plug-in loaders, folder scans, hidden window, converter state and the graphical-host
// encoder interface, driven with the test plug-ins; their event logs show what each library
// saw and that every library loaded was released again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "convert/QZ_Convertor.h"
#include "core/core.h"
#include "modules/QZ_ExtList.h"
#include "modules/gui.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "tests/support/process.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"
#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace {

using EnvList = std::vector<std::pair<std::string, std::string>>;

std::string UniqueName(const std::string &stem) {
    static std::mt19937_64 generator{std::random_device{}()};
    return stem + std::to_string(generator() % 1000000000);
}

std::vector<std::pair<int, std::string>> errors;

void CaptureError(int code, intptr_t arg) {
    errors.emplace_back(code, arg ? reinterpret_cast<const char *>(arg) : "");
}

int stopThreadStarts = 0;
void CountStopThreadStart() {
    ++stopThreadStarts;
}

class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = fs::temp_directory_path() / UniqueName("kn-modules-");
        fs::create_directories(scratch);
        SetEnv("KN_TEST_LOG", (scratch / "events.log").string());
        shadowWindow = nullptr;
        converterState.onError = CaptureError;
        errors.clear();
        stopThreadStarts = 0;
    }

    void TearDown() override {
        kernova::UnloadCurrentPlugIn_GUI();
        UnloadInModule();
        UnloadOutModule();
        UnloadWinampOutModule();
        for (int kind : {kInputModules, kWinampInputModules, kOutputModules})
            ClearModListStruct(GetModuleList(kind));
        for (const std::string &name : envNames)
            platform::SetEnvironment(name.c_str(), nullptr);
        std::error_code ignored;
        for (const fs::path &file : programFiles)
            fs::remove(file, ignored);
        FreeString(&winampFolder);
        converterState.onError = nullptr;
        shadowWindow = nullptr;
        startStopThread = nullptr;
        fs::remove_all(scratch);
    }

    void SetEnv(const std::string &name, const std::string &value) {
        platform::SetEnvironment(name.c_str(), value.c_str());
        envNames.push_back(name);
    }

    // Switches of the plug-in copy named `name` (file base name).
    void Configure(const std::string &name, const EnvList &switches) {
        std::string prefix = name;
        std::transform(prefix.begin(), prefix.end(), prefix.begin(), ::toupper);
        for (const auto &[key, value] : switches)
            SetEnv(prefix + "_" + key, value);
    }

    // Copies a test plug-in to scratch/<relative> and returns the full name.
    std::string Install(const std::string &plugin, const std::string &relative,
                        const EnvList &switches = {}) {
        fs::path target = scratch / fs::path(relative).make_preferred();
        fs::create_directories(target.parent_path());
        fs::copy_file(fs::path(KN_TEST_PLUGIN_DIR) / (plugin + platform::kLibrarySuffix), target,
                      fs::copy_options::overwrite_existing);
        Configure(target.stem().string(), switches);
        return target.string();
    }

    std::string WriteText(const std::string &relative) {
        fs::path target = scratch / fs::path(relative).make_preferred();
        fs::create_directories(target.parent_path());
        std::ofstream(target) << "not a library\n";
        return target.string();
    }

    // A file below the program's own folder, removed after the test. The folders stay: tests
    // running in parallel may share them.
    std::string InstallInProgramFolder(const std::string &relative) {
        char *main = GetMainPathName();
        fs::path target = fs::path(main) / fs::path(relative).make_preferred();
        FreeString(&main);
        fs::create_directories(target.parent_path());
        std::ofstream(target) << "x";
        programFiles.push_back(target);
        return target.string();
    }

    // Events that the plug-in copy `name` logged, in order.
    std::vector<std::string> Events(const std::string &name) const {
        std::vector<std::string> events;
        std::ifstream log(scratch / "events.log");
        std::string line;
        while (std::getline(log, line)) {
            if (line.rfind(name + " ", 0) == 0)
                events.push_back(line.substr(name.size() + 1));
        }
        return events;
    }

    // Every load of the copy was followed by its unload.
    bool Released(const std::string &name) const {
        int loaded = 0;
        for (const std::string &event : Events(name)) {
            if (event == "load")
                ++loaded;
            else if (event == "unload")
                --loaded;
        }
        return loaded == 0 && !Events(name).empty();
    }

    bool Logged(const std::string &name, const std::string &event) const {
        auto events = Events(name);
        return std::find(events.begin(), events.end(), event) != events.end();
    }

    fs::path scratch;
    std::vector<std::string> envNames;
    std::vector<fs::path> programFiles;
};

using EventList = std::vector<std::string>;

// ---- Decoders ----

TEST_F(LoaderTest, RefusedDecodersAreReleasedAndLeaveNoCurrentModule) {
    struct Case {
        const char *name;
        const char *plugin;
        EnvList switches;
    } cases[] = {
        {"version_ff", "test_decoder", {{"VERSION", "0xFF"}}},
        {"negative_version", "test_decoder", {{"VERSION", "-1"}}},
        {"no_output_plug", "test_decoder", {{"VERSION", "0x100"}, {"USES_OUTPUT_PLUG", "0"}}},
        {"null_table", "test_decoder", {{"NULL_TABLE", "1"}}},
        {"winamp_version_ff", "test_winamp_decoder", {{"VERSION", "0xFF"}}},
        {"no_decoder_entry", "test_encoder", {}},
    };
    for (const Case &c : cases) {
        std::string file =
            Install(c.plugin, std::string(c.name) + platform::kLibrarySuffix, c.switches);
        EXPECT_EQ(LoadInModule(file.c_str()), 0) << c.name;
        EXPECT_EQ(currentInModule, nullptr) << c.name;
        EXPECT_EQ(currentInModuleEx, nullptr) << c.name;
        EXPECT_TRUE(Released(c.name)) << c.name;
        EXPECT_FALSE(Logged(c.name, "Init")) << c.name;
    }
    EXPECT_EQ(LoadInModule(WriteText(LibraryFile("text")).c_str()), 0);
    EXPECT_EQ(LoadInModule(scratch.string().c_str()), 0);
    EXPECT_EQ(LoadInModule((scratch / LibraryFile("missing")).string().c_str()), 0);
    EXPECT_EQ(LoadInModule(nullptr), 0);
    EXPECT_TRUE(errors.empty());
}

TEST_F(LoaderTest, AcceptedDecoderIsWiredToTheCoreAndReleasedByUnload) {
    std::string file = Install("test_decoder", LibraryFile("dec"), {{"VERSION", "0x100"}});
    ASSERT_EQ(LoadInModule(file.c_str()), 1);
    ASSERT_NE(currentInModule, nullptr);
    In_Module &module = *currentInModule;
    EXPECT_EQ(module.hMainWindow, platform::GetDesktopWindow());
    EXPECT_NE(module.hDllInstance, nullptr);
    EXPECT_EQ(module.outMod, &coreOutModule);
    EXPECT_EQ(coreOutModule.version, 16);
    EXPECT_EQ(coreOutModule.id, 65536);
    EXPECT_EQ(coreOutModule.hMainWindow, nullptr);
    EXPECT_EQ(module.SAGetMode(), 2);
    int spectrum = 0, wave = 0;
    EXPECT_EQ(module.VSAGetMode(&spectrum, &wave), 2);
    EXPECT_EQ(spectrum, 44100);
    EXPECT_EQ(wave, 2);
    EXPECT_EQ(module.dsp_isactive(), 0);
    short samples[4] = {1, -2, 3, -4};
    EXPECT_EQ(module.dsp_dosamples(samples, 2, 16, 2, 44100), 2);
    EXPECT_EQ(samples[1], -2);
    module.SAVSAInit(0, 44100);
    module.SAAddPCMData(samples, 2, 16, 0);
    module.SetInfo(128, 44, 1, 1);
    ASSERT_NE(currentInModuleEx, nullptr);
    EXPECT_EQ(currentInModuleEx->SetParamString("fast"), 1);

    UnloadInModule();
    EXPECT_EQ(currentInModule, nullptr);
    EXPECT_EQ(currentInModuleEx, nullptr);
    UnloadInModule();
    // The extension table is taken as soon as it is found, before the entry runs.
    EXPECT_EQ(Events("dec"), (EventList{"load", "QZconvInputModAddrEx", "QZconvInputModAddr",
                                        "SetParamString fast", "Quit", "unload"}));
}

TEST_F(LoaderTest, DecoderLoadedDuringAJobSeesTheHiddenWindow) {
    shadowWindow = CreateShadowWindow();
    ASSERT_NE(shadowWindow, nullptr);
    std::string file = Install("test_winamp_decoder", LibraryFile("in_wa"));
    ASSERT_EQ(LoadInModule(file.c_str()), 1);
    EXPECT_EQ(currentInModule->hMainWindow, shadowWindow);
    EXPECT_EQ(coreOutModule.hMainWindow, shadowWindow);
    currentInModule->Init();
    EXPECT_TRUE(Logged("in_wa", "hMainWindow=shadow"));
    platform::SendMessage(shadowWindow, WM_CLOSE, 0, 0);
}

TEST_F(LoaderTest, LibraryWithBothDecoderEntriesIsTakenThroughTheWinampEntry) {
    std::string file = Install("test_winamp_decoder", LibraryFile("both"));
    ASSERT_EQ(LoadInModule(file.c_str()), 1);
    EXPECT_EQ(currentInModuleEx, nullptr);
    EXPECT_EQ(Events("both"), (EventList{"load", "winampGetInModule2"}));
}

TEST_F(LoaderTest, NativeDecoderWithoutExtensionTableHasNone) {
    std::string file = Install("test_decoder", LibraryFile("plain"), {{"NULL_EX", "1"}});
    ASSERT_EQ(LoadInModule(file.c_str()), 1);
    EXPECT_EQ(currentInModuleEx, nullptr);
}

// ---- Encoders ----

TEST_F(LoaderTest, RefusedEncodersReportTheNameAsGivenAndAreReleased) {
    struct Case {
        const char *name;
        const char *plugin; // null: no file at all; "text": not a library
        EnvList switches;
        int code;
    } cases[] = {
        {"missing", nullptr, {}, 2},
        {"text", "text", {}, 10},
        {"decoder", "test_decoder", {}, 10},
        {"null_table", "test_encoder", {{"NULL_TABLE", "1"}}, 10},
        {"version_15", "test_encoder", {{"VERSION", "15"}}, 10},
        {"negative", "test_encoder", {{"VERSION", "-16"}}, 10},
    };
    for (const Case &c : cases) {
        errors.clear();
        std::string relative = std::string(c.name) + platform::kLibrarySuffix;
        std::string file = (scratch / relative).string();
        if (c.plugin && std::string(c.plugin) == "text")
            WriteText(relative);
        else if (c.plugin)
            Install(c.plugin, relative, c.switches);
        EXPECT_EQ(LoadOutModule(file.c_str()), 0) << c.name;
        EXPECT_EQ(currentOutModule, nullptr) << c.name;
        ASSERT_EQ(errors.size(), 1u) << c.name;
        EXPECT_EQ(errors[0].first, c.code) << c.name;
        EXPECT_EQ(errors[0].second, file) << c.name;
        if (c.plugin && std::string(c.plugin) != "text") {
            EXPECT_TRUE(Released(c.name)) << c.name;
            EXPECT_FALSE(Logged(c.name, "Init")) << c.name;
        }
    }
    errors.clear();
    EXPECT_EQ(LoadOutModule(nullptr), 0);
    EXPECT_TRUE(errors.empty());
}

TEST_F(LoaderTest, LoadErrorsAreNotReportedBeforeAJobTookTheCallbacks) {
    converterState.onError = nullptr;
    std::string file = Install("test_encoder", LibraryFile("old"), {{"VERSION", "15"}});
    EXPECT_EQ(LoadOutModule(file.c_str()), 0);
    EXPECT_EQ(LoadOutModule((scratch / LibraryFile("missing")).string().c_str()), 0);
    EXPECT_TRUE(Released("old"));
}

TEST_F(LoaderTest, AcceptedEncoderGetsItsHandleAndTheSampleRateHandler) {
    std::string file = Install("test_encoder", LibraryFile("enc"), {{"VERSION", "16"}});
    ASSERT_EQ(LoadOutModule(file.c_str()), 1);
    ASSERT_NE(currentOutModule, nullptr);
    EXPECT_NE(currentOutModule->hInstance, nullptr);
    EXPECT_EQ(currentOutModule->FixFreqCallback, fixFreqHandler);
    UnloadOutModule();
    EXPECT_EQ(currentOutModule, nullptr);
    EXPECT_EQ(Events("enc"), (EventList{"load", "RegisterCompressModule", "Quit", "unload"}));
    EXPECT_TRUE(errors.empty());
}

// ---- Playback output ----

TEST_F(LoaderTest, WinampOutputIsCheckedWiredAndReleased) {
    struct Case {
        const char *name;
        EnvList switches;
        int loaded;
    } cases[] = {
        {"old", {{"VERSION", "15"}}, 0},
        {"null_table", {{"NULL_TABLE", "1"}}, 0},
        {"good", {}, 1},
    };
    shadowWindow = CreateShadowWindow();
    for (const Case &c : cases) {
        std::string file =
            Install("test_output", std::string(c.name) + platform::kLibrarySuffix, c.switches);
        EXPECT_EQ(LoadWinampOutModule(file.c_str()), c.loaded) << c.name;
        EXPECT_EQ(currentWinampOutModule != nullptr, c.loaded == 1) << c.name;
    }
    ASSERT_NE(currentWinampOutModule, nullptr);
    EXPECT_EQ(currentWinampOutModule->hMainWindow, shadowWindow);
    EXPECT_NE(currentWinampOutModule->hDllInstance, nullptr);
    UnloadWinampOutModule();
    EXPECT_EQ(currentWinampOutModule, nullptr);
    for (const Case &c : cases)
        EXPECT_TRUE(Released(c.name)) << c.name;
    EXPECT_TRUE(Logged("good", "Quit"));
    EXPECT_FALSE(Logged("good", "Init"));
    EXPECT_EQ(LoadWinampOutModule((scratch / LibraryFile("none")).string().c_str()), 0);
    EXPECT_TRUE(errors.empty());
    platform::SendMessage(shadowWindow, WM_CLOSE, 0, 0);
}

// ---- Finding module files ----

TEST_F(LoaderTest, NamesWithAFolderAreUsedUnchanged) {
    std::string existing = WriteText(LibraryFile("dir/enc"));
    struct Case {
        std::string name;
        int found;
    } cases[] = {{existing, 1},
                 {(scratch / "dir" / LibraryFile("none")).string(), 0},
                 {(scratch / "dir" / "enc").string(), 0}};
    for (const Case &c : cases) {
        for (auto find : {FindInModuleFile, FindOutModuleFile, FindWinampOutModuleFile}) {
            char *fullName = nullptr;
            EXPECT_EQ(find(c.name.c_str(), &fullName), c.found) << c.name;
            EXPECT_EQ(fullName ? std::string(fullName) : "", c.found ? c.name : "") << c.name;
            FreeString(&fullName);
        }
    }
}

TEST_F(LoaderTest, BareNamesAreLookedUpInThePlugInFoldersWithTheLibrarySuffix) {
    const std::string name = UniqueName("kn_find_");
    std::string in = InstallInProgramFolder("plugins/in/" + name + platform::kLibrarySuffix);
    std::string out = InstallInProgramFolder("plugins/out/" + name + platform::kLibrarySuffix +
                                             platform::kLibrarySuffix);
    std::string winampOut =
        InstallInProgramFolder("plugins/out/WinAMP/" + name + platform::kLibrarySuffix);
    struct Case {
        int (*find)(const char *, char **);
        std::string name;
        std::string expected; // empty: not found
    } cases[] = {
        {FindInModuleFile, name, in},
        {FindInModuleFile, name + platform::kLibrarySuffix, ""},
        {FindOutModuleFile, name, ""},
        {FindOutModuleFile, name + platform::kLibrarySuffix, out},
        {FindWinampOutModuleFile, name, winampOut},
        {FindOutModuleFile, ":" + name, ""},
    };
    for (const Case &c : cases) {
        char *fullName = nullptr;
        EXPECT_EQ(c.find(c.name.c_str(), &fullName), c.expected.empty() ? 0 : 1) << c.name;
        EXPECT_EQ(fullName ? std::string(fullName) : "", c.expected) << c.name;
        FreeString(&fullName);
    }
    char *untouched = nullptr;
    AssignString("keep", &untouched);
    EXPECT_EQ(FindOutModuleFile("kn_no_such_encoder", &untouched), 0);
    EXPECT_STREQ(untouched, "keep");
    FreeString(&untouched);
}

TEST_F(LoaderTest, DecoderNamesFallBackToThePluginsFolderThatTheWinampScanReads) {
    const std::string name = UniqueName("kn_wa_");
    fs::path winamp = scratch / "Winamp";
    WriteText("Winamp/plugins/" + name + platform::kLibrarySuffix);
    WriteText(LibraryFile("Winamp/Plugins/" + name + "_upper"));
    char *fullName = nullptr;
    EXPECT_EQ(FindInModuleFile(name.c_str(), &fullName), 0);
    AssignString(winamp.string().c_str(), &winampFolder);
    EXPECT_EQ(FindInModuleFile(name.c_str(), &fullName), 1);
    EXPECT_EQ(std::string(fullName ? fullName : ""),
              (winamp / "plugins" / (name + platform::kLibrarySuffix)).string());
    FreeString(&fullName);
    // Only the lower-case folder is read; on Windows, where names compare without case,
    // "Plugins" is that same folder.
#if defined(_WIN32)
    EXPECT_EQ(FindInModuleFile((name + "_upper").c_str(), &fullName), 1);
    EXPECT_EQ(std::string(fullName ? fullName : ""),
              (winamp / "plugins" / LibraryFile(name + "_upper")).string());
    FreeString(&fullName);
#else
    EXPECT_EQ(FindInModuleFile((name + "_upper").c_str(), &fullName), 0);
    EXPECT_EQ(fullName, nullptr);
#endif

    // The program's own folder is searched first.
    std::string own = InstallInProgramFolder("plugins/in/" + name + platform::kLibrarySuffix);
    EXPECT_EQ(FindInModuleFile(name.c_str(), &fullName), 1);
    EXPECT_EQ(std::string(fullName ? fullName : ""), own);
    FreeString(&fullName);
}

// ---- Folder scans ----

TEST_F(LoaderTest, DecoderScanKeepsOnlyAcceptedLibrariesAndReleasesEverything) {
    Install("test_decoder", LibraryFile("in/dec"),
            {{"DESCRIPTION", "dec Test"}, {"EXTENSIONS", "mp3;mp2|MPEG Audio,wav|Wave"}});
    Install("test_decoder", LibraryFile("in/old"), {{"VERSION", "0xFF"}});
    Install("test_decoder", LibraryFile("in/.hidden"));
    Install("test_decoder", LibraryFile("in/sub/nested"));
    WriteText("in/readme.txt");
    const std::string folder = (scratch / "in").string();

    EXPECT_EQ(LoadInModulesList(folder.c_str(), kInputModules), 1);
    const ModuleList *list = GetModuleList(kInputModules);
    ASSERT_EQ(list->count, 1);
    const ModuleRecord &record = *list->modules[0];
    EXPECT_EQ(std::string(record.fileName), (scratch / "in" / LibraryFile("dec")).string());
    EXPECT_STREQ(record.description, "dec Test");
    ASSERT_EQ(record.extensionCount, 2);
    EXPECT_STREQ(record.extensions[0], "MP3;MP2");
    EXPECT_STREQ(record.extensionDescriptions[0], "MPEG Audio");
    EXPECT_STREQ(record.extensions[1], "WAV");
    EXPECT_EQ(GetModuleList(kWinampInputModules)->count, 0);
    EXPECT_EQ(currentInModule, nullptr);

    EXPECT_EQ(Events("dec"), (EventList{"load", "QZconvInputModAddrEx", "QZconvInputModAddr",
                                        "Init", "hMainWindow=desktop", "Quit", "unload"}));
    EXPECT_TRUE(Released("old"));
    EXPECT_TRUE(Events(".hidden").empty());
    EXPECT_TRUE(Events("nested").empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(LoaderTest, ScanOfKindOneFillsTheWinampListAndARescanReplacesIt) {
    Install("test_winamp_decoder", LibraryFile("winamp/plugins/in_a"));
    Install("test_winamp_decoder", LibraryFile("winamp/plugins/in_b"));
    const std::string folder = (scratch / "winamp" / "plugins").string();
    EXPECT_EQ(LoadInModulesList(folder.c_str(), kWinampInputModules), 2);
    const ModuleList *list = GetModuleList(kWinampInputModules);
    ASSERT_EQ(list->count, 2);
    EXPECT_EQ(fs::path(list->modules[0]->fileName).filename(), LibraryFile("in_a"));
    EXPECT_EQ(fs::path(list->modules[1]->fileName).filename(), LibraryFile("in_b"));
    EXPECT_EQ(GetModuleList(kInputModules)->count, 0);

    fs::remove(scratch / "winamp" / "plugins" / LibraryFile("in_a"));
    EXPECT_EQ(LoadInModulesList(folder.c_str(), kWinampInputModules), 1);
    EXPECT_EQ(list->count, 1);
    EXPECT_EQ(LoadInModulesList((scratch / "nowhere").string().c_str(), kWinampInputModules), 0);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(LoadInModulesList(nullptr, kWinampInputModules), 0);
}

TEST_F(LoaderTest, EncoderScanSeesInitOnceAndQuitTwiceAndKeepsTheExtensionsCase) {
    Install("test_encoder", LibraryFile("out/enc"),
            {{"EXTENSION", "mp3"},
             {"EXTENSION_DESCRIPTION", "MPEG Layer 3"},
             {"DESCRIPTION", "enc - test"}});
    Install("test_encoder", LibraryFile("out/old"), {{"VERSION", "15"}});
    Install("test_decoder", LibraryFile("out/dec"));
    Install("test_encoder", LibraryFile("out/sub/nested"));
    WriteText("out/notes.txt");
    const std::string folder = (scratch / "out").string();

    EXPECT_EQ(LoadOutModulesList(folder.c_str()), 1);
    const ModuleList *list = GetModuleList(kOutputModules);
    ASSERT_EQ(list->count, 1);
    const ModuleRecord &record = *list->modules[0];
    EXPECT_EQ(std::string(record.fileName), (scratch / "out" / LibraryFile("enc")).string());
    EXPECT_STREQ(record.description, "enc - test");
    ASSERT_EQ(record.extensionCount, 1);
    EXPECT_STREQ(record.extensions[0], "mp3");
    EXPECT_STREQ(record.extensionDescriptions[0], "MPEG Layer 3");
    EXPECT_EQ(currentOutModule, nullptr);

    EXPECT_EQ(Events("enc"),
              (EventList{"load", "RegisterCompressModule", "Init", "Quit", "Quit", "unload"}));
    EXPECT_TRUE(Released("old"));
    EXPECT_TRUE(Released("dec"));
    EXPECT_TRUE(Events("nested").empty());
    // The scan reports refused libraries by their full names once a job took the callbacks.
    std::vector<std::pair<int, std::string>> expected = {
        {10, (scratch / "out" / LibraryFile("dec")).string()},
        {10, (scratch / "out" / LibraryFile("old")).string()}};
    EXPECT_EQ(errors, expected);
}

// ---- Hidden window and converter state ----

TEST_F(LoaderTest, HiddenWindowStartsTheStopThreadOnBothEndOfStreamMessages) {
    startStopThread = CountStopThreadStart;
    HWND window = CreateShadowWindow();
    ASSERT_NE(window, nullptr);
    std::thread decoder([window] {
        for (unsigned msg : {WM_USER + 2u, WM_USER + 1u, WM_USER + 3u, 0u})
            PostMessageA(window, msg, 0, 0);
    });
    decoder.join();
    int dispatched = 0;
    while (platform::PumpOneMessage())
        ++dispatched;
    EXPECT_EQ(dispatched, 4);
    EXPECT_EQ(stopThreadStarts, 2);

    startStopThread = nullptr;
    PostMessageA(window, WM_USER + 2, 0, 0);
    EXPECT_TRUE(platform::PumpOneMessage());
    EXPECT_EQ(platform::SendMessage(window, WM_DESTROY, 0, 0), 0);
    EXPECT_EQ(platform::SendMessage(window, WM_CLOSE, 0, 0), 0);
    EXPECT_EQ(PostMessageA(window, WM_USER + 2, 0, 0), 0);
    EXPECT_FALSE(platform::PumpOneMessage());
}

TEST_F(LoaderTest, ConverterStateOwnsTheHiddenWindowAndItsTexts) {
    ASSERT_EQ(InitConvertor(), 1);
    HWND window = converterState.shadowWindow;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(shadowWindow, window);
    ASSERT_NE(converterState.encoderExtensionGetter, nullptr);
    EXPECT_EQ(converterState.encoderExtensionGetter(), nullptr);
    std::string file = Install("test_encoder", LibraryFile("enc"), {{"EXTENSION", "ogg"}});
    ASSERT_EQ(LoadOutModule(file.c_str()), 1);
    EXPECT_STREQ(converterState.encoderExtensionGetter(), "ogg");
    UnloadOutModule();

    char **texts[] = {&converterState.inputName,         &converterState.outputName,
                      &converterState.encoderModuleName, &converterState.encoderParams,
                      &converterState.decoderParams,     &converterState.decoderName};
    for (char **text : texts)
        AssignString("text", text);
    DeInitConvertor();
    for (char **text : texts)
        EXPECT_EQ(*text, nullptr);
    EXPECT_EQ(PostMessageA(window, WM_USER + 2, 0, 0), 0);
    DeInitConvertor();
}

TEST_F(LoaderTest, EachJobGetsAFreshHiddenWindow) {
    ASSERT_EQ(InitConvertor(), 1);
    HWND first = converterState.shadowWindow;
    DeInitConvertor();
    ASSERT_EQ(InitConvertor(), 1);
    HWND second = converterState.shadowWindow;
    EXPECT_NE(first, second);
    EXPECT_EQ(PostMessageA(first, WM_USER + 2, 0, 0), 0);
    EXPECT_EQ(PostMessageA(second, WM_USER + 1, 0, 0), 1);
    DeInitConvertor();
    EXPECT_FALSE(platform::PumpOneMessage());
}

TEST_F(LoaderTest, CallbackCopiesComeFromTheHostTable) {
    HostCallbacks saved = GetHostTable();
    auto onMessage = [](int, intptr_t) {};
    auto onPosition = [](int) {};
    auto onLength = [](int) {};
    GetHostTable().onMessage = onMessage;
    GetHostTable().onError = CaptureError;
    GetHostTable().onPosition = onPosition;
    GetHostTable().onLength = onLength;
    converterState.onError = nullptr;
    TakeCallbackCopies();
    EXPECT_EQ(converterState.onMessage, +onMessage);
    EXPECT_EQ(converterState.onError, CaptureError);
    EXPECT_EQ(converterState.onPosition, +onPosition);
    EXPECT_EQ(converterState.onLength, +onLength);
    GetHostTable() = saved;
}

TEST_F(LoaderTest, TestStringsComeFromTheLoadedEncoder) {
    std::string file =
        Install("test_encoder", LibraryFile("enc"), {{"TESTSETS", "q:1|low;q:9 m:s|high.tst"}});
    ASSERT_EQ(LoadOutModule(file.c_str()), 1);
    struct Case {
        int index;
        int answer;
        const char *params;
        const char *name;
    } cases[] = {{0, 1, "q:1", "low"}, {1, 1, "q:9 m:s", "high.tst"}, {2, 0, "-", "-"}};
    for (const Case &c : cases) {
        const char *params = "-";
        const char *name = "-";
        EXPECT_EQ(GetTestString(&params, &name, c.index), c.answer) << c.index;
        EXPECT_STREQ(params, c.params) << c.index;
        EXPECT_STREQ(name, c.name) << c.index;
    }
}

// ---- Graphical host interface ----

TEST_F(LoaderTest, GuiLoadKeepsAnEncoderWhoseIdMatches) {
    std::string a = Install("test_encoder", LibraryFile("gui_a"), {{"MODULE_ID", "0x51"}});
    std::string b = Install("test_encoder", LibraryFile("gui_b"), {{"MODULE_ID", "7"}});
    struct Case {
        const std::string *file;
        uint32_t id;
        int loaded;
    } cases[] = {{&a, 0, 1}, {&b, 0x51, 0}, {&a, 0x51, 1}, {&b, 7, 1}};
    for (const Case &c : cases) {
        EXPECT_EQ(kernova::LoadPlugIn_GUI(c.file->c_str(), c.id), c.loaded) << *c.file << c.id;
        EXPECT_EQ(currentOutModule != nullptr, c.loaded == 1) << *c.file << c.id;
    }
    kernova::UnloadCurrentPlugIn_GUI();
    EXPECT_EQ(currentOutModule, nullptr);
    EXPECT_EQ(Events("gui_a"),
              (EventList{"load", "RegisterCompressModule", "Init", "Quit", "unload", "load",
                         "RegisterCompressModule", "Init", "Quit", "unload"}));
    EXPECT_EQ(Events("gui_b"),
              (EventList{"load", "RegisterCompressModule", "Init", "Quit", "unload", "load",
                         "RegisterCompressModule", "Init", "Quit", "unload"}));
}

TEST_F(LoaderTest, GuiUnloadLeavesEncodersLoadedByJobsAlone) {
    std::string file = Install("test_encoder", LibraryFile("job"));
    ASSERT_EQ(LoadOutModule(file.c_str()), 1);
    kernova::UnloadCurrentPlugIn_GUI();
    EXPECT_NE(currentOutModule, nullptr);
    EXPECT_FALSE(Logged("job", "Quit"));
    UnloadOutModule();
    EXPECT_EQ(kernova::LoadPlugIn_GUI((scratch / LibraryFile("none")).string().c_str(), 0), 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, 2);
}

TEST_F(LoaderTest, GuiCallsReachTheCurrentEncoderOnly) {
    char buffer[1024];
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    kernova::GetEncParamString_GUI(buffer, 5);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(kernova::GuiInitInterface(1), 0);
    EXPECT_EQ(kernova::ShowGUIAdvancedSettings(), 0);
    kernova::SendGUINotification_Module(1, 2);
    kernova::SetEncParamString_GUI("a:1", 3);
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    kernova::GetShortDesc_GUI("a:1", buffer);
    EXPECT_EQ(buffer[0], 'x');

    std::string file = Install("test_encoder", LibraryFile("gui"), {{"ADVANCED_RESULT", "42"}});
    ASSERT_EQ(kernova::LoadPlugIn_GUI(file.c_str(), 0), 1);
    kernova::GetEncParamString_GUI(buffer, 5);
    EXPECT_STREQ(buffer, "gui:5");
    kernova::SetEncParamString_GUI(nullptr, 3);
    kernova::SetEncParamString_GUI("a:1", 0);
    kernova::SetEncParamString_GUI("a:1  b:2", 3);
    kernova::GetShortDesc_GUI("c:3", buffer);
    EXPECT_STREQ(buffer, "gui c:3");
    EXPECT_EQ(kernova::ShowGUIAdvancedSettings(), 42);
    kernova::SendGUINotification_Module(8, 9);
    EXPECT_EQ(kernova::GuiInitInterface(77), 1);
    EXPECT_EQ(Events("gui"),
              (EventList{"load", "RegisterCompressModule", "Init", "GetGuiParams 5", "FreeParams",
                         "StringToParams a:1  b:2", "SetGuiParams 3 a:1 b:2", "FreeParams",
                         "StringToParams c:3", "FreeParams", "ShowAdvancedSettings 0",
                         "GuiNotify 8 9", "GuiInit 77"}));
}

} // namespace
