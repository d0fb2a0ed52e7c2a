#include "convert/safe_output.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "convert/QZ_Conv_func.h"
#include "convert/QZ_Convertor.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"

namespace {

// "<folder>/<base>.kernova-partial-<pid>.<extension>", or without the extension when the
// file part has none.
std::string MakePartialName(const std::string &target) {
    const std::size_t separator = target.rfind(platform::kPathSeparator);
    const std::size_t fileStart = separator == std::string::npos ? 0 : separator + 1;
    std::size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot <= fileStart)
        dot = target.size();
    return target.substr(0, dot) + kPartialOutputMark +
           std::to_string(platform::CurrentProcessId()) + target.substr(dot);
}

void ReportRefusedOutput(int error) {
    converterState.onError(KernovaWriteErrorCode(error), TextArg(converterState.outputName));
    converterState.onError(KN_ERR_OUTPUT_CREATE, TextArg(converterState.outputName));
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// After the mark: the process id, then the end of the name or one extension.
bool EndsPartialName(const char *rest) {
    const char *end = rest;
    while (IsDigit(*end))
        ++end;
    return end > rest && (*end == '\0' || (*end == '.' && std::strchr(end + 1, '.') == nullptr));
}

} // namespace

bool IsPartialOutputName(const char *fileName) {
    const std::size_t markLength = std::strlen(kPartialOutputMark);
    for (const char *at = std::strstr(fileName, kPartialOutputMark); at != nullptr;
         at = std::strstr(at + 1, kPartialOutputMark)) {
        if (EndsPartialName(at + markLength))
            return true;
    }
    return false;
}

bool PrepareOutput() {
    FreeString(&converterState.partialName);
    const char *output = converterState.outputName;
    if (!output)
        return true;
    const platform::FileKind kind = platform::GetFileKind(output);
    // A device or a pipe (/dev/null, /dev/full) is written as it is: it holds no earlier
    // result to keep, and it must never be replaced by a regular file.
    if (kind == platform::FileKind::Device)
        return true;
    if (kind == platform::FileKind::Folder) {
        ReportRefusedOutput(EISDIR);
        return false;
    }
    // A link keeps pointing to the file it names: that file is the one replaced.
    const std::string target = platform::ResolveLinks(output);
    if (kind == platform::FileKind::Regular) {
        const int error = platform::CheckWritable(target.c_str());
        if (error != 0) {
            ReportRefusedOutput(error);
            return false;
        }
    }
    AssignString(MakePartialName(target).c_str(), &converterState.partialName);
    return true;
}

const char *WrittenOutputName() {
    return converterState.partialName ? converterState.partialName : converterState.outputName;
}

bool CommitOutput() {
    const char *partial = converterState.partialName;
    if (!partial || platform::GetFileKind(partial) == platform::FileKind::Missing)
        return true;
    const std::string target = platform::ResolveLinks(converterState.outputName);
    const int error = platform::MoveFileOver(partial, target.c_str());
    if (error == 0)
        return true;
    ReportRefusedOutput(error);
    DiscardOutput();
    return false;
}

void DiscardOutput() {
    if (converterState.partialName)
        platform::DeleteFile(converterState.partialName);
}
