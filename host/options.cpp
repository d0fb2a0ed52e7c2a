#include "host/options.h"

namespace {

// More workers than this would only fight over the processors and the disk.
constexpr unsigned kMaxJobs = 256;

// "--name=value" carries its value; "--name value" takes the next argument.
bool TakeValue(int count, const char *const *arguments, int &i, const std::string &attached,
               bool hasAttached, std::string &value) {
    if (hasAttached) {
        value = attached;
        return true;
    }
    if (i + 1 >= count)
        return false;
    value = arguments[++i];
    return true;
}

bool ParseCount(const std::string &text, unsigned &count) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = static_cast<unsigned>(std::stoul(text));
    return count >= 1 && count <= kMaxJobs;
}

bool ParseCountOption(const std::string &name, int count, const char *const *arguments, int &i,
                      const std::string &attached, bool hasAttached, unsigned &result,
                      std::string &error) {
    std::string value;
    const bool given = TakeValue(count, arguments, i, attached, hasAttached, value);
    if (given && ParseCount(value, result))
        return true;
    error = name + " needs a number from 1 to " + std::to_string(kMaxJobs) +
            (given ? ", not \"" + value + "\"" : "");
    return false;
}

} // namespace

bool ParseConsoleOptions(int count, const char *const *arguments, ConsoleOptions &options,
                         std::string &error) {
    options = ConsoleOptions{};
    bool optionsEnded = false;
    for (int i = 1; i < count; ++i) {
        const std::string argument = arguments[i];
        if (optionsEnded || argument.rfind("--", 0) != 0) {
            options.coreArguments.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = argument.find('=');
        const bool hasAttached = equals != std::string::npos;
        const std::string name = argument.substr(0, equals);
        const std::string attached = hasAttached ? argument.substr(equals + 1) : "";
        const bool takesValue = name == "--jobs" || name == "--split" || name == "--worker";
        if (hasAttached && !takesValue) {
            error = name + " takes no value";
            return false;
        }
        if (name == "--jobs") {
            if (!ParseCountOption(name, count, arguments, i, attached, hasAttached, options.jobs,
                                  error))
                return false;
        } else if (name == "--split") {
            if (!ParseCountOption(name, count, arguments, i, attached, hasAttached,
                                  options.splitParts, error))
                return false;
        } else if (name == "--worker") {
            if (!TakeValue(count, arguments, i, attached, hasAttached, options.workerFile)) {
                error = "--worker needs a file name";
                return false;
            }
        } else if (name == "--skip-existing") {
            options.skipExisting = true;
        } else if (name == "--dry-run") {
            options.dryRun = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--version") {
            options.showVersion = true;
        } else if (name == "--help") {
            options.showHelp = true;
        } else {
            error = "unknown option " + name + " (kernova --help lists the options)";
            return false;
        }
    }
    return true;
}
