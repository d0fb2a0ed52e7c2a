// The jobs of a parallel run, before any of them runs: the core expands a conversion into job
// lines (a batch file in the run's private folder), -BATCH names its files; then every line is
// examined for its input, its output and whether --skip-existing leaves it out.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "host/core_library.h"
#include "host/job_lines.h"
#include "host/options.h"

struct PlannedJob {
    std::string line;       // as the core's runner reads it
    std::string header;     // printed before the job's own lines
    std::string input;      // the -I name, empty when the line has none
    std::string outputKey;  // the -O name as written: jobs on one output never run at once
    std::string output;     // the name the output gets, empty when it cannot be told
    std::string encoder;    // as the job will choose it
    std::string parameters; // the -ENCPARAM text
    bool conversion = false;
    bool skipped = false;
    uint64_t size = 0; // of the input, which stands for its length
};

struct JobPlan {
    std::vector<PlannedJob> jobs;
    std::string trailer; // headers of batch files after the last job
};

enum class PlanOutcome {
    Ready,   // the jobs are in the plan
    RunAsIs, // the command runs as it is, in this process
    Failed,  // the command was refused; the reasons have been printed
};

// Collects the jobs of a Convert or Batch command, using `folder` for the command's batch file.
// `interrupts` counts the user's Ctrl-Cs; on Failed, `status` is the exit status.
PlanOutcome PlanJobs(const CoreLibrary &core, const ConsoleOptions &options, CommandKind kind,
                     const std::string &folder, const std::atomic<int> &interrupts, JobPlan &plan,
                     int &status);
// --dry-run: the encoder, parameters, input and output of every job, or the line itself for
// a line that converts nothing.
void PrintDryRun(const JobPlan &plan);
