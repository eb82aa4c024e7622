#include "platform/screen/Dib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

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

// A bitmap given back is the one taken next (its header as created, whatever its user made of
// it); another size is never handed out for it; only so many are kept.
TEST(DibPool, GivesBackTheSameBlockWithAFreshHeader) {
    DibPool pool(2);
    PackedDib a = pool.take(64, 48, 32);
    ASSERT_TRUE(a.valid());
    const uint8_t* block = a.data();
    a.header().biHeight = -48;
    a.header().biSizeImage = 5;
    pool.give(std::move(a));
    EXPECT_EQ(pool.sparesKept(), 1u);
    PackedDib other = pool.take(32, 48, 32);
    EXPECT_NE(other.data(), block);
    EXPECT_EQ(pool.sparesKept(), 1u);
    PackedDib again = pool.take(64, 48, 32);
    EXPECT_EQ(again.data(), block);
    EXPECT_EQ(again.header().biHeight, 48);
    EXPECT_EQ(again.imageSize(), size_t(64 * 48 * 4));
    EXPECT_EQ(pool.sparesKept(), 0u);
    pool.give(std::move(again));
    pool.give(std::move(other));
    pool.give(PackedDib::create(64, 48, 32));
    EXPECT_EQ(pool.sparesKept(), 2u) << "a third spare is freed";
}

// Kept ready: once a size has been taken, spares of it are allocated ahead by the pool's own
// thread, and keepReady(0) frees them all.
TEST(DibPool, KeepsSparesReadyAheadAndFreesThemAtTheEnd) {
    DibPool pool(1);
    pool.keepReady(3);
    PackedDib first = pool.take(320, 240, 24);
    ASSERT_TRUE(first.valid());
    for (int i = 0; i < 500 && pool.sparesKept() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pool.sparesKept(), 3u);
    std::vector<PackedDib> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(pool.take(320, 240, 24));
    for (int i = 0; i < 500 && pool.sparesKept() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pool.sparesKept(), 3u) << "the ones taken are replaced";
    pool.keepReady(0);
    EXPECT_EQ(pool.sparesKept(), 0u);
}
