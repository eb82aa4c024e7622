#include "DibImage.h"

#include "platform/screen/Dib.h"

#include <cstring>

namespace ui {

QImage imageFromDib(const platform::screen::PackedDib& dib) {
    if (!dib.valid()) return {};
    const auto& h = dib.header();
    const int width = h.biWidth;
    const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    const int bits = h.biBitCount;
    if (width <= 0 || height <= 0 || h.biCompression != 0) return {};
    // Rows of a positive height are stored bottom-up, of a negative one top-down.
    auto row = [&](int y) {
        return h.biHeight > 0 ? dib.rowFromTop(y) : dib.bits() + size_t(y) * dib.stride();
    };
    QImage::Format format;
    int bytesPerPixel = 0;
    switch (bits) {
    case 32:
        format = QImage::Format_RGB32; // blue, green, red, unused: 0xXXRRGGBB little-endian
        bytesPerPixel = 4;
        break;
    case 24:
        format = QImage::Format_BGR888;
        bytesPerPixel = 3;
        break;
    case 16:
        format = QImage::Format_RGB555; // uncompressed 16-bit bitmaps are 5-5-5
        bytesPerPixel = 2;
        break;
    case 8:
    case 4:
    case 1:
        format = QImage::Format_Indexed8;
        break;
    default:
        return {};
    }
    QImage image(width, height, format);
    if (image.isNull()) return {};
    if (bytesPerPixel) {
        for (int y = 0; y < height; ++y)
            std::memcpy(image.scanLine(y), row(y), size_t(width) * size_t(bytesPerPixel));
        return image;
    }
    // Indexed: each pixel's index into the colour table, unpacked to one byte a pixel.
    QList<QRgb> colours;
    for (int i = 0; i < dib.colourTableEntries(); ++i) {
        const auto& c = dib.colourTable()[i];
        colours.append(qRgb(c.red, c.green, c.blue));
    }
    image.setColorTable(colours);
    const int perByte = 8 / bits;
    const int mask = (1 << bits) - 1;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = row(y);
        uchar* out = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int shift = 8 - bits * (x % perByte + 1);
            out[x] = uchar((in[x / perByte] >> shift) & mask);
        }
    }
    return image;
}

} // namespace ui
