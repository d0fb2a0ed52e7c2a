#include "host/callbacks.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "host/console.h"
#include "host/messages.h"
#include "host/progress.h"
#include "kernova/message_codes.h"

namespace {

// Extensions of a listing are shown in a column this wide.
constexpr std::size_t kExtensionColumn = 8;

std::atomic<bool> tagLibraryFailed{false};

// State below is guarded by the console lock.

// A listing sends a module's name and its description, and each extension and its description,
// as two messages; the first half waits here for the second.
struct PendingListing {
    bool hasModule = false;
    std::string module;
    bool hasExtension = false;
    std::string extension;
};
PendingListing pending;
bool usageShown = false;
// A notice whose text the encoder's parameters (the next message) complete.
std::string pendingNotice;
bool conversionAnnounced = false; // 202 came in the current job
bool jobFailed = false;           // some job of the command did not succeed
bool quiet = false;
void (*jobStartHook)() = nullptr;
RunTally tally;
JobLength jobLength;

std::string ExtensionLine(const std::string &extension, const std::string &description) {
    std::string line = "    " + extension;
    if (extension.size() < kExtensionColumn)
        line.append(kExtensionColumn - extension.size(), ' ');
    return line + "  " + description + "\n";
}

void FlushListing() {
    if (pending.hasModule)
        PrintOut(pending.module + "\n");
    if (pending.hasExtension)
        PrintOut(ExtensionLine(pending.extension, ""));
    pending = PendingListing{};
}

void ShowListingPart(int code, intptr_t argument) {
    switch (code) {
    case KN_MSG_MODULE_FILE:
        FlushListing();
        pending.hasModule = true;
        pending.module = FormatMessage(code, argument);
        break;
    case KN_MSG_MODULE_DESCRIPTION: {
        std::string line = pending.hasModule ? pending.module + "  " : "";
        pending.hasModule = false;
        PrintOut(line + FormatMessage(code, argument) + "\n");
        break;
    }
    case KN_MSG_MODULE_EXTENSION:
        FlushListing();
        pending.hasExtension = true;
        pending.extension = FormatMessage(code, argument);
        break;
    default: {
        std::string extension = pending.extension;
        pending.hasExtension = false;
        PrintOut(ExtensionLine(extension, FormatMessage(code, argument)));
        break;
    }
    }
}

bool IsJobResult(int code) {
    return code == KN_RESULT_DONE || code == KN_RESULT_FAILED || code == KN_RESULT_STOPPED ||
           code == KN_RESULT_NOT_EXECUTABLE || code == KN_RESULT_CONVERTER_START;
}

// Lines of a job's own report, which --quiet leaves out.
bool IsReportLine(int code) {
    switch (code) {
    case KN_MSG_CPU_PRIORITY:
    case KN_MSG_SOURCE_DELETED:
    case KN_MSG_DECODER_PARAMS:
    case KN_MSG_TAGS_COPIED:
    case KN_MSG_SETID_FILE:
    case KN_MSG_SETID_WRITTEN:
    case KN_MSG_INPUT:
    case KN_MSG_OUTPUT:
    case KN_MSG_ENCODER_PARAMS:
    case KN_MSG_ENCODER:
    case KN_MSG_NEXT_PASS:
    case KN_MSG_DECODER:
        return true;
    default:
        return IsJobResult(code);
    }
}

void ShowJobResult(int code) {
    if (code != KN_RESULT_DONE)
        jobFailed = true;
    CountJobResult(tally, code, conversionAnnounced, jobLength.Seconds());
    // Listings, help and tag jobs have shown their result already; a conversion gets a line.
    if (!quiet && (code != KN_RESULT_DONE || conversionAnnounced))
        PrintOut(FormatMessage(code, 0) + "\n");
    if (IsFramedOutput())
        SendFrame(kFrameResult, std::to_string(code) + (conversionAnnounced ? " 1" : " 0"));
    conversionAnnounced = false;
}

// Codes sent as errors that tell of a job going on as asked: shown as notices.
bool IsNotice(int code) {
    return code == KN_ERR_FIXFREQ_CHANGED || code == KN_ERR_FIXFREQ_FAMILY ||
           code == KN_ERR_SHOW_PARAMS;
}

// The parameters that the encoder's notice announced go onto its line.
bool CompleteNotice(int code, intptr_t argument) {
    if (pendingNotice.empty())
        return false;
    std::string text = pendingNotice;
    pendingNotice.clear();
    if (code != KN_MSG_ENCODER_PARAMS) {
        PrintDiagnostic("notice", text);
        return false;
    }
    PrintDiagnostic("notice", text + ": " + reinterpret_cast<const char *>(argument));
    return true;
}

void OnMessage(int code, intptr_t argument) {
    auto lock = LockConsole();
    if (CompleteNotice(code, argument))
        return;
    switch (code) {
    case KN_MSG_MODULE_FILE:
    case KN_MSG_MODULE_DESCRIPTION:
    case KN_MSG_MODULE_EXTENSION:
    case KN_MSG_EXTENSION_DESCRIPTION:
        ShowListingPart(code, argument);
        return;
    case KN_MSG_KEY_HELP:
        // The core ends the help text with its own two line feeds.
        FlushListing();
        PrintOut(FormatMessage(code, argument));
        return;
    case KN_MSG_INPUT:
        jobLength.Start();
        StartProgress(reinterpret_cast<const char *>(argument));
        if (jobStartHook)
            jobStartHook();
        break;
    case KN_MSG_OUTPUT:
        conversionAnnounced = true;
        break;
    case KN_MSG_NEXT_PASS:
        RestartProgressPass();
        break;
    default:
        break;
    }
    FlushListing();
    if (IsJobResult(code))
        ShowJobResult(code);
    else if (!quiet || !IsReportLine(code))
        PrintOut(FormatMessage(code, argument) + "\n");
}

void OnError(int code, intptr_t argument) {
    if (code == KN_ERR_TAG_LIBRARY_LOAD || code == KN_ERR_TAG_LIBRARY_EXPORT ||
        code == KN_ERR_TAG_LIBRARY_SLOTS)
        tagLibraryFailed = true;
    auto lock = LockConsole();
    FlushListing();
    CompleteNotice(code, 0);
    if (code == KN_ERR_FIXFREQ_CHANGED || code == KN_ERR_SHOW_PARAMS)
        pendingNotice = FormatMessage(code, argument);
    else
        PrintDiagnostic(IsNotice(code) ? "notice" : "error", FormatMessage(code, argument));
}

void OnPosition(int seconds) {
    auto lock = LockConsole();
    jobLength.OnPosition(seconds);
    if (IsFramedOutput())
        SendFrame(kFramePosition, std::to_string(seconds));
    else
        SetProgressPosition(seconds);
}

void OnLength(int seconds) {
    auto lock = LockConsole();
    jobLength.OnLength(seconds);
    if (IsFramedOutput())
        SendFrame(kFrameLength, std::to_string(seconds));
    else
        SetProgressLength(seconds);
}

void OnUnknownKey() {
    auto lock = LockConsole();
    FlushListing();
    // The core may report one bad key twice; the usage text is shown once.
    if (!usageShown)
        PrintOut(kUsageText);
    usageShown = true;
}

} // namespace

bool AnyJobFailed() {
    auto lock = LockConsole();
    return jobFailed;
}

void InstallCallbacks(HostCallbacks &table) {
    table.onMessage = OnMessage;
    table.onError = OnError;
    table.onPosition = OnPosition;
    table.onLength = OnLength;
    table.onUnknownKey = OnUnknownKey;
}

bool TagLibraryFailed() {
    return tagLibraryFailed;
}

void FinishOutput() {
    auto lock = LockConsole();
    CompleteNotice(0, 0);
    FlushListing();
    ClearProgressLine();
    std::fflush(stdout);
}

void PrintWarning(const std::string &text) {
    auto lock = LockConsole();
    PrintDiagnostic("warning", text);
}

void PrintNote(const std::string &text) {
    auto lock = LockConsole();
    PrintDiagnostic(nullptr, text);
}

void SetQuiet(bool enabled) {
    auto lock = LockConsole();
    quiet = enabled;
}

void SetJobStartHook(void (*hook)()) {
    auto lock = LockConsole();
    jobStartHook = hook;
}

RunTally GetTally() {
    auto lock = LockConsole();
    return tally;
}
