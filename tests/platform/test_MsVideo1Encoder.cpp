#include "platform/vfw/AviFile.h"
#include "platform/vfw/MsVideo1Encoder.h"
#include "support/MsVideo1Reference.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

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
                       int quality) {
    vfw::MsVideo1Encoder enc;
    vfw::CompressorSettings s;
    s.keyFrameEvery = keyEvery;
    s.quality = quality;
    s.rate = 10;
    std::string error;
    EXPECT_TRUE(enc.begin(pictures[0]->header(), nullptr, s, &error)) << error;
    Encoded e;
    for (const auto& p : pictures) {
        vfw::CompressedSample out;
        EXPECT_TRUE(enc.compress(p->bits(), out, &error)) << error;
        e.samples.push_back(out);
        e.reconstructions.push_back(enc.reconstruction());
    }
    return e;
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
}

// FFmpeg's decoder must read our samples exactly as the reference does, including a size that
// is not a multiple of 4 (only the top-left 320x240 is coded).
TEST(MsVideo1Encoder, FfmpegDecodesBitExactlyLikeTheReference) {
    const int w = 321, h = 241;
    const std::string path = scratchDir("msvc") + "/bitexact.avi";
    std::vector<screen::PackedDib> pictures;
    for (int i = 0; i < 8; ++i)
        pictures.push_back(desktopPicture(w, h, 32, 5 * i));
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
