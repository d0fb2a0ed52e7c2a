// Source enumeration, the job file, batch files and the job runner.
#pragma once

struct CommandRecord;

struct JobArrays {
    char **sources;
    char **outputs;
};

int WriteJobFile(CommandRecord *record, const char *fileName);
int ScanSources(CommandRecord *record, JobArrays *arrays);
void ScanFolder(CommandRecord *record, const char *pattern, const char *mask, JobArrays *arrays,
                int *count, const char *subFolder, int pass);
void AddJob(const char *source, const char *mask, const char *subFolder, JobArrays *arrays,
            int *count, int force);
void MakeFullName(char **name);
void GetJobFileName(char **name);

int RunJobFile(const char *fileName);
int RunBatchFiles(const char *name);
