#include "host/console.h"

#include <cstdio>

#include "host/progress.h"
#include "platform/platform.h"

namespace {
// Each write of a worker wakes its parent: the start and the end of a line go out at once, what
// else the job says (its text, length and position) at most this often.
constexpr uint32_t kFrameFlushMs = 100;

std::mutex consoleMutex;
bool framedOutput = false;
uint32_t lastFrameFlush = 0;
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
    const uint32_t now = platform::GetTickCount();
    if (kind == kFrameLineStart || kind == kFrameLineDone ||
        now - lastFrameFlush >= kFrameFlushMs) {
        std::fflush(stdout);
        lastFrameFlush = now;
    }
}
