// The test programs run the built programs through these, and the test plug-ins read their
// switches from the environment; one implementation per system below tests/support/.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// Runs `program` with `args` (each one argument, no shell in between) in the folder `cwd`
// (empty: ours), with `env` added to our environment, standard input empty and standard
// output and error written to the files `outFile` and `errFile`. A run that takes longer
// than timeoutSeconds is killed and gives 124. Returns the exit code, -1 when the program
// cannot be started.
int RunProcess(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &outFile, const std::string &errFile, int timeoutSeconds);
// The value of an environment variable; empty when it is not set.
std::string GetEnvironment(const char *name);
// True when the variable is set, even to an empty value.
bool HasEnvironment(const char *name);
// Sets (or, with a null value, removes) an environment variable of this process.
void SetEnvironment(const char *name, const char *value);
// Full path of the library or program whose code or data holds `address`; empty on failure.
std::string GetModulePath(const void *address);

} // namespace platform
