// The core started once per fuzzing process, as the console host starts it, with the test
// plug-ins that the build installs beside the fuzz program (fuzz/app/plugins).
#pragma once

#include <string>

namespace knfuzz {

// Starts the core on the first call (host callbacks that ignore every message, the core's own
// printed lines sent to nowhere); aborts when the start fails, as every input would be useless.
void StartCore();

// Runs one command in a freshly emptied private folder that holds the files the seed command
// lines name (a.pcm, b.pcm, d/c.pcm, t.xfb) and the batch file fuzzed.xfb with `batch`.
int RunCommand(const std::string &commandLine, const std::string &batch = "");

} // namespace knfuzz
