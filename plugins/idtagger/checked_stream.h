// A TagLib stream on a file that remembers every failed write, flush or truncation. TagLib's
// own file stream ignores them, so a save that ran out of disk space would look successful.
#pragma once

#include <cstdio>
#include <string>

#include <taglib/tiostream.h>

namespace idtagger {

class CheckedFileStream : public TagLib::IOStream {
  public:
    explicit CheckedFileStream(const std::string &path); // opened for reading and writing
    ~CheckedFileStream() override;
    CheckedFileStream(const CheckedFileStream &) = delete;
    CheckedFileStream &operator=(const CheckedFileStream &) = delete;

    // Flushes and closes the file; true when nothing failed since it was opened.
    bool Close();

    TagLib::FileName name() const override;
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector &data) override;
    void insert(const TagLib::ByteVector &data, unsigned long start = 0,
                unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return false; }
    bool isOpen() const override { return file_ != nullptr; }
    void seek(long offset, Position p = Beginning) override;
    void clear() override;
    long tell() const override;
    long length() override;
    void truncate(long length) override;

  private:
    enum class LastAccess { None, Read, Write };

    void PrepareFor(LastAccess access);
    void NoteStreamError();
    void MoveBlock(unsigned long from, unsigned long to, unsigned long count);

    std::string path_;
    std::FILE *file_ = nullptr;
    LastAccess last_ = LastAccess::None;
    bool failed_ = false;
};

} // namespace idtagger
