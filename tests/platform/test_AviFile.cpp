#include "platform/vfw/AviFile.h"
#include "platform/vfw/Compressor.h"
#include "platform/vfw/OutputFile.h"
#include "support/AviTestWriter.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

using namespace platform;
using namespace testsupport;

namespace {

const uint32_t MSVC = vfw::makeFourCC('M', 'S', 'V', 'C');

} // namespace

TEST(AviFile, FourCCPacksTheFirstCharacterLowest) {
    EXPECT_EQ(MSVC, 0x4356534Du);
    EXPECT_EQ(vfw::stringToFourCC("MSVC"), MSVC);
    EXPECT_EQ(vfw::stringToFourCC("XV"), vfw::makeFourCC('X', 'V', ' ', ' '));
    EXPECT_EQ(vfw::fourCCToString(vfw::streamtypeVIDEO), "vids");
    EXPECT_GE(vfw::videoForWindowsVersion() >> 16, 0x010Au);
}

// Skipped positions become empty chunks, so the file keeps its pace: 8 positions at 10 fps
// play for 0.8 s although only 5 samples carry pictures.
TEST(AviFile, SkippedPositionsStayEmptyAndTheFileKeepsItsPace) {
    const std::string path = scratchDir("avi") + "/gaps.avi";
    {
        const auto first = desktopPicture(320, 240, 32, 0);
        AviTestWriter w(path, 320, 240, 10, MSVC, &first);
        ASSERT_TRUE(w.stream) << w.error;
        for (int64_t pos : {0, 1, 4, 5, 7}) {
            const auto p = desktopPicture(320, 240, 32, int(pos) * 4);
            ASSERT_TRUE(w.stream->write(pos, p.bits(), p.imageSize(), 0, &w.error)) << w.error;
        }
        EXPECT_EQ(w.stream->samplesWritten(), 5);
        EXPECT_EQ(w.stream->positionsSkipped(), 3);
        // A position already written is refused rather than shifting the stream.
        EXPECT_FALSE(w.stream->write(7, first.bits(), first.imageSize(), 0, &w.error));
        EXPECT_FALSE(w.stream->write(3, first.bits(), first.imageSize(), 0, &w.error));
        // Released in the order the engine uses: file, plain stream, compressed stream.
        w.file.reset();
        w.plain.reset();
    }
    const auto info = probeVideo(path);
    EXPECT_EQ(info.at("codec_name"), "msvideo1");
    EXPECT_EQ(info.at("codec_tag_string"), "MSVC");
    EXPECT_EQ(info.at("r_frame_rate"), "10/1");
    EXPECT_EQ(info.at("width"), "320");
    EXPECT_EQ(info.at("nb_frames"), "8");
    EXPECT_NEAR(std::stod(info.at("duration")), 0.8, 0.001);
    const auto packets = probePackets(path);
    std::vector<long long> positions;
    for (const Packet& p : packets)
        positions.push_back(p.pts);
    EXPECT_EQ(positions, (std::vector<long long>{0, 1, 4, 5, 7}));
    EXPECT_TRUE(packets[0].key);
    EXPECT_FALSE(packets[1].key);
    const CommandResult d = decodeAll(path);
    EXPECT_EQ(d.exitCode, 0);
    EXPECT_EQ(d.err, "");
}

TEST(AviFile, OddSizesKeepTheirTrueSizeAndDecodeCleanly) {
    const std::string path = scratchDir("avi") + "/odd.avi";
    {
        const auto p = desktopPicture(321, 241, 24, 0);
        AviTestWriter w(path, 321, 241, 15, MSVC, &p);
        ASSERT_TRUE(w.stream) << w.error;
        for (int i = 0; i < 6; ++i) {
            const auto q = desktopPicture(321, 241, 24, i * 7);
            ASSERT_TRUE(w.stream->write(i, q.bits(), q.imageSize(), 0, &w.error)) << w.error;
        }
    }
    const auto info = probeVideo(path);
    EXPECT_EQ(info.at("width"), "321");
    EXPECT_EQ(info.at("height"), "241");
    EXPECT_EQ(info.at("r_frame_rate"), "15/1");
    EXPECT_EQ(info.at("nb_read_frames"), "6");
    const CommandResult d = decodeAll(path);
    EXPECT_EQ(d.exitCode, 0);
    EXPECT_EQ(d.err, "");
}

// The index marks the compressor's key frames only, whatever the writer flags: the writer of
// pictures flags every sample as a key frame, and a delta frame indexed as one shows garbage
// when a player seeks to it. Both compressors, XVID from an 8-bit picture through its palette.
TEST(AviFile, OnlyTheCompressorsKeyFramesAreIndexed) {
    const uint32_t XVID = vfw::makeFourCC('X', 'V', 'I', 'D');
    for (const auto& [fourcc, bits] : {std::pair{MSVC, 24}, std::pair{XVID, 24}}) {
        SCOPED_TRACE(vfw::fourCCToString(fourcc));
        const std::string path =
            scratchDir("avi") + "/keys-" + vfw::fourCCToString(fourcc) + ".avi";
        {
            const auto p = desktopPicture(320, 240, bits, 0);
            AviTestWriter w(path, 320, 240, 25, fourcc, &p);
            ASSERT_TRUE(w.stream) << w.error;
            for (int i = 0; i < 12; ++i) {
                const auto q = desktopPicture(320, 240, bits, i * 3);
                ASSERT_TRUE(
                    w.stream->write(i, q.bits(), q.imageSize(), vfw::AVIIF_KEYFRAME, &w.error))
                    << w.error;
            }
        }
        std::vector<int> keys;
        const auto packets = probePackets(path);
        for (size_t i = 0; i < packets.size(); ++i)
            if (packets[i].key) keys.push_back(int(i));
        EXPECT_EQ(keys, (std::vector<int>{0, 5, 10})); // the writer asks for one every 5
        EXPECT_EQ(decodeAll(path).exitCode, 0);
    }
}

// The XVID compressor takes 1, 4 and 8-bit pictures through their colour table, 24 and 32 bits
// as they are, even sides up to 8190; it refuses other depths and sizes without preparing.
TEST(AviFile, XvidCompressorTakesWhatItCanCode) {
    auto xvid = vfw::VideoCompressor::find(vfw::makeFourCC('x', 'v', 'i', 'D'));
    ASSERT_TRUE(xvid);
    screen::BitmapInfoHeader h;
    h.biWidth = 8190;
    h.biHeight = 16;
    std::string why;
    for (int bits : {1, 4, 8, 24, 32}) {
        h.biBitCount = uint16_t(bits);
        EXPECT_TRUE(xvid->accepts(h, &why)) << bits << ": " << why;
    }
    h.biBitCount = 16;
    EXPECT_FALSE(xvid->accepts(h, &why));
    h.biBitCount = 24;
    h.biWidth = 8192;
    EXPECT_FALSE(xvid->accepts(h, &why));
    EXPECT_NE(why.find("8192x16"), std::string::npos) << why;
    h.biWidth = 321;
    EXPECT_FALSE(xvid->accepts(h, &why));
    EXPECT_EQ(vfw::xvidQuantizerFor(10000), 2);
    EXPECT_EQ(vfw::xvidQuantizerFor(0), 31);
    EXPECT_LT(vfw::xvidQuantizerFor(6000), vfw::xvidQuantizerFor(5000));
}

TEST(AviFile, AStreamWithAFormatAndNoSamplesIsStillAValidFile) {
    const std::string path = scratchDir("avi") + "/empty.avi";
    {
        const auto p = desktopPicture(64, 48, 32, 0);
        AviTestWriter w(path, 64, 48, 10, MSVC, &p);
        ASSERT_TRUE(w.stream) << w.error;
    }
    const auto info = probeVideo(path);
    EXPECT_EQ(info.at("codec_tag_string"), "MSVC");
    EXPECT_EQ(info.at("width"), "64");
}

TEST(AviFile, FailuresNameWhatFailed) {
    std::string error;
    EXPECT_FALSE(
        vfw::AviFile::open("/nonexistent-dir/x.avi", vfw::OF_WRITE | vfw::OF_CREATE, &error));
    EXPECT_NE(error.find("/nonexistent-dir/x.avi"), std::string::npos) << error;

    const std::string path = scratchDir("avi") + "/refused.avi";
    AviTestWriter unknown(path, 64, 48, 10, vfw::makeFourCC('Q', 'Q', 'Q', 'Q'), nullptr);
    EXPECT_FALSE(unknown.stream);
    EXPECT_NE(unknown.error.find("QQQQ"), std::string::npos) << unknown.error;

    AviTestWriter noFormat(path, 64, 48, 10, MSVC, nullptr);
    ASSERT_TRUE(noFormat.stream) << noFormat.error;
    const auto p = desktopPicture(64, 48, 32, 0);
    EXPECT_FALSE(noFormat.stream->write(0, p.bits(), p.imageSize(), 0, &error));
    ASSERT_TRUE(noFormat.stream->setFormat(p.data(), p.formatSize(), &error)) << error;
    EXPECT_FALSE(noFormat.stream->setFormat(p.data(), p.formatSize(), &error));
    EXPECT_FALSE(noFormat.stream->write(0, p.bits(), p.imageSize() - 1, 0, &error));
}

namespace {

// Limits the size of files this process writes (writes beyond fail with EFBIG instead of
// raising SIGXFSZ) for the life of a scope.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_);
    }

  private:
    rlimit saved_{};
    void (*old_)(int) = nullptr;
};

long long sizeOf(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

} // namespace

// The end of the file (index, header counts, close) is written by the last release; when that
// fails, the status the caller kept says so and names the file.
TEST(AviFile, AnEndThatCannotBeWrittenIsReportedInTheStatus) {
    const std::string path = scratchDir("avi") + "/no-room-for-index.avi";
    std::shared_ptr<const vfw::AviFileStatus> status;
    {
        const auto first = desktopPicture(160, 120, 32, 0);
        AviTestWriter w(path, 160, 120, 10, MSVC, &first);
        ASSERT_TRUE(w.stream) << w.error;
        status = w.file->status();
        for (int i = 0; i < 5; ++i) {
            const auto p = desktopPicture(160, 120, 32, i * 5);
            ASSERT_TRUE(w.stream->write(i, p.bits(), p.imageSize(), 0, &w.error)) << w.error;
        }
        EXPECT_FALSE(status->finished);
        // Every sample is on disk; the index (16 bytes a sample) no longer fits.
        FileSizeLimit limit(rlim_t(sizeOf(path) + 20));
        w.file.reset();
        w.plain.reset();
        w.stream.reset();
    }
    ASSERT_TRUE(status->finished);
    EXPECT_FALSE(status->ok);
    EXPECT_NE(status->error.find(path), std::string::npos) << status->error;

    // A file that ends well says so.
    const std::string good = scratchDir("avi") + "/ends-well.avi";
    {
        const auto first = desktopPicture(64, 48, 32, 0);
        AviTestWriter w(good, 64, 48, 10, MSVC, &first);
        ASSERT_TRUE(w.stream) << w.error;
        status = w.file->status();
        ASSERT_TRUE(w.stream->write(0, first.bits(), first.imageSize(), 0, &w.error)) << w.error;
    }
    EXPECT_TRUE(status->finished);
    EXPECT_TRUE(status->ok) << status->error;
}

// A sample the disk refuses is not counted and is taken back out of the file; the end is still
// written, so the samples before it stay indexed and play.
TEST(AviFile, AfterARefusedSampleTheSamplesBeforeStayIndexed) {
    const std::string path = scratchDir("avi") + "/refused-sample.avi";
    std::shared_ptr<const vfw::AviFileStatus> status;
    {
        const auto first = desktopPicture(320, 240, 32, 0);
        AviTestWriter w(path, 320, 240, 10, MSVC, &first);
        ASSERT_TRUE(w.stream) << w.error;
        status = w.file->status();
        for (int i = 0; i < 4; ++i) {
            const auto p = desktopPicture(320, 240, 32, i * 9);
            ASSERT_TRUE(w.stream->write(i, p.bits(), p.imageSize(), 0, &w.error)) << w.error;
        }
        const long long before = sizeOf(path);
        {
            FileSizeLimit limit(rlim_t(before + 100)); // less than any picture
            const auto p = desktopPicture(320, 240, 32, 77);
            EXPECT_FALSE(
                w.stream->write(6, p.bits(), p.imageSize(), vfw::AVIIF_KEYFRAME, &w.error));
            EXPECT_NE(w.error.find(path), std::string::npos) << w.error;
        }
        EXPECT_EQ(w.stream->samplesWritten(), 4);
        EXPECT_EQ(sizeOf(path), before); // the refused bytes are gone again
        // No sample is taken after a refused one.
        const auto p = desktopPicture(320, 240, 32, 80);
        EXPECT_FALSE(w.stream->write(7, p.bits(), p.imageSize(), 0, &w.error));
    }
    ASSERT_TRUE(status->finished);
    EXPECT_TRUE(status->ok) << status->error;
    const auto info = probeVideo(path);
    EXPECT_EQ(std::stoi(info.at("nb_read_frames")), 4);
    const auto packets = probePackets(path);
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets.back().pts, 3);
    EXPECT_EQ(decodeAll(path).exitCode, 0);
}

// A symbolic link at the path is refused, whether it points at a file or nowhere; the file it
// points at keeps its bytes.
TEST(AviFile, ASymbolicLinkIsNeverWrittenThrough) {
    std::filesystem::remove_all(scratchDir("avi-link")); // links of an earlier run
    const std::string dir = scratchDir("avi-link");
    const std::string target = dir + "/someone-elses.txt", link = dir + "/VideoTemp.avi";
    std::ofstream(target) << "keep me";
    std::filesystem::create_symlink(target, link);
    std::filesystem::create_symlink(dir + "/missing.txt", dir + "/dangling.avi");
    for (const std::string& path : {link, dir + "/dangling.avi"}) {
        std::string error;
        EXPECT_FALSE(vfw::AviFile::open(path, vfw::OF_WRITE | vfw::OF_CREATE, &error));
        EXPECT_NE(error.find(path + " is a symbolic link"), std::string::npos) << error;
        EXPECT_FALSE(vfw::checkWritable(path, &error));
        EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    }
    EXPECT_EQ(sizeOf(target), 7);
    EXPECT_FALSE(fileExists(dir + "/missing.txt"));

    std::string why;
    EXPECT_TRUE(vfw::checkWritable(target, &why)) << why;
    EXPECT_TRUE(vfw::checkWritable(dir + "/new.avi", &why)) << why;
    EXPECT_FALSE(fileExists(dir + "/new.avi")); // checking touches nothing
    EXPECT_FALSE(vfw::checkWritable("/nonexistent-dir/x.avi", &why));
    EXPECT_EQ(sizeOf(target), 7);
}
