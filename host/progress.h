// The progress line of a conversion or a playback: one line on stderr, redrawn in place, with
// the file name, the percentage, the elapsed seconds and the speed as a multiple of real time.
// Shown only when stderr is a terminal. Every function expects the console lock to be held.
#pragma once

#include <string>
#include <vector>

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

// The one line of a parallel run: jobs done of all, the files being converted, the speed in
// audio seconds per second, and the time left when it can be told.
struct BatchProgress {
    int done = 0;
    int total = 0;
    std::vector<std::string> current; // input names
    double audioSeconds = 0;          // converted so far, running jobs included
    double elapsedSeconds = 0;
    double secondsLeft = -1; // negative: not known yet
};
void ShowBatchProgress(const BatchProgress &progress);
