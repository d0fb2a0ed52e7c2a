// A worker of a parallel run (kernova --worker FILE): it reads job lines from stdin, one at a
// time, and runs each as the core runs a batch file of that one line (written to FILE), so
// that a line the core refuses still ends in a frame. Everything it prints goes to its parent
// in the framed form of console.h.
#pragma once

#include <string>

#include "host/core_library.h"

// Runs lines until stdin ends or a stop arrives; returns the exit status.
int RunWorker(const CoreLibrary &core, const std::string &lineFile, bool quiet);
