// The entry points of the library that holds the code on FFmpeg's libraries.
#include "ffmpeg_library.h"
#include "ffmpeg_stream.h"
#include "kernova/export.h"

using namespace knplugin;

KERNOVA_EXPORT DecoderStream *kn_ffmpeg_open_stream(const char *file, int *error) {
    return OpenFfmpegStream(file, *error).release();
}

KERNOVA_EXPORT int kn_ffmpeg_start_m4a(const char *outputName, const WAVEFORMATEX *format,
                                       const M4aSettings *settings, EncoderSession **session) {
    std::unique_ptr<EncoderSession> started;
    const int result = StartM4a(outputName, *format, *settings, started);
    *session = started.release();
    return result;
}

// The plug-ins call the entry points through these types.
[[maybe_unused]] constexpr OpenStreamEntry kOpenStream = &kn_ffmpeg_open_stream;
[[maybe_unused]] constexpr StartM4aEntry kStartM4a = &kn_ffmpeg_start_m4a;
