/*
 * Kernova's own decoders: a library exports `QZconvInputModAddr`, returning an In_Module
 * (see winamp.h), and optionally `QZconvInputModAddrEx`, returning the extension table
 * below. The core looks up the extension table only when the library has no
 * `winampGetInModule2` export. A decoder may also export `QZconvInputErrorText`, the detail of
 * its last error code ("found 52920 of 441000 samples"), or null when it has none.
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
typedef const char *(*QZconvInputErrorTextFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
