#include "recorder/LiveCompression.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace recorder;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int Rate = 44100;
constexpr int Channels = 2;

// A picture whose grey level is its number, so frames stay apart after compression.
platform::screen::PackedDib picture(int number, int width = 320, int height = 240) {
    auto dib = platform::screen::PackedDib::create(width, height, 24);
    std::memset(dib.bits(), (number * 37) % 256, dib.imageSize());
    return dib;
}

// Stereo 16-bit sound from sample frame `at`: silence, with a 1 kHz beep in the frames
// [beepFrom, beepFrom + beepFrames) of the run.
std::vector<uint8_t> sound(int64_t at, int64_t frames, int64_t beepFrom, int64_t beepFrames) {
    std::vector<int16_t> pcm(size_t(frames * Channels), 0);
    for (int64_t i = 0; i < frames; ++i) {
        const int64_t t = at + i;
        if (t >= beepFrom && t < beepFrom + beepFrames)
            pcm[size_t(i * Channels)] = pcm[size_t(i * Channels + 1)] =
                int16_t(12000 * std::sin(2 * M_PI * 1000.0 * double(t) / Rate));
    }
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    return bytes;
}

void tapSound(LiveCompression& live, int64_t at, const std::vector<uint8_t>& bytes) {
    platform::dshow::SoundPiece piece;
    piece.at = uint64_t(at);
    piece.data = bytes.data();
    piece.bytes = bytes.size();
    piece.rate = Rate;
    piece.channels = Channels;
    piece.s16 = true;
    live.soundTap()->sound(piece);
}

// The first sample frame of the decoded sound of `file` whose level passes half of full scale
// / 8 (the beep); -1 when none does.
int64_t firstLoudFrame(const std::string& file) {
    const std::string raw = file + ".pcm";
    run("ffmpeg -v error -y -i '" + file + "' -map a:0 -f s16le -ac 1 -ar 44100 '" + raw + "'");
    std::ifstream in(raw, std::ios::binary);
    int16_t s = 0;
    for (int64_t i = 0; in.read(reinterpret_cast<char*>(&s), 2); ++i)
        if (std::abs(int(s)) > 4000) return i;
    return -1;
}

// Waits until the frames in memory are back under the limit (the rest gone to the queue
// file), as they are between two frames of a real recording.
void waitUntilSpilled(const LiveCompression& live, size_t limit) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (live.figures().queuedBytes > limit && !live.failed() &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The mean grey level of every decoded picture of `file`, in order.
std::vector<int> greyLevels(const std::string& file, int width, int height) {
    const std::string raw = file + ".grey";
    run("ffmpeg -v error -y -i '" + file + "' -map v:0 -f rawvideo -pix_fmt gray '" + raw + "'");
    std::ifstream in(raw, std::ios::binary);
    std::vector<uint8_t> frame(size_t(width) * size_t(height));
    std::vector<int> levels;
    while (in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frame.size()))) {
        int64_t sum = 0;
        for (uint8_t v : frame)
            sum += v;
        levels.push_back(int(sum / int64_t(frame.size())));
    }
    return levels;
}

LiveSettings settings(const std::string& path, bool voice) {
    LiveSettings s;
    s.path = path;
    s.playbackRate = 10;
    s.voice = voice;
    s.voiceRate = Rate;
    s.voiceChannels = Channels;
    return s;
}

} // namespace

// Three seconds of frames and a voice that began 0.5 s before the first frame: the file is
// XviD and MP3, the voice cut to the picture's start (a beep at 1.5 s of the voice's run lies
// at 1.0 s of the file), as long as the picture, and every frame decodes.
TEST(LiveCompression, EncodesFramesAndVoiceInStepFromTheFirstFrame) {
    const std::string dir = scratchDir("live-compression");
    const std::string path = dir + "/.live.avi";
    const std::string out = dir + "/live.avi";
    fs::remove(out);
    LiveCompression live(settings(path, true));
    const int64_t lead = Rate / 2; // the voice ran 0.5 s before the first frame
    live.setVoiceAtFirstFrame(int64_t(lead) * 10000000 / Rate);
    const int64_t total = lead + 3 * Rate;
    // The sound comes in tenths of a second, beside the frames, as a device hands it over.
    for (int slot = 0; slot < 30; ++slot) {
        const int64_t from = int64_t(slot) * Rate / 10; // sample frames from the run's start
        tapSound(live, from, sound(from, Rate / 10, Rate * 3 / 2, Rate / 20));
        live.frame(slot, picture(slot));
    }
    // The voice's last half second (it ran that much longer than from the first frame).
    tapSound(live, 3 * Rate, sound(3 * Rate, total - 3 * Rate, Rate * 3 / 2, Rate / 20));
    std::string why;
    ASSERT_TRUE(live.finish({}, std::chrono::seconds(10), &why)) << why;
    ASSERT_TRUE(moveIntoPlace(live.path(), out, &why)) << why;
    EXPECT_FALSE(fs::exists(path));
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("nb_read_packets"), "30");
    EXPECT_EQ(video.at("r_frame_rate"), "10/1");
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
    const auto [videoSeconds, voiceSeconds] = streamDurations(out);
    EXPECT_NEAR(videoSeconds, 3.0, 0.01);
    EXPECT_NEAR(voiceSeconds, 3.0, 0.06); // a last MP3 frame of padding at most
    EXPECT_EQ(decodeAll(out).exitCode, 0);
    // The MP3 encoder's and decoder's delay (about 1100 frames) is the only offset left.
    const int64_t beep = firstLoudFrame(out);
    EXPECT_NEAR(double(beep) / Rate, 1.0, 0.04) << beep;
    EXPECT_EQ(live.figures().frames, 30);
}

// A voice that began after the first frame: silence in front, the beep still in its place.
TEST(LiveCompression, AVoiceThatBeganLateGetsSilenceInFront) {
    const std::string dir = scratchDir("live-compression-late");
    const std::string path = dir + "/.live.avi";
    LiveCompression live(settings(path, true));
    live.setVoiceAtFirstFrame(-2000000); // began 0.2 s after the first frame
    for (int slot = 0; slot < 20; ++slot)
        live.frame(slot, picture(slot));
    // 1.8 s of voice from its own start, the beep at its 0.8 s: 1.0 s into the file.
    tapSound(live, 0, sound(0, Rate * 18 / 10, Rate * 8 / 10, Rate / 20));
    std::string why;
    ASSERT_TRUE(live.finish({}, std::chrono::seconds(10), &why)) << why;
    const auto [videoSeconds, voiceSeconds] = streamDurations(path);
    EXPECT_NEAR(videoSeconds, 2.0, 0.01);
    EXPECT_NEAR(voiceSeconds, 2.0, 0.06);
    EXPECT_NEAR(double(firstLoudFrame(path)) / Rate, 1.0, 0.04);
}

// The live file is given up, never left half written, when the encoder dies, when it falls
// too far behind, and when the voice comes in another format than announced; finish() says why.
TEST(LiveCompression, GivesUpWithAReasonAndLeavesNoFile) {
    const std::string dir = scratchDir("live-compression-fail");
    {
        const std::string path = dir + "/.killed.avi";
        auto live = std::make_unique<LiveCompression>(settings(path, false));
        live->frame(0, picture(0));
        live->killEncoderForTest();
        live->frame(1, picture(1));
        std::string why;
        EXPECT_FALSE(live->finish({}, std::chrono::seconds(10), &why));
        EXPECT_NE(why.find("ended unexpectedly"), std::string::npos) << why;
        live.reset();
        EXPECT_FALSE(fs::exists(path));
    }
    {
        // Behind by more than the queue file may hold.
        LiveSettings s = settings(dir + "/.behind.avi", false);
        s.memoryLimit = 1 << 20; // four pictures of 320x240
        s.diskLimit = 4 << 20;
        LiveCompression live(s);
        live.holdEncoderForTest(true);
        for (int slot = 0; slot < 200 && !live.failed(); ++slot) {
            live.frame(slot, picture(slot));
            waitUntilSpilled(live, s.memoryLimit);
        }
        std::string why;
        EXPECT_TRUE(live.failed(&why));
        EXPECT_NE(why.find("behind by more than the queue file may hold"), std::string::npos)
            << why;
        live.holdEncoderForTest(false);
        EXPECT_FALSE(live.finish({}, std::chrono::seconds(10), &why));
    }
    {
        // Pictures too large for the encoder to follow at their rate: given up at the first
        // frame, which goes back to the grabber's pool like every later one.
        LiveSettings s = settings(dir + "/.large.avi", false);
        s.recordInterval = 10;
        s.framePool = std::make_shared<platform::screen::DibPool>();
        LiveCompression live(s);
        live.frame(0, s.framePool->take(1920, 1080, 32));
        std::string why;
        EXPECT_TRUE(live.failed(&why));
        EXPECT_NE(why.find("1920 x 1080 pictures at 100 frames a second are too many"),
                  std::string::npos)
            << why;
        EXPECT_EQ(s.framePool->sparesKept(), 1u);
        live.frame(1, s.framePool->take(1920, 1080, 32));
        EXPECT_EQ(s.framePool->sparesKept(), 1u);
        EXPECT_FALSE(live.finish({}, std::chrono::seconds(10), &why));
        EXPECT_FALSE(fs::exists(s.path));
    }
    {
        LiveCompression live(settings(dir + "/.format.avi", true));
        live.frame(0, picture(0));
        const std::vector<uint8_t> bytes(4410 * 4, 0);
        platform::dshow::SoundPiece piece;
        piece.data = bytes.data();
        piece.bytes = bytes.size();
        piece.rate = 48000; // not the 44100 announced
        piece.channels = 2;
        piece.s16 = true;
        live.soundTap()->sound(piece);
        std::string why;
        EXPECT_FALSE(live.finish({}, std::chrono::seconds(10), &why));
        EXPECT_NE(why.find("48000 Hz"), std::string::npos) << why;
    }
}

// An encoder far behind: what passes the memory limit waits in the queue file, memory stays
// bounded, and every frame and all the voice still reach the file in order; the queue file
// goes at the end.
TEST(LiveCompression, AnEncoderFarBehindQueuesToDiskAndLosesNothing) {
    const std::string dir = scratchDir("live-compression-queue");
    const std::string out = dir + "/queued.avi";
    LiveSettings s = settings(dir + "/.queued.avi", true);
    s.memoryLimit = 1 << 20; // four pictures of 320x240
    s.framePool = std::make_shared<platform::screen::DibPool>();
    auto owner = std::make_unique<LiveCompression>(s);
    LiveCompression& live = *owner;
    live.setVoiceAtFirstFrame(0);
    live.holdEncoderForTest(true);
    size_t mostInMemory = 0;
    for (int slot = 0; slot < 60; ++slot) {
        const int64_t from = int64_t(slot) * Rate / 10;
        tapSound(live, from, sound(from, Rate / 10, Rate * 4, Rate / 20)); // a beep at 4 s
        live.frame(slot, picture(slot));
        waitUntilSpilled(live, s.memoryLimit);
        mostInMemory = std::max(mostInMemory, live.figures().queuedBytes);
    }
    const LiveCompression::Figures held = live.figures();
    EXPECT_EQ(held.frames, 0);
    EXPECT_LE(mostInMemory, s.memoryLimit);
    EXPECT_GT(held.spooledBytes, uint64_t(50) * 230400) << "most frames wait on disk";
    EXPECT_TRUE(fs::exists(live.queuePath()));
    live.holdEncoderForTest(false);
    std::string why;
    ASSERT_TRUE(live.finish({}, std::chrono::seconds(20), &why)) << why;
    EXPECT_EQ(live.figures().spooledBytes, 0u);
    EXPECT_EQ(s.framePool->sparesKept(), 4u) << "written and encoded frames go back to the pool";
    ASSERT_TRUE(moveIntoPlace(live.path(), out, &why)) << why;
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), "60");
    const std::vector<int> levels = greyLevels(out, 320, 240);
    ASSERT_EQ(levels.size(), 60u);
    for (int i = 0; i < 60; ++i)
        EXPECT_NEAR(levels[size_t(i)], (i * 37) % 256, 6) << "frame " << i;
    const auto [videoSeconds, voiceSeconds] = streamDurations(out);
    EXPECT_NEAR(voiceSeconds, videoSeconds, 0.06);
    EXPECT_NEAR(double(firstLoudFrame(out)) / Rate, 4.0, 0.04);
    const std::string queue = live.queuePath();
    owner.reset();
    EXPECT_FALSE(fs::exists(queue));
}

// A picture of odd sides gets a black column and row (XviD codes whole chroma samples), as the
// merge gives it; the picture itself keeps its place.
TEST(LiveCompression, OddSidesGetABlackColumnAndRow) {
    const std::string path = scratchDir("live-compression-odd") + "/.odd.avi";
    LiveCompression live(settings(path, false));
    for (int slot = 0; slot < 5; ++slot) {
        auto dib = platform::screen::PackedDib::create(101, 77, 24);
        std::memset(dib.bits(), 0xFF, dib.imageSize()); // white
        live.frame(slot, std::move(dib));
    }
    std::string why;
    ASSERT_TRUE(live.finish({}, std::chrono::seconds(10), &why)) << why;
    const auto video = probeStream(path, "v:0");
    EXPECT_EQ(video.at("width"), "102");
    EXPECT_EQ(video.at("height"), "78");
    // The top-left pixel is the picture's (white), the bottom-right one the padding (black).
    const CommandResult px = run("ffmpeg -v error -i '" + path +
                                 "' -frames:v 1 -f rawvideo -pix_fmt gray - | od -An -tu1 -v");
    std::vector<int> grey;
    std::istringstream values(px.out);
    for (int v; values >> v;)
        grey.push_back(v);
    ASSERT_EQ(grey.size(), size_t(102 * 78));
    EXPECT_GT(grey.front(), 200);
    EXPECT_GT(grey[size_t(40 * 102 + 50)], 200);
    EXPECT_LT(grey.back(), 60);
}

// Moving the finished file into place: across file systems by a whole copy renamed over the
// target (the earlier file there is replaced only then); a target that is a folder is refused
// and the file stays where it was.
TEST(LiveCompression, MoveIntoPlaceNeverLeavesHalfAFile) {
    const std::string dir = scratchDir("live-move");
    const std::string target = dir + "/saved.avi";
    {
        std::ofstream f(target);
        f << "older";
    }
    const std::string shm = "/dev/shm/tovamix-live-move-" + std::to_string(::getpid());
    const std::string from = fs::exists("/dev/shm") ? shm : dir + "/from.avi";
    {
        std::ofstream f(from, std::ios::binary);
        f << std::string(3 << 20, 'x');
    }
    std::string why;
    ASSERT_TRUE(moveIntoPlace(from, target, &why)) << why;
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(fs::file_size(target), uintmax_t(3) << 20);
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().rfind(".saved.avi", 0), std::string::npos)
            << "a copy left behind: " << e.path();
    {
        std::ofstream f(from);
        f << "new";
    }
    fs::create_directories(dir + "/folder.avi");
    EXPECT_FALSE(moveIntoPlace(from, dir + "/folder.avi", &why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    EXPECT_TRUE(fs::exists(from));
    fs::remove(from);
}
