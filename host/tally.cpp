#include "host/tally.h"

#include <cstdio>

#include "kernova/message_codes.h"

void CountJobResult(RunTally &tally, int result, bool announcedOutput, int lengthSeconds) {
    if (result == KN_RESULT_DONE) {
        // Listings and help lines of a batch are done too, but convert nothing.
        if (announcedOutput) {
            ++tally.converted;
            tally.audioSeconds += lengthSeconds;
        }
    } else if (result == KN_RESULT_STOPPED) {
        ++tally.stopped;
    } else {
        ++tally.failed;
    }
}

std::string FormatSummary(const RunTally &tally, double elapsedSeconds) {
    std::string line = "kernova: " + std::to_string(tally.converted) + " converted, " +
                       std::to_string(tally.failed) + " failed, " + std::to_string(tally.skipped) +
                       " skipped";
    if (tally.stopped > 0)
        line += ", " + std::to_string(tally.stopped) + " stopped";
    if (tally.notRun > 0)
        line += ", " + std::to_string(tally.notRun) + " not run";
    char text[64];
    std::snprintf(text, sizeof text, " in %.1f s", elapsedSeconds);
    line += text;
    if (tally.audioSeconds > 0 && elapsedSeconds > 0) {
        const double speed = tally.audioSeconds / elapsedSeconds;
        std::snprintf(text, sizeof text,
                      speed >= 10 ? " (%.0f\u00d7 realtime)" : " (%.1f\u00d7 realtime)", speed);
        line += text;
    }
    return line;
}
