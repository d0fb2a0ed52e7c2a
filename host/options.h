// The program's own options (two dashes), taken out of the arguments before the rest is
// joined into the core's command line; they never reach the core.
#pragma once

#include <string>
#include <vector>

struct ConsoleOptions {
    unsigned jobs = 0; // worker processes; 0: one per processor
    bool skipExisting = false;
    bool dryRun = false;
    bool quiet = false;
    bool showVersion = false;
    bool showHelp = false;
    unsigned splitParts = 0; // --split N: write N batch files instead of running anything
    std::string workerFile;  // --worker FILE: run the job lines that arrive on stdin
    std::vector<std::string> coreArguments; // the rest, in order
};

// Fills `options` from arguments[1..count-1]. A lone "--" ends the options: every later
// argument goes to the core. False, with `error` saying why, for an unknown or malformed option.
bool ParseConsoleOptions(int count, const char *const *arguments, ConsoleOptions &options,
                         std::string &error);
