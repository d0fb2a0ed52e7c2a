// The output writer: an output module whose Open, Write and Close hand the decoded PCM to the
// loaded encoder in blocks of the encoder's block size.
#pragma once

#include "kernova/winamp.h"

Out_Module *GetEncoderOutModule();
void MDC_InitModOutValues();
int MDC_Out_Open(int sampleRate, int channels, int bitsPerSample, int bufferLengthMs,
                 int preBufferMs);
int MDC_Out_Write(char *buffer, int length);
void MDC_Out_Close();

// Gives the converter state's output name the encoder's extension when it has none, unless
// it names a device or a pipe.
void CompleteOutputName();
// True once the writer has reported a failed output since the last GetEncoderOutModule: the
// encoder refused to open or encode, or said after closing that the file is incomplete.
bool WriterOutputFailed();
