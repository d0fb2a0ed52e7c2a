/*
 * The encoder table that every Kernova encoder plug-in answers with, filled from a description
 * of the encoder: its names, its parameter grammar and defaults, its help and test sets, and
 * the function that opens an output. The slots that all encoders answer alike (parameters,
 * blocks of PCM, closing, test sets) live here; an encoder supplies only what is its own.
 *
 * One output is open at a time. Encode runs on the decoder's thread and Close on the core's
 * stop thread, one after the other, so the open output needs no lock.
 */
#ifndef KERNOVA_PLUGIN_ENCODER_TABLE_H
#define KERNOVA_PLUGIN_ENCODER_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "encoder_output.h"
#include "encoder_params.h"
#include "format_stage.h"
#include "kernova/encoder.h"

namespace knplugin {

// PCM frames per Encode call: small blocks stream through the codec without holding the file.
constexpr size_t kBlockFrames = 4096;

// One open output: made by the encoder's start function, fed by Encode and EncodeLast,
// finished by Close.
class EncoderSession {
  public:
    virtual ~EncoderSession() = default;
    // Encodes whole frames of the PCM that Open accepted; false once the output failed.
    virtual bool Feed(const uint8_t *pcm, size_t frames) = 0;
    // Flushes the codec and completes the file's headers; false when the file is not complete.
    virtual bool Finish() = 0;

    OutputFile file;
};

struct EncoderTraits {
    const char *description; // "<name> - <what it is>"
    const char *extension;   // lower case, no dot
    const char *extensionDescription;
    uintptr_t moduleId;
    ParamGrammar grammar;
    // The keys of the output's rate (also the one that SetParamValue(params, 1, rate) sets),
    // depth and channel count; -1 for a key that the encoder does not have. Without a depth
    // key the encoder takes the input's depth, or 32 bits when the stage converts the PCM.
    int rateKey;
    int bitsKey;
    int channelsKey;
    int maxChannels;      // of the output; more input channels are down-mixed to this many
    int refusedInputCode; // Open's answer for PCM that the encoder cannot take
    const char *helpText;
    const char *(*tests)[2]; // parameter text and output file name of each test set
    int testCount;
    // Completes parsed values with the defaults that follow from them; false refuses the text.
    bool (*settle)(ParamValues &values);
    // A short description of the settings, at most 63 characters.
    std::string (*describe)(const ParamValues &values);
    // The shape to write for these parameters and this input; null: ShapeFromKeys.
    PcmShape (*outputShape)(const EncoderTraits &traits, const ParamValues &values,
                            const PcmShape &input);
    // Opens the output for PCM in `format`, the output shape after the format stage: creates
    // session->file and starts the codec.
    // Returns 0 or a message code. A session that goes while its file is open removes the
    // file, so a failed start leaves nothing behind.
    int (*start)(const char *outputName, ParamValues &params, const WAVEFORMATEX &format,
                 std::unique_ptr<EncoderSession> &session);
};

// The shape that the rate, depth and channel keys ask for, each the input's where its key holds
// no value (the channels at most maxChannels), the depth 0 where the encoder has no depth key.
PcmShape ShapeFromKeys(const EncoderTraits &traits, const ParamValues &values,
                       const PcmShape &input);

// The shape of a lossless encoder whose files keep to the depths that players commonly decode:
// ShapeFromKeys, and where the depth key holds no value 16 bits for input of up to 16 bits
// (8 bits widen without loss), else 24 (32 bits narrow to the widest common depth).
PcmShape CommonDepthShape(const EncoderTraits &traits, const ParamValues &values,
                          const PcmShape &input);

// Fills this plug-in's encoder table from `traits` (kept by reference); RegisterCompressModule
// returns the result.
EncoderTable *RegisterEncoder(const EncoderTraits &traits);

// Asks the core's -FIXFREQ handler about an output rate other than the input's; the handler
// may change the rate in the params that the core holds, through SetParamValue.
void AskFixFreq(int sourceRate, int wantedRate);

} // namespace knplugin

// Defines the encoder library's entry point, which answers the table filled from `traits`.
#define KN_ENCODER_ENTRY_POINT(traits)                                                             \
    KERNOVA_EXPORT EncoderTable *RegisterCompressModule() {                                        \
        return knplugin::RegisterEncoder(traits);                                                  \
    }

#endif
