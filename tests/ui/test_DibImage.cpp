#include "platform/screen/Dib.h"
#include "ui/qt/DibImage.h"

#include <gtest/gtest.h>

#include <cstring>

using platform::screen::PackedDib;

namespace {

// A 3 x 2 bitmap whose pixels are written through the rows as the depth stores them.
PackedDib threeByTwo(int bits) {
    PackedDib dib = PackedDib::create(3, 2, bits);
    EXPECT_TRUE(dib.valid());
    return dib;
}

} // namespace

// Each depth a bitmap of ours has comes out with the top row first and the colours it holds.
TEST(DibImage, EveryDepthKeepsItsColoursWithTheTopRowFirst) {
    {
        PackedDib dib = threeByTwo(32);
        uint8_t* top = dib.rowFromTop(0);
        top[0] = 0x30, top[1] = 0x20, top[2] = 0x10; // blue, green, red
        dib.rowFromTop(1)[8 + 2] = 0xFF;             // bottom right: red
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(image.size(), QSize(3, 2));
        EXPECT_EQ(image.pixel(0, 0), qRgb(0x10, 0x20, 0x30));
        EXPECT_EQ(image.pixel(2, 1), qRgb(0xFF, 0, 0));
    }
    {
        PackedDib dib = threeByTwo(24); // rows of 9 bytes padded to 12
        EXPECT_EQ(dib.stride(), 12u);
        uint8_t* bottom = dib.rowFromTop(1);
        bottom[6] = 0xFF;            // bottom right: blue
        dib.rowFromTop(0)[4] = 0x80; // top middle: half green
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(image.pixel(2, 1), qRgb(0, 0, 0xFF));
        EXPECT_EQ(image.pixel(1, 0), qRgb(0, 0x80, 0));
        EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
    }
    {
        PackedDib dib = threeByTwo(16);
        const uint16_t red = 0x1F << 10;
        std::memcpy(dib.rowFromTop(0) + 2, &red, 2); // top middle
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(qRed(image.pixel(1, 0)), 0xFF);
        EXPECT_EQ(qGreen(image.pixel(1, 0)), 0);
    }
    {
        PackedDib dib = threeByTwo(8);
        dib.colourTable()[7] = {0x00, 0xFF, 0x00, 0}; // entry 7: green
        dib.rowFromTop(1)[1] = 7;
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(image.pixel(1, 1), qRgb(0, 0xFF, 0));
        EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0)); // entry 0 of a zero-filled table
    }
    {
        PackedDib dib = threeByTwo(4);
        dib.colourTable()[0xA] = {0xFF, 0xFF, 0xFF, 0};
        dib.rowFromTop(0)[1] = 0xA0; // the third pixel is the high nibble of the second byte
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(image.pixel(2, 0), qRgb(0xFF, 0xFF, 0xFF));
        EXPECT_EQ(image.pixel(1, 0), qRgb(0, 0, 0));
    }
    {
        PackedDib dib = threeByTwo(1);
        dib.colourTable()[1] = {0xFF, 0xFF, 0xFF, 0};
        dib.rowFromTop(1)[0] = 0x20; // the third pixel of the bottom row
        const QImage image = ui::imageFromDib(dib);
        EXPECT_EQ(image.pixel(2, 1), qRgb(0xFF, 0xFF, 0xFF));
        EXPECT_EQ(image.pixel(1, 1), qRgb(0, 0, 0));
    }
    EXPECT_TRUE(ui::imageFromDib(PackedDib()).isNull());
}
