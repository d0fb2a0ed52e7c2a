#include "ffmpeg_stream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernova/message_codes.h"
#include "ogg/ogg_end.h"

namespace knplugin {
namespace {

// A stream that ends this many frames (plus a thousandth) before the length that its container
// states was cut off: lossy codecs may trim a frame or two of priming and padding.
constexpr int64_t kLengthSlackFrames = 8192;

// The core loads every plug-in once to list it, and again for each job that it decodes:
void LogNothing(void *, int, const char *, va_list) {}

void SilenceFfmpeg() {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(LogNothing);
}

struct FormatCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct ResamplerFreer {
    void operator()(SwrContext *context) const { swr_free(&context); }
};

bool IsDsd(AVCodecID id) {
    return id == AV_CODEC_ID_DSD_LSBF || id == AV_CODEC_ID_DSD_MSBF ||
           id == AV_CODEC_ID_DSD_LSBF_PLANAR || id == AV_CODEC_ID_DSD_MSBF_PLANAR;
}

bool IsLossyOnly(AVCodecID id) {
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(id);
    return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSY) != 0 &&
           (descriptor->props & AV_CODEC_PROP_LOSSLESS) == 0;
}

// The depth that the decoded samples of `codec` are handed on in (see the header).
uint16_t OutputBits(AVSampleFormat format, const AVCodecContext &codec) {
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        return 8;
    case AV_SAMPLE_FMT_S16:
        return 16;
    case AV_SAMPLE_FMT_S32:
        return codec.bits_per_raw_sample > 0 && codec.bits_per_raw_sample <= 24 ? 24 : 32;
    case AV_SAMPLE_FMT_S64:
        return 32;
    default:
        if (IsDsd(codec.codec_id))
            return 24;
        return IsLossyOnly(codec.codec_id) ? 16 : 32;
    }
}

// The packed format that holds samples of `bits`; 24-bit samples sit in the top of 32 bits.
AVSampleFormat HeldFormat(uint16_t bits) {
    if (bits == 8)
        return AV_SAMPLE_FMT_U8;
    return bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
}

class FfmpegStream final : public DecoderStream {
  public:
    // Opens the file and decodes up to its first frame, which fixes the format. 0 or a code.
    int Open(const char *file) {
        AVFormatContext *opened = nullptr;
        if (avformat_open_input(&opened, file, nullptr, nullptr) < 0)
            return KN_ERR_FFMPEG_UNKNOWN;
        container.reset(opened);
        if (avformat_find_stream_info(container.get(), nullptr) < 0)
            return KN_ERR_FFMPEG_UNKNOWN;
        const AVCodec *decoder = nullptr;
        streamIndex = av_find_best_stream(container.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (streamIndex == AVERROR_DECODER_NOT_FOUND)
            return KN_ERR_FFMPEG_NO_DECODER;
        if (streamIndex < 0)
            return KN_ERR_FFMPEG_NO_AUDIO;
        for (unsigned i = 0; i < container->nb_streams; i++) {
            if (static_cast<int>(i) != streamIndex)
                container->streams[i]->discard = AVDISCARD_ALL;
        }
        int error = OpenDecoder(decoder, *container->streams[streamIndex]);
        if (error != 0)
            return error;
        if (!DecodeFrame())
            return damaged ? KN_ERR_DECODER_DAMAGED : KN_ERR_FFMPEG_NO_AUDIO;
        oggEndMissing =
            std::strcmp(container->iformat->name, "ogg") == 0 && !EndsWithStreamEnd(file);
        return SetFormat();
    }

    PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return static_cast<uint64_t>(statedFrames); }

    size_t Read(char *buffer, size_t frames) override {
        size_t frameBytes = format.FrameBytes();
        size_t done = 0;
        while (done < frames) {
            if (heldOffset == held.size() && !(DecodeFrame() && Convert()))
                break;
            size_t bytes = std::min((frames - done) * frameBytes, held.size() - heldOffset);
            std::memcpy(buffer + done * frameBytes, held.data() + heldOffset, bytes);
            heldOffset += bytes;
            done += bytes / frameBytes;
        }
        decodedFrames += static_cast<int64_t>(done);
        return done;
    }

    int EndCode() const override {
        if (formatChanged)
            return KN_ERR_FFMPEG_FORMAT_CHANGE;
        return damaged ? KN_ERR_DECODER_DAMAGED : 0;
    }

    // The container's length once the decoding fell short of it by more than a lossy codec's
    // priming and padding; 0 before that, so that the decoder shell takes such a file as whole.
    uint64_t StatedFrames() const override {
        bool cut = lengthIsStated &&
                   decodedFrames + kLengthSlackFrames + statedFrames / 1000 < statedFrames;
        return cut ? static_cast<uint64_t>(statedFrames) : 0;
    }

    bool LacksEnd() const override { return oggEndMissing; }

    // For a container that states no length at all (a Musepack file of a second or less, a raw
    // stream that FFmpeg cannot estimate): the length that a whole decode counted.
    void SetCountedLength(int64_t frames) { statedFrames = frames; }

  private:
    int OpenDecoder(const AVCodec *decoder, const AVStream &stream) {
        codec.reset(avcodec_alloc_context3(decoder));
        frame.reset(av_frame_alloc());
        packet.reset(av_packet_alloc());
        if (!codec || !frame || !packet ||
            avcodec_parameters_to_context(codec.get(), stream.codecpar) < 0)
            return KN_ERR_FFMPEG_NO_DECODER;
        codec->pkt_timebase = stream.time_base;
        return avcodec_open2(codec.get(), decoder, nullptr) < 0 ? KN_ERR_FFMPEG_NO_DECODER : 0;
    }

    // The format of the first frame, and the length that the container states.
    int SetFormat() {
        int channels = frame->ch_layout.nb_channels;
        if (channels < 1 || channels > kMaxChannels || frame->sample_rate < 1)
            return KN_ERR_DECODER_ENCODING;
        format = {static_cast<uint32_t>(frame->sample_rate), static_cast<uint16_t>(channels),
                  OutputBits(static_cast<AVSampleFormat>(frame->format), *codec)};
        const AVStream &stream = *container->streams[streamIndex];
        AVRational perFrame = {1, frame->sample_rate};
        if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
            statedFrames = av_rescale_q(stream.duration, stream.time_base, perFrame);
        } else if (container->duration != AV_NOPTS_VALUE && container->duration > 0) {
            statedFrames = av_rescale_q(container->duration, AV_TIME_BASE_Q, perFrame);
        }
        lengthIsStated = statedFrames > 0 &&
                         container->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
        return Convert() ? 0 : KN_ERR_DECODER_ENCODING;
    }

    // The next decoded frame into `frame`; false at the end. Damage is noted and stepped over.
    bool DecodeFrame() {
        while (!formatChanged) {
            int result = avcodec_receive_frame(codec.get(), frame.get());
            if (result == 0)
                return true;
            if (result == AVERROR_EOF)
                return false;
            if (result != AVERROR(EAGAIN)) {
                damaged = true;
                if (draining)
                    return false;
                continue;
            }
            if (draining)
                return false;
            SendPacket();
        }
        return false;
    }

    void SendPacket() {
        int result = av_read_frame(container.get(), packet.get());
        if (result < 0) {
            damaged = damaged || result != AVERROR_EOF;
            draining = true;
            avcodec_send_packet(codec.get(), nullptr);
            return;
        }
        if (packet->stream_index == streamIndex &&
            avcodec_send_packet(codec.get(), packet.get()) < 0)
            damaged = true;
        av_packet_unref(packet.get());
    }

    // Turns `frame` into held bytes of the output format; false when its shape changed. Only
    // 24-bit output takes a step through `wide`: the other depths are the held format itself.
    bool Convert() {
        if (frame->sample_rate != static_cast<int>(format.rate) ||
            frame->ch_layout.nb_channels != format.channels) {
            formatChanged = true;
            return false;
        }
        auto frames = static_cast<size_t>(frame->nb_samples);
        AVSampleFormat target = HeldFormat(format.bits);
        size_t sampleBytes = static_cast<size_t>(av_get_bytes_per_sample(target));
        std::vector<char> &packed = format.bits == 24 ? wide : held;
        packed.resize(frames * format.channels * sampleBytes);
        if (frame->format == target) {
            std::memcpy(packed.data(), frame->extended_data[0], packed.size());
        } else if (!Resample(target, frames, packed)) {
            return false;
        }
        heldOffset = 0;
        if (format.bits != 24)
            return true;
        held.resize(frames * format.FrameBytes());
        const auto *samples = reinterpret_cast<const int32_t *>(wide.data());
        char *out = held.data();
        for (size_t i = 0; i < frames * format.channels; i++, out += 3)
            PutSample<24>(out, samples[i] >> 8);
        return true;
    }

    bool Resample(AVSampleFormat target, size_t frames, std::vector<char> &packed) {
        if (!resampler || resamplerInput != frame->format) {
            SwrContext *made = nullptr;
            if (swr_alloc_set_opts2(&made, &frame->ch_layout, target, frame->sample_rate,
                                    &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                    frame->sample_rate, 0, nullptr) < 0)
                return false;
            resampler.reset(made);
            if (swr_init(resampler.get()) < 0)
                return false;
            resamplerInput = frame->format;
        }
        auto *out = reinterpret_cast<uint8_t *>(packed.data());
        int count = static_cast<int>(frames);
        return swr_convert(resampler.get(), &out, count,
                           const_cast<const uint8_t **>(frame->extended_data), count) == count;
    }

    std::unique_ptr<AVFormatContext, FormatCloser> container;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> frame;
    std::unique_ptr<AVPacket, PacketFreer> packet;
    std::unique_ptr<SwrContext, ResamplerFreer> resampler;
    int resamplerInput = AV_SAMPLE_FMT_NONE;
    int streamIndex = -1;
    PcmFormat format;
    int64_t statedFrames = 0;
    bool lengthIsStated = false;
    int64_t decodedFrames = 0;
    bool draining = false;
    bool damaged = false;
    bool formatChanged = false;
    bool oggEndMissing = false;
    std::vector<char> wide; // a frame for 24-bit output, in 32 bits
    std::vector<char> held; // the frame in the output format, from heldOffset on not yet read
    size_t heldOffset = 0;
};

// The frames of the whole file, decoded once; 0 when it cannot be opened again.
int64_t CountFrames(const char *file) {
    FfmpegStream counter;
    if (counter.Open(file) != 0)
        return 0;
    constexpr size_t kFramesPerRead = 4096;
    std::vector<char> scratch(kFramesPerRead * counter.Format().FrameBytes());
    int64_t total = 0;
    for (size_t got; (got = counter.Read(scratch.data(), kFramesPerRead)) > 0;)
        total += static_cast<int64_t>(got);
    return total;
}

} // namespace

std::unique_ptr<DecoderStream> OpenFfmpegStream(const char *file, int &error) {
    SilenceFfmpeg();
    auto stream = std::make_unique<FfmpegStream>();
    error = stream->Open(file);
    if (error != 0)
        return nullptr;
    // The core takes a file without a length for one it cannot decode.
    if (stream->LengthFrames() == 0)
        stream->SetCountedLength(CountFrames(file));
    return stream;
}

} // namespace knplugin
