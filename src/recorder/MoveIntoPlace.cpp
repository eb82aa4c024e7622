#include "MoveIntoPlace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace recorder {

bool moveIntoPlace(const std::string& from, const std::string& target, std::string* why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A target that exists must be a regular file: never a link, a folder or a device.
    const fs::file_status st = fs::symlink_status(target, ec);
    if (!ec && fs::exists(st) && !fs::is_regular_file(st)) {
        *why = "\"" + target + "\" is not a regular file";
        return false;
    }
    if (::rename(from.c_str(), target.c_str()) == 0) return true;
    if (errno != EXDEV) {
        *why = "cannot move the recording to \"" + target + "\": " + std::strerror(errno);
        return false;
    }
    // Another file system: a copy beside the target, renamed over it once whole.
    const fs::path t(target);
    std::string part = (t.parent_path() / ("." + t.filename().string() + ".XXXXXX")).string();
    const int out = ::mkstemp(part.data());
    if (out < 0) {
        *why = "cannot write beside \"" + target + "\": " + std::strerror(errno);
        return false;
    }
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0;
    std::vector<char> buffer(size_t(1) << 20);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0)
                ok = false;
            else
                done += w;
        }
    }
    const int copyErrno = errno;
    if (in >= 0) ::close(in);
    ok = ok && ::fchmod(out, 0644) == 0 && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    if (ok && ::rename(part.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        *why = "cannot copy the recording to \"" + target + "\": " + std::strerror(copyErrno);
        ::unlink(part.c_str());
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

} // namespace recorder
