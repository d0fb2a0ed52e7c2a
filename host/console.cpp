#include "host/console.h"

#include <cstdio>

#include "host/progress.h"

namespace {
std::mutex consoleMutex;
bool framedOutput = false;
} // namespace

std::unique_lock<std::mutex> LockConsole() {
    return std::unique_lock<std::mutex>(consoleMutex);
}

void SetFramedOutput(bool framed) {
    framedOutput = framed;
}

bool IsFramedOutput() {
    return framedOutput;
}

void PrintOut(const std::string &text) {
    ClearProgressLine();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintDiagnostic(const char *kind, const std::string &text) {
    const std::string line =
        kind != nullptr ? std::string("kernova: ") + kind + ": " + text : "kernova: " + text;
    if (framedOutput)
        SendFrame(kFrameError, line);
    else
        PrintErrorLine(line);
}

void PrintErrorLine(const std::string &line) {
    ClearProgressLine();
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void SendFrame(char kind, const std::string &payload) {
    std::fprintf(stdout, "%c%c%s\n", kFrameMark, kind, payload.c_str());
    std::fflush(stdout);
}
