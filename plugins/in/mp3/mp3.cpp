// mp3: Kernova's MPEG audio decoder (layers 1, 2 and 3), on libmpg123. Decodes to 16-bit PCM
// at the stream's rate and channel count, gapless where the encoder left its delay and padding
// in the file. A stream that changes its rate or channels midway ends there with
// KN_ERR_DECODER_ENCODING; a decoding error ends with what could be decoded and
// KN_ERR_DECODER_DAMAGED, a file shorter than its Xing or Info tag says (cut or with lost
// frames) with KN_ERR_DECODER_TRUNCATED. A file without such a tag plays what it holds.
#include <mpg123.h>

#include <cstdint>
#include <memory>

#include "decoder_shell.h"
#include "kernova/message_codes.h"
#include "library_file_name.h"
#include "resident_library.h"

// libmpg123 stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&mpg123_new));

namespace {

struct HandleDeleter {
    void operator()(mpg123_handle *handle) const {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
};
using Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

class Mp3Stream final : public knplugin::DecoderStream {
  public:
    explicit Mp3Stream(Handle opened, knplugin::PcmFormat pcm, uint64_t frames, bool stated)
        : handle(std::move(opened)), format(pcm), totalFrames(frames), lengthStated(stated) {}

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }
    uint64_t StatedFrames() const override { return lengthStated ? totalFrames : 0; }

    size_t Read(char *buffer, size_t frames) override {
        size_t frameBytes = format.FrameBytes();
        size_t done = 0;
        while (done == 0 && endCode < 0) {
            int result = mpg123_read(handle.get(), buffer, frames * frameBytes, &done);
            decodedFrames += done / frameBytes;
            if (result == MPG123_NEW_FORMAT && !SameFormat())
                endCode = KN_ERR_DECODER_ENCODING;
            else if (result == MPG123_DONE)
                endCode = 0;
            else if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
                endCode = KN_ERR_DECODER_DAMAGED;
        }
        return done / frameBytes;
    }

    int EndCode() const override { return endCode < 0 ? 0 : endCode; }

  private:
    bool SameFormat() {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        return mpg123_getformat(handle.get(), &rate, &channels, &encoding) == MPG123_OK &&
               rate == static_cast<long>(format.rate) && channels == format.channels;
    }

    Handle handle;
    knplugin::PcmFormat format;
    uint64_t totalFrames;
    bool lengthStated; // by the file's Xing or Info tag
    uint64_t decodedFrames = 0;
    int endCode = -1; // -1 until the stream has ended
};

// Sets up a handle for `file` that decodes to 16-bit PCM of the first frame's rate and
// channels; null when libmpg123 finds no MPEG audio frame in it. `flags` are added to the
// handle's own.
Handle OpenHandle(const char *file, knplugin::PcmFormat &format, int &error, long flags = 0) {
    error = KN_ERR_MP3_NOT_MPEG;
    Handle handle(mpg123_new(nullptr, nullptr));
    if (!handle) {
        error = KN_ERR_DECODER_OPEN;
        return nullptr;
    }
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | flags, 0);
    mpg123_format_none(handle.get());
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; i++)
        mpg123_format(handle.get(), rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_open(handle.get(), knplugin::LibraryFileName(file).c_str()) != MPG123_OK ||
        mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK)
        return nullptr;
    format = {static_cast<uint32_t>(rate), static_cast<uint16_t>(channels), 16};
    mpg123_format_none(handle.get());
    mpg123_format(handle.get(), rate, channels, MPG123_ENC_SIGNED_16);
    return handle;
}

// True when the file's Xing or Info tag states its length. LAME's part of the tag shows as an
// encoder delay; a bare tag only in libmpg123's count of MPEG frames, which a handle that
// ignores stated lengths estimates from the file's size instead (and counts the tag's frame).
bool StatesLength(mpg123_handle *handle, const char *file) {
    long delay = -1;
    double ignored = 0;
    mpg123_getstate(handle, MPG123_ENC_DELAY, &delay, &ignored);
    if (delay >= 0)
        return true;
    knplugin::PcmFormat format;
    int error = 0;
    Handle blind = OpenHandle(file, format, error, MPG123_IGNORE_STREAMLENGTH);
    return blind && mpg123_framelength(blind.get()) != mpg123_framelength(handle);
}

// The length in frames: as the tag states it, so that a cut file decodes short of it; without
// a tag, counted through the file.
uint64_t LengthFrames(mpg123_handle *handle, bool stated) {
    if (!stated)
        mpg123_scan(handle);
    off_t length = mpg123_length(handle);
    return length > 0 ? static_cast<uint64_t>(length) : 0;
}

std::unique_ptr<knplugin::DecoderStream> OpenMp3(const char *file, int &error) {
    knplugin::PcmFormat format;
    Handle handle = OpenHandle(file, format, error);
    if (!handle)
        return nullptr;
    bool stated = StatesLength(handle.get(), file);
    uint64_t frames = LengthFrames(handle.get(), stated);
    error = 0;
    return std::make_unique<Mp3Stream>(std::move(handle), format, frames, stated);
}

char description[] = "mp3 - MPEG audio reader (layers 1, 2 and 3)";
char extensions[] = "MP3;MP2;MP1\0MPEG audio\0";
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: MPEG audio is decoded to 16 bits", OpenMp3};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
