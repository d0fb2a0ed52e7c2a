// wave: Kernova's PCM WAV writer. Writes the PCM it receives as a RIFF/WAVE file (plain PCM up
// to 2 channels and 16 bits, WAVE_FORMAT_EXTENSIBLE above), optionally at another bit depth or
// from mono to stereo. It never resamples or mixes: such a request is refused in Open.
//
// Parameters, blank separated, each key at most once (keys in either case):
//   b:<8|16|24|32>  output depth; lower depths drop the low bits
//   c:<1|2>         output channels; only mono to stereo (a copy) is a change it makes
//   f:<rate>        output rate in Hz (1000 to 768000); kept only when it is the input's rate
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kernova/encoder.h"
#include "kernova/message_codes.h"

namespace {

constexpr size_t kBlockFrames = 4096;
constexpr long kMinRate = 1000;
constexpr long kMaxRate = 768000;
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kMaxChannels = 8;
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFF;

// Speaker masks of the usual layouts for 1 to 8 channels.
constexpr uint32_t kChannelMasks[kMaxChannels + 1] = {0,    0x4,  0x3,   0x7,  0x33,
                                                      0x37, 0x3F, 0x70F, 0x63F};
constexpr uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct WaveParams {
    int bits = 0;     // 0: the input's
    int channels = 0; // 0: the input's
    int rate = 0;     // 0: the input's; parameter number 1
};

struct OutputFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;

    uint32_t FrameBytes() const { return channels * (bits / 8u); }
    bool Extensible() const { return channels > 2 || bits > 16; }
    uint32_t FormatChunkSize() const { return Extensible() ? 40 : 16; }
    uint32_t HeaderBytes() const { return 12 + 8 + FormatChunkSize() + 8; }
};

// The open output. Encode runs on the decoder's thread and Close on the stop thread, one after
// the other, so the state needs no lock.
struct Output {
    std::FILE *file = nullptr;
    OutputFormat input;
    OutputFormat output;
    uint64_t dataBytes = 0;
    bool failed = false;
    std::vector<uint8_t> converted;
};

Output out;
int priority = 0;
EncoderTable table;

void PutLe16(std::vector<uint8_t> &bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(std::vector<uint8_t> &bytes, uint32_t value) {
    PutLe16(bytes, value & 0xFFFF);
    PutLe16(bytes, value >> 16);
}

void PutTag(std::vector<uint8_t> &bytes, const char *tag) {
    for (int i = 0; i < 4; i++)
        bytes.push_back(static_cast<uint8_t>(tag[i]));
}

std::vector<uint8_t> MakeHeader(const OutputFormat &format, uint64_t dataBytes) {
    std::vector<uint8_t> bytes;
    PutTag(bytes, "RIFF");
    PutLe32(bytes, static_cast<uint32_t>(format.HeaderBytes() - 8 + dataBytes + (dataBytes & 1)));
    PutTag(bytes, "WAVE");
    PutTag(bytes, "fmt ");
    PutLe32(bytes, format.FormatChunkSize());
    PutLe16(bytes, format.Extensible() ? kTagExtensible : kTagPcm);
    PutLe16(bytes, format.channels);
    PutLe32(bytes, format.rate);
    PutLe32(bytes, format.rate * format.FrameBytes());
    PutLe16(bytes, format.FrameBytes());
    PutLe16(bytes, format.bits);
    if (format.Extensible()) {
        PutLe16(bytes, 22);
        PutLe16(bytes, format.bits);
        PutLe32(bytes, kChannelMasks[format.channels]);
        bytes.insert(bytes.end(), kPcmGuid, kPcmGuid + sizeof kPcmGuid);
    }
    PutTag(bytes, "data");
    PutLe32(bytes, static_cast<uint32_t>(dataBytes));
    return bytes;
}

// A sample as a 32-bit value with its bits at the top (8-bit PCM is unsigned).
int32_t ReadSample(const uint8_t *p, uint16_t bits) {
    switch (bits) {
    case 8:
        return static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80) << 24);
    case 16:
        return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1])
                                                                            << 24);
    case 24:
        return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                    static_cast<uint32_t>(p[1]) << 16 |
                                    static_cast<uint32_t>(p[2]) << 24);
    default:
        return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                    static_cast<uint32_t>(p[2]) << 16 |
                                    static_cast<uint32_t>(p[3]) << 24);
    }
}

void WriteSample(uint8_t *p, int32_t sample, uint16_t bits) {
    auto value = static_cast<uint32_t>(sample);
    if (bits == 8) {
        p[0] = static_cast<uint8_t>((value >> 24) ^ 0x80);
        return;
    }
    uint32_t bytes = bits / 8;
    value >>= 32 - bits; // the low bits that the depth cannot hold are dropped
    for (uint32_t i = 0; i < bytes; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void ConvertFrames(const uint8_t *from, size_t frames, uint8_t *to) {
    uint32_t inSample = out.input.bits / 8u;
    uint32_t outSample = out.output.bits / 8u;
    for (size_t frame = 0; frame < frames; frame++) {
        for (uint32_t channel = 0; channel < out.output.channels; channel++) {
            // More output than input channels only happens from mono: every channel copies it.
            uint32_t source = std::min<uint32_t>(channel, out.input.channels - 1u);
            WriteSample(to, ReadSample(from + source * inSample, out.input.bits), out.output.bits);
            to += outSample;
        }
        from += out.input.FrameBytes();
    }
}

// Writes whole frames of input; false once the output failed or would pass the 4 GiB limit.
bool WriteFrames(const uint8_t *data, size_t frames) {
    if (out.file == nullptr || out.failed || data == nullptr)
        return false;
    while (frames > 0) {
        size_t now = std::min(frames, kBlockFrames);
        size_t bytes = now * out.output.FrameBytes();
        if (out.output.HeaderBytes() - 8 + out.dataBytes + bytes + 1 > kMaxRiffSize) {
            out.failed = true;
            return false;
        }
        const uint8_t *source = data;
        if (out.input.bits != out.output.bits || out.input.channels != out.output.channels) {
            ConvertFrames(data, now, out.converted.data());
            source = out.converted.data();
        }
        if (std::fwrite(source, 1, bytes, out.file) != bytes) {
            out.failed = true;
            return false;
        }
        out.dataBytes += bytes;
        data += now * out.input.FrameBytes();
        frames -= now;
    }
    return true;
}

void CloseOutput() {
    if (out.file == nullptr)
        return;
    if (out.dataBytes & 1)
        std::fputc(0, out.file);
    std::vector<uint8_t> header = MakeHeader(out.output, out.dataBytes);
    if (std::fseek(out.file, 0, SEEK_SET) == 0)
        std::fwrite(header.data(), 1, header.size(), out.file);
    std::fclose(out.file);
    out = Output();
}

bool IsSupportedBits(int bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

bool IsUsableInput(const WAVEFORMATEX *format) {
    return format->wFormatTag == kTagPcm && format->nChannels >= 1 &&
           format->nChannels <= kMaxChannels && IsSupportedBits(format->wBitsPerSample) &&
           format->nSamplesPerSec > 0 &&
           format->nBlockAlign == format->nChannels * (format->wBitsPerSample / 8u);
}

// Parses one "key:value" item into `params`; false for anything it does not know.
bool ParseItem(const std::string &item, WaveParams &params) {
    if (item.size() < 3 || item[1] != ':' || item.size() > 8)
        return false;
    std::string digits = item.substr(2);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    long value = std::stol(digits);
    switch (std::tolower(static_cast<unsigned char>(item[0]))) {
    case 'b':
        if (params.bits != 0 || !IsSupportedBits(static_cast<int>(value)))
            return false;
        params.bits = static_cast<int>(value);
        return true;
    case 'c':
        if (params.channels != 0 || (value != 1 && value != 2))
            return false;
        params.channels = static_cast<int>(value);
        return true;
    case 'f':
        if (params.rate != 0 || value < kMinRate || value > kMaxRate)
            return false;
        params.rate = static_cast<int>(value);
        return true;
    default:
        return false;
    }
}

std::string FormatParams(const WaveParams &params) {
    std::string text;
    auto add = [&text](const char *key, int value) {
        if (value == 0)
            return;
        if (!text.empty())
            text += ' ';
        text += key + std::to_string(value);
    };
    add("b:", params.bits);
    add("c:", params.channels);
    add("f:", params.rate);
    return text;
}

void CopyText(const std::string &text, char *buffer, size_t size) {
    std::snprintf(buffer, size, "%s", text.c_str());
}

void Init() {} // nothing to prepare: every output is set up by Open

void Quit() {
    CloseOutput();
}

void GetDefaultParams(void **params) {
    if (params == nullptr)
        return;
    delete static_cast<WaveParams *>(*params);
    *params = new WaveParams();
}

void FreeParams(void **params) {
    if (params == nullptr)
        return;
    delete static_cast<WaveParams *>(*params);
    *params = nullptr;
}

void GetShortDesc(void *params, char **buffer) {
    if (buffer == nullptr || *buffer == nullptr)
        return;
    WaveParams shown = params ? *static_cast<WaveParams *>(params) : WaveParams();
    std::string text = "PCM WAV";
    if (shown.bits != 0)
        text += ", " + std::to_string(shown.bits) + " bit";
    if (shown.channels != 0)
        text += shown.channels == 1 ? ", mono" : ", stereo";
    if (shown.rate != 0)
        text += ", " + std::to_string(shown.rate) + " Hz";
    if (shown.bits == 0 && shown.channels == 0 && shown.rate == 0)
        text += ", as the input";
    CopyText(text, *buffer, 64);
}

void ParamsToString(void *params, char **buffer) {
    if (buffer == nullptr || *buffer == nullptr)
        return;
    WaveParams shown = params ? *static_cast<WaveParams *>(params) : WaveParams();
    CopyText(FormatParams(shown), *buffer, ENCODER_PARAM_BUFFER_SIZE);
}

int StringToParams(const char *text, void **params, int *) {
    if (text == nullptr || params == nullptr)
        return 0;
    WaveParams parsed;
    const char *p = text;
    while (*p != '\0') {
        if (*p == ' ' || *p == '\t') {
            p++;
            continue;
        }
        const char *end = p + std::strcspn(p, " \t");
        if (!ParseItem(std::string(p, end), parsed))
            return 0;
        p = end;
    }
    delete static_cast<WaveParams *>(*params);
    *params = new WaveParams(parsed);
    return 1;
}

int Open(const char *outputName, void *params, WAVEFORMATEX *format, int *) {
    CloseOutput(); // an output that was never closed
    if (format == nullptr || !IsUsableInput(format))
        return KN_ERR_WAVE_FORMAT_CHANGE;
    WaveParams none;
    auto *asked = params ? static_cast<WaveParams *>(params) : &none;
    auto sourceRate = static_cast<int>(format->nSamplesPerSec);
    if (asked->rate != 0 && asked->rate != sourceRate && table.FixFreqCallback != nullptr)
        table.FixFreqCallback(sourceRate, asked->rate); // may set the rate through SetParamValue
    if (asked->rate != 0 && asked->rate != sourceRate)
        return KN_ERR_WAVE_FORMAT_CHANGE;
    OutputFormat input = {format->nSamplesPerSec, format->nChannels, format->wBitsPerSample};
    OutputFormat output = input;
    if (asked->channels != 0 && asked->channels != input.channels) {
        if (input.channels != 1)
            return KN_ERR_WAVE_FORMAT_CHANGE;
        output.channels = static_cast<uint16_t>(asked->channels);
    }
    if (asked->bits != 0)
        output.bits = static_cast<uint16_t>(asked->bits);
    std::FILE *file = outputName ? std::fopen(outputName, "wb") : nullptr;
    if (file == nullptr)
        return KN_ERR_OUTPUT_CREATE;
    std::vector<uint8_t> header = MakeHeader(output, 0);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
        std::fclose(file);
        std::remove(outputName);
        return KN_ERR_OUTPUT_CREATE;
    }
    out.file = file;
    out.input = input;
    out.output = output;
    out.converted.resize(kBlockFrames * output.FrameBytes());
    return 0;
}

int GetBlockSize() {
    uint32_t frameBytes = out.file ? out.input.FrameBytes() : 4;
    return static_cast<int>(kBlockFrames * frameBytes);
}

int Encode(const void *block) {
    return WriteFrames(static_cast<const uint8_t *>(block), kBlockFrames) ? 0 : 1;
}

// A trailing partial frame cannot be written and is dropped.
void EncodeLast(const void *buffer, int bytes) {
    if (bytes > 0 && out.file != nullptr)
        WriteFrames(static_cast<const uint8_t *>(buffer),
                    static_cast<size_t>(bytes) / out.input.FrameBytes());
}

void Close() {
    CloseOutput();
}

const char *GetHelpText() {
    return "wave - PCM WAV writer\n"
           "Parameters, blank separated, each at most once (default: the input's format):\n"
           "  b:<bits>   sample depth 8, 16, 24 or 32, converted from the input's depth;\n"
           "             a lower depth drops the low bits\n"
           "  c:<1|2>    channels; a mono input becomes stereo by copying it, every other\n"
           "             change of the channel count is refused (error 20)\n"
           "  f:<rate>   sample rate in Hz, 1000 to 768000; the writer does not resample:\n"
           "             when the input's rate differs, -FIXFREQ is consulted and the output\n"
           "             is refused (error 20) unless the rate becomes the input's\n"
           "More than 2 channels or more than 16 bits are written as WAVE_FORMAT_EXTENSIBLE.\n"
           "A file stops at 4 GiB: further data fails the conversion.\n"
           "Example: -ENC wave -ENCPARAM b:24 c:2\n";
}

int GetTestParams(const char ***pair, int index) {
    static const char *tests[][2] = {
        {"b:16", "test16.wav"}, {"b:24", "test24"}, {"b:8", "test8.wav"}};
    if (pair == nullptr || index < 0 || index >= static_cast<int>(std::size(tests)))
        return 0;
    *pair = tests[index];
    return 1;
}

void SetOption(int) {} // the writer has no options

void SetParamValue(void *params, int which, int value) {
    if (params != nullptr && which == ENCODER_PARAM_SAMPLE_RATE)
        static_cast<WaveParams *>(params)->rate = std::max(value, 0);
}

int NeedsMorePasses() {
    return 0;
}

} // namespace

extern "C" EncoderTable *RegisterCompressModule() {
    table.version = ENCODER_TABLE_MIN_VERSION;
    table.description = "wave - PCM WAV writer";
    table.extension = "wav";
    table.extensionDescription = "Wave files";
    table.moduleId = 0x57415645; // "WAVE"
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
    table.GetTestParams = GetTestParams;
    table.SetOption = SetOption;
    table.SetParamValue = SetParamValue;
    table.NeedsMorePasses = NeedsMorePasses;
    return &table;
}
