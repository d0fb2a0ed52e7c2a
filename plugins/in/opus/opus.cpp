// opus: Kernova's Ogg Opus decoder, on libopusfile. Decodes to 16-bit PCM at 48000 Hz, the
// rate of every Opus stream, with the header's output gain applied and the channels in WAV
// order. A chained file whose links change the channel count ends at the change with
// KN_ERR_DECODER_ENCODING; a hole or a damaged packet is stepped over and reported as
// KN_ERR_DECODER_DAMAGED at the end. A cut file plays up to its last whole Ogg page and,
// lacking the page that ends the stream, ends with KN_ERR_DECODER_TRUNCATED; one cut before its
// first whole page of audio is refused with that code.
#include <opus/opusfile.h>

#include <cstdint>
#include <memory>

#include "decoder_shell.h"
#include "kernova/message_codes.h"
#include "library_file_name.h"
#include "ogg/ogg_end.h"
#include "resident_library.h"

// libopusfile stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&op_open_file));

namespace {

constexpr uint32_t kOpusRate = 48000;
constexpr int kVorbisOrderFamily = 1; // the channel mapping family whose order is Vorbis'

struct FileDeleter {
    void operator()(OggOpusFile *file) const { op_free(file); }
};
using FileHandle = std::unique_ptr<OggOpusFile, FileDeleter>;

class OpusStream final : public knplugin::DecoderStream {
  public:
    OpusStream(FileHandle opened, bool endMissing) : file(std::move(opened)), lacksEnd(endMissing) {
        const OpusHead *head = op_head(file.get(), -1);
        format = {kOpusRate, static_cast<uint16_t>(head->channel_count), 16};
        ogg_int64_t total = op_pcm_total(file.get(), -1);
        totalFrames = total > 0 ? static_cast<uint64_t>(total) : 0;
    }

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }

    size_t Read(char *buffer, size_t frames) override {
        auto *samples = reinterpret_cast<opus_int16 *>(buffer);
        int values = static_cast<int>(frames * format.channels);
        while (!ended) {
            int link = 0;
            int got = op_read(file.get(), samples, values, &link);
            if (got == OP_HOLE) {
                damaged = true;
                continue;
            }
            if (got <= 0)
                return End(got == 0 ? 0 : KN_ERR_DECODER_DAMAGED);
            const OpusHead *head = op_head(file.get(), link);
            if (head->channel_count != format.channels)
                return End(KN_ERR_DECODER_ENCODING);
            if (head->mapping_family == kVorbisOrderFamily)
                knplugin::ReorderVorbisChannels(samples, static_cast<size_t>(got), format.channels);
            return static_cast<size_t>(got);
        }
        return 0;
    }

    int EndCode() const override { return damaged ? KN_ERR_DECODER_DAMAGED : endCode; }
    bool LacksEnd() const override { return lacksEnd; }

  private:
    size_t End(int code) {
        ended = true;
        endCode = code;
        return 0;
    }

    FileHandle file;
    bool lacksEnd;
    knplugin::PcmFormat format;
    uint64_t totalFrames = 0;
    bool ended = false;
    bool damaged = false;
    int endCode = 0;
};

// Errors of the headers say that this is no Opus file; later ones, that an Opus file is cut
// (before its first whole page of audio) or damaged.
int OpenErrorCode(int result, const char *fileName) {
    bool headers = result == OP_ENOTFORMAT || result == OP_EBADHEADER || result == OP_EVERSION;
    if (headers)
        return KN_ERR_OPUS_NOT_OPUS;
    return knplugin::EndsWithStreamEnd(fileName) ? KN_ERR_DECODER_DAMAGED
                                                 : KN_ERR_DECODER_TRUNCATED;
}

std::unique_ptr<knplugin::DecoderStream> OpenOpus(const char *fileName, int &error) {
    int result = 0;
    FileHandle file(op_open_file(knplugin::LibraryFileName(fileName).c_str(), &result));
    if (!file) {
        error = OpenErrorCode(result, fileName);
        return nullptr;
    }
    return std::make_unique<OpusStream>(std::move(file), !knplugin::EndsWithStreamEnd(fileName));
}

char description[] = "opus - Ogg Opus reader";
#ifdef KN_FFMPEG_DECODES_OGG
// FFmpeg decodes Ogg Opus several times faster (bench/bench_formats.sh) and no less correctly, so
// the ffmpeg decoder claims the extension and this one is used when -DEC names it.
char extensions[] = "";
#else
char extensions[] = "OPUS\0Ogg Opus\0";
#endif
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: Opus is decoded to 16 bits at 48000 Hz", OpenOpus};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
