#include "tests/e2e/harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ShellQuote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

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
    CopyInto(bin / "kernova", base / "app" / "kernova");
    CopyInto(bin / "libkernova.so", base / "app" / "libkernova.so");
    if (fs::exists(bin / "plugins" / "idtagger.so"))
        CopyInto(bin / "plugins" / "idtagger.so", base / "app" / "plugins" / "idtagger.so");
    CopyInto(fs::path(KN_TEST_BIN_DIR) / "kernova_probe", base / "app" / "kernova_probe");
    if (fs::exists(fs::path(KN_TEST_BIN_DIR) / "gui_probe"))
        CopyInto(fs::path(KN_TEST_BIN_DIR) / "gui_probe", base / "app" / "gui_probe");
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

void Sandbox::AddTestPlugin(const std::string &name, const std::string &folder,
                            const std::string &asName) {
    CopyInto(fs::path(KN_TEST_PLUGIN_DIR) / (name + ".so"), fs::path(app) / folder / asName);
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

bool Sandbox::Exists(const std::string &path) const {
    fs::path target = fs::path(path).is_absolute() ? fs::path(path) : fs::path(work) / path;
    return fs::exists(target);
}

RunResult Sandbox::Run(const std::vector<std::string> &args, const std::string &cwd) const {
    return Exec((fs::path(app) / "kernova").string(), args, cwd);
}

RunResult Sandbox::Probe(const std::vector<std::string> &args, const std::string &cwd) const {
    return Exec((fs::path(app) / "kernova_probe").string(), args, cwd);
}

RunResult Sandbox::Exec(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd) const {
    const fs::path out = fs::path(root) / "stdout.txt";
    const fs::path err = fs::path(root) / "stderr.txt";
    const fs::path rc = fs::path(root) / "rc.txt";
    std::string command = "cd " + ShellQuote(cwd.empty() ? work : cwd) + " && env";
    for (const auto &[name, value] : env)
        command += " " + ShellQuote(name + "=" + value);
    // A hung run must fail its test, not stall the whole suite.
    command += " timeout -k 5 " + std::to_string(timeoutSeconds) + " " + ShellQuote(program);
    for (const auto &arg : args)
        command += " " + ShellQuote(arg);
    command += " </dev/null >" + ShellQuote(out.string()) + " 2>" + ShellQuote(err.string());
    command = "sh -c " + ShellQuote(command + "; echo $? >" + ShellQuote(rc.string()));
    std::system(command.c_str());
    RunResult result;
    result.out = Slurp(out);
    result.err = Slurp(err);
    result.exitCode = std::atoi(Slurp(rc).c_str());
    return result;
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
