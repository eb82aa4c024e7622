// tovamix-cli's player commands: grab-frame, view, cut, play and snapshot, on clips ffmpeg
// writes here, checked against ffmpeg's own decode.
#include "CliCommand.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {
// 5 s of 321x241 raw BGR video at 25 fps (the test source makes even sizes only: scaled).
std::string oddSizedClip() {
    return sharedClip("cli-grab", "clip321.avi",
                      "-f lavfi -i testsrc2=size=322x242:rate=25 -vf scale=321:241 -t 5 "
                      "-c:v rawvideo -pix_fmt bgr24");
}
} // namespace

TEST(CliGrabFrame, ThePictureEqualsFfmpegsDecodeByteForByte) {
    const std::string clip = oddSizedClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-grab-frame");
    const std::string out = dir + "/out.bmp";
    // No display is needed.
    const CommandResult r =
        run("env -u DISPLAY " + cli("grab-frame '" + clip + "' --at 2 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "width=321 height=241 bits=24 position=2.000 output=" + out + "\n");
    const CommandResult probe = run("ffprobe -v error -show_entries "
                                    "stream=codec_name,pix_fmt,width,height -of csv=p=0 '" +
                                    out + "'");
    EXPECT_EQ(probe.out, "bmp,321,241,bgr24\n");

    // The file itself: a 14-byte file header, the 40-byte bitmap header, rows of 964 bytes
    // stored bottom-up.
    std::ifstream in(out, std::ios::binary);
    const std::string bmp((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bmp.size(), 14u + 40 + 964 * 241);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    uint32_t sizeImage;
    std::memcpy(&sizeImage, bmp.data() + 14 + 20, 4);
    EXPECT_EQ(sizeImage, 964u * 241);
    const CommandResult ref =
        run("ffmpeg -v error -ss 2 -i '" + clip + "' -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
    ASSERT_EQ(ref.out.size(), 963u * 241);
    int differ = 0;
    for (int y = 0; y < 241; ++y)
        if (std::memcmp(bmp.data() + 54 + size_t(240 - y) * 964, ref.out.data() + size_t(y) * 963,
                        963) != 0)
            ++differ;
    EXPECT_EQ(differ, 0) << "rows that differ from ffmpeg's decode";
}

TEST(CliGrabFrame, BadUsesExitWithTwoAndWriteNothing) {
    const std::string clip = oddSizedClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-grab-frame-bad");
    const std::string out = dir + "/out.bmp";
    const std::string notMedia = dir + "/notes.txt";
    std::ofstream(notMedia) << "not a video\n";
    const struct {
        std::string args, says;
    } cases[] = {
        {"'" + clip + "' --at 99 '" + out + "'", "duration 5.000 s"},
        {"'" + clip + "' --at -1 '" + out + "'", "--at"},
        {"'" + clip + "' --at x '" + out + "'", "--at"},
        {"'" + clip + "' '" + out + "'", "--at"},
        {"'" + dir + "/missing.avi' --at 1 '" + out + "'", "cannot play"},
        {"'" + notMedia + "' --at 1 '" + out + "'", "cannot play"},
        {"'" + clip + "' --at 1 '" + dir + "/no/such/folder/out.bmp'", "cannot write"},
    };
    for (const auto& c : cases) {
        const CommandResult r = run("env -u DISPLAY " + cli("grab-frame " + c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
        EXPECT_FALSE(fileExists(out)) << c.args;
    }
    EXPECT_EQ(std::filesystem::directory_iterator(dir)->path().filename(), "notes.txt")
        << "no temporary file is left behind";
}

// An output that exists and is not a regular file (a device, a pipe, a link) is refused
// before anything is written, and stays what it was.
TEST(CliGrabFrame, AnOutputThatIsNoRegularFileIsLeftAsItIs) {
    const std::string clip = oddSizedClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-grab-frame-special");
    for (const char* name : {"pipe.bmp", "device.bmp", "link.bmp", "target.bmp"})
        std::filesystem::remove(dir + "/" + name);
    ASSERT_EQ(run("mkfifo '" + dir + "/pipe.bmp'").exitCode, 0);
    std::ofstream(dir + "/target.bmp") << "the link's target";
    std::filesystem::create_symlink(dir + "/target.bmp", dir + "/link.bmp");
    std::vector<std::pair<std::string, std::string>> outputs = {{"pipe.bmp", "a pipe"},
                                                                {"link.bmp", "link"}};
    // A character device like /dev/null, made where only this test looks (root only).
    if (geteuid() == 0 && run("mknod '" + dir + "/device.bmp' c 1 3").exitCode == 0)
        outputs.emplace_back("device.bmp", "a device");
    for (const auto& [name, says] : outputs) {
        const std::string path = dir + "/" + name;
        const std::string before = run("stat -c %F '" + path + "'").out;
        const CommandResult r = run("env -u DISPLAY timeout 30 " +
                                    cli("grab-frame '" + clip + "' --at 1 '" + path + "'"));
        EXPECT_EQ(r.exitCode, 2) << name << "\n" << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << name << "\n" << r.err;
        EXPECT_EQ(run("stat -c %F '" + path + "'").out, before) << name;
    }
    std::ifstream target(dir + "/target.bmp");
    std::string content;
    std::getline(target, content);
    EXPECT_EQ(content, "the link's target");
}

namespace {
// The pixels of a PNG file as packed RGB, read by ImageMagick.
std::string pngPixels(const std::string& path) {
    return run("convert '" + path + "' -depth 8 rgb:-").out;
}
bool blackRows(const std::string& rgb, int width, int from, int to) {
    for (int y = from; y < to; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                if (uint8_t(rgb[size_t((y * width + x) * 3 + c)]) > 24) return false;
    return true;
}
} // namespace

// A 16:9 clip letter-boxed in 320 x 240 shows between two black bars of 30 rows; zoom 50 on
// 720 x 576 shows the middle half of the picture; the line says what was shown.
TEST(CliView, LetterBoxAndZoomShowAsAsked) {
    const std::string wide = sharedClip("cli-view", "wide640.avi",
                                        "-f lavfi -i testsrc2=size=640x360:rate=25 -t 5 "
                                        "-c:v mpeg4 -q:v 3");
    const std::string pal = sharedClip("cli-view", "pal720.avi",
                                       "-f lavfi -i testsrc2=size=720x576:rate=25 -t 5 "
                                       "-c:v mpeg4 -q:v 3");
    ASSERT_FALSE(wide.empty());
    ASSERT_FALSE(pal.empty());
    // A screen of its own: the screenshot is of the screen where the window lies, and another
    // test's window over it would be in the picture.
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-view");
    const std::string shot = dir + "/shot.png";
    CommandResult r = run(cli("view '" + wide +
                              "' --size 320x240 --aspect letterbox --seconds 2 "
                              "--screenshot '" +
                              shot + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "rect"), "0,30,320,180") << r.out;
    EXPECT_EQ(summaryValue(r.out, "video"), "640x360") << r.out;
    EXPECT_EQ(summaryValue(r.out, "duration"), "5.000") << r.out;
    EXPECT_GT(std::stoi("0" + summaryValue(r.out, "shown")), 10) << r.out;
    EXPECT_NE(summaryValue(r.out, "sink").find("imagesink"), std::string::npos) << r.out;
    const double position = std::stod("0" + summaryValue(r.out, "position"));
    EXPECT_GT(position, 1.0);
    EXPECT_LT(position, 3.0);
    const std::string rgb = pngPixels(shot);
    ASSERT_EQ(rgb.size(), 320u * 240 * 3);
    EXPECT_TRUE(blackRows(rgb, 320, 0, 30)) << "the top bar";
    EXPECT_TRUE(blackRows(rgb, 320, 210, 240)) << "the bottom bar";
    EXPECT_FALSE(blackRows(rgb, 320, 30, 40)) << "the picture starts at row 30";

    r = run(cli("view '" + pal + "' --zoom 50 --seconds 1"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "source"), "180,144,360,288") << r.out;
    EXPECT_EQ(summaryValue(r.out, "video"), "720x576") << r.out;
}

// Values out of range get the messages the windows show; a file that does not play, an
// unwritable screenshot and a missing display are bad uses too.
TEST(CliView, BadValuesExitWithTwoAndSayWhy) {
    const std::string wide = sharedClip("cli-view", "wide640.avi",
                                        "-f lavfi -i testsrc2=size=640x360:rate=25 -t 5 "
                                        "-c:v mpeg4 -q:v 3");
    ASSERT_FALSE(wide.empty());
    const std::string dir = scratchDir("cli-view-bad");
    const std::string clip = "'" + wide + "'";
    const struct {
        std::string args, says;
    } cases[] = {
        {clip + " --zoom 100", "Value 100 out of range. Value must bee between 0 -> 99"},
        {clip + " --colours 750,10000,181,10000",
         "Value 181 out of range. Value must bee between -180 -> 180"},
        {clip + " --colours -1,10000,0,10000",
         "Value -1 out of range. Value must bee between 0 -> 10.000"},
        {clip + " --colours 1,2,3", "four numbers"},
        {clip + " --aspect wide", "--aspect"},
        {clip + " --size 320", "--size"},
        {clip + " --seconds 0", "--seconds"},
        {"'" + dir + "/missing.avi'", "cannot play"},
        {clip + " --screenshot '" + dir + "/no/such/shot.png'", "cannot write"},
    };
    for (const auto& c : cases) {
        const CommandResult r = run(cli("view " + c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
    }
    const CommandResult r = run("env -u DISPLAY " + cli("view " + clip));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("display"), std::string::npos) << r.err;
}

namespace {
std::string cutClip() {
    return sharedClip("cli-cut", "clip.mp4",
                      "-f lavfi -i testsrc2=size=640x480:rate=25 -f lavfi -i "
                      "sine=frequency=440:sample_rate=44100 -t 10 -c:v libx264 -pix_fmt yuv420p "
                      "-c:a aac -shortest");
}
} // namespace

// The cut of [2 s, 5 s]: 75 XviD frames at 640x480 and 25 fps with MP3 sound, said in one line
// once the file is closed.
TEST(CliCut, CutsTheStretchAndSaysWhatItWrote) {
    const std::string clip = cutClip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("cli-cut") + "/cut.avi";
    const CommandResult r = run(cli("cut '" + clip + "' --from 2 --to 5 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "frames"), "75") << r.out;
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "seconds")), 3.0, 0.05) << r.out;
    EXPECT_EQ(summaryValue(r.out, "video"), "640x480@25") << r.out;
    EXPECT_EQ(summaryValue(r.out, "audio"), "mp3") << r.out;
    EXPECT_EQ(summaryValue(r.out, "stopped"), "0") << r.out;
    EXPECT_NE(r.err.find("progress"), std::string::npos) << r.err;
    expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
}

// Stretches of one frame's length and less: a cut either holds a picture and its sound, or
// fails naming what it got none of and leaves no file. It never reports a file of sound
// alone as a cut of a video.
TEST(CliCut, AShortCutNeverReportsAFileWithoutItsPicture) {
    const std::string clip = cutClip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("cli-cut-short") + "/short.avi";
    for (const char* stretch : {"--from 0.04 --to 0.08", "--from 5.01 --to 5.03"}) {
        std::filesystem::remove(out);
        const CommandResult r =
            run("timeout 60 " + cli("cut '" + clip + "' " + stretch + " '" + out + "'"));
        if (r.exitCode == 0) {
            EXPECT_NE(summaryValue(r.out, "video"), "none") << stretch << "\n" << r.out;
            EXPECT_GE(std::stoi("0" + summaryValue(r.out, "frames")), 1) << stretch;
            EXPECT_FALSE(probeStream(out, "v:0").empty()) << stretch;
        } else {
            EXPECT_EQ(r.exitCode, 1) << stretch << "\n" << r.err;
            EXPECT_NE(r.err.find("holds no picture"), std::string::npos) << stretch << "\n"
                                                                         << r.err;
            EXPECT_FALSE(fileExists(out)) << stretch;
        }
    }
}

// Ctrl+C (or a SIGTERM, as at a logout) a second into a long cut stops it like the player's
// Stop: the file is whole.
TEST(CliCut, SigintStopsWithAFileThatDecodes) {
    const std::string clip = sharedClip("cli-cut", "long.mp4",
                                        "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=44100 -t 120 -c:v libx264 "
                                        "-preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-cut-int");
    const std::string out = dir + "/stopped.avi", said = dir + "/said.txt";
    for (const char* signal : {"INT", "TERM"}) {
        SCOPED_TRACE(signal);
        // The signal comes a second after the cut's first progress line: a sanitized build
        // takes seconds to open the source, and a signal before that is another case.
        const CommandResult r =
            run("(" + cli("cut '" + clip + "' --from 0 --to 120 '" + out + "'") + " 2>'" + said +
                "' & pid=$!; for i in $(seq 600); do grep -q '^progress' '" + said +
                "' && break; sleep 0.1; done; " + scaledSleep(1) + "; kill -" + signal +
                " $pid; wait $pid; status=$?; cat '" + said + "' >&2; exit $status)");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(summaryValue(r.out, "stopped"), "1") << r.out;
        EXPECT_LT(std::stoi("0" + summaryValue(r.out, "frames")), 3000) << r.out;
        EXPECT_EQ(decodeAll(out).err, "");
    }
}

// XviD codes even sides only: a 321x241 picture is cut as 320x240, its last column and row
// cropped. Compared with the source cropped so, the picture is as close as XviD's coding
// allows (44 dB of luma); scaled to fit, it would be some 13 dB further off.
TEST(CliCut, AnOddSizedPictureLosesItsLastColumnAndRowUnscaled) {
    const std::string clip = oddSizedClip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("cli-cut-odd") + "/odd.avi";
    const CommandResult r =
        run("timeout 60 " + cli("cut '" + clip + "' --from 1 --to 2 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "video"), "320x240@25") << r.out;
    const CommandResult psnr =
        run("ffmpeg -i '" + out + "' -ss 1 -i '" + clip +
            "' -filter_complex '[1:v]crop=320:240:0:0[a];[0:v][a]psnr' -frames:v 25 -f null -");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(psnr.err, m, std::regex("PSNR y:([0-9.]+)"))) << psnr.err;
    EXPECT_GT(std::stod(m[1]), 40.0) << psnr.err;
}

// Stopped before its first picture (the source's only key frame lies 29 s before the stretch,
// so the picture takes a while to come while the sound is there at once), a cut would keep
// sound alone: it keeps no file, says so, and an earlier file of that name stays as it was.
TEST(CliCut, StoppedBeforeItsFirstPictureItKeepsNoFile) {
    const std::string clip = sharedClip("cli-cut", "one-key.mp4",
                                        "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=44100 -t 30 -c:v libx264 "
                                        "-preset ultrafast -g 750 -pix_fmt yuv420p -c:a aac "
                                        "-shortest");
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-cut-early");
    const std::string out = dir + "/kept.avi", said = dir + "/said.txt";
    std::ofstream(out) << "an earlier file";
    const CommandResult r =
        run("(" + cli("cut '" + clip + "' --from 29 --to 30 '" + out + "'") + " 2>'" + said +
            "' & pid=$!; for i in $(seq 600); do grep -q '^progress' '" + said +
            "' && break; sleep 0.05; done; kill -INT $pid; wait $pid; status=$?; cat '" + said +
            "' >&2; exit $status)");
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    // Stopped while only the sound was written, as here on a build at full speed; a slower
    // (sanitized) build is stopped before even the sound was.
    EXPECT_TRUE(r.err.find("was stopped before its picture was written: no file was made") !=
                    std::string::npos ||
                r.err.find("was stopped before anything was written: no file was made") !=
                    std::string::npos)
        << r.err;
    std::ifstream in(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "an earlier file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "a file left";
}

// Bad uses end with 2 and write nothing; the input is never touched.
TEST(CliCut, BadUsesExitWithTwoAndWriteNothing) {
    const std::string clip = cutClip();
    const std::string dir = scratchDir("cli-cut-bad");
    const std::string out = dir + "/out.avi";
    const auto size = std::filesystem::file_size(clip);
    const struct {
        std::string args, says;
    } cases[] = {
        {"'" + clip + "' --from 5 --to 5 '" + out + "'", "--to"},
        {"'" + clip + "' --from 5 --to 4 '" + out + "'", "--to"},
        {"'" + clip + "' --from 20 --to 30 '" + out + "'", "duration 10.0"},
        {"'" + clip + "' --from 1 --to 2 '" + clip + "'", "is the input"},
        {"'" + dir + "/missing.mp4' --from 1 --to 2 '" + out + "'", "cannot play"},
        {"'" + clip + "' --from 1 --to 2 '" + dir + "/no/such/out.avi'", "cannot write"},
        {"'" + clip + "' --from x --to 2 '" + out + "'", "--from"},
    };
    for (const auto& c : cases) {
        const CommandResult r = run(cli("cut " + c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_FALSE(fileExists(out)) << c.args;
    }
    EXPECT_EQ(std::filesystem::file_size(clip), size);
}

namespace {
// 3 s of testsrc2 at 320 x 240 with a tone, MJPEG and PCM in AVI.
std::string playClip() {
    return sharedClip("cli-play", "tone320.avi",
                      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 "
                      "-t 3 -c:v mjpeg -q:v 3 -c:a pcm_s16le -shortest");
}
} // namespace

// The events come as the player logs them, then the summary; --fast plays 3 s in about 2.
TEST(CliPlay, PlaysToTheEndAndPrintsTheEventsAndTheSummary) {
    Xvfb x("1024x768x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string clip = playClip();
    ASSERT_FALSE(clip.empty());
    const CommandResult r = run(cli("play --fast '" + clip + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 2u) << r.out;
    const std::string summary = lines.back();
    EXPECT_TRUE(std::regex_match(
        summary, std::regex("complete=1 events=[0-9]+ seconds=[0-9.]+ first_frame_ms=[0-9]+")))
        << summary;
    EXPECT_EQ(summaryValue(summary, "events"), std::to_string(lines.size() - 1));
    EXPECT_EQ(lines[lines.size() - 2],
              "EC_COMPLETE - All data from a particular stream has been rendered.");
    const double seconds = std::stod(summaryValue(summary, "seconds"));
    const int first = std::stoi(summaryValue(summary, "first_frame_ms"));
    EXPECT_GT(first, 0);
    EXPECT_LT(first, 3000);
    // From the first picture to the end: 2 s at the fast rate, 3 s at the normal one. Opening
    // the file is left out, as it takes longer on a loaded or sanitized build.
    const double playing = seconds - first / 1000.0;
    EXPECT_GT(playing, 1.6);
    EXPECT_LT(playing, 2.6) << "3 s at the fast rate; " << summary;
}

TEST(CliPlay, BadUsesExitWithTwo) {
    const std::string clip = playClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-play-bad");
    const std::string notMedia = dir + "/notes.avi";
    std::ofstream(notMedia) << "not a video\n";
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    const std::string on = "env DISPLAY=" + x.display() + " ";
    const struct {
        std::string command, says;
    } cases[] = {
        {"env -u DISPLAY " + cli("play '" + clip + "'"), "needs an X display"},
        {on + cli("play '" + dir + "/missing.avi'"), "no such file"},
        {on + cli("play '" + notMedia + "'"), "cannot play"},
        {on + cli("play --fast --slow '" + clip + "'"), "excludes"},
        {on + cli("play"), "FILE is required"},
    };
    for (const auto& c : cases) {
        const CommandResult r = run(c.command);
        EXPECT_EQ(r.exitCode, 2) << c.command << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.command << "\n" << r.err;
        EXPECT_EQ(r.out.find("complete="), std::string::npos) << c.command;
    }
}

// The picture at 2.0 s is frame 50, as ffmpeg decodes it; a .jpg name writes a JPEG.
TEST(CliSnapshot, SavesTheFrameAsBmpOrJpeg) {
    const std::string clip = playClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = scratchDir("cli-snapshot");
    const std::string bmp = dir + "/shot.bmp", jpg = dir + "/shot.jpg";
    CommandResult r = run("env -u DISPLAY " + cli("snapshot '" + clip + "' --at 2 '" + bmp + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "width=320 height=240 format=bmp at=2.000 output=" + bmp + "\n");
    const std::string got =
        run("ffmpeg -v error -i '" + bmp + "' -f rawvideo -pix_fmt rgb24 -").out;
    int w = 0, h = 0;
    const std::vector<unsigned char> want = decodeFrameRgb(clip, 50, w, h);
    ASSERT_EQ(got.size(), want.size());
    double diff = 0;
    for (size_t i = 0; i < want.size(); ++i)
        diff += std::abs(int(static_cast<unsigned char>(got[i])) - int(want[i]));
    EXPECT_LT(diff / double(want.size()), 2.0) << "mean difference from ffmpeg's frame 50";

    r = run("env -u DISPLAY " + cli("snapshot '" + clip + "' --at 2 '" + jpg + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "width=320 height=240 format=jpeg at=2.000 output=" + jpg + "\n");
    std::ifstream in(jpg, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" +
                  jpg + "'")
                  .out,
              "mjpeg,320,240\n");

    const struct {
        std::string args, says;
    } bad[] = {
        {"'" + clip + "' '" + dir + "/shot.png'", "must end in .bmp, .jpg or .jpeg"},
        {"'" + clip + "' --at 9 '" + dir + "/late.bmp'", "past the end"},
        {"'" + clip + "' '" + dir + "/no/such/folder/shot.jpg'", "cannot write"},
        {"'" + dir + "/missing.avi' '" + dir + "/x.bmp'", "cannot play"},
    };
    for (const auto& c : bad) {
        r = run("env -u DISPLAY " + cli("snapshot " + c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
    }
}
