#include "MsVideo1Encoder.h"

#include "AviFile.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <algorithm>
#include <cstring>

namespace platform::vfw {

namespace {

constexpr int CostFill = 2;   // bytes of a one-colour block
constexpr int CostTwo = 6;    // flags and two colours
constexpr int CostEight = 18; // flags and eight colours
constexpr uint16_t SkipPrefix = 0x8400;
constexpr int SkipMax = 0x3FF;

struct Rgb {
    int r, g, b;
};

inline Rgb split(uint16_t v) {
    return {(v >> 10) & 31, (v >> 5) & 31, v & 31};
}
inline uint16_t join(int r, int g, int b) {
    return uint16_t((r << 10) | (g << 5) | b);
}
inline int dist(uint16_t a, uint16_t b) {
    const Rgb x = split(a), y = split(b);
    return (x.r - y.r) * (x.r - y.r) + (x.g - y.g) * (x.g - y.g) + (x.b - y.b) * (x.b - y.b);
}

// Two colours for n pixels: split along the channel with the widest range, then one pass of
// reassignment to the nearer mean. sel[i] is 1 for the first colour. Returns the error.
int fitTwo(const uint16_t* px, const int* index, int n, uint16_t& c0, uint16_t& c1, uint8_t* sel) {
    int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) {
        const Rgb p = split(px[index[i]]);
        const int v[3] = {p.r, p.g, p.b};
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], v[k]);
            hi[k] = std::max(hi[k], v[k]);
        }
    }
    int axis = 0;
    for (int k = 1; k < 3; ++k)
        if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
    const int pivot2 = lo[axis] + hi[axis]; // compare 2*value against lo+hi
    for (int i = 0; i < n; ++i) {
        const Rgb p = split(px[index[i]]);
        const int v = axis == 0 ? p.r : axis == 1 ? p.g : p.b;
        sel[i] = 2 * v > pivot2 ? 1 : 0;
    }
    auto means = [&] {
        int sum[2][3] = {}, count[2] = {};
        for (int i = 0; i < n; ++i) {
            const Rgb p = split(px[index[i]]);
            sum[sel[i]][0] += p.r;
            sum[sel[i]][1] += p.g;
            sum[sel[i]][2] += p.b;
            ++count[sel[i]];
        }
        uint16_t m[2];
        for (int s = 0; s < 2; ++s) {
            const int c = count[s] ? count[s] : 1;
            m[s] = join((sum[s][0] + c / 2) / c, (sum[s][1] + c / 2) / c, (sum[s][2] + c / 2) / c);
        }
        c1 = m[0];
        c0 = m[1];
    };
    means();
    for (int i = 0; i < n; ++i)
        sel[i] = dist(px[index[i]], c0) < dist(px[index[i]], c1) ? 1 : 0;
    means();
    int err = 0;
    for (int i = 0; i < n; ++i) {
        sel[i] = dist(px[index[i]], c0) < dist(px[index[i]], c1) ? 1 : 0;
        err += dist(px[index[i]], sel[i] ? c0 : c1);
    }
    return err;
}

inline void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

} // namespace

uint32_t MsVideo1Encoder::fourcc() const {
    return makeFourCC('M', 'S', 'V', 'C');
}
int MsVideo1Encoder::codecId() const {
    return AV_CODEC_ID_MSVIDEO1;
}

bool MsVideo1Input::read(const screen::BitmapInfoHeader& in, std::string* error) {
    width = in.biWidth;
    height = in.biHeight < 0 ? -in.biHeight : in.biHeight;
    bottomUp = in.biHeight > 0;
    bitCount = in.biBitCount;
    stride = int(screen::dibRowStride(width, bitCount));
    codedWidth = width & ~3;
    codedHeight = height & ~3;
    if (in.biCompression != 0 ||
        (bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)) {
        if (error)
            *error = "MS Video 1 takes uncompressed 8, 16, 24 or 32-bit pictures, not " +
                     std::to_string(bitCount) + "-bit";
        return false;
    }
    if (codedWidth == 0 || codedHeight == 0) {
        if (error)
            *error = "a " + std::to_string(width) + "x" + std::to_string(height) +
                     " picture is smaller than one 4x4 MS Video 1 block";
        return false;
    }
    return true;
}

bool MsVideo1Encoder::begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
                            const CompressorSettings& settings, std::string* error) {
    if (!g_.read(in, error)) return false;
    if (g_.bitCount == 8) {
        for (int i = 0; i < 256; ++i) {
            const screen::RgbQuad q = palette ? palette[i] : screen::RgbQuad{};
            palette_[i] = join(q.red >> 3, q.green >> 3, q.blue >> 3);
        }
    }
    keyEvery_ = std::max(1, settings.keyFrameEvery);
    const int quality = std::clamp(settings.quality, 0, 10000);
    lambda_ = 1 + (10000 - quality) * 69 / 10000;
    cur_.assign(size_t(g_.codedWidth) * size_t(g_.codedHeight), 0);
    prev_.assign(cur_.size(), 0);
    first_ = true;
    sinceKey_ = 0;
    return true;
}

void MsVideo1Encoder::toRgb555(const uint8_t* bits) {
    for (int r = 0; r < g_.codedHeight; ++r) {
        // Coded row r counts from the bottom of the top-left coded area.
        const int dibRow = g_.bottomUp ? g_.height - g_.codedHeight + r : g_.codedHeight - 1 - r;
        const uint8_t* src = bits + size_t(dibRow) * size_t(g_.stride);
        uint16_t* dst = cur_.data() + size_t(r) * size_t(g_.codedWidth);
        switch (g_.bitCount) {
        case 32:
            for (int x = 0; x < g_.codedWidth; ++x) {
                const uint8_t* p = src + 4 * x;
                dst[x] = uint16_t(((p[2] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[0] >> 3));
            }
            break;
        case 24:
            for (int x = 0; x < g_.codedWidth; ++x) {
                const uint8_t* p = src + 3 * x;
                dst[x] = uint16_t(((p[2] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[0] >> 3));
            }
            break;
        case 16:
            for (int x = 0; x < g_.codedWidth; ++x) {
                uint16_t v;
                std::memcpy(&v, src + 2 * x, 2);
                dst[x] = v & 0x7FFF;
            }
            break;
        case 8:
            for (int x = 0; x < g_.codedWidth; ++x)
                dst[x] = palette_[src[x]];
            break;
        }
    }
}

bool MsVideo1Encoder::compress(const uint8_t* bits, CompressedSample& out, std::string* error) {
    if (cur_.empty()) {
        if (error) *error = "the MS Video 1 compressor was not begun";
        return false;
    }
    toRgb555(bits);
    const bool key = first_ || sinceKey_ + 1 >= keyEvery_;
    const int blocksWide = g_.codedWidth / 4, blocksHigh = g_.codedHeight / 4;
    std::vector<uint8_t>& o = out.data;
    o.clear();
    o.reserve(size_t(blocksWide) * size_t(blocksHigh) * CostEight / 4 + 64);
    int skips = 0;
    bool anySkip = false;
    const size_t w = size_t(g_.codedWidth);

    // Pixel i of a block is (i % 4, i / 4) counted from the block's bottom-left corner.
    static constexpr int All[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    static constexpr int Quarter[4][4] = {
        {0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

    for (int by = 0; by < blocksHigh; ++by) {
        for (int bx = 0; bx < blocksWide; ++bx) {
            uint16_t* c[4];
            uint16_t* p[4];
            for (int y = 0; y < 4; ++y) {
                const size_t off = (size_t(by) * 4 + size_t(y)) * w + size_t(bx) * 4;
                c[y] = cur_.data() + off;
                p[y] = prev_.data() + off;
            }
            if (!key) {
                bool same = true;
                for (int y = 0; y < 4 && same; ++y)
                    same = std::memcmp(c[y], p[y], 8) == 0;
                if (same) {
                    anySkip = true;
                    if (++skips == SkipMax) {
                        put16(o, uint16_t(SkipPrefix | skips));
                        skips = 0;
                    }
                    continue;
                }
            }
            uint16_t px[16];
            for (int y = 0; y < 4; ++y)
                std::memcpy(px + 4 * y, c[y], 8);

            // Candidate scores: error weighed by lambda plus the bytes the code takes.
            long bestScore;
            enum { Skip, Fill, Two, Eight } mode;
            if (key) {
                bestScore = 1L << 40;
                mode = Eight;
            } else {
                int err = 0;
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x)
                        err += dist(c[y][x], p[y][x]);
                bestScore = err / lambda_;
                mode = Skip;
            }

            int sum[3] = {};
            for (uint16_t v : px) {
                const Rgb q = split(v);
                sum[0] += q.r;
                sum[1] += q.g;
                sum[2] += q.b;
            }
            int fr = (sum[0] + 8) / 16;
            if (fr == 1) fr = 0; // red 1 would read as a skip code
            const uint16_t fill = join(fr, (sum[1] + 8) / 16, (sum[2] + 8) / 16);
            int fillErr = 0;
            for (uint16_t v : px)
                fillErr += dist(v, fill);
            if (long s = fillErr / lambda_ + CostFill; s < bestScore) {
                bestScore = s;
                mode = Fill;
            }

            uint16_t two[2] = {};
            uint8_t twoSel[16] = {};
            uint16_t eight[8] = {};
            uint8_t eightSel[4][4] = {};
            if (fillErr > 0) {
                const int twoErr = fitTwo(px, All, 16, two[0], two[1], twoSel);
                if (long s = twoErr / lambda_ + CostTwo; s < bestScore) {
                    bestScore = s;
                    mode = Two;
                }
                if (twoErr > 0) {
                    int eightErr = 0;
                    for (int q = 0; q < 4; ++q)
                        eightErr +=
                            fitTwo(px, Quarter[q], 4, eight[2 * q], eight[2 * q + 1], eightSel[q]);
                    if (long s = eightErr / lambda_ + CostEight; s < bestScore) {
                        bestScore = s;
                        mode = Eight;
                    }
                }
            }
            if (mode == Skip) {
                anySkip = true;
                if (++skips == SkipMax) {
                    put16(o, uint16_t(SkipPrefix | skips));
                    skips = 0;
                }
                continue;
            }
            if (skips) {
                put16(o, uint16_t(SkipPrefix | skips));
                skips = 0;
            }
            uint16_t rec[16];
            if (mode == Fill) {
                put16(o, uint16_t(0x8000 | fill));
                std::fill(rec, rec + 16, fill);
            } else if (mode == Two) {
                // Flag bit 15 must be clear, so the top-right pixel takes the second colour.
                if (twoSel[15]) {
                    std::swap(two[0], two[1]);
                    for (uint8_t& s : twoSel)
                        s ^= 1;
                }
                uint16_t flags = 0;
                for (int i = 0; i < 16; ++i) {
                    flags |= uint16_t(twoSel[i]) << i;
                    rec[i] = twoSel[i] ? two[0] : two[1];
                }
                put16(o, flags);
                put16(o, two[0]);
                put16(o, two[1]);
            } else {
                if (eightSel[3][3]) {
                    std::swap(eight[6], eight[7]);
                    for (uint8_t& s : eightSel[3])
                        s ^= 1;
                }
                uint16_t flags = 0;
                for (int q = 0; q < 4; ++q)
                    for (int k = 0; k < 4; ++k) {
                        const int i = Quarter[q][k];
                        flags |= uint16_t(eightSel[q][k]) << i;
                        rec[i] = eightSel[q][k] ? eight[2 * q] : eight[2 * q + 1];
                    }
                put16(o, flags);
                put16(o, uint16_t(eight[0] | 0x8000));
                for (int i = 1; i < 8; ++i)
                    put16(o, eight[i]);
            }
            for (int y = 0; y < 4; ++y)
                std::memcpy(p[y], rec + 4 * y, 8);
        }
    }
    if (skips) put16(o, uint16_t(SkipPrefix | skips));
    put16(o, 0); // end of picture

    out.keyFrame = key || !anySkip;
    sinceKey_ = out.keyFrame ? 0 : sinceKey_ + 1;
    first_ = false;
    return true;
}

} // namespace platform::vfw
