#include "host/progress.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

// Long names keep their end: that is where files of one folder differ.
constexpr std::size_t kMaxNameLength = 40;
constexpr std::size_t kBatchNameLength = 24;
// After a job that succeeded the core reports length 100 and position 200.
constexpr int kFinishedLength = 100;
constexpr int kFinishedPosition = 200;

struct ProgressState {
    bool enabled = false;
    bool active = false; // between a job's start and its finish mark
    bool shown = false;  // a line is on the terminal now
    std::string name;
    int lengthSeconds = 0; // 0: not known
    uint32_t startTick = 0;
};

ProgressState state;

std::string ShortName(const char *inputName, std::size_t maxLength = kMaxNameLength) {
    std::string name = inputName ? inputName : "";
    auto separator = name.rfind(platform::kPathSeparator);
    if (separator != std::string::npos)
        name.erase(0, separator + 1);
    if (name.size() > maxLength)
        name = "..." + name.substr(name.size() - (maxLength - 3));
    return name;
}

void DrawLine(int position) {
    double elapsed = (platform::GetTickCount() - state.startTick) / 1000.0;
    std::fprintf(stderr, "\r%s", state.name.c_str());
    if (state.lengthSeconds > 0)
        std::fprintf(stderr, "  %3d%%",
                     std::min(position, state.lengthSeconds) * 100 / state.lengthSeconds);
    else
        std::fprintf(stderr, "  %d s of audio", position);
    std::fprintf(stderr, "  %.0f s", elapsed);
    if (elapsed >= 0.1)
        std::fprintf(stderr, "  %.1fx", position / elapsed);
    std::fputs("\x1b[K", stderr);
    state.shown = true;
}

} // namespace

void EnableProgress(bool enabled) {
    state.enabled = enabled;
}

void StartProgress(const char *inputName) {
    state.active = true;
    state.name = ShortName(inputName);
    state.lengthSeconds = 0;
    state.startTick = platform::GetTickCount();
}

void RestartProgressPass() {
    state.startTick = platform::GetTickCount();
}

void SetProgressLength(int seconds) {
    state.lengthSeconds = seconds > 0 ? seconds : 0;
}

void SetProgressPosition(int seconds) {
    if (!state.enabled || !state.active)
        return;
    if (state.lengthSeconds == kFinishedLength && seconds == kFinishedPosition) {
        ClearProgressLine();
        state.active = false;
        return;
    }
    DrawLine(seconds < 0 ? 0 : seconds);
}

void ShowBatchProgress(const BatchProgress &progress) {
    if (!state.enabled)
        return;
    std::string line =
        "\r[" + std::to_string(progress.done) + "/" + std::to_string(progress.total) + "]";
    // A few names keep the line within a terminal's width.
    constexpr std::size_t kShownNames = 2;
    for (std::size_t i = 0; i < progress.current.size() && i < kShownNames; ++i)
        line += (i == 0 ? "  " : ", ") + ShortName(progress.current[i].c_str(), kBatchNameLength);
    if (progress.current.size() > kShownNames)
        line += " +" + std::to_string(progress.current.size() - kShownNames);
    char text[64];
    if (progress.elapsedSeconds >= 0.1) {
        std::snprintf(text, sizeof text, "  %.1fx",
                      progress.audioSeconds / progress.elapsedSeconds);
        line += text;
    }
    if (progress.secondsLeft >= 0) {
        const long left = static_cast<long>(progress.secondsLeft + 0.5);
        std::snprintf(text, sizeof text, "  %ld:%02ld left", left / 60, left % 60);
        line += text;
    }
    std::fputs((line + "\x1b[K").c_str(), stderr);
    state.shown = true;
}

void ClearProgressLine() {
    if (!state.shown)
        return;
    std::fputs("\r\x1b[K", stderr);
    state.shown = false;
}
