#include "platform/win32/command_line.h"

namespace platform {

namespace {

// One argument as the C runtime of the child splits it again: quoted when it is empty or holds
// blanks or quotes; backslashes are doubled only where they precede a quote.
void AppendQuoted(std::string &line, const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

} // namespace

std::string BuildCommandLine(const std::string &program, const std::vector<std::string> &args) {
    std::string line;
    AppendQuoted(line, program);
    for (const std::string &arg : args) {
        line += ' ';
        AppendQuoted(line, arg);
    }
    return line;
}

} // namespace platform
