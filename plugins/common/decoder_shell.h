/*
 * The decoder shell: what every decoder plug-in of Kernova shares. A decoder describes itself
 * with a DecoderDefinition whose `open` turns a file into a DecoderStream; the shell answers
 * the In_Module and InputModuleEx tables for it (version 0x1000, GetLastErrorCode in the
 * IsPaused slot) and the error text, runs the decoding thread that pushes the stream's PCM into
 * outMod, posts WM_WA_MPEG_EOF at the end and stops on request.
 *
 * Threads: `open`, Format and LengthFrames run on the core's command thread (GetFileInfo,
 * Play); Read, EndCode and the destructor run on the decoding thread once Play has started it.
 * A stream is never used by two threads at a time.
 *
 * Output pieces: the shell writes only when CanWrite lets it write a whole piece, in pieces of
 * at most what CanWrite allows and never of 4 bytes or fewer (the core's writer ignores such
 * writes); it polls every millisecond while the output has no room, and not otherwise. An
 * output whose CanWrite never reaches twice the smallest piece (2 x 5 to 8 bytes) may be
 * waited for until Stop.
 */
#ifndef KERNOVA_PLUGINS_DECODER_SHELL_H
#define KERNOVA_PLUGINS_DECODER_SHELL_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "kernova/decoder.h"

namespace knplugin {

// The PCM a stream delivers: interleaved little-endian integers, 8-bit unsigned, 16/24/32-bit
// signed. The shell refuses a stream whose format the output modules cannot take.
struct PcmFormat {
    uint32_t rate = 0;     // frames per second, 1 to INT_MAX
    uint16_t channels = 0; // 1 to kMaxChannels
    uint16_t bits = 0;     // 8, 16, 24 or 32

    uint32_t FrameBytes() const { return channels * (bits / 8u); }
};

constexpr uint16_t kMaxChannels = 8;

// One opened input file; the destructor closes it.
class DecoderStream {
  public:
    virtual ~DecoderStream() = default;
    // Fixed for the life of the stream.
    virtual PcmFormat Format() const = 0;
    // Frames the stream holds, as far as the file tells before decoding; 0 for none.
    virtual uint64_t LengthFrames() const = 0;
    // Decodes up to `frames` frames into `buffer` (room for frames x FrameBytes bytes) and
    // returns how many it decoded; 0 only once the stream has ended.
    virtual size_t Read(char *buffer, size_t frames) = 0;
    // After the end: 0 for a clean end, else the message code of the damage that the decoder
    // stepped over or that ended the stream early (a cut file keeps what it holds).
    virtual int EndCode() const = 0;
    // Frames that the file's header states it holds (a data chunk's size, FLAC's total
    // samples, an MP3 Info tag); 0 when it states none. A stream that ends short of them was
    // cut, and the shell reports KN_ERR_DECODER_TRUNCATED.
    virtual uint64_t StatedFrames() const { return 0; }
    // True when the file lacks the part that marks the stream's end (an Ogg stream without its
    // last page): cut, though no length was stated.
    virtual bool LacksEnd() const { return false; }
};

// Opens a file that could be opened for reading; null with `error` set to a message code when
// it does not hold a stream of the decoder's format (KN_ERR_DECODER_TRUNCATED: it was cut before
// its first sound).
using OpenStreamFunc = std::unique_ptr<DecoderStream> (*)(const char *file, int &error);

struct DecoderDefinition {
    char *description;            // "<name> - ...": the plug-in's file name comes first
    char *extensions;             // "EXT;EXT\0description\0" pairs closed by an empty text
    const char *paramDescription; // what -DECPARAM accepts, under 256 bytes
    OpenStreamFunc open;
};

// The decoder table, filled from `definition` (kept by reference: give one with static life).
In_Module *GetDecoderModule(const DecoderDefinition &definition);
// The extension table: -DECPARAM accepts only an empty (or blank) text.
InputModuleEx *GetDecoderModuleEx();
// The detail of the last error for QZconvInputErrorText (see kernova/decoder.h): how much a cut
// file holds against what its header states, "" for the other errors, null for none.
const char *GetErrorText();

// Defines the decoder library's three entry points, which answer the tables filled from
// `definition` and the detail of the last error.
#define KN_DECODER_ENTRY_POINTS(definition)                                                        \
    KERNOVA_EXPORT In_Module *QZconvInputModAddr() {                                               \
        return knplugin::GetDecoderModule(definition);                                             \
    }                                                                                              \
    KERNOVA_EXPORT InputModuleEx *QZconvInputModAddrEx() {                                         \
        return knplugin::GetDecoderModuleEx();                                                     \
    }                                                                                              \
    KERNOVA_EXPORT const char *QZconvInputErrorText() {                                            \
        return knplugin::GetErrorText();                                                           \
    }

// Stores one sample of `Bits` bits (a signed value in that range) in the output layout at `out`:
// 8-bit samples become unsigned, the others little-endian, in one store of a value of their own
// width where the machine is little-endian itself (which also lets loops over them vectorise).
template <uint16_t Bits> inline void PutSample(char *out, int32_t value) {
    auto u = static_cast<uint32_t>(value);
    if constexpr (Bits == 8) {
        *out = static_cast<char>(value + 128);
    } else if constexpr (std::endian::native != std::endian::little) {
        for (int i = 0; i < Bits / 8; i++)
            out[i] = static_cast<char>(u >> (8 * i));
    } else if constexpr (Bits == 16) {
        auto narrow = static_cast<uint16_t>(u);
        std::memcpy(out, &narrow, sizeof narrow);
    } else {
        std::memcpy(out, &u, Bits / 8);
    }
}

// Stores one sample of `bits` bits in the output layout at `out` (see PutSample) and returns the
// position after it.
inline char *StoreSample(char *out, int32_t value, uint16_t bits) {
    // Spelled out per depth: this runs once per sample and a loop over the bytes is slow.
    switch (bits) {
    case 8:
        PutSample<8>(out, value);
        return out + 1;
    case 16:
        PutSample<16>(out, value);
        return out + 2;
    case 24:
        PutSample<24>(out, value);
        return out + 3;
    default:
        PutSample<32>(out, value);
        return out + 4;
    }
}

// Reorders interleaved 16-bit frames from the Vorbis channel order (shared by Ogg Vorbis and
// Opus mapping family 1) to the WAV order that the output modules expect; 1 to 8 channels.
void ReorderVorbisChannels(int16_t *samples, size_t frames, uint16_t channels);

} // namespace knplugin

#endif
