// sndfile: Kernova's reader for AIFF/AIFC, CAF, Sony Wave64 and RF64 files, on libsndfile.
// WAV files are the wave decoder's: this one does not claim the extension. Integer PCM keeps
// its depth (8-bit as unsigned); ALAC keeps its depth, 20 bits rounded up to 24; floating
// point becomes 24-bit, clipped at full scale; every other encoding that libsndfile reads
// (mu-law, A-law, ADPCM, ...) becomes 16-bit. libsndfile sizes the sound data by the file, so
// the length that the header states is read beside it (AIFF's frame count, the data size of
// RF64 and Wave64 files in a fixed-size encoding): a cut file plays what it holds and ends with
// KN_ERR_DECODER_TRUNCATED (libsndfile refuses cut CAF files). A read error ends the stream with
// KN_ERR_DECODER_DAMAGED.
#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "decoder_shell.h"
#include "kernova/message_codes.h"
#include "library_file_name.h"
#include "resident_library.h"

// libsndfile stays loaded for the next job (resident_library.h).
[[maybe_unused]] const bool codecResident =
    knplugin::KeepLibraryResident(reinterpret_cast<const void *>(&sf_open));

namespace {

uint16_t OutputBits(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 8;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
        return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
        return 32;
    default:
        return 16;
    }
}

// Bytes per sample of the encodings that store every sample in the same number of bytes; 0 for
// the others, whose data size tells no frame count.
uint32_t FixedSampleBytes(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

uint64_t ReadLe64(const uint8_t *p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

// The data size that an RF64 file's ds64 chunk (always the first) states.
uint64_t Rf64DataBytes(std::ifstream &file) {
    uint8_t head[36];
    file.read(reinterpret_cast<char *>(head), sizeof head);
    bool ds64 = file && std::memcmp(head, "RF64", 4) == 0 && std::memcmp(head + 12, "ds64", 4) == 0;
    return ds64 ? ReadLe64(head + 28) : 0;
}

// The data size that a Wave64 file's data chunk states: its chunks are a GUID, a 64-bit size
// that counts their 24-byte head, and the body padded to 8 bytes.
uint64_t Wave64DataBytes(std::ifstream &file) {
    constexpr int kHeadBytes = 24;
    uint64_t position = 40; // after the riff chunk's head and the wave GUID
    uint8_t head[kHeadBytes];
    for (int chunk = 0; chunk < 64; chunk++) {
        file.seekg(static_cast<std::streamoff>(position));
        if (!file.read(reinterpret_cast<char *>(head), sizeof head))
            return 0;
        uint64_t size = ReadLe64(head + 16);
        if (size < kHeadBytes)
            return 0;
        if (std::memcmp(head, "data", 4) == 0)
            return size - kHeadBytes;
        position += (size + 7) / 8 * 8;
    }
    return 0;
}

// The frame count of an AIFF file's COMM chunk, big-endian after the channel count.
uint64_t AiffFrames(SNDFILE *file) {
    SF_CHUNK_INFO wanted{};
    std::memcpy(wanted.id, "COMM", 4);
    wanted.id_size = 4;
    SF_CHUNK_ITERATOR *chunk = sf_get_chunk_iterator(file, &wanted);
    SF_CHUNK_INFO info{};
    if (chunk == nullptr || sf_get_chunk_size(chunk, &info) != SF_ERR_NO_ERROR || info.datalen < 6)
        return 0;
    std::vector<uint8_t> body(info.datalen);
    info.data = body.data();
    if (sf_get_chunk_data(chunk, &info) != SF_ERR_NO_ERROR)
        return 0;
    return static_cast<uint64_t>(body[2]) << 24 | body[3] << 16 | body[4] << 8 | body[5];
}

// The frames that the header states, 0 when it states none that can be checked.
uint64_t StatedFrames(SNDFILE *handle, const char *fileName, const SF_INFO &info) {
    int major = info.format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_AIFF)
        return AiffFrames(handle);
    uint64_t frameBytes =
        FixedSampleBytes(info.format & SF_FORMAT_SUBMASK) * static_cast<uint64_t>(info.channels);
    if (frameBytes == 0 || (major != SF_FORMAT_RF64 && major != SF_FORMAT_W64))
        return 0;
    std::ifstream file(fileName, std::ios::binary);
    uint64_t bytes = major == SF_FORMAT_RF64 ? Rf64DataBytes(file) : Wave64DataBytes(file);
    return bytes / frameBytes;
}

struct FileDeleter {
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using FileHandle = std::unique_ptr<SNDFILE, FileDeleter>;

class SndfileStream final : public knplugin::DecoderStream {
  public:
    SndfileStream(FileHandle opened, const SF_INFO &info, uint64_t stated)
        : file(std::move(opened)), format{static_cast<uint32_t>(info.samplerate),
                                          static_cast<uint16_t>(info.channels),
                                          OutputBits(info.format & SF_FORMAT_SUBMASK)},
          totalFrames(info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0),
          statedFrames(stated) {
        sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }
    uint64_t StatedFrames() const override { return statedFrames; }

    size_t Read(char *buffer, size_t frames) override {
        auto wanted = static_cast<sf_count_t>(frames);
        sf_count_t got = 0;
        if (format.bits == 16) {
            got = sf_readf_short(file.get(), reinterpret_cast<short *>(buffer), wanted);
        } else {
            // libsndfile hands every depth over as 32-bit values with the sample at the top.
            wide.resize(frames * format.channels);
            got = sf_readf_int(file.get(), wide.data(), wanted);
            char *out = buffer;
            size_t values = static_cast<size_t>(std::max<sf_count_t>(got, 0)) * format.channels;
            for (size_t i = 0; i < values; i++)
                out = knplugin::StoreSample(out, wide[i] >> (32 - format.bits), format.bits);
        }
        got = std::max<sf_count_t>(got, 0);
        decodedFrames += static_cast<uint64_t>(got);
        return static_cast<size_t>(got);
    }

    int EndCode() const override {
        return decodedFrames < totalFrames || sf_error(file.get()) != SF_ERR_NO_ERROR
                   ? KN_ERR_DECODER_DAMAGED
                   : 0;
    }

  private:
    FileHandle file;
    knplugin::PcmFormat format;
    uint64_t totalFrames;
    uint64_t statedFrames;
    uint64_t decodedFrames = 0;
    std::vector<int> wide;
};

std::unique_ptr<knplugin::DecoderStream> OpenSndfile(const char *fileName, int &error) {
    SF_INFO info{};
    FileHandle file(sf_open(knplugin::LibraryFileName(fileName).c_str(), SFM_READ, &info));
    if (!file) {
        error = KN_ERR_SNDFILE_UNKNOWN;
        return nullptr;
    }
    uint64_t stated = StatedFrames(file.get(), fileName, info);
    return std::make_unique<SndfileStream>(std::move(file), info, stated);
}

char description[] = "sndfile - AIFF, CAF, Wave64 and RF64 reader";
char extensions[] = "AIF;AIFF;AIFC\0AIFF files\0CAF\0Core Audio files\0W64\0Sony Wave64 files\0"
                    "RF64\0RF64 files\0";
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: integer PCM keeps its depth, floats become 24 bits",
    OpenSndfile};

} // namespace

KN_DECODER_ENTRY_POINTS(definition)
