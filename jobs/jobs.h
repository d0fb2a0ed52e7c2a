// Source enumeration, the job file, batch files and the job runner.
#pragma once

struct CommandRecord;

// The sources found by a scan and their output names, index by index; both arrays and their
// texts belong to the caller (text variables, released with FreeString and delete[]).
struct JobArrays {
    char **sources;
    char **outputs;
};

// Runs one parsed job and returns its result message code (97 done, 95 failed, ...).
using JobExecutor = int (*)(CommandRecord *record);

// Writes the record's jobs into `fileName`, or into the job file (null) or its batch file
// (mode 6); 0 when written, else the message code of the refusal (already reported for
// collisions and names a job line cannot carry).
int WriteJobFile(CommandRecord *record, const char *fileName);
// Expands the record's input into `arrays` and returns how many sources it found; returns
// 12 (KN_RESULT_CONVERTER_START) with `arrays->sources` still null when the hidden window
// cannot be created.
int ScanSources(CommandRecord *record, JobArrays *arrays);
// Adds the matches of `pattern` to `arrays` and `*count`; `pass` 1 walks the sub-folders
// that the name pattern does not match, `subFolder` is the part below the scan's root.
void ScanFolder(CommandRecord *record, const char *pattern, const char *mask, JobArrays *arrays,
                int *count, const char *subFolder, int pass);
// Appends `source` with its output name from `mask`, unless no decoder claims it and `force`
// is not 1; grows the arrays as needed.
void AddJob(const char *source, const char *mask, const char *subFolder, JobArrays *arrays,
            int *count, int force);
// Puts the current folder before a name that has no folder part.
void MakeFullName(char **name);
// Replaces `*name` with the job file's full name (a text variable the caller owns).
void GetJobFileName(char **name);

// Runs the job lines of `fileName` (null: the job file) through `execute`, reporting each
// result; 0, 94 when the host asked to stop, or 7 when the file cannot be opened.
int RunJobFile(const char *fileName, JobExecutor execute);
// Runs every batch file that matches `name` through `execute`; 0, 94 after a stop, 95 when a
// file held no job, 7 when no file matches.
int RunBatchFiles(const char *name, JobExecutor execute);
