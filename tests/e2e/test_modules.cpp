// Plug-in discovery and loading as a host sees them: the start-up scans of plugins/in and
// plugins/out, the Winamp folder, encoders named by a command, and the encoder interface of a
// graphical host; the fakes' event logs show what each library saw and that every library
// loaded was released again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixtures/harness.h"

namespace {

using Switches = std::vector<std::pair<std::string, std::string>>;

class ModulesE2E : public ::testing::Test {
  protected:
    // Installs a fake as <folder>/<name> with its switches.
    void Add(const std::string &fake, const std::string &folder, const std::string &name,
             const Switches &switches = {}) {
        sb.AddFake(fake, folder, name);
        std::string prefix = name;
        std::transform(prefix.begin(), prefix.end(), prefix.begin(), ::toupper);
        for (const auto &[key, value] : switches)
            sb.env[prefix + "_" + key] = value;
    }

    // A scan releases each library before it loads the next one, so the lines of one library
    // never interleave with another's. (A library left loaded would only log its unload when
    // the process ends.)
    bool ScannedOneAtATime() const {
        std::string open;
        for (const std::string &line : sb.AllEvents()) {
            const std::string name = line.substr(0, line.find(' '));
            const std::string event = line.substr(name.size() + 1);
            if (name == "probe")
                continue;
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

    Sandbox sb;
};

TEST_F(ModulesE2E, DecoderScanKeepsOnlyAcceptedLibrariesAndReleasesEveryOne) {
    Add("fake_decoder", "plugins/in", "dec",
        {{"DESCRIPTION", "dec Test"}, {"EXTENSIONS", "mp3;mp2|MPEG Audio,wav|Wave"}});
    Add("fake_winamp_decoder", "plugins/in", "both", {{"DESCRIPTION", "both Winamp"}});
    Add("fake_decoder", "plugins/in", "old", {{"VERSION", "0xFF"}});
    Add("fake_decoder", "plugins/in", "negative", {{"VERSION", "-1"}});
    Add("fake_decoder", "plugins/in", "noout", {{"VERSION", "0x100"}, {"USES_OUTPUT_PLUG", "0"}});
    Add("fake_decoder", "plugins/in", "empty", {{"NULL_TABLE", "1"}});
    Add("fake_encoder", "plugins/in", "notdecoder");
    Add("fake_decoder", "plugins/in/sub", "nested");
    sb.WriteFile(sb.app + NativePath("/plugins/in/readme.txt"), "not a plug-in\n");
    Add("fake_encoder", "plugins/out", "enc");
    EXPECT_EQ(sb.Callbacks({"-LISTDEC"}),
              (Lines{"M 67 both", "M 61 both Winamp", "M 68 PCM", "M 69 PCM Pattern", "M 67 dec",
                     "M 61 dec Test", "M 68 MP3;MP2", "M 69 MPEG Audio", "M 68 WAV", "M 69 Wave",
                     "M 97", "R 1 last=97"}));
    // The extension table is taken as soon as it is found, before the entry runs; decoders
    // see the desktop window during the start-up scan.
    EXPECT_EQ(sb.Events("dec"), (Lines{"load", "QZconvInputModAddrEx", "QZconvInputModAddr", "Init",
                                       "hMainWindow=desktop", "Quit", "unload"}));
    EXPECT_EQ(sb.Events("both"), (Lines{"load", "winampGetInModule2", "Init", "hMainWindow=desktop",
                                        "Quit", "unload"}));
    for (const char *name : {"old", "negative", "noout", "empty", "notdecoder"}) {
        const Lines events = sb.Events(name);
        EXPECT_EQ(CountOf(events, "Init"), 0u) << name;
        EXPECT_EQ(CountOf(events, "load") + CountOf(events, "unload"), 2u) << name;
    }
    EXPECT_TRUE(sb.Events("nested").empty());
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, EncoderScanSeesInitOnceQuitTwiceAndSkipsRefusedLibrariesSilently) {
    Add("fake_decoder", "plugins/in", "dec");
    Add("fake_encoder", "plugins/out", "enc_a",
        {{"EXTENSION", "mp3"}, {"EXTENSION_DESCRIPTION", "MPEG Layer 3"}, {"DESCRIPTION", "A"}});
    Add("fake_encoder", "plugins/out", "enc_b", {{"EXTENSION", "OGG"}, {"DESCRIPTION", "B"}});
    Add("fake_encoder", "plugins/out", "old", {{"VERSION", "15"}});
    Add("fake_encoder", "plugins/out", "negative", {{"VERSION", "-16"}});
    Add("fake_encoder", "plugins/out", "empty", {{"NULL_TABLE", "1"}});
    Add("fake_decoder", "plugins/out", "decoder");
    Add("fake_encoder", "plugins/out/sub", "nested");
    sb.WriteFile(sb.app + NativePath("/plugins/out/notes.txt"), "text\n");
    EXPECT_EQ(sb.Callbacks({"-LISTENC"}),
              (Lines{"M 67 enc_a", "M 61 A", "M 68 mp3", "M 69 MPEG Layer 3", "M 67 enc_b",
                     "M 61 B", "M 68 OGG", "M 69 Pattern PCM", "M 97", "R 1 last=97"}));
    for (const char *name : {"enc_a", "enc_b"})
        EXPECT_EQ(sb.Events(name),
                  (Lines{"load", "RegisterCompressModule", "Init", "Quit", "Quit", "unload"}))
            << name;
    for (const char *name : {"old", "negative", "empty"})
        EXPECT_EQ(sb.Events(name), (Lines{"load", "RegisterCompressModule", "unload"})) << name;
    EXPECT_EQ(CountOf(sb.Events("decoder"), "unload"), 1u);
    EXPECT_TRUE(sb.Events("nested").empty());
    EXPECT_TRUE(ScannedOneAtATime());
}

TEST_F(ModulesE2E, StartUpFailsWithoutDecodersOrEncodersButReleasesWhatItTried) {
    for (bool decoder : {true, false}) {
        Sandbox fresh;
        fresh.AddFake(decoder ? "fake_decoder" : "fake_encoder",
                      decoder ? "plugins/in" : "plugins/out", "one");
        fresh.AddFake("fake_encoder", "plugins/out", "old");
        fresh.env["OLD_VERSION"] = "15";
        EXPECT_EQ(SplitLines(fresh.Probe({}).out), (Lines{"INIT 0"})) << decoder;
        EXPECT_EQ(CountOf(fresh.Events("old"), "load"), 1u);
        EXPECT_EQ(CountOf(fresh.Events("old"), "unload"), 1u);
    }
}

// The Winamp folder's "plugins" sub-folder is scanned by the listing, with the hidden window,
// and its decoders can be named with -DEC afterwards.
TEST_F(ModulesE2E, WinampFolderIsScannedByTheListingAndItsDecodersCanBeNamed) {
    Add("fake_decoder", "plugins/in", "dec",
        {{"DESCRIPTION", "dec Native"}, {"EXTENSIONS", "pcm|PCM"}});
    Add("fake_encoder", "plugins/out", "enc");
    Add("fake_winamp_decoder", "../Winamp/plugins", "in_x",
        {{"DESCRIPTION", "in_x Tracker"}, {"EXTENSIONS", "mod;xm|Modules"}});
    // Only the lower-case folder is read; on Windows, where names compare without case,
    // "Plugins" is that same folder.
    Add("fake_winamp_decoder", "../Winamp/Plugins", "in_upper");
    const std::string winamp = sb.root + NativePath("/Winamp");
    sb.WriteFile("song.pcm", "data");
    const Lines lines =
        sb.Callbacks({"-LISTDEC -WINAMP " + winamp, "-I song.pcm -O song.enc -ENC enc -DEC in_x"});
    const Lines listing = {"M 67 dec",    "M 61 dec Native", "M 68 PCM",
                           "M 69 PCM",    "M 67 in_x",       "M 61 [WinAMP] in_x Tracker",
                           "M 68 MOD;XM", "M 69 Modules",    "M 97",
                           "R 1 last=97"};
    ASSERT_GE(lines.size(), listing.size());
#if !defined(_WIN32)
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + listing.size()), listing);
    EXPECT_TRUE(sb.Events("in_upper").empty());
#endif
    EXPECT_TRUE(Contains(lines, "M 206 in_x"));
    EXPECT_EQ(lines.back(), "R 1 last=97");
    const Lines events = sb.Events("in_x");
    EXPECT_EQ(
        Lines(events.begin(), events.begin() + 6),
        (Lines{"load", "winampGetInModule2", "Init", "hMainWindow=shadow", "Quit", "unload"}));
    EXPECT_EQ(CountOf(events, "Play " + sb.Path("song.pcm")), 1u);
    EXPECT_EQ(sb.ReadFile("song.enc").size(), 65536u);
}

// An encoder named by a command is looked up in plugins/out with the library suffix added,
// loaded without Init, refused with the name as given, and released with Quit.
TEST_F(ModulesE2E, EncodersNamedByACommandAreFoundCheckedAndReleased) {
    Add("fake_decoder", "plugins/in", "dec");
    Add("fake_encoder", "plugins/out", "enc", {{"HELP", "q:<0..9> quality"}});
    Add("fake_encoder", "plugins/out", "old", {{"VERSION", "15"}});
    Add("fake_encoder", "plugins/out", "empty", {{"NULL_TABLE", "1"}});
    Add("fake_decoder", "plugins/out", "decoder");
    sb.WriteFile(sb.app + NativePath("/plugins/out/") + LibraryFile("text"), "not a library\n");
    struct Case {
        std::string name;
        Lines lines;
    };
    const Case cases[] = {
        {"enc", {"M 0 q:<0..9> quality"}},
        {"ENC", {"M 0 q:<0..9> quality"}},
        {"nothing", {"E 2 nothing", "M 88 nothing"}},
        {LibraryFile("enc"), {"E 2 " + LibraryFile("enc"), "M 88 " + LibraryFile("enc")}},
        {"old", {"E 10 old", "M 88 old"}},
        {"empty", {"E 10 empty", "M 88 empty"}},
        {"decoder", {"E 10 decoder", "M 88 decoder"}},
        {"text", {"E 10 text", "M 88 text"}},
    };
    for (const Case &c : cases) {
        sb.ClearEvents();
        const RunResult run = sb.Probe({"-HELPENC " + c.name});
        EXPECT_EQ(run.out, "INIT 1\n" +
                               (c.lines.size() == 1 ? std::string("q:<0..9> quality\n")
                                                    : c.lines[0] + "\n" + c.lines[1] + "\n") +
                               "M 97\nR 1 last=97\n")
            << c.name;
        const Lines events = sb.Events(c.name);
        EXPECT_EQ(CountOf(events, "load"), CountOf(events, "unload")) << c.name;
        if (c.name == "enc") {
            ASSERT_GE(events.size(), 4u);
            EXPECT_EQ(Lines(events.end() - 4, events.end()),
                      (Lines{"load", "RegisterCompressModule", "Quit", "unload"}));
        }
        EXPECT_TRUE(ScannedOneAtATime()) << c.name;
    }
    sb.env["ENC_HELP"] = "";
    EXPECT_EQ(sb.Probe({"-HELPENC enc"}).out, "INIT 1\n\nM 97\nR 1 last=97\n")
        << "an empty help text is one empty line";
}

// ---- The encoder interface of a graphical host ----

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

// Two encoders (ids 0x41 and 0x42) and a decoder; each script is a run of the probe host, its
// calls' answers, and the encoders' events between the calls (the start-up scan left out).
TEST_F(ModulesE2E, GuiCallsReachTheCurrentEncoderOnlyAndLoadsFollowTheIds) {
    Add("fake_encoder", "plugins/out", "enc_a", {{"MODULE_ID", "0x41"}, {"ADVANCED_RESULT", "7"}});
    Add("fake_encoder", "plugins/out", "enc_b",
        {{"MODULE_ID", "0x42"}, {"GUI_PARAMS", "b:24 c:2"}});
    Add("fake_decoder", "plugins/in", "dec");
    Add("fake_decoder", "plugins/out", "notencoder");
    const Lines get5 = {"probe @get 5"};
    struct Case {
        const char *label;
        Lines script;
        Lines answers;
        Lines log;
    };
    const Case cases[] = {
        {"id 0 takes any encoder",
         {"@load enc_a 0", "@get 5", "@unload"},
         {"load 1", "get [gui:5]", "unload"},
         Join({{"probe @load enc_a 0"},
               Loaded("enc_a"),
               get5,
               {"enc_a GetGuiParams 5", "enc_a FreeParams", "probe @unload"},
               Released("enc_a")})},
        {"its own id; the get sends what the encoder built from the controls",
         {"@load enc_b 0x42", "@get 1", "@unload"},
         {"load 1", "get [b:24 c:2]", "unload"},
         Join({{"probe @load enc_b 0x42"},
               Loaded("enc_b"),
               {"probe @get 1"},
               {"enc_b GetGuiParams 1", "enc_b FreeParams", "probe @unload"},
               Released("enc_b")})},
        {"another encoder's id",
         {"@load enc_a 0x42", "@get 5", "@unload"},
         {"load 0", "get []", "unload"},
         Join({{"probe @load enc_a 0x42"},
               Loaded("enc_a"),
               Released("enc_a"),
               get5,
               {"probe @unload"}})},
        {"no such encoder, or no encoder",
         {"@load nothere 0", "@load notencoder 0", "@unload"},
         {"load 0", "load 0", "unload"},
         {"probe @load nothere 0", "probe @load notencoder 0", "probe @unload"}},
        {"a second load releases the first",
         {"@load enc_a 0", "@load enc_b 0", "@guiinit 3", "@unload", "@unload"},
         {"load 1", "load 1", "guiinit 1", "unload", "unload"},
         Join({{"probe @load enc_a 0"},
               Loaded("enc_a"),
               {"probe @load enc_b 0"},
               Released("enc_a"),
               Loaded("enc_b"),
               {"probe @guiinit 3", "enc_b GuiInit 3", "probe @unload"},
               Released("enc_b"),
               {"probe @unload"}})},
        {"without an encoder nothing is called",
         {"@get 7", "@desc q:1", "@set q:1 9", "@adv", "@notify 1 2", "@guiinit 4"},
         {"get []", "desc [untouched]", "set", "adv 0", "notify", "guiinit 0"},
         {"probe @get 7", "probe @desc q:1", "probe @set q:1 9", "probe @adv", "probe @notify 1 2",
          "probe @guiinit 4"}},
        {"each export calls its slots in order",
         {"@load enc_a 0", "@set q:1  r:2 9", "@set (null) 9", "@set q:1 0", "@desc q:3", "@adv",
          "@notify 4 5", "@unload"},
         {"load 1", "set", "set", "set", "desc [enc_a q:3]", "adv 7", "notify", "unload"},
         Join({{"probe @load enc_a 0"},
               Loaded("enc_a"),
               {"probe @set q:1  r:2 9", "enc_a StringToParams q:1  r:2",
                "enc_a SetGuiParams 9 q:1 r:2", "enc_a FreeParams", "probe @set (null) 9",
                "probe @set q:1 0", "probe @desc q:3", "enc_a StringToParams q:3",
                "enc_a FreeParams", "probe @adv", "enc_a ShowAdvancedSettings 0",
                "probe @notify 4 5", "enc_a GuiNotify 4 5", "probe @unload"},
               Released("enc_a")})},
        // The command loads and releases its own encoder; after it no encoder is current.
        {"a command in between leaves no encoder current",
         {"@load enc_a 0", "-HELPENC enc_b", "@get 1", "@guiinit 2", "@unload"},
         {"load 1", "enc_b help text", "M 97", "R 1 last=97", "get []", "guiinit 0", "unload"},
         Join({{"probe @load enc_a 0"},
               Loaded("enc_a"),
               {"probe -HELPENC enc_b"},
               {"enc_b load", "enc_b RegisterCompressModule"},
               Released("enc_b"),
               {"probe @get 1", "probe @guiinit 2", "probe @unload"}})},
    };
    for (const Case &c : cases) {
        sb.ClearEvents();
        Lines answers = sb.Callbacks(c.script);
        EXPECT_EQ(answers, c.answers) << c.label;
        Lines log;
        bool started = false;
        for (const std::string &line : sb.AllEvents()) {
            started = started || line.rfind("probe ", 0) == 0;
            if (started && line.rfind("dec ", 0) != 0 && line.rfind("notencoder ", 0) != 0)
                log.push_back(line);
        }
        // What follows is the libraries' own unloading at the end of the process.
        ASSERT_GE(log.size(), c.log.size()) << c.label;
        EXPECT_EQ(Lines(log.begin(), log.begin() + c.log.size()), c.log) << c.label;
        for (auto line = log.begin() + c.log.size(); line != log.end(); ++line)
            EXPECT_TRUE(line->ends_with(" unload")) << c.label << ": " << *line;
    }
}

// A plug-in whose table leaves a slot empty that the core calls is refused; -DEBUG names it.
TEST_F(ModulesE2E, PlugInsWithEmptyMandatorySlotsAreRefusedAndNamedUnderDebug) {
    struct Slot {
        const char *fake, *folder, *name, *slot;
    };
    const Slot slots[] = {
        {"fake_encoder", "out", "no_open", "Open"},
        {"fake_encoder", "out", "no_block", "GetBlockSize"},
        {"fake_encoder", "out", "no_encode", "Encode"},
        {"fake_encoder", "out", "no_close", "Close"},
        {"fake_decoder", "in", "no_play", "Play"},
        {"fake_decoder", "in", "no_stop", "Stop"},
    };
    Add("fake_decoder", "plugins/in", "dec");
    Add("fake_encoder", "plugins/out", "enc");
    Lines notes;
    for (const Slot &s : slots) {
        const std::string folder = std::string("plugins/") + s.folder;
        Add(s.fake, folder, s.name, {{"EMPTY_SLOTS", s.slot}});
        notes.push_back("Plug-in refused: " + sb.app + NativePath("/" + folder + "/") +
                        LibraryFile(s.name) + ": its table leaves " + s.slot + " empty");
    }
    sb.WriteFile("a.pcm", "x");
    const RunResult debug = sb.Run({"-LISTENC", "-DEBUG"});
    EXPECT_EQ(debug.exitCode, 0) << debug.err;
    const Lines lines = SplitLines(debug.out);
    for (const std::string &note : notes)
        EXPECT_EQ(CountOf(lines, note), 1u) << note << debug.out;
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string &l) { return l.find("no_") != std::string::npos; }),
        static_cast<long>(notes.size()))
        << "listed anyway:\n"
        << debug.out;
    EXPECT_EQ(sb.Run({"-LISTENC"}).out.find("Plug-in refused"), std::string::npos);
    for (const char *name : {"no_open", "no_block", "no_encode", "no_close"}) {
        const RunResult chosen = sb.Run({"-I", "a.pcm", "-O", "b.pcm", "-ENC", name});
        EXPECT_EQ(chosen.err, "kernova: error: " + std::string(name) +
                                  ": not a valid encoder\nkernova: error: " + name +
                                  ": cannot load the module\n")
            << name;
        EXPECT_EQ(chosen.exitCode, 1) << name;
    }
    for (const char *name : {"no_play", "no_stop"}) {
        const RunResult chosen =
            sb.Run({"-I", "a.pcm", "-O", "b.pcm", "-ENC", "enc", "-DEC", name});
        EXPECT_EQ(chosen.exitCode, 1) << name << chosen.out << chosen.err;
    }
}

} // namespace
