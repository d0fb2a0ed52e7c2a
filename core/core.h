// Start-up, shut-down, one command and the job executor: the top of the library, called by
// its exports.
#pragma once

#include "state/host_table.h"

struct CommandRecord;

// Core entry, called by the exports.
int InitKernova();
int DoCommand(const char *commandLine);
void AbortCommand();
void DeInitKernova();

int ExecuteJob(CommandRecord *record);
