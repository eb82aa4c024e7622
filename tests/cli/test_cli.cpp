#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>

using namespace testsupport;

namespace {
std::string cli(const std::string& args) {
    return std::string(TOVAMIX_CLI) + " " + args;
}
} // namespace

TEST(Cli, BadArgumentsExitWithTwoAndSayWhy) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string out = scratchDir("cli") + "/bad.avi";
    struct Case {
        std::string args, says;
    } cases[] = {
        {"record-screen --frobnicate " + out, "unknown option --frobnicate"},
        {"record-screen --area 0,0,0,20 " + out, "is empty"},
        {"record-screen --area 10,20,321 " + out, "X,Y,W,H"},
        {"record-screen --area 100,100,300,200 " + out, "does not lie within the 320x240 screen"},
        {"record-screen --interval 0 " + out, "--interval needs a whole number from 1"},
        {"record-screen --quality 10001 " + out, "--quality"},
        {"record-screen --seconds -1 " + out, "--seconds"},
        {"record-screen", "needs an OUTPUT.avi"},
        {"record-screen --voice " + out, "--voice needs --final"},
        {"record-screen /nonexistent-dir/out.avi", "cannot write \"/nonexistent-dir/out.avi\""},
        {"frobnicate", "unknown command"},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
}

TEST(Cli, NoDisplayExitsWithTwo) {
    ScopedEnv display("DISPLAY", ":59999");
    const CommandResult r = run(cli("record-screen " + scratchDir("cli") + "/nodisplay.avi"));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot open X display \":59999\""), std::string::npos) << r.err;
}

TEST(Cli, RecordsTheGivenSecondsAndReportsOneLine) {
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string out = scratchDir("cli") + "/two-seconds.avi";
    const CommandResult r =
        run(cli("record-screen --seconds 2 --area 10,20,321,241 --fps 10 " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m,
                                 std::regex("frames=(\\d+) skipped=(\\d+) seconds=(\\d+\\.\\d\\d) "
                                            "output=(.*)\n")))
        << r.out;
    const int frames = std::stoi(m[1]), skipped = std::stoi(m[2]);
    const double seconds = std::stod(m[3]);
    EXPECT_EQ(m[4], out);
    EXPECT_NEAR(frames, 20, 2);
    EXPECT_NEAR(seconds, 2.0, 0.1);
    const auto info = probeVideo(out);
    EXPECT_EQ(info.at("width"), "321");
    EXPECT_EQ(info.at("height"), "241");
    EXPECT_EQ(info.at("codec_tag_string"), "MSVC");
    EXPECT_EQ(std::stoi(info.at("nb_read_frames")), frames);
    EXPECT_EQ(std::stoi(info.at("nb_frames")), frames + skipped);
}

TEST(Cli, SigtermEndsTheRecordingWithACompleteFile) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string out = scratchDir("cli") + "/sigterm.avi";
    const CommandResult r = run("(" + cli("record-screen " + out) +
                                " & pid=$!; sleep 1.5; kill -TERM $pid; wait $pid)");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("frames="), std::string::npos);
    const auto info = probeVideo(out);
    EXPECT_EQ(info.at("codec_name"), "msvideo1");
    EXPECT_GT(std::stoi(info.at("nb_read_frames")), 5);
    const CommandResult d = decodeAll(out);
    EXPECT_EQ(d.exitCode, 0) << d.err;
}

// The devices command lists the test camera (only the tests' plugin path offers it) and the
// two codecs every encoding job looks up by name.
TEST(Cli, DevicesListsTheTestCameraAndTheCodecs) {
    const CommandResult r = run(cli("devices"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto section = [&](const std::string& title) {
        const size_t begin = r.out.find(title + " (");
        if (begin == std::string::npos) return std::string();
        // Up to the next title line (one that does not start with a space).
        size_t next = r.out.find('\n', begin);
        while (next != std::string::npos && next + 1 < r.out.size() && r.out[next + 1] == ' ')
            next = r.out.find('\n', next + 1);
        return r.out.substr(begin, next == std::string::npos ? std::string::npos : next - begin);
    };
    EXPECT_NE(section("Video inputs").find("Tovamix Test Camera  @device:pnp:"), std::string::npos)
        << r.out;
    EXPECT_NE(section("Video compressors").find("Xvid MPEG-4 Codec"), std::string::npos) << r.out;
    EXPECT_NE(section("Audio compressors").find("MPEG Layer-3"), std::string::npos) << r.out;
    EXPECT_EQ(section("Audio inputs").find("Tovamix Test Camera"), std::string::npos) << r.out;
    // Under the test command a PulseAudio daemon offers the virtual microphone.
    if (run("pactl info").exitCode == 0)
        EXPECT_NE(section("Audio inputs").find("Virtual-Microphone  @device:pnp:"),
                  std::string::npos)
            << r.out;
}

// The two-stage recording: the screen (and the voice, where there is an audio input) into
// the temporary files, then the merge into one XviD + MP3 file with progress lines.
TEST(Cli, FinalRecordingMergesScreenAndVoiceIntoXvidAndMp3) {
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-final");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/final.avi";
    const CommandResult r = run(cli("record-screen --final --voice --seconds 3 " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("compressing data..."), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("output=" + out), std::string::npos) << r.out;
    EXPECT_TRUE(fileExists(dir + "/VideoTemp.avi"));
    const bool voice = r.err.find("no voice") == std::string::npos;

    const auto video = probeVideo(out);
    EXPECT_EQ(video.at("codec_name"), "mpeg4");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("r_frame_rate"), "10/1");
    EXPECT_NEAR(std::stod(video.at("duration")), 3.0, 0.5);
    if (voice) {
        std::smatch m;
        const CommandResult audio = run("ffprobe -v error -select_streams a -show_entries "
                                        "stream=codec_name,duration -of csv=p=0 '" +
                                        out + "'");
        ASSERT_TRUE(std::regex_search(audio.out, m, std::regex("mp3,(\\d+\\.\\d+)"))) << audio.out;
        EXPECT_NEAR(std::stod(m[1]), 3.0, 0.5);
    }
    EXPECT_EQ(decodeAll(out).exitCode, 0);

    // An area of odd size is merged too, with a black column and row added for the encoder.
    const std::string odd = dir + "/odd.avi";
    const CommandResult o =
        run(cli("record-screen --final --seconds 1 --area 10,10,101,77 " + odd));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const auto oddVideo = probeVideo(odd);
    EXPECT_EQ(oddVideo.at("codec_tag_string"), "XVID");
    EXPECT_EQ(oddVideo.at("width"), "102");
    EXPECT_EQ(oddVideo.at("height"), "78");
}
