#include "platform/vfw/AviFile.h"
#include "platform/vfw/MsVideo1Encoder.h"
#include "support/MsVideo1Reference.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

using namespace platform;
using namespace testsupport;

namespace {

// The source in RGB555 as the encoder codes it: the top-left coded area, rows bottom-up.
std::vector<uint16_t> sourceRgb555(const screen::PackedDib& dib, int cw, int ch) {
    std::vector<uint16_t> out(size_t(cw) * size_t(ch));
    for (int r = 0; r < ch; ++r)
        for (int x = 0; x < cw; ++x) {
            const Colour c = pixelAt(dib, x, ch - 1 - r);
            out[size_t(r) * size_t(cw) + size_t(x)] =
                uint16_t(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3));
        }
    return out;
}

double psnr555(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            const int d = int((a[i] >> (5 * k)) & 31) - int((b[i] >> (5 * k)) & 31);
            se += d * d;
        }
    const double mse = se / (3.0 * double(a.size()));
    return mse == 0 ? 99.0 : 10 * std::log10(31.0 * 31.0 / mse);
}

struct Encoded {
    std::vector<vfw::CompressedSample> samples;
    std::vector<std::vector<uint16_t>> reconstructions;
};

Encoded encodeSequence(const std::vector<const screen::PackedDib*>& pictures, int keyEvery,
                       int quality, bool portable = false) {
    vfw::MsVideo1Encoder enc(portable);
    vfw::CompressorSettings s;
    s.keyFrameEvery = keyEvery;
    s.quality = quality;
    s.rate = 10;
    std::string error;
    EXPECT_TRUE(enc.begin(pictures[0]->header(), pictures[0]->colourTable(), s, &error)) << error;
    Encoded e;
    for (const auto& p : pictures) {
        vfw::CompressedSample out;
        EXPECT_TRUE(enc.compress(p->bits(), out, &error)) << error;
        e.samples.push_back(out);
        e.reconstructions.push_back(enc.reconstruction());
    }
    return e;
}

std::vector<const screen::PackedDib*> pointers(const std::vector<screen::PackedDib>& pictures) {
    std::vector<const screen::PackedDib*> out;
    for (const auto& p : pictures)
        out.push_back(&p);
    return out;
}

// A desktop picture with a shaded, slightly noisy photo-like patch that moves with `shift`:
// content that needs eight-colour blocks and leaves lossy blocks to skip or refresh.
screen::PackedDib busyPicture(int w, int h, int bits, int shift) {
    screen::PackedDib dib = desktopPicture(w, h, bits, shift);
    uint32_t seed = 99;
    for (int y = h / 2; y < h / 2 + 60 && y < h; ++y)
        for (int x = 20 + shift; x < 120 + shift && x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int n = int(seed >> 29);
            setPixel(
                dib, x, y,
                {uint8_t(2 * (x - shift) + n), uint8_t(120 + y % 50 + n), uint8_t(200 - y % 90)});
        }
    return dib;
}

// The same picture at 8 bits, with a colour table of its (at most 256) colours.
screen::PackedDib toEightBit(const screen::PackedDib& src) {
    const int w = src.header().biWidth, h = src.header().biHeight;
    screen::PackedDib dib = screen::PackedDib::create(w, h, 8);
    std::vector<uint32_t> colours;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Colour c = pixelAt(src, x, y);
            const uint32_t v = uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
            auto it = std::find(colours.begin(), colours.end(), v);
            if (it == colours.end()) {
                if (colours.size() == 256) return {};
                colours.push_back(v);
                it = colours.end() - 1;
            }
            dib.rowFromTop(y)[x] = uint8_t(it - colours.begin());
        }
    for (size_t i = 0; i < colours.size(); ++i)
        dib.colourTable()[i] = {uint8_t(colours[i]), uint8_t(colours[i] >> 8),
                                uint8_t(colours[i] >> 16), 0};
    return dib;
}

} // namespace

TEST(MsVideo1Encoder, ReferenceDecodeMatchesReconstructionFrameByFrame) {
    for (int bits : {16, 24, 32}) {
        SCOPED_TRACE(std::to_string(bits) + "-bit");
        std::vector<screen::PackedDib> pictures;
        for (int i = 0; i < 12; ++i)
            pictures.push_back(desktopPicture(160, 120, bits, 3 * i));
        std::vector<const screen::PackedDib*> seq;
        for (const auto& p : pictures)
            seq.push_back(&p);
        const Encoded e = encodeSequence(seq, 5, 6550);
        std::vector<uint16_t> decoded;
        for (size_t i = 0; i < pictures.size(); ++i) {
            MsVideo1Stats stats;
            std::string error;
            const auto& d = e.samples[i].data;
            ASSERT_TRUE(decodeMsVideo1(d.data(), d.size(), 160, 120, decoded, &stats, &error))
                << "frame " << i << ": " << error;
            ASSERT_EQ(decoded, e.reconstructions[i]) << "frame " << i;
            // Key frames every 5 pictures, and a key frame never refers to the previous one.
            EXPECT_EQ(e.samples[i].keyFrame, i % 5 == 0 || stats.skipped == 0) << "frame " << i;
            if (i % 5 == 0) {
                EXPECT_EQ(stats.skipped, 0) << "frame " << i;
            }
            EXPECT_GT(psnr555(decoded, sourceRgb555(pictures[i], 160, 120)), 28.0) << "frame " << i;
        }
    }
}

TEST(MsVideo1Encoder, UnchangedPicturesAreSkippedAndFlatOnesFilled) {
    const screen::PackedDib flat = flatPicture(64, 32, 32, {8, 200, 16}); // red 1 in RGB555
    const Encoded e = encodeSequence({&flat, &flat}, 100, 6550);
    // 128 one-colour blocks of 2 bytes and the end code; then one skip run and the end code.
    EXPECT_EQ(e.samples[0].data.size(), 128u * 2 + 2);
    EXPECT_EQ(e.samples[1].data.size(), 4u);
    std::vector<uint16_t> decoded;
    MsVideo1Stats stats;
    ASSERT_TRUE(decodeMsVideo1(e.samples[0].data.data(), e.samples[0].data.size(), 64, 32, decoded,
                               &stats, nullptr));
    EXPECT_EQ(stats.filled, 128);
    // A fill colour with red 1 would read as a skip code; it must come out as red 0 instead.
    for (uint16_t v : decoded)
        ASSERT_EQ(v, uint16_t((0 << 10) | (25 << 5) | 2));
}

TEST(MsVideo1Encoder, HigherQualityCostsBytesAndGainsFidelity) {
    const screen::PackedDib p = desktopPicture(320, 240, 32, 0);
    const Encoded low = encodeSequence({&p}, 1, 0);
    const Encoded high = encodeSequence({&p}, 1, 10000);
    const auto src = sourceRgb555(p, 320, 240);
    EXPECT_GT(high.samples[0].data.size(), low.samples[0].data.size());
    EXPECT_GT(psnr555(high.reconstructions[0], src), psnr555(low.reconstructions[0], src) + 1.0);
}

TEST(MsVideo1Encoder, EightBitPicturesUseTheirColourTable) {
    screen::PackedDib dib = screen::PackedDib::create(32, 16, 8);
    for (int i = 0; i < 256; ++i)
        dib.colourTable()[i] = {uint8_t(i), uint8_t(255 - i), 128, 0};
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x)
            dib.rowFromTop(y)[x] = uint8_t(x < 16 ? 10 : 200);
    vfw::MsVideo1Encoder enc;
    std::string error;
    ASSERT_TRUE(enc.begin(dib.header(), dib.colourTable(), {1, 10000, 1, 10}, &error)) << error;
    vfw::CompressedSample out;
    ASSERT_TRUE(enc.compress(dib.bits(), out, &error));
    std::vector<uint16_t> decoded;
    ASSERT_TRUE(decodeMsVideo1(out.data.data(), out.data.size(), 32, 16, decoded, nullptr, &error))
        << error;
    const uint16_t left = uint16_t((128 >> 3) << 10 | (245 >> 3) << 5 | (10 >> 3));
    const uint16_t right = uint16_t((128 >> 3) << 10 | (55 >> 3) << 5 | (200 >> 3));
    EXPECT_EQ(decoded[0], left);
    EXPECT_EQ(decoded[31], right);
}

TEST(MsVideo1Encoder, RefusesPicturesSmallerThanOneBlockOrOfOtherDepths) {
    vfw::MsVideo1Encoder enc;
    std::string error;
    screen::BitmapInfoHeader h;
    h.biWidth = 3;
    h.biHeight = 100;
    h.biBitCount = 32;
    EXPECT_FALSE(enc.begin(h, nullptr, {}, &error));
    EXPECT_NE(error.find("3x100"), std::string::npos) << error;
    h.biWidth = 100;
    h.biBitCount = 12;
    EXPECT_FALSE(enc.begin(h, nullptr, {}, &error));

    // A failed begin after a good one leaves nothing to compress with.
    const screen::PackedDib small = flatPicture(8, 8, 32, {1, 2, 3});
    ASSERT_TRUE(enc.begin(small.header(), nullptr, {}, &error)) << error;
    EXPECT_FALSE(enc.begin(h, nullptr, {}, &error));
    vfw::CompressedSample out;
    EXPECT_FALSE(enc.compress(small.bits(), out, &error));
    EXPECT_NE(error.find("not begun"), std::string::npos) << error;
}

// FFmpeg's decoder must read our samples exactly as the reference does, including a size that
// is not a multiple of 4 (only the top-left 320x240 is coded).
TEST(MsVideo1Encoder, FfmpegDecodesBitExactlyLikeTheReference) {
    const int w = 321, h = 241;
    const std::string path = scratchDir("msvc") + "/bitexact.avi";
    std::vector<screen::PackedDib> pictures;
    for (int i = 0; i < 8; ++i)
        pictures.push_back(busyPicture(w, h, 32, 5 * i));
    {
        std::string error;
        auto file = vfw::AviFile::open(path, vfw::OF_WRITE | vfw::OF_CREATE, &error);
        ASSERT_TRUE(file) << error;
        vfw::AviStreamInfo info;
        info.fccType = vfw::streamtypeVIDEO;
        info.scale = 1;
        info.rate = 10;
        info.frame = {0, 0, w, h};
        auto plain = file->createStream(info, &error);
        vfw::AviCompressOptions o;
        o.fccType = vfw::streamtypeVIDEO;
        o.fccHandler = vfw::makeFourCC('M', 'S', 'V', 'C');
        o.keyFrameEvery = 4;
        o.quality = 6550;
        auto stream = vfw::makeCompressedStream(plain, o, &error);
        ASSERT_TRUE(stream) << error;
        ASSERT_TRUE(stream->setFormat(pictures[0].data(), pictures[0].formatSize(), &error))
            << error;
        for (size_t i = 0; i < pictures.size(); ++i)
            ASSERT_TRUE(
                stream->write(int64_t(i), pictures[i].bits(), pictures[i].imageSize(), 0, &error))
                << error;
    }
    std::vector<const screen::PackedDib*> seq;
    for (const auto& p : pictures)
        seq.push_back(&p);
    const Encoded e = encodeSequence(seq, 4, 6550);
    // The pictures call for every kind of block.
    MsVideo1Stats stats;
    std::vector<uint16_t> decoded;
    for (const auto& sample : e.samples)
        ASSERT_TRUE(
            decodeMsVideo1(sample.data.data(), sample.data.size(), w, h, decoded, &stats, nullptr));
    EXPECT_GT(stats.skipped, 0);
    EXPECT_GT(stats.filled, 0);
    EXPECT_GT(stats.twoColour, 0);
    EXPECT_GT(stats.eightColour, 0);
    const std::string raw = scratchDir("msvc") + "/bitexact.rgb555";
    const CommandResult r = run("ffmpeg -v warning -xerror -y -i '" + path +
                                "' -f rawvideo -pix_fmt rgb555le '" + raw + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t frameBytes = size_t(w) * size_t(h) * 2;
    ASSERT_EQ(bytes.size(), frameBytes * pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        // FFmpeg's frame is top-down at the true size; compare the coded area.
        for (int r2 = 0; r2 < 240; ++r2)
            for (int x = 0; x < 320; ++x) {
                uint16_t v;
                std::memcpy(&v, bytes.data() + i * frameBytes + (size_t(239 - r2) * w + x) * 2, 2);
                ASSERT_EQ(v & 0x7FFF, e.reconstructions[i][size_t(r2) * 320 + x])
                    << "frame " << i << " pixel " << x << "," << 239 - r2;
            }
    }
}

// The vector and the portable code must write the same bytes, whatever the depth, size and
// quality.
TEST(MsVideo1Encoder, VectorAndPortableCodeWriteTheSameSamples) {
    for (int bits : {8, 16, 24, 32}) {
        std::vector<screen::PackedDib> pictures;
        for (int i = 0; i < 6; ++i) // the busy picture has too many colours for 8 bits
            pictures.push_back(bits == 8 ? toEightBit(desktopPicture(321, 241, 32, 7 * i))
                                         : busyPicture(321, 241, bits, 7 * i));
        for (int quality : {0, 6550, 10000}) {
            SCOPED_TRACE(std::to_string(bits) + "-bit, quality " + std::to_string(quality));
            const Encoded vec = encodeSequence(pointers(pictures), 3, quality, false);
            const Encoded port = encodeSequence(pointers(pictures), 3, quality, true);
            for (size_t i = 0; i < pictures.size(); ++i) {
                ASSERT_EQ(vec.samples[i].data, port.samples[i].data) << "frame " << i;
                ASSERT_EQ(vec.samples[i].keyFrame, port.samples[i].keyFrame) << "frame " << i;
            }
        }
    }
}

// Rows are read from 32, 24, 16 and 8-bit pictures, bottom-up or top-down, without a copy
// of the whole picture: the same colours must give the same samples.
TEST(MsVideo1Encoder, EveryDepthAndRowOrderCodesTheSamePicture) {
    std::vector<std::vector<screen::PackedDib>> byDepth(4);
    for (int i = 0; i < 4; ++i) {
        byDepth[0].push_back(desktopPicture(321, 241, 32, 9 * i));
        byDepth[1].push_back(desktopPicture(321, 241, 24, 9 * i));
        byDepth[2].push_back(desktopPicture(321, 241, 16, 9 * i));
        byDepth[3].push_back(toEightBit(byDepth[0].back()));
        ASSERT_TRUE(byDepth[3].back().valid());
    }
    const Encoded expected = encodeSequence(pointers(byDepth[0]), 3, 6550);
    for (size_t d = 1; d < byDepth.size(); ++d) {
        const Encoded e = encodeSequence(pointers(byDepth[d]), 3, 6550);
        for (size_t i = 0; i < e.samples.size(); ++i)
            ASSERT_EQ(e.samples[i].data, expected.samples[i].data)
                << byDepth[d][0].header().biBitCount << "-bit, frame " << i;
    }

    // Top-down rows: a negative height, the top row first.
    const screen::PackedDib& first = byDepth[0][0];
    screen::BitmapInfoHeader topDown = first.header();
    topDown.biHeight = -topDown.biHeight;
    vfw::MsVideo1Encoder enc;
    std::string error;
    ASSERT_TRUE(enc.begin(topDown, nullptr, {3, 6550, 1, 10}, &error)) << error;
    for (size_t i = 0; i < byDepth[0].size(); ++i) {
        const screen::PackedDib& p = byDepth[0][i];
        std::vector<uint8_t> rows(p.imageSize());
        for (int y = 0; y < 241; ++y)
            std::memcpy(rows.data() + size_t(y) * p.stride(), p.rowFromTop(y), p.stride());
        vfw::CompressedSample out;
        ASSERT_TRUE(enc.compress(rows.data(), out, &error)) << error;
        ASSERT_EQ(out.data, expected.samples[i].data) << "top-down frame " << i;
    }
}

// A skip run longer than one code can carry (1023 blocks) is split.
TEST(MsVideo1Encoder, LongSkipRunsAreSplit) {
    const screen::PackedDib a = flatPicture(512, 64, 32, {40, 90, 140}); // 2048 blocks
    screen::PackedDib b = flatPicture(512, 64, 32, {40, 90, 140});
    // Block 1500 counting from the bottom-left: block row 11, column 92.
    for (int y = 64 - 48; y < 64 - 44; ++y)
        for (int x = 368; x < 372; ++x)
            setPixel(b, x, y, {200, 0, 0});
    const Encoded e = encodeSequence({&a, &b}, 100, 6550);
    const uint16_t fill = uint16_t(0x8000 | (25 << 10));
    // 1023 skipped blocks, 477 more, the red block, the other 547, the end.
    std::vector<uint8_t> expected;
    for (uint16_t word : {0x8400 | 1023, 0x8400 | 477, int(fill), 0x8400 | 547, 0}) {
        expected.push_back(uint8_t(word));
        expected.push_back(uint8_t(word >> 8));
    }
    EXPECT_EQ(e.samples[1].data, expected);
    EXPECT_FALSE(e.samples[1].keyFrame);
    std::vector<uint16_t> decoded = e.reconstructions[0];
    MsVideo1Stats stats;
    std::string error;
    ASSERT_TRUE(decodeMsVideo1(e.samples[1].data.data(), e.samples[1].data.size(), 512, 64, decoded,
                               &stats, &error))
        << error;
    EXPECT_EQ(stats.skipped, 2047);
    EXPECT_EQ(decoded, e.reconstructions[1]);
}
