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
 * Output plug-in table: the playback output plug-in in plugins/out/WinAMP, which exports
 * `winampGetOutModule`, and the core's relay output that every decoder writes to.
 *
 * Version window: the core accepts a playback output whose version is at least 16 and checks
 * no slot: every function slot may be null and is then not called (a null Write drops the PCM,
 * a null CanWrite counts as room for a block). Written by the core after loading: hMainWindow and
 * hDllInstance; the plug-in fills the rest. The table belongs to the plug-in and stays valid
 * while it is loaded.
 *
 * Threads: the core calls Init (at the start of a -PLAY job), SetVolume, SetPan and Quit
 * (when it unloads the plug-in) on the command thread. The decoder's own thread calls, through
 * the relay, Open, Write, CanWrite, IsPlaying, Flush, GetOutputTime and GetWrittenTime; the
 * core's stop thread calls Close once the decoder's thread has ended. SetVolume and SetPan may
 * come while the decoder's thread writes.
 *
 * Units: Open takes the rate in Hz, the channel count, the bits per sample (8, 16, 24 or 32)
 * and two lengths in milliseconds, and returns a negative value on failure. Write() takes
 * `len` bytes of interleaved little-endian integer PCM of the bit depth given to Open (signed;
 * 8-bit is unsigned), in a buffer that stays the caller's, and returns 0, or a negative value
 * on failure. CanWrite answers bytes. Times are milliseconds.
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
 * `QZconvInputModAddr` (Kernova's own decoders; kernova/decoder.h gives their whole contract:
 * threads, mandatory slots, units).
 *
 * The core requires version >= 0x100 and UsesOutputPlug != 0, and refuses a table without
 * Play or Stop. For version 0x1000 the IsPaused slot is called as `int GetLastErrorCode(void)`:
 * the message code of the decoder's last failure, 0 for none.
 *
 * Written by the core after loading: hMainWindow, hDllInstance, outMod, and the stand-ins
 * SAVSAInit ... dsp_dosamples and SetInfo; the plug-in fills the rest. The decoder calls
 * outMod->Open/Write/CanWrite from its own decoding thread, posts WM_WA_MPEG_EOF to
 * hMainWindow when the stream ends, and calls outMod->Close from Stop, which the core calls on
 * its stop thread. Times are milliseconds.
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
