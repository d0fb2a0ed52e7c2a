// flac: Kernova's FLAC decoder, on libFLAC. Keeps the source's depth where the output modules
// have it (8, 16, 24, 32 bits; other depths are scaled up to the next one, 8-bit unsigned),
// the rate and the channels. libFLAC checks every frame's CRC and the stream's MD5 signature;
// a damaged frame, a cut file or a wrong signature ends the stream with what could be decoded
// and KN_ERR_DECODER_DAMAGED as GetLastErrorCode.
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kernova/message_codes.h"
#include "plugins/common/decoder_shell.h"

namespace {

uint16_t OutputBits(uint32_t sourceBits) {
    return sourceBits <= 8 ? 8 : sourceBits <= 16 ? 16 : sourceBits <= 24 ? 24 : 32;
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
        if (FLAC__stream_decoder_init_file(decoder.get(), file, OnWrite, OnMetadata, OnError,
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

    size_t Read(char *buffer, size_t frames) override {
        size_t frameBytes = format.FrameBytes();
        size_t wanted = frames * frameBytes;
        size_t copied = 0;
        while (copied < wanted) {
            if (pendingStart == pending.size()) {
                pending.clear();
                pendingStart = 0;
                if (!DecodeFrame())
                    break;
                continue;
            }
            size_t now = std::min(wanted - copied, pending.size() - pendingStart);
            std::memcpy(buffer + copied, pending.data() + pendingStart, now);
            pendingStart += now;
            copied += now;
        }
        return copied / frameBytes;
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

    void Append(const FLAC__Frame *frame, const FLAC__int32 *const channels[]) {
        uint32_t samples = frame->header.blocksize;
        size_t start = pending.size();
        pending.resize(start + samples * format.FrameBytes());
        char *out = pending.data() + start;
        int32_t scale = int32_t(1) << (format.bits - sourceBits);
        for (uint32_t i = 0; i < samples; i++)
            for (uint16_t c = 0; c < format.channels; c++)
                out = knplugin::StoreSample(out, channels[c][i] * scale, format.bits);
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
        self->format = {info.sample_rate, static_cast<uint16_t>(info.channels),
                        OutputBits(info.bits_per_sample)};
    }

    static void OnError(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *data) {
        static_cast<FlacStream *>(data)->damaged = true;
    }

    DecoderHandle decoder;
    knplugin::PcmFormat format;
    uint32_t sourceBits = 0;
    uint64_t totalFrames = 0; // 0 until known
    uint64_t decodedFrames = 0;
    bool haveInfo = false;
    bool countOnly = false;
    bool ended = false;
    bool damaged = false;
    bool signatureMatches = true;
    std::vector<char> pending; // decoded bytes not yet read, from pendingStart on
    size_t pendingStart = 0;
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

extern "C" In_Module *QZconvInputModAddr() {
    return knplugin::GetDecoderModule(definition);
}

extern "C" InputModuleEx *QZconvInputModAddrEx() {
    return knplugin::GetDecoderModuleEx();
}
