// The converter state: the one process-wide record of the running convert, play, listing or
// test job, written on the command thread and read by the decoder's thread.
#pragma once

#include <cstdint>

#include "kernova/winamp.h"

struct ConverterState {
    // Copies of the host's callbacks, taken when a job starts; null before the first job.
    void (*onLength)(int seconds);
    void (*onPosition)(int seconds);
    void (*onError)(int code, intptr_t argument);
    void (*onMessage)(int code, intptr_t argument);
    // The loaded encoder's extension, or null when no encoder is loaded.
    const char *(*encoderExtensionGetter)();
    // The texts are text variables owned here and released by DeInitConvertor.
    char *inputName;
    char *outputName;
    // The temporary file the encoder writes in the output's folder; null while none is chosen
    // and when the output is a device or pipe that the encoder writes directly.
    char *partialName;
    char *encoderModuleName;
    char *encoderParams;
    unsigned cpuPriority; // 0 to 5
    int encoderOption;
    int fixFreq; // the -FIXFREQ rule, 0 to 3
    char *decoderParams;
    char *decoderName;
    int previewSeconds; // 0: the whole file
    HWND shadowWindow;
    // The encoder's parameter block: made and released by the encoder, not by a new job.
    void *encoderParamBlock;
};

extern ConverterState converterState;

// Copies the four host callbacks into the converter state.
void TakeCallbackCopies();
