#include "host/split.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <vector>

#include "host/console.h"
#include "host/job_lines.h"
#include "platform/platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr const char *kBatchExtension = ".xfb";

void PrintError(const std::string &text) {
    auto lock = LockConsole();
    PrintDiagnostic("error", text);
}

// The file as given, else with the batch files' extension, as -BATCH would find it.
std::string FindBatchFile(const std::string &name) {
    if (platform::FileExists(name.c_str()) || HasCoreExtension(name))
        return name;
    return name + kBatchExtension;
}

std::string PartName(const std::string &file, unsigned part) {
    std::string base = file;
    const std::size_t extension = base.size() >= 4 ? base.size() - 4 : 0;
    std::string tail = base.substr(extension);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (tail == kBatchExtension)
        base.erase(extension);
    return base + "-" + std::to_string(part) + kBatchExtension;
}

// The work of a line: the size of its source stands for the source's length.
uint64_t WeightOf(const std::string &line) {
    const std::string input = KeyArgument(SplitJobLine(line), "-I").value_or("");
    int64_t modified = 0;
    uint64_t size = 0;
    platform::GetFileStamp(input.c_str(), modified, size);
    return size + 1;
}

// Biggest line first into the part with the least work so far; each part keeps the lines in
// the batch file's order.
std::vector<std::vector<std::size_t>> Balance(const std::vector<std::string> &lines,
                                              unsigned parts) {
    std::vector<uint64_t> weights;
    for (const std::string &line : lines)
        weights.push_back(WeightOf(line));
    std::vector<std::size_t> order(lines.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return weights[a] > weights[b]; });
    std::vector<std::vector<std::size_t>> assigned(parts);
    std::vector<uint64_t> load(parts, 0);
    for (std::size_t index : order) {
        const auto lightest = std::min_element(load.begin(), load.end()) - load.begin();
        assigned[lightest].push_back(index);
        load[lightest] += weights[index];
    }
    for (auto &part : assigned)
        std::sort(part.begin(), part.end());
    return assigned;
}

bool WritePart(const std::string &name, const std::vector<std::string> &lines,
               const std::vector<std::size_t> &part) {
    std::FILE *out = std::fopen(name.c_str(), "w");
    if (!out)
        return false;
    bool written = true;
    for (std::size_t index : part)
        written = std::fprintf(out, "%s\n", lines[index].c_str()) >= 0 && written;
    return std::fclose(out) == 0 && written;
}

} // namespace

int SplitBatchFile(const std::string &name, unsigned parts) {
    const std::string file = FindBatchFile(name);
    std::vector<std::string> lines;
    if (!ReadJobLines(file, lines)) {
        PrintError(file + ": cannot read the batch file");
        return kExitFailure;
    }
    if (lines.empty()) {
        PrintError(file + ": the batch file holds no job line");
        return kExitFailure;
    }
    if (lines.size() < parts) {
        auto lock = LockConsole();
        PrintDiagnostic("warning", file + ": " + std::to_string(lines.size()) +
                                       " job lines make only as many batch files");
    }
    const auto assigned =
        Balance(lines, static_cast<unsigned>(std::min<std::size_t>(parts, lines.size())));
    for (std::size_t i = 0; i < assigned.size(); ++i) {
        const std::string partName = PartName(file, static_cast<unsigned>(i + 1));
        if (!WritePart(partName, lines, assigned[i])) {
            PrintError(partName + ": cannot write the batch file");
            return kExitFailure;
        }
        auto lock = LockConsole();
        PrintOut(partName + "\n");
    }
    return kExitSuccess;
}
