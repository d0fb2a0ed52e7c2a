// The jobs of the conversion engine that the job executor dispatches to.
#pragma once

struct CommandRecord;

int ConvertJob(CommandRecord *record);
int PlayJob(CommandRecord *record);
// Asks the current decode to stop, if one runs.
void AbortPlay();

int ConvertOneFile();
// -COPYID from the record's input into `outputFile`; false when the tags could not be written
// (after message 84).
bool CopyIdTags(CommandRecord *record, const char *outputFile);
int WINAMP_PlayOneFile();
