#include "checked_stream.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

namespace idtagger {

namespace {

constexpr unsigned long kMoveChunk = 1 << 20;

int SeekOrigin(TagLib::IOStream::Position position) {
    switch (position) {
    case TagLib::IOStream::Current:
        return SEEK_CUR;
    case TagLib::IOStream::End:
        return SEEK_END;
    default:
        return SEEK_SET;
    }
}

} // namespace

CheckedFileStream::CheckedFileStream(const std::string &path)
    : path_(path), file_(std::fopen(path.c_str(), "r+b")) {}

CheckedFileStream::~CheckedFileStream() {
    Close();
}

// A write that the C library buffered and failed to flush later (in a seek, say) shows only
// in the stream's error indicator.
void CheckedFileStream::NoteStreamError() {
    if (file_ && std::ferror(file_))
        failed_ = true;
}

bool CheckedFileStream::Close() {
    if (file_) {
        failed_ = std::fflush(file_) != 0 || failed_;
        NoteStreamError();
        failed_ = std::fclose(file_) != 0 || failed_;
        file_ = nullptr;
    }
    return !failed_;
}

TagLib::FileName CheckedFileStream::name() const {
    return path_.c_str();
}

// The C library needs a flush or a seek between reading and writing the same stream.
void CheckedFileStream::PrepareFor(LastAccess access) {
    if (last_ == LastAccess::Write && access == LastAccess::Read)
        failed_ = std::fflush(file_) != 0 || failed_;
    else if (last_ == LastAccess::Read && access == LastAccess::Write)
        std::fseek(file_, 0, SEEK_CUR);
    last_ = access;
}

TagLib::ByteVector CheckedFileStream::readBlock(unsigned long length) {
    if (!file_ || length == 0)
        return TagLib::ByteVector();
    // A damaged header may ask for far more than the file holds.
    if (length > kMoveChunk) {
        const long remaining = this->length() - tell();
        if (remaining <= 0)
            return TagLib::ByteVector();
        length = std::min(length, static_cast<unsigned long>(remaining));
    }
    length = std::min<unsigned long>(length, std::numeric_limits<unsigned int>::max());
    PrepareFor(LastAccess::Read);
    TagLib::ByteVector data(static_cast<unsigned int>(length), 0);
    const std::size_t got = std::fread(data.data(), 1, length, file_);
    data.resize(static_cast<unsigned int>(got));
    return data;
}

void CheckedFileStream::writeBlock(const TagLib::ByteVector &data) {
    if (!file_) {
        failed_ = true;
        return;
    }
    PrepareFor(LastAccess::Write);
    if (std::fwrite(data.data(), 1, data.size(), file_) != data.size())
        failed_ = true;
}

// Copies count bytes from one offset to another; the areas may overlap.
void CheckedFileStream::MoveBlock(unsigned long from, unsigned long to, unsigned long count) {
    const bool backwards = to > from;
    unsigned long done = 0;
    while (done < count && !failed_) {
        const unsigned long chunk = std::min(kMoveChunk, count - done);
        const unsigned long offset = backwards ? count - done - chunk : done;
        seek(static_cast<long>(from + offset));
        const TagLib::ByteVector data = readBlock(chunk);
        if (data.size() != chunk) {
            failed_ = true;
            return;
        }
        seek(static_cast<long>(to + offset));
        writeBlock(data);
        done += chunk;
    }
}

void CheckedFileStream::insert(const TagLib::ByteVector &data, unsigned long start,
                               unsigned long replace) {
    const unsigned long size = data.size();
    const long fileLength = length();
    if (fileLength < 0 || start + replace > static_cast<unsigned long>(fileLength)) {
        failed_ = true;
        return;
    }
    const unsigned long tail = static_cast<unsigned long>(fileLength) - start - replace;
    if (size > replace)
        MoveBlock(start + replace, start + size, tail);
    seek(static_cast<long>(start));
    writeBlock(data);
    if (size < replace)
        removeBlock(start + size, replace - size);
}

void CheckedFileStream::removeBlock(unsigned long start, unsigned long length) {
    const long fileLength = this->length();
    if (fileLength < 0 || start + length > static_cast<unsigned long>(fileLength)) {
        failed_ = true;
        return;
    }
    MoveBlock(start + length, start, static_cast<unsigned long>(fileLength) - start - length);
    truncate(fileLength - static_cast<long>(length));
}

void CheckedFileStream::seek(long offset, Position p) {
    if (!file_)
        return;
    std::fseek(file_, offset, SeekOrigin(p));
    NoteStreamError();
}

void CheckedFileStream::clear() {
    NoteStreamError();
    if (file_)
        std::clearerr(file_);
}

long CheckedFileStream::tell() const {
    return file_ ? std::ftell(file_) : -1;
}

long CheckedFileStream::length() {
    if (!file_)
        return -1;
    const long position = tell();
    std::fseek(file_, 0, SEEK_END);
    const long end = tell();
    std::fseek(file_, position, SEEK_SET);
    NoteStreamError();
    return end;
}

void CheckedFileStream::truncate(long length) {
    if (!file_ || std::fflush(file_) != 0) {
        failed_ = true;
        return;
    }
    std::error_code error;
    std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(length), error);
    failed_ = failed_ || static_cast<bool>(error);
}

} // namespace idtagger
