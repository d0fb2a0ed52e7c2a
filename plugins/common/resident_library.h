// Keeping a codec library loaded for the rest of the process. The core loads and releases the
// plug-ins of each job, and loading and binding a codec library anew (libFLAC, LAME, libsoxr, ...)
// costs about as much as converting a few seconds of audio: each plug-in keeps its libraries, so
// that the next job finds them in place.
#pragma once

namespace knplugin {

// Keeps the shared library that holds `code` (the address of one of its functions) loaded until
// the process ends; false when the system cannot tell which library that is, or when the code is
// linked into the plug-in itself (as in the Windows builds), which must go when it is released.
bool KeepLibraryResident(const void *code);

} // namespace knplugin
