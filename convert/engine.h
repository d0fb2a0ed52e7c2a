// The jobs of the conversion engine that the job executor dispatches to.
#pragma once

struct CommandRecord;

int ConvertJob(CommandRecord *record);
int PlayJob(CommandRecord *record);
// Asks the current decode to stop, if one runs.
void AbortPlay();

int ConvertOneFile();
void CopyIdTags(CommandRecord *record);
int WINAMP_PlayOneFile();
