#include "StagedFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform::vfw {

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    const std::filesystem::path t(target_);
    const std::filesystem::path folder = t.parent_path().empty() ? "." : t.parent_path();
    const std::string pattern = (folder / ("." + t.filename().string() + ".XXXXXX.partial"));
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemps(name.data(), int(std::strlen(".partial")), O_CLOEXEC);
    if (fd < 0) return; // the target itself is written
    ::close(fd);
    staged_ = name.data();
}

StagedFile::~StagedFile() {
    discard();
}

bool StagedFile::commit(std::string* why) {
    if (staged_.empty()) return true;
    // The new file takes the permission bits of the one it replaces, as a file rewritten in
    // place would keep them; a new name gets what the writers give a file they create.
    struct stat st {};
    const mode_t mode = ::stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                            ? st.st_mode & 07777
                            : mode_t(0644);
    ::chmod(staged_.c_str(), mode);
    if (::rename(staged_.c_str(), target_.c_str()) != 0) {
        if (why) *why = "cannot move the new file to " + target_ + ": " + std::strerror(errno);
        discard();
        return false;
    }
    staged_.clear();
    return true;
}

void StagedFile::discard() {
    if (staged_.empty()) return;
    ::unlink(staged_.c_str());
    staged_.clear();
}

} // namespace platform::vfw
