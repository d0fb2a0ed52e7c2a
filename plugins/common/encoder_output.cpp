#include "encoder_output.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "kernova/message_codes.h"

namespace knplugin {

namespace {

// One output is open at a time; its writes and its closing run on different threads, one after
// the other.
std::atomic<int> lastFailure{0};

// Only a file of our own goes: an output such as /dev/full stays.
void RemoveRegularFile(const std::string &name) {
    std::error_code error;
    if (std::filesystem::is_regular_file(name, error))
        std::filesystem::remove(name, error);
}

// Positions past 2 GiB need the 64-bit calls where long has 32 bits (Windows).
int SeekTo(std::FILE *file, int64_t offset, int origin) {
#if defined(_WIN32)
    return _fseeki64(file, offset, origin);
#else
    return fseeko(file, static_cast<off_t>(offset), origin);
#endif
}

int64_t TellOf(std::FILE *file) {
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

// A failing call that leaves errno at 0 still fails the file, for an unknown reason.
int ErrnoOrIo() {
    return errno != 0 ? errno : EIO;
}

} // namespace

OutputFile::~OutputFile() {
    if (file != nullptr)
        Discard();
}

void OutputFile::Refuse(int error) {
    if (!failed)
        lastFailure.store(KernovaWriteErrorCode(error));
    failed = true;
}

void OutputFile::Fail(int error) {
    Refuse(error);
}

bool OutputFile::Create(const char *fileName) {
    if (file != nullptr || fileName == nullptr)
        return false;
    failed = false;
    errno = 0;
    file = std::fopen(fileName, "wb");
    if (file == nullptr) {
        Refuse(ErrnoOrIo());
        return false;
    }
    name = fileName;
    return true;
}

bool OutputFile::Write(const void *data, size_t bytes) {
    if (file == nullptr || failed)
        return false;
    errno = 0;
    if (bytes > 0 && std::fwrite(data, 1, bytes, file) != bytes)
        Refuse(ErrnoOrIo());
    return !failed;
}

bool OutputFile::Seek(uint64_t offset) {
    if (file == nullptr || failed)
        return false;
    errno = 0;
    if (SeekTo(file, static_cast<int64_t>(offset), SEEK_SET) != 0)
        Refuse(ErrnoOrIo());
    return !failed;
}

uint64_t OutputFile::Tell() {
    const int64_t at = file != nullptr ? TellOf(file) : -1;
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

bool OutputFile::WriteAt(uint64_t offset, const void *data, size_t bytes) {
    if (!Seek(offset) || !Write(data, bytes))
        return false;
    errno = 0;
    if (SeekTo(file, 0, SEEK_END) != 0)
        Refuse(ErrnoOrIo());
    return !failed;
}

bool OutputFile::Close() {
    if (file == nullptr)
        return false;
    errno = 0;
    if (std::fflush(file) != 0)
        Refuse(ErrnoOrIo());
    if (failed) {
        Discard();
        return false;
    }
    errno = 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed) {
        Refuse(ErrnoOrIo());
        RemoveRegularFile(name);
    }
    return closed;
}

void OutputFile::Discard() {
    if (file == nullptr)
        return;
    std::fclose(file);
    file = nullptr;
    failed = true;
    RemoveRegularFile(name);
}

int LastOutputFailure() {
    return lastFailure.load();
}

void ForgetOutputFailure() {
    lastFailure.store(0);
}

} // namespace knplugin
