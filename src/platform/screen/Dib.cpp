#include "Dib.h"

#include <limits>
#include <new>

namespace platform::screen {

int64_t dibRowStride(int64_t width, int bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

int dibColourCount(int bitCount) {
    return bitCount <= 8 ? (1 << bitCount) : 0;
}

PackedDib PackedDib::create(int width, int height, int bitCount) {
    PackedDib dib;
    if (width <= 0 || height <= 0 || bitCount <= 0 || bitCount > 32) return dib;
    const int64_t stride = dibRowStride(width, bitCount);
    const int64_t image = stride * int64_t(height);
    const int colours = dibColourCount(bitCount);
    const int64_t block = 40 + 4 * int64_t(colours) + image;
    if (image > std::numeric_limits<uint32_t>::max()) return dib;
    dib.block_.reset(new (std::nothrow) uint8_t[size_t(block)]());
    if (!dib.block_) return dib;
    dib.size_ = size_t(block);
    dib.stride_ = size_t(stride);
    dib.colourEntries_ = colours;
    BitmapInfoHeader& h = dib.header();
    h = BitmapInfoHeader{};
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = uint16_t(bitCount);
    h.biSizeImage = uint32_t(image);
    h.biClrUsed = uint32_t(colours);
    return dib;
}

} // namespace platform::screen
