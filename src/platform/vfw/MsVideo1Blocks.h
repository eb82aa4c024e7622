// The per-block work of the MS Video 1 compressor: converting picture rows to RGB555,
// finding the blocks that changed since the previous picture, and choosing how to code a
// block. Each comes as portable code and, where the processor has them, as vector code; both
// give exactly the same results (all arithmetic is on integers), so the choice only changes
// speed. Internal to the compressor; tests use it to hold the two against each other.
//
// A block is 4x4 RGB555 pixels; pixel i is (i % 4, i / 4) counted from the block's
// bottom-left corner, and a block is given as a pointer to its bottom row plus the distance
// in pixels to the next row up.
//
// How a block is coded. Each mode has a score: its squared error (summed over the 16 pixels
// and the three 5-bit channels) divided by lambda, plus the bytes its code takes (skip 0,
// one colour 2, two colours 6, eight colours 18); the lowest score wins, earlier modes on a
// tie. Skipping is only offered between key frames and its error is against the previous
// reconstruction. The one colour is the rounded mean (red 1 becomes 0: such a code would read
// as a skip). Two colours come from splitting the block at the mean of its channel with the
// largest variance and then moving pixels to the nearer of the two rounded group means, a
// fixed number of times; eight colours do the same in each 2x2 quarter. A mode that cannot
// beat the best score so far is not worked out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::vfw::msvideo1 {

enum class Mode : uint8_t { Skip, Fill, Two, Eight };

// A block's code as written to the stream: 0 words to skip it, 1 for one colour, 3 for two
// (flags, two colours) and 9 for eight (flags, eight colours).
struct BlockCode {
    Mode mode = Mode::Skip;
    int words = 0;
    uint16_t word[9] = {};
};

// Exact division of a block error by lambda (1..70) through a multiplication.
struct Lambda {
    explicit Lambda(int lambda);
    int value;
    uint64_t reciprocal;
    int divide(int error) const { return int((uint64_t(unsigned(error)) * reciprocal) >> 32); }
};

struct Kernels {
    const char* name;
    // Row conversion to RGB555 for 32-bit (blue, green, red, unused), 24-bit (blue, green,
    // red) and 16-bit (X1R5G5B5) pixels.
    void (*fromBgr32)(const uint8_t* src, uint16_t* dst, int pixels);
    void (*fromBgr24)(const uint8_t* src, uint16_t* dst, int pixels);
    void (*fromRgb555)(const uint8_t* src, uint16_t* dst, int pixels);
    // Sets changed[b] to 1 where block b of a block row differs between cur and prev (both
    // 4 rows of `stride` pixels), else 0.
    void (*changedBlocks)(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride, int blocks,
                          uint8_t* changed);
    // Chooses the code of the block at cur; prev is the same block of the previous
    // reconstruction, or null on a key frame (where skipping is not allowed).
    void (*choose)(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride,
                   const Lambda& lambda, BlockCode& out);
    // Writes the pixels a decoder makes of code (not of a skip) into the block at dst.
    void (*reconstruct)(const BlockCode& code, uint16_t* dst, ptrdiff_t stride);
};

// Plain C++ that runs anywhere.
const Kernels& portableKernels();
// The vector version for this processor, or null when there is none.
const Kernels* vectorKernels();
// The vector version where there is one, else the portable one.
const Kernels& bestKernels();

// ---- Shared by both versions -------------------------------------------------------------

// Lloyd passes (reassign pixels to the nearer mean, take new means) of the colour fits.
constexpr int FitPasses = 1;

// The two-colour fit of a block or quarter: the colour of the group that takes flag 1, that
// of the other group, and the pixels of the first group as flag bits in pixel order.
struct TwoColours {
    uint16_t one = 0, zero = 0;
    uint16_t flags = 0;
    int error = 0;
};

// The eight-colour fit: per quarter q, one[q] for flag 1 and zero[q] for flag 0.
struct EightColours {
    uint16_t one[4] = {}, zero[4] = {};
    uint16_t flags = 0;
    int error = 0;
};

// The mode choice given the block's analysis; A provides skipError(), fill(colour) -> error,
// two(TwoColours&) and eight(EightColours&), each only called when that mode could still win.
template <class Analysis>
void chooseMode(Analysis& a, bool key, const Lambda& lambda, BlockCode& out);

// Rounded mean of `count` values summing to sum (count 1..16, sum at most 16 * 31).
inline int roundedMean(int sum, int count) {
    return (sum + count / 2) / count;
}

inline uint16_t rgb555(int r, int g, int b) {
    return uint16_t((r << 10) | (g << 5) | b);
}

template <class Analysis>
void chooseMode(Analysis& a, bool key, const Lambda& lambda, BlockCode& out) {
    constexpr int CostFill = 2, CostTwo = 6, CostEight = 18;
    int best = 1 << 30;
    out.mode = Mode::Skip;
    out.words = 0;
    if (!key) {
        best = lambda.divide(a.skipError());
        if (best <= CostFill) return;
    }
    uint16_t fill = 0;
    const int fillError = a.fill(fill);
    if (const int s = lambda.divide(fillError) + CostFill; s < best) {
        best = s;
        out.mode = Mode::Fill;
        out.words = 1;
        out.word[0] = uint16_t(0x8000 | fill);
    }
    if (fillError == 0 || best <= CostTwo) return;
    TwoColours two;
    a.two(two);
    if (const int s = lambda.divide(two.error) + CostTwo; s < best) {
        best = s;
        // Flag bit 15 must be clear (the first code byte stays below 0x80).
        if (two.flags & 0x8000) {
            two.flags = uint16_t(~two.flags);
            const uint16_t t = two.one;
            two.one = two.zero;
            two.zero = t;
        }
        out.mode = Mode::Two;
        out.words = 3;
        out.word[0] = two.flags;
        out.word[1] = two.one;
        out.word[2] = two.zero;
    }
    if (two.error == 0 || best <= CostEight) return;
    EightColours eight;
    a.eight(eight);
    if (const int s = lambda.divide(eight.error) + CostEight; s < best) {
        // Pixel 15 lies in quarter 3 (pixels 10, 11, 14 and 15).
        if (eight.flags & 0x8000) {
            eight.flags ^= 0xCC00;
            const uint16_t t = eight.one[3];
            eight.one[3] = eight.zero[3];
            eight.zero[3] = t;
        }
        out.mode = Mode::Eight;
        out.words = 9;
        out.word[0] = eight.flags;
        for (int q = 0; q < 4; ++q) {
            out.word[1 + 2 * q] = eight.one[q];
            out.word[2 + 2 * q] = eight.zero[q];
        }
        out.word[1] |= 0x8000; // marks the eight-colour form
    }
}

} // namespace platform::vfw::msvideo1
