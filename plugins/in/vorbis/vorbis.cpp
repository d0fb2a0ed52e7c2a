// vorbis: Kernova's Ogg Vorbis decoder, on libvorbisfile. Decodes to 16-bit PCM at the
// stream's rate and channel count, with the channels in WAV order. A chained file whose links
// change the rate or the channels ends at the change with KN_ERR_DECODER_ENCODING; a hole or a
// damaged page is stepped over and reported as KN_ERR_DECODER_DAMAGED at the end. A cut file
// plays up to its last whole Ogg page and, lacking the page that ends the stream, ends with
// KN_ERR_DECODER_TRUNCATED.
#include <vorbis/vorbisfile.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "decoder_shell.h"
#include "kernova/message_codes.h"
#include "ogg/ogg_end.h"
#include "resident_library.h"

// libvorbisfile stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&ov_open_callbacks));

namespace {

class VorbisStream final : public knplugin::DecoderStream {
  public:
    ~VorbisStream() override { ov_clear(&file); }

    // Takes `source` (the file `fileName`) over: ov_clear closes it after a successful open,
    // this after a failed one.
    bool Open(std::FILE *source, const char *fileName, int &error) {
        int result = ov_open_callbacks(source, &file, nullptr, 0, OV_CALLBACKS_DEFAULT);
        if (result != 0) {
            std::fclose(source);
            bool headers =
                result == OV_ENOTVORBIS || result == OV_EBADHEADER || result == OV_EVERSION;
            error = headers ? KN_ERR_VORBIS_NOT_VORBIS : KN_ERR_DECODER_DAMAGED;
            return false;
        }
        const vorbis_info *info = ov_info(&file, -1);
        format = {static_cast<uint32_t>(info->rate), static_cast<uint16_t>(info->channels), 16};
        if (info->rate <= 0 || info->channels <= 0) {
            error = KN_ERR_VORBIS_NOT_VORBIS;
            return false;
        }
        ogg_int64_t total = ov_pcm_total(&file, -1);
        totalFrames = total > 0 ? static_cast<uint64_t>(total) : 0;
        lacksEnd = !knplugin::EndsWithStreamEnd(fileName);
        return true;
    }

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }

    size_t Read(char *buffer, size_t frames) override {
        size_t frameBytes = format.FrameBytes();
        while (!ended) {
            int link = 0;
            long bytes =
                ov_read(&file, buffer, static_cast<int>(frames * frameBytes), 0, 2, 1, &link);
            if (bytes == OV_HOLE) {
                damaged = true;
                continue;
            }
            if (bytes > 0 && !SameFormat(link))
                return End(KN_ERR_DECODER_ENCODING);
            if (bytes <= 0)
                return End(bytes == 0 ? 0 : KN_ERR_DECODER_DAMAGED);
            size_t got = static_cast<size_t>(bytes) / frameBytes;
            knplugin::ReorderVorbisChannels(reinterpret_cast<int16_t *>(buffer), got,
                                            format.channels);
            return got;
        }
        return 0;
    }

    int EndCode() const override { return damaged ? KN_ERR_DECODER_DAMAGED : endCode; }
    bool LacksEnd() const override { return lacksEnd; }

  private:
    bool SameFormat(int link) {
        const vorbis_info *info = ov_info(&file, link);
        return info != nullptr && info->rate == static_cast<long>(format.rate) &&
               info->channels == format.channels;
    }

    size_t End(int code) {
        ended = true;
        endCode = code;
        return 0;
    }

    OggVorbis_File file{}; // ov_clear leaves a failed open zeroed, and a zeroed one alone
    knplugin::PcmFormat format;
    uint64_t totalFrames = 0;
    bool ended = false;
    bool damaged = false;
    bool lacksEnd = false;
    int endCode = 0;
};

std::unique_ptr<knplugin::DecoderStream> OpenVorbis(const char *fileName, int &error) {
    std::FILE *source = std::fopen(fileName, "rb");
    if (source == nullptr) {
        error = KN_ERR_DECODER_OPEN;
        return nullptr;
    }
    auto stream = std::make_unique<VorbisStream>();
    if (!stream->Open(source, fileName, error))
        return nullptr;
    return stream;
}

char description[] = "vorbis - Ogg Vorbis reader";
#ifdef KN_FFMPEG_DECODES_OGG
// FFmpeg decodes Ogg Vorbis several times faster (bench/bench_formats.sh) and no less correctly, so
// the ffmpeg decoder claims the extension and this one is used when -DEC names it.
char extensions[] = "";
#else
char extensions[] = "OGG;OGA\0Ogg Vorbis\0";
#endif
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: Vorbis is decoded to 16 bits", OpenVorbis};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
