// wave: Kernova's WAV decoder. Reads integer PCM (8, 16, 24 or 32 bits, 1 to 8 channels) from
// RIFF/WAVE and RF64 files, plain or WAVE_FORMAT_EXTENSIBLE, and plays it into the output module
// that the core puts into outMod through the decoder shell. Anything else is refused with a
// message code that GetLastErrorCode returns. A file that ends before the size its data chunk
// states is a cut one: it plays what it holds and ends with KN_ERR_DECODER_TRUNCATED.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>

#include "kernova/decoder.h"
#include "kernova/message_codes.h"
#include "plugins/common/decoder_shell.h"

namespace {

constexpr uint16_t kTagPcm = 1;
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
    uint16_t bits = 0;
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
    }
    if (tag != kTagPcm)
        return KN_ERR_WAVE_ENCODING;
    if (info.channels == 0 || info.rate == 0 || info.rate > INT_MAX)
        return KN_ERR_WAVE_DAMAGED;
    // PCM of another sample size or too many channels is PCM still: not a WAV encoding matter.
    if (!IsSupportedBits(info.bits) || info.channels > knplugin::kMaxChannels)
        return KN_ERR_DECODER_ENCODING;
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

// The data chunk of an opened file, read as it is stored.
class WaveStream final : public knplugin::DecoderStream {
  public:
    WaveStream(std::ifstream opened, const WaveInfo &header)
        : file(std::move(opened)), info(header), remaining(header.dataBytes) {}

    knplugin::PcmFormat Format() const override { return {info.rate, info.channels, info.bits}; }
    uint64_t LengthFrames() const override { return info.dataBytes / info.FrameBytes(); }
    uint64_t StatedFrames() const override { return info.statedBytes / info.FrameBytes(); }

    size_t Read(char *buffer, size_t frames) override {
        uint32_t frameBytes = info.FrameBytes();
        uint64_t wanted = std::min<uint64_t>(frames * frameBytes, remaining);
        file.read(buffer, static_cast<std::streamsize>(wanted));
        auto got = static_cast<size_t>(file.gcount()) / frameBytes;
        if (got * frameBytes < wanted)
            shrunk = true; // the file became shorter while it was read
        remaining = got > 0 ? remaining - got * frameBytes : 0;
        return got;
    }

    int EndCode() const override { return shrunk ? KN_ERR_WAVE_DAMAGED : 0; }

  private:
    std::ifstream file;
    WaveInfo info;
    uint64_t remaining;
    bool shrunk = false;
};

std::unique_ptr<knplugin::DecoderStream> OpenWave(const char *fileName, int &error) {
    WaveInfo info = ReadWaveHeader(fileName);
    error = info.error;
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

char description[] = "wave - PCM WAV reader";
char extensions[] = "WAV\0Wave files\0";
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: integer PCM is read as it is stored", OpenWave};

} // namespace

KERNOVA_EXPORT In_Module *QZconvInputModAddr() {
    return knplugin::GetDecoderModule(definition);
}

KERNOVA_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    return knplugin::GetDecoderModuleEx();
}

KERNOVA_EXPORT const char *QZconvInputErrorText() {
    return knplugin::GetErrorText();
}
