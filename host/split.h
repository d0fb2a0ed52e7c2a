// kernova --split N FILE: the job lines of one batch file in N batch files of about equal
// work, for running one batch on several machines (each runs its part with -BATCH).
#pragma once

#include <string>

// Writes FILE-1.xfb ... FILE-N.xfb beside FILE and prints their names, one a line; returns
// the exit status.
int SplitBatchFile(const std::string &name, unsigned parts);
