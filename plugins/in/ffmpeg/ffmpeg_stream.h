// A decoder stream on FFmpeg's libraries: libavformat finds the audio stream of any container it
// knows, libavcodec decodes it, libswresample only changes the sample format. Used by the ffmpeg
// decoder and by the wave decoder for the WAV encodings that it does not read itself.
//
// Output depth: integer sources keep theirs (8, 16, 24, 32; 12 bits as 16, 20 as 24, 64 as
// 32), sample for sample as FFmpeg decodes them; float sources of lossless formats become 32-bit
// integers, clipped at full scale; lossy codecs give 16 bits, DSD 24. Channels stay in FFmpeg's
// order, which is the WAV order. FFmpeg prints nothing: its log is switched off.
#ifndef KERNOVA_PLUGINS_FFMPEG_STREAM_H
#define KERNOVA_PLUGINS_FFMPEG_STREAM_H

#include <memory>

#include "decoder_shell.h"

namespace knplugin {

// Null with `error` set to a message code when FFmpeg finds no audio it can decode.
std::unique_ptr<DecoderStream> OpenFfmpegStream(const char *file, int &error);

} // namespace knplugin

#endif
