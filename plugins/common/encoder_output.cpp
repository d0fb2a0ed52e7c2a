#include "plugins/common/encoder_output.h"

#include <filesystem>
#include <system_error>

namespace knplugin {

namespace {

// Only a file of our own goes: an output such as /dev/full stays.
void RemoveRegularFile(const std::string &name) {
    std::error_code error;
    if (std::filesystem::is_regular_file(name, error))
        std::filesystem::remove(name, error);
}

} // namespace

OutputFile::~OutputFile() {
    if (file != nullptr)
        Discard();
}

bool OutputFile::Create(const char *fileName) {
    if (file != nullptr || fileName == nullptr)
        return false;
    file = std::fopen(fileName, "wb");
    if (file == nullptr)
        return false;
    name = fileName;
    failed = false;
    return true;
}

bool OutputFile::Write(const void *data, size_t bytes) {
    if (file == nullptr || failed)
        return false;
    if (bytes > 0 && std::fwrite(data, 1, bytes, file) != bytes)
        failed = true;
    return !failed;
}

bool OutputFile::Seek(uint64_t offset) {
    if (file == nullptr || failed)
        return false;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0)
        failed = true;
    return !failed;
}

uint64_t OutputFile::Tell() {
    long at = file != nullptr ? std::ftell(file) : -1;
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

bool OutputFile::WriteAt(uint64_t offset, const void *data, size_t bytes) {
    if (!Seek(offset) || !Write(data, bytes))
        return false;
    if (std::fseek(file, 0, SEEK_END) != 0)
        failed = true;
    return !failed;
}

bool OutputFile::Close() {
    if (file == nullptr)
        return false;
    if (std::fflush(file) != 0)
        failed = true;
    if (failed) {
        Discard();
        return false;
    }
    bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed) {
        failed = true;
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

} // namespace knplugin
