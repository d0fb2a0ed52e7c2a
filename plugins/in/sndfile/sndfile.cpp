// sndfile: Kernova's reader for AIFF/AIFC, CAF, Sony Wave64 and RF64 files, on libsndfile.
// WAV files are the wave decoder's: this one does not claim the extension. Integer PCM keeps
// its depth (8-bit as unsigned); ALAC keeps its depth, 20 bits rounded up to 24; floating
// point becomes 24-bit, clipped at full scale; every other encoding that libsndfile reads
// (mu-law, A-law, ADPCM, ...) becomes 16-bit. A cut file ends cleanly with what it holds, as
// libsndfile sizes the sound data by the file; a read error ends it with KN_ERR_DECODER_DAMAGED.
#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernova/message_codes.h"
#include "plugins/common/decoder_shell.h"
#include "plugins/common/library_file_name.h"

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

struct FileDeleter {
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using FileHandle = std::unique_ptr<SNDFILE, FileDeleter>;

class SndfileStream final : public knplugin::DecoderStream {
  public:
    SndfileStream(FileHandle opened, const SF_INFO &info)
        : file(std::move(opened)), format{static_cast<uint32_t>(info.samplerate),
                                          static_cast<uint16_t>(info.channels),
                                          OutputBits(info.format & SF_FORMAT_SUBMASK)},
          totalFrames(info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0) {
        sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }

    knplugin::PcmFormat Format() const override { return format; }
    uint64_t LengthFrames() const override { return totalFrames; }

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
    return std::make_unique<SndfileStream>(std::move(file), info);
}

char description[] = "sndfile - AIFF, CAF, Wave64 and RF64 reader";
char extensions[] = "AIF;AIFF;AIFC\0AIFF files\0CAF\0Core Audio files\0W64\0Sony Wave64 files\0"
                    "RF64\0RF64 files\0";
const knplugin::DecoderDefinition definition = {
    description, extensions, "no parameters: integer PCM keeps its depth, floats become 24 bits",
    OpenSndfile};

} // namespace

KERNOVA_EXPORT In_Module *QZconvInputModAddr() {
    return knplugin::GetDecoderModule(definition);
}

KERNOVA_EXPORT InputModuleEx *QZconvInputModAddrEx() {
    return knplugin::GetDecoderModuleEx();
}
