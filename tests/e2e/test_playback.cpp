// The playback output plug-in against a real sound server: a private PulseAudio server with a
// null sink runs beside each test, its monitor is recorded while kernova plays a tone, and the
// recording must hold that tone for the file's length.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/audio.h"
#include "tests/fixtures/harness.h"
#include "tests/fixtures/tools.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecordRate = 44100; // the null sink's and the recording's format: s16le stereo
constexpr double kPi = 3.14159265358979323846;

// Starts a command in the background; its process id is written to `pidFile`.
void StartBackground(const std::string &command, const std::string &out, const std::string &err,
                     const std::string &pidFile) {
    Shell(command + " >" + Quote(out) + " 2>" + Quote(err) + " & echo $! >" + Quote(pidFile));
}

void StopBackground(const std::string &pidFile) {
    if (fs::exists(pidFile))
        Shell("kill $(cat " + Quote(pidFile) + ")");
}

struct Tone {
    int rate;
    int channels;
    int bits;
    double hertz;
    double seconds;
};

// A WAV file of a sine at half of full scale on every channel.
std::string ToneWav(const Tone &tone) {
    const WavShape shape{uint32_t(tone.rate), uint16_t(tone.channels), uint16_t(tone.bits),
                         size_t(tone.rate * tone.seconds)};
    std::vector<double> values;
    for (size_t i = 0; i < shape.frames; ++i)
        values.insert(values.end(), shape.channels,
                      0.5 * std::sin(2 * kPi * tone.hertz * double(i) / tone.rate));
    return WavFile(shape, PcmBytes(Quantize(values, tone.bits), tone.bits));
}

// What a recording holds on its left channel: the span from the first to the last loud
// sample, and the frequency of the signal in it by its zero crossings.
struct Heard {
    double seconds = 0;
    double hertz = 0;
};

Heard Analyse(const std::vector<int64_t> &stereo) {
    std::vector<int64_t> left;
    for (size_t i = 0; i < stereo.size(); i += 2)
        left.push_back(stereo[i]);
    constexpr int kLoud = 4000; // the tone peaks at about 16000
    size_t first = 0;
    while (first < left.size() && std::abs(left[first]) < kLoud)
        ++first;
    size_t last = left.size();
    while (last > first && std::abs(left[last - 1]) < kLoud)
        --last;
    Heard heard;
    if (last <= first)
        return heard;
    heard.seconds = static_cast<double>(last - first) / kRecordRate;
    int crossings = 0;
    for (size_t i = first + 1; i < last; ++i)
        crossings += (left[i - 1] < 0) != (left[i] < 0);
    heard.hertz = crossings / 2.0 / heard.seconds;
    return heard;
}

// Index of the first frame (of stereo samples) that is not silent.
size_t FirstSound(const std::vector<int64_t> &stereo) {
    size_t i = 0;
    while (i < stereo.size() && stereo[i] == 0)
        ++i;
    return i - i % 2;
}

class PlaybackTest : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "the Windows output plays through DirectSound, not to a PulseAudio server";
#endif
        if (!HaveTools({"pulseaudio", "parec", "pactl"}))
            GTEST_SKIP() << "pulseaudio or parec is not installed";
        for (const char *plugin :
             {"plugins/in/wave", "plugins/out/wave", "plugins/out/WinAMP/DirectSound"})
            ASSERT_TRUE(sb.AddBuiltPlugin(plugin)) << plugin;
        sb.timeoutSeconds = 60;
        StartServer("kntest");
    }

    // A private server, with a null sink of that name unless it is empty.
    void StartServer(const std::string &sink) {
        server = sb.root + NativePath("/pulse");
        StartBackground("sh " + Quote(std::string(KN_SOURCE_DIR) + "/tests/e2e/pulse_server.sh") +
                            " " + Quote(server) + " " + Quote(sink),
                        sb.root + NativePath("/server.log"), sb.root + NativePath("/server.err"),
                        sb.root + NativePath("/server.pid"));
        sb.env["PULSE_SERVER"] = "unix:" + server + NativePath("/native");
        const std::string probe = "PULSE_SERVER=" + Quote(sb.env["PULSE_SERVER"]) + " pactl info";
        for (int i = 0; i < 100 && !Shell(probe); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(Shell(probe)) << sb.ReadFile(sb.root + NativePath("/server.err"));
    }

    void TearDown() override {
        StopRecording();
        StopBackground(sb.root + NativePath("/server.pid"));
        StopBackground(sb.root + NativePath("/silent.pid"));
    }

    // Records the null sink from now on; returns once the recorder delivers data.
    void StartRecording() {
        recording = sb.root + NativePath("/recorded.raw");
        StartBackground("PULSE_SERVER=" + Quote(sb.env["PULSE_SERVER"]) +
                            " exec parec -d kntest.monitor --raw --format=s16le --rate=44100 "
                            "--channels=2 --latency-msec=20",
                        recording, sb.root + NativePath("/parec.log"),
                        sb.root + NativePath("/parec.pid"));
        for (int i = 0; i < 100 && (!fs::exists(recording) || fs::file_size(recording) == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Stops the recorder a little after the play, so that the tail of the sound is in.
    std::vector<int64_t> StopRecording() {
        if (recording.empty())
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        StopBackground(sb.root + NativePath("/parec.pid"));
        fs::remove(sb.root + NativePath("/parec.pid"));
        std::vector<int64_t> samples = PcmValues(sb.ReadFile(recording), 16);
        recording.clear();
        return samples;
    }

    Sandbox sb;
    std::string server;
    std::string recording;
};

// Every depth and channel count plays at its rate for the file's length; -PREVIEW 1 plays about
// one second of a longer file and succeeds.
TEST_F(PlaybackTest, EveryPcmLayoutIsHeardAsTheToneForTheFilesLength) {
    struct Case {
        const char *label;
        Tone tone;
        double heardSeconds;
        const char *preview;
    };
    const Case cases[] = {
        {"16-bit stereo at 44100 Hz", {44100, 2, 16, 440, 2.0}, 2.0, nullptr},
        {"8-bit mono at 22050 Hz", {22050, 1, 8, 330, 1.5}, 1.5, nullptr},
        {"24-bit stereo at 48000 Hz", {48000, 2, 24, 550, 1.5}, 1.5, nullptr},
        {"32-bit mono at 32000 Hz", {32000, 1, 32, 660, 1.0}, 1.0, nullptr},
        {"-PREVIEW 1 of three seconds", {44100, 2, 16, 440, 3.0}, 1.0, "1"},
    };
    for (const Case &c : cases) {
        sb.WriteFile("tone.wav", ToneWav(c.tone));
        StartRecording();
        Lines args = {"-I", "tone.wav", "-PLAY"};
        if (c.preview)
            args.insert(args.end(), {"-PREVIEW", c.preview});
        const RunResult run = sb.Run(args);
        const Heard heard = Analyse(StopRecording());
        EXPECT_EQ(run.exitCode, 0) << c.label << "\n" << run.out << run.err;
        EXPECT_NEAR(heard.seconds, c.heardSeconds, c.preview ? 0.25 : 0.15) << c.label;
        EXPECT_NEAR(heard.hertz, c.tone.hertz, c.tone.hertz * 0.02) << c.label;
    }
}

// At full volume and centred the server passes 16-bit stereo at the sink's rate through
// untouched. The sink may redo its first few milliseconds when the stream joins it, so a
// stretch from the middle of the sound is looked for, bit for bit, among the decoded samples;
// at 997 Hz no stretch of half a second repeats within the one-second file.
TEST_F(PlaybackTest, FullVolumeSamplesArriveUnchanged) {
    const std::string wav = ToneWav({44100, 2, 16, 997, 1.0});
    sb.WriteFile("tone.wav", wav);
    StartRecording();
    const RunResult run = sb.Run({"-I", "tone.wav", "-PLAY"});
    const std::vector<int64_t> recorded = StopRecording();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<int64_t> played = PcmValues(DataChunk(wav), 16);
    const size_t from = FirstSound(recorded) + 2 * kRecordRate / 5; // 0.2 s into the sound
    const size_t length = 2 * kRecordRate / 2;                      // half a second
    ASSERT_GE(recorded.size(), from + length);
    const auto stretch = recorded.begin() + static_cast<std::ptrdiff_t>(from);
    bool found = false;
    for (size_t at = 0; !found && at + length <= played.size(); at += 2)
        found = std::equal(stretch, stretch + static_cast<std::ptrdiff_t>(length),
                           played.begin() + static_cast<std::ptrdiff_t>(at));
    EXPECT_TRUE(found);
}

// A missing socket fails at once; a server that takes the connection but never answers must
// not hold the play beyond the plug-in's connect timeout.
TEST_F(PlaybackTest, WithoutAnAnsweringServerThePlayFailsWithResult95) {
    struct Case {
        const char *label;
        std::string socket;
        bool silentListener;
    };
    const Case cases[] = {
        {"no socket", sb.root + NativePath("/missing/native"), false},
        {"a server that never answers", sb.root + NativePath("/silent"), true},
    };
    sb.WriteFile("tone.wav", ToneWav({44100, 2, 16, 440, 1.0}));
    sb.timeoutSeconds = 20; // a hanging connect is killed (124) and fails the checks
    for (const Case &c : cases) {
        if (c.silentListener) {
            if (!Shell("command -v python3"))
                continue; // python3 makes the silent listener
            StartBackground("exec python3 -c 'import socket, sys, time; "
                            "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); "
                            "s.listen(8); time.sleep(120)' " +
                                Quote(c.socket),
                            "/dev/null", "/dev/null", sb.root + NativePath("/silent.pid"));
            for (int i = 0; i < 100 && !fs::exists(c.socket); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        sb.env["PULSE_SERVER"] = "unix:" + c.socket;
        const RunResult probe = sb.Probe({"-I tone.wav -PLAY"});
        const std::vector<std::string> lines = SplitLines(probe.out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "M 95"), lines.end()) << c.label << "\n"
                                                                              << probe.out;
        EXPECT_NE(std::find(lines.begin(), lines.end(), "R 1 last=95"), lines.end()) << c.label;
        const RunResult run = sb.Run({"-I", "tone.wav", "-PLAY"});
        EXPECT_NE(run.exitCode, 0) << c.label;
        EXPECT_NE(run.exitCode, 124) << c.label << ": the play hung";
        EXPECT_NE(run.out.find("failed"), std::string::npos) << c.label << "\n" << run.out;
    }
}

// The server going away mid-play makes the stream's next write fail, and the play ends.
TEST_F(PlaybackTest, ServerLostDuringThePlayFailsIt) {
    sb.WriteFile("tone.wav", ToneWav({44100, 2, 16, 440, 6.0}));
    sb.timeoutSeconds = 30;
    std::thread killer([this] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        StopBackground(sb.root + NativePath("/server.pid"));
    });
    const RunResult probe = sb.Probe({"-I tone.wav -PLAY"});
    killer.join();
    const std::vector<std::string> lines = SplitLines(probe.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "R 1 last=95"), lines.end()) << probe.out;
}

// A server without a sink refuses the stream while the connection stays good: the play fails
// at once, not after the 3 seconds that a connection may take.
TEST_F(PlaybackTest, AStreamTheServerRefusesFailsThePlayAtOnce) {
    StopBackground(sb.root + NativePath("/server.pid"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    StartServer("");
    sb.WriteFile("tone.wav", ToneWav({44100, 2, 16, 440, 1.0}));
    const auto start = std::chrono::steady_clock::now();
    const Lines lines = sb.Callbacks({"-I tone.wav -PLAY"});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(lines.back(), "R 1 last=95");
    EXPECT_LT(seconds, 2.5);
}

} // namespace
