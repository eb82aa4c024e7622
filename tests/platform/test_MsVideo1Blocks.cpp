#include "platform/vfw/MsVideo1Blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

using namespace platform::vfw::msvideo1;

namespace {

std::string describe(const uint16_t* block, const uint16_t* prev, int lambda) {
    std::ostringstream s;
    s << std::hex << "lambda " << std::dec << lambda << std::hex << " block";
    for (int i = 0; i < 16; ++i)
        s << ' ' << block[i];
    if (prev) {
        s << " prev";
        for (int i = 0; i < 16; ++i)
            s << ' ' << prev[i];
    }
    return s.str();
}

// Blocks of the kinds screens and pictures have: one colour, a few colours, smooth shades,
// noise, and the red-1 colours a one-colour code cannot carry.
class BlockMaker {
  public:
    explicit BlockMaker(uint32_t seed) : rng_(seed) {}

    void make(uint16_t* px) {
        const int kind = int(rng_() % 6);
        switch (kind) {
        case 0: { // one colour, often red 1
            const uint16_t c = rng_() % 3 == 0 ? uint16_t(0x0400 | (rng_() & 0x03FF)) : colour();
            for (int i = 0; i < 16; ++i)
                px[i] = c;
            break;
        }
        case 1:
        case 2: { // 2..8 colours
            uint16_t palette[8];
            const int n = 2 + int(rng_() % 7);
            for (int k = 0; k < n; ++k)
                palette[k] = colour();
            for (int i = 0; i < 16; ++i)
                px[i] = palette[rng_() % unsigned(n)];
            break;
        }
        case 3: { // a smooth shade
            const int r = int(rng_() % 28), g = int(rng_() % 28), b = int(rng_() % 28);
            for (int i = 0; i < 16; ++i)
                px[i] = rgb555(r + (i & 3) * int(rng_() % 2), g + (i >> 2), b + int(rng_() % 4));
            break;
        }
        case 4: // noise
            for (int i = 0; i < 16; ++i)
                px[i] = colour();
            break;
        default: { // anti-aliased text: ink, paper and shades between
            const uint16_t ink = colour(), paper = colour();
            for (int i = 0; i < 16; ++i) {
                const int t = int(rng_() % 5);
                int c[3];
                for (int k = 0; k < 3; ++k) {
                    const int a = (ink >> (10 - 5 * k)) & 31, p = (paper >> (10 - 5 * k)) & 31;
                    c[k] = p + (a - p) * t / 4;
                }
                px[i] = rgb555(c[0], c[1], c[2]);
            }
        }
        }
    }

    // The previous picture's block: the same, slightly off, or something else.
    void prev(const uint16_t* px, uint16_t* prev) {
        const int kind = int(rng_() % 3);
        for (int i = 0; i < 16; ++i) {
            if (kind == 0)
                prev[i] = px[i] ^ uint16_t(rng_() % 8 == 0 ? 1u << (rng_() % 15) : 0);
            else if (kind == 1)
                prev[i] = uint16_t(px[i] ^ (rng_() & 0x0421));
            else
                prev[i] = colour();
        }
    }

    uint16_t colour() { return uint16_t(rng_() & 0x7FFF); }
    uint32_t next() { return rng_(); }

  private:
    std::mt19937 rng_;
};

} // namespace

TEST(MsVideo1Blocks, LambdaDivisionIsExact) {
    for (int lambda = 1; lambda <= 70; ++lambda) {
        const Lambda l(lambda);
        for (int e = 0; e <= 16 * 3 * 31 * 31; ++e)
            ASSERT_EQ(l.divide(e), e / lambda) << e << " / " << lambda;
    }
}

// Both versions must choose the same code for every block, at every quality, on key frames
// and between them (the choice decides what is written), and reconstruct it alike.
TEST(MsVideo1Blocks, VectorChoiceMatchesPortable) {
    const Kernels* vec = vectorKernels();
    if (!vec) GTEST_SKIP() << "no vector version on this processor";
    const Kernels& port = portableKernels();
    BlockMaker maker(7);
    int modes[4] = {};
    for (int n = 0; n < 300000; ++n) {
        uint16_t px[16], prev[16];
        maker.make(px);
        maker.prev(px, prev);
        const bool key = n % 4 == 0;
        static constexpr int Lambdas[] = {1, 2, 5, 11, 24, 40, 70};
        const Lambda lambda(Lambdas[n % 7]);
        BlockCode a, b;
        port.choose(px, key ? nullptr : prev, 4, lambda, a);
        vec->choose(px, key ? nullptr : prev, 4, lambda, b);
        ++modes[int(a.mode)];
        ASSERT_EQ(int(a.mode), int(b.mode)) << describe(px, key ? nullptr : prev, lambda.value);
        ASSERT_EQ(a.words, b.words);
        for (int i = 0; i < a.words; ++i)
            ASSERT_EQ(a.word[i], b.word[i])
                << "word " << i << ": " << describe(px, key ? nullptr : prev, lambda.value);
        // Both write the same pixels for it, into a picture wider than the block.
        uint16_t pa[4 * 6], pb[4 * 6];
        for (int i = 0; i < 24; ++i)
            pa[i] = pb[i] = uint16_t(i);
        port.reconstruct(a, pa + 1, 6);
        vec->reconstruct(a, pb + 1, 6);
        ASSERT_TRUE(std::equal(pa, pa + 24, pb)) << describe(px, nullptr, lambda.value);
    }
    // Every mode was exercised.
    for (int m = 0; m < 4; ++m)
        EXPECT_GT(modes[m], 1000) << "mode " << m;
}

// Codes obey the bitstream: one-colour codes never read as skips, flag bit 15 is clear, the
// first colour of a two-colour code has bit 15 clear and that of an eight-colour code set.
TEST(MsVideo1Blocks, CodesKeepToTheBitstreamRules) {
    BlockMaker maker(11);
    for (const Kernels* k : {&portableKernels(), vectorKernels()}) {
        if (!k) continue;
        for (int n = 0; n < 50000; ++n) {
            uint16_t px[16];
            maker.make(px);
            BlockCode c;
            k->choose(px, nullptr, 4, Lambda(1 + n % 70), c);
            switch (c.mode) {
            case Mode::Skip:
                FAIL() << "a key-frame block was skipped";
                break;
            case Mode::Fill:
                ASSERT_EQ(c.words, 1);
                ASSERT_TRUE(c.word[0] & 0x8000);
                ASSERT_NE(c.word[0] & 0xFC00, 0x8400) << describe(px, nullptr, 1 + n % 70);
                break;
            case Mode::Two:
            case Mode::Eight:
                ASSERT_EQ(c.words, c.mode == Mode::Two ? 3 : 9);
                ASSERT_FALSE(c.word[0] & 0x8000) << describe(px, nullptr, 1 + n % 70);
                ASSERT_EQ(bool(c.word[1] & 0x8000), c.mode == Mode::Eight);
                break;
            }
        }
    }
}

TEST(MsVideo1Blocks, RowConversionsMatchPortable) {
    const Kernels* vec = vectorKernels();
    if (!vec) GTEST_SKIP() << "no vector version on this processor";
    const Kernels& port = portableKernels();
    std::mt19937 rng(3);
    for (int pixels = 1; pixels <= 70; ++pixels) {
        for (int bytesPerPixel : {2, 3, 4}) {
            // Exactly the row's bytes, so reading past it would be a fault under sanitizers.
            std::vector<uint8_t> src(size_t(pixels * bytesPerPixel));
            for (uint8_t& b : src)
                b = uint8_t(rng());
            std::vector<uint16_t> a(static_cast<size_t>(pixels)), b(static_cast<size_t>(pixels));
            auto convert = [&](const Kernels& k, std::vector<uint16_t>& out) {
                if (bytesPerPixel == 4) k.fromBgr32(src.data(), out.data(), pixels);
                if (bytesPerPixel == 3) k.fromBgr24(src.data(), out.data(), pixels);
                if (bytesPerPixel == 2) k.fromRgb555(src.data(), out.data(), pixels);
            };
            convert(port, a);
            convert(*vec, b);
            ASSERT_EQ(a, b) << pixels << " pixels of " << bytesPerPixel << " bytes";
            if (bytesPerPixel >= 3) {
                const uint8_t* p = src.data() + (pixels - 1) * bytesPerPixel;
                EXPECT_EQ(a.back(), rgb555(p[2] >> 3, p[1] >> 3, p[0] >> 3));
            }
        }
    }
}

TEST(MsVideo1Blocks, ChangedBlocksFindEveryDifference) {
    for (const Kernels* k : {&portableKernels(), vectorKernels()}) {
        if (!k) continue;
        SCOPED_TRACE(k->name);
        for (int blocks : {1, 2, 3, 7, 8}) {
            const int stride = 4 * blocks + 3; // rows longer than the blocks, as in a picture
            std::vector<uint16_t> cur(size_t(4 * stride)), prev;
            for (size_t i = 0; i < cur.size(); ++i)
                cur[i] = uint16_t(i * 2654435761u >> 17);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4 * blocks; ++x) {
                    prev = cur;
                    prev[size_t(y * stride + x)] ^= 0x0100;
                    std::vector<uint8_t> changed(size_t(blocks), 9);
                    k->changedBlocks(cur.data(), prev.data(), stride, blocks, changed.data());
                    for (int b = 0; b < blocks; ++b)
                        ASSERT_EQ(changed[size_t(b)], b == x / 4 ? 1 : 0)
                            << blocks << " blocks, pixel " << x << "," << y;
                }
            prev = cur;
            for (int y = 0; y < 4; ++y)
                prev[size_t(y * stride + 4 * blocks)] ^= 1; // outside the blocks
            std::vector<uint8_t> changed(size_t(blocks), 9);
            k->changedBlocks(cur.data(), prev.data(), stride, blocks, changed.data());
            for (uint8_t c : changed)
                ASSERT_EQ(c, 0);
        }
    }
}
