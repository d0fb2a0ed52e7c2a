#include "convert/QZ_Conv_func.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "convert/QZ_Convertor.h"
#include "format/acmXF.h"
#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

constexpr int kCanWriteAfterWrite = 8192;
constexpr int kIgnoredWriteLength = 4;

Out_Module encoderOutModule;

// Writer state. The decoder's thread writes, the command thread and the stop thread open and
// close, so the values the others poll are atomics.
std::unique_ptr<unsigned char[]> blockBuffer;
std::unique_ptr<AcmFormatConverter> formatConverter;
unsigned blockSize = 0;
unsigned fill = 0;
std::atomic<int> canWriteBase{0};
std::atomic<int> busy{0};
// Set once the writer has reported that the output failed, so that it is reported only once
// and the job fails even when the decode itself ended well.
std::atomic<bool> outputFailed{false};

void DoNothing() {}
void DoNothingWithInt(int) {}
int ReturnZero() {
    return 0;
}
int ReturnZeroWithInt(int) {
    return 0;
}
int WriterCanWrite() {
    return 2 * canWriteBase.load();
}
int WriterIsPlaying() {
    return busy.load();
}

void FillPcmFormat(WAVEFORMATEX *format, int sampleRate, int channels, int bitsPerSample) {
    std::memset(format, 0, sizeof(WAVEFORMATEX));
    format->wFormatTag = WAVE_FORMAT_PCM;
    format->nChannels = static_cast<uint16_t>(channels);
    format->nSamplesPerSec = static_cast<uint32_t>(sampleRate);
    format->nBlockAlign = static_cast<uint16_t>(bitsPerSample / 8 * channels);
    format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
    format->wBitsPerSample = static_cast<uint16_t>(bitsPerSample);
    format->cbSize = 0;
}

void SetStandardFormat(WAVEFORMATEX *format) {
    FillPcmFormat(format, 44100, 2, 16);
}

void DestroyConverter() {
    if (formatConverter)
        formatConverter->Close();
    formatConverter.reset();
}

// The file the encoder writes: the temporary one when the job chose it.
const char *EncodedFileName() {
    return converterState.partialName ? converterState.partialName : converterState.outputName;
}

// The encoder's own reason for the failure of its output, when its table can tell one.
int EncoderErrorCode() {
    if (currentOutModule->version < ENCODER_TABLE_ERROR_CODE_VERSION ||
        !currentOutModule->GetLastErrorCode)
        return 0;
    return currentOutModule->GetLastErrorCode();
}

// Sends the encoder's reason, then `code`; both name the output, never the temporary file.
void ReportOutputFailure(int reason, int code) {
    outputFailed.store(true);
    if (reason != 0 && reason != code)
        converterState.onError(reason, TextArg(converterState.outputName));
    converterState.onError(code, TextArg(converterState.outputName));
}

// "44100 Hz 16-bit stereo"; a compressed format is named by its tag.
std::string DescribeFormat(const WAVEFORMATEX &format) {
    std::string text = std::to_string(format.nSamplesPerSec) + " Hz ";
    if (format.wFormatTag == WAVE_FORMAT_PCM)
        text += std::to_string(format.wBitsPerSample) + "-bit ";
    else
        text = "format tag " + std::to_string(format.wFormatTag) + ", " + text;
    if (format.nChannels == 1)
        return text + "mono";
    if (format.nChannels == 2)
        return text + "stereo";
    return text + std::to_string(format.nChannels) + " channels";
}

// The format check decides alone whether a conversion exists; without this the user would see
// only that the job failed.
void ReportRefusedFormats(const WAVEFORMATEX &source, const WAVEFORMATEX &target) {
    outputFailed.store(true);
    const std::string formats = DescribeFormat(source) + " -> " + DescribeFormat(target);
    converterState.onError(KN_ERR_FORMAT_REFUSED, TextArg(formats.c_str()));
}

bool EncodeBlock(const unsigned char *block) {
    if (currentOutModule->Encode(block) == 0)
        return true;
    ReportOutputFailure(EncoderErrorCode(), KN_ERR_ENCODE);
    return false;
}

} // namespace

void MDC_InitModOutValues() {
    encoderOutModule = Out_Module{};
    encoderOutModule.version = 0x10;
    encoderOutModule.id = 0x10000;
    encoderOutModule.hMainWindow = converterState.shadowWindow;
    encoderOutModule.Init = DoNothing;
    encoderOutModule.Quit = DoNothing;
    encoderOutModule.Open = MDC_Out_Open;
    encoderOutModule.Close = MDC_Out_Close;
    encoderOutModule.Write = MDC_Out_Write;
    encoderOutModule.CanWrite = WriterCanWrite;
    encoderOutModule.IsPlaying = WriterIsPlaying;
    encoderOutModule.Pause = ReturnZeroWithInt;
    encoderOutModule.SetVolume = DoNothingWithInt;
    encoderOutModule.SetPan = DoNothingWithInt;
    encoderOutModule.Flush = DoNothingWithInt;
    encoderOutModule.GetOutputTime = ReturnZero;
    encoderOutModule.GetWrittenTime = ReturnZero;
}

Out_Module *GetEncoderOutModule() {
    MDC_InitModOutValues();
    blockSize = 0;
    fill = 0;
    canWriteBase.store(0);
    busy.store(0);
    outputFailed.store(false);
    return &encoderOutModule;
}

void CompleteOutputName() {
    // /dev/null stays /dev/null: a device never gets the encoder's extension.
    if (platform::GetFileKind(converterState.outputName) == platform::FileKind::Device)
        return;
    const char *extension = currentOutModule ? currentOutModule->extension : nullptr;
    AddIfNoExtension(&converterState.outputName, extension, converterState.inputName);
}

int MDC_Out_Open(int sampleRate, int channels, int bitsPerSample, int, int) {
    formatConverter = std::make_unique<AcmFormatConverter>();
    FillPcmFormat(formatConverter->sourceFormat, sampleRate, channels, bitsPerSample);
    formatConverter->mode = 1;
    CompleteOutputName();
    CreateMultiLevelFolder(converterState.outputName);
    std::memcpy(formatConverter->targetFormat, formatConverter->sourceFormat, sizeof(WAVEFORMATEX));
    int wantStandard = 0;
    const int opened = currentOutModule->Open(EncodedFileName(), converterState.encoderParamBlock,
                                              formatConverter->targetFormat, &wantStandard);
    if (opened != 0) {
        DestroyConverter();
        ReportOutputFailure(EncoderErrorCode(), opened);
        return -1;
    }
    if (wantStandard == 1)
        SetStandardFormat(formatConverter->targetFormat);
    WAVEFORMATEX asked;
    std::memcpy(&asked, formatConverter->targetFormat, sizeof asked);
    if (!formatConverter->Open()) {
        ReportRefusedFormats(*formatConverter->sourceFormat, asked);
        // The encoder has opened its file: close it so that nothing stays half written.
        currentOutModule->Close();
        DestroyConverter();
        return -1;
    }
    const int size = currentOutModule->GetBlockSize ? currentOutModule->GetBlockSize() : 0;
    blockSize = size > 0 ? static_cast<unsigned>(size) : 0;
    if (blockSize == 0) {
        currentOutModule->Close();
        DestroyConverter();
        return -1;
    }
    blockBuffer = std::make_unique<unsigned char[]>(2 * static_cast<size_t>(blockSize));
    fill = 0;
    busy.store(0);
    canWriteBase.store(static_cast<int>(blockSize));
    return 0;
}

int MDC_Out_Write(char *buffer, int length) {
    if (length <= kIgnoredWriteLength)
        return 0;
    if (!blockBuffer)
        return -1;
    busy.store(1);
    canWriteBase.store(0);
    const auto *bytes = reinterpret_cast<const unsigned char *>(buffer);
    size_t remaining = static_cast<size_t>(length);
    while (remaining > 0) {
        // Whole blocks go to the encoder straight from the decoder's buffer.
        if (fill == 0 && remaining >= blockSize) {
            if (!EncodeBlock(bytes))
                return -1;
            bytes += blockSize;
            remaining -= blockSize;
            continue;
        }
        const size_t take = std::min<size_t>(remaining, blockSize - fill);
        std::memcpy(blockBuffer.get() + fill, bytes, take);
        fill += static_cast<unsigned>(take);
        bytes += take;
        remaining -= take;
        if (fill < blockSize)
            break;
        fill = 0;
        if (!EncodeBlock(blockBuffer.get()))
            return -1;
    }
    busy.store(0);
    canWriteBase.store(kCanWriteAfterWrite);
    return 0;
}

void MDC_Out_Close() {
    if (formatConverter) {
        if (fill > 0 && currentOutModule->EncodeLast)
            currentOutModule->EncodeLast(blockBuffer.get(), static_cast<int>(fill));
        fill = 0;
        currentOutModule->Close();
        // Closing writes the rest of the file; a full disk often shows only here.
        const int reason = EncoderErrorCode();
        if (reason != 0 && !outputFailed.load())
            ReportOutputFailure(reason, KN_ERR_ENCODE);
        DestroyConverter();
    }
    blockBuffer.reset();
}

bool WriterOutputFailed() {
    return outputFailed.load();
}
