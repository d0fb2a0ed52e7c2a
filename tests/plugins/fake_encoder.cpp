// Fake encoder: answers every slot of the encoder table, writes the PCM it receives unchanged
// into the output file and a capture file. Switches and events: tests/README.md.
#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "kernova/encoder.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

const LoadLog loadLog;

struct Params {
    std::string text;
};

EncoderTable table;
std::string description, extension, extensionDescription, helpText;
std::vector<std::string> testSets; // "params", "file", "params", "file", ...
const char *testPair[2];
int priority = 0;
// Open and Encode run on the decoder's thread, Close on the core's stop thread and
// NeedsMorePasses on the command thread, one after the other.
std::atomic<int> passesClosed{0};
std::atomic<long> blocksEncoded{0};
FILE *outputFile = nullptr;
FILE *captureFile = nullptr;
int blockSize = 4608;

Params *NewParams(const std::string &text) {
    return new Params{text};
}

std::string TextOf(const void *params) {
    return params ? static_cast<const Params *>(params)->text : "";
}

// Blank-separated "key:value" items joined by one blank; false for any other item.
bool Normalise(const char *text, std::string &normalised) {
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

std::vector<std::string> SplitTestSets(const std::string &list) {
    std::vector<std::string> texts;
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ';')) {
        const size_t bar = item.find('|');
        texts.push_back(item.substr(0, bar));
        texts.push_back(bar == std::string::npos ? "" : item.substr(bar + 1));
    }
    return texts;
}

void Keep(const void *bytes, int length) {
    for (FILE *file : {outputFile, captureFile}) {
        if (file)
            std::fwrite(bytes, 1, static_cast<size_t>(length), file);
    }
}

void Init() {
    LogEvent("Init");
    passesClosed.store(0);
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
    *params = NewParams(TextSwitch("GUI_PARAMS", "gui:" + Number(source)));
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
    *params = NewParams("default");
}

void FreeParams(void **params) {
    LogEvent("FreeParams");
    delete static_cast<Params *>(*params);
    *params = nullptr;
}

void GetShortDesc(void *params, char **buffer) {
    std::snprintf(*buffer, 256, "%s %s", PlugInName(), TextOf(params).c_str());
}

void ParamsToString(void *params, char **buffer) {
    std::snprintf(*buffer, ENCODER_PARAM_BUFFER_SIZE, "%s", TextOf(params).c_str());
}

int StringToParams(const char *text, void **params, int *showParams) {
    LogEvent(std::string("StringToParams ") + (text ? text : ""));
    std::string normalised;
    if (NumberSwitch("ACCEPT_PARAMS", 1) == 0 || !Normalise(text, normalised))
        return 0;
    delete static_cast<Params *>(*params);
    *params = NewParams(normalised);
    if (showParams && NumberSwitch("SHOW_PARAMS", 0))
        *showParams = 1;
    return 1;
}

int Open(const char *outputName, void *, WAVEFORMATEX *format, int *wantStandard) {
    LogEvent("Open " + Number(format->nSamplesPerSec) + " " + Number(format->nChannels) + " " +
             Number(format->wBitsPerSample));
    LogEvent(std::string("output ") + outputName);
    LogEvent("priority " + Number(priority));
    const int result = static_cast<int>(NumberSwitch("OPEN_RESULT", 0));
    if (result != 0)
        return result;
    *wantStandard = NumberSwitch("WANT_STANDARD", 0) != 0 ? 1 : 0;
    blockSize = static_cast<int>(NumberSwitch("BLOCK_SIZE", 4608));
    blocksEncoded.store(0);
    outputFile = std::fopen(outputName, "wb");
    const std::string capture = TextSwitch("CAPTURE", "");
    if (!capture.empty())
        captureFile = std::fopen(capture.c_str(), "ab");
    return 0;
}

int GetBlockSize() {
    return blockSize;
}

int Encode(const void *block) {
    const long failAfter = NumberSwitch("ENCODE_FAIL_AFTER", -1);
    if (failAfter >= 0 && blocksEncoded.load() >= failAfter) {
        LogEvent("Encode " + Number(blockSize) + " failed");
        return 1;
    }
    LogEvent("Encode " + Number(blockSize));
    blocksEncoded.fetch_add(1);
    Keep(block, blockSize);
    return 0;
}

void EncodeLast(const void *buffer, int bytes) {
    LogEvent("EncodeLast " + Number(bytes));
    Keep(buffer, bytes);
}

void Close() {
    LogEvent("Close");
    for (FILE **file : {&outputFile, &captureFile}) {
        if (*file)
            std::fclose(*file);
        *file = nullptr;
    }
    passesClosed.fetch_add(1);
}

const char *GetHelpText() {
    return helpText.c_str();
}

int GetTestParams(const char ***pair, int index) {
    LogEvent("GetTestParams " + Number(index));
    if (index < 0 || static_cast<size_t>(index) * 2 >= testSets.size())
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
    const int answer = passesClosed.load() < NumberSwitch("PASSES", 1) ? 1 : 0;
    LogEvent("NeedsMorePasses " + Number(answer));
    return answer;
}

EncoderTable *BuildTable() {
    description = TextSwitch("DESCRIPTION", std::string(PlugInName()) + " fake encoder");
    extension = TextSwitch("EXTENSION", "enc");
    extensionDescription = TextSwitch("EXTENSION_DESCRIPTION", "Pattern PCM");
    helpText = TextSwitch("HELP", std::string(PlugInName()) + " help text");
    testSets = SplitTestSets(TextSwitch("TESTSETS", ""));
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
