// Everything the program prints goes through here. Callbacks arrive on the command thread and
// on a decoder's own thread, so printing holds one lock, and the progress line on stderr is
// cleared before any other text appears.
//
// A worker of a parallel run prints into a pipe that its parent reads: stdout text as it is,
// and everything else as frames, lines that begin with kFrameMark and a letter for the kind.
#pragma once

#include <mutex>
#include <string>

constexpr char kFrameMark = '\x1f';
constexpr char kFrameError = 'E';     // a line for stderr
constexpr char kFrameLength = 'L';    // the running job's length (seconds)
constexpr char kFramePosition = 'P';  // the running job's position (seconds)
constexpr char kFrameResult = 'R';    // a job's result code, then 1 when it announced an output
constexpr char kFrameLineStart = 'S'; // the next job line starts
constexpr char kFrameLineDone = 'D';  // the job line has been run (or refused)

std::unique_lock<std::mutex> LockConsole();

// The functions below expect the console lock to be held.

void SetFramedOutput(bool framed);
bool IsFramedOutput();

void PrintOut(const std::string &text); // stdout, as it stands
// stderr, as "kernova: <kind>: <text>" (without a kind "kernova: <text>") and a line end;
// stdout is flushed first so that the two streams keep their order on a terminal.
void PrintDiagnostic(const char *kind, const std::string &text);
// stderr: one whole line as it stands (a worker's diagnostic, the summary line).
void PrintErrorLine(const std::string &line);
// A frame on stdout, sent at once.
void SendFrame(char kind, const std::string &payload);
