// The command line of a child process, as the C runtime of the child splits it again.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The program and its arguments, each quoted when it is empty or holds blanks or quotes;
// backslashes are doubled only where they precede a quote.
std::string BuildCommandLine(const std::string &program, const std::vector<std::string> &args);

} // namespace platform
