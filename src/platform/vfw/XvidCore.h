// The one wrapper over libxvidcore: an MPEG-4 part 2 (XviD) encoder of one picture size, with
// no B-frames (every picture in gives one frame out, at once), key frames at the first picture,
// at an interval at the latest and whenever the caller asks. The "XVID" compressor of the AVI
// file service and the graphs' encoder element both encode through it. Pictures come in as
// planar I420 or as packed BGR / BGRX rows (top-down, or bottom-up as device-independent
// bitmaps store them). An encoder is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::vfw {

// The MPEG-4 video object layer stores width and height in 13 bits; xvidcore codes whole
// chroma samples, so both sides must be even: 8190 is the largest side.
constexpr int xvidMaxDimension = 8190;

struct XvidSettings {
    int width = 0, height = 0; // even, 2..xvidMaxDimension
    // The duration of one picture in seconds as num / den (reduced to fit the stream's 16-bit
    // time resolution).
    int frameNum = 1, frameDen = 25;
    int quantizer = 0;        // fixed quantizer 1 (best) .. 31; 0: rate control at bitrate
    int bitrate = 1500;       // kbit/s, for the single-pass rate control
    int maxKeyInterval = 250; // pictures from one key frame to the next at most; 1: all keys
};

enum class XvidLayout { I420, Bgr24, Bgrx32 };

struct XvidPicture {
    XvidLayout layout = XvidLayout::I420;
    const uint8_t* plane[3] = {nullptr, nullptr, nullptr}; // I420: Y, U, V; else plane[0]
    int stride[3] = {0, 0, 0};
    bool bottomUp = false; // rows stored bottom row first (packed layouts only)
};

struct XvidFrame {
    const uint8_t* data = nullptr; // valid until the next encode
    size_t size = 0;               // 0: the encoder left the picture out
    bool keyFrame = false;
    int quantizer = 0;
};

class XvidEncoder {
  public:
    XvidEncoder() = default;
    ~XvidEncoder();
    XvidEncoder(const XvidEncoder&) = delete;
    XvidEncoder& operator=(const XvidEncoder&) = delete;

    // Why settings cannot be encoded (an odd or too large side, a bad quantizer), or an
    // empty text.
    static std::string refusal(const XvidSettings& settings);
    // Starts an encoder for settings, closing any earlier one. False with the reason.
    bool open(const XvidSettings& settings, std::string* error);
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    const XvidSettings& settings() const { return settings_; }

    // Encodes one picture of the open size. forceKey makes it a key frame. False with the
    // reason when xvidcore fails.
    bool encode(const XvidPicture& picture, bool forceKey, XvidFrame& out, std::string* error);

    // The stream headers (visual object sequence, video object, video object layer) at the
    // start of a key frame: everything before the first picture's start code.
    static std::vector<uint8_t> streamHeaders(const uint8_t* data, size_t size);

  private:
    void* handle_ = nullptr;
    XvidSettings settings_;
    int sinceKey_ = 0; // pictures since the last key frame; 0: none yet
    std::vector<uint8_t> out_;
};

} // namespace platform::vfw
