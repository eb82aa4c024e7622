#include "MsVideo1Blocks.h"

#include <cstring>

namespace platform::vfw::msvideo1 {

Lambda::Lambda(int lambda)
    : value(lambda < 1 ? 1 : lambda),
      reciprocal(((uint64_t(1) << 32) + uint64_t(value) - 1) / uint64_t(value)) {}

namespace {

// ---- Row conversion ---------------------------------------------------------------------

void fromBgr32(const uint8_t* src, uint16_t* dst, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        const uint8_t* p = src + 4 * x;
        dst[x] = rgb555(p[2] >> 3, p[1] >> 3, p[0] >> 3);
    }
}

void fromBgr24(const uint8_t* src, uint16_t* dst, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        const uint8_t* p = src + 3 * x;
        dst[x] = rgb555(p[2] >> 3, p[1] >> 3, p[0] >> 3);
    }
}

void fromRgb555(const uint8_t* src, uint16_t* dst, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        uint16_t v;
        std::memcpy(&v, src + 2 * x, 2);
        dst[x] = v & 0x7FFF;
    }
}

void changedBlocks(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride, int blocks,
                   uint8_t* changed) {
    for (int b = 0; b < blocks; ++b) {
        bool differs = false;
        for (int y = 0; y < 4 && !differs; ++y)
            differs = std::memcmp(cur + y * stride + 4 * b, prev + y * stride + 4 * b, 8) != 0;
        changed[b] = differs ? 1 : 0;
    }
}

void reconstruct(const BlockCode& code, uint16_t* dst, ptrdiff_t stride) {
    uint16_t px[16];
    switch (code.mode) {
    case Mode::Skip:
        return;
    case Mode::Fill:
        for (uint16_t& p : px)
            p = code.word[0] & 0x7FFF;
        break;
    case Mode::Two:
        for (int i = 0; i < 16; ++i)
            px[i] = (code.word[0] >> i) & 1 ? code.word[1] : code.word[2];
        break;
    case Mode::Eight:
        for (int i = 0; i < 16; ++i) {
            const int q = (i >> 3) * 2 + ((i & 3) >> 1);
            px[i] =
                ((code.word[0] >> i) & 1 ? code.word[1 + 2 * q] : code.word[2 + 2 * q]) & 0x7FFF;
        }
        break;
    }
    for (int y = 0; y < 4; ++y)
        std::memcpy(dst + y * stride, px + 4 * y, 8);
}

// ---- Block analysis ---------------------------------------------------------------------

inline int channel(uint16_t v, int c) {
    return (v >> (10 - 5 * c)) & 31;
}

class PortableAnalysis {
  public:
    PortableAnalysis(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride)
        : prev_(prev), stride_(stride) {
        for (int i = 0; i < 16; ++i) {
            px_[i] = cur[(i >> 2) * stride + (i & 3)];
            for (int c = 0; c < 3; ++c)
                ch_[c][i] = channel(px_[i], c);
        }
    }

    int skipError() const {
        int error = 0;
        for (int i = 0; i < 16; ++i) {
            const uint16_t p = prev_[(i >> 2) * stride_ + (i & 3)];
            for (int c = 0; c < 3; ++c) {
                const int d = ch_[c][i] - channel(p, c);
                error += d * d;
            }
        }
        return error;
    }

    int fill(uint16_t& colour) const {
        int m[3];
        for (int c = 0; c < 3; ++c) {
            int sum = 0;
            for (int i = 0; i < 16; ++i)
                sum += ch_[c][i];
            m[c] = roundedMean(sum, 16);
        }
        if (m[0] == 1) m[0] = 0; // red 1 would read as a skip code
        int error = 0;
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 16; ++i) {
                const int d = ch_[c][i] - m[c];
                error += d * d;
            }
        colour = rgb555(m[0], m[1], m[2]);
        return error;
    }

    void two(TwoColours& t) const {
        static constexpr int All[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        t.error = fit(All, 16, t.one, t.zero, t.flags);
    }

    void eight(EightColours& e) const {
        static constexpr int Quarter[4][4] = {
            {0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};
        e.flags = 0;
        e.error = 0;
        for (int q = 0; q < 4; ++q) {
            uint16_t flags = 0;
            e.error += fit(Quarter[q], 4, e.one[q], e.zero[q], flags);
            e.flags |= flags;
        }
    }

  private:
    // Two colours for the n pixels index[0..n): see the header. Returns the error.
    int fit(const int* index, int n, uint16_t& one, uint16_t& zero, uint16_t& flags) const {
        int sum[3] = {}, variance[3];
        for (int c = 0; c < 3; ++c) {
            int squares = 0;
            for (int k = 0; k < n; ++k) {
                const int v = ch_[c][index[k]];
                sum[c] += v;
                squares += v * v;
            }
            variance[c] = n * squares - sum[c] * sum[c]; // n^2 times the variance
        }
        int axis = 0;
        if (variance[1] > variance[axis]) axis = 1;
        if (variance[2] > variance[axis]) axis = 2;
        bool sel[16];
        for (int k = 0; k < n; ++k)
            sel[k] = n * ch_[axis][index[k]] > sum[axis];

        int m1[3], m0[3];
        auto means = [&] {
            int count = 0, s1[3] = {};
            for (int k = 0; k < n; ++k)
                if (sel[k]) {
                    ++count;
                    for (int c = 0; c < 3; ++c)
                        s1[c] += ch_[c][index[k]];
                }
            for (int c = 0; c < 3; ++c) {
                m1[c] = count ? roundedMean(s1[c], count) : 0;
                m0[c] = count < n ? roundedMean(sum[c] - s1[c], n - count) : 0;
            }
            // An empty group takes the other group's colour.
            for (int c = 0; c < 3; ++c) {
                if (count == 0) m1[c] = m0[c];
                if (count == n) m0[c] = m1[c];
            }
        };
        auto distance = [&](int k, const int* m) {
            int d = 0;
            for (int c = 0; c < 3; ++c) {
                const int e = ch_[c][index[k]] - m[c];
                d += e * e;
            }
            return d;
        };
        for (int pass = 0; pass < FitPasses; ++pass) {
            means();
            for (int k = 0; k < n; ++k)
                sel[k] = distance(k, m1) < distance(k, m0);
        }
        means();
        int error = 0;
        flags = 0;
        for (int k = 0; k < n; ++k) {
            error += distance(k, sel[k] ? m1 : m0);
            if (sel[k]) flags |= uint16_t(1u << index[k]);
        }
        one = rgb555(m1[0], m1[1], m1[2]);
        zero = rgb555(m0[0], m0[1], m0[2]);
        return error;
    }

    uint16_t px_[16];
    int ch_[3][16];
    const uint16_t* prev_;
    ptrdiff_t stride_;
};

void choose(const uint16_t* cur, const uint16_t* prev, ptrdiff_t stride, const Lambda& lambda,
            BlockCode& out) {
    PortableAnalysis a(cur, prev, stride);
    chooseMode(a, prev == nullptr, lambda, out);
}

} // namespace

const Kernels& portableKernels() {
    static const Kernels k{"portable",    fromBgr32, fromBgr24,  fromRgb555,
                           changedBlocks, choose,    reconstruct};
    return k;
}

const Kernels& bestKernels() {
    static const Kernels* const best = vectorKernels();
    return best ? *best : portableKernels();
}

} // namespace platform::vfw::msvideo1
