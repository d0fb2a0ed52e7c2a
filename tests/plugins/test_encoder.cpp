/*
 * Test encoder (RegisterCompressModule) driven by environment switches; it answers every slot
 * of the encoder table and writes no file.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: a copy named enc_a.so reads ENC_A_VERSION. Numbers
 * may be written in decimal or with 0x.
 *   <NAME>_VERSION                table version (default 16)
 *   <NAME>_NULL_TABLE             1: RegisterCompressModule returns null
 *   <NAME>_DESCRIPTION            description (default "<name> test encoder")
 *   <NAME>_EXTENSION              output extension, kept as given (default "tst")
 *   <NAME>_EXTENSION_DESCRIPTION  its description (default "Test Audio")
 *   <NAME>_MODULE_ID              moduleId (default 0)
 *   <NAME>_HELP                   text of GetHelpText (default "<name> help text")
 *   <NAME>_TESTSETS               test parameter sets for GetTestParams: "params|file" items
 *                                 separated by ";", e.g. "q:1|low;q:9|high.tst" (default none)
 *   <NAME>_ACCEPT_PARAMS          0: StringToParams refuses every text (default 1). Texts are
 *                                 blank-separated "key:value" items; another item is refused
 *   <NAME>_SHOW_PARAMS            1: StringToParams asks for the parameters to be shown
 *   <NAME>_DEFAULT_PARAMS         parameter text of GetDefaultParams (default "mode:default")
 *   <NAME>_GUI_PARAMS             parameter text of GetGuiParams (default "gui:<source>")
 *   <NAME>_ADVANCED_RESULT        answer of ShowAdvancedSettings (default 1)
 *   <NAME>_OPEN_RESULT            answer of Open (default 0)
 *   <NAME>_WANT_STANDARD          1: Open asks for 44100 Hz, 16-bit, 2-channel PCM
 *   <NAME>_FIXFREQ_RATE           when set, Open calls FixFreqCallback(input rate, this rate)
 *   <NAME>_BLOCK_SIZE             answer of GetBlockSize (default 4096)
 *   <NAME>_ENCODE_RESULT          answer of Encode (default 0)
 *   <NAME>_PASSES                 passes wanted (default 1): after Init, NeedsMorePasses
 *                                 answers 1 on its first PASSES - 1 calls, then 0
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   load, unload (library constructor and destructor), RegisterCompressModule, Init, Quit,
 *   SetOption <n>, StringToParams <text>, GetDefaultParams, FreeParams, GetGuiParams <source>,
 *   SetGuiParams <target> <text>, GuiInit <value>, GuiNotify <a> <b>,
 *   ShowAdvancedSettings <value>, Open <output> <params text>, format <rate> <bits> <channels>,
 *   priority <n>, Close bytes=<n> (bytes given to Encode and EncodeLast since Open),
 *   GetTestParams <index>, SetParamValue <which> <value>.
 * GetShortDesc writes "<name> <params text>" (at most 255 characters); ParamsToString writes
 * the parameter text.
 */
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kernova/encoder.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

// The encoder's params handle: the normalised parameter text.
struct Params {
    std::string text;
};

EncoderTable table;
std::string description;
std::string extension;
std::string extensionDescription;
std::string helpText;
int priority = 0;
std::atomic<long> bytesEncoded{0};
int passesAsked = 0;
std::vector<std::string> testSets; // "params", "file", "params", "file", ...
const char *testPair[2];

const char *TextOf(const void *params) {
    return params ? static_cast<const Params *>(params)->text.c_str() : "";
}

// Blank-separated "key:value" items with a key; the normalised text joins them by one blank.
bool NormaliseParams(const char *text, std::string &normalised) {
    std::istringstream items(text ? text : "");
    std::string item;
    normalised.clear();
    while (items >> item) {
        if (item.find(':') == std::string::npos || item[0] == ':')
            return false;
        normalised += (normalised.empty() ? "" : " ") + item;
    }
    return true;
}

std::vector<std::string> ParseTestSets(const std::string &list) {
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = std::min(list.find(';', start), list.size());
        std::string item = list.substr(start, end - start);
        size_t bar = item.find('|');
        texts.push_back(item.substr(0, bar));
        texts.push_back(bar == std::string::npos ? std::string() : item.substr(bar + 1));
        start = end + 1;
    }
    return texts;
}

void Init() {
    passesAsked = 0;
    LogEvent("Init");
}

void Quit() {
    LogEvent("Quit");
}

void GuiInit(intptr_t value) {
    LogEvent("GuiInit " + Number(value));
}

void SetGuiParams(intptr_t target, void *params) {
    LogEvent("SetGuiParams " + Number(target) + " " + TextOf(params));
}

void GetGuiParams(intptr_t source, void **params) {
    LogEvent("GetGuiParams " + Number(source));
    if (params)
        *params = new Params{TextSwitch("GUI_PARAMS", "gui:" + Number(source))};
}

void GuiNotify(intptr_t a, intptr_t b) {
    LogEvent("GuiNotify " + Number(a) + " " + Number(b));
}

int ShowAdvancedSettings(intptr_t value) {
    LogEvent("ShowAdvancedSettings " + Number(value));
    return static_cast<int>(NumberSwitch("ADVANCED_RESULT", 1));
}

void GetDefaultParams(void **params) {
    LogEvent("GetDefaultParams");
    if (params)
        *params = new Params{TextSwitch("DEFAULT_PARAMS", "mode:default")};
}

void FreeParams(void **params) {
    LogEvent("FreeParams");
    if (params == nullptr)
        return;
    delete static_cast<Params *>(*params);
    *params = nullptr;
}

void GetShortDesc(void *params, char **buffer) {
    if (buffer && *buffer)
        std::snprintf(*buffer, 256, "%s %s", PlugInName(), TextOf(params));
}

void ParamsToString(void *params, char **buffer) {
    if (buffer && *buffer)
        std::snprintf(*buffer, ENCODER_PARAM_BUFFER_SIZE, "%s", TextOf(params));
}

int StringToParams(const char *text, void **params, int *showParams) {
    LogEvent(std::string("StringToParams ") + (text ? text : ""));
    std::string normalised;
    if (!NumberSwitch("ACCEPT_PARAMS", 1) || !NormaliseParams(text, normalised) || !params)
        return 0;
    *params = new Params{normalised};
    if (showParams && NumberSwitch("SHOW_PARAMS", 0))
        *showParams = 1;
    return 1;
}

int Open(const char *outputName, void *params, WAVEFORMATEX *format, int *wantStandard) {
    bytesEncoded = 0;
    LogEvent(std::string("Open ") + (outputName ? outputName : "") + " " + TextOf(params));
    if (format) {
        LogEvent("format " + Number(format->nSamplesPerSec) + " " + Number(format->wBitsPerSample) +
                 " " + Number(format->nChannels));
        long wantedRate = NumberSwitch("FIXFREQ_RATE", 0);
        if (wantedRate > 0 && table.FixFreqCallback)
            table.FixFreqCallback(static_cast<int>(format->nSamplesPerSec),
                                  static_cast<int>(wantedRate));
    }
    LogEvent("priority " + Number(priority));
    if (wantStandard && NumberSwitch("WANT_STANDARD", 0))
        *wantStandard = 1;
    return static_cast<int>(NumberSwitch("OPEN_RESULT", 0));
}

int GetBlockSize() {
    return static_cast<int>(NumberSwitch("BLOCK_SIZE", 4096));
}

int Encode(const void *) {
    bytesEncoded += GetBlockSize();
    return static_cast<int>(NumberSwitch("ENCODE_RESULT", 0));
}

void EncodeLast(const void *, int bytes) {
    if (bytes > 0)
        bytesEncoded += bytes;
}

void Close() {
    LogEvent("Close bytes=" + Number(bytesEncoded.load()));
}

const char *GetHelpText() {
    return helpText.c_str();
}

int GetTestParams(const char ***pair, int index) {
    LogEvent("GetTestParams " + Number(index));
    if (pair == nullptr || index < 0 || static_cast<size_t>(index) * 2 >= testSets.size())
        return 0;
    testPair[0] = testSets[static_cast<size_t>(index) * 2].c_str();
    testPair[1] = testSets[static_cast<size_t>(index) * 2 + 1].c_str();
    *pair = testPair;
    return 1;
}

void SetOption(int option) {
    LogEvent("SetOption " + Number(option));
}

void SetParamValue(void *, int which, int value) {
    LogEvent("SetParamValue " + Number(which) + " " + Number(value));
}

int NeedsMorePasses() {
    return ++passesAsked < NumberSwitch("PASSES", 1) ? 1 : 0;
}

EncoderTable *BuildTable() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " test encoder");
    extension = TextSwitch("EXTENSION", "tst");
    extensionDescription = TextSwitch("EXTENSION_DESCRIPTION", "Test Audio");
    helpText = TextSwitch("HELP", std::string(PlugInName()) + " help text");
    testSets = ParseTestSets(TextSwitch("TESTSETS", ""));
    table = EncoderTable{};
    table.version = NumberSwitch("VERSION", ENCODER_TABLE_MIN_VERSION);
    table.description = description.c_str();
    table.extension = extension.c_str();
    table.extensionDescription = extensionDescription.c_str();
    table.moduleId = static_cast<uintptr_t>(NumberSwitch("MODULE_ID", 0));
    table.pPriority = &priority;
    table.Init = Init;
    table.Quit = Quit;
    table.GuiInit = GuiInit;
    table.SetGuiParams = SetGuiParams;
    table.GetGuiParams = GetGuiParams;
    table.GuiNotify = GuiNotify;
    table.ShowAdvancedSettings = ShowAdvancedSettings;
    table.GetDefaultParams = GetDefaultParams;
    table.FreeParams = FreeParams;
    table.GetShortDesc = GetShortDesc;
    table.ParamsToString = ParamsToString;
    table.StringToParams = StringToParams;
    table.Open = Open;
    table.GetBlockSize = GetBlockSize;
    table.Encode = Encode;
    table.EncodeLast = EncodeLast;
    table.Close = Close;
    table.GetHelpText = GetHelpText;
    table.GetTestParams = GetTestParams;
    table.SetOption = SetOption;
    table.SetParamValue = SetParamValue;
    table.NeedsMorePasses = NeedsMorePasses;
    EmptyIfAsked("Open", table.Open);
    EmptyIfAsked("GetBlockSize", table.GetBlockSize);
    EmptyIfAsked("Encode", table.Encode);
    EmptyIfAsked("Close", table.Close);
    return &table;
}

} // namespace

KERNOVA_EXPORT EncoderTable *RegisterCompressModule() {
    LogEvent("RegisterCompressModule");
    return NumberSwitch("NULL_TABLE", 0) ? nullptr : BuildTable();
}
