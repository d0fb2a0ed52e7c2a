// Core-wide state shared by every subsystem: the host callback table and the Winamp folder.
#pragma once

#include "kernova/host.h"

struct CommandRecord;

// The one host callback table; its address never changes.
HostCallbacks &GetHostTable();

// abortFlag and lastResult are written from other threads than the command thread; these
// access them atomically without changing the table's plain-int layout.
int LoadAbortFlag();
void StoreAbortFlag(int value);
void StoreLastResult(int value);

// The -WINAMP folder: a text variable that survives from one command to the next.
extern char *winampFolder;

// Core entry, called by the exports.
int InitKernova();
int DoCommand(const char *commandLine);
void AbortCommand();
void DeInitKernova();

int ExecuteJob(CommandRecord *record);
void LoadPlugInLists();
void LoadWinampPlugIns();
