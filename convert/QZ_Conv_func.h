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

// True once the encoder has opened an output file for the current file (since the last
// GetEncoderOutModule), so that a failed conversion can remove what it wrote.
bool WriterOpenedOutput();
// Forgets an output opened for an earlier file; called before each file.
void ForgetOpenedOutput();
