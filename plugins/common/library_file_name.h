// File names for the codec libraries: the core hands plug-ins names in the system's own
// encoding, the ANSI code page on Windows, where libFLAC, libmpg123, opusfile and libsndfile
// read every name as UTF-8 (elsewhere they take the bytes as they are).
#pragma once

#include <string>

namespace knplugin {

// The name as the codec libraries read it: re-encoded as UTF-8 on Windows, unchanged elsewhere.
std::string LibraryFileName(const char *name);

} // namespace knplugin
