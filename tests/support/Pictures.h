// Generated test pictures: a desktop-like bitmap (flat background, a window with a title bar
// gradient and text-like speckles) that can move between frames.
#pragma once

#include "platform/screen/Dib.h"

#include <cstdint>

namespace testsupport {

struct Colour {
    uint8_t r, g, b;
};

// A w x h picture at 16, 24 or 32 bits; the window's left edge moves by `shift` pixels.
platform::screen::PackedDib desktopPicture(int w, int h, int bits, int shift);
// A w x h picture filled with one colour.
platform::screen::PackedDib flatPicture(int w, int h, int bits, Colour c);
// The colour of a pixel (x, y counted from the top-left) of a 16, 24 or 32-bit picture.
Colour pixelAt(const platform::screen::PackedDib& dib, int x, int y);
void setPixel(platform::screen::PackedDib& dib, int x, int y, Colour c);

} // namespace testsupport
