// The AVI muxer core that every AVI the program writes goes through: the AVI file service
// (AviFile) and the graphs' multiplexer element both describe their streams here and hand it
// their packets, each placing frames in its own way. Built on libavformat's AVI muxer (OpenDML
// indexes, so files past 1 GB stay valid).
//
// This is also the one place that decides what the files carry: the FourCCs XVID and MSVC for
// video (and MJPG and H264 for pictures copied unchanged from another file), the wave format
// tags 0x55 (MP3) and 1 (PCM) for sound. A stream of any other kind is
// refused when it is added.
//
// A muxer writes to a file (created through OutputFile, never through a symbolic link) or to a
// sink of callbacks. Streams are added, then the header is written, then packets, then the
// trailer (finish). A muxer is used by one thread at a time; the sink's callbacks are called
// on that thread, inside the call that writes. Errors come back as false with a message that
// names the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::vfw {

constexpr uint32_t makeFourCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}
// Four characters, first in the lowest byte; shorter strings are padded with blanks.
uint32_t stringToFourCC(std::string_view text);
std::string fourCCToString(uint32_t fourcc);

// The kinds of stream the program writes, by the FourCC or tag its AVI header states.
constexpr uint32_t fourccMSVC = makeFourCC('M', 'S', 'V', 'C'); // MS Video 1, 16 bits a pixel
constexpr uint32_t fourccXVID = makeFourCC('X', 'V', 'I', 'D'); // MPEG-4 part 2
constexpr uint32_t fourccMJPG = makeFourCC('M', 'J', 'P', 'G'); // Motion JPEG, copied as it is
constexpr uint32_t fourccH264 = makeFourCC('H', '2', '6', '4'); // H.264 byte stream, copied
// Uncompressed RGB (BI_RGB, no FourCC), 24 or 32 bits a pixel, copied as it is. Its rows are
// written top-down (the header states a negative height), as the frames come.
constexpr uint32_t fourccRGB = 0;
constexpr uint16_t waveTagMP3 = 0x55; // MPEG-1/2 layer 3
constexpr uint16_t waveTagPCM = 1;    // interleaved PCM: 8 bits unsigned or 16 bits signed

// The end of one output, filled in when the muxer finishes or closes it.
struct AviFileStatus {
    bool finished = false; // finished or closed (for AviFile: its last release ran)
    bool ok = false;       // index, headers and close all succeeded
    std::string error;     // why not, naming the file
};

struct AviVideoFormat {
    uint32_t fourcc = 0; // fourccMSVC, fourccXVID, fourccMJPG or fourccH264
    int width = 0, height = 0;
    int bitCount = 0;             // the bit count of the header's bitmap information
    int rateNum = 0, rateDen = 1; // frames per second, as a fraction
    int64_t bitRate = 0;          // 0: not stated
    std::vector<uint8_t> extraData;
};

struct AviAudioFormat {
    uint16_t waveTag = 0; // waveTagMP3 or waveTagPCM
    int rate = 0, channels = 0;
    int bitsPerSample = 0; // PCM: 8 or 16
    int blockAlign = 0;    // PCM: bytes of one sample frame
    int frameSize = 0;     // MP3: samples in one frame (1152, or 576 below 32 kHz)
    int64_t bitRate = 0;   // 0: not stated
    std::vector<uint8_t> extraData;
};

// The duration of one stream position, in seconds as num / den: one frame for video and MP3,
// one sample frame for PCM.
struct AviUnit {
    int num = 0, den = 1;
};
AviUnit positionUnit(const AviVideoFormat& format);
AviUnit positionUnit(const AviAudioFormat& format);

// Where the bytes of a muxer without a file go.
struct AviByteSink {
    // Takes size bytes that belong at offset; false when they could not be taken (the muxer
    // then fails the write in progress).
    std::function<bool(const uint8_t* data, size_t size, int64_t offset)> write;
    // The next bytes go to offset (the header and index are rewritten at the end this way).
    // Empty when the output cannot move back: the streamable layout, without an index, is
    // written then.
    std::function<void(int64_t offset)> seek;
};

class AviMuxer {
  public:
    // Creates path or empties it; refused for a symbolic link. Null on failure.
    static std::unique_ptr<AviMuxer> toFile(const std::string& path, std::string* error);
    // Writes into sink; name says in messages what the output is. Null on failure.
    static std::unique_ptr<AviMuxer> toSink(const std::string& name, AviByteSink sink,
                                            std::string* error);
    // Closes the output as it stands when neither finish() nor close() ran (no index).
    ~AviMuxer();
    AviMuxer(const AviMuxer&) = delete;
    AviMuxer& operator=(const AviMuxer&) = delete;

    const std::string& name() const;

    // Adds a stream before the header is written; its index (0, 1, ...), or -1 when the
    // format is not one the program writes.
    int addVideo(const AviVideoFormat& format, std::string* error);
    int addAudio(const AviAudioFormat& format, std::string* error);
    int streams() const;

    bool writeHeader(std::string* error);
    bool headerWritten() const;

    // Writes one packet at position of stream (counted in positionUnit), covering units
    // positions. Video positions skipped since the stream's last packet become empty chunks,
    // which players show as a repeat of the previous frame; in a sound stream the packets
    // follow each other. A position before the stream's next one is refused.
    bool writePacket(int stream, int64_t position, const void* data, size_t size, int64_t units,
                     bool key, std::string* error);
    // The position after the last packet of stream, and how many positions were left empty.
    int64_t nextPosition(int stream) const;
    int64_t emptyPositions(int stream) const;

    // For a file: hands the buffered bytes to the system. False (with the reason) once a
    // write failed.
    bool flush(std::string* error);
    // The output position the next byte goes to.
    int64_t tell() const;
    // For a file: cuts it back to offset after a failed write, so its end can still be written
    // into the room the failed bytes took.
    void cutBack(int64_t offset);

    // Writes the header if it is still due (there are streams), the trailer and index, and
    // closes the output. Once only; the result is also kept in status().
    bool finish(std::string* error);
    // Closes the output without header or trailer (a file with streams but no format yet).
    bool close(std::string* error);
    std::shared_ptr<const AviFileStatus> status() const;
    // Bytes in the output when it was finished or closed.
    int64_t size() const;

    struct Impl;

  private:
    explicit AviMuxer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace platform::vfw
