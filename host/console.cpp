#include "host/console.h"

#include <cstdio>

#include "host/progress.h"

namespace {
std::mutex consoleMutex;
} // namespace

std::unique_lock<std::mutex> LockConsole() {
    return std::unique_lock<std::mutex>(consoleMutex);
}

void PrintOut(const std::string &text) {
    ClearProgressLine();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintDiagnostic(const char *kind, const std::string &text) {
    ClearProgressLine();
    std::fflush(stdout);
    if (kind)
        std::fprintf(stderr, "kernova: %s: %s\n", kind, text.c_str());
    else
        std::fprintf(stderr, "kernova: %s\n", text.c_str());
}
