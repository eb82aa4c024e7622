#include "MsVideo1Reference.h"

namespace testsupport {

bool decodeMsVideo1(const uint8_t* data, size_t size, int width, int height,
                    std::vector<uint16_t>& picture, MsVideo1Stats* stats, std::string* error) {
    const int bw = width / 4, bh = height / 4;
    picture.resize(size_t(width) * size_t(height));
    size_t at = 0;
    auto next = [&](uint16_t& v) {
        if (at + 2 > size) return false;
        v = uint16_t(data[at] | (data[at + 1] << 8));
        at += 2;
        return true;
    };
    auto fail = [&](const std::string& why) {
        if (error) *error = why + " at byte " + std::to_string(at);
        return false;
    };
    MsVideo1Stats local;
    MsVideo1Stats& s = stats ? *stats : local;
    int skip = 0;
    for (int by = 0; by < bh; ++by) {
        for (int bx = 0; bx < bw; ++bx) {
            auto px = [&](int x, int y) -> uint16_t& {
                return picture[size_t(by * 4 + y) * size_t(width) + size_t(bx * 4 + x)];
            };
            if (skip > 0) {
                --skip;
                ++s.skipped;
                continue;
            }
            uint16_t code;
            if (!next(code)) return fail("sample ends inside the picture");
            const uint8_t hi = uint8_t(code >> 8);
            if ((hi & 0xFC) == 0x84) {
                skip = code - 0x8400;
                if (skip == 0) return fail("empty skip run");
                --skip;
                ++s.skipped;
                continue;
            }
            if (hi >= 0x80) {
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x)
                        px(x, y) = code & 0x7FFF;
                ++s.filled;
                continue;
            }
            uint16_t colours[8];
            if (!next(colours[0]) || !next(colours[1])) return fail("block colours missing");
            if (colours[0] & 0x8000) {
                for (int i = 2; i < 8; ++i)
                    if (!next(colours[i])) return fail("eight-colour block cut short");
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) {
                        const int bit = (code >> (y * 4 + x)) & 1;
                        const int q = ((y & 2) << 1) + (x & 2);
                        px(x, y) = colours[q + (bit ^ 1)] & 0x7FFF;
                    }
                ++s.eightColour;
            } else {
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x)
                        px(x, y) = colours[((code >> (y * 4 + x)) & 1) ^ 1] & 0x7FFF;
                ++s.twoColour;
            }
        }
    }
    if (skip > 0) return fail("skip run goes past the picture");
    uint16_t end;
    if (!next(end) || end != 0) return fail("no end-of-picture code");
    if (at != size) return fail("bytes after the end-of-picture code");
    return true;
}

} // namespace testsupport
