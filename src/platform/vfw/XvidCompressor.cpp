// The "XVID" compressor of the AVI file service: device-independent bitmaps into MPEG-4 part 2
// through the libxvidcore wrapper. 24 and 32-bit rows go to xvidcore as they are (bottom-up
// rows flipped by it); 1, 4 and 8-bit rows are first expanded through the colour table into
// one 24-bit picture.
#include "AviFile.h"
#include "Compressor.h"
#include "LibavError.h"
#include "XvidCore.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::vfw {
namespace {

class XvidCompressor final : public VideoCompressor {
  public:
    uint32_t fourcc() const override { return fourccXVID; }
    // What decoders are told the pictures were made from.
    int outputBitCount() const override { return 24; }

    bool accepts(const screen::BitmapInfoHeader& in, std::string* error) const override {
        const int height = in.biHeight < 0 ? -in.biHeight : in.biHeight;
        const std::string size = std::to_string(in.biWidth) + "x" + std::to_string(height);
        if (in.biCompression != 0) {
            setError(error, "XVID takes uncompressed pictures only");
            return false;
        }
        switch (in.biBitCount) {
        case 1:
        case 4:
        case 8:
        case 24:
        case 32:
            break;
        default:
            setError(error, "XVID takes pictures of 1, 4, 8, 24 or 32 bits, not " +
                                std::to_string(in.biBitCount));
            return false;
        }
        XvidSettings s;
        s.width = in.biWidth;
        s.height = height;
        const std::string why = XvidEncoder::refusal(s);
        if (!why.empty()) {
            setError(error, why);
            return false;
        }
        return true;
    }

    bool begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
               const CompressorSettings& settings, std::string* error) override {
        if (!accepts(in, error)) return false;
        if (in.biBitCount <= 8 && !palette) {
            setError(error, "a picture of " + std::to_string(in.biBitCount) +
                                " bits needs its colour table");
            return false;
        }
        width_ = in.biWidth;
        height_ = in.biHeight < 0 ? -in.biHeight : in.biHeight;
        bottomUp_ = in.biHeight > 0;
        bits_ = in.biBitCount;
        stride_ = size_t(screen::dibRowStride(width_, bits_));
        if (bits_ <= 8) {
            palette_.assign(palette, palette + (size_t(1) << bits_));
            expanded_.assign(size_t(width_) * 3 * size_t(height_), 0);
        }
        XvidSettings x;
        x.width = width_;
        x.height = height_;
        x.frameNum = int(settings.scale);
        x.frameDen = int(settings.rate);
        x.quantizer = xvidQuantizerFor(settings.quality);
        x.maxKeyInterval = std::max(1, settings.keyFrameEvery);
        return encoder_.open(x, error);
    }

    bool compress(const uint8_t* bits, CompressedSample& out, std::string* error) override {
        XvidPicture picture;
        if (bits_ <= 8) {
            expand(bits);
            picture.layout = XvidLayout::Bgr24;
            picture.plane[0] = expanded_.data();
            picture.stride[0] = width_ * 3;
        } else {
            picture.layout = bits_ == 24 ? XvidLayout::Bgr24 : XvidLayout::Bgrx32;
            picture.plane[0] = bits;
            picture.stride[0] = int(stride_);
            picture.bottomUp = bottomUp_;
        }
        XvidFrame frame;
        if (!encoder_.encode(picture, false, frame, error)) return false;
        out.data.assign(frame.data, frame.data + frame.size);
        out.keyFrame = frame.keyFrame;
        return true;
    }

  private:
    // The colour-table picture as top-down 24-bit rows.
    void expand(const uint8_t* bits) {
        const int mask = (1 << bits_) - 1;
        for (int y = 0; y < height_; ++y) {
            const uint8_t* row = bits + size_t(bottomUp_ ? height_ - 1 - y : y) * stride_;
            uint8_t* to = expanded_.data() + size_t(y) * size_t(width_) * 3;
            for (int x = 0; x < width_; ++x) {
                const int bit = x * bits_;
                const int index = (row[bit / 8] >> (8 - bits_ - bit % 8)) & mask;
                const screen::RgbQuad& c = palette_[size_t(index)];
                to[3 * x] = c.blue;
                to[3 * x + 1] = c.green;
                to[3 * x + 2] = c.red;
            }
        }
    }

    XvidEncoder encoder_;
    int width_ = 0, height_ = 0, bits_ = 0;
    bool bottomUp_ = true;
    size_t stride_ = 0;
    std::vector<screen::RgbQuad> palette_;
    std::vector<uint8_t> expanded_;
};

} // namespace

int xvidQuantizerFor(int quality) {
    // Squared, so that the middle of the scale (5000, the usual default) already gives a
    // quantizer of 9, a picture without visible blocks; 10000 gives 2, 0 gives 31.
    const double coarse = (10000 - std::clamp(quality, 0, 10000)) / 10000.0;
    return 2 + int(std::lround(29 * coarse * coarse));
}

std::unique_ptr<VideoCompressor> makeXvidCompressor() {
    return std::make_unique<XvidCompressor>();
}

} // namespace platform::vfw
