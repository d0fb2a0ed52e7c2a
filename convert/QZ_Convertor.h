// Module choice for a file and the converter state of the running job.
#pragma once

#include <cstdint>

#include "kernova/winamp.h"
#include "modules/QZ_ExtList.h"

struct ConverterState {
    void (*onLength)(int);
    void (*onPosition)(int);
    void (*onError)(int, intptr_t);
    void (*onMessage)(int, intptr_t);
    const char *(*encoderExtensionGetter)();
    char *inputName;
    char *outputName;
    // The temporary file the encoder writes in the output's folder; null while none is chosen
    // and when the output is a device or pipe that the encoder writes directly.
    char *partialName;
    char *encoderModuleName;
    char *encoderParams;
    unsigned cpuPriority;
    int encoderOption;
    int fixFreq;
    char *decoderParams;
    char *decoderName;
    int previewSeconds;
    HWND shadowWindow;
    void *encoderParamBlock;
};

extern ConverterState converterState;

int IsInModExt(const char *extension, uint8_t moduleIndex, const ModuleList *list);
char *GetInModuleForFile(const char *fileName, uint8_t firstPosition);
char *GetOutModuleForFile(const char *fileName);
int GetTestString(const char **first, const char **second, int index);

// Copies the four host callbacks into the converter state.
void TakeCallbackCopies();
int InitConvertor();
void DeInitConvertor();
