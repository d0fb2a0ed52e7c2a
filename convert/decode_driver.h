// The host side of the decoder protocol: a relay output module between the decoder and the
// real target (the encoder writer or a playback output), the message pump of the command
// thread, progress reports, the -PREVIEW limit and stops.
#pragma once

#include "kernova/message_codes.h"
#include "kernova/winamp.h"

// The results of DecodeFile besides 0 and KN_RESULT_STOPPED (94).
constexpr int kDecodePlayFailed = 7;
constexpr int kDecodeTargetOpenFailed = 8;
constexpr int kDecodeTargetWriteFailed = 96;
// A decoder that kept its output open after Stop returned fails the job outright: the result
// is the job's own failure code, which the convert job would make of any failure anyway.
constexpr int kDecodeCloseTimeout = KN_RESULT_FAILED;
// How long the pump waits for a decoder to close its output after its Stop returned.
constexpr int kCloseWaitMs = 5000;

void AttachOutput(In_Module *inModule, Out_Module *target);
// 0 when decoded to the end or to the preview limit; 94 when stopped on request; one of the
// kDecode... results above when the decoder or the target failed; a native decoder's own code
// when Play failed or the stream was damaged.
int DecodeFile(const char *fileName, int volume, int previewSeconds);
// True when the last decode played to its end but the native decoder reported damage.
bool DecodeEndedDamaged();
void RequestStop();
void StartStopThread();

// True when the last decode ended because it reached its preview limit.
bool DecodeReachedPreview();

// A stop request that arrives while no decode runs (before the first pass, between passes)
// is kept here until the job ends, so that it is never lost.
void ClearAbortRequest();
bool IsAbortRequested();
