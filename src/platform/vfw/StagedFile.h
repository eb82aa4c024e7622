// A new file written beside its final name and moved there only once it is whole: a job that
// fails, is stopped before it wrote anything, or is killed leaves an earlier file at the name
// as it was, and never a half-written file under that name. The staged file is hidden in the
// same folder (".NAME.XXXXXX.partial"), so the move is one rename on one file system.
//
// Where no file can be made in the folder (a folder we may rewrite files in but not create
// files in), the target itself is written, as without staging.
//
// One thread at a time.
#pragma once

#include <string>

namespace platform::vfw {

class StagedFile {
  public:
    explicit StagedFile(std::string target);
    // Removes the staged file unless it was moved into place.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Where to write: the staged file, or the target when nothing could be staged.
    const std::string& path() const { return staged_.empty() ? target_ : staged_; }
    const std::string& target() const { return target_; }
    bool staged() const { return !staged_.empty(); }

    // Moves the staged file to the target in one step, replacing an earlier file there (whose
    // permission bits the new one takes; a new one gets 0644). True at once when nothing was
    // staged. False, with the reason, when the move failed; the staged file is then removed.
    bool commit(std::string* why);
    // Removes the staged file (never the target).
    void discard();

  private:
    std::string target_;
    std::string staged_;
};

} // namespace platform::vfw
