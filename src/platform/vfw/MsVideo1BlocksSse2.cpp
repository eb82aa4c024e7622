// SSE2 versions of the MS Video 1 block work (SSE2 is part of every x86-64 processor). They
// compute exactly what the portable versions compute, with the same integer arithmetic.
#include "MsVideo1Blocks.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <array>
#include <cstring>
#endif

namespace platform::vfw::msvideo1 {

#if defined(__SSE2__)

namespace {

using V = __m128i;

inline V load64(const uint16_t* p) {
    return _mm_loadl_epi64(reinterpret_cast<const V*>(p));
}
inline V select(V mask, V a, V b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
inline V splat(int v) {
    return _mm_set1_epi16(short(v));
}

// ---- Row conversion ---------------------------------------------------------------------

// Four 32-bit pixels (blue in the low byte, red in bits 16..23; the top byte is ignored) to
// RGB555 in the low half of each 32-bit lane.
inline V bgr32To555(V v) {
    const V r = _mm_and_si128(_mm_srli_epi32(v, 9), _mm_set1_epi32(0x7C00));
    const V g = _mm_and_si128(_mm_srli_epi32(v, 6), _mm_set1_epi32(0x03E0));
    const V b = _mm_and_si128(_mm_srli_epi32(v, 3), _mm_set1_epi32(0x001F));
    return _mm_or_si128(_mm_or_si128(r, g), b);
}

void fromBgr32(const uint8_t* src, uint16_t* dst, int pixels) {
    int x = 0;
    for (; x + 8 <= pixels; x += 8) {
        const V a = _mm_loadu_si128(reinterpret_cast<const V*>(src + 4 * x));
        const V b = _mm_loadu_si128(reinterpret_cast<const V*>(src + 4 * x + 16));
        // RGB555 values stay below 0x8000, so the signed saturating pack keeps them whole.
        _mm_storeu_si128(reinterpret_cast<V*>(dst + x),
                         _mm_packs_epi32(bgr32To555(a), bgr32To555(b)));
    }
    for (; x < pixels; ++x) {
        const uint8_t* p = src + 4 * x;
        dst[x] = rgb555(p[2] >> 3, p[1] >> 3, p[0] >> 3);
    }
}

// Four 24-bit pixels from the 16 bytes at p (of which the first 12 are used).
inline V bgr24Lanes(const uint8_t* p) {
    const V v = _mm_loadu_si128(reinterpret_cast<const V*>(p));
    const V p01 = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
    const V p23 = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
    return _mm_unpacklo_epi64(p01, p23);
}

void fromBgr24(const uint8_t* src, uint16_t* dst, int pixels) {
    int x = 0;
    // Each step reads 28 bytes for 24; stop while the row still holds them all.
    for (; 3 * x + 28 <= 3 * pixels; x += 8) {
        const V a = bgr32To555(bgr24Lanes(src + 3 * x));
        const V b = bgr32To555(bgr24Lanes(src + 3 * x + 12));
        _mm_storeu_si128(reinterpret_cast<V*>(dst + x), _mm_packs_epi32(a, b));
    }
    for (; x < pixels; ++x) {
        const uint8_t* p = src + 3 * x;
        dst[x] = rgb555(p[2] >> 3, p[1] >> 3, p[0] >> 3);
    }
}

void fromRgb555(const uint8_t* src, uint16_t* dst, int pixels) {
    int x = 0;
    for (; x + 8 <= pixels; x += 8) {
        const V v = _mm_loadu_si128(reinterpret_cast<const V*>(src + 2 * x));
        _mm_storeu_si128(reinterpret_cast<V*>(dst + x), _mm_and_si128(v, splat(0x7FFF)));
    }
    for (; x < pixels; ++x) {
        uint16_t v;
        std::memcpy(&v, src + 2 * x, 2);
        dst[x] = v & 0x7FFF;
    }
}

// ---- Unchanged blocks -------------------------------------------------------------------

void changedBlocks(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride, int blocks,
                   uint8_t* changed) {
    int b = 0;
    for (; b + 2 <= blocks; b += 2) { // two blocks per 16 bytes of each row
        V same = _mm_set1_epi32(-1);
        for (int y = 0; y < 4; ++y) {
            const V c = _mm_loadu_si128(reinterpret_cast<const V*>(cur + y * stride + 4 * b));
            const V p = _mm_loadu_si128(reinterpret_cast<const V*>(prev + y * stride + 4 * b));
            same = _mm_and_si128(same, _mm_cmpeq_epi16(c, p));
        }
        const int m = _mm_movemask_epi8(same);
        changed[b] = (m & 0xFF) != 0xFF;
        changed[b + 1] = (m >> 8) != 0xFF;
    }
    for (; b < blocks; ++b) {
        bool differs = false;
        for (int y = 0; y < 4 && !differs; ++y)
            differs = std::memcmp(cur + y * stride + 4 * b, prev + y * stride + 4 * b, 8) != 0;
        changed[b] = differs;
    }
}

// ---- Block analysis ---------------------------------------------------------------------
//
// A block's 16 pixels are held in two registers of eight 16-bit lanes, "even" (x = 0, 2)
// and "odd" (x = 1, 3). Lane j holds the pixel of quarter j % 4 in row (j / 4) of that
// quarter, so quarter q owns lanes q and q + 4 of both registers, and a vector of per-quarter
// values repeated in both halves lines up with every pixel of its quarter.

// Natural pixel number of lane j of the even (odd = 1) register.
constexpr int pixelOfLane(int j, int odd) {
    const int q = j & 3, h = j >> 2;
    return (2 * (q >> 1) + h) * 4 + 2 * (q & 1) + odd;
}

// Flag bits in pixel order for a byte of lane bits (as _mm_movemask_epi8 gives them).
constexpr std::array<uint16_t, 256> laneBitsToFlags(int odd) {
    std::array<uint16_t, 256> t{};
    for (int m = 0; m < 256; ++m)
        for (int j = 0; j < 8; ++j)
            if (m >> j & 1) t[size_t(m)] = uint16_t(t[size_t(m)] | 1u << pixelOfLane(j, odd));
    return t;
}
constexpr std::array<uint16_t, 256> EvenFlags = laneBitsToFlags(0), OddFlags = laneBitsToFlags(1);

// ceil(65536 / n): (x * MeanReciprocal[n]) >> 16 is x / n for all x a mean can see here.
constexpr std::array<uint32_t, 17> MeanReciprocal = [] {
    std::array<uint32_t, 17> t{};
    for (uint32_t n = 1; n <= 16; ++n)
        t[n] = (65536 + n - 1) / n;
    return t;
}();

inline int meanOf(int sum, int count) {
    return int((uint32_t(sum + count / 2) * MeanReciprocal[size_t(count)]) >> 16);
}

// The sums of the lanes of a, b, c and d (signed 16-bit), as four 32-bit lanes.
inline V sum4(V a, V b, V c, V d) {
    const V one = splat(1);
    a = _mm_madd_epi16(a, one);
    b = _mm_madd_epi16(b, one);
    c = _mm_madd_epi16(c, one);
    d = _mm_madd_epi16(d, one);
    const V ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
    const V cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
    return _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
}

inline void store4(V v, int out[4]) {
    _mm_storeu_si128(reinterpret_cast<V*>(out), v);
}

// Per quarter sums of a pair of registers, repeated in both halves.
inline V quarterSums(V even, V odd) {
    const V t = _mm_add_epi16(even, odd);
    return _mm_add_epi16(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2)));
}

class VectorAnalysis {
  public:
    VectorAnalysis(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride)
        : prev_(prev), stride_(stride) {
        rows01_ = _mm_unpacklo_epi64(load64(cur), load64(cur + stride));
        rows23_ = _mm_unpacklo_epi64(load64(cur + 2 * stride), load64(cur + 3 * stride));
    }

    int skipError() const {
        const V p01 = _mm_unpacklo_epi64(load64(prev_), load64(prev_ + stride_));
        const V p23 = _mm_unpacklo_epi64(load64(prev_ + 2 * stride_), load64(prev_ + 3 * stride_));
        V total = _mm_setzero_si128();
        for (int shift : {0, 5, 10}) {
            const V mask = splat(31);
            const V d01 = _mm_sub_epi16(_mm_and_si128(_mm_srli_epi16(rows01_, shift), mask),
                                        _mm_and_si128(_mm_srli_epi16(p01, shift), mask));
            const V d23 = _mm_sub_epi16(_mm_and_si128(_mm_srli_epi16(rows23_, shift), mask),
                                        _mm_and_si128(_mm_srli_epi16(p23, shift), mask));
            total = _mm_add_epi32(total, _mm_madd_epi16(d01, d01));
            total = _mm_add_epi32(total, _mm_madd_epi16(d23, d23));
        }
        total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(1, 0, 3, 2)));
        total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm_cvtsi128_si32(total);
    }

    int fill(uint16_t& colour) {
        // A block of one colour needs no arithmetic.
        const V first = _mm_shuffle_epi32(_mm_shufflelo_epi16(rows01_, 0), 0);
        const V same =
            _mm_and_si128(_mm_cmpeq_epi16(rows01_, first), _mm_cmpeq_epi16(rows23_, first));
        if (_mm_movemask_epi8(same) == 0xFFFF) {
            const uint16_t v = uint16_t(_mm_cvtsi128_si32(rows01_));
            if ((v >> 10) != 1) {
                colour = v;
                return 0;
            }
            // Red 1 would read as a skip code: red 0 it is, and the other modes may do better.
            colour = v & 0x03FF;
            splitChannels();
            return 16;
        }
        splitChannels();
        int m[3];
        for (int c = 0; c < 3; ++c)
            m[c] = (sum_[c] + 8) >> 4;
        if (m[0] == 1) m[0] = 0;
        int error = 0;
        for (int c = 0; c < 3; ++c)
            error += squares_[c] - 2 * m[c] * sum_[c] + 16 * m[c] * m[c];
        colour = rgb555(m[0], m[1], m[2]);
        return error;
    }

    void two(TwoColours& t) const {
        int variance[3];
        for (int c = 0; c < 3; ++c)
            variance[c] = 16 * squares_[c] - sum_[c] * sum_[c];
        int axis = 0;
        if (variance[1] > variance[axis]) axis = 1;
        if (variance[2] > variance[axis]) axis = 2;
        const V pivot = splat(sum_[axis]);
        V selE = _mm_cmpgt_epi16(_mm_slli_epi16(even_[axis], 4), pivot);
        V selO = _mm_cmpgt_epi16(_mm_slli_epi16(odd_[axis], 4), pivot);

        int m1[3], m0[3], s1[3], count;
        auto means = [&] {
            int s[4];
            store4(sum4(_mm_add_epi16(_mm_and_si128(even_[0], selE), _mm_and_si128(odd_[0], selO)),
                        _mm_add_epi16(_mm_and_si128(even_[1], selE), _mm_and_si128(odd_[1], selO)),
                        _mm_add_epi16(_mm_and_si128(even_[2], selE), _mm_and_si128(odd_[2], selO)),
                        _mm_add_epi16(selE, selO)),
                   s);
            count = -s[3];
            for (int c = 0; c < 3; ++c) {
                s1[c] = s[c];
                m1[c] = count ? meanOf(s[c], count) : 0;
                m0[c] = count < 16 ? meanOf(sum_[c] - s[c], 16 - count) : 0;
            }
            for (int c = 0; c < 3; ++c) {
                if (count == 0) m1[c] = m0[c];
                if (count == 16) m0[c] = m1[c];
            }
        };
        for (int pass = 0; pass < FitPasses; ++pass) {
            means();
            // Nearer to m1 than to m0: sum over channels of 2 v (m1 - m0) > |m1|^2 - |m0|^2.
            const V w0 = splat(2 * (m1[0] - m0[0])), w1 = splat(2 * (m1[1] - m0[1])),
                    w2 = splat(2 * (m1[2] - m0[2]));
            const V k = splat(m1[0] * m1[0] + m1[1] * m1[1] + m1[2] * m1[2] - m0[0] * m0[0] -
                              m0[1] * m0[1] - m0[2] * m0[2]);
            selE = _mm_cmpgt_epi16(dot(even_, w0, w1, w2), k);
            selO = _mm_cmpgt_epi16(dot(odd_, w0, w1, w2), k);
        }
        means();
        int q1[4];
        store4(sum4(_mm_add_epi16(_mm_and_si128(evenSq_[0], selE), _mm_and_si128(oddSq_[0], selO)),
                    _mm_add_epi16(_mm_and_si128(evenSq_[1], selE), _mm_and_si128(oddSq_[1], selO)),
                    _mm_add_epi16(_mm_and_si128(evenSq_[2], selE), _mm_and_si128(oddSq_[2], selO)),
                    _mm_setzero_si128()),
               q1);
        int error = 0;
        for (int c = 0; c < 3; ++c) {
            error += q1[c] - 2 * m1[c] * s1[c] + count * m1[c] * m1[c];
            error += (squares_[c] - q1[c]) - 2 * m0[c] * (sum_[c] - s1[c]) +
                     (16 - count) * m0[c] * m0[c];
        }
        t.error = error;
        t.flags = flagsOf(selE, selO);
        t.one = rgb555(m1[0], m1[1], m1[2]);
        t.zero = rgb555(m0[0], m0[1], m0[2]);
    }

    void eight(EightColours& e) const {
        V s[3], sq[3], variance[3];
        for (int c = 0; c < 3; ++c) {
            s[c] = quarterSums(even_[c], odd_[c]);
            sq[c] = quarterSums(evenSq_[c], oddSq_[c]);
            variance[c] = _mm_sub_epi16(_mm_slli_epi16(sq[c], 2), _mm_mullo_epi16(s[c], s[c]));
        }
        // The channel of the largest variance per quarter, the first one on a tie.
        const V greenOverRed = _mm_cmpgt_epi16(variance[1], variance[0]);
        const V blue = _mm_cmpgt_epi16(variance[2], _mm_max_epi16(variance[0], variance[1]));
        const V green = _mm_andnot_si128(blue, greenOverRed);
        const V red = _mm_andnot_si128(_mm_or_si128(blue, greenOverRed), _mm_set1_epi32(-1));
        auto pick = [&](V r, V g, V b) {
            return _mm_or_si128(_mm_or_si128(_mm_and_si128(red, r), _mm_and_si128(green, g)),
                                _mm_and_si128(blue, b));
        };
        const V pivot = pick(s[0], s[1], s[2]);
        V selE = _mm_cmpgt_epi16(_mm_slli_epi16(pick(even_[0], even_[1], even_[2]), 2), pivot);
        V selO = _mm_cmpgt_epi16(_mm_slli_epi16(pick(odd_[0], odd_[1], odd_[2]), 2), pivot);

        V m1[3], m0[3], s1[3], n1, n0;
        auto means = [&] {
            n1 = _mm_sub_epi16(_mm_setzero_si128(), quarterSums(selE, selO));
            n0 = _mm_sub_epi16(splat(4), n1);
            // x / n for n = 1..4 as (2x * ceil(32768 / n)) >> 16; n = 0 gives 0.
            auto reciprocal = [](V n) {
                return _mm_or_si128(
                    _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi16(n, splat(1)), splat(-32768)),
                                 _mm_and_si128(_mm_cmpeq_epi16(n, splat(2)), splat(16384))),
                    _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi16(n, splat(3)), splat(10923)),
                                 _mm_and_si128(_mm_cmpeq_epi16(n, splat(4)), splat(8192))));
            };
            const V r1 = reciprocal(n1), r0 = reciprocal(n0);
            const V half1 = _mm_srli_epi16(n1, 1), half0 = _mm_srli_epi16(n0, 1);
            const V empty1 = _mm_cmpeq_epi16(n1, _mm_setzero_si128());
            const V empty0 = _mm_cmpeq_epi16(n0, _mm_setzero_si128());
            for (int c = 0; c < 3; ++c) {
                s1[c] = quarterSums(_mm_and_si128(even_[c], selE), _mm_and_si128(odd_[c], selO));
                const V a = _mm_mulhi_epu16(_mm_slli_epi16(_mm_add_epi16(s1[c], half1), 1), r1);
                const V b = _mm_mulhi_epu16(
                    _mm_slli_epi16(_mm_add_epi16(_mm_sub_epi16(s[c], s1[c]), half0), 1), r0);
                m1[c] = select(empty1, b, a);
                m0[c] = select(empty0, a, b);
            }
        };
        for (int pass = 0; pass < FitPasses; ++pass) {
            means();
            V w[3], k = _mm_setzero_si128();
            for (int c = 0; c < 3; ++c) {
                w[c] = _mm_slli_epi16(_mm_sub_epi16(m1[c], m0[c]), 1);
                k = _mm_add_epi16(
                    k, _mm_sub_epi16(_mm_mullo_epi16(m1[c], m1[c]), _mm_mullo_epi16(m0[c], m0[c])));
            }
            selE = _mm_cmpgt_epi16(dot(even_, w[0], w[1], w[2]), k);
            selO = _mm_cmpgt_epi16(dot(odd_, w[0], w[1], w[2]), k);
        }
        means();
        V error = _mm_setzero_si128();
        for (int c = 0; c < 3; ++c) {
            const V q1 =
                quarterSums(_mm_and_si128(evenSq_[c], selE), _mm_and_si128(oddSq_[c], selO));
            const V q0 = _mm_sub_epi16(sq[c], q1);
            const V s0 = _mm_sub_epi16(s[c], s1[c]);
            // Q - 2 m S + n m^2 per group: the squared error of the group against its mean.
            const V e1 =
                _mm_add_epi16(_mm_sub_epi16(q1, _mm_slli_epi16(_mm_mullo_epi16(m1[c], s1[c]), 1)),
                              _mm_mullo_epi16(n1, _mm_mullo_epi16(m1[c], m1[c])));
            const V e0 =
                _mm_add_epi16(_mm_sub_epi16(q0, _mm_slli_epi16(_mm_mullo_epi16(m0[c], s0), 1)),
                              _mm_mullo_epi16(n0, _mm_mullo_epi16(m0[c], m0[c])));
            error = _mm_add_epi16(error, _mm_add_epi16(e1, e0));
        }
        // Quarters 0..3 sit in lanes 0..3 (and again in 4..7).
        const V pairs = _mm_madd_epi16(error, splat(1));
        e.error = _mm_cvtsi128_si32(pairs) + _mm_cvtsi128_si32(_mm_srli_si128(pairs, 4));
        e.flags = flagsOf(selE, selO);
        const V one =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi16(m1[0], 10), _mm_slli_epi16(m1[1], 5)), m1[2]);
        const V zero =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi16(m0[0], 10), _mm_slli_epi16(m0[1], 5)), m0[2]);
        _mm_storel_epi64(reinterpret_cast<V*>(e.one), one);
        _mm_storel_epi64(reinterpret_cast<V*>(e.zero), zero);
    }

  private:
    static V dot(const V* ch, V w0, V w1, V w2) {
        return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(ch[0], w0), _mm_mullo_epi16(ch[1], w1)),
                             _mm_mullo_epi16(ch[2], w2));
    }

    static uint16_t flagsOf(V selE, V selO) {
        const int bits = _mm_movemask_epi8(_mm_packs_epi16(selE, selO));
        return uint16_t(EvenFlags[size_t(bits & 0xFF)] | OddFlags[size_t(bits >> 8)]);
    }

    // Reorders the pixels into the even / odd lanes and splits them into channels, with their
    // squares and the block's sums.
    void splitChannels() {
        const V low = _mm_set1_epi32(0xFFFF);
        const V even = _mm_packs_epi32(_mm_and_si128(rows01_, low), _mm_and_si128(rows23_, low));
        const V odd = _mm_packs_epi32(_mm_srli_epi32(rows01_, 16), _mm_srli_epi32(rows23_, 16));
        const V e = _mm_shuffle_epi32(even, _MM_SHUFFLE(3, 1, 2, 0));
        const V o = _mm_shuffle_epi32(odd, _MM_SHUFFLE(3, 1, 2, 0));
        const V mask = splat(31);
        for (int c = 0; c < 3; ++c) {
            const int shift = 10 - 5 * c;
            even_[c] = _mm_and_si128(_mm_srli_epi16(e, shift), mask);
            odd_[c] = _mm_and_si128(_mm_srli_epi16(o, shift), mask);
            evenSq_[c] = _mm_mullo_epi16(even_[c], even_[c]);
            oddSq_[c] = _mm_mullo_epi16(odd_[c], odd_[c]);
        }
        int s[4], q[4];
        store4(sum4(_mm_add_epi16(even_[0], odd_[0]), _mm_add_epi16(even_[1], odd_[1]),
                    _mm_add_epi16(even_[2], odd_[2]), _mm_setzero_si128()),
               s);
        store4(sum4(_mm_add_epi16(evenSq_[0], oddSq_[0]), _mm_add_epi16(evenSq_[1], oddSq_[1]),
                    _mm_add_epi16(evenSq_[2], oddSq_[2]), _mm_setzero_si128()),
               q);
        for (int c = 0; c < 3; ++c) {
            sum_[c] = s[c];
            squares_[c] = q[c];
        }
    }

    V rows01_, rows23_; // the pixels in order: rows 0 and 1, rows 2 and 3
    V even_[3], odd_[3], evenSq_[3], oddSq_[3];
    int sum_[3] = {}, squares_[3] = {};
    const uint16_t* prev_;
    ptrdiff_t stride_;
};

void choose(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride, const Lambda& lambda,
            BlockCode& out) {
    VectorAnalysis a(cur, prev, stride);
    chooseMode(a, prev == nullptr, lambda, out);
}

// Stores pixels 0..7 (rows 0 and 1) or 8..15 (rows 2 and 3) of a block.
inline void storeRows(uint16_t* dst, ptrdiff_t stride, V v) {
    _mm_storel_epi64(reinterpret_cast<V*>(dst), v);
    _mm_storel_epi64(reinterpret_cast<V*>(dst + stride), _mm_unpackhi_epi64(v, v));
}

// Lanes whose bit of the 8 flag bits is set.
inline V flagLanes(int flags) {
    const V bits = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm_cmpeq_epi16(_mm_and_si128(splat(flags), bits), bits);
}

void reconstruct(const BlockCode& code, uint16_t* dst, ptrdiff_t stride) {
    const int flags = code.word[0];
    V low, high; // rows 0 and 1, rows 2 and 3
    switch (code.mode) {
    case Mode::Skip:
        return;
    case Mode::Fill:
        low = high = splat(code.word[0] & 0x7FFF);
        break;
    case Mode::Two: {
        const V one = splat(code.word[1]), zero = splat(code.word[2]);
        low = select(flagLanes(flags & 0xFF), one, zero);
        high = select(flagLanes(flags >> 8), one, zero);
        break;
    }
    case Mode::Eight: {
        // Colours 2q (flag 1) and 2q + 1 (flag 0) of quarter q = 2 (y / 2) + x / 2.
        const V c = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const V*>(code.word + 1)),
                                  splat(0x7FFF));
        const V ones = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c, _MM_SHUFFLE(2, 2, 0, 0)),
                                           _MM_SHUFFLE(2, 2, 0, 0));
        const V zeros = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c, _MM_SHUFFLE(3, 3, 1, 1)),
                                            _MM_SHUFFLE(3, 3, 1, 1));
        low = select(flagLanes(flags & 0xFF), _mm_unpacklo_epi64(ones, ones),
                     _mm_unpacklo_epi64(zeros, zeros));
        high = select(flagLanes(flags >> 8), _mm_unpackhi_epi64(ones, ones),
                      _mm_unpackhi_epi64(zeros, zeros));
        break;
    }
    default:
        return;
    }
    storeRows(dst, stride, low);
    storeRows(dst + 2 * stride, stride, high);
}

} // namespace

const Kernels* vectorKernels() {
    static const Kernels k{"sse2",        fromBgr32, fromBgr24,  fromRgb555,
                           changedBlocks, choose,    reconstruct};
    return &k;
}

#else

const Kernels* vectorKernels() {
    return nullptr;
}

#endif

} // namespace platform::vfw::msvideo1
