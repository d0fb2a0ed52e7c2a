// The jobs of the conversion layer: converting and playing one file, and stopping them.
#pragma once

struct CommandRecord;

int ConvertJob(CommandRecord *record);
int PlayJob(CommandRecord *record);
// Asks the current decode to stop, if one runs: a conversion's as well as a play's (the
// abort export calls it, from another thread than the command thread).
void AbortPlay();

int ConvertOneFile();
// -COPYID from the record's input into `outputFile`; false when the tags could not be written
// (after message 84).
bool CopyIdTags(CommandRecord *record, const char *outputFile);
int WINAMP_PlayOneFile();
