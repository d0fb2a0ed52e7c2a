#include "encoder_table.h"

#include <algorithm>
#include <atomic>

#include "encoder_pcm.h"
#include "kernova/message_codes.h"

namespace knplugin {

namespace {

constexpr size_t kShortDescSize = 64;
constexpr uint32_t kDefaultFrameBytes = 4; // the block size asked before Open: 16-bit stereo

const EncoderTraits *traits = nullptr;
EncoderTable table;
int priority = 0;

// The open output.
struct Output {
    std::unique_ptr<EncoderSession> session;
    std::unique_ptr<FormatStage> stage; // null while the PCM passes unchanged
    uint32_t frameBytes = 0;            // of the input
    bool failed = false;
};

Output out;
// The answer of GetLastErrorCode: why the current output failed, 0 while it is sound. Encode
// sets it on the decoder's thread, Close on the core's stop thread.
std::atomic<int> failureCode{0};

// A failure that the system gave no reason for is still an incomplete output.
void RecordFailure() {
    const int reason = LastOutputFailure();
    failureCode.store(reason != 0 ? reason : KN_ERR_ENCODE);
}

ParamValues DefaultValues() {
    ParamValues values;
    traits->settle(values);
    return values;
}

bool IsUsableInput(const WAVEFORMATEX &format) {
    return format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels >= 1 &&
           format.nChannels <= kMaxSurroundChannels && IsPcmDepth(format.wBitsPerSample) &&
           format.nSamplesPerSec > 0 &&
           format.nBlockAlign == format.nChannels * (format.wBitsPerSample / 8u);
}

void Init() {} // nothing to prepare: every output is set up by Open

void GetDefaultParams(void **params) {
    if (params == nullptr)
        return;
    delete static_cast<ParamValues *>(*params);
    *params = new ParamValues(DefaultValues());
}

void FreeParams(void **params) {
    if (params == nullptr)
        return;
    delete static_cast<ParamValues *>(*params);
    *params = nullptr;
}

const ParamValues &Shown(void *params, ParamValues &defaults) {
    if (params != nullptr)
        return *static_cast<ParamValues *>(params);
    defaults = DefaultValues();
    return defaults;
}

void GetShortDesc(void *params, char **buffer) {
    if (buffer == nullptr)
        return;
    ParamValues defaults;
    CopyText(traits->describe(Shown(params, defaults)), *buffer, kShortDescSize);
}

void ParamsToString(void *params, char **buffer) {
    if (buffer == nullptr)
        return;
    ParamValues defaults;
    CopyText(FormatParams(traits->grammar, Shown(params, defaults)), *buffer,
             ENCODER_PARAM_BUFFER_SIZE);
}

int StringToParams(const char *text, void **params, int *) {
    ParamValues values;
    if (params == nullptr || !ParseParams(text, traits->grammar, values) || !traits->settle(values))
        return 0;
    delete static_cast<ParamValues *>(*params);
    *params = new ParamValues(values);
    return 1;
}

void Close() {
    if (!out.session)
        return;
    bool complete = !out.failed && (!out.stage || out.stage->Flush(*out.session)) &&
                    !out.session->file.Failed() && out.session->Finish();
    if (complete)
        complete = out.session->file.Close();
    else
        out.session->file.Discard();
    if (!complete)
        RecordFailure();
    out = Output();
}

void Quit() {
    Close();
}

PcmShape WantedShape(const ParamValues &values, const PcmShape &input) {
    PcmShape shape = traits->outputShape != nullptr ? traits->outputShape(*traits, values, input)
                                                    : ShapeFromKeys(*traits, values, input);
    if (shape.bits == 0) // no depth of its own: the input's, or 32 bits for converted PCM
        shape.bits = shape.rate == input.rate && shape.channels == input.channels ? input.bits : 32;
    return shape;
}

// The shape to write: the parameters' wish, after the core's -FIXFREQ handler had its say
// about a rate other than the input's (it may change the rate in the params).
PcmShape SettleShape(const ParamValues &values, const PcmShape &input) {
    PcmShape shape = WantedShape(values, input);
    if (shape.rate == input.rate)
        return shape;
    AskFixFreq(static_cast<int>(input.rate), static_cast<int>(shape.rate));
    return WantedShape(values, input);
}

WAVEFORMATEX FormatOf(const PcmShape &shape) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<uint16_t>(shape.channels);
    format.nSamplesPerSec = shape.rate;
    format.wBitsPerSample = static_cast<uint16_t>(shape.bits);
    format.nBlockAlign = static_cast<uint16_t>(shape.channels * (shape.bits / 8));
    format.nAvgBytesPerSec = shape.rate * format.nBlockAlign;
    return format;
}

int Open(const char *outputName, void *params, WAVEFORMATEX *format, int *) {
    Close(); // an output that was never closed
    ForgetOutputFailure();
    failureCode.store(0);
    if (format == nullptr || !IsUsableInput(*format))
        return traits->refusedInputCode;
    ParamValues defaults = DefaultValues();
    auto *values = params != nullptr ? static_cast<ParamValues *>(params) : &defaults;
    PcmShape input = {format->nSamplesPerSec, format->nChannels, format->wBitsPerSample};
    PcmShape output = SettleShape(*values, input);
    auto stage = std::make_unique<FormatStage>();
    if (output.channels > traits->maxChannels || output.rate == 0 ||
        !stage->Open(input, output, DitherSeed(input, output)))
        return traits->refusedInputCode;
    std::unique_ptr<EncoderSession> session;
    int result = traits->start(outputName, *values, FormatOf(output), session);
    if (result != 0 || !session) {
        failureCode.store(LastOutputFailure());
        return result != 0 ? result : traits->refusedInputCode;
    }
    out.session = std::move(session);
    if (!stage->PassesThrough())
        out.stage = std::move(stage);
    out.frameBytes = format->nBlockAlign;
    return 0;
}

int GetBlockSize() {
    uint32_t frameBytes = out.session ? out.frameBytes : kDefaultFrameBytes;
    return static_cast<int>(kBlockFrames * frameBytes);
}

bool Feed(const void *pcm, size_t frames) {
    if (!out.session || out.failed || pcm == nullptr)
        return false;
    if (frames == 0)
        return true;
    const auto *bytes = static_cast<const uint8_t *>(pcm);
    bool fed = out.stage ? out.stage->Convert(bytes, frames, *out.session)
                         : out.session->Feed(bytes, frames);
    if (!fed || out.session->file.Failed()) {
        out.failed = true;
        RecordFailure();
    }
    return !out.failed;
}

int Encode(const void *block) {
    return Feed(block, kBlockFrames) ? 0 : 1;
}

// A trailing partial frame cannot be encoded and is dropped.
void EncodeLast(const void *buffer, int bytes) {
    if (bytes > 0 && out.session)
        Feed(buffer, static_cast<size_t>(bytes) / out.frameBytes);
}

const char *GetHelpText() {
    return traits->helpText;
}

int GetTestParams(const char ***pair, int index) {
    if (pair == nullptr || index < 0 || index >= traits->testCount)
        return 0;
    *pair = traits->tests[index];
    return 1;
}

void SetOption(int) {} // no options: every setting comes with the parameter text

void SetParamValue(void *params, int which, int value) {
    if (params == nullptr || which != ENCODER_PARAM_SAMPLE_RATE || traits->rateKey < 0)
        return;
    auto *values = static_cast<ParamValues *>(params);
    if (value > 0)
        values->Set(traits->rateKey, value);
    else
        values->Clear(traits->rateKey);
}

int NeedsMorePasses() {
    return 0;
}

int GetLastErrorCode() {
    return failureCode.load();
}

} // namespace

PcmShape ShapeFromKeys(const EncoderTraits &encoder, const ParamValues &values,
                       const PcmShape &input) {
    auto valueOr = [&values](int key, int otherwise) {
        return key >= 0 && values.Has(key) ? values.Get(key) : otherwise;
    };
    PcmShape shape;
    shape.rate = static_cast<uint32_t>(valueOr(encoder.rateKey, static_cast<int>(input.rate)));
    shape.channels = valueOr(encoder.channelsKey, std::min(input.channels, encoder.maxChannels));
    shape.bits = encoder.bitsKey >= 0 ? valueOr(encoder.bitsKey, input.bits) : 0;
    return shape;
}

PcmShape CommonDepthShape(const EncoderTraits &traits, const ParamValues &values,
                          const PcmShape &input) {
    PcmShape shape = ShapeFromKeys(traits, values, input);
    if (traits.bitsKey < 0 || !values.Has(traits.bitsKey))
        shape.bits = input.bits <= 16 ? 16 : 24;
    return shape;
}

void AskFixFreq(int sourceRate, int wantedRate) {
    if (table.FixFreqCallback != nullptr)
        table.FixFreqCallback(sourceRate, wantedRate);
}

EncoderTable *RegisterEncoder(const EncoderTraits &encoder) {
    traits = &encoder;
    table.version = ENCODER_TABLE_ERROR_CODE_VERSION;
    table.description = encoder.description;
    table.extension = encoder.extension;
    table.extensionDescription = encoder.extensionDescription;
    table.moduleId = encoder.moduleId;
    table.pPriority = &priority;
    table.Init = Init;
    table.Quit = Quit;
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
    table.GetLastErrorCode = GetLastErrorCode;
    table.GetTestParams = GetTestParams;
    table.SetOption = SetOption;
    table.SetParamValue = SetParamValue;
    table.NeedsMorePasses = NeedsMorePasses;
    return &table;
}

} // namespace knplugin
