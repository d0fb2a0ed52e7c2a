// End-to-end test harness: a throw-away install folder with the built program, the core, the
// tag plug-in and the probe host, plus whatever test plug-ins a test puts in.
#pragma once

#include <map>
#include <string>
#include <vector>

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;     // without the summary line
    std::string summary; // the summary line that ends a run of conversions, without its line end
};

class Sandbox {
  public:
    // Copies the program, the core library, the tag plug-in (where the build has one) and the
    // probes from the build into <root>/app; <root>/work is the current folder of the runs.
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    std::string root; // the temporary folder
    std::string app;  // folder of the program (plugins/ below it)
    std::string work; // current folder of the runs

    // Copies the test plug-in <name><suffix> (from the test plug-in folder) into
    // app/<folder>/<asName>.
    void AddTestPlugin(const std::string &name, const std::string &folder,
                       const std::string &asName);
    // Copies a plug-in of the real build (bin/<relative>) into app/<relative>.
    void AddBuiltPlugin(const std::string &relative);
    // Writes a file (folders created); a relative path is taken below `work`.
    void WriteFile(const std::string &path, const std::string &content);
    std::string ReadFile(const std::string &path) const;
    // A text file the program wrote, with "\n" line ends on every system.
    std::string ReadText(const std::string &path) const;
    bool Exists(const std::string &path) const;
    std::string Path(const std::string &relative) const; // work/<relative>

    // Environment variables for the runs (test plug-ins read their switches from there).
    std::map<std::string, std::string> env;
    // Seconds a run may take before it is killed (exit code 124).
    int timeoutSeconds = 120;

    // Runs app/kernova with the arguments, in `work` (or cwd when given).
    RunResult Run(const std::vector<std::string> &args, const std::string &cwd = "") const;
    // Runs the probe host: each argument is one command line (or a probe option).
    RunResult Probe(const std::vector<std::string> &args, const std::string &cwd = "") const;
    // Runs any program (a full path) the same way.
    RunResult Exec(const std::string &program, const std::vector<std::string> &args,
                   const std::string &cwd = "") const;
};

// "kernova" -> "kernova" here, "kernova.exe" on Windows.
std::string ProgramFile(const std::string &name);
// "dec_a" -> "dec_a.so" here, "dec_a.dll" on Windows.
std::string LibraryFile(const std::string &name);
// The core library's file name: "libkernova.so" here, "kernova.dll" on Windows.
std::string CoreLibraryFile();
// "out/a.wav" with the system's folder separator.
std::string NativePath(const std::string &path);

// The text in single quotes for a POSIX shell.
std::string ShellQuote(const std::string &text);
// Runs a POSIX shell command with its output thrown away; true when it exits with 0.
bool RunShell(const std::string &command);

// Lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string &text);
