// Test audio for the tag plug-in's tests: one-second files made by ffmpeg, covers, and the
// outside tools (ffprobe, ffmpeg, metaflac, id3v2, eyeD3) that check what the plug-in wrote.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

namespace idtagger_media {

namespace fs = std::filesystem;

constexpr const char *kMp3 = "-c:a libmp3lame -id3v2_version 0";
constexpr const char *kMp3WithV24 = "-c:a libmp3lame -id3v2_version 4";
constexpr const char *kFlac = "-c:a flac";
constexpr const char *kVorbis = "-c:a libvorbis";
constexpr const char *kOpus = "-c:a libopus";
constexpr const char *kWav = "-c:a pcm_s16le";
constexpr const char *kAiff = "-c:a pcm_s16be";

inline std::string Quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

inline void WriteAll(const fs::path &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline bool Succeeds(const std::string &command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// The standard output of a shell command.
inline std::string Output(const std::string &command, const fs::path &scratch) {
    const fs::path out = scratch / ".command-output";
    std::system(("(" + command + ") >" + Quote(out.string()) + " 2>/dev/null").c_str());
    std::string text = ReadAll(out);
    fs::remove(out);
    return text;
}

inline bool HaveTool(const std::string &name) {
    return Succeeds("command -v " + name);
}

// A one-second sine; `extra` goes before the output name (codec, metadata).
inline bool MakeAudio(const fs::path &path, const std::string &extra) {
    return Succeeds("ffmpeg -nostdin -y -f lavfi -i sine=frequency=440:duration=1 " + extra + " " +
                    Quote(path.string()));
}

// A 44100 Hz 16-bit stereo WAV file holding the given sample bytes.
inline std::string PcmWave(const std::string &samples) {
    auto word = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i)
            text += static_cast<char>((value >> (8 * i)) & 0xFF);
        return text;
    };
    const auto size = static_cast<std::uint32_t>(samples.size());
    return "RIFF" + word(36 + size, 4) + "WAVEfmt " + word(16, 4) + word(1, 2) + word(2, 2) +
           word(44100, 4) + word(44100 * 4, 4) + word(4, 2) + word(16, 2) + "data" + word(size, 4) +
           samples;
}

// A PNG of the given size; its bytes are what a copied cover must keep.
inline bool MakeCover(const fs::path &path, int side) {
    const std::string size = std::to_string(side) + "x" + std::to_string(side);
    return Succeeds("ffmpeg -nostdin -y -f lavfi -i testsrc=s=" + size + " -frames:v 1 " +
                    Quote(path.string()));
}

// Bytes that do not compress, as a large "picture".
inline std::string RandomBytes(std::size_t count) {
    std::mt19937 random(7);
    std::string bytes(count, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Container and stream tags as ffprobe reads them, names in lower case.
inline std::map<std::string, std::string> ProbeTags(const fs::path &file, const fs::path &scratch) {
    std::map<std::string, std::string> tags;
    std::stringstream lines(Output("ffprobe -v error -show_entries format_tags:stream_tags -of "
                                   "default=nw=1 " +
                                       Quote(file.string()),
                                   scratch));
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (line.rfind("TAG:", 0) != 0 || equals == std::string::npos)
            continue;
        std::string name = line.substr(4, equals - 4);
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        tags.emplace(name, line.substr(equals + 1));
    }
    return tags;
}

// The MD5 of the decoded audio: equal before and after a tag change when no sample was touched.
inline std::string AudioDigest(const fs::path &file, const fs::path &scratch) {
    return Output("ffmpeg -nostdin -v error -i " + Quote(file.string()) + " -map 0:a -f md5 -",
                  scratch);
}

// The bytes of the first embedded picture as ffmpeg sees it.
inline std::string EmbeddedPicture(const fs::path &file, const fs::path &scratch) {
    const fs::path picture = scratch / ".picture.bin";
    Succeeds("ffmpeg -nostdin -y -v error -i " + Quote(file.string()) +
             " -an -map 0:v:0 -c copy -f data " + Quote(picture.string()));
    std::string bytes = ReadAll(picture);
    fs::remove(picture);
    return bytes;
}

// A tmpfs of a few hundred kilobytes, for writes that run out of space; mounting needs root.
class SmallDisk {
  public:
    SmallDisk(const fs::path &where, const std::string &size) : where_(where) {
        fs::create_directories(where);
        mounted_ = Succeeds("mount -t tmpfs -o size=" + size + " tmpfs " + Quote(where.string()));
    }
    ~SmallDisk() {
        if (mounted_)
            Succeeds("umount " + Quote(where_.string()));
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool Mounted() const { return mounted_; }

    // Fills the free space with a file, so that not even a copy of a small file fits.
    void Fill() const { Succeeds("cat /dev/zero > " + Quote((where_ / "filler").string())); }

  private:
    fs::path where_;
    bool mounted_ = false;
};

} // namespace idtagger_media
