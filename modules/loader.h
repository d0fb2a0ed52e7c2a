// Loading, checking, wiring and releasing of decoders, encoders and the playback output
// plug-in; the current modules; the hidden window.
#pragma once

#include <initializer_list>
#include <string>

#include "kernova/decoder.h"
#include "kernova/encoder.h"
#include "kernova/winamp.h"

extern In_Module *currentInModule;
extern InputModuleEx *currentInModuleEx;
// The loaded decoder's QZconvInputErrorText, or null when it has none.
extern QZconvInputErrorTextFunc currentInModuleErrorText;
extern EncoderTable *currentOutModule;
extern Out_Module *currentWinampOutModule;
extern Out_Module coreOutModule;
extern HWND shadowWindow;

int LoadInModule(const char *fileName);
void UnloadInModule();
int LoadOutModule(const char *name);
void UnloadOutModule();
int LoadWinampOutModule(const char *name);
void UnloadWinampOutModule();

// For a command with -DEBUG: prints "Plug-in refused: <file>: its table leaves <slots> empty"
// for each plug-in file refused so far because a mandatory slot of its table is empty, and
// prints files refused later in the command when they are refused. Without, prints nothing.
void ReportRefusedPlugIns(bool debug);

int FindInModuleFile(const char *name, char **fullName);
int FindOutModuleFile(const char *name, char **fullName);
int FindWinampOutModuleFile(const char *name, char **fullName);

HWND CreateShadowWindow();
intptr_t ShadowWindowProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam);

// The end-of-stream handler of the decode driver; the hidden window calls it on
// WM_USER+2 and WM_USER+3. The decode driver installs it; null means nothing to do.
using StopThreadStarter = void (*)();
extern StopThreadStarter startStopThread;

// The sample-rate handler written into every encoder's FixFreqCallback when it is loaded. The
// layers above install the real one (FixFreqHandler) at start-up and when a conversion starts;
// until then it is a no-op.
using FixFreqHandlerFunc = void (*)(int sourceRate, int wantedRate);
extern FixFreqHandlerFunc fixFreqHandler;

// "<base>plugins", then each part after a separator: {"in"} gives the decoder folder, an
// empty last part a trailing separator. `base` is empty or ends with a separator.
std::string MakePlugInPath(const char *base, std::initializer_list<const char *> parts);
// Scans <program folder>/plugins/in and /out into the input and output module lists, each
// unless it already holds a module.
void LoadPlugInLists();
// Scans the -WINAMP folder's plugins folder into the Winamp input list, unless that list
// already holds a module or no Winamp folder is known.
void LoadWinampPlugIns();
