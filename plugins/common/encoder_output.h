/*
 * An encoder's output file. Every write is checked; after the first failure the file counts as
 * failed and refuses further writes, so that one check at the end tells whether the file is
 * complete. A failed output is removed rather than left half written.
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
    void Fail() { failed = true; }
    bool Failed() const { return failed; }
    bool IsOpen() const { return file != nullptr; }

    bool Close();   // flushes and closes; false (and the file removed) when it is not complete
    void Discard(); // closes and removes the file

  private:
    std::FILE *file = nullptr;
    std::string name;
    bool failed = false;
};

} // namespace knplugin

#endif
