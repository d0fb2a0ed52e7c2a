/*
 * Kernova's own decoders: a library exports `QZconvInputModAddr`, returning an In_Module
 * (see winamp.h), and optionally `QZconvInputModAddrEx`, returning the extension table
 * below, and `QZconvInputErrorText`, wording its last error. The core looks up both only
 * when the library has no `winampGetInModule2` export.
 *
 * Mandatory slots of the In_Module, for every decoder: Play and Stop. The core refuses a table
 * that leaves one of them empty, as it refuses a library without an entry (-DEBUG names the
 * file and the slots); Init, Quit, GetFileInfo, GetLength and GetOutputTime may be null.
 */
#ifndef KERNOVA_DECODER_H
#define KERNOVA_DECODER_H

#include "kernova/winamp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Input module extension table: pointer-sized slots, written by the plug-in. */
typedef struct InputModuleEx {
    void *reserved0;                              /* 0: not used by the core */
    int (*SetParamString)(const char *text);      /* 1: -DECPARAM text; nonzero = accepted */
    void (*SetDefaultParams)(void);               /* 2: called after a refused text; optional */
    void (*GetParamDescription)(char *buffer256); /* 3: describes the accepted parameters */
} InputModuleEx;

typedef In_Module *(*QZconvInputModAddrFunc)(void);
typedef InputModuleEx *(*QZconvInputModAddrExFunc)(void);

/* `QZconvInputErrorText` (optional): the detail of the error that GetLastErrorCode reports,
 * e.g. "0.57 s of 3.00 s (the header promises 132300 frames, 25136 found)"; "" when the code
 * says it all; null when there is no error. The core sends the code with "<input>: <detail>"
 * (or "<input>" for ""), so that the user learns which file failed and how. The text stays
 * valid until the decoder's next GetFileInfo or Play. */
typedef const char *(*QZconvInputErrorTextFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
