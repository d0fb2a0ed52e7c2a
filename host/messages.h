// The English texts of the program: one entry per message code that the core sends, and the
// usage text. Nothing else in the program holds wording of its own for a code.
#pragma once

#include <cstdint>
#include <string>

// The line shown for a code and its argument (a core text or 0), without a line end: the
// entry's text with the argument in place of "%s", the entry's text for a missing argument when
// it has one, and for an unknown code its number (after the argument, "file: reason" style).
std::string FormatMessage(int code, intptr_t argument);

// How the program is used: the common command forms, a few lines ending with a line feed.
extern const char *const kUsageText;

// The text with the argument in place of its "%s".
std::string FormatText(const char *text, const std::string &argument);

// Texts of the program's own options and runs.
extern const char *const kOptionsText;     // --help: the program's options, after the usage
extern const char *const kSkippedText;     // a job --skip-existing leaves out; "%s": output
extern const char *const kOtherJobText;    // --dry-run: a batch line that converts nothing
extern const char *const kWorkerEndedText; // "%s": the input whose worker process ended
