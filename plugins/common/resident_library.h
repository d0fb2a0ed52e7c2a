// Keeping a codec library loaded for the rest of the process. The core loads and releases
// plug-ins one at a time, and FFmpeg's libraries with their hundred dependencies cost more to
// load and bind than a whole minute of audio costs to decode: each plug-in that links them keeps
// them, so that the next plug-in, and the next load of the same one, finds them in place.
#pragma once

#include <initializer_list>

namespace knplugin {

// Keeps the shared library that holds `code` (the address of one of its functions) loaded until
// the process ends; false when the system cannot tell which library that is, or when the code is
// linked into the plug-in itself (as in the Windows builds), which must go when it is released.
bool KeepLibraryResident(const void *code);

// Keeps each library that holds one of `code`'s functions; true when every one is kept.
bool KeepLibrariesResident(std::initializer_list<const void *> code);

} // namespace knplugin
