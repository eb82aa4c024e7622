// tovamix-cli's capture-video and capture-audio.
#include "CliCommand.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// -- capture-video and capture-audio, on the tests' cameras and microphone. Without a sound
// server the test microphone is the first audio input, the one --voice records.
namespace {
struct CaptureEnv {
    Xvfb x{"320x240x24"};
    ScopedEnv display{"DISPLAY", x.display()};
    ScopedEnv faults{"TOVAMIX_TEST_CAMERA_FAULTS", "1"};
    ScopedEnv noServer{"PULSE_SERVER", "unix:/nonexistent-tovamix-pulse"};
};
} // namespace

TEST(CliCapture, CameraWithVoiceIsXvidAndMp3InStep) {
    CaptureEnv env;
    const std::string out = scratchDir("cli-capture") + "/cam.avi";
    const CommandResult r = run(cli("capture-video --device \"Tovamix Test Camera\" --format "
                                    "640x480@30 --voice --seconds 10 " +
                                    out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectVideoStream(out, {"mpeg4", "XVID", "30/1", 640, 480});
    const auto video = probeStream(out, "v:0");
    const CommandResult frames = run("ffprobe -v error -select_streams v:0 -count_frames "
                                     "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                     out + "'");
    EXPECT_GE(std::atoi(frames.out.c_str()), 285);
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
    const auto [v, a] = streamDurations(out);
    EXPECT_NEAR(v, 10, 0.5);
    EXPECT_NEAR(a, 10, 0.5);
    EXPECT_LE(std::fabs(v - a), 0.1);
    // The summary counts what the file holds.
    EXPECT_EQ(summaryValue(r.out, "frames"), std::to_string(probePackets(out).size())) << r.out;
    EXPECT_EQ(summaryValue(r.out, "output"), out);
    EXPECT_NEAR(std::stod(summaryValue(r.out, "voice")), a, 0.1) << r.out;
    EXPECT_NEAR(std::stod(summaryValue(r.out, "seconds")), 10, 0.5) << r.out;
}

// --seconds 5 at a format of the test camera: 5 s of picture and 5 s of voice, each within
// one picture of the camera's rate, whatever moment the stop comes at; the summary's seconds
// are what the file holds.
struct CaptureLength {
    std::string format; // WxH@FPS
    int fps;
};

class CliCaptureLength : public ::testing::TestWithParam<CaptureLength> {};

TEST_P(CliCaptureLength, FiveSecondsOfPictureAndVoice) {
    const CaptureLength& c = GetParam();
    CaptureEnv env;
    std::string name = c.format;
    std::replace_if(
        name.begin(), name.end(), [](char ch) { return ch == '@'; }, '-');
    const std::string out = scratchDir("cli-capture-length") + "/" + name + ".avi";
    const CommandResult r = run(cli("capture-video --device \"Tovamix Test Camera\" --format " +
                                    c.format + " --voice --seconds 5 " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const double frame = 1.0 / c.fps;
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("r_frame_rate"), std::to_string(c.fps) + "/1");
    const double v = numberField(video, "duration");
    EXPECT_LT(std::fabs(v - 5), frame) << "video " << v << " s at " << c.format;
    EXPECT_EQ(std::atoi(video.at("nb_frames").c_str()), 5 * c.fps);
    // The MP3 stream carries the encoder's own delay in front of the sound (LAME: 576 + 529
    // samples at 44100 Hz); the sound after it is what was recorded.
    const auto audio = probeStream(out, "a:0");
    ASSERT_EQ(audio.at("sample_rate"), "44100");
    const double codecDelay = 1105.0 / 44100;
    const double a = numberField(audio, "duration");
    EXPECT_LT(std::fabs(a - codecDelay - 5), frame) << "voice " << a << " s at " << c.format;
    EXPECT_NEAR(std::stod(summaryValue(r.out, "seconds")), std::max(v, a), 0.006) << r.out;
    EXPECT_NEAR(std::stod(summaryValue(r.out, "voice")), a, 0.006) << r.out;
    EXPECT_EQ(std::stoll(summaryValue(r.out, "frames")) + std::stoll(summaryValue(r.out, "empty")),
              std::atoll(video.at("nb_frames").c_str()))
        << r.out;
}

INSTANTIATE_TEST_SUITE_P(CameraFormats, CliCaptureLength,
                         ::testing::Values(CaptureLength{"320x240@15", 15},
                                           CaptureLength{"640x480@30", 30},
                                           CaptureLength{"320x240@30", 30}),
                         [](const ::testing::TestParamInfo<CaptureLength>& info) {
                             std::string n = info.param.format;
                             std::replace_if(
                                 n.begin(), n.end(), [](char ch) { return !std::isalnum(ch); },
                                 '_');
                             return n;
                         });

TEST(CliCapture, ASmallerFormatAndTheVoiceAlone) {
    CaptureEnv env;
    const std::string dir = scratchDir("cli-capture-small");
    const CommandResult list = run(cli("capture-video --device \"Tovamix Test Camera\" "
                                       "--list-formats"));
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("1  YUY2  320 x 240  15 fps"), std::string::npos) << list.out;
    const CommandResult r = run(cli("capture-video --device \"Tovamix Test Camera\" --format "
                                    "320x240@15 --seconds 2 " +
                                    dir + "/small.avi"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectVideoStream(dir + "/small.avi", {"mpeg4", "XVID", "15/1", 320, 240});

    const CommandResult s = run(cli("capture-audio --device 0 --seconds 5 " + dir + "/a.avi"));
    ASSERT_EQ(s.exitCode, 0) << s.err;
    EXPECT_NE(s.out.find(" line=Tovamix Test Microphone output="), std::string::npos) << s.out;
    const CommandResult streams = run("ffprobe -v error -show_entries stream=codec_name,duration "
                                      "-of csv=p=0 '" +
                                      dir + "/a.avi'");
    double seconds = 0;
    char codec[16] = {};
    ASSERT_EQ(std::sscanf(streams.out.c_str(), "%15[^,],%lf", codec, &seconds), 2) << streams.out;
    EXPECT_STREQ(codec, "mp3");
    EXPECT_EQ(std::count(streams.out.begin(), streams.out.end(), '\n'), 1) << streams.out;
    EXPECT_NEAR(seconds, 5, 0.3);
    // The summary tells the seconds of sound the file holds.
    EXPECT_NEAR(std::stod(summaryValue(s.out, "seconds")), seconds, 0.006) << s.out;
}

// A camera lost after two seconds ends the job with 1, naming it, and leaves the two seconds
// as a whole file; a busy camera records nothing and leaves no file.
TEST(CliCapture, LostAndBusyCamerasExitWithOne) {
    CaptureEnv env;
    const std::string dir = scratchDir("cli-capture-faults");
    const CommandResult lost = run(cli("capture-video --device \"Tovamix Failing Camera\" "
                                       "--voice --seconds 8 " +
                                       dir + "/lost.avi"));
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_NE(lost.err.find("Tovamix Failing Camera"), std::string::npos) << lost.err;
    EXPECT_NE(lost.err.find("lost"), std::string::npos) << lost.err;
    EXPECT_NE(lost.out.find("frames="), std::string::npos) << lost.out;
    const auto [v, a] = streamDurations(dir + "/lost.avi");
    EXPECT_NEAR(v, 2, 0.5);
    EXPECT_NEAR(a, 2, 0.5);
    EXPECT_EQ(run("ffmpeg -v error -i '" + dir + "/lost.avi' -f null - 2>&1").out, "");

    std::filesystem::remove(dir + "/busy.avi");
    const CommandResult busy =
        run(cli("capture-video --device \"Tovamix Busy Camera\" --seconds 3 " + dir + "/busy.avi"));
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("Tovamix Busy Camera"), std::string::npos) << busy.err;
    EXPECT_FALSE(fileExists(dir + "/busy.avi"));
}

TEST(CliCapture, SigintEndsTheRecordingWithAWholeFile) {
    CaptureEnv env;
    const std::string out = scratchDir("cli-capture-sigint") + "/cam.avi";
    std::filesystem::remove(out); // the wait below watches it grow
    // Interrupted once the file has grown past its header (within 60 s); --seconds only
    // bounds a recording whose interruption is lost.
    const CommandResult r = run(
        "(" + cli("capture-video --device \"Tovamix Test Camera\" --voice --seconds 60 " + out) +
        " & pid=$!; for i in $(seq 1200); do [ $(stat -c %s '" + out +
        "' 2>/dev/null || echo 0) -gt 200000 ] && break; sleep 0.05; done; kill -INT $pid; "
        "wait $pid)");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("frames="), std::string::npos);
    EXPECT_LT(std::stod(summaryValue(r.out, "seconds")), 30) << r.out;
    EXPECT_EQ(decodeAll(out).err, "");
    const auto [v, a] = streamDurations(out);
    EXPECT_GT(v, 0);
    EXPECT_LE(std::fabs(v - a), 0.15);
}

TEST(CliCapture, BadUsesExitWithTwoAndSayWhy) {
    CaptureEnv env;
    const std::string out = scratchDir("cli-capture-bad") + "/bad.avi";
    std::filesystem::remove(out);
    struct Case {
        std::string args, says;
    } cases[] = {
        {"capture-video --device 9 --seconds 1 " + out, "3  Tovamix Test Camera"},
        {"capture-video --device \"No Such Camera\" " + out, "no video input \"No Such Camera\""},
        {"capture-video --device 3 --format 1x1@1 " + out, "0  YUY2  640 x 480  30 fps"},
        {"capture-video --device 3 --format 7 " + out, "has no format \"7\""},
        {"capture-video --device 3 --frobnicate " + out, "unknown option --frobnicate"},
        {"capture-video --device 3 --line Mic " + out, "--line needs --voice"},
        {"capture-video --device 3", "needs an OUT.avi"},
        {"capture-video --device 3 --seconds x " + out, "--seconds"},
        {"capture-video --device 3 /nonexistent-dir/x.avi", "cannot write"},
        {"capture-audio --device 5 " + out, "0  Tovamix Test Microphone"},
        {"capture-audio --device 0 --line Nothing " + out, "has no input line \"Nothing\""},
        {"capture-audio " + out, "--device"},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_FALSE(fileExists(out));
}
