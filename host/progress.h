// The progress line of a conversion or a playback: one line on stderr, redrawn in place, with
// the file name, the percentage, the elapsed seconds and the speed as a multiple of real time.
// Shown only when stderr is a terminal. Every function expects the console lock to be held.
#pragma once

void EnableProgress(bool enabled);
// A job starts on this input name (message 201): the clock starts, no length is known yet.
void StartProgress(const char *inputName);
// The encoder asked for another pass: the position and the clock start again.
void RestartProgressPass();
void SetProgressLength(int seconds);
// Redraws the line. Length 100 with position 200 is the core's mark of a finished job: the line
// is cleared and stays away until the next job.
void SetProgressPosition(int seconds);
// Removes the line from the terminal, if one is shown.
void ClearProgressLine();
