// The platform layer: every operating-system service the core, the host and the tests use.
// One implementation per system (platform/posix for the native build); nothing outside
// platform/ includes a system header.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kernova/winamp.h"

namespace platform {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
constexpr const char *kLibraryPrefix = ""; // the core is kernova.dll
constexpr const char *kLibrarySuffix = ".dll";
constexpr const char *kExecutableSuffix = ".exe";
#else
constexpr char kPathSeparator = '/';
constexpr const char *kLibraryPrefix = "lib"; // the core is libkernova.so
constexpr const char *kLibrarySuffix = ".so";
constexpr const char *kExecutableSuffix = "";
#endif

// ---- Files and folders ----

// Full path of the running program (the host executable, not a library); empty on failure.
std::string GetExecutablePath();
// The current working folder, without a trailing separator; empty on failure.
std::string GetCurrentFolder();
// Creates one folder level; false when it fails (e.g. it exists).
bool CreateFolder(const char *path);
bool DeleteFile(const char *path);
bool FileExists(const char *path);
// Same file after resolving names and links (both must exist).
bool IsSameFile(const char *a, const char *b);
// True when this user may create files in the folder.
bool IsFolderWritable(const char *path);
// The user's own folder for the program's working files, without a trailing separator:
// $XDG_STATE_HOME/kernova, else ~/.local/state/kernova (Windows: %LOCALAPPDATA%\Kernova);
// empty when the system names none. The folder may not exist yet.
std::string GetUserStateFolder();

struct FindEntry {
    std::string name; // entry name without folder
    bool isFolder = false;
    bool isHidden = false; // the name begins with '.'
};

// Lists the entries of the folder part of `pattern` whose names match its file part, the way
// the Windows file search does: '*' and '?' wildcards, ASCII letters compared without regard
// to case, "*.*" matches every name. "." and ".." are never returned. Entries come sorted by
// name (byte order), so results are reproducible. Returns false when nothing matched or the
// folder cannot be read.
bool FindFiles(const std::string &pattern, std::vector<FindEntry> &entries);
// The matching rule of FindFiles, exposed for tests.
bool MatchesMask(const char *name, const char *mask);

// ---- Output files ----
// Reasons are errno values (ENOSPC, EACCES, EROFS, ...) on every system.

// What a name stands for, links followed. Device: anything but a regular file or a folder (a
// device such as /dev/null or NUL, a pipe).
enum class FileKind { Missing, Regular, Folder, Device };
FileKind GetFileKind(const char *path);
// The file that a link (or a chain of links) leads to, so that replacing that file keeps the
// link; the name itself when it is no link or leads nowhere (Windows: always the name).
std::string ResolveLinks(const char *path);
// 0 when the existing file opens for writing (it is opened and closed, not changed), else the
// reason.
int CheckWritable(const char *path);
// Puts the file `from` in the place of `to` in one step: at every moment `to` names the old
// file or the complete new one, whenever the program ends. The data is not forced to the disk
// first (that would cost milliseconds per file). The new file takes the permission bits of
// the file it replaces. 0, or the reason.
int MoveFileOver(const char *from, const char *to);
int CurrentProcessId();

// An exclusive advisory lock on a file (created when missing, contents untouched), held until
// UnlockFile; LockFile waits while another process holds it. Null on failure.
using FileLockHandle = void *;
FileLockHandle LockFile(const char *path);
void UnlockFile(FileLockHandle lock);

// Size and last modification time (nanoseconds since a fixed start, comparable between
// files); false when the file does not exist or cannot be examined.
bool GetFileStamp(const char *path, int64_t &modifiedNs, uint64_t &size);
// Creates a new folder in the system's folder for temporary files that only this user may
// enter; returns its path without a trailing separator, empty on failure.
std::string CreatePrivateFolder();
// Removes an empty folder; false when it fails.
bool RemoveFolder(const char *path);

// ---- Libraries ----

// The system's own handle type, so that plug-in tables can hold it as it is.
using LibraryHandle = HINSTANCE;
LibraryHandle LoadLibrary(const char *path); // null on failure
void *GetExport(LibraryHandle library, const char *name);
void FreeLibrary(LibraryHandle library);
// Text of the last library loading failure, for debugging.
std::string LastLibraryError();

// ---- Windows and messages ----
// A hidden window is an object whose first member is the `post` function (see winamp.h).
// Its messages are queued and dispatched to its window procedure on the thread that pumps.

using WindowProc = intptr_t (*)(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam);

// Registers a window class by name once; false when it cannot be registered.
bool RegisterWindowClass(const char *className, WindowProc proc);
// Creates a hidden window of a registered class, owned by the calling thread; null on failure.
HWND CreateHiddenWindow(const char *className, const char *title);
// Destroys a window: it gets WM_DESTROY and its queued messages are dropped.
void DestroyWindow(HWND window);
// The stand-in for the desktop window: posting to it does nothing and returns 1.
HWND GetDesktopWindow();
// Calls the window procedure directly on the calling thread.
intptr_t SendMessage(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam);
intptr_t DefWindowProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam);
// Takes one queued message of any window of the calling thread, translates and dispatches it.
// Returns false when no message was waiting.
bool PumpOneMessage();
// Waits until a message for a window of the calling thread is queued, at most timeoutMs;
// true when one is waiting.
bool WaitForMessage(int timeoutMs);

// ---- Threads, events, time ----

using ThreadHandle = void *;
using ThreadFunction = unsigned long (*)(void *argument);
ThreadHandle CreateThread(ThreadFunction function, void *argument); // null on failure
// Waits for the thread to end and releases it.
void JoinThread(ThreadHandle thread);

using EventHandle = void *;
// A named event (names are informative here); manual reset when manualReset is true.
EventHandle CreateEvent(const char *name, bool manualReset, bool initialState);
void SetEvent(EventHandle event);
void ResetEvent(EventHandle event);
// Waits up to timeoutMs (negative: forever); true when the event was set.
bool WaitEvent(EventHandle event, int timeoutMs);
void CloseEvent(EventHandle event);

uint32_t GetTickCount(); // milliseconds since an arbitrary start
void Sleep(int milliseconds);

// ---- Terminal ----

// True when the file descriptor (0 stdin, 1 stdout, 2 stderr) is a terminal.
bool IsTerminal(int fd);
// Calls handler on every Ctrl-C (SIGINT; on Windows also Ctrl-Break) instead of ending the
// program; null gives Ctrl-C back what it did before. The handler runs on a thread of its own,
// never in a signal handler, one call at a time: it must return soon, since the next Ctrl-C
// waits for it. Called from the main thread only.
void SetInterruptHandler(void (*handler)());
// Sends everything this process writes on stdout (through the C library or not) into `file`,
// which is created or emptied, until RestoreStdout; false when stdout cannot be sent elsewhere
// (on Windows, where a library may write through a C library of its own). The C library's
// stdout is flushed on both changes.
bool RedirectStdout(const std::string &file);
void RestoreStdout();

// ---- Worker processes ----
// A child process whose standard input and output are pipes held by this process, while its
// standard error is ours. It stays in our process group, so job control and the terminal's
// signals reach it as they reach us (on Windows it gets a console group of its own, and
// InterruptChild stands in for the console's Ctrl-C).

struct Child;
using ChildHandle = Child *;
// Starts `program` with `args` (no shell in between) in our folder and with our environment;
// null when it cannot be started.
ChildHandle StartChild(const std::string &program, const std::vector<std::string> &args);
// Writes all of `text` to the child's standard input; false when the child reads no more.
bool WriteChildInput(ChildHandle child, const std::string &text);
// The child reads the end of its input.
void CloseChildInput(ChildHandle child);
// Waits at most timeoutMs until one of the children has written something or ended its output;
// returns early when a signal arrives.
void WaitForChildOutput(const std::vector<ChildHandle> &children, int timeoutMs);
// Appends what the child has written since the last call, without waiting; false once its
// output has ended (what was still waiting has been appended).
bool ReadChildOutput(ChildHandle child, std::string &text);
// Asks the child to stop as a Ctrl-C would.
void InterruptChild(ChildHandle child);
// Ends the child at once.
void KillChild(ChildHandle child);
// The child's process id, as CurrentProcessId gives it inside the child.
int ChildProcessId(ChildHandle child);
// Waits for the child to end and releases it; returns its exit code (128 + the signal when a
// signal ended it, -1 when it cannot be told).
int FinishChild(ChildHandle child);
// Processors this process may run on; at least 1.
unsigned CountProcessors();

// ---- Audio format layer ----
// Stands in for the Windows Audio Compression Manager (ACM): the same calls, flags and result
// codes in this namespace, so that the Windows build can forward them to msacm32. Drivers come
// in a fixed order: the drivers that the tests added (in the order added), then the built-in
// PCM driver. The PCM driver lists PCM (tag 1) at 8000, 11025, 16000, 22050, 32000, 44100,
// 48000, 88200, 96000, 176400 and 192000 Hz, 8, 16, 24 and 32 bits, 1 to 8 channels (rate,
// then bits, then channels ascending); asked for one rate (ACM_FORMATENUMF_NSAMPLESPERSEC), it
// lists that rate, any from 1 to 768000 Hz. It converts any such PCM format, listed or not,
// into any other. No audio passes through a stream: opening one proves that the conversion
// exists. Every call is thread-safe; callbacks run on the calling thread with no lock held.

using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr MMRESULT ACMERR_BUSY = 513; // the driver still has open handles or streams

constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;
// No wave devices exist here, so every listed format counts as one an input device takes:
// the flag is accepted and narrows nothing.
constexpr uint32_t ACM_FORMATENUMF_INPUT = 0x00800000;
// Only formats with the channel count, or the sample rate, that pwfx holds when the call begins.
constexpr uint32_t ACM_FORMATENUMF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATENUMF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000; // the target's tag is fixed
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;         // only ask, open nothing
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;
constexpr int ACMFORMATDETAILS_FORMAT_CHARS = 128;

struct AcmDriverId;
struct AcmDriver;
struct AcmStream;
using HACMDRIVERID = AcmDriverId *; // a driver as the enumeration names it
using HACMDRIVER = AcmDriver *;     // an opened driver
using HACMSTREAM = AcmStream *;
using HACMOBJ = const void *; // any of the three handles, or null for every driver

// One format of a driver, as acmFormatEnum hands it to its callback.
struct ACMFORMATDETAILS {
    uint32_t cbStruct;      // set by the caller: sizeof(ACMFORMATDETAILS)
    uint32_t dwFormatIndex; // written: position within this enumeration, from 0
    uint32_t dwFormatTag;   // set by the caller: the tag to list, 0 for every tag; then written
    uint32_t fdwSupport;    // written: the driver's ACMDRIVERDETAILS_SUPPORTF_ flags
    WAVEFORMATEX *pwfx;     // set by the caller: receives each format with its extra bytes
    uint32_t cbwfx;         // set by the caller: bytes at pwfx, at least the largest format
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS]; // written: e.g. "44.100 kHz, 16 Bit, Stereo"
};

// Enumeration callbacks return nonzero to go on, 0 to stop (the call still succeeds).
using ACMDRIVERENUMCB = int (*)(HACMDRIVERID hadid, uintptr_t dwInstance, uint32_t fdwSupport);
using ACMFORMATENUMCB = int (*)(HACMDRIVERID hadid, ACMFORMATDETAILS *pafd, uintptr_t dwInstance,
                                uint32_t fdwSupport);

// Calls back once per driver, in driver order; fdwEnum must be 0.
MMRESULT acmDriverEnum(ACMDRIVERENUMCB fnCallback, uintptr_t dwInstance, uint32_t fdwEnum);
// ACMERR_NOTPOSSIBLE when the driver refuses to open; fdwOpen must be 0.
MMRESULT acmDriverOpen(HACMDRIVER *phad, HACMDRIVERID hadid, uint32_t fdwOpen);
// ACMERR_BUSY while streams opened through the handle are open.
MMRESULT acmDriverClose(HACMDRIVER had, uint32_t fdwClose);
// ACM_METRIC_MAX_SIZE_FORMAT only: writes a uint32_t, the size of the largest format record of
// the driver (driver id or opened driver) or of every driver (null).
MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void *pMetric);
// Lists the formats of an opened driver whose tag is pafd->dwFormatTag (0: all); fdwEnum holds
// ACM_FORMATENUMF_INPUT, ACM_FORMATENUMF_NCHANNELS and ACM_FORMATENUMF_NSAMPLESPERSEC, or none.
// After a callback that returned 0, pwfx holds the format it saw.
MMRESULT acmFormatEnum(HACMDRIVER had, ACMFORMATDETAILS *pafd, ACMFORMATENUMCB fnCallback,
                       uintptr_t dwInstance, uint32_t fdwEnum);
// Writes into pwfxDst (cbwfxDst bytes) a format that pwfxSrc converts to; with
// ACM_FORMATSUGGESTF_WFORMATTAG its tag is pwfxDst->wFormatTag. Asks had, or every driver in
// order when had is null. ACMERR_NOTPOSSIBLE when no driver knows one.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX *pwfxSrc, WAVEFORMATEX *pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);
// Opens a conversion from pwfxSrc to pwfxDst through had, or through the first driver in order
// that converts it when had is null. No filters (pwfltr must be null), no callbacks (dwCallback
// and dwInstance are ignored). fdwOpen: ACM_STREAMOPENF_QUERY, ACM_STREAMOPENF_NONREALTIME.
// ACMERR_NOTPOSSIBLE when no driver converts the pair.
MMRESULT acmStreamOpen(HACMSTREAM *phas, HACMDRIVER had, const WAVEFORMATEX *pwfxSrc,
                       const WAVEFORMATEX *pwfxDst, const void *pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);

// A driver described by the answers of its functions: the built-in PCM driver of the native
// layer, and the drivers the test support library adds. Every function is required.
struct AcmDriverProcs {
    uint32_t support;       // ACMDRIVERDETAILS_SUPPORTF_ flags shown to enumeration callbacks
    uint32_t maxFormatSize; // bytes of the driver's largest format record, at least 18
    bool (*open)();         // false: the driver refuses to open
    // Writes format number `index` (at most maxFormatSize bytes); false past the last one.
    bool (*getFormat)(uint32_t index, WAVEFORMATEX *format);
    // Writes a format that `source` converts to, of tag `tag` (0: any); false when none.
    bool (*suggest)(const WAVEFORMATEX *source, uint16_t tag, WAVEFORMATEX *target);
    bool (*canConvert)(const WAVEFORMATEX *source, const WAVEFORMATEX *target);
};

} // namespace platform
