// Video compressors of the AVI file service, found by FourCC (MSVC, XVID). A compressor takes
// uncompressed device-independent bitmaps (the depths it accepts, rows bottom-up) of one size
// and returns one compressed sample per picture, deciding key frames from the key-frame
// interval. Used by one thread at a time.
#pragma once

#include "platform/screen/Dib.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::vfw {

struct CompressorSettings {
    int keyFrameEvery = 0; // a key frame every this many pictures; 0 or 1: every picture
    int quality = 0;       // 0..10000
    uint32_t scale = 1;    // picture duration in seconds: scale / rate
    uint32_t rate = 1;
};

struct CompressedSample {
    std::vector<uint8_t> data;
    bool keyFrame = false;
};

class VideoCompressor {
  public:
    virtual ~VideoCompressor() = default;
    // The compressor for fourcc, or null when none is installed under it.
    static std::unique_ptr<VideoCompressor> find(uint32_t fourcc);

    virtual uint32_t fourcc() const = 0;
    // Whether pictures laid out as `in` can be compressed, without preparing for them; the
    // reason when not.
    virtual bool accepts(const screen::BitmapInfoHeader& in, std::string* error) const = 0;
    // Prepares for pictures laid out as `in` (palette: its colour table, at 8 bits or less).
    virtual bool begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
                       const CompressorSettings& settings, std::string* error) = 0;
    // Compresses the pixel rows of one picture.
    virtual bool compress(const uint8_t* bits, CompressedSample& out, std::string* error) = 0;
    // What the stream format of the compressed stream says. The muxer core knows the codec
    // from the FourCC.
    virtual int outputBitCount() const = 0;
};

// MPEG-4 part 2 through libxvidcore (the default for XVID): pictures of 1, 4 and 8 bits
// (through their colour table), 24 and 32 bits, even sides up to 8190. The quality 0..10000
// chooses a fixed quantizer, 31 (coarsest) down to 2.
std::unique_ptr<VideoCompressor> makeXvidCompressor();
// The quantizer a quality gives.
int xvidQuantizerFor(int quality);

// libavcodec's msvideo1 encoder, kept for comparison with ours (the default for MSVC). It
// codes at one fixed quality.
std::unique_ptr<VideoCompressor> makeLibavMsVideo1();

} // namespace platform::vfw
