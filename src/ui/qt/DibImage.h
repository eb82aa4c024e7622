// A packed device-independent bitmap (a screen grab, a frame the sample grabber kept, a
// snapshot) as a QImage the windows can show or save: 1, 4 and 8 bits through the colour
// table, 16 bits as RGB 5-5-5, 24 and 32 bits as they are. Any thread (QImage is plain data).
#pragma once

#include <QImage>

namespace platform::screen {
class PackedDib;
}

namespace ui {

// A deep copy of the picture, top row first; a null image for an empty bitmap or a depth
// a bitmap of ours never has.
QImage imageFromDib(const platform::screen::PackedDib& dib);

} // namespace ui
