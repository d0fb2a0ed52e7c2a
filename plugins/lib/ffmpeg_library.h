// FFmpeg's libraries with their hundred dependencies cost more to load and bind than a whole
// minute of audio costs to decode. No plug-in links them: the code on them lives in one library
// of its own, plugins/lib/kn_ffmpeg, which a plug-in loads the first time it opens a file
// through FFmpeg and which then stays loaded for the process. A conversion that never touches
// FFmpeg never loads it, however many plug-ins that can use it are installed.
#ifndef KERNOVA_PLUGINS_FFMPEG_LIBRARY_H
#define KERNOVA_PLUGINS_FFMPEG_LIBRARY_H

#include "decoder_shell.h"
#include "m4a_session.h"

namespace knplugin {

// The library's name, without folder and suffix, and its two entry points.
constexpr const char *kFfmpegLibrary = "kn_ffmpeg";
constexpr const char *kOpenStreamEntry = "kn_ffmpeg_open_stream";
constexpr const char *kStartM4aEntry = "kn_ffmpeg_start_m4a";

// OpenFfmpegStream and StartM4a across the library's edge: what the caller gets it owns.
using OpenStreamEntry = DecoderStream *(*)(const char *file, int *error);
using StartM4aEntry = int (*)(const char *outputName, const WAVEFORMATEX *format,
                              const M4aSettings *settings, EncoderSession **session);

} // namespace knplugin

#endif
