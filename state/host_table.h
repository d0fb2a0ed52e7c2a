// The process-wide records that every layer reports through: the host callback table, its
// two marks shared with other threads, and the -WINAMP folder.
#pragma once

#include <cstdint>

#include "kernova/host.h"

// The one host callback table; its address never changes, the host writes its callbacks.
HostCallbacks &GetHostTable();

// abortFlag and lastResult are written from other threads than the command thread; these
// access them atomically without changing the table's plain-int layout.
int LoadAbortFlag();
void StoreAbortFlag(int value);
void StoreLastResult(int value);

// The -WINAMP folder: a text variable (owned here) that survives from one command to the next.
extern char *winampFolder;

// The pointer-sized argument of a message that carries a text (null for none).
inline intptr_t TextArg(const char *text) {
    return reinterpret_cast<intptr_t>(text);
}
