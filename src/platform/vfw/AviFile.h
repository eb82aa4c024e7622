// The AVI file service: open a file for writing, create a stream with its header, make a
// compressed stream over it with compression options, set the format from a bitmap header,
// write one sample at a stream position, release. Built on the AVI muxer core of AviMuxer.h
// (libavformat's AVI muxer, which writes OpenDML indexes, so files past 1 GB stay valid) and on
// the compressors found by FourCC in Compressor.h.
//
// Files and streams are reference counted: a stream keeps its file alive, and the file is
// finished (index and headers written, file closed) when the last of the file and its streams
// is released, whatever the order of release; how that went is kept in the file's
// AviFileStatus, which the caller may hold past the releases. A file is never written through
// a symbolic link. Objects are used by one thread at a time (the screen engine's worker).
// Errors come back as false / null with a message naming the file.
#pragma once

#include "AviMuxer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::vfw {

class VideoCompressor;

constexpr uint32_t streamtypeVIDEO = makeFourCC('v', 'i', 'd', 's');
constexpr uint32_t streamtypeAUDIO = makeFourCC('a', 'u', 'd', 's');

// Open modes.
constexpr uint32_t OF_WRITE = 0x0001;
constexpr uint32_t OF_CREATE = 0x1000;
// Compression option flags.
constexpr uint32_t AVICOMPRESSF_INTERLEAVE = 0x01;
constexpr uint32_t AVICOMPRESSF_DATARATE = 0x02;
constexpr uint32_t AVICOMPRESSF_KEYFRAMES = 0x04;
constexpr uint32_t AVICOMPRESSF_VALID = 0x08;
// Sample flags.
constexpr uint32_t AVIIF_KEYFRAME = 0x10;

// Version of the AVI file service: the high word is major.minor (0x010A is 1.10).
uint32_t videoForWindowsVersion();

struct AviRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct AviStreamInfo {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t flags = 0;
    uint32_t caps = 0;
    uint16_t priority = 0;
    uint16_t language = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t initialFrames = 0;
    uint32_t suggestedBufferSize = 0;
    uint32_t quality = 0;
    uint32_t sampleSize = 0;
    AviRect frame;
    uint32_t editCount = 0;
    uint32_t formatChangeCount = 0;
    std::string name;
};

struct AviCompressOptions {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t keyFrameEvery = 0;
    uint32_t quality = 0; // 0..10000
    uint32_t bytesPerSecond = 0;
    uint32_t flags = 0;
    const void* format = nullptr;
    uint32_t formatSize = 0;
    const void* parms = nullptr;
    uint32_t parmsSize = 0;
    uint32_t interleaveEvery = 0;
};

// Releases what a compressor may have attached to the options (format and parameter
// blocks). Safe to call on options that carry nothing.
void releaseCompressOptions(AviCompressOptions& options);

class AviStream {
  public:
    virtual ~AviStream() = default;
    // Sets the stream's format: for video, a bitmap information header followed by its
    // colour table.
    virtual bool setFormat(const void* format, size_t size, std::string* error) = 0;
    // Writes one sample at a stream position. Positions skipped since the last write stay
    // empty (an empty chunk, which players show as a repeat of the previous frame).
    // A position at or before one already written is refused. True only once the sample's
    // bytes are handed to the system; a sample that could not be written is taken back out of
    // the file, and no later write is accepted (the file can still be finished). On a
    // compressed stream the compressor decides which samples are key frames; flags are ignored.
    virtual bool write(int64_t position, const void* data, size_t size, uint32_t flags,
                       std::string* error) = 0;
    // Samples written with data, and positions left empty, so far.
    virtual int64_t samplesWritten() const = 0;
    virtual int64_t positionsSkipped() const = 0;
};

class AviFile {
  public:
    // Opens path with mode (OF_WRITE | OF_CREATE creates or truncates it). Null on failure,
    // also when path is a symbolic link.
    static std::shared_ptr<AviFile> open(const std::string& path, uint32_t mode,
                                         std::string* error);
    ~AviFile();
    std::shared_ptr<AviStream> createStream(const AviStreamInfo& info, std::string* error);
    const std::string& path() const;
    // How the file ended; filled in when the last of the file and its streams is released.
    std::shared_ptr<const AviFileStatus> status() const;

    struct Shared;

  private:
    explicit AviFile(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> d;
};

// A stream that compresses what is written to it with the compressor named by
// options.fccHandler and writes the result into source's file. The format set on it is the
// uncompressed input format. Null (with the reason) when no such compressor exists.
std::shared_ptr<AviStream> makeCompressedStream(std::shared_ptr<AviStream> source,
                                                const AviCompressOptions& options,
                                                std::string* error);
// The same with a compressor chosen by the caller (for instance libavcodec's MS Video 1, to
// compare it with ours) instead of the one installed for options.fccHandler.
std::shared_ptr<AviStream> makeCompressedStream(std::shared_ptr<AviStream> source,
                                                const AviCompressOptions& options,
                                                std::unique_ptr<VideoCompressor> compressor,
                                                std::string* error);

// Whether the AVI file at path holds at least one sample of data: a recording stopped before
// its first sound arrived has its stream and no samples, and other readers refuse such a file.
// False when the file cannot be read.
bool aviFileHasSamples(const std::string& path);

// What an AVI file holds, read from its headers: the first video stream's frame count (its
// header's length), size, rate and FourCC, the first audio stream's wave tag, and the length.
struct AviSummary {
    bool hasVideo = false, hasAudio = false;
    int64_t videoFrames = 0;
    int width = 0, height = 0;
    int rateNum = 0, rateDen = 1;
    std::string videoFourcc; // "XVID"
    uint16_t audioTag = 0;   // 0x55: MP3
    double seconds = 0;
    // The first video stream's pictures that carry data (the other frames are empty chunks,
    // the picture before repeated), and the length of the first video and audio streams.
    int64_t videoPictures = 0;
    double videoSeconds = 0, audioSeconds = 0;
};
// False (with the reason) when the file cannot be read as AVI.
bool readAviSummary(const std::string& path, AviSummary* summary, std::string* error);

} // namespace platform::vfw
