#include "m4a_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "kernova/message_codes.h"

namespace knplugin {
namespace {

constexpr int kIoBufferBytes = 1 << 16;
constexpr float kFloatScale = 1.0f / 2147483648.0f;

// One little-endian sample (8-bit unsigned) as a 32-bit value with its bits at the top.
template <int Bits> int32_t TopAligned(const uint8_t *p) {
    uint32_t value = 0;
    for (int i = 0; i < Bits / 8; i++)
        value |= static_cast<uint32_t>(p[i]) << (32 - Bits + 8 * i);
    if constexpr (Bits == 8)
        value ^= 0x80000000u;
    return static_cast<int32_t>(value);
}

void LogNothing(void *, int, const char *, va_list) {}

int WritePacket(void *opaque, uint8_t *data, int bytes) {
    return static_cast<OutputFile *>(opaque)->Write(data, static_cast<size_t>(bytes))
               ? bytes
               : AVERROR(EIO);
}

int64_t SeekFile(void *opaque, int64_t offset, int whence) {
    auto *file = static_cast<OutputFile *>(opaque);
    if (whence == SEEK_CUR)
        offset += static_cast<int64_t>(file->Tell());
    else if (whence != SEEK_SET)
        return AVERROR(ENOSYS);
    return offset >= 0 && file->Seek(static_cast<uint64_t>(offset)) ? offset : AVERROR(EIO);
}

// The channel layout for `channels` in the WAVE order, or the encoder's own one of that many
// channels when it takes only its own.
bool ChooseLayout(const AVCodec &codec, int channels, AVChannelLayout &layout) {
    av_channel_layout_default(&layout, channels);
    if (codec.ch_layouts == nullptr)
        return true;
    for (const AVChannelLayout *offered = codec.ch_layouts; offered->nb_channels != 0; offered++) {
        if (av_channel_layout_compare(offered, &layout) == 0)
            return true;
    }
    for (const AVChannelLayout *offered = codec.ch_layouts; offered->nb_channels != 0; offered++) {
        if (offered->nb_channels == channels)
            return av_channel_layout_copy(&layout, offered) == 0;
    }
    return false;
}

AVSampleFormat SampleFormat(int bits) {
    if (bits == 0)
        return AV_SAMPLE_FMT_FLTP;
    return bits == 16 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P;
}

class M4aSession final : public EncoderSession {
  public:
    M4aSession(const WAVEFORMATEX &format, int outBits)
        : inputBits(format.wBitsPerSample), channels(format.nChannels), bits(outBits) {}

    ~M4aSession() override {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        if (muxer != nullptr)
            avformat_free_context(muxer);
        if (io != nullptr)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }

    int Start(const char *outputName, uint32_t rate, const M4aSettings &settings) {
        av_log_set_callback(LogNothing);
        const AVCodec *encoder = avcodec_find_encoder_by_name(settings.encoder);
        if (encoder == nullptr)
            return KN_ERR_ENCODER_SETUP;
        if (!file.Create(outputName))
            return KN_ERR_OUTPUT_CREATE;
        if (!OpenEncoder(*encoder, rate, settings) || !OpenMuxer(*encoder))
            return KN_ERR_ENCODER_SETUP;
        return avformat_write_header(muxer, nullptr) < 0 ? KN_ERR_ENCODER_SETUP : 0;
    }

    bool Feed(const uint8_t *pcm, size_t frames) override {
        size_t sampleBytes = static_cast<size_t>(inputBits / 8);
        for (size_t done = 0; done < frames;) {
            size_t room = static_cast<size_t>(codec->frame_size - frame->nb_samples);
            size_t take = std::min(room, frames - done);
            Store(pcm + done * channels * sampleBytes, take);
            done += take;
            if (frame->nb_samples == codec->frame_size && !SendFrame())
                return false;
        }
        return true;
    }

    bool Finish() override {
        if (frame->nb_samples > 0 && !SendFrame())
            return false;
        if (avcodec_send_frame(codec, nullptr) < 0 || !WritePackets() ||
            av_write_trailer(muxer) < 0)
            return false;
        avio_flush(io);
        return !file.Failed();
    }

  private:
    bool OpenEncoder(const AVCodec &encoder, uint32_t rate, const M4aSettings &settings) {
        codec = avcodec_alloc_context3(&encoder);
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (codec == nullptr || frame == nullptr || packet == nullptr ||
            !ChooseLayout(encoder, channels, codec->ch_layout))
            return false;
        codec->sample_rate = static_cast<int>(rate);
        codec->time_base = {1, static_cast<int>(rate)};
        codec->sample_fmt = SampleFormat(bits);
        codec->bits_per_raw_sample = bits;
        codec->bit_rate = settings.bitRate;
        if (settings.quality > 0) {
            codec->flags |= AV_CODEC_FLAG_QSCALE;
            codec->global_quality = settings.quality * FF_QP2LAMBDA / 10;
        }
        if (settings.level >= 0)
            codec->compression_level = settings.level;
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // MPEG-4 files keep it in the sample entry
        if (avcodec_open2(codec, &encoder, nullptr) < 0 || codec->frame_size <= 0)
            return false;
        frame->format = codec->sample_fmt;
        frame->nb_samples = codec->frame_size;
        frame->sample_rate = codec->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) < 0 ||
            av_frame_get_buffer(frame, 0) < 0)
            return false;
        frame->nb_samples = 0;
        return true;
    }

    bool OpenMuxer(const AVCodec &encoder) {
        if (avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0)
            return false;
        auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferBytes));
        io = buffer ? avio_alloc_context(buffer, kIoBufferBytes, 1, &file, nullptr, WritePacket,
                                         SeekFile)
                    : nullptr;
        if (io == nullptr) {
            av_free(buffer);
            return false;
        }
        muxer->pb = io;
        stream = avformat_new_stream(muxer, &encoder);
        if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, codec) < 0)
            return false;
        stream->time_base = codec->time_base;
        return true;
    }

    // Appends `frames` frames of the input to the frame being filled, as the encoder's samples.
    void Store(const uint8_t *pcm, size_t frames) {
        switch (inputBits) {
        case 8:
            StoreFrom<8>(pcm, frames);
            break;
        case 16:
            StoreFrom<16>(pcm, frames);
            break;
        case 24:
            StoreFrom<24>(pcm, frames);
            break;
        default:
            StoreFrom<32>(pcm, frames);
            break;
        }
        frame->nb_samples += static_cast<int>(frames);
    }

    // Spelled out per input depth and output type: this runs once per sample.
    template <int InBits> void StoreFrom(const uint8_t *pcm, size_t frames) {
        auto at = static_cast<size_t>(frame->nb_samples);
        size_t step = static_cast<size_t>(channels) * (InBits / 8);
        for (int channel = 0; channel < channels; channel++) {
            const uint8_t *in = pcm + channel * (InBits / 8);
            uint8_t *plane = frame->extended_data[channel];
            if (bits == 0) {
                float *out = reinterpret_cast<float *>(plane) + at;
                for (size_t i = 0; i < frames; i++, in += step)
                    out[i] = static_cast<float>(TopAligned<InBits>(in)) * kFloatScale;
            } else if (bits == 16) {
                int16_t *out = reinterpret_cast<int16_t *>(plane) + at;
                for (size_t i = 0; i < frames; i++, in += step)
                    out[i] = static_cast<int16_t>(TopAligned<InBits>(in) >> 16);
            } else {
                int32_t *out = reinterpret_cast<int32_t *>(plane) + at;
                for (size_t i = 0; i < frames; i++, in += step)
                    out[i] = TopAligned<InBits>(in);
            }
        }
    }

    bool SendFrame() {
        frame->pts = sentFrames;
        sentFrames += frame->nb_samples;
        bool sent = avcodec_send_frame(codec, frame) >= 0 && WritePackets();
        // The encoder may still hold the samples: a new buffer of a whole frame takes the next.
        frame->nb_samples = codec->frame_size;
        bool writable = av_frame_make_writable(frame) >= 0;
        frame->nb_samples = 0;
        return sent && writable;
    }

    bool WritePackets() {
        for (;;) {
            int result = avcodec_receive_packet(codec, packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return true;
            if (result < 0)
                return false;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (av_write_frame(muxer, packet) < 0)
                return false;
        }
    }

    int inputBits;
    int channels;
    int bits;
    AVCodecContext *codec = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *packet = nullptr;
    AVFormatContext *muxer = nullptr;
    AVIOContext *io = nullptr;
    AVStream *stream = nullptr;
    int64_t sentFrames = 0;
};

} // namespace

int StartM4a(const char *outputName, const WAVEFORMATEX &format, const M4aSettings &settings,
             std::unique_ptr<EncoderSession> &session) {
    auto m4a = std::make_unique<M4aSession>(format, settings.bits);
    int result = m4a->Start(outputName, format.nSamplesPerSec, settings);
    if (result == 0)
        session = std::move(m4a);
    return result;
}

} // namespace knplugin
