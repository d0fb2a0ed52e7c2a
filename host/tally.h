// The counts of a run and the summary line that ends it.
#pragma once

#include <string>

struct RunTally {
    int converted = 0;
    int failed = 0;
    int skipped = 0;
    int stopped = 0;         // stopped by Ctrl-C while they ran
    int notRun = 0;          // never started because of Ctrl-C
    double audioSeconds = 0; // audio of the converted jobs
};

// Counts one job result (a core result code) of a job that did or did not announce an output.
void CountJobResult(RunTally &tally, int result, bool announcedOutput, int lengthSeconds);
// "kernova: 12 converted, 1 failed, 0 skipped in 8.4 s (153× realtime)"; stopped and not-run
// jobs are named only when there are some, the speed only when some audio was converted.
std::string FormatSummary(const RunTally &tally, double elapsedSeconds);

// The length of the running job as the core reports it. After a job that succeeded the core
// sends the length 100 and the position 200 as a finish mark, which must not count as a length.
class JobLength {
  public:
    void Start() { length_ = previous_ = 0; }
    void OnLength(int seconds) {
        previous_ = length_;
        length_ = seconds > 0 ? seconds : 0;
    }
    void OnPosition(int seconds) {
        if (length_ == kFinishedLength && seconds == kFinishedPosition)
            length_ = previous_;
    }
    int Seconds() const { return length_; }

  private:
    static constexpr int kFinishedLength = 100;
    static constexpr int kFinishedPosition = 200;
    int length_ = 0;
    int previous_ = 0;
};
