// The plug-ins' side of the FFmpeg library: OpenFfmpegStream and StartM4a load it from the
// plug-ins' lib folder (beside the folder of the plug-in itself) and call it there.
#include <dlfcn.h>

#include <string>

#include "ffmpeg_library.h"
#include "ffmpeg_stream.h"
#include "kernova/message_codes.h"

namespace knplugin {
namespace {

// The library's file: <plug-in folder>/../lib/kn_ffmpeg.so.
std::string LibraryPath() {
    Dl_info own{};
    if (dladdr(reinterpret_cast<const void *>(&LibraryPath), &own) == 0 || !own.dli_fname)
        return "";
    std::string path = own.dli_fname;
    const std::size_t folder = path.rfind('/');
    const std::size_t parent = folder == std::string::npos ? folder : path.rfind('/', folder - 1);
    if (parent == std::string::npos)
        return "";
    return path.substr(0, parent) + "/lib/" + kFfmpegLibrary + ".so";
}

// The entry point, null when the library cannot be loaded. The library is never unloaded: the
// next file, and the next plug-in, find FFmpeg's libraries bound already.
void *FindEntry(const char *name) {
    const std::string path = LibraryPath();
    void *library =
        path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    return library ? dlsym(library, name) : nullptr;
}

} // namespace

std::unique_ptr<DecoderStream> OpenFfmpegStream(const char *file, int &error) {
    auto open = reinterpret_cast<OpenStreamEntry>(FindEntry(kOpenStreamEntry));
    if (!open) {
        error = KN_ERR_DECODER_LOAD;
        return nullptr;
    }
    return std::unique_ptr<DecoderStream>(open(file, &error));
}

int StartM4a(const char *outputName, const WAVEFORMATEX &format, const M4aSettings &settings,
             std::unique_ptr<EncoderSession> &session) {
    auto start = reinterpret_cast<StartM4aEntry>(FindEntry(kStartM4aEntry));
    if (!start)
        return KN_ERR_ENCODER_LOAD;
    EncoderSession *started = nullptr;
    const int result = start(outputName, &format, &settings, &started);
    session.reset(started);
    return result;
}

} // namespace knplugin
