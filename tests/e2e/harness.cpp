#include "tests/e2e/harness.h"

#include "platform/platform.h"
#include "tests/support/process.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void CopyInto(const fs::path &from, const fs::path &to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// Windows programs end their printed lines with "\r\n"; the tests compare lines.
std::string WithUnixLineEnds(std::string text) {
#if defined(_WIN32)
    std::string unix;
    unix.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n')
            unix += text[i];
    }
    return unix;
#else
    return text;
#endif
}

// The summary line ("kernova: 3 converted, ...") holds times: tests compare it apart.
std::string TakeSummary(std::string &err) {
    if (err.empty() || err.back() != '\n')
        return "";
    const std::size_t previousEnd =
        err.size() > 1 ? err.rfind('\n', err.size() - 2) : std::string::npos;
    const std::size_t start = previousEnd == std::string::npos ? 0 : previousEnd + 1;
    const std::string line = err.substr(start, err.size() - 1 - start);
    const std::string prefix = "kernova: ";
    if (line.rfind(prefix, 0) != 0 || line.size() <= prefix.size() ||
        !std::isdigit(static_cast<unsigned char>(line[prefix.size()])) ||
        line.find(" converted, ") == std::string::npos)
        return "";
    err.erase(start);
    return line;
}

} // namespace

Sandbox::Sandbox() {
    std::random_device device;
    std::mt19937_64 generator(device());
    fs::path base = fs::temp_directory_path() / ("kernova-test-" + std::to_string(generator()));
    fs::create_directories(base / "app");
    fs::create_directories(base / "work");
    root = base.string();
    app = (base / "app").string();
    work = (base / "work").string();
    const fs::path bin = KN_BIN_DIR;
    CopyInto(bin / ProgramFile("kernova"), base / "app" / ProgramFile("kernova"));
    CopyInto(bin / CoreLibraryFile(), base / "app" / CoreLibraryFile());
    // Builds without the tag plug-in (Windows) run without one.
    const std::string tagger = LibraryFile("idtagger");
    if (fs::exists(bin / "plugins" / tagger))
        CopyInto(bin / "plugins" / tagger, base / "app" / "plugins" / tagger);
    const fs::path testBin = KN_TEST_BIN_DIR;
    CopyInto(testBin / ProgramFile("kernova_probe"), base / "app" / ProgramFile("kernova_probe"));
    if (fs::exists(testBin / ProgramFile("gui_probe")))
        CopyInto(testBin / ProgramFile("gui_probe"), base / "app" / ProgramFile("gui_probe"));
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

void Sandbox::AddTestPlugin(const std::string &name, const std::string &folder,
                            const std::string &asName) {
    CopyInto(fs::path(KN_TEST_PLUGIN_DIR) / LibraryFile(name), fs::path(app) / folder / asName);
}

void Sandbox::AddBuiltPlugin(const std::string &relative) {
    CopyInto(fs::path(KN_BIN_DIR) / relative, fs::path(app) / relative);
}

std::string Sandbox::Path(const std::string &relative) const {
    return (fs::path(work) / relative).string();
}

void Sandbox::WriteFile(const std::string &path, const std::string &content) {
    fs::path target = fs::path(path).is_absolute() ? fs::path(path) : fs::path(work) / path;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary);
    out << content;
}

std::string Sandbox::ReadFile(const std::string &path) const {
    fs::path target = fs::path(path).is_absolute() ? fs::path(path) : fs::path(work) / path;
    return Slurp(target);
}

std::string Sandbox::ReadText(const std::string &path) const {
    return WithUnixLineEnds(ReadFile(path));
}

bool Sandbox::Exists(const std::string &path) const {
    fs::path target = fs::path(path).is_absolute() ? fs::path(path) : fs::path(work) / path;
    return fs::exists(target);
}

RunResult Sandbox::Run(const std::vector<std::string> &args, const std::string &cwd) const {
    return Exec((fs::path(app) / ProgramFile("kernova")).string(), args, cwd);
}

RunResult Sandbox::Probe(const std::vector<std::string> &args, const std::string &cwd) const {
    return Exec((fs::path(app) / ProgramFile("kernova_probe")).string(), args, cwd);
}

RunResult Sandbox::Exec(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd) const {
    const fs::path out = fs::path(root) / "stdout.txt";
    const fs::path err = fs::path(root) / "stderr.txt";
    const std::vector<std::pair<std::string, std::string>> variables(env.begin(), env.end());
    // A run that cannot start must not show the output of the run before it.
    std::error_code ignored;
    fs::remove(out, ignored);
    fs::remove(err, ignored);
    RunResult result;
    // A hung run must fail its test (124), not stall the whole suite.
    result.exitCode = platform::RunProcess(program, args, cwd.empty() ? work : cwd, variables,
                                           out.string(), err.string(), timeoutSeconds);
    // Under Wine a child now and then fails to start (-1) while the Wine server is busy with the
    // run before; one more try tells that apart from a program that cannot start at all.
    if (result.exitCode == -1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        result.exitCode = platform::RunProcess(program, args, cwd.empty() ? work : cwd, variables,
                                               out.string(), err.string(), timeoutSeconds);
    }
    result.out = WithUnixLineEnds(Slurp(out));
    result.err = WithUnixLineEnds(Slurp(err));
    result.summary = TakeSummary(result.err);
    return result;
}

std::string ProgramFile(const std::string &name) {
    return name + platform::kExecutableSuffix;
}

std::string LibraryFile(const std::string &name) {
    return name + platform::kLibrarySuffix;
}

std::string CoreLibraryFile() {
#if defined(_WIN32)
    return LibraryFile("kernova");
#else
    return LibraryFile("libkernova");
#endif
}

std::string NativePath(const std::string &path) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', platform::kPathSeparator);
    return native;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string ShellQuote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool RunShell(const std::string &command) {
    return std::system(("sh -c " + ShellQuote(command) + " >/dev/null 2>&1").c_str()) == 0;
}
