/*
 * The core library's exports and the host callback table. The graphical host's encoder
 * exports are in kernova/gui.h.
 *
 * A host loads libkernova, calls GetKernova_DLL, fills the five callbacks, then calls
 * InitKernova_DLL, any number of DoCommand_DLL, and last DeInitKernova_DLL. Message codes and
 * their arguments are listed in message_codes.h; the texts shown for them are the host's.
 *
 * Threads: every export but AbortCommand_DLL is called from one thread, the host's command
 * thread, one call at a time. AbortCommand_DLL may come from any thread while DoCommand_DLL
 * runs (or before it); it returns at once, and the running command stops after its current
 * job.
 *
 * Results: InitKernova_DLL returns 1 when the tag plug-in loaded and at least one decoder and
 * one encoder were found, else 0 (the callbacks have told why). DoCommand_DLL takes a command
 * line of at most KERNOVA_MAX_COMMAND_LINE characters, owned by the host, and returns 1 on
 * success, 0 on failure (a refused line among them); lastResult holds the last job's result
 * code. GetKernova_DLL returns the core's one table, valid until the library is
 * unloaded.
 */
#ifndef KERNOVA_HOST_H
#define KERNOVA_HOST_H

#include <stdint.h>

#include "kernova/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Callbacks are called on the thread that runs the command, without a null test, so the host
 * fills all five before InitKernova_DLL. The argument is a text owned by the core (valid
 * during the call) or 0. onPosition and onLength take seconds of the input being converted.
 */
typedef struct HostCallbacks {
    void (*onMessage)(int code, intptr_t arg); /* written by the host */
    void (*onError)(int code, intptr_t arg);   /* written by the host */
    void (*onPosition)(int value);             /* written by the host */
    void (*onLength)(int value);               /* written by the host */
    void *reserved1;
    void *reserved2;
    void (*onUnknownKey)(void); /* written by the host */
    void *reserved3;
    int lastResult; /* written by the core: result code of the last job */
    int abortFlag;  /* 1 = stop after the current job; set by AbortCommand_DLL, cleared by the host
                     */
} HostCallbacks;

typedef int (*InitKernova_DLLFunc)(void);
typedef HostCallbacks *(*GetKernova_DLLFunc)(void);
typedef int (*DoCommand_DLLFunc)(const char *commandLine);
typedef void (*AbortCommand_DLLFunc)(void);
typedef void (*DeInitKernova_DLLFunc)(void);

/* Longest command line DoCommand_DLL accepts, in characters. */
#define KERNOVA_MAX_COMMAND_LINE 4095

#ifdef __cplusplus
}
#endif

#endif
