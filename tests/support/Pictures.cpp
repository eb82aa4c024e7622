#include "Pictures.h"

#include <cstring>

namespace testsupport {

using platform::screen::PackedDib;

void setPixel(PackedDib& dib, int x, int y, Colour c) {
    uint8_t* row = dib.rowFromTop(y);
    switch (dib.header().biBitCount) {
    case 32:
        row[4 * x] = c.b, row[4 * x + 1] = c.g, row[4 * x + 2] = c.r, row[4 * x + 3] = 0;
        break;
    case 24:
        row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
        break;
    case 16: {
        const uint16_t v = uint16_t(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3));
        std::memcpy(row + 2 * x, &v, 2);
        break;
    }
    }
}

Colour pixelAt(const PackedDib& dib, int x, int y) {
    const uint8_t* row = dib.rowFromTop(y);
    switch (dib.header().biBitCount) {
    case 32:
        return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
    case 24:
        return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    case 16: {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        return {uint8_t(((v >> 10) & 31) << 3), uint8_t(((v >> 5) & 31) << 3),
                uint8_t((v & 31) << 3)};
    }
    }
    return {0, 0, 0};
}

PackedDib flatPicture(int w, int h, int bits, Colour c) {
    PackedDib dib = PackedDib::create(w, h, bits);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            setPixel(dib, x, y, c);
    return dib;
}

PackedDib desktopPicture(int w, int h, int bits, int shift) {
    PackedDib dib = flatPicture(w, h, bits, {40, 90, 140});
    const int wx = w / 8 + shift, wy = h / 6, ww = w / 2, wh = h / 2;
    uint32_t seed = 12345;
    for (int y = wy; y < wy + wh && y < h; ++y) {
        for (int x = wx; x < wx + ww && x < w; ++x) {
            if (x < 0) continue;
            Colour c{236, 236, 236};
            if (y < wy + 18) {
                c = {uint8_t(20 + 200 * (x - wx) / ww), 60, 180}; // title bar gradient
            } else {
                seed = seed * 1103515245u + 12345u;
                const bool ink = ((y - wy) % 14) < 9 && ((seed >> 16) % 7) < 2;
                if (ink) c = {20, 20, 20};
            }
            setPixel(dib, x, y, c);
        }
    }
    return dib;
}

} // namespace testsupport
