#include "host/arguments.h"

std::string JoinArguments(int count, const char *const *arguments) {
    std::string line;
    for (int i = 1; i < count; ++i) {
        if (i > 1)
            line += ' ';
        line += arguments[i];
    }
    return line;
}
