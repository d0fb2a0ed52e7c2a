#include "plugin_switches.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include "platform/platform.h"
#include "tests/support/process.h"

namespace testplugin {

namespace {

struct Names {
    char plugIn[128];       // file base name, e.g. "dec_a"
    char switchPrefix[128]; // upper-cased, e.g. "DEC_A"
};

std::mutex logMutex;

bool IsSeparator(char c) {
    return c == '/' || c == platform::kPathSeparator;
}

Names FindOwnNames() {
    Names names{"unknown", "UNKNOWN"};
    const std::string path = platform::GetModulePath(reinterpret_cast<const void *>(&PlugInName));
    if (path.empty())
        return names;
    const auto separator = std::find_if(path.rbegin(), path.rend(), IsSeparator);
    const std::string base(separator.base(), path.end());
    const size_t dot = base.rfind('.');
    const size_t length =
        std::min(dot == std::string::npos ? base.size() : dot, sizeof names.plugIn - 1);
    for (size_t i = 0; i < length; ++i) {
        names.plugIn[i] = base[i];
        names.switchPrefix[i] =
            static_cast<char>(std::toupper(static_cast<unsigned char>(base[i])));
    }
    names.plugIn[length] = '\0';
    names.switchPrefix[length] = '\0';
    return names;
}

// Found on first use, since other libraries' constructors may log before ours ran.
const Names &OwnNames() {
    static const Names names = FindOwnNames();
    return names;
}

bool ReadSwitch(const char *key, std::string &value) {
    const std::string name = std::string(OwnNames().switchPrefix) + "_" + key;
    value = platform::GetEnvironment(name.c_str());
    return platform::HasEnvironment(name.c_str());
}

} // namespace

const char *PlugInName() {
    return OwnNames().plugIn;
}

long NumberSwitch(const char *key, long fallback) {
    std::string value;
    return ReadSwitch(key, value) && !value.empty() ? std::strtol(value.c_str(), nullptr, 0)
                                                    : fallback;
}

std::string TextSwitch(const char *key, const std::string &fallback) {
    std::string value;
    return ReadSwitch(key, value) ? value : fallback;
}

std::string ExtensionBlock(const std::string &list) {
    std::string block;
    for (size_t start = 0; start < list.size();) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string pair = list.substr(start, end - start);
        const size_t bar = pair.find('|');
        block += pair.substr(0, bar) + '\0';
        if (bar != std::string::npos)
            block += pair.substr(bar + 1);
        block += '\0';
        start = end + 1;
    }
    return block + '\0';
}

bool IsSlotToEmpty(const char *name) {
    return ("," + TextSwitch("EMPTY_SLOTS", "") + ",").find("," + std::string(name) + ",") !=
           std::string::npos;
}

std::string WithoutFolder(const std::string &path) {
    const auto separator = std::find_if(path.rbegin(), path.rend(), IsSeparator);
    return std::string(separator.base(), path.end());
}

void LogEvent(const std::string &event) {
    const std::string path = platform::GetEnvironment("KN_TEST_LOG");
    if (path.empty())
        return;
    std::lock_guard<std::mutex> lock(logMutex);
    if (FILE *file = std::fopen(path.c_str(), "a")) {
        std::fprintf(file, "%s %s\n", PlugInName(), event.c_str());
        std::fclose(file);
    }
}

std::string Number(long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

const char *WindowKind(const void *window) {
    if (window == nullptr)
        return "null";
#if defined(_WIN32)
    // Windows has one desktop window for every process.
    return window == platform::GetDesktopWindow() ? "desktop" : "shadow";
#else
    return platform::GetModulePath(window).empty() ? "shadow" : "desktop";
#endif
}

bool CallCoreExport(const char *name, int levelsUp) {
    std::string path = platform::GetModulePath(reinterpret_cast<const void *>(&PlugInName));
    for (int i = 0; i <= levelsUp; ++i) {
        const auto separator = std::find_if(path.rbegin(), path.rend(), IsSeparator);
        if (separator == path.rend())
            return false;
        path.erase(std::prev(separator.base()), path.end());
    }
#if defined(_WIN32)
    path += std::string(1, platform::kPathSeparator) + "kernova" + platform::kLibrarySuffix;
#else
    path += std::string(1, platform::kPathSeparator) + "libkernova" + platform::kLibrarySuffix;
#endif
    // The core is loaded already: this only borrows a reference to it.
    platform::LibraryHandle core = platform::LoadLibrary(path.c_str());
    if (core == nullptr)
        return false;
    auto function = reinterpret_cast<void (*)()>(platform::GetExport(core, name));
    if (function)
        function();
    platform::FreeLibrary(core);
    return function != nullptr;
}

LoadLog::LoadLog() {
    LogEvent("load");
}

LoadLog::~LoadLog() {
    LogEvent("unload");
}

} // namespace testplugin
