// What the fuzz targets share: a private folder for the files they write, and the check that
// keeps a fuzzed command line or batch file inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace knfuzz {

// A folder of this process's own below the system's temporary folder, made on the first call.
const std::string &PrivateFolder();

// Writes the bytes into <private folder>/<name> and returns its full name.
std::string WriteInput(const std::string &name, const uint8_t *data, size_t size);

// Empties the private folder and makes it the current folder.
void EnterEmptyPrivateFolder();

// True when the text names no file outside the current folder: no folder part that starts at
// the root or at a blank, bar or quote, and no "..". Fuzzed commands may delete and overwrite
// files, so only names below the private folder may reach the core.
bool StaysInCurrentFolder(std::string_view text);

} // namespace knfuzz
