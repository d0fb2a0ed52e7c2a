#include "host/runner.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host/console.h"
#include "host/job_plan.h"
#include "host/messages.h"
#include "host/progress.h"
#include "host/tally.h"
#include "kernova/message_codes.h"
#include "platform/platform.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitInterrupted = 130;
constexpr int kWaitMs = 100;
// The progress line is drawn again at most this often.
constexpr uint32_t kProgressIntervalMs = 100;
constexpr int kNoResult = -1;

// Read on the thread that Ctrl-C wakes, so lock-free atomics.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Set while this process's core lists the jobs: a first Ctrl-C asks it to stop, a second ends
// the program at once, as for a command run as it is, and takes the run's private folder with it.
std::atomic<AbortCommand_DLLFunc> planningAbort{nullptr};
static_assert(std::atomic<AbortCommand_DLLFunc>::is_always_lock_free);
std::atomic<const std::string *> planningFolder{nullptr};

// Empties and removes a folder whose files this program made; the names are listed anew, since
// the core may be adding one as the folder goes.
void RemoveFolderNow(const std::string &folder) {
    std::vector<platform::FindEntry> entries;
    if (platform::FindFiles(folder + platform::kPathSeparator + "*", entries)) {
        for (const platform::FindEntry &entry : entries)
            platform::DeleteFile((folder + platform::kPathSeparator + entry.name).c_str());
    }
    platform::RemoveFolder(folder.c_str());
}

void OnInterrupt() {
    const int earlier = interrupts.fetch_add(1);
    AbortCommand_DLLFunc abort = planningAbort.load();
    if (abort && earlier > 0) {
        if (const std::string *folder = planningFolder.load())
            RemoveFolderNow(*folder);
        std::_Exit(kExitInterrupted);
    }
    if (abort)
        abort();
}

// A queued job's line has been handed to a worker that has not started it yet.
enum class JobState { Waiting, Queued, Running, Finished, Skipped };

struct Segment {
    bool toStderr;
    std::string text;
};

struct Job {
    PlannedJob plan;
    JobState state = JobState::Waiting;
    std::vector<Segment> lines; // what the job printed, in order
    int result = kNoResult;
    bool announcedOutput = false;
    JobLength length;
    int position = 0;
    int earlierOnOutput = -1; // the job line before it that writes the same output
};

struct Worker {
    platform::ChildHandle child = nullptr;
    std::string lineFile;
    std::string unread;     // output not yet taken apart
    int job = -1;           // the job it runs, -1 when idle
    std::deque<int> queued; // the jobs handed to it and not started yet, in their order
    bool ended = false;     // its output has ended
};

// The run's private folder and the files named in it, removed when the run ends.
class PrivateFolder {
  public:
    PrivateFolder() : path_(platform::CreatePrivateFolder()) {}
    ~PrivateFolder() {
        if (path_.empty())
            return;
        for (const std::string &file : files_)
            platform::DeleteFile(file.c_str());
        platform::RemoveFolder(path_.c_str());
    }
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;
    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) {
        files_.push_back(path_ + platform::kPathSeparator + name);
        return files_.back();
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

double SecondsSince(uint32_t tick) {
    return (platform::GetTickCount() - tick) / 1000.0;
}

void AddText(Job &job, bool toStderr, const std::string &text) {
    if (text.empty())
        return;
    if (!job.lines.empty() && job.lines.back().toStderr == toStderr && !toStderr)
        job.lines.back().text += text;
    else
        job.lines.push_back(Segment{toStderr, text});
}

// Windows programs end their lines with "\r\n"; the lines are printed again in text mode.
std::string WithoutCarriageReturns(const std::string &text) {
    std::string clean;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
            clean += text[i];
    }
    return clean;
}

// With --quiet the core's own empty line between a job's settings and its result would be all
// that is left of a job that succeeded.
std::string WithoutEmptyLines(const std::string &text) {
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (end - start > 1 || text[start] != '\n')
            kept += text.substr(start, end - start);
        start = end;
    }
    return kept;
}

// A worker ended at once leaves the file that its job was writing under the temporary name
// "<base>.kernova-partial-<worker's process id>.<extension>" beside the output.
void RemoveTemporaryOutput(const std::string &output, int workerId) {
    if (output.empty())
        return;
    const std::size_t separator = output.rfind(platform::kPathSeparator);
    const std::size_t fileStart = separator == std::string::npos ? 0 : separator + 1;
    const std::size_t dot = output.rfind('.');
    const std::size_t baseEnd =
        HasCoreExtension(output) && dot != std::string::npos && dot > fileStart ? dot
                                                                                : output.size();
    const std::string folder = output.substr(0, fileStart);
    std::vector<platform::FindEntry> entries;
    if (!platform::FindFiles(output.substr(0, baseEnd) + ".kernova-partial-" +
                                 std::to_string(workerId) + "*",
                             entries))
        return;
    for (const platform::FindEntry &entry : entries) {
        if (!entry.isFolder)
            platform::DeleteFile((folder + entry.name).c_str());
    }
}

class Run {
  public:
    Run(const CoreLibrary &core, const ConsoleOptions &options, uint32_t startTick)
        : core_(core), options_(options), startTick_(startTick) {}

    std::optional<int> Execute(CommandKind kind);

  private:
    bool StartWorker();
    void Dispatch();
    bool IsOutputBusy(const Job &job) const;
    void LinkSharedOutputs();
    void HandleOutput(Worker &worker);
    void HandleFrame(Worker &worker, const std::string &frame);
    void FinishJob(Worker &worker);
    void HandleEndedWorker(std::size_t index);
    void Stop();
    void KillWorkers();
    void PrintReadyBlocks(bool all);
    void PrintBlock(const Job &job);
    void ShowProgress();
    int Finish();
    bool HasWaitingJob() const;
    std::size_t CountWaitingJobs() const;

    const CoreLibrary &core_;
    const ConsoleOptions &options_;
    uint32_t startTick_;
    PrivateFolder folder_;
    JobPlan plan_;
    std::vector<Job> jobs_;
    std::vector<std::size_t> order_; // dispatch order: biggest source first
    std::vector<Worker> workers_;
    int workersStarted_ = 0;
    std::size_t nextToPrint_ = 0;
    uint32_t progressTick_ = 0; // when the progress line was last drawn
    bool stopping_ = false;
    std::size_t firstWaiting_ = 0; // in order_
    RunTally tally_;
};

bool Run::StartWorker() {
    Worker worker;
    worker.lineFile = folder_.File("w" + std::to_string(++workersStarted_) + ".xfb");
    std::vector<std::string> args{"--worker", worker.lineFile};
    if (options_.quiet)
        args.push_back("--quiet");
    worker.child = platform::StartChild(platform::GetExecutablePath(), args);
    if (!worker.child) {
        auto lock = LockConsole();
        PrintDiagnostic("error", platform::GetExecutablePath() + ": cannot start a worker process");
        return false;
    }
    workers_.push_back(worker);
    return true;
}

// Jobs on one output run one after another in the order of their lines, so that the output
// ends as a run in one process leaves it.
bool Run::IsOutputBusy(const Job &job) const {
    if (job.earlierOnOutput < 0)
        return false;
    const JobState earlier = jobs_[job.earlierOnOutput].state;
    return earlier == JobState::Waiting || earlier == JobState::Queued ||
           earlier == JobState::Running;
}

void Run::LinkSharedOutputs() {
    std::map<std::string, int> lastOnOutput;
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        if (jobs_[i].plan.outputKey.empty() || jobs_[i].state == JobState::Skipped)
            continue;
        auto [entry, added] = lastOnOutput.emplace(jobs_[i].plan.outputKey, static_cast<int>(i));
        if (!added) {
            jobs_[i].earlierOnOutput = entry->second;
            entry->second = static_cast<int>(i);
        }
    }
}

std::size_t Run::CountWaitingJobs() const {
    return static_cast<std::size_t>(std::count_if(
        jobs_.begin(), jobs_.end(), [](const Job &job) { return job.state == JobState::Waiting; }));
}

bool Run::HasWaitingJob() const {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [](const Job &job) { return job.state == JobState::Waiting; });
}

// Keeps each worker with a line to start as soon as it ends its job: it never waits for this
// process to be scheduled between two jobs. Lines whose output another job is writing wait.
void Run::Dispatch() {
    // Lines before firstWaiting_ in the dispatch order have all been handed out.
    while (firstWaiting_ < order_.size() && jobs_[order_[firstWaiting_]].state != JobState::Waiting)
        ++firstWaiting_;
    std::size_t waiting = CountWaitingJobs();
    for (Worker &worker : workers_) {
        for (std::size_t i = firstWaiting_; i < order_.size(); ++i) {
            // Near the end a line goes to the first worker that is free.
            const std::size_t held = (worker.job >= 0) + worker.queued.size();
            if (stopping_ || !worker.child || held >= 2 ||
                (held == 1 && waiting <= workers_.size()))
                break;
            Job &job = jobs_[order_[i]];
            if (job.state != JobState::Waiting || IsOutputBusy(job))
                continue;
            if (!platform::WriteChildInput(worker.child, job.plan.line + "\n"))
                break;
            job.state = JobState::Queued;
            worker.queued.push_back(static_cast<int>(order_[i]));
            --waiting;
        }
    }
    if (waiting == 0 || stopping_) {
        for (Worker &worker : workers_)
            platform::CloseChildInput(worker.child);
    }
}

void Run::HandleFrame(Worker &worker, const std::string &frame) {
    if (!frame.empty() && frame[0] == kFrameLineStart && !worker.queued.empty()) {
        worker.job = worker.queued.front();
        worker.queued.pop_front();
        jobs_[worker.job].state = JobState::Running;
        return;
    }
    if (frame.empty() || worker.job < 0)
        return;
    Job &job = jobs_[worker.job];
    const std::string payload = frame.substr(1);
    switch (frame[0]) {
    case kFrameError:
        AddText(job, true, payload);
        break;
    case kFrameLength:
        job.length.OnLength(std::atoi(payload.c_str()));
        break;
    case kFramePosition:
        job.position = std::atoi(payload.c_str());
        job.length.OnPosition(job.position);
        break;
    case kFrameResult:
        job.result = std::atoi(payload.c_str());
        job.announcedOutput = payload.size() > 2 && payload.back() == '1';
        break;
    case kFrameLineDone:
        FinishJob(worker);
        break;
    default:
        break;
    }
}

void Run::FinishJob(Worker &worker) {
    Job &job = jobs_[worker.job];
    // The core announces each batch file it opens: here that is the worker's one-line file.
    const std::string note = "Opening batch file :\n" + worker.lineFile + "\n\n";
    if (!job.lines.empty() && !job.lines.front().toStderr &&
        job.lines.front().text.rfind(note, 0) == 0)
        job.lines.front().text.erase(0, note.size());
    job.state = JobState::Finished;
    CountJobResult(tally_, job.result, job.announcedOutput, job.length.Seconds());
    worker.job = -1;
}

void Run::HandleOutput(Worker &worker) {
    std::string text;
    const bool open = platform::ReadChildOutput(worker.child, text);
    worker.unread += WithoutCarriageReturns(text);
    while (!worker.unread.empty()) {
        const std::size_t mark = worker.unread.find(kFrameMark);
        if (worker.job >= 0)
            AddText(jobs_[worker.job], false, worker.unread.substr(0, mark));
        if (mark == std::string::npos) {
            worker.unread.clear();
            break;
        }
        const std::size_t end = worker.unread.find('\n', mark);
        if (end == std::string::npos) {
            worker.unread.erase(0, mark);
            break;
        }
        const std::string frame = worker.unread.substr(mark + 1, end - mark - 1);
        worker.unread.erase(0, end + 1);
        HandleFrame(worker, frame);
    }
    worker.ended = !open;
}

// A worker that ended in the middle of a job (it crashed, or was killed) fails that job; the
// lines left go to a new worker.
void Run::HandleEndedWorker(std::size_t index) {
    Worker &worker = workers_[index];
    platform::FinishChild(worker.child);
    worker.child = nullptr;
    // A worker stopped by Ctrl-C, or one that died, never started these.
    for (int index : worker.queued)
        jobs_[index].state = JobState::Waiting;
    if (!worker.queued.empty())
        firstWaiting_ = 0;
    worker.queued.clear();
    if (worker.job >= 0) {
        Job &job = jobs_[worker.job];
        AddText(job, true, "kernova: error: " + FormatText(kWorkerEndedText, job.plan.input));
        FinishJob(worker);
    }
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(index));
    if (!stopping_ && HasWaitingJob() && !StartWorker())
        stopping_ = true;
}

void Run::Stop() {
    stopping_ = true;
    for (Worker &worker : workers_) {
        platform::CloseChildInput(worker.child);
        if (worker.job >= 0 || !worker.queued.empty())
            platform::InterruptChild(worker.child);
    }
}

void Run::KillWorkers() {
    for (Worker &worker : workers_) {
        const int id = platform::ChildProcessId(worker.child);
        platform::KillChild(worker.child);
        platform::FinishChild(worker.child);
        if (worker.job >= 0)
            RemoveTemporaryOutput(jobs_[worker.job].plan.outputKey, id);
    }
    workers_.clear();
}

void Run::PrintBlock(const Job &job) {
    if (!options_.quiet)
        PrintOut(job.plan.header);
    if (job.state == JobState::Skipped) {
        if (!options_.quiet)
            PrintOut(FormatText(kSkippedText, job.plan.output) + "\n");
        return;
    }
    for (const Segment &segment : job.lines) {
        if (segment.toStderr)
            PrintErrorLine(segment.text);
        else
            PrintOut(options_.quiet ? WithoutEmptyLines(segment.text) : segment.text);
    }
}

// Blocks appear in the order of the job lines, each as soon as it and all before it are done;
// at the end (`all`) the jobs that never ran are passed over.
void Run::PrintReadyBlocks(bool all) {
    auto lock = LockConsole();
    for (; nextToPrint_ < jobs_.size(); ++nextToPrint_) {
        const Job &job = jobs_[nextToPrint_];
        const bool ready = job.state == JobState::Finished || job.state == JobState::Skipped;
        if (!ready && !all)
            break;
        if (ready)
            PrintBlock(job);
    }
    if (all && !options_.quiet)
        PrintOut(plan_.trailer);
    std::fflush(stdout);
}

void Run::ShowProgress() {
    const uint32_t now = platform::GetTickCount();
    if (now - progressTick_ < kProgressIntervalMs)
        return;
    progressTick_ = now;
    BatchProgress progress;
    double bytesTotal = 0;
    double bytesDone = 0;
    for (const Job &job : jobs_) {
        if (job.state == JobState::Skipped)
            continue;
        ++progress.total;
        const double size = static_cast<double>(job.plan.size);
        bytesTotal += size;
        const int length = job.length.Seconds();
        if (job.state == JobState::Finished) {
            ++progress.done;
            progress.audioSeconds += length > 0 ? length : job.position;
            bytesDone += size;
        } else if (job.state == JobState::Running) {
            progress.current.push_back(job.plan.input);
            progress.audioSeconds += job.position;
            if (length > 0)
                bytesDone += size * std::min(1.0, static_cast<double>(job.position) / length);
        }
    }
    progress.elapsedSeconds = SecondsSince(startTick_);
    if (bytesDone > 0 && bytesTotal > 0)
        progress.secondsLeft = progress.elapsedSeconds * (bytesTotal - bytesDone) / bytesDone;
    auto lock = LockConsole();
    ShowBatchProgress(progress);
}

int Run::Finish() {
    PrintReadyBlocks(true);
    for (const Job &job : jobs_) {
        if (job.state != JobState::Finished && job.state != JobState::Skipped)
            ++tally_.notRun;
    }
    auto lock = LockConsole();
    ClearProgressLine();
    if (!options_.quiet)
        PrintErrorLine(FormatSummary(tally_, SecondsSince(startTick_)));
    const bool allDone = tally_.failed == 0 && tally_.stopped == 0 && tally_.notRun == 0;
    return interrupts.load() == 0 && allDone ? kExitSuccess : kExitFailure;
}

std::optional<int> Run::Execute(CommandKind kind) {
    if (folder_.Path().empty()) {
        auto lock = LockConsole();
        PrintDiagnostic("error", "cannot create a folder for temporary files");
        return kExitFailure;
    }
    int status = kExitFailure;
    planningFolder.store(&folder_.Path());
    planningAbort.store(core_.abortCommand);
    const PlanOutcome outcome =
        PlanJobs(core_, options_, kind, folder_.Path(), interrupts, plan_, status);
    planningAbort.store(nullptr);
    planningFolder.store(nullptr);
    if (outcome == PlanOutcome::Failed)
        return status;
    if (outcome == PlanOutcome::RunAsIs)
        return std::nullopt;
    if (options_.dryRun) {
        PrintDryRun(plan_);
        return kExitSuccess;
    }
    for (std::size_t i = 0; i < plan_.jobs.size(); ++i) {
        jobs_.emplace_back();
        jobs_.back().plan = plan_.jobs[i];
        if (jobs_.back().plan.skipped) {
            jobs_.back().state = JobState::Skipped;
            ++tally_.skipped;
        } else {
            order_.push_back(i);
        }
    }
    LinkSharedOutputs();
    const bool oneAtATime = options_.jobs == 1 || order_.size() <= 1;
    if (oneAtATime && tally_.skipped == 0 && !options_.quiet)
        return std::nullopt;
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return jobs_[a].plan.size > jobs_[b].plan.size;
    });
    const unsigned wanted = options_.jobs > 0 ? options_.jobs : platform::CountProcessors();
    const std::size_t count = std::min<std::size_t>(wanted, order_.size());
    // A Ctrl-C while the jobs were being listed leaves them all unstarted.
    stopping_ = interrupts.load() > 0;
    for (std::size_t i = 0; i < count && !stopping_; ++i)
        stopping_ = !StartWorker() && workers_.empty();
    while (!workers_.empty()) {
        if (interrupts.load() >= 2) {
            KillWorkers();
            PrintReadyBlocks(false);
            auto lock = LockConsole();
            ClearProgressLine();
            return kExitInterrupted;
        }
        if (interrupts.load() == 1 && !stopping_)
            Stop();
        Dispatch();
        std::vector<platform::ChildHandle> children;
        for (const Worker &worker : workers_)
            children.push_back(worker.child);
        platform::WaitForChildOutput(children, kWaitMs);
        for (std::size_t i = workers_.size(); i-- > 0;) {
            HandleOutput(workers_[i]);
            if (workers_[i].ended)
                HandleEndedWorker(i);
        }
        PrintReadyBlocks(false);
        ShowProgress();
    }
    return Finish();
}

} // namespace

std::optional<int> RunInParts(const CoreLibrary &core, const ConsoleOptions &options,
                              CommandKind kind, uint32_t startTick) {
    interrupts.store(0);
    platform::SetInterruptHandler(OnInterrupt);
    Run run(core, options, startTick);
    std::optional<int> status = run.Execute(kind);
    platform::SetInterruptHandler(nullptr);
    return status;
}
