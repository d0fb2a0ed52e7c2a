/*
 * Winamp plug-in tables: the decoder table In_Module, the output table Out_Module, the PCM
 * format record WAVEFORMATEX and the window handle that plug-ins post to.
 *
 * Every decoder of Kernova, native or Winamp, is driven through In_Module; the playback
 * output plug-in answers Out_Module. Field names and order are those of the public Winamp
 * plug-in interface; on a 32-bit build every field is 4 bytes, on the native 64-bit build
 * the layout is the natural C layout of the same declarations.
 */
#ifndef KERNOVA_WINAMP_H
#define KERNOVA_WINAMP_H

#include <stdint.h>

#include "kernova/export.h"

#if defined(_WIN32)

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The Windows types, declared exactly as windows.h declares them, so that plug-ins may
 * include windows.h before or after this header and the core needs no system header.
 */
struct HWND__;
typedef struct HWND__ *HWND;
struct HINSTANCE__;
typedef struct HINSTANCE__ *HINSTANCE;

#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_USER 0x0400

#ifdef _WIN64
__declspec(dllimport) int __stdcall PostMessageA(HWND hWnd, unsigned int Msg,
                                                 unsigned long long wParam, long long lParam);
#else
__declspec(dllimport) int __stdcall PostMessageA(HWND hWnd, unsigned int Msg, unsigned int wParam,
                                                 long lParam);
#endif

#ifndef WAVE_FORMAT_PCM
#define WAVE_FORMAT_PCM 1
#endif

#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
#pragma pack(push, 1)
/* PCM format record, 18 bytes packed. */
typedef struct tWAVEFORMATEX {
    unsigned short wFormatTag;     /* 1 = PCM */
    unsigned short nChannels;      /* channels */
    unsigned long nSamplesPerSec;  /* frames per second */
    unsigned long nAvgBytesPerSec; /* nSamplesPerSec * nBlockAlign */
    unsigned short nBlockAlign;    /* bytes per frame */
    unsigned short wBitsPerSample; /* 8, 16, 24 or 32 */
    unsigned short cbSize;         /* 0 for PCM */
} WAVEFORMATEX, *PWAVEFORMATEX, *NPWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
#endif

#ifdef __cplusplus
}
#endif

#else

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A window handle. Every HWND that the core hands to a plug-in (the hidden window and the
 * stand-in for the desktop window) points to an object whose first member is `post`.
 * Posting is safe from any thread; the message is handled later on the thread that pumps the
 * window (the command thread). Posting to the desktop stand-in does nothing and returns 1.
 */
typedef struct KernovaWindow *HWND;
struct KernovaWindow {
    int (*post)(HWND self, unsigned int msg, uintptr_t wParam, intptr_t lParam);
};
typedef void *HINSTANCE;

#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_USER 0x0400

/* Posts a message to a window handle that the core gave out; returns nonzero on success. */
static inline int PostMessageA(HWND hwnd, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    return (hwnd && hwnd->post) ? hwnd->post(hwnd, msg, wParam, lParam) : 0;
}

#define WAVE_FORMAT_PCM 1

#pragma pack(push, 1)
/* PCM format record, 18 bytes packed. */
typedef struct {
    uint16_t wFormatTag;      /* 1 = PCM */
    uint16_t nChannels;       /* channels */
    uint32_t nSamplesPerSec;  /* frames per second */
    uint32_t nAvgBytesPerSec; /* nSamplesPerSec * nBlockAlign */
    uint16_t nBlockAlign;     /* bytes per frame */
    uint16_t wBitsPerSample;  /* 8, 16, 24 or 32 */
    uint16_t cbSize;          /* 0 for PCM */
} WAVEFORMATEX;
#pragma pack(pop)

#ifdef __cplusplus
}
#endif
#endif /* !_WIN32 */

#ifdef __cplusplus
extern "C" {
#endif

/* The end-of-stream notice a decoder posts to its hMainWindow from its decoding thread. */
#define WM_WA_MPEG_EOF (WM_USER + 2)

/*
 * Output plug-in table (playback output, and the core's relay output that decoders write to).
 * Write() takes interleaved little-endian integer PCM of the bit depth given to Open
 * (signed; 8-bit is unsigned). Times are milliseconds.
 */
typedef struct Out_Module {
    int version; /* written by the plug-in: at least 16 */
    char *description;
    int id;
    HWND hMainWindow;       /* written by the core */
    HINSTANCE hDllInstance; /* written by the core: the library handle */
    void (*Config)(HWND hwndParent);
    void (*About)(HWND hwndParent);
    void (*Init)(void);
    void (*Quit)(void);
    int (*Open)(int samplerate, int numchannels, int bitspersamp, int bufferlenms, int prebufferms);
    void (*Close)(void);
    int (*Write)(char *buf, int len);
    int (*CanWrite)(void); /* bytes that Write would take now without blocking */
    int (*IsPlaying)(void);
    int (*Pause)(int pause);
    void (*SetVolume)(int volume);
    void (*SetPan)(int pan);
    void (*Flush)(int t);
    int (*GetOutputTime)(void);
    int (*GetWrittenTime)(void);
} Out_Module;

/*
 * Decoder table. Returned by `winampGetInModule2` (Winamp input plug-ins) or by
 * `QZconvInputModAddr` (Kernova's own decoders).
 *
 * The core requires version >= 0x100 and UsesOutputPlug != 0. For version 0x1000 the
 * IsPaused slot is called as `int GetLastErrorCode(void)`: the message code of the decoder's
 * last failure, 0 for none.
 *
 * Written by the core after loading: hMainWindow, hDllInstance, outMod, and the stand-ins
 * SAVSAInit ... dsp_dosamples and SetInfo. The decoder calls outMod->Open/Write/CanWrite/Close
 * from its own decoding thread and posts WM_WA_MPEG_EOF to hMainWindow when the stream ends.
 */
typedef struct In_Module {
    int version;
    char *description;
    HWND hMainWindow;
    HINSTANCE hDllInstance;
    char *FileExtensions; /* pairs "ext\0description\0", closed by an empty text */
    int is_seekable;
    int UsesOutputPlug;
    void (*Config)(HWND hwndParent);
    void (*About)(HWND hwndParent);
    void (*Init)(void);
    void (*Quit)(void);
    void (*GetFileInfo)(const char *file, char *title, int *length_in_ms);
    int (*InfoBox)(const char *file, HWND hwndParent);
    int (*IsOurFile)(const char *fn);
    int (*Play)(const char *fn); /* 0 = playing; nonzero = failure */
    void (*Pause)(void);
    void (*UnPause)(void);
    int (*IsPaused)(void); /* GetLastErrorCode for version 0x1000 */
    void (*Stop)(void);
    int (*GetLength)(void); /* milliseconds */
    int (*GetOutputTime)(void);
    void (*SetOutputTime)(int time_in_ms);
    void (*SetVolume)(int volume);
    void (*SetPan)(int pan);
    void (*SAVSAInit)(int maxlatency_in_ms, int srate);
    void (*SAVSADeInit)(void);
    void (*SAAddPCMData)(void *PCMData, int nch, int bps, int timestamp);
    int (*SAGetMode)(void);
    int (*SAAdd)(void *data, int timestamp, int csa);
    void (*VSAAddPCMData)(void *PCMData, int nch, int bps, int timestamp);
    int (*VSAGetMode)(int *specNch, int *waveNch);
    int (*VSAAdd)(void *data, int timestamp);
    void (*VSASetInfo)(int srate, int nch);
    int (*dsp_isactive)(void);
    int (*dsp_dosamples)(short int *samples, int numsamples, int bps, int nch, int srate);
    void (*EQSet)(int on, char data[10], int preamp);
    void (*SetInfo)(int bitrate, int srate, int stereo, int synched);
    Out_Module *outMod;
} In_Module;

#define IN_MODULE_VERSION_WITH_ERROR_CODE 0x1000

typedef In_Module *(*winampGetInModule2Func)(void);
typedef Out_Module *(*winampGetOutModuleFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
