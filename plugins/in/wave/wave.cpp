// wave: Kernova's WAV decoder. Reads integer PCM (8, 16, 24 or 32-bit containers, any valid
// width within them, 1 to 8 channels) and 32- or 64-bit float from RIFF/WAVE and RF64 files,
// plain or WAVE_FORMAT_EXTENSIBLE, and plays it into the output module that the core puts into
// outMod through the decoder shell. A width such as 12 bits in 16 or 20 in 24 is read in its
// container: its low bits are zero. Float becomes 32-bit integer PCM, clipped at full scale
// (a float file may go beyond it). Other encodings (a-law, µ-law, ADPCM, ...) go to FFmpeg's
// decoders where the build has them; without, they are refused with a message code that
// GetLastErrorCode returns. A file that ends before the size its data chunk states is a cut
// one: it plays what it holds and ends with KN_ERR_DECODER_TRUNCATED.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include "decoder_shell.h"
#include "kernova/decoder.h"
#include "kernova/message_codes.h"
#ifdef KN_WAVE_FFMPEG
#include "ffmpeg_stream.h"
#endif

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kSizeUnknown = 0xFFFFFFFF; // RF64 and streaming writers leave sizes open
// Writers that cannot go back to fill in the size (ffmpeg, sox and arecord into a pipe) leave 0,
// 0xFFFFFFFF or a size from here up: such a data chunk states no length and runs to the end.
constexpr uint32_t kSizeStreaming = 0x7FFFF000;

// The sub-format GUID of PCM after its first two bytes (the format code).
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct WaveInfo {
    int error = 0; // message code; the fields below are valid when it is 0
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0; // of a stored sample: its container
    bool isFloat = false;
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0;   // whole frames actually present in the file
    uint64_t statedBytes = 0; // what the header states, 0 when it leaves the size open

    uint32_t FrameBytes() const { return channels * (bits / 8u); }
};

uint16_t ReadLe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ReadLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t ReadLe64(const uint8_t *p) {
    return static_cast<uint64_t>(ReadLe32(p)) | static_cast<uint64_t>(ReadLe32(p + 4)) << 32;
}

bool ReadAt(std::ifstream &file, uint64_t offset, uint8_t *buffer, size_t bytes) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char *>(buffer), static_cast<std::streamsize>(bytes));
    return static_cast<size_t>(file.gcount()) == bytes;
}

bool IsSupportedBits(uint16_t bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// The whole bytes that hold a sample of `bits`: 12 bits sit in 16, 20 in 24.
uint16_t ContainerBits(uint16_t bits) {
    return static_cast<uint16_t>((bits + 7) / 8 * 8);
}

// Reads the "fmt " chunk body (`size` bytes, at most 40 of them given) into `info`.
int ParseFormat(const uint8_t *body, uint32_t size, WaveInfo &info) {
    if (size < 16)
        return KN_ERR_WAVE_DAMAGED;
    uint16_t tag = ReadLe16(body);
    info.channels = ReadLe16(body + 2);
    info.rate = ReadLe32(body + 4);
    uint16_t blockAlign = ReadLe16(body + 12);
    info.bits = ReadLe16(body + 14);
    if (tag == kTagExtensible) {
        if (size < 40 || ReadLe16(body + 16) < 22)
            return KN_ERR_WAVE_DAMAGED;
        if (std::memcmp(body + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0)
            return KN_ERR_WAVE_ENCODING;
        tag = ReadLe16(body + 24);
        uint16_t valid = ReadLe16(body + 18);
        if (valid > info.bits)
            return KN_ERR_WAVE_DAMAGED;
    }
    if (tag != kTagPcm && tag != kTagFloat)
        return KN_ERR_WAVE_ENCODING;
    if (info.channels == 0 || info.rate == 0 || info.rate > INT_MAX || info.bits == 0)
        return KN_ERR_WAVE_DAMAGED;
    info.isFloat = tag == kTagFloat;
    info.bits = ContainerBits(info.bits);
    // PCM of another sample size or too many channels is PCM still: not a WAV encoding matter.
    if (info.channels > knplugin::kMaxChannels || (!info.isFloat && !IsSupportedBits(info.bits)))
        return KN_ERR_DECODER_ENCODING;
    if (info.isFloat && info.bits != 32 && info.bits != 64)
        return KN_ERR_WAVE_ENCODING;
    return blockAlign == info.FrameBytes() ? 0 : KN_ERR_WAVE_DAMAGED;
}

// The size of the data chunk that the header states, 0 when it leaves it open.
uint64_t StatedDataBytes(uint32_t size, uint64_t ds64DataSize) {
    if (size == kSizeUnknown)
        return ds64DataSize == kSizeUnknown ? 0 : ds64DataSize;
    return size == 0 || size >= kSizeStreaming ? 0 : size;
}

// Walks the chunks up to "data". The data runs to its stated size or, when the header leaves
// it open or the file was cut, to the end of the file; it is cut to whole frames.
WaveInfo ReadWaveHeader(const char *fileName) {
    WaveInfo info;
    info.error = KN_ERR_WAVE_DAMAGED;
    std::ifstream file(fileName ? fileName : "", std::ios::binary);
    if (!file)
        return info;
    file.seekg(0, std::ios::end);
    auto fileSize = static_cast<uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
    uint8_t riff[12];
    if (!ReadAt(file, 0, riff, sizeof riff) || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return info;
    bool rf64 = std::memcmp(riff, "RF64", 4) == 0;
    if (!rf64 && std::memcmp(riff, "RIFF", 4) != 0)
        return info;
    bool haveFormat = false;
    uint64_t ds64DataSize = kSizeUnknown;
    uint64_t position = sizeof riff;
    uint8_t header[8];
    while (position + sizeof header <= fileSize && ReadAt(file, position, header, sizeof header)) {
        uint32_t size = ReadLe32(header + 4);
        uint64_t body = position + sizeof header;
        if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFormat)
                return info;
            info.statedBytes = StatedDataBytes(size, ds64DataSize);
            uint64_t bytes = fileSize - body;
            if (info.statedBytes > 0)
                bytes = std::min(bytes, info.statedBytes);
            info.dataOffset = body;
            info.dataBytes = bytes - bytes % info.FrameBytes();
            info.error = 0;
            return info;
        }
        if (size == kSizeUnknown)
            return info; // only the data chunk may run to the end
        if (std::memcmp(header, "fmt ", 4) == 0 && !haveFormat) {
            uint8_t format[40] = {};
            uint32_t given = std::min<uint32_t>(size, sizeof format);
            if (!ReadAt(file, body, format, given))
                return info;
            info.error = ParseFormat(format, given, info);
            if (info.error != 0)
                return info;
            info.error = KN_ERR_WAVE_DAMAGED;
            haveFormat = true;
        } else if (std::memcmp(header, "ds64", 4) == 0 && rf64 && size >= 16) {
            uint8_t sizes[16];
            if (!ReadAt(file, body, sizes, sizeof sizes))
                return info;
            ds64DataSize = ReadLe64(sizes + 8);
            if (ds64DataSize == 0)
                ds64DataSize = kSizeUnknown;
        }
        position = body + size + (size & 1);
    }
    return info;
}

// A float sample as a 32-bit integer, full scale at 1.0, clipped beyond it; rounded to the
// nearest, as FFmpeg converts float to 32 bits, so both give the same samples.
int32_t FloatToInt32(double sample) {
    if (std::isnan(sample))
        return 0;
    double scaled = std::nearbyint(sample * 2147483648.0);
    if (scaled >= 2147483647.0)
        return INT32_MAX;
    return scaled <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(scaled);
}

// Float samples (little-endian, 32 or 64 bits) from `in` as 32-bit little-endian integers.
void ConvertFloat(const char *in, size_t samples, uint16_t bits, char *out) {
    for (size_t i = 0; i < samples; i++, out += 4) {
        double sample;
        if (bits == 32) {
            float value;
            std::memcpy(&value, in + 4 * i, 4);
            sample = value;
        } else {
            std::memcpy(&sample, in + 8 * i, 8);
        }
        knplugin::PutSample<32>(out, FloatToInt32(sample));
    }
}

// The data chunk of an opened file, read as it is stored; float converted to 32-bit integers.
class WaveStream final : public knplugin::DecoderStream {
  public:
    WaveStream(std::ifstream opened, const WaveInfo &header)
        : file(std::move(opened)), info(header), remaining(header.dataBytes) {}

    knplugin::PcmFormat Format() const override {
        return {info.rate, info.channels, info.isFloat ? uint16_t{32} : info.bits};
    }
    uint64_t LengthFrames() const override { return info.dataBytes / info.FrameBytes(); }
    uint64_t StatedFrames() const override { return info.statedBytes / info.FrameBytes(); }

    size_t Read(char *buffer, size_t frames) override {
        if (!info.isFloat)
            return ReadStored(buffer, frames);
        stored.resize(frames * info.FrameBytes());
        size_t got = ReadStored(stored.data(), frames);
        ConvertFloat(stored.data(), got * info.channels, info.bits, buffer);
        return got;
    }

    int EndCode() const override { return shrunk ? KN_ERR_WAVE_DAMAGED : 0; }

  private:
    size_t ReadStored(char *buffer, size_t frames) {
        uint32_t frameBytes = info.FrameBytes();
        uint64_t wanted = std::min<uint64_t>(frames * frameBytes, remaining);
        file.read(buffer, static_cast<std::streamsize>(wanted));
        auto got = static_cast<size_t>(file.gcount()) / frameBytes;
        if (got * frameBytes < wanted)
            shrunk = true; // the file became shorter while it was read
        remaining = got > 0 ? remaining - got * frameBytes : 0;
        return got;
    }

    std::vector<char> stored; // float samples as the file holds them
    std::ifstream file;
    WaveInfo info;
    uint64_t remaining;
    bool shrunk = false;
};

std::unique_ptr<knplugin::DecoderStream> OpenWave(const char *fileName, int &error) {
    WaveInfo info = ReadWaveHeader(fileName);
    error = info.error;
#ifdef KN_WAVE_FFMPEG
    if (info.error == KN_ERR_WAVE_ENCODING) {
        int ffmpegError = 0;
        auto stream = knplugin::OpenFfmpegStream(fileName, ffmpegError);
        if (stream)
            error = 0;
        return stream;
    }
#endif
    if (info.error != 0)
        return nullptr;
    std::ifstream file(fileName, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(info.dataOffset));
    if (!file) {
        error = KN_ERR_WAVE_DAMAGED;
        return nullptr;
    }
    return std::make_unique<WaveStream>(std::move(file), info);
}

char description[] = "wave - PCM and float WAV reader";
char extensions[] = "WAV\0Wave files\0";
const knplugin::DecoderDefinition definition = {
    description, extensions,
    "no parameters: integer PCM is read as it is stored, float as 32-bit integers", OpenWave};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
