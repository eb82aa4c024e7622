#include "platform/screen/Dib.h"

#include <gtest/gtest.h>

using namespace platform::screen;

TEST(Dib, HeaderLayoutFollowsDepthAndWidth) {
    struct Case {
        int w, h, bits;
        int64_t stride;
        int colours;
    };
    // Rows are padded to 4 bytes; 321 pixels is a width that needs padding at every depth.
    const Case cases[] = {
        {321, 241, 8, 324, 256},   {321, 241, 16, 644, 0}, {321, 241, 24, 964, 0},
        {321, 241, 32, 1284, 0},   {320, 240, 24, 960, 0}, {1, 1, 1, 4, 2},
        {1920, 1080, 32, 7680, 0}, {3, 2, 4, 4, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + "x" +
                     std::to_string(c.bits));
        PackedDib dib = PackedDib::create(c.w, c.h, c.bits);
        ASSERT_TRUE(dib.valid());
        const BitmapInfoHeader& h = dib.header();
        EXPECT_EQ(h.biSize, 40u);
        EXPECT_EQ(h.biWidth, c.w);
        EXPECT_EQ(h.biHeight, c.h); // positive: rows stored bottom-up
        EXPECT_EQ(h.biPlanes, 1);
        EXPECT_EQ(h.biBitCount, c.bits);
        EXPECT_EQ(h.biCompression, 0u);
        EXPECT_EQ(int64_t(h.biSizeImage), c.stride * c.h);
        EXPECT_EQ(h.biXPelsPerMeter, 0);
        EXPECT_EQ(h.biClrUsed, uint32_t(c.colours));
        EXPECT_EQ(h.biClrImportant, 0u);
        EXPECT_EQ(dib.size(), size_t(40 + 4 * c.colours + c.stride * c.h));
        EXPECT_EQ(dib.formatSize(), size_t(40 + 4 * c.colours));
        EXPECT_EQ(dib.bits() - dib.data(), std::ptrdiff_t(40 + 4 * c.colours));
        // The whole block after the header starts zero-filled.
        for (size_t i = 40; i < dib.size(); ++i)
            ASSERT_EQ(dib.data()[i], 0) << "byte " << i;
    }
}

TEST(Dib, RowsAreStoredBottomUp) {
    PackedDib dib = PackedDib::create(5, 3, 24);
    EXPECT_EQ(dib.rowFromTop(2), dib.bits());
    EXPECT_EQ(dib.rowFromTop(0), dib.bits() + 2 * 16);
}

TEST(Dib, StrideAndImageSizeUse64BitArithmetic) {
    // 70000 pixels at 32 bits is 280000 bytes a row; 20000 rows is 5.6 GB, past 32 bits.
    EXPECT_EQ(dibRowStride(70000, 32), 280000);
    EXPECT_EQ(dibRowStride(int64_t(1) << 30, 32), int64_t(1) << 32);
    EXPECT_FALSE(PackedDib::create(70000, 20000, 32).valid());
}

TEST(Dib, RefusesEmptyAndImpossibleSizes) {
    EXPECT_FALSE(PackedDib::create(0, 10, 24).valid());
    EXPECT_FALSE(PackedDib::create(10, 0, 24).valid());
    EXPECT_FALSE(PackedDib::create(-4, 10, 24).valid());
    EXPECT_FALSE(PackedDib::create(10, 10, 0).valid());
}
