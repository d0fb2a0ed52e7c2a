/*
 * PCM test encoder (RegisterCompressModule): answers every slot of the encoder table, writes
 * the PCM it receives unchanged into the output file and appends it to a capture file, so
 * that tests can compare what reached the encoder with what the decoder produced.
 *
 * Switches are environment variables <NAME>_<SWITCH>, where <NAME> is this library's file
 * name without its suffix, upper-cased: a copy named pcm_b.so reads PCM_B_BLOCK_SIZE.
 * Numbers may be written in decimal or with 0x.
 *   <NAME>_CAPTURE         file that every byte given to Encode and EncodeLast is appended to
 *   <NAME>_BLOCK_SIZE      answer of GetBlockSize (default 4608)
 *   <NAME>_EXTENSION       output extension, kept as given (default "enc")
 *   <NAME>_OPEN_RESULT     answer of Open (default 0); non-zero opens no file
 *   <NAME>_WANT_STANDARD   1: Open asks for 44100 Hz, 16-bit, 2-channel PCM
 *   <NAME>_ENCODE_FAIL_AFTER  Encode fails (answers 1) once this many blocks were encoded
 *                          since Open (default: never)
 *   <NAME>_PASSES          passes wanted (default 1): NeedsMorePasses answers 1 until this
 *                          many passes have been closed since Init
 *   <NAME>_SHOW_PARAMS     1: StringToParams asks for the parameters to be shown
 *   <NAME>_ACCEPT_PARAMS   0: StringToParams refuses every text (default 1)
 *   <NAME>_FIXFREQ_WANTED  when set, Open calls FixFreqCallback(source, this rate); it is also
 *                          the rate a new params handle starts with (default 0)
 *   <NAME>_FIXFREQ_SOURCE  the source rate of that call (default: the rate Open received)
 *   <NAME>_TEST_SETS       number of test sets GetTestParams offers, at most 3 (default 3):
 *                          "q:1" -> "first", "q:2" -> "second.raw", "q:3" -> "third.wav"
 * ParamsToString (and GetShortDesc) write "f:<rate> <params text>"; SetParamValue(1, rate)
 * changes that rate. GetDefaultParams makes the text "default".
 * Event lines "<name> <event>" are appended to the file named by KN_TEST_LOG, when set:
 *   Init, Quit, SetOption <n>, StringToParams <text>, GetDefaultParams, FreeParams,
 *   ParamsToString, SetParamValue <which> <value>, Open <rate> <channels> <bits>,
 *   output <name>, priority <n>, Encode <bytes> (Encode <bytes> failed), EncodeLast <bytes>,
 *   Close, NeedsMorePasses <answer>, GetTestParams <index>, GuiInit <value>,
 *   SetGuiParams <target>, GetGuiParams <source>, GuiNotify <a> <b>,
 *   ShowAdvancedSettings <value>, GetShortDesc.
 */
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernova/encoder.h"
#include "tests/plugins/common/plugin_switches.h"

namespace {

using namespace testplugin;

// ---- Encoder state ----

struct Params {
    std::string text;
    int rate;
};

const char *const kTestSets[][2] = {{"q:1", "first"}, {"q:2", "second.raw"}, {"q:3", "third.wav"}};
constexpr int kTestSetCount = 3;

EncoderTable table;
std::string description;
std::string extension;
int priority = 0;
// Open and Encode run on the decoder's thread, Close on the core's stop thread and
// NeedsMorePasses on the command thread, one after the other.
std::atomic<int> passesClosed{0};
std::atomic<long> blocksEncoded{0};
FILE *outputFile = nullptr;
FILE *captureFile = nullptr;
int blockSize = 4608;

Params *NewParams(const std::string &text) {
    return new Params{text, static_cast<int>(NumberSwitch("FIXFREQ_WANTED", 0))};
}

void Keep(const void *bytes, int length) {
    if (outputFile)
        std::fwrite(bytes, 1, static_cast<size_t>(length), outputFile);
    if (captureFile)
        std::fwrite(bytes, 1, static_cast<size_t>(length), captureFile);
}

void CloseFiles() {
    if (outputFile)
        std::fclose(outputFile);
    if (captureFile)
        std::fclose(captureFile);
    outputFile = nullptr;
    captureFile = nullptr;
}

std::string Describe(const void *params) {
    const auto *p = static_cast<const Params *>(params);
    return p ? "f:" + Number(p->rate) + " " + p->text : "f:none";
}

// ---- Table functions ----

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

void SetGuiParams(intptr_t target, void *) {
    LogEvent("SetGuiParams " + Number(target));
}

void GetGuiParams(intptr_t source, void **params) {
    LogEvent("GetGuiParams " + Number(source));
    *params = NewParams("gui");
}

void GuiNotify(intptr_t a, intptr_t b) {
    LogEvent("GuiNotify " + Number(a) + " " + Number(b));
}

int ShowAdvancedSettings(intptr_t value) {
    LogEvent("ShowAdvancedSettings " + Number(value));
    return 1;
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
    LogEvent("GetShortDesc");
    std::snprintf(*buffer, 256, "%s", Describe(params).c_str());
}

void ParamsToString(void *params, char **buffer) {
    LogEvent("ParamsToString");
    std::snprintf(*buffer, ENCODER_PARAM_BUFFER_SIZE, "%s", Describe(params).c_str());
}

int StringToParams(const char *text, void **params, int *showParams) {
    LogEvent(std::string("StringToParams ") + text);
    if (NumberSwitch("ACCEPT_PARAMS", 1) == 0)
        return 0;
    delete static_cast<Params *>(*params);
    *params = NewParams(text);
    *showParams = NumberSwitch("SHOW_PARAMS", 0) != 0 ? 1 : 0;
    return 1;
}

int Open(const char *outputName, void *, WAVEFORMATEX *format, int *wantStandard) {
    LogEvent("Open " + Number(format->nSamplesPerSec) + " " + Number(format->nChannels) + " " +
             Number(format->wBitsPerSample));
    LogEvent(std::string("output ") + outputName);
    LogEvent("priority " + Number(priority));
    if (HasSwitch("FIXFREQ_WANTED") && table.FixFreqCallback)
        table.FixFreqCallback(
            static_cast<int>(NumberSwitch("FIXFREQ_SOURCE", format->nSamplesPerSec)),
            static_cast<int>(NumberSwitch("FIXFREQ_WANTED", 0)));
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
    CloseFiles();
    passesClosed.fetch_add(1);
}

const char *GetHelpText() {
    return "pattern encoder: writes its PCM unchanged";
}

int GetTestParams(const char ***pair, int index) {
    LogEvent("GetTestParams " + Number(index));
    const long offered = std::min<long>(NumberSwitch("TEST_SETS", kTestSetCount), kTestSetCount);
    if (index < 0 || index >= offered)
        return 0;
    *pair = const_cast<const char **>(kTestSets[index]);
    return 1;
}

void SetOption(int option) {
    LogEvent("SetOption " + Number(option));
}

void SetParamValue(void *params, int which, int value) {
    LogEvent("SetParamValue " + Number(which) + " " + Number(value));
    if (which == ENCODER_PARAM_SAMPLE_RATE && params)
        static_cast<Params *>(params)->rate = value;
}

int NeedsMorePasses() {
    const int answer = passesClosed.load() < NumberSwitch("PASSES", 1) ? 1 : 0;
    LogEvent("NeedsMorePasses " + Number(answer));
    return answer;
}

EncoderTable *BuildTable() {
    description = std::string(PlugInName()) + " - pattern encoder";
    extension = TextSwitch("EXTENSION", "enc");
    table = EncoderTable{};
    table.version = ENCODER_TABLE_MIN_VERSION;
    table.description = description.c_str();
    table.extension = extension.c_str();
    table.extensionDescription = "Pattern PCM";
    table.moduleId = 0x5043;
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
    return &table;
}

} // namespace

KERNOVA_EXPORT EncoderTable *RegisterCompressModule() {
    return BuildTable();
}
