// The X screen as the screen engine sees it: metrics of the root window, a fast grab of a
// rectangle of it (MIT-SHM where the server offers it, plain XGetImage otherwise), the
// pointer position and the current cursor's hot spot (XFixes), the engine's own arrow
// picture, and the conversion of a grab into a packed device-independent bitmap.
//
// A ScreenConnection is one X connection and must be used by one thread at a time: the
// user-interface thread opens one to measure the screen, the recording worker opens its own.
#pragma once

#include "Dib.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::screen {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect&) const = default;
};

struct ScreenMetrics {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0; // of the root visual's pixmap format: 8, 16, 24 or 32
    int depth = 0;        // significant bits per pixel (24 for a 32-bit pixmap format)
};

// A grabbed rectangle in the server's own pixel format, rows top-down. The pixels belong to
// the connection and stay valid until its next grab.
struct ScreenImage {
    uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    int bitsPerPixel = 0;
};

// The engine's cursor picture: the standard arrow, tip at (0, 0) of the picture.
struct ArrowPicture {
    static constexpr int Width = 12;
    static constexpr int Height = 19;
    // 'B' outline (black), 'W' body (white), '.' transparent.
    static const char* const Rows[Height];
};

class ScreenConnection {
  public:
    // Connects to $DISPLAY (or displayName when given). On failure returns null and says why.
    static std::unique_ptr<ScreenConnection> open(std::string* error,
                                                  const char* displayName = nullptr);
    ~ScreenConnection();
    ScreenConnection(const ScreenConnection&) = delete;
    ScreenConnection& operator=(const ScreenConnection&) = delete;

    ScreenMetrics metrics() const;
    bool usesSharedMemory() const;

    // Grabs r from the root window. The parts of r outside the screen read as zero.
    // Returns false (with the reason) when the server refused the grab.
    bool grab(const Rect& r, ScreenImage& out, std::string* error = nullptr);

    // Pointer position on the root window.
    bool cursorPosition(int& x, int& y);
    // Hot spot of the cursor the screen shows now; false when XFixes is missing.
    bool cursorHotSpot(int& x, int& y);

    // Draws the arrow picture with its top-left corner at (x, y) of the image, clipped.
    void drawArrow(ScreenImage& image, int x, int y) const;

    // Converts the image to dib (already created with the image's size and the wanted bit
    // count: 8, 16, 24 or 32). Fills the colour table from the screen's colormap at 8 bits.
    // Returns the number of rows copied (0 when the bit count is not supported).
    int toDib(const ScreenImage& image, PackedDib& dib);

    // Colours of the default colormap as colour-table entries (entries at most 256).
    std::vector<RgbQuad> colourTable(int entries) const;

    // The native X Display*, for tests and tools that need to drive the server.
    void* nativeDisplay() const;

    struct Impl;

  private:
    explicit ScreenConnection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace platform::screen
