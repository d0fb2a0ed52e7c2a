#include "host/job_plan.h"

#include <algorithm>

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "host/arguments.h"
#include "host/callbacks.h"
#include "host/console.h"
#include "host/messages.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"

namespace {

// The longest command line the core takes.
constexpr std::size_t kLongestCommandLine = 4095;
constexpr int kWaitMs = 100;
constexpr int kExitFailure = 1;
constexpr int kExitInterrupted = 130;
constexpr const char *kAuto = "AUTO";

bool SameText(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The encoders and their extensions, from the core's own listing; read when first needed.
class EncoderCatalog {
  public:
    explicit EncoderCatalog(const CoreLibrary &core) : core_(core) {}

    std::string ExtensionOf(const std::string &encoder) {
        Load();
        for (const Entry &entry : entries_) {
            if (SameText(entry.name, encoder))
                return entry.extension;
        }
        return std::string();
    }

    // The encoder that "AUTO" picks for an output name: the first one for its extension.
    std::string EncoderFor(const std::string &output) {
        const std::size_t dot = output.rfind('.');
        if (!HasCoreExtension(output) || dot == std::string::npos)
            return std::string();
        Load();
        for (const Entry &entry : entries_) {
            if (SameText(entry.extension, output.substr(dot + 1)))
                return entry.name;
        }
        return std::string();
    }

  private:
    struct Entry {
        std::string name;
        std::string extension;
    };

    static void Collect(int code, intptr_t argument) {
        const char *text = argument ? reinterpret_cast<const char *>(argument) : "";
        if (code == KN_MSG_MODULE_FILE)
            collecting->push_back(Entry{text, ""});
        else if (code == KN_MSG_MODULE_EXTENSION && !collecting->empty() &&
                 collecting->back().extension.empty())
            collecting->back().extension = text;
    }

    void Load() {
        if (loaded_)
            return;
        loaded_ = true;
        HostCallbacks *table = core_.getTable();
        const auto shown = table->onMessage;
        collecting = &entries_;
        table->onMessage = Collect;
        core_.doCommand("-LISTENC");
        table->onMessage = shown;
        collecting = nullptr;
    }

    static inline std::vector<Entry> *collecting = nullptr;
    const CoreLibrary &core_;
    bool loaded_ = false;
    std::vector<Entry> entries_;
};

void Print(const std::string &text) {
    auto lock = LockConsole();
    PrintOut(text);
}

// The length of the command line that the core gets from these arguments.
std::size_t CommandLength(const std::vector<std::string> &arguments) {
    std::size_t length = 0;
    for (const std::string &argument : arguments)
        length += argument.size() + 1;
    return length == 0 ? 0 : length - 1;
}

// The core's own lines while it expanded the command, without the note that names the batch
// file it wrote.
std::string WithoutBatchNote(std::string text, const std::string &file) {
    std::string clean;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
            clean += text[i];
    }
    const std::string note = "Batch file created:\n" + file + "\n";
    const std::size_t at = clean.rfind(note);
    if (at != std::string::npos)
        clean.erase(at, note.size());
    return clean;
}

std::string ReadWholeFile(const std::string &file) {
    std::string text;
    std::FILE *in = std::fopen(file.c_str(), "rb");
    if (!in)
        return text;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, got);
    std::fclose(in);
    return text;
}

// Runs the command in this process's core with stdout sent into a file of the run's folder, as
// the core prints some of its lines itself; false when stdout cannot be sent there.
bool ExpandHere(const CoreLibrary &core, const std::vector<std::string> &command,
                const std::string &folder, const std::atomic<int> &interrupts, std::string &printed,
                int &status) {
    const std::string held = folder + platform::kPathSeparator + "expansion.txt";
    if (!platform::RedirectStdout(held))
        return false;
    std::vector<const char *> words{"kernova"};
    for (const std::string &word : command)
        words.push_back(word.c_str());
    HostCallbacks *table = core.getTable();
    std::atomic_ref<int>(table->lastResult).store(0);
    const int accepted =
        core.doCommand(JoinArguments(static_cast<int>(words.size()), words.data()).c_str());
    FinishOutput();
    platform::RestoreStdout();
    printed = ReadWholeFile(held);
    platform::DeleteFile(held.c_str());
    const int result = std::atomic_ref<int>(table->lastResult).load();
    const bool stopped = interrupts.load() > 0;
    if (stopped)
        PrintNote("stopped by the user");
    status = accepted && !stopped && (result == 0 || result == KN_RESULT_DONE) ? 0 : kExitFailure;
    return true;
}

// The same in a program of its own, whose output is this process's to read. A second Ctrl-C
// ends it at once.
bool ExpandInChild(const std::vector<std::string> &command, const std::atomic<int> &interrupts,
                   std::string &printed, int &status) {
    std::vector<std::string> args{"--jobs", "1", "--"};
    args.insert(args.end(), command.begin(), command.end());
    platform::ChildHandle child = platform::StartChild(platform::GetExecutablePath(), args);
    if (!child)
        return false;
    platform::CloseChildInput(child);
    while (platform::ReadChildOutput(child, printed)) {
        if (interrupts.load() >= 2)
            platform::KillChild(child);
        platform::WaitForChildOutput({child}, kWaitMs);
    }
    const int code = platform::FinishChild(child);
    status = interrupts.load() >= 2 ? kExitInterrupted : code == 0 ? 0 : kExitFailure;
    return true;
}

// The core writes the command's job lines into `file`; what it prints on the way is shown as a
// run of the command would show it, but for the note that names the batch file.
PlanOutcome ExpandCommand(const CoreLibrary &core, const ConsoleOptions &options,
                          const std::string &folder, const std::string &file,
                          const std::atomic<int> &interrupts, std::vector<std::string> &lines,
                          int &status) {
    std::vector<std::string> command{"-CREATEBATCH", file};
    command.insert(command.end(), options.coreArguments.begin(), options.coreArguments.end());
    // A command that is too long with the batch file's name in it gets the core's own answer.
    if (CommandLength(command) > kLongestCommandLine)
        return PlanOutcome::RunAsIs;
    std::string printed;
    if (!ExpandHere(core, command, folder, interrupts, printed, status) &&
        !ExpandInChild(command, interrupts, printed, status))
        return PlanOutcome::RunAsIs;
    Print(WithoutBatchNote(printed, file));
    if (status != 0)
        return PlanOutcome::Failed;
    if (!ReadJobLines(file, lines)) {
        auto lock = LockConsole();
        PrintDiagnostic("error", file + ": cannot read the job lines");
        status = kExitFailure;
        return PlanOutcome::Failed;
    }
    return PlanOutcome::Ready;
}

void AddLines(const std::vector<std::string> &lines, std::string header, JobPlan &plan) {
    for (const std::string &line : lines) {
        PlannedJob job;
        job.line = line;
        job.header = header;
        header.clear();
        plan.jobs.push_back(job);
    }
    plan.trailer += header;
}

bool HoldsAJob(const std::vector<std::string> &lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string &line) {
        return KeyArgument(SplitJobLine(line), "-I").has_value();
    });
}

// -BATCH runs its files in the core's order, each announced as the core announces it. A file
// without a job line is the core's to report, under the name the user gave: false then, and
// the command runs as it is.
bool CollectBatchFiles(const ConsoleOptions &options, JobPlan &plan) {
    const std::vector<std::string> files = FindBatchFiles(BatchName(options.coreArguments));
    if (files.empty())
        return false;
    std::vector<std::vector<std::string>> contents(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        ReadJobLines(files[i], contents[i]);
        if (!HoldsAJob(contents[i]))
            return false;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string &file = files[i];
        const std::vector<std::string> &lines = contents[i];
        std::string header = plan.trailer + "Opening batch file :\n" + file + "\n\n";
        plan.trailer.clear();
        AddLines(lines, header, plan);
    }
    return true;
}

bool IsNewer(const std::string &output, const std::string &source) {
    int64_t outputTime = 0;
    int64_t sourceTime = 0;
    uint64_t size = 0;
    return platform::GetFileStamp(output.c_str(), outputTime, size) &&
           platform::GetFileStamp(source.c_str(), sourceTime, size) && outputTime > sourceTime;
}

void DescribeJob(PlannedJob &job, EncoderCatalog &catalog, const ConsoleOptions &options) {
    const std::vector<std::string> items = SplitJobLine(job.line);
    job.input = KeyArgument(items, "-I").value_or("");
    int64_t modified = 0;
    platform::GetFileStamp(job.input.c_str(), modified, job.size);
    job.conversion = IsConversionLine(items);
    if (!job.conversion)
        return;
    job.outputKey = KeyArgument(items, "-O").value_or("");
    job.parameters = KeyArgument(items, "-ENCPARAM").value_or("default settings");
    const std::string encoder = KeyArgument(items, "-ENC").value_or(kAuto);
    const bool automatic = SameText(encoder, kAuto);
    // Only a name without an extension needs the listing.
    const bool needsExtension = !automatic && !HasCoreExtension(job.outputKey);
    if (needsExtension && (options.skipExisting || options.dryRun))
        job.output = CompleteOutputName(job.outputKey, catalog.ExtensionOf(encoder));
    else
        job.output = CompleteOutputName(job.outputKey, "");
    if (options.dryRun)
        job.encoder = automatic ? catalog.EncoderFor(job.output) : encoder;
    job.skipped = options.skipExisting && !job.output.empty() && IsNewer(job.output, job.input);
}

} // namespace

PlanOutcome PlanJobs(const CoreLibrary &core, const ConsoleOptions &options, CommandKind kind,
                     const std::string &folder, const std::atomic<int> &interrupts, JobPlan &plan,
                     int &status) {
    if (kind == CommandKind::Batch) {
        if (!CollectBatchFiles(options, plan))
            return PlanOutcome::RunAsIs;
    } else {
        std::vector<std::string> lines;
        const std::string file = folder + platform::kPathSeparator + "jobs.xfb";
        const PlanOutcome expanded =
            ExpandCommand(core, options, folder, file, interrupts, lines, status);
        platform::DeleteFile(file.c_str());
        if (expanded != PlanOutcome::Ready)
            return expanded;
        AddLines(lines, "", plan);
    }
    EncoderCatalog catalog(core);
    for (PlannedJob &job : plan.jobs)
        DescribeJob(job, catalog, options);
    return PlanOutcome::Ready;
}

void PrintDryRun(const JobPlan &plan) {
    auto lock = LockConsole();
    for (const PlannedJob &job : plan.jobs) {
        PrintOut(job.header);
        if (job.skipped) {
            PrintOut(FormatText(kSkippedText, job.output) + "\n");
        } else if (!job.conversion) {
            PrintOut(FormatText(kOtherJobText, job.line) + "\n\n");
        } else {
            auto line = [](int code, const std::string &text) {
                return FormatMessage(code, reinterpret_cast<intptr_t>(text.c_str())) + "\n";
            };
            PrintOut(
                line(KN_MSG_ENCODER, job.encoder.empty() ? "none for this output" : job.encoder) +
                line(KN_MSG_ENCODER_PARAMS, job.parameters) + line(KN_MSG_INPUT, job.input) +
                line(KN_MSG_OUTPUT, job.output.empty() ? job.outputKey : job.output) + "\n");
        }
    }
    PrintOut(plan.trailer);
}
