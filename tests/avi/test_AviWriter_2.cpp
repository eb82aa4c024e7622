// The AVI writer and the images job: pictures made by ffmpeg and ImageMagick at test time
// become XviD AVIs that ffprobe and ffmpeg read back (codec, FourCC, size, rate, one packet a
// picture, key flags, colours at known points); the checks made before any file is touched;
// a failed run leaves a closed AVI of the frames written.
#include "avi/AviWriter_2.h"
#include "avi/ImagesToAvi.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QImage>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace avi;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

struct Rgb {
    int r, g, b;
};

// The colour of pixel (x, y) of decoded frame `index`.
Rgb decodedAt(const std::string& path, int index, int x, int y) {
    int w = 0, h = 0;
    const auto rgb = decodeFrameRgb(path, index, w, h);
    if (rgb.empty() || x >= w || y >= h) return {-1, -1, -1};
    const size_t at = (size_t(y) * size_t(w) + size_t(x)) * 3;
    return {rgb[at], rgb[at + 1], rgb[at + 2]};
}

// Within the loss of MPEG-4 coding of flat areas.
::testing::AssertionResult near(Rgb got, Rgb want, int tolerance = 40) {
    if (std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
        std::abs(got.b - want.b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got (" << got.r << "," << got.g << "," << got.b << "), want (" << want.r << ","
           << want.g << "," << want.b << ")";
}

constexpr Rgb Red{255, 0, 0}, Green{0, 255, 0}, Blue{0, 0, 255}, White{255, 255, 255},
    Black{0, 0, 0}, Yellow{255, 255, 0}, Grey{128, 128, 128};

std::string picture(const std::string& name, const std::string& command) {
    return sharedFile("avi-pictures", name,
                      [&](const std::string& path) { return command + " '" + path + "'"; });
}

// Left half one colour, right half another, as ffmpeg draws it.
std::string halves(const std::string& name, const char* size, int leftWidth, const char* left,
                   const char* right, const std::string& pixFmt) {
    return picture(name, std::string("ffmpeg -v error -y -f lavfi -i color=c=") + right +
                             ":s=" + size + ",drawbox=x=0:y=0:w=" + std::to_string(leftWidth) +
                             ":h=ih:color=" + left + ":t=fill -frames:v 1 -pix_fmt " + pixFmt);
}

// 640x480 grey with a white box at (120..199, 96..175) and a blue one at (440..519, 304..383):
// the corners of what a 400x288 frame shows of it centred.
std::string largePicture() {
    return picture("large.png", "ffmpeg -v error -y -f lavfi -i color=c=gray:s=640x480,"
                                "drawbox=x=120:y=96:w=80:h=80:color=white:t=fill,"
                                "drawbox=x=440:y=304:w=80:h=80:color=blue:t=fill -frames:v 1");
}

QImage flat(int w, int h, QRgb colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

struct WriterTest : ::testing::Test {
    void SetUp() override { dir = scratchDir("avi-writer"); }
    std::string dir;

    // A writer for path with the frame size, frame time and compressor XVID.
    void prepare(TAviWriter_2& w, const std::string& path, int width, int height, int frameTime) {
        w.filename = path;
        w.setWidth(width);
        w.setHeight(height);
        w.FrameTime = frameTime;
        w.SetCompressor("XVID");
    }
    void writeCopies(const std::string& path, int frameTime, int copies) {
        TAviWriter_2 w;
        prepare(w, path, 160, 128, frameTime);
        const QImage image = flat(160, 128, qRgb(30, 120, 200));
        w.InitVideo(image);
        for (int i = 0; i < copies; ++i)
            w.AddFrame(image);
        w.FinalizeVideo();
        w.WriteOutput();
    }
    static std::vector<int> keyPackets(const std::string& path) {
        std::vector<int> keys;
        const auto packets = probePackets(path);
        for (size_t i = 0; i < packets.size(); ++i)
            if (packets[i].key) keys.push_back(int(i));
        return keys;
    }
};

TEST(AviWriterProperties, SizesRoundDownAndFormatsAreChecked) {
    TAviWriter_2 w;
    w.setWidth(300);
    EXPECT_EQ(w.Width(), 288);
    w.setWidth(15);
    EXPECT_EQ(w.Width(), 0);
    w.setHeight(300);
    EXPECT_EQ(w.Height(), 288);
    EXPECT_EQ(w.FrameTime, 1000);
    EXPECT_TRUE(w.Stretch);
    EXPECT_EQ(w.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(w.CompressionQuality, 5000);
    for (TPixelFormat bad : {TPixelFormat::pfDevice, TPixelFormat::pf15bit, TPixelFormat::pf16bit,
                             TPixelFormat::pfCustom}) {
        try {
            w.setPixelFormat(bad);
            ADD_FAILURE() << "a format of " << bitsOf(bad) << " bits was taken";
        } catch (const EAviWriter& e) {
            EXPECT_STREQ(e.what(), "Pixelformat not supported");
        }
    }
    // Every frame at 1000 ms and beyond; 2.5 rounds to the even 2.
    EXPECT_EQ(keyFrameEveryFor(1000), 1);
    EXPECT_EQ(keyFrameEveryFor(40), 25);
    EXPECT_EQ(keyFrameEveryFor(400), 2);
    EXPECT_EQ(keyFrameEveryFor(3000), 0);
    EXPECT_EQ(keyFrameEveryFor(333), 3);
}

// The faults checked before any file is touched: an old file of the name stays as it was.
TEST_F(WriterTest, RefusalsLeaveTheOldFileAlone) {
    const std::string path = dir + "/refused.avi";
    { std::ofstream(path) << "old contents"; }
    const auto expectRefused = [&](TAviWriter_2& w, const std::string& start) {
        try {
            w.InitVideo(flat(16, 16, 0));
            ADD_FAILURE() << "InitVideo went ahead";
        } catch (const EAviWriter& e) {
            EXPECT_EQ(std::string(e.what()).rfind(start, 0), 0u) << e.what();
        }
        EXPECT_FALSE(w.Initialized);
        EXPECT_EQ(fs::file_size(path), 12u);
    };
    TAviWriter_2 w;
    prepare(w, path, 400, 300, 0);
    expectRefused(w, "The frame time must be above 0 ms, not 0");
    w.FrameTime = -40;
    expectRefused(w, "The frame time must be above 0 ms, not -40");
    w.FrameTime = 40;
    w.setWidth(15);
    expectRefused(w, "The frame size must be at least 16 x 16 pixels, not 0 x 288");
    // The window sets the size after choosing the compressor: XviD's limit shows here.
    w.setWidth(8192);
    expectRefused(w, "No compressor for XVID available\n");

    // A folder of the name is not removed to make room.
    const std::string folder = dir + "/a-folder.avi";
    fs::create_directories(folder);
    TAviWriter_2 toFolder;
    prepare(toFolder, folder, 64, 64, 100);
    EXPECT_THROW(toFolder.InitVideo(flat(64, 64, 0)), EAviWriter);
    EXPECT_TRUE(fs::is_directory(folder));

    TAviWriter_2 none;
    none.filename = path;
    try {
        none.SetCompressor("ABCDE");
        ADD_FAILURE() << "a compressor ABCD was found";
    } catch (const EAviWriter& e) {
        EXPECT_STREQ(e.what(), "No compressor for ABCD available");
    }
    EXPECT_EQ(fs::file_size(path), 12u);

    try {
        w.AddFrame(flat(16, 16, 0));
        ADD_FAILURE() << "a frame was added before InitVideo";
    } catch (const EAviWriter& e) {
        EXPECT_STREQ(e.what(), "Video must be initialized.");
    }
}

// Key frames where the compressor was asked for them, and only there: 25 frames apart at 40 ms,
// every other frame at 400 ms, every frame at 1000 ms.
TEST_F(WriterTest, KeyFramesFollowTheFrameTime) {
    const std::string at40 = dir + "/key40.avi", at400 = dir + "/key400.avi",
                      at1000 = dir + "/key1000.avi";
    writeCopies(at40, 40, 60);
    writeCopies(at400, 400, 7);
    writeCopies(at1000, 1000, 5);
    EXPECT_EQ(keyPackets(at40), (std::vector<int>{0, 25, 50}));
    EXPECT_EQ(keyPackets(at400), (std::vector<int>{0, 2, 4, 6}));
    EXPECT_EQ(keyPackets(at1000), (std::vector<int>{0, 1, 2, 3, 4}));
    const auto s = probeStream(at40, "v:0");
    EXPECT_EQ(s.at("codec_name"), "mpeg4");
    EXPECT_EQ(s.at("codec_tag_string"), "XVID");
    EXPECT_EQ(s.at("r_frame_rate"), "25/1");
    EXPECT_EQ(s.at("nb_read_packets"), "60");
    EXPECT_EQ(probeStream(at400, "v:0").at("r_frame_rate"), "5/2");
    EXPECT_EQ(decodeAll(at40).exitCode, 0);
}

// Each depth through its palette: red, green, blue and white quarters come back as those
// colours (1 bit: the red and blue quarters go to black, green and white to white).
TEST_F(WriterTest, EveryPixelFormatKeepsItsColours) {
    QImage image(160, 128, QImage::Format_RGB32);
    image.fill(0);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 160; ++x)
            image.setPixel(x, y,
                           y < 64 ? (x < 80 ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                                  : (x < 80 ? qRgb(0, 0, 255) : qRgb(255, 255, 255)));
    for (int bits : {1, 4, 8, 24, 32}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const std::string path = dir + "/depth" + std::to_string(bits) + ".avi";
        TAviWriter_2 w;
        w.setPixelFormat(pixelFormatOfBits(bits));
        prepare(w, path, 160, 128, 100);
        w.InitVideo(image);
        w.AddFrame(image);
        w.FinalizeVideo();
        w.WriteOutput();
        const bool mono = bits == 1;
        EXPECT_TRUE(near(decodedAt(path, 0, 40, 32), mono ? Black : Red));
        EXPECT_TRUE(near(decodedAt(path, 0, 120, 32), mono ? White : Green));
        EXPECT_TRUE(near(decodedAt(path, 0, 40, 96), mono ? Black : Blue));
        EXPECT_TRUE(near(decodedAt(path, 0, 120, 96), White));
    }
}

// A 640x480 picture on a 400x288 frame: stretched whole, or centred at (-120, -96) and cropped.
TEST_F(WriterTest, LargePictureStretchedOrCentredAndCropped) {
    const std::string large = largePicture();
    ASSERT_FALSE(large.empty());
    for (bool stretch : {true, false}) {
        SCOPED_TRACE(stretch ? "stretched" : "centred");
        ImagesSettings s;
        s.pictures = {large};
        s.output = dir + (stretch ? "/stretched.avi" : "/centred.avi");
        s.width = 400;
        s.height = 300;
        s.frameTime = 500;
        s.stretch = stretch;
        TAviWriter_2 w;
        writeImages(w, s);
        if (stretch) {
            // The white box at 0.625 x 0.6 of its place; the grey picture's far corner.
            EXPECT_TRUE(near(decodedAt(s.output, 0, 100, 80), White));
            EXPECT_TRUE(near(decodedAt(s.output, 0, 300, 210), Blue));
            EXPECT_TRUE(near(decodedAt(s.output, 0, 395, 283), Grey));
        } else {
            EXPECT_TRUE(near(decodedAt(s.output, 0, 40, 40), White));
            EXPECT_TRUE(near(decodedAt(s.output, 0, 360, 248), Blue));
            EXPECT_TRUE(near(decodedAt(s.output, 0, 200, 144), Grey));
        }
    }
    // Smaller than the frame and not stretched: centred on black.
    ImagesSettings s;
    s.pictures = {halves("small.bmp", "160x96", 80, "red", "yellow", "bgr24")};
    s.output = dir + "/small-centred.avi";
    s.width = 320;
    s.height = 240;
    s.stretch = false;
    TAviWriter_2 w;
    writeImages(w, s);
    EXPECT_TRUE(near(decodedAt(s.output, 0, 20, 20), Black));
    EXPECT_TRUE(near(decodedAt(s.output, 0, 120, 120), Red));
    EXPECT_TRUE(near(decodedAt(s.output, 0, 200, 120), Yellow));
}

// Pictures of every kind, of differing sizes, stretched to a 400x288 frame: a packet each, the
// palette's colours (not its indexes), transparent areas black.
TEST_F(WriterTest, PicturesOfEveryKindBecomeOneFrameEach) {
    const std::vector<std::string> pictures = {
        halves("a.bmp", "320x240", 160, "red", "blue", "bgr24"),
        halves("b8.bmp", "200x150", 100, "lime", "yellow", "pal8"),
        picture("c.gif", "convert -size 160x120 xc:none -fill red -draw 'rectangle 0,0 79,119'"),
        picture("d-rgba.png",
                "convert -size 240x180 'xc:rgba(0,0,255,0)' -define png:color-type=6 -fill white "
                "-draw 'rectangle 120,0 239,179'"),
        halves("e.jpg", "200x100", 100, "lime", "blue", "yuvj420p"),
        largePicture()};
    for (const auto& p : pictures)
        ASSERT_FALSE(p.empty());
    // The palette picture really is one, and the PNG has an alpha channel.
    EXPECT_NE(run("file '" + pictures[3] + "'").out.find("RGBA"), std::string::npos);
    EXPECT_NE(run("file '" + pictures[1] + "'").out.find(" x 8"), std::string::npos)
        << run("file '" + pictures[1] + "'").out;
    ImagesSettings s;
    s.pictures = pictures;
    s.output = dir + "/kinds.avi";
    s.width = 400;
    s.height = 300;
    s.frameTime = 40;
    std::vector<int> progress;
    TAviWriter_2 w;
    writeImages(w, s, [&](int done) { progress.push_back(done); });
    EXPECT_EQ(progress, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(w.FrameCounter, 6);
    expectVideoStream(s.output, {"mpeg4", "XVID", "25/1", 400, 288});
    EXPECT_EQ(probeStream(s.output, "v:0").at("nb_read_packets"), "6");
    EXPECT_EQ(decodeAll(s.output).exitCode, 0);
    const std::vector<std::pair<Rgb, Rgb>> halvesSeen = {
        {Red, Blue}, {Green, Yellow}, {Red, Black}, {Black, White}, {Green, Blue}};
    for (size_t i = 0; i < halvesSeen.size(); ++i) {
        SCOPED_TRACE("picture " + pictures[i]);
        EXPECT_TRUE(near(decodedAt(s.output, int(i), 100, 144), halvesSeen[i].first));
        EXPECT_TRUE(near(decodedAt(s.output, int(i), 300, 144), halvesSeen[i].second));
    }
}

// A picture that cannot be read ends the run with its name; the file holds the frames before
// it, closed and readable, and the writer can make the next file.
TEST_F(WriterTest, UnreadablePictureMidListLeavesAClosedFileOfItsFrames) {
    const std::string bad = dir + "/not-a-picture.png";
    { std::ofstream(bad) << "this is no picture"; }
    const std::string good = halves("a.bmp", "320x240", 160, "red", "blue", "bgr24");
    ImagesSettings s;
    s.pictures = {good, good, bad, good};
    s.output = dir + "/partial.avi";
    s.frameTime = 100;
    TAviWriter_2 w;
    try {
        writeImages(w, s);
        ADD_FAILURE() << "the run went through";
    } catch (const EAviWriter& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
    EXPECT_FALSE(w.Initialized);
    EXPECT_EQ(probeStream(s.output, "v:0").at("nb_read_packets"), "2");
    EXPECT_EQ(decodeAll(s.output).exitCode, 0);

    s.pictures = {good};
    writeImages(w, s);
    EXPECT_EQ(probeStream(s.output, "v:0").at("nb_read_packets"), "1");
}

// WriteOutput without FinalizeVideo closes the file and says so; what was written stays.
TEST_F(WriterTest, WriteOutputNeedsFinalizeVideo) {
    const std::string path = dir + "/unfinalized.avi";
    TAviWriter_2 w;
    prepare(w, path, 64, 48, 200);
    w.InitVideo(flat(64, 48, qRgb(0, 255, 0)));
    w.AddFrame(flat(64, 48, qRgb(0, 255, 0)));
    w.AddFrame(flat(64, 48, qRgb(255, 0, 0)));
    try {
        w.WriteOutput();
        ADD_FAILURE() << "WriteOutput went through";
    } catch (const EAviWriter& e) {
        EXPECT_STREQ(e.what(), "Video must be finalized");
    }
    EXPECT_EQ(probeStream(path, "v:0").at("nb_read_packets"), "2");
    EXPECT_TRUE(near(decodedAt(path, 1, 32, 24), Red));
}

} // namespace

int main(int argc, char** argv) {
    // Picture plug-ins (GIF, JPEG) are found through the application's library paths.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
