// An output of MPEG-4 audio (.m4a): a libavcodec encoder whose packets libavformat's "ipod"
// muxer writes through the session's OutputFile. The PCM is regrouped into the encoder's frame
// size and handed over as planar samples: float for AAC, 16- or 32-bit integers (top-aligned,
// the encoder keeps the depth it is told) for ALAC. The encoder's priming goes into the file's
// edit list, so that players give the input's length.
#ifndef KERNOVA_PLUGINS_M4A_SESSION_H
#define KERNOVA_PLUGINS_M4A_SESSION_H

#include <cstdint>
#include <memory>

#include "encoder_table.h"
#include "kernova/encoder.h"

namespace knplugin {

struct M4aSettings {
    const char *encoder; // libavcodec's name: "aac", "alac"
    int bits;            // ALAC's sample depth, 16 or 24; 0 for a float encoder
    int64_t bitRate;     // bits per second; 0 leaves the encoder's default
    int quality;         // VBR quality in tenths of FFmpeg's -q:a; 0 for none
    int level;           // compression level; -1 leaves the encoder's default
};

// Creates the file and starts the encoder for PCM in `format`; 0 or a message code.
int StartM4a(const char *outputName, const WAVEFORMATEX &format, const M4aSettings &settings,
             std::unique_ptr<EncoderSession> &session);

} // namespace knplugin

#endif
