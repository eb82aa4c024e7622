// Files the program writes media into: opened so that a symbolic link at the path is never
// followed (someone else may have planted it to make us overwrite their target), and written
// through libavformat's I/O layer with the write and seek calls of the open descriptor.
// Used by the AVI muxer core (AviMuxer), for the AVI file service and the graphs' AVI
// multiplexer element.
//
// An OutputFile is used by one thread at a time. Errors come back as false / null with a
// message naming the file.
#pragma once

#include <memory>
#include <string>

struct AVIOContext;

namespace platform::vfw {

// The buffer between libavformat and a file we write: large enough that a frame of pictures
// goes out in a few writes.
constexpr int OutputIoBufferSize = 64 * 1024;

// Whether path could be created or rewritten, without touching it: an existing file must be
// a writable regular file (not a symbolic link, a folder, a device, a pipe or a socket), a
// new one needs a writable folder. why tells the reason (the system's text, or what the path
// is).
bool checkWritable(const std::string& path, std::string* why);

class OutputFile {
  public:
    // Creates path or truncates it, mode 0644. A symbolic link at path is refused, and so is
    // anything but a regular file. Null on failure.
    static std::unique_ptr<OutputFile> create(const std::string& path, std::string* error);
    // Closes the descriptor without reporting; call close() first to learn the result.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The I/O context libavformat writes through (write and seek over the descriptor). It
    // belongs to this object; a format context that uses it needs AVFMT_FLAG_CUSTOM_IO.
    AVIOContext* io() const { return io_; }
    const std::string& path() const { return path_; }
    // Hands the buffered bytes to the system. False (with the reason) once a write failed:
    // the bytes of everything flushed before are in the file.
    bool flush(std::string* error);
    // Flushes and closes the file; false when a write or the close failed. Once only.
    bool close(std::string* error);
    // Cuts the file back to size bytes and forgets a failed write, so the file can be finished
    // after it (the bytes of the failed write may have used up the disk). The I/O position
    // moves to size.
    bool truncateTo(long long size, std::string* error);

  private:
    OutputFile(std::string path, int fd);
    std::string path_;
    int fd_ = -1;
    AVIOContext* io_ = nullptr;
};

} // namespace platform::vfw
