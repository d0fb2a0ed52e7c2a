/*
 * Kernova's own decoders. A library in plugins/in exports `QZconvInputModAddr`, returning an
 * In_Module (see winamp.h), and optionally `QZconvInputModAddrEx`, returning the extension
 * table below, and `QZconvInputErrorText`, wording its last error. The core looks up all
 * three only when the library has no `winampGetInModule2` export; it calls
 * QZconvInputModAddrEx once right after loading and QZconvInputModAddr right after it.
 * Both tables belong to the plug-in and must stay valid, at the same address, while the
 * library is loaded.
 *
 * Version window: the core accepts an In_Module whose version is at least 0x100 and whose
 * UsesOutputPlug is nonzero. A version of exactly IN_MODULE_VERSION_WITH_ERROR_CODE (0x1000)
 * marks a decoder of this kind: its IsPaused slot is then called as GetLastErrorCode.
 *
 * Mandatory slots of the In_Module, for every decoder: Play and Stop. The core refuses a table
 * that leaves one of them null, as it refuses a library without an entry, an entry that
 * returns null or a version outside the window (the file is skipped as no decoder; -DEBUG
 * prints the file and the empty slots). Init, Quit, GetFileInfo, GetLength, GetOutputTime,
 * IsPaused and every slot of InputModuleEx may be null and are then not called.
 *
 * Threads:
 *   - the command thread (the one in DoCommand_DLL): the entries, Init, Quit, GetFileInfo,
 *     Play, GetOutputTime (for the progress), GetLastErrorCode, QZconvInputErrorText and the
 *     InputModuleEx slots;
 *   - the decoder's own thread, started by Play: it calls outMod->Open, Write, CanWrite and
 *     IsPlaying, the core's GetLength runs within outMod->Open, and it posts WM_WA_MPEG_EOF to
 *     hMainWindow when the stream ends;
 *   - the core's stop thread: Stop, which must end the decoder's thread before it calls
 *     outMod->Close and returns.
 * The core copies the In_Module when a job starts; a decoder must not change its function
 * slots while it is loaded.
 *
 * Units: GetLength, GetOutputTime and GetFileInfo's *length_in_ms are milliseconds; outMod->Open
 * takes the rate in Hz, the channel count and the bits per sample (8, 16, 24 or 32), and Write
 * takes a length in bytes of whole frames of interleaved PCM as winamp.h describes.
 *
 * Results: Play returns 0 when the decode started, else nonzero; GetLastErrorCode then (and
 * after a decode that ended badly) gives the message code that the core reports for the input,
 * 0 for none.
 */
#ifndef KERNOVA_DECODER_H
#define KERNOVA_DECODER_H

#include "kernova/winamp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Input module extension table: pointer-sized slots, written by the plug-in; all on the
 * command thread, each optional. */
typedef struct InputModuleEx {
    void *reserved0;                              /* 0: not used by the core */
    int (*SetParamString)(const char *text);      /* 1: -DECPARAM text; nonzero = accepted */
    void (*SetDefaultParams)(void);               /* 2: called after a refused text */
    void (*GetParamDescription)(char *buffer256); /* 3: the accepted parameters; 256 bytes */
} InputModuleEx;

/* `QZconvInputModAddr`: mandatory for a decoder without `winampGetInModule2`. */
typedef In_Module *(*QZconvInputModAddrFunc)(void);
/* `QZconvInputModAddrEx`: optional; null when the decoder takes no -DECPARAM text. */
typedef InputModuleEx *(*QZconvInputModAddrExFunc)(void);

/* `QZconvInputErrorText` (optional): the detail of the error that GetLastErrorCode reports,
 * e.g. "0.57 s of 3.00 s (the header promises 132300 frames, 25136 found)"; "" when the code
 * says it all; null when there is no error. The core sends the code with "<input>: <detail>"
 * (or "<input>" for ""), so that the user learns which file failed and how. The text is the
 * plug-in's and stays valid until the decoder's next GetFileInfo or Play. */
typedef const char *(*QZconvInputErrorTextFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
