// What the Windows test programs need from Wine to run the Unix tools (sox, ffmpeg, flac...)
// that check their files: a Unix program started from a Windows one gets its arguments split by
// Windows rules and gives back no exit status, so the caller learns the outcome from a file.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts the Unix program (its Unix path) with `args` and returns at once; false when it
// cannot be started.
bool StartUnixProgram(const std::string &program, const std::vector<std::string> &args);
// The Unix name of an existing file or folder (or of a file not yet made in an existing
// folder); empty when Wine cannot say.
std::string UnixFileName(const std::string &path);

} // namespace platform
