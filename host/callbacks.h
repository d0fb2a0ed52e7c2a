// The five callbacks that the program writes into the core's host callback table: message
// codes become lines of text, listings are laid out in columns, and progress goes to the
// progress line. They may run on the command thread or on a decoder's thread.
#pragma once

#include <string>

#include "host/tally.h"
#include "kernova/host.h"

void InstallCallbacks(HostCallbacks &table);
// True once the core reported that the ID tag plug-in cannot be used (codes 101 and 102).
bool TagLibraryFailed();
// True once any job of the command reported a result other than done.
bool AnyJobFailed();
// Prints a listing line still waiting for its second half and clears the progress line.
void FinishOutput();
// A warning of the program itself on stderr.
void PrintWarning(const std::string &text);
// "kernova: <text>" on stderr: a plain notice, neither an error nor a warning.
void PrintNote(const std::string &text);
// Errors only: the lines a job reports about itself (its settings, its result, notices) and
// the progress line are left out; listings, help texts and tags still show.
void SetQuiet(bool quiet);
// Called on the command thread whenever a job starts on an input (message 201).
void SetJobStartHook(void (*hook)());
// The jobs counted since the program started.
RunTally GetTally();
