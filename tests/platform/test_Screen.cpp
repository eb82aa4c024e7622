#include "platform/screen/Screen.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
// After gtest: Xlib defines macros (None, Bool) that clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

using namespace platform::screen;
using testsupport::Xvfb;

namespace {

struct Painted {
    unsigned long red = 0, green = 0;
};

// Paints a red and a green rectangle on the root window of the connection's screen.
Painted paint(ScreenConnection& c) {
    Display* dpy = static_cast<Display*>(c.nativeDisplay());
    const int s = DefaultScreen(dpy);
    Colormap cmap = DefaultColormap(dpy, s);
    XColor red{}, green{};
    red.red = 0xFFFF;
    green.green = 0xFFFF;
    XAllocColor(dpy, cmap, &red);
    XAllocColor(dpy, cmap, &green);
    GC gc = XCreateGC(dpy, RootWindow(dpy, s), 0, nullptr);
    XSetForeground(dpy, gc, red.pixel);
    XFillRectangle(dpy, RootWindow(dpy, s), gc, 50, 40, 100, 80);
    XSetForeground(dpy, gc, green.pixel);
    XFillRectangle(dpy, RootWindow(dpy, s), gc, 300, 100, 61, 50);
    XFreeGC(dpy, gc);
    XSync(dpy, False);
    return {red.pixel, green.pixel};
}

struct Rgb {
    int r, g, b;
};

Rgb dibPixel(const PackedDib& dib, int x, int y) {
    const uint8_t* row = dib.rowFromTop(y);
    switch (dib.header().biBitCount) {
    case 32:
    case 24: {
        const int n = dib.header().biBitCount / 8;
        return {row[n * x + 2], row[n * x + 1], row[n * x]};
    }
    case 16: {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        return {((v >> 10) & 31) << 3, ((v >> 5) & 31) << 3, (v & 31) << 3};
    }
    case 8: {
        const RgbQuad q = dib.colourTable()[row[x]];
        return {q.red, q.green, q.blue};
    }
    }
    return {-1, -1, -1};
}

// A private X server and our connection to it.
struct TestScreen {
    explicit TestScreen(const std::string& geometry) : x(geometry) {
        std::string error;
        if (x.ok()) c = ScreenConnection::open(&error, x.display().c_str());
        EXPECT_TRUE(c) << "Xvfb " << geometry << ": " << error;
    }
    Display* dpy() const { return static_cast<Display*>(c->nativeDisplay()); }
    Xvfb x;
    std::unique_ptr<ScreenConnection> c;
};

} // namespace

class ScreenAtDepth : public ::testing::TestWithParam<int> {};

// At every depth the frame is a packed bitmap at the screen's bits per pixel, with a full
// colour table at 8 bits, 16-bit frames in plain RGB 5-5-5, rows bottom-up and padded.
TEST_P(ScreenAtDepth, GrabConvertsToAPackedBitmapAtTheScreenDepth) {
    const int depth = GetParam();
    TestScreen screen("640x480x" + std::to_string(depth));
    ASSERT_TRUE(screen.c);
    ScreenConnection* c = screen.c.get();
    std::string error;
    const ScreenMetrics m = c->metrics();
    EXPECT_EQ(m.width, 640);
    EXPECT_EQ(m.height, 480);
    EXPECT_EQ(m.bitsPerPixel, depth == 24 ? 32 : depth);
    paint(*c);

    ScreenImage image;
    ASSERT_TRUE(c->grab({40, 30, 321, 200}, image, &error)) << error;
    PackedDib dib = PackedDib::create(321, 200, m.bitsPerPixel);
    ASSERT_EQ(c->toDib(image, dib), 200);
    const BitmapInfoHeader& h = dib.header();
    EXPECT_EQ(h.biBitCount, m.bitsPerPixel);
    EXPECT_EQ(h.biClrUsed, m.bitsPerPixel == 8 ? 256u : 0u);
    EXPECT_EQ(h.biSizeImage, dibRowStride(321, m.bitsPerPixel) * 200);

    const Rgb red = dibPixel(dib, 60 - 40, 50 - 30);
    EXPECT_GE(red.r, 248);
    EXPECT_EQ(red.g, 0);
    EXPECT_EQ(red.b, 0);
    const Rgb green = dibPixel(dib, 360 - 40, 149 - 30); // the last pixel of the last column
    EXPECT_EQ(green.r, 0);
    EXPECT_GE(green.g, 248);
    const Rgb background = dibPixel(dib, 0, 199);
    EXPECT_EQ(background.r + background.g + background.b, 0);
    // Padding bytes at the end of each row stay zero.
    const size_t used = size_t(321) * m.bitsPerPixel / 8;
    for (int y = 0; y < 200; ++y)
        for (size_t i = used; i < dib.stride(); ++i)
            ASSERT_EQ(dib.rowFromTop(y)[i], 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, ScreenAtDepth, ::testing::Values(8, 16, 24));

TEST(Screen, ConvertsA32BitScreenTo24And16BitFrames) {
    TestScreen screen("640x480x24");
    ASSERT_TRUE(screen.c);
    ScreenConnection* c = screen.c.get();
    std::string error;
    paint(*c);
    for (int bits : {24, 16, 8}) {
        SCOPED_TRACE(bits);
        ScreenImage image;
        ASSERT_TRUE(c->grab({50, 40, 7, 3}, image));
        PackedDib dib = PackedDib::create(7, 3, bits);
        ASSERT_EQ(c->toDib(image, dib), 3);
        const Rgb red = dibPixel(dib, 6, 2);
        EXPECT_GE(red.r, 224);
        EXPECT_EQ(red.g + red.b, 0);
    }
}

TEST(Screen, PartsOutsideTheScreenReadAsBlack) {
    TestScreen screen("320x240x24");
    ASSERT_TRUE(screen.c);
    ScreenConnection* c = screen.c.get();
    std::string error;
    Display* dpy = screen.dpy();
    GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
    XSetForeground(dpy, gc, WhitePixel(dpy, DefaultScreen(dpy)));
    XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 0, 0, 320, 240);
    XFreeGC(dpy, gc);
    XSync(dpy, False);
    ScreenImage image;
    ASSERT_TRUE(c->grab({300, 220, 40, 40}, image, &error)) << error;
    PackedDib dib = PackedDib::create(40, 40, 32);
    ASSERT_EQ(c->toDib(image, dib), 40);
    EXPECT_EQ(dibPixel(dib, 19, 19).r, 255);
    EXPECT_EQ(dibPixel(dib, 20, 19).r, 0);
    EXPECT_EQ(dibPixel(dib, 19, 20).r, 0);
}

TEST(Screen, ArrowIsDrawnClippedWithItsTipAtThePoint) {
    TestScreen screen("320x240x24");
    ASSERT_TRUE(screen.c);
    ScreenConnection* c = screen.c.get();
    std::string error;
    ScreenImage image;
    ASSERT_TRUE(c->grab({0, 0, 40, 40}, image));
    c->drawArrow(image, 30, 25); // partly outside on the right and at the bottom
    c->drawArrow(image, -5, -5);
    PackedDib dib = PackedDib::create(40, 40, 32);
    c->toDib(image, dib);
    for (int row = 0; row < ArrowPicture::Height; ++row)
        for (int col = 0; col < ArrowPicture::Width; ++col) {
            const int px = 30 + col, py = 25 + row;
            if (px >= 40 || py >= 40) continue;
            const char want = ArrowPicture::Rows[row][col];
            const Rgb got = dibPixel(dib, px, py);
            EXPECT_EQ(got.r, want == 'W' ? 255 : 0) << col << "," << row;
        }
    // The arrow drawn at (-5, -5): its body pixel (1, 6) of the picture is not on screen but
    // (6, 10) lands at (1, 5).
    EXPECT_EQ(dibPixel(dib, 1, 5).r, ArrowPicture::Rows[10][6] == 'W' ? 255 : 0);
}

TEST(Screen, CursorPositionAndHotSpotAreRead) {
    TestScreen screen("320x240x24");
    ASSERT_TRUE(screen.c);
    ScreenConnection* c = screen.c.get();
    std::string error;
    Display* dpy = screen.dpy();
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 123, 45);
    XSync(dpy, False);
    int cx = 0, cy = 0;
    ASSERT_TRUE(c->cursorPosition(cx, cy));
    EXPECT_EQ(cx, 123);
    EXPECT_EQ(cy, 45);
    int hx = -1, hy = -1;
    ASSERT_TRUE(c->cursorHotSpot(hx, hy));
    EXPECT_GE(hx, 0);
    EXPECT_GE(hy, 0);
}

TEST(Screen, OpeningAMissingDisplaySaysWhich) {
    std::string error;
    EXPECT_FALSE(ScreenConnection::open(&error, ":59998"));
    EXPECT_NE(error.find(":59998"), std::string::npos) << error;
}
