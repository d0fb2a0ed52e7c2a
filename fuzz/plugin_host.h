/*
 * The core's side of the decoder protocol, for tests that load a decoder plug-in from the build
 * and drive it as the core does, without the engine: a real hidden window of the platform layer
 * that counts the messages posted to it, and a stand-in for the output writer that the decoder
 * writes to.
 *
 * The writer behaves as the core's: CanWrite answers twice the target's block size before the
 * first write and 16384 after; writes of 4 bytes or fewer are ignored; the PCM goes to a
 * PcmTarget in blocks of its block size, the rest with EncodeLast on Close. Options make it
 * take little at a time, or nothing, to test how a decoder waits.
 *
 * One session at a time: the Out_Module functions reach the session through a global. A session
 * is made, waited on and destroyed on one thread: its window belongs to that thread, and the
 * posted messages are counted only while that thread pumps (in the waits and the counts).
 */
#ifndef KERNOVA_TESTS_PLUGIN_HOST_H
#define KERNOVA_TESTS_PLUGIN_HOST_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernova/decoder.h"

namespace testhost {

struct DecoderPlugin {
    In_Module *module = nullptr;
    InputModuleEx *moduleEx = nullptr;
    std::string loadError; // why the library or its tables are missing
};

// The full name of the library <build>/bin/<relative> plus the library suffix, with the
// system's folder separators ("plugins/in/wave" -> .../bin/plugins/in/wave.so).
std::string BuiltLibrary(const std::string &relative);

// Loads <build>/bin/plugins/in/<name> (a library) once for the whole run, as the core keeps a
// loaded module for a job.
const DecoderPlugin &LoadDecoder(const std::string &name);

// Where the writer hands the PCM, like the core's writer hands it to an encoder.
class PcmTarget {
  public:
    virtual ~PcmTarget() = default;
    // 0 accepts the decoder's format; any other answer makes the writer's Open fail.
    virtual int Open(const WAVEFORMATEX &format) = 0;
    virtual size_t BlockSize() const = 0;
    virtual int Encode(const char *block) = 0; // nonzero makes the writer's Write fail
    virtual void EncodeLast(const char *data, size_t bytes) = 0;
    virtual void Close() = 0;
};

// Keeps the opened format and every byte.
class CaptureTarget : public PcmTarget {
  public:
    int Open(const WAVEFORMATEX &opened) override;
    size_t BlockSize() const override { return 4608; }
    int Encode(const char *block) override;
    void EncodeLast(const char *data, size_t bytes) override;
    void Close() override {}

    WAVEFORMATEX format{};
    std::string pcm;
};

struct WriterOptions {
    int canWriteLimit = -1;            // >= 0: CanWrite never answers more
    int canWriteRefusals = 0;          // CanWrite first answers 0 this many times
    size_t stallAfterBytes = SIZE_MAX; // CanWrite answers 0 once this many bytes were taken
};

// What the writer saw, complete once the decoder has been stopped.
struct WriterRecord {
    int opens = 0;
    int closes = 0;
    int openResult = 0; // the target's refusal
    int ignoredWrites = 0;
    size_t bytesTaken = 0;
};

// One decode driven as the core drives it. The decoder's hMainWindow and outMod point at this
// session's window and writer until it is destroyed.
class HostSession {
  public:
    HostSession(const DecoderPlugin &plugin, PcmTarget &target, const WriterOptions &options = {});
    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    int Play(const std::string &file);
    // Until the decoder posted its end of stream or the writer refused to open; false when
    // neither happened within `limit`.
    bool WaitForEnd(std::chrono::seconds limit);
    // Until CanWrite has answered 0 for the stall of WriterOptions at least once, so the decoder
    // is waiting for room; false when it has not within `limit`.
    bool WaitForStall(std::chrono::seconds limit);
    // Calls Stop on a thread of its own, as the core's stop thread does; false when Stop has
    // not returned within `limit` (a hang: the thread is left behind).
    bool Stop(std::chrono::seconds limit);

    int EndOfStreamPosts() const;
    int OtherPosts() const;
    const WriterRecord &Writer() const;

    struct State;

  private:
    const DecoderPlugin &plugin;
    State *state; // left behind after a hung Stop, as the decoding thread may still use it
};

struct DecodeRun {
    int playResult = 0;
    int errorCode = 0;     // GetLastErrorCode afterwards
    bool finished = true;  // the decode ended by itself and Stop returned, within the limits
    int endOfStream = 0;   // WM_WA_MPEG_EOF posts
    int otherMessages = 0; // any other posts
    int lengthMs = 0;      // GetLength while playing
    int outputTimeMs = 0;  // GetOutputTime after Stop
    WriterRecord writer;
};

// Plays `file` into `target` until the end of stream, then stops the decoder.
DecodeRun Decode(const DecoderPlugin &plugin, const std::string &file, PcmTarget &target,
                 const WriterOptions &options = {});

// GetFileInfo's length and then GetLastErrorCode, for a file.
struct FileInfo {
    int lengthMs = 0;
    int errorCode = 0;
};
FileInfo GetFileInfo(const DecoderPlugin &plugin, const std::string &file);

} // namespace testhost

#endif
