/*
 * An encoder's output file. Every write is checked; after the first failure the file counts as
 * failed and refuses further writes, so that one check at the end tells whether the file is
 * complete. A failed output is removed rather than left half written. The system's reason of
 * the first failure (its errno) is kept for the encoder's GetLastErrorCode.
 */
#ifndef KERNOVA_PLUGIN_ENCODER_OUTPUT_H
#define KERNOVA_PLUGIN_ENCODER_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace knplugin {

class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile(); // an output still open here is discarded

    bool Create(const char *name); // false: the file cannot be created
    bool Write(const void *data, size_t bytes);
    bool WriteAt(uint64_t offset, const void *data, size_t bytes); // then back to the end
    bool Seek(uint64_t offset);
    uint64_t Tell();
    // Fails the file for a reason of the encoder's own, given as an errno value (EFBIG).
    void Fail(int error);
    bool Failed() const { return failed; }
    bool IsOpen() const { return file != nullptr; }

    bool Close();   // flushes and closes; false (and the file removed) when it is not complete
    void Discard(); // closes and removes the file

  private:
    void Refuse(int error);

    std::FILE *file = nullptr;
    std::string name;
    bool failed = false;
};

// The write error code (message codes 22 to 29) of the last output file of this plug-in that
// failed for a reason of the system, since the last ForgetOutputFailure; 0 when none did.
int LastOutputFailure();
void ForgetOutputFailure();

} // namespace knplugin

#endif
