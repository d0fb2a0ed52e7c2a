// Conversions through the console program with the real WAV plug-ins, on WAV files the test
// writes itself (no sox on Windows): samples must pass bit for bit, formats that no ACM driver
// lists must be refused without leaving an output, and folders given with the system's
// separator must be created.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

std::string LittleEndian(std::uint32_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i)
        text += static_cast<char>((value >> (8 * i)) & 0xFF);
    return text;
}

// A saw tooth that differs per channel, so that swapped or shifted samples show.
std::string MakeSamples(int bits, int channels, int frames) {
    const int bytes = bits / 8;
    std::string samples;
    samples.reserve(static_cast<std::size_t>(frames) * channels * bytes);
    for (int frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            const auto value = static_cast<std::uint32_t>(frame * 977 + channel * 40503) * 65537u;
            samples += LittleEndian(value, bytes);
        }
    }
    return samples;
}

std::string MakeWave(int rate, int bits, int channels, const std::string &samples) {
    const int align = bits / 8 * channels;
    const auto size = static_cast<std::uint32_t>(samples.size());
    return "RIFF" + LittleEndian(36 + size, 4) + "WAVEfmt " + LittleEndian(16, 4) +
           LittleEndian(1, 2) + LittleEndian(channels, 2) + LittleEndian(rate, 4) +
           LittleEndian(rate * align, 4) + LittleEndian(align, 2) + LittleEndian(bits, 2) + "data" +
           LittleEndian(size, 4) + samples;
}

// The bytes of the file's data chunk; empty when the file has none.
std::string DataChunk(const std::string &wave) {
    std::size_t at = 12;
    while (wave.size() >= 12 && at + 8 <= wave.size()) {
        std::uint32_t size = 0;
        for (int i = 3; i >= 0; --i)
            size = size << 8 | static_cast<unsigned char>(wave[at + 4 + i]);
        if (wave.compare(at, 4, "data") == 0)
            return wave.substr(at + 8, size);
        at += 8 + size + (size & 1);
    }
    return "";
}

bool HasLine(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class WindowsConvert : public ::testing::Test {
  protected:
    void SetUp() override {
        box.AddBuiltPlugin(LibraryFile(NativePath("plugins/in/wave")));
        box.AddBuiltPlugin(LibraryFile(NativePath("plugins/out/wave")));
    }

    Sandbox box;
};

TEST_F(WindowsConvert, SixteenBitStereoCopyKeepsEverySample) {
    const std::string samples = MakeSamples(16, 2, 44100 * 2);
    box.WriteFile(NativePath("in/song.wav"), MakeWave(44100, 16, 2, samples));
    const RunResult result =
        box.Run({"-I", NativePath("in/song.wav"), "-O", NativePath("out/song.wav")});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ASSERT_TRUE(box.Exists(NativePath("out/song.wav"))) << result.out << result.err;
    const std::string copied = DataChunk(box.ReadFile(NativePath("out/song.wav")));
    EXPECT_EQ(copied.size(), samples.size());
    EXPECT_TRUE(copied == samples) << "the samples differ";
}

TEST_F(WindowsConvert, ListingsNameTheWavePlugIns) {
    struct Case {
        const char *key;
        const char *line;
    };
    const Case cases[] = {{"-LISTENC", "M 67 wave"}, {"-LISTDEC", "M 67 wave"}};
    for (const Case &c : cases) {
        const RunResult probed = box.Probe({c.key});
        const std::vector<std::string> lines = SplitLines(probed.out);
        EXPECT_TRUE(HasLine(lines, c.line)) << c.key << "\n" << probed.out;
        EXPECT_TRUE(HasLine(lines, "R 1 last=97")) << c.key << "\n" << probed.out;
        const RunResult run = box.Run({c.key});
        EXPECT_EQ(run.exitCode, 0) << c.key << "\n" << run.out << run.err;
        EXPECT_NE(run.out.find("wave"), std::string::npos) << c.key << "\n" << run.out;
    }
}

#if defined(_WIN32)
// Windows' ACM decides which PCM formats open; the native build has its own format table.

TEST_F(WindowsConvert, OnlyFormatsAnAcmDriverListsAreConverted) {
    struct Case {
        const char *name;
        int rate;
        int bits;
        bool listed; // a PCM format passes to itself, listed by the PCM driver or not
    };
    const Case cases[] = {
        {"rate96000", 96000, 16, true},
        {"rate22050", 22050, 16, true},
        {"rate88200", 88200, 16, true},
        {"bits32", 44100, 32, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = NativePath("in/" + std::string(c.name) + ".wav");
        const std::string output = NativePath("out/" + std::string(c.name) + ".wav");
        const std::string samples = MakeSamples(c.bits, 2, c.rate / 4);
        box.WriteFile(input, MakeWave(c.rate, c.bits, 2, samples));
        // A refused format fails the writer's open without a message: the job just fails.
        const RunResult probed = box.Probe({"-I " + input + " -O " + output});
        const std::vector<std::string> lines = SplitLines(probed.out);
        EXPECT_TRUE(HasLine(lines, c.listed ? "R 1 last=97" : "R 1 last=95")) << probed.out;
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string &line) {
            return line.rfind("E ", 0) == 0;
        })) << probed.out;
        EXPECT_EQ(box.Exists(output), c.listed);
        std::filesystem::remove(box.Path(output));

        const RunResult run = box.Run({"-I", input, "-O", output});
        EXPECT_EQ(run.exitCode, c.listed ? 0 : 1) << run.out << run.err;
        EXPECT_EQ(run.err.find("kernova: error:"), std::string::npos) << run.err;
        EXPECT_EQ(HasLine(SplitLines(run.out), "failed"), !c.listed) << run.out;
        ASSERT_EQ(box.Exists(output), c.listed);
        if (c.listed) {
            EXPECT_TRUE(DataChunk(box.ReadFile(output)) == samples) << "the samples differ";
        }
    }
}

TEST_F(WindowsConvert, OutputFoldersGivenWithBackslashesAreCreated) {
    const std::string samples = MakeSamples(16, 2, 4410);
    box.WriteFile("x.wav", MakeWave(44100, 16, 2, samples));
    const RunResult result = box.Run({"-I", "x.wav", "-O", "out\\sub\\x.wav"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ASSERT_TRUE(box.Exists("out\\sub\\x.wav")) << result.out << result.err;
    EXPECT_TRUE(DataChunk(box.ReadFile("out\\sub\\x.wav")) == samples);
}

#endif

} // namespace
