// ffmpeg: Kernova's decoder for the formats that have no decoder of their own here, on FFmpeg's
// libraries (see ffmpeg_stream.h for the PCM it gives). Lossless sources come out sample for
// sample as FFmpeg decodes them; a damaged stream is decoded around the damage and ends with
// KN_ERR_DECODER_DAMAGED, a cut one up to its end and ends with KN_ERR_DECODER_TRUNCATED, whose
// detail QZconvInputErrorText gives.
#include "decoder_shell.h"
#include "ffmpeg_stream.h"
#include "kernova/decoder.h"

namespace {

char description[] = "ffmpeg - MP4/M4A, WMA, APE, WavPack, Musepack, TTA, AC-3, DTS, Matroska, "
                     "DSD and Ogg reader (FFmpeg)";
// Each extension has one decoder: these are the ones that no other decoder here claims, and
// Ogg, which FFmpeg decodes faster than the vorbis and opus decoders (bench/bench_formats.sh).
char extensions[] = "M4A;M4B;MP4\0MPEG-4 audio (AAC, ALAC)\0AAC\0AAC (ADTS) files\0"
                    "WMA;ASF\0Windows Media Audio files\0APE\0Monkey's Audio files\0"
                    "WV\0WavPack files\0MPC;MPP;MP+\0Musepack files\0TTA\0True Audio files\0"
                    "AC3;EC3;EAC3\0Dolby Digital files\0DTS\0DTS files\0"
                    "MKA;MKV;WEBM\0Matroska and WebM audio\0DSF;DFF\0DSD files\0"
                    "OGG;OGA\0Ogg Vorbis\0OPUS\0Ogg Opus\0";
const knplugin::DecoderDefinition definition = {
    description, extensions,
    "no parameters: integers keep their depth, float becomes 32-bit, lossy 16-bit",
    knplugin::OpenFfmpegStream};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
