/*
 * Encoder plug-ins. A library in plugins/out exports `RegisterCompressModule`, which returns the
 * encoder table below: 38 pointer-sized slots, slot N at N * sizeof(void *). The table belongs
 * to the plug-in and must stay valid, at the same address, while the library is loaded. The
 * core calls the entry once after each load and unloads the library after the job, the
 * encoder listing or the help text that loaded it, or at a graphical host's
 * UnloadCurrentPlugIn_GUI.
 *
 * Version window: the core accepts a table whose `version` is at least
 * ENCODER_TABLE_MIN_VERSION (16); there is no upper bound. From
 * ENCODER_TABLE_ERROR_CODE_VERSION (17) on, slot 31 GetLastErrorCode is read; below it the
 * slot is ignored.
 *
 * Mandatory slots: Open, GetBlockSize, Encode and Close. The core refuses a table that leaves
 * one of them null, as it refuses a library without the entry, an entry that returns null or a
 * version below 16 (KN_ERR_ENCODER_INVALID names the encoder; -DEBUG also prints the file and
 * the empty slots). Every other function slot may be null and is then not called; a job whose
 * encoder has no StringToParams refuses any -ENCPARAM text (KN_ERR_ENCODER_PARAMS).
 *
 * Who writes what: the core writes hInstance (7) and FixFreqCallback (35) after loading,
 * before any other call, and the int that pPriority (8) points to before each conversion. The
 * plug-in fills every other slot; the core never changes them.
 *
 * Threads. The core makes one call at a time, never two at once, though not all on one thread:
 *   - the command thread (the one in DoCommand_DLL). In a conversion: SetOption, Init,
 *     StringToParams (with -ENCPARAM) or GetDefaultParams, ParamsToString (when StringToParams
 *     asked to show the parameters), NeedsMorePasses after each pass, FreeParams and Quit.
 *     Elsewhere: Init and Quit (the encoder listing), GetHelpText and Quit (-HELP),
 *     GetTestParams (test runs).
 *   - the decoder's thread, which writes the decoded PCM: Open (FixFreqCallback and the core's
 *     SetParamValue run within it), GetBlockSize, Encode, GetLastErrorCode after a failed Open
 *     or Encode, and Close when the core cannot convert to the format that Open left.
 *   - the core's stop thread, once the decoder's thread has ended: EncodeLast, Close and
 *     GetLastErrorCode after Close.
 *   - the graphical host's thread that calls the _GUI exports (see kernova/gui.h): Init,
 *     StringToParams, GetGuiParams, SetGuiParams, ParamsToString, GetShortDesc, FreeParams,
 *     ShowAdvancedSettings, GuiNotify, GuiInit and Quit.
 * Each thread makes its first call after the previous one's last, so an encoder needs no lock
 * for its open output. Quit may come without Init, and twice after one Init.
 *
 * Order of calls in a conversion: SetOption(0); Init; StringToParams or GetDefaultParams;
 * Open(output, params, format, &wantStandard); GetBlockSize; Encode(block)...;
 * EncodeLast(rest, bytes) when a partial block remains; Close; NeedsMorePasses (nonzero: the
 * input is decoded and encoded again, from Open on); FreeParams; Quit.
 *
 * Units. Encode receives exactly GetBlockSize() bytes (not frames) of interleaved
 * little-endian integer PCM in the format that Open left in *format (signed; 8-bit is
 * unsigned); EncodeLast receives `bytes` bytes, fewer than a block. Rates are in Hz.
 * Open may change *format, or set *wantStandard to 1 to ask for 44100 Hz, 16-bit, 2-channel
 * PCM; the core converts the decoded PCM to that format or, when it cannot, fails the job
 * (KN_ERR_FORMAT_REFUSED) and calls Close. A GetBlockSize answer of 0 or less fails the job.
 * The encoder may call FixFreqCallback(sourceRate, wantedRate) from Open when it would change
 * the input's sample rate; before that returns, the core may call
 * SetParamValue(params, ENCODER_PARAM_SAMPLE_RATE, rate).
 *
 * Results. Open returns 0 on success, else a message code that the core reports with the
 * output's name. Encode returns 0 on success; anything else fails the job (KN_ERR_ENCODE).
 * StringToParams returns nonzero when it accepts the text; it sets *showParams to 1 to have
 * the core print the parameters.
 *
 * Ownership. Texts that the core passes (the output name, parameter texts) are the core's and
 * valid during the call only. A params handle belongs to the plug-in: StringToParams,
 * GetDefaultParams and GetGuiParams create one in *params, and the core hands each to
 * FreeParams once. ParamsToString writes into the core's buffer at *buffer,
 * ENCODER_PARAM_BUFFER_SIZE zeroed bytes whose last one stays 0; GetShortDesc into the
 * graphical host's, at most 63 characters and the terminator. The texts of slots 1 to 3,
 * GetHelpText's text and GetTestParams' pairs are the plug-in's and stay valid while it is
 * loaded; the core copies what it keeps.
 *
 * Output files. Open receives a temporary name in the output folder, with the output's
 * extension; the core puts the file in the output's place once the whole job has succeeded,
 * and removes it otherwise. An encoder writes only that file. An output that names no regular
 * file (a device such as /dev/null, a pipe) is handed to Open as it is.
 *
 * Why an output failed (GetLastErrorCode): after a failed Open, a failed Encode and after
 * every Close the core asks GetLastErrorCode. It answers 0 while the output is sound, else a
 * message code: a write error code (22 to 29, see KernovaWriteErrorCode in message_codes.h)
 * when the system refused a create, write, seek or close, or 9 when the output is incomplete
 * for another reason. The core sends that code with the output name before its own (21 or
 * Open's result, or 9); a non-zero answer after Close fails the job.
 */
#ifndef KERNOVA_ENCODER_H
#define KERNOVA_ENCODER_H

#include "kernova/winamp.h"
#include <stdint.h>

#include "kernova/export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ENCODER_TABLE_MIN_VERSION 16        /* the oldest table the core accepts */
#define ENCODER_TABLE_ERROR_CODE_VERSION 17 /* slot 31 GetLastErrorCode is valid */
#define ENCODER_PARAM_SAMPLE_RATE 1         /* SetParamValue's `which`: the rate in Hz */
#define ENCODER_PARAM_BUFFER_SIZE 1024      /* bytes of ParamsToString's buffer */

/* Each slot's comment: its number, then who writes it where the core does. */
typedef struct EncoderTable {
    intptr_t version;                 /* 0: at least ENCODER_TABLE_MIN_VERSION */
    const char *description;          /* 1: "name - what it is", as the encoder list shows it */
    const char *extension;            /* 2: output file extension, no dot, as given */
    const char *extensionDescription; /* 3: "Wave files" */
    uintptr_t moduleId;               /* 4: compared by LoadPlugIn_GUI */
    void *unused5;
    void *unused6;
    HINSTANCE hInstance; /* 7: written by the core: the library handle */
    int *pPriority;      /* 8: null, or where the core stores the job's CPU priority 0..5 */
    void (*Init)(void);  /* 9 */
    void (*Quit)(void);  /* 10 */
    void (*GuiInit)(intptr_t value);                      /* 11 */
    void (*SetGuiParams)(intptr_t target, void *params);  /* 12 */
    void (*GetGuiParams)(intptr_t source, void **params); /* 13: creates a params handle */
    void (*GuiNotify)(intptr_t a, intptr_t b);            /* 14 */
    int (*ShowAdvancedSettings)(intptr_t value);          /* 15 */
    void *unused16;
    void *unused17;
    void (*GetDefaultParams)(void **params); /* 18: creates a params handle */
    void *unused19;
    void *unused20;
    void (*FreeParams)(void **params);                   /* 21: releases a params handle */
    void (*GetShortDesc)(void *params, char **buffer);   /* 22: at most 63 characters */
    void (*ParamsToString)(void *params, char **buffer); /* 23: *buffer holds 1024 zeroed bytes */
    int (*StringToParams)(const char *text, void **params, int *showParams); /* 24: nonzero = ok */
    int (*Open)(const char *outputName, void *params, WAVEFORMATEX *format,
                int *wantStandard);                    /* 25: 0 or a message code */
    int (*GetBlockSize)(void);                         /* 26: bytes per Encode call */
    int (*Encode)(const void *block);                  /* 27: 0 = success */
    void (*EncodeLast)(const void *buffer, int bytes); /* 28: the last, partial block */
    void (*Close)(void);                               /* 29 */
    const char *(*GetHelpText)(void);                  /* 30: the encoder's -HELP text */
    int (*GetLastErrorCode)(void);                     /* 31: version 17 on; see above */
    void *unused32;
    int (*GetTestParams)(const char ***pair,
                         int index); /* 33: 1 = set exists; pair[0] params, pair[1] file */
    void (*SetOption)(int option);   /* 34: the job's encoder option; 0 today */
    void (*FixFreqCallback)(int sourceRate, int wantedRate);   /* 35: written by the core; Hz */
    void (*SetParamValue)(void *params, int which, int value); /* 36: which 1 = rate in Hz */
    int (*NeedsMorePasses)(void);                              /* 37: nonzero = decode once more */
} EncoderTable;

/* `RegisterCompressModule`, on the thread that loads the library, once after each load. */
typedef EncoderTable *(*RegisterCompressModuleFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
