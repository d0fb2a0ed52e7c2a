// flac: Kernova's FLAC decoder, on libFLAC. Keeps the source's depth where the output modules
// have it (8, 16, 24, 32 bits; other depths are scaled up to the next one, 8-bit unsigned),
// the rate and the channels. libFLAC checks every frame's CRC and the stream's MD5 signature;
// a damaged frame or a wrong signature ends the stream with what could be decoded and
// KN_ERR_DECODER_DAMAGED as GetLastErrorCode, a file cut short of the total samples that its
// stream information states with KN_ERR_DECODER_TRUNCATED.
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "decoder_shell.h"
#include "kernova/message_codes.h"
#include "library_file_name.h"
#include "resident_library.h"

// libFLAC stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&FLAC__stream_decoder_new));

namespace {

uint16_t OutputBits(uint32_t sourceBits) {
    return sourceBits <= 8 ? 8 : sourceBits <= 16 ? 16 : sourceBits <= 24 ? 24 : 32;
}

// Stores frames [first, first + count) of the decoded channels interleaved at `out`, shifted up
// to the output depth, and returns the position after them. One copy per depth and common
// channel count, so that the loop over a frame's samples does not ask the depth per sample.
using InterleaveFunc = char *(*)(char *out, const FLAC__int32 *const channels[],
                                 uint16_t channelCount, uint32_t first, uint32_t count, int shift);

template <uint16_t Bits, uint16_t Channels>
char *Interleave(char *out, const FLAC__int32 *const channels[], uint16_t channelCount,
                 uint32_t first, uint32_t count, int shift) {
    // Local copies of the channel pointers, which stores through `out` cannot change, and
    // indexed stores: together they let the compiler vectorise the loop.
    const FLAC__int32 *source[knplugin::kMaxChannels];
    size_t perFrame = Channels != 0 ? Channels : channelCount; // FLAC has at most 8
    for (size_t c = 0; c < perFrame; c++)
        source[c] = channels[c] + first;
    constexpr size_t kSampleBytes = Bits / 8;
    for (size_t i = 0; i < count; i++)
        for (size_t c = 0; c < perFrame; c++) {
            auto value = static_cast<int32_t>(static_cast<uint32_t>(source[c][i]) << shift);
            knplugin::PutSample<Bits>(out + (i * perFrame + c) * kSampleBytes, value);
        }
    return out + count * perFrame * kSampleBytes;
}

template <uint16_t Bits> InterleaveFunc PickForDepth(uint16_t channels) {
    return channels == 1   ? Interleave<Bits, 1>
           : channels == 2 ? Interleave<Bits, 2>
                           : Interleave<Bits, 0>;
}

InterleaveFunc PickInterleave(uint16_t bits, uint16_t channels) {
    switch (bits) {
    case 8:
        return PickForDepth<8>(channels);
    case 16:
        return PickForDepth<16>(channels);
    case 24:
        return PickForDepth<24>(channels);
    default:
        return PickForDepth<32>(channels);
    }
}

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder *decoder) const { FLAC__stream_decoder_delete(decoder); }
};
using DecoderHandle = std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter>;

class FlacStream final : public knplugin::DecoderStream {
  public:
    // Reads the metadata; false when the file holds no FLAC stream information.
    bool Open(const char *file, bool checkSignature, int &error) {
        decoder.reset(FLAC__stream_decoder_new());
        if (!decoder) {
            error = KN_ERR_DECODER_OPEN;
            return false;
        }
        FLAC__stream_decoder_set_md5_checking(decoder.get(), checkSignature);
        if (FLAC__stream_decoder_init_file(decoder.get(), knplugin::LibraryFileName(file).c_str(),
                                           OnWrite, OnMetadata, OnError,
                                           this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
            error = KN_ERR_DECODER_OPEN;
            return false;
        }
        FLAC__stream_decoder_process_until_end_of_metadata(decoder.get());
        if (!haveInfo) {
            error = KN_ERR_FLAC_NOT_FLAC;
            return false;
        }
        damaged = false; // what lies before the stream information is not the stream's
        return true;
    }

    // Stream information without a length: decodes the whole stream once to count its frames.
    void CountFramesIfUnknown(const char *file) {
        if (totalFrames != 0)
            return;
        FlacStream counter;
        int ignored = 0;
        if (!counter.Open(file, false, ignored))
            return;
        counter.countOnly = true;
        while (counter.DecodeFrame()) {
        }
        totalFrames = counter.decodedFrames;
    }

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }
    uint64_t StatedFrames() const override { return statedFrames; }

    // Decodes straight into `buffer`; only the part of a frame that does not fit waits in
    // `pending` for the next call.
    size_t Read(char *buffer, size_t frames) override {
        size_t frameBytes = format.FrameBytes();
        size_t taken = std::min(frames * frameBytes, pendingEnd - pendingStart);
        if (taken > 0)
            std::memcpy(buffer, pending.data() + pendingStart, taken);
        pendingStart += taken;
        target = buffer + taken;
        targetFrames = frames - taken / frameBytes;
        while (targetFrames > 0 && DecodeFrame()) {
        }
        size_t read = static_cast<size_t>(target - buffer) / frameBytes;
        target = nullptr;
        targetFrames = 0;
        return read;
    }

    int EndCode() const override {
        bool complete = totalFrames == 0 || decodedFrames == totalFrames;
        return damaged || !complete || !signatureMatches ? KN_ERR_DECODER_DAMAGED : 0;
    }

  private:
    // Decodes the next frame into `pending`; false once the stream has ended.
    bool DecodeFrame() {
        if (ended)
            return false;
        bool decoded = FLAC__stream_decoder_process_single(decoder.get());
        if (decoded &&
            FLAC__stream_decoder_get_state(decoder.get()) < FLAC__STREAM_DECODER_END_OF_STREAM)
            return true;
        ended = true;
        if (FLAC__stream_decoder_get_state(decoder.get()) == FLAC__STREAM_DECODER_END_OF_STREAM)
            signatureMatches = FLAC__stream_decoder_finish(decoder.get());
        return false;
    }

    // Stores the frame in the reader's buffer as far as it has room, the rest in `pending`.
    void Append(const FLAC__Frame *frame, const FLAC__int32 *const channels[]) {
        uint32_t samples = frame->header.blocksize;
        auto direct = static_cast<uint32_t>(std::min<size_t>(samples, targetFrames));
        if (direct > 0) {
            target = interleave(target, channels, format.channels, 0, direct, shift);
            targetFrames -= direct;
        }
        if (direct == samples)
            return;
        size_t rest = (samples - direct) * format.FrameBytes();
        if (pending.size() < rest)
            pending.resize(rest);
        interleave(pending.data(), channels, format.channels, direct, samples - direct, shift);
        pendingStart = 0;
        pendingEnd = rest;
    }

    static FLAC__StreamDecoderWriteStatus OnWrite(const FLAC__StreamDecoder *,
                                                  const FLAC__Frame *frame,
                                                  const FLAC__int32 *const buffer[], void *data) {
        auto *self = static_cast<FlacStream *>(data);
        if (frame->header.channels != self->format.channels ||
            frame->header.bits_per_sample != self->sourceBits) {
            self->damaged = true; // a frame that contradicts the stream information
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        self->decodedFrames += frame->header.blocksize;
        if (!self->countOnly)
            self->Append(frame, buffer);
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void OnMetadata(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *metadata,
                           void *data) {
        auto *self = static_cast<FlacStream *>(data);
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO || self->haveInfo)
            return;
        const FLAC__StreamMetadata_StreamInfo &info = metadata->data.stream_info;
        self->haveInfo = true;
        self->sourceBits = info.bits_per_sample;
        self->totalFrames = info.total_samples;
        self->statedFrames = info.total_samples;
        self->format = {info.sample_rate, static_cast<uint16_t>(info.channels),
                        OutputBits(info.bits_per_sample)};
        self->shift = static_cast<int>(self->format.bits - info.bits_per_sample);
        self->interleave = PickInterleave(self->format.bits, self->format.channels);
    }

    static void OnError(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *data) {
        static_cast<FlacStream *>(data)->damaged = true;
    }

    DecoderHandle decoder;
    knplugin::PcmFormat format;
    uint32_t sourceBits = 0;
    uint64_t totalFrames = 0;  // 0 until known
    uint64_t statedFrames = 0; // the stream information's total, 0 for none
    uint64_t decodedFrames = 0;
    bool haveInfo = false;
    bool countOnly = false;
    bool ended = false;
    bool damaged = false;
    bool signatureMatches = true;
    int shift = 0; // from the source's depth up to the output's
    InterleaveFunc interleave = nullptr;
    char *target = nullptr; // where the current Read wants its next frame
    size_t targetFrames = 0;
    std::vector<char> pending; // decoded bytes not yet read: pendingStart to pendingEnd
    size_t pendingStart = 0;
    size_t pendingEnd = 0;
};

std::unique_ptr<knplugin::DecoderStream> OpenFlac(const char *file, int &error) {
    auto stream = std::make_unique<FlacStream>();
    if (!stream->Open(file, true, error))
        return nullptr;
    stream->CountFramesIfUnknown(file);
    return stream;
}

char description[] = "flac - FLAC reader";
char extensions[] = "FLAC\0FLAC files\0";
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: FLAC keeps its depth (8-bit as unsigned)", OpenFlac};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
