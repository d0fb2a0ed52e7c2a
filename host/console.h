// Everything the program prints goes through here. Callbacks arrive on the command thread and
// on a decoder's own thread, so printing holds one lock, and the progress line on stderr is
// cleared before any other text appears.
#pragma once

#include <mutex>
#include <string>

std::unique_lock<std::mutex> LockConsole();

// The functions below expect the console lock to be held.

void PrintOut(const std::string &text); // stdout, as it stands
// stderr, as "kernova: <kind>: <text>" (without a kind "kernova: <text>") and a line end;
// stdout is flushed first so that the two streams keep their order on a terminal.
void PrintDiagnostic(const char *kind, const std::string &text);
