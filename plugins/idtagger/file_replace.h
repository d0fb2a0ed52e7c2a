// Changing a file without risking it: the change is made in a copy beside it, and the copy
// replaces the file only when every write to it succeeded.
#pragma once

#include <string>

namespace idtagger {

// A regular file that we may change: it has a write permission bit (a read-only file stays
// untouched even for the superuser) and opens for writing.
bool IsWritableFile(const std::string &path);

class ReplacementCopy {
  public:
    explicit ReplacementCopy(const std::string &original); // copies the file; see Ready()
    ~ReplacementCopy();                                    // removes an uncommitted copy
    ReplacementCopy(const ReplacementCopy &) = delete;
    ReplacementCopy &operator=(const ReplacementCopy &) = delete;

    bool Ready() const { return !copy_.empty(); }
    const std::string &Path() const { return copy_; }
    // Puts the copy in the original's place; false leaves the original as it was.
    bool Commit();

  private:
    std::string target_; // the original with links resolved, so a link keeps pointing to it
    std::string copy_;
};

} // namespace idtagger
