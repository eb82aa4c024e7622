#include "OutputFile.h"

#include "LibavError.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::vfw {

namespace {

std::string linkRefused(const std::string& path) {
    return path + " is a symbolic link; it is not followed for writing";
}

int writeAll(void* opaque, uint8_t* data, int size) {
    const int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        if (n == 0) return AVERROR(EIO);
        done += int(n);
    }
    return size;
}

int64_t seekTo(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
    }
    const off_t to = ::lseek(fd, off_t(offset), whence);
    return to < 0 ? AVERROR(errno) : int64_t(to);
}

} // namespace

bool checkWritable(const std::string& path, std::string* why) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            setError(why, linkRefused(path));
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            setError(why, std::strerror(EISDIR));
            return false;
        }
        // A device, a pipe or a socket is never written into nor replaced by a file of ours
        // (run as root, a picture "saved" as /dev/null would replace the device).
        if (!S_ISREG(st.st_mode)) {
            const char* kind = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                               : S_ISFIFO(st.st_mode)                     ? "a pipe"
                               : S_ISSOCK(st.st_mode)                     ? "a socket"
                                                                          : "not a regular file";
            setError(why, std::string("it is ") + kind + ", not a regular file");
            return false;
        }
        if (::access(path.c_str(), W_OK) != 0) {
            setError(why, std::strerror(errno));
            return false;
        }
        return true;
    }
    if (errno != ENOENT) {
        setError(why, std::strerror(errno));
        return false;
    }
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        setError(why, std::strerror(errno));
        return false;
    }
    return true;
}

OutputFile::OutputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

std::unique_ptr<OutputFile> OutputFile::create(const std::string& path, std::string* error) {
    // Non-blocking only for the open itself: a FIFO planted at the path must not hang us.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        // ELOOP is what O_NOFOLLOW answers for a link at the last part of the path.
        setError(error, errno == ELOOP ? linkRefused(path)
                                       : "cannot create " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<OutputFile> file(new OutputFile(path, fd));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(error, "cannot write " + path + ": not a regular file");
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto* buffer = static_cast<unsigned char*>(av_malloc(OutputIoBufferSize));
    file->io_ = buffer ? avio_alloc_context(buffer, OutputIoBufferSize, 1, &file->fd_, nullptr,
                                            writeAll, seekTo)
                       : nullptr;
    if (!file->io_) {
        av_free(buffer);
        setError(error, "out of memory opening " + path);
        return nullptr;
    }
    file->io_->seekable = AVIO_SEEKABLE_NORMAL;
    return file;
}

OutputFile::~OutputFile() {
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::flush(std::string* error) {
    if (!io_) {
        setError(error, path_ + " is closed");
        return false;
    }
    avio_flush(io_);
    if (io_->error < 0) {
        setError(error, "cannot write to " + path_ + ": " + avError(io_->error));
        return false;
    }
    return true;
}

bool OutputFile::close(std::string* error) {
    bool ok = flush(error);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) {
        // The close reports what the system could not write back (a full disk on some file
        // systems shows only here).
        if (::close(fd_) != 0 && ok) {
            setError(error, "cannot finish " + path_ + ": " + std::strerror(errno));
            ok = false;
        }
        fd_ = -1;
    }
    return ok;
}

bool OutputFile::truncateTo(long long size, std::string* error) {
    if (!io_ || fd_ < 0) {
        setError(error, path_ + " is closed");
        return false;
    }
    avio_flush(io_); // writes nothing once an error is set; empties the buffer
    if (::ftruncate(fd_, off_t(size)) != 0) {
        setError(error, "cannot cut " + path_ + " back: " + std::strerror(errno));
        return false;
    }
    io_->error = 0;
    if (const int64_t at = avio_seek(io_, size, SEEK_SET); at < 0) {
        setError(error, "cannot cut " + path_ + " back: " + avError(int(at)));
        return false;
    }
    return true;
}

} // namespace platform::vfw
