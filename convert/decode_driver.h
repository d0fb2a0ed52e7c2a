// The host side of the decoder protocol: a relay output module between the decoder and the
// real target (the encoder writer or a playback output), the message pump of the command
// thread, progress reports, the -PREVIEW limit and stops.
#pragma once

#include "kernova/winamp.h"

// Result of a decode whose decoder kept its output open after Stop returned.
constexpr int kDecodeCloseTimeout = 95;
// How long the pump waits for a decoder to close its output after its Stop returned.
constexpr int kCloseWaitMs = 5000;

void AttachOutput(In_Module *inModule, Out_Module *target);
int DecodeFile(const char *fileName, int volume, int previewSeconds);
void RequestStop();
void StartStopThread();

// True when the last decode ended because it reached its preview limit.
bool DecodeReachedPreview();

// A stop request that arrives while no decode runs (before the first pass, between passes)
// is kept here until the job ends, so that it is never lost.
void ClearAbortRequest();
bool IsAbortRequested();
