// Parallel runs: the jobs of a conversion or of -BATCH, handed out one line at a time to
// worker processes (kernova --worker) as they free up, the biggest sources first. Each job's
// lines are shown together, in the order of the job lines, exactly as a run in one process
// shows them; one progress line stands for the whole batch.
#pragma once

#include <optional>

#include "host/core_library.h"
#include "host/job_lines.h"
#include "host/options.h"

// The exit status of the run, or nothing when the command is best run as it is in this
// process (one job to run, or no batch file found). `startTick` is the program's start.
std::optional<int> RunInParts(const CoreLibrary &core, const ConsoleOptions &options,
                              CommandKind kind, uint32_t startTick);
