// The ACM format converter: when an output opens, it proves through the audio format layer
// that the decoder's PCM (the source format) can be turned into the format that the encoder
// asked for (the target format), directly or in two stages through an intermediate PCM format.
// No audio passes through it; it holds its streams and buffers while the output is open.
//
// Use: construct; set `mode` to 1; fill `sourceFormat` (PCM, no extra bytes) and
// `targetFormat`; Open; ...; Close (or destroy, which closes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

class AcmFormatConverter {
  public:
    // Measures the largest format size and allocates the two format buffers.
    AcmFormatConverter();
    virtual ~AcmFormatConverter();
    AcmFormatConverter(const AcmFormatConverter &) = delete;
    AcmFormatConverter &operator=(const AcmFormatConverter &) = delete;

    // 1 when the streams are open, 0 on any failure; whatever a failed open made is left to
    // Close. Replaces `targetFormat` by the driver's own description of that format.
    int Open();
    // Closes the streams and frees every buffer, the format buffers included; once only.
    void Close();

    int mode = 0;                          // 1: the open always prepares an intermediate PCM format
    WAVEFORMATEX *targetFormat = nullptr;  // largest format size + 28 bytes
    WAVEFORMATEX *sourceFormat = nullptr;  // the same size
    platform::HACMSTREAM stream = nullptr; // source (or intermediate) to target
    platform::HACMSTREAM firstStageStream = nullptr; // source to intermediate, two-stage only
    std::unique_ptr<uint8_t[]> outputBuffer;
    std::unique_ptr<uint8_t[]> intermediateBuffer;
    int open = 1;
    size_t intermediateSize = 0; // five seconds of the intermediate format, two-stage only
    int twoStage = 0;
    size_t pending = 0;
    size_t firstStagePending = 0;
    std::unique_ptr<uint8_t[]> inputBuffer;
    std::unique_ptr<uint8_t[]> firstStageInputBuffer;

  private:
    uint32_t formatBufferSize = 0; // bytes of each format buffer
};
