#include "MsVideo1Encoder.h"

#include "AviMuxer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace platform::vfw {

namespace {

constexpr uint16_t SkipPrefix = 0x8400;
constexpr int SkipMax = 0x3FF;
constexpr size_t MostBytesPerBlock = 20; // an eight-colour code after a skip run

inline uint8_t* put16(uint8_t* o, uint16_t v) {
    o[0] = uint8_t(v);
    o[1] = uint8_t(v >> 8);
    return o + 2;
}

} // namespace

MsVideo1Encoder::MsVideo1Encoder(bool portable)
    : kernels_(portable ? &msvideo1::portableKernels() : &msvideo1::bestKernels()) {}

uint32_t MsVideo1Encoder::fourcc() const {
    return fourccMSVC;
}

int MsVideo1Encoder::lambdaFor(int quality) {
    return 1 + (10000 - std::clamp(quality, 0, 10000)) * 69 / 10000;
}

bool MsVideo1Input::read(const screen::BitmapInfoHeader& in, std::string* error) {
    width = in.biWidth;
    height = in.biHeight < 0 ? -in.biHeight : in.biHeight;
    bottomUp = in.biHeight > 0;
    bitCount = in.biBitCount;
    stride = int(screen::dibRowStride(width, bitCount));
    codedWidth = width & ~3;
    codedHeight = height & ~3;
    if (in.biCompression != 0 ||
        (bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)) {
        if (error)
            *error = "MS Video 1 takes uncompressed 8, 16, 24 or 32-bit pictures, not " +
                     std::to_string(bitCount) + "-bit";
        return false;
    }
    if (codedWidth == 0 || codedHeight == 0) {
        if (error)
            *error = "a " + std::to_string(width) + "x" + std::to_string(height) +
                     " picture is smaller than one 4x4 MS Video 1 block";
        return false;
    }
    return true;
}

bool MsVideo1Encoder::begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
                            const CompressorSettings& settings, std::string* error) {
    prev_ = {}; // not begun until all is set: a failed begin leaves nothing to compress with
    if (!g_.read(in, error)) return false;
    if (g_.bitCount == 8) {
        for (int i = 0; i < 256; ++i) {
            const screen::RgbQuad q = palette ? palette[i] : screen::RgbQuad{};
            palette_[i] = msvideo1::rgb555(q.red >> 3, q.green >> 3, q.blue >> 3);
        }
    }
    keyEvery_ = std::max(1, settings.keyFrameEvery);
    lambda_ = msvideo1::Lambda(lambdaFor(settings.quality));
    const size_t w = size_t(g_.codedWidth);
    try {
        strip_.assign(4 * w, 0);
        prev_.assign(w * size_t(g_.codedHeight), 0);
        changed_.assign(w / 4, 0);
        buffer_.resize((w / 4) * size_t(g_.codedHeight / 4) * MostBytesPerBlock + 4);
    } catch (const std::bad_alloc&) {
        prev_ = {};
        if (error)
            *error = "out of memory for " + std::to_string(g_.width) + "x" +
                     std::to_string(g_.height) + " pictures";
        return false;
    }
    first_ = true;
    sinceKey_ = 0;
    return true;
}

void MsVideo1Encoder::convertBlockRow(const uint8_t* bits, int blockRow) {
    for (int y = 0; y < 4; ++y) {
        // Coded row r counts from the bottom of the top-left coded area.
        const int r = 4 * blockRow + y;
        const int dibRow = g_.bottomUp ? g_.height - g_.codedHeight + r : g_.codedHeight - 1 - r;
        const uint8_t* src = bits + size_t(dibRow) * size_t(g_.stride);
        uint16_t* dst = strip_.data() + size_t(y) * size_t(g_.codedWidth);
        switch (g_.bitCount) {
        case 32:
            kernels_->fromBgr32(src, dst, g_.codedWidth);
            break;
        case 24:
            kernels_->fromBgr24(src, dst, g_.codedWidth);
            break;
        case 16:
            kernels_->fromRgb555(src, dst, g_.codedWidth);
            break;
        case 8:
            for (int x = 0; x < g_.codedWidth; ++x)
                dst[x] = palette_[src[x]];
            break;
        }
    }
}

bool MsVideo1Encoder::compress(const uint8_t* bits, CompressedSample& out, std::string* error) {
    if (prev_.empty()) {
        if (error) *error = "the MS Video 1 compressor was not begun";
        return false;
    }
    const bool key = first_ || sinceKey_ + 1 >= keyEvery_;
    const int blocksWide = g_.codedWidth / 4, blocksHigh = g_.codedHeight / 4;
    const ptrdiff_t w = g_.codedWidth;
    uint8_t* o = buffer_.data();
    int skips = 0;
    bool anySkip = false;
    auto skip = [&] {
        anySkip = true;
        if (++skips == SkipMax) {
            o = put16(o, uint16_t(SkipPrefix | skips));
            skips = 0;
        }
    };

    msvideo1::BlockCode code;
    for (int by = 0; by < blocksHigh; ++by) {
        convertBlockRow(bits, by);
        uint16_t* prevRow = prev_.data() + 4 * by * w;
        if (!key) kernels_->changedBlocks(strip_.data(), prevRow, w, blocksWide, changed_.data());
        for (int bx = 0; bx < blocksWide; ++bx) {
            if (!key && !changed_[size_t(bx)]) {
                skip();
                continue;
            }
            uint16_t* prevBlock = prevRow + 4 * bx;
            kernels_->choose(strip_.data() + 4 * bx, key ? nullptr : prevBlock, w, lambda_, code);
            if (code.mode == msvideo1::Mode::Skip) {
                skip();
                continue;
            }
            if (skips) {
                o = put16(o, uint16_t(SkipPrefix | skips));
                skips = 0;
            }
            for (int i = 0; i < code.words; ++i)
                o = put16(o, code.word[i]);
            kernels_->reconstruct(code, prevBlock, w);
        }
    }
    if (skips) o = put16(o, uint16_t(SkipPrefix | skips));
    o = put16(o, 0); // end of picture
    out.data.assign(buffer_.data(), o);

    out.keyFrame = key || !anySkip;
    sinceKey_ = out.keyFrame ? 0 : sinceKey_ + 1;
    first_ = false;
    return true;
}

} // namespace platform::vfw
