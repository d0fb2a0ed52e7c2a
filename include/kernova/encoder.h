/*
 * Encoder plug-ins: a library in plugins/out exports `RegisterCompressModule`, returning the
 * encoder table below (38 pointer-sized slots; slot N lies at N * sizeof(void *)).
 *
 * Order of calls in a conversion (all on the command thread):
 *   Init; SetOption(0); StringToParams or GetDefaultParams; Open(output, params, format,
 *   &wantStandard); GetBlockSize; Encode(block)... ; EncodeLast(rest, bytes); Close;
 *   NeedsMorePasses (nonzero: the input is decoded and encoded again); FreeParams; Quit.
 * Encode receives exactly GetBlockSize() bytes of interleaved PCM in the format that Open
 * left in *format. Open may change *format, or set *wantStandard to 1 to ask for
 * 44100 Hz, 16-bit, 2-channel PCM. Open returns 0 on success, else a message code.
 * The encoder may call FixFreqCallback(sourceRate, wantedRate) from Open when it would
 * change the input's sample rate; the core may then call SetParamValue(params, 1, rate).
 * A params handle is created by StringToParams/GetDefaultParams/GetGuiParams and released
 * by FreeParams.
 *
 * Open receives a temporary name in the output folder, with the output's extension; the core
 * puts the file in the output's place once the whole job has succeeded, and removes it
 * otherwise. An encoder writes only that file. An output that names no regular file (a device
 * such as /dev/null, a pipe) is handed to Open as it is.
 *
 * Mandatory slots: Open, GetBlockSize, Encode and Close. The core refuses a table that leaves
 * one of them empty, as it refuses a library without the entry (-DEBUG names the file and the
 * slots); every other function slot may be null and is then not called.
 *
 * Why an output failed (table version 17 on; GetLastErrorCode may be null): after a failed
 * Open, a failed Encode and after every Close the core asks GetLastErrorCode. It answers 0
 * while the output is sound, else a message code: a write error code (22 to 29, see
 * KernovaWriteErrorCode in message_codes.h) when the system refused a create, write, seek or
 * close, or 9 when the output is incomplete for another reason. The core sends that code with
 * the output name before its own (21 or Open's result, or 9); a non-zero answer after Close
 * fails the job.
 */
#ifndef KERNOVA_ENCODER_H
#define KERNOVA_ENCODER_H

#include "kernova/winamp.h"
#include <stdint.h>

#include "kernova/export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ENCODER_TABLE_MIN_VERSION 16
#define ENCODER_TABLE_ERROR_CODE_VERSION 17 /* slot 31 GetLastErrorCode is valid */
#define ENCODER_PARAM_SAMPLE_RATE 1
#define ENCODER_PARAM_BUFFER_SIZE 1024

typedef struct EncoderTable {
    intptr_t version;                 /* 0: at least 16 */
    const char *description;          /* 1: "name - what it is" */
    const char *extension;            /* 2: output file extension, no dot, as given */
    const char *extensionDescription; /* 3 */
    uintptr_t moduleId;               /* 4: compared by LoadPlugIn_GUI */
    void *unused5;
    void *unused6;
    HINSTANCE hInstance;             /* 7: written by the core: the library handle */
    int *pPriority;                  /* 8: the core stores the job's CPU priority 0..5 here */
    void (*Init)(void);              /* 9 */
    void (*Quit)(void);              /* 10 */
    void (*GuiInit)(intptr_t value); /* 11 */
    void (*SetGuiParams)(intptr_t target, void *params);  /* 12 */
    void (*GetGuiParams)(intptr_t source, void **params); /* 13 */
    void (*GuiNotify)(intptr_t a, intptr_t b);            /* 14 */
    int (*ShowAdvancedSettings)(intptr_t value);          /* 15 */
    void *unused16;
    void *unused17;
    void (*GetDefaultParams)(void **params); /* 18 */
    void *unused19;
    void *unused20;
    void (*FreeParams)(void **params);                   /* 21 */
    void (*GetShortDesc)(void *params, char **buffer);   /* 22 */
    void (*ParamsToString)(void *params, char **buffer); /* 23: *buffer holds 1024 zeroed bytes */
    int (*StringToParams)(const char *text, void **params, int *showParams); /* 24: nonzero = ok */
    int (*Open)(const char *outputName, void *params, WAVEFORMATEX *format,
                int *wantStandard);                    /* 25 */
    int (*GetBlockSize)(void);                         /* 26: bytes per Encode call */
    int (*Encode)(const void *block);                  /* 27: 0 = success */
    void (*EncodeLast)(const void *buffer, int bytes); /* 28: the last, partial block */
    void (*Close)(void);                               /* 29 */
    const char *(*GetHelpText)(void);                  /* 30 */
    int (*GetLastErrorCode)(void);                     /* 31: version 17 on; see above */
    void *unused32;
    int (*GetTestParams)(const char ***pair,
                         int index); /* 33: 1 = set exists; pair[0] params, pair[1] file */
    void (*SetOption)(int option);   /* 34 */
    void (*FixFreqCallback)(int sourceRate, int wantedRate);   /* 35: written by the core */
    void (*SetParamValue)(void *params, int which, int value); /* 36: which 1 = sample rate */
    int (*NeedsMorePasses)(void);                              /* 37: nonzero = decode once more */
} EncoderTable;

typedef EncoderTable *(*RegisterCompressModuleFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
