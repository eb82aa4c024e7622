// The stream headers of an AVI file, read from its header list ("hdrl") alone: for each stream
// the 'strh' values (type, handler, scale, rate, length ...) and the 'strf' format block (a
// bitmap header for video, a wave format for sound), exactly as the file stores them. What
// the media detector reports for an AVI; no GStreamer.
//
// The headers are untrusted. The reader never reads outside the bytes it has: a chunk whose
// size runs past its list or the file, a list nested deeper than an AVI nests them, a 'strh' or
// 'strf' too short for its kind, or more streams than a header list can sensibly hold make the
// headers "not parsed" (false), and the caller falls back to reading the file another way.
// Counts stored in the file (stream count, frame count) never size an allocation. Sizes are
// computed in 64 bits, so values near 2^32 cannot wrap. A RIFF size past the end of the file
// is accepted (a file cut short or still being written): only the header list must be whole.
//
// Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::dshow {

struct AviStreamHeader {
    uint32_t type = 0;    // fccType: 'vids', 'auds', 'txts' ...
    uint32_t handler = 0; // fccHandler
    uint32_t flags = 0;
    uint32_t scale = 0, rate = 0; // rate / scale = samples (frames) per second
    uint32_t start = 0, length = 0;
    uint32_t sampleSize = 0;
    // 'strf' as stored: at least a 40-byte bitmap header for 'vids', at least a 16-byte wave
    // format for 'auds' (padded here to the 18 bytes of the extended form, with no extra
    // bytes, when the file stores the short form).
    std::vector<uint8_t> format;
};

struct AviHeaders {
    uint32_t microSecPerFrame = 0; // from 'avih'
    uint32_t width = 0, height = 0;
    std::vector<AviStreamHeader> streams;
};

constexpr uint32_t makeFourCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

// Parses the first `size` bytes of a file whose whole length is fileSize. True when they hold
// the RIFF AVI header and a complete, well-formed header list.
bool parseAviHeaders(const uint8_t* data, size_t size, uint64_t fileSize, AviHeaders* out);

// Reads only as much of the file as its header list takes (at most MaxAviHeaderBytes) and
// parses it. False for a file that is not an AVI, cannot be read or whose headers do not parse.
bool readAviHeaders(const std::string& fileName, AviHeaders* out);

// The most a header list may take: far more than any real one (a few kilobytes, or a few
// hundred with OpenDML's super indexes of many streams).
constexpr uint32_t MaxAviHeaderBytes = 4u << 20;
// More streams than any AVI carries; a list of more is not a header list.
constexpr size_t MaxAviStreams = 128;

} // namespace platform::dshow
