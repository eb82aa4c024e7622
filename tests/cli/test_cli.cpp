#include "recorder/TScreenCam.h"
#include "support/LaggingMicrophone.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
    std::filesystem::remove_all(scratchDir("cli-link"));
    const std::string link = scratchDir("cli-link") + "/link.avi";
    std::filesystem::create_symlink(scratchDir("cli-link-target") + "/x.avi", link);
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
        {"record-screen " + link, "cannot write \"" + link + "\": " + link + " is a symbolic link"},
        {"frobnicate", "unknown command"},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
}

// Every bad use is found while the arguments are read, before the display or OUTPUT is
// touched (the display here does not exist): exit code 2, the reason, then the usage of the
// subcommand (or of the program) on standard error, nothing on standard output.
TEST(CliArguments, BadUsesExitWithTwoAndShowTheUsage) {
    ScopedEnv display("DISPLAY", ":59999");
    const std::string out = scratchDir("cli-args") + "/never.avi";
    std::filesystem::remove(out);
    const std::string recordUsage = "Usage: tovamix-cli record-screen";
    const std::string devicesUsage = "Usage: tovamix-cli devices";
    const std::string programUsage = "Usage: tovamix-cli [OPTIONS] [SUBCOMMAND]";
    struct Case {
        std::string args, says, usage;
    } cases[] = {
        {"", "", programUsage},
        {"frobnicate", "unknown command \"frobnicate\" (try --help)", ""},
        {"--frobnicate", "unknown command \"--frobnicate\" (try --help)", ""},
        {"frobnicate devices", "unknown command \"frobnicate\"", ""},
        {"record-screen", "record-screen needs an OUTPUT.avi file name", recordUsage},
        {"record-screen --fps 0 " + out, "--fps needs a whole number from 1 to 1000, not \"0\"",
         recordUsage},
        {"record-screen --fps 1001 " + out, "--fps needs a whole number from 1 to 1000",
         recordUsage},
        {"record-screen --fps 2.5 " + out, "not \"2.5\"", recordUsage},
        {"record-screen --interval 60001 " + out, "--interval needs a whole number from 1 to 60000",
         recordUsage},
        {"record-screen --keyframes -1 " + out, "--keyframes needs a whole number from 0 to 100000",
         recordUsage},
        {"record-screen --quality x " + out, "--quality needs a whole number from 0 to 10000",
         recordUsage},
        {"record-screen --seconds 0 " + out, "--seconds needs a positive number of seconds",
         recordUsage},
        {"record-screen --seconds 2s " + out, "--seconds needs a positive number", recordUsage},
        {"record-screen --area 1,2,3 " + out, "--area needs X,Y,W,H", recordUsage},
        {"record-screen --area 1,2,3,-4 " + out, "--area 1,2,3,-4 is empty", recordUsage},
        {"record-screen --area 0,0,10,10 --select-area " + out,
         "give either --area or --select-area, not both", recordUsage},
        {"record-screen --voice " + out, "--voice needs --final", recordUsage},
        {"record-screen --frobnicate " + out, "unknown option --frobnicate", recordUsage},
        {"record-screen " + out + " second.avi",
         "more than one output file: \"" + out + "\" and \"second.avi\"", recordUsage},
        {"record-screen " + out + " --fps", "--fps", recordUsage}, // the value is missing
        {"devices extra", "extra", devicesUsage},
        {"devices --frobnicate", "--frobnicate", devicesUsage},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args) + " </dev/null");
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.usage), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.find("cannot open X display"), std::string::npos) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
    EXPECT_FALSE(fileExists(out));
}

// --help works for the program and for each subcommand: the usage on standard output, exit 0.
// The defaults shown are the screen engine's own.
TEST(CliArguments, HelpShowsTheUsageOfEachSubcommand) {
    using recorder::TScreenCam;
    auto defaultOf = [](int value) { return "(default " + std::to_string(value) + ")"; };
    struct Case {
        std::string args;
        std::vector<std::string> says;
    } cases[] = {
        {"--help", {"Usage: tovamix-cli", "record-screen", "devices"}},
        {"record-screen --help",
         {"Usage: tovamix-cli record-screen", "OUTPUT.avi", "--seconds S", "--area X,Y,W,H",
          "--select-area", "--final", "--voice", "--interval MS",
          defaultOf(TScreenCam::DefaultRecordInterval), "--fps N",
          defaultOf(TScreenCam::DefaultPlaybackRate), "--keyframes N",
          defaultOf(TScreenCam::DefaultKeyFrameInterval), "--quality Q",
          defaultOf(TScreenCam::DefaultQuality)}},
        {"record-screen -h", {"Usage: tovamix-cli record-screen"}},
        {"devices --help", {"Usage: tovamix-cli devices", "video and audio inputs"}},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(cli(c.args));
        EXPECT_EQ(r.exitCode, 0) << c.args << "\n" << r.err;
        for (const std::string& s : c.says)
            EXPECT_NE(r.out.find(s), std::string::npos) << c.args << ": " << s << "\n" << r.out;
    }
}

// Good uses: each option and both spellings of a value are taken, and the summary line is
// one line on standard output.
TEST(CliArguments, GoodUsesRecordAndPrintTheSummaryLine) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-args");
    struct Case {
        std::string args;
        std::string width, height, rate;
    } cases[] = {
        {"--seconds 0.5", "320", "240", "10/1"},
        {"--seconds=0.5 --area=8,6,64,48 --interval 50 --fps 20 --keyframes 0 --quality 0", "64",
         "48", "20/1"},
        {"--fps 25 --seconds 0.5 --area 0,0,320,240 --quality 10000", "320", "240", "25/1"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string out = dir + "/good" + std::to_string(n++) + ".avi";
        const CommandResult r = run(cli("record-screen " + c.args + " " + out));
        ASSERT_EQ(r.exitCode, 0) << c.args << "\n" << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex("frames=\\d+ skipped=\\d+ "
                                                       "seconds=\\d+\\.\\d\\d output=" +
                                                       out + "\n")))
            << c.args << "\n"
            << r.out;
        const auto info = probeVideo(out);
        EXPECT_EQ(info.at("width"), c.width) << c.args;
        EXPECT_EQ(info.at("height"), c.height) << c.args;
        EXPECT_EQ(info.at("r_frame_rate"), c.rate) << c.args;
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
    const auto info = expectVideoStream(out, {"msvideo1", "MSVC", "", 321, 241});
    EXPECT_EQ(std::stoi(info.at("nb_read_frames")), frames);
    EXPECT_EQ(std::stoi(info.at("nb_frames")), frames + skipped);
}

TEST(Cli, SigtermEndsTheRecordingWithACompleteFile) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string out = scratchDir("cli") + "/sigterm.avi";
    const CommandResult r = run("(" + cli("record-screen " + out) + " & pid=$!; " +
                                scaledSleep(1.5) + "; kill -TERM $pid; wait $pid)");
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
    if (run("pactl info").exitCode == 0) {
        EXPECT_NE(section("Audio inputs").find("Virtual-Microphone  @device:pnp:"),
                  std::string::npos)
            << r.out;
    }
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
    EXPECT_TRUE(fileExists(dir + "/tovamix-" + std::to_string(geteuid()) + "/VideoTemp.avi"));
    const bool voice = r.err.find("no voice") == std::string::npos;

    const auto video = expectVideoStream(out, {"mpeg4", "XVID", "10/1"});
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
    expectVideoStream(odd, {"mpeg4", "XVID", "", 102, 78});
}

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A tmpfs of the given size mounted for the life of a scope (needs root).
class SmallDisk {
  public:
    SmallDisk(const std::string& dir, const std::string& size) : dir_(dir) {
        mounted_ = run("mount -t tmpfs -o size=" + size + " tmpfs '" + dir + "'").exitCode == 0;
    }
    ~SmallDisk() {
        if (mounted_) run("umount '" + dir_ + "'");
    }
    bool mounted() const { return mounted_; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

// Noise drawn over the whole screen at 30 pictures a second, so that every frame of a
// recording is big; ends with the object.
class BusyScreen {
  public:
    BusyScreen() {
        const CommandResult r = run("gst-launch-1.0 -q videotestsrc pattern=snow ! "
                                    "video/x-raw,width=320,height=240,framerate=30/1 ! "
                                    "ximagesink >/dev/null 2>&1 & echo $!");
        pid_ = r.exitCode == 0 && !r.out.empty() ? std::stoi(r.out) : -1;
    }
    ~BusyScreen() {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    // Waits until the noise window is on the screen.
    bool shown() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (run("xwininfo -root -children | grep -q '320x240+0+0'").exitCode == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

  private:
    int pid_ = -1;
};

} // namespace

// With the disk full part-way, the recording says so, exits non-zero, and counts only the
// frames that reached the disk; those frames play.
TEST(Cli, AFullDiskIsReportedAndFramesCountsWhatWasStored) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-full");
    SmallDisk disk(dir, "1m");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    BusyScreen noise;
    ASSERT_TRUE(noise.shown());
    const std::string out = dir + "/out.avi";
    const CommandResult r = run(cli("record-screen --seconds 3 " + out));
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("Error Creating AVI file"), std::string::npos) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("frames=(\\d+) "))) << r.out;
    const int frames = std::stoi(m[1]);
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 30); // the disk filled up before the three seconds were over
    const auto info = probeVideo(out);
    const int stored = std::stoi(info.at("nb_read_frames"));
    EXPECT_GT(stored, 0);
    EXPECT_NEAR(stored, frames, 1);
    const CommandResult d = run("ffmpeg -v error -i '" + out + "' -f null -");
    EXPECT_EQ(d.exitCode, 0) << d.err;
    std::printf("disk full: frames=%d, ffprobe counts %d\n", frames, stored);
}

// OUTPUT is not emptied before the recording writes it: a recording that fails before the
// merge leaves an existing OUTPUT as it was.
TEST(Cli, AnExistingOutputKeepsItsBytesWhenTheRecordingFailsBeforeTheMerge) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    std::filesystem::remove_all(scratchDir("cli-keep"));
    const std::string dir = scratchDir("cli-keep");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string folder = dir + "/tovamix-" + std::to_string(geteuid());
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0); // a folder others can write is refused
    const std::string out = dir + "/keep.avi";
    std::ofstream(out) << "an earlier recording";
    const CommandResult r = run(cli("record-screen --final --seconds 1 " + out));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("\"" + folder + "\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("other users can write into it"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out), "an earlier recording");
}

namespace {
// The durations ffprobe reads of a file's first video and first audio stream (-1: none).
std::pair<double, double> streamDurations(const std::string& path) {
    auto duration = [&](const char* selector) {
        const auto info = probeStream(path, selector);
        const auto it = info.find("duration");
        return it == info.end() || it->second == "N/A" ? -1.0 : std::stod(it->second);
    };
    return {duration("v:0"), duration("a:0")};
}

// Records the screen with the voice of mic for `seconds` and checks that the voice lasts as
// long as the screen, in the temporary files and in the merged file.
void recordBesideTheScreen(const LaggingMicrophone& mic, int seconds) {
    SCOPED_TRACE(std::to_string(seconds) + " s");
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    ScopedEnv server("PULSE_SERVER", mic.server());
    const std::string dir = scratchDir("cli-lagging-voice-" + std::to_string(seconds));
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/voice.avi";
    const CommandResult r =
        run(cli("record-screen --final --voice --seconds " + std::to_string(seconds) + " " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("voice from \"" + std::string(LaggingMicrophone::Name) + "\""),
              std::string::npos)
        << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("seconds=(\\d+\\.\\d+)"))) << r.out;
    const double recorded = std::stod(m[1]);
    const std::string own = dir + "/tovamix-" + std::to_string(geteuid());
    const auto [videoTemp, ignored] = streamDurations(own + "/VideoTemp.avi");
    const auto [ignoredToo, audioTemp] = streamDurations(own + "/AudioTemp.avi");
    const auto [video, mp3] = streamDurations(out);
    // The voice lasts as long as the recording ran; the screen's last picture stands for one
    // record interval (0.1 s) more.
    EXPECT_NEAR(audioTemp, recorded, 0.05) << r.err;
    EXPECT_NEAR(videoTemp, recorded + 0.05, 0.1);
    EXPECT_NEAR(mp3, video, 0.1) << r.err;
}
} // namespace

// A microphone that hands over its sound in bursts, up to 2.5 s late: the stop waits for the
// sound recorded before it, and the voice lasts as long as the screen beside it.
TEST(CliVoice, LaggingMicrophoneLastsAsLongAsTheScreen) {
    LaggingMicrophone mic(2.5);
    ASSERT_TRUE(mic.ok());
    recordBesideTheScreen(mic, 1);
    recordBesideTheScreen(mic, 5);
}

TEST(CliVoice, LaggingMicrophoneLastsAsLongAsTheScreenForHalfAMinute) {
    LaggingMicrophone mic(2.5);
    ASSERT_TRUE(mic.ok());
    recordBesideTheScreen(mic, 30);
}

// A microphone that delivers a third of the time: the voice still lasts as long as the
// screen (silence at the end), and the user is told which device fell short and by how much.
TEST(CliVoice, MicrophoneShortOfSoundIsWarnedAboutByName) {
    LaggingMicrophone mic(1.0, 1.0 / 3);
    ASSERT_TRUE(mic.ok());
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    ScopedEnv server("PULSE_SERVER", mic.server());
    const std::string dir = scratchDir("cli-short-voice");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/short.avi";
    const CommandResult r = run(cli("record-screen --final --voice --seconds 4 " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.err, m,
        std::regex("warning: the sound device \"Burst-Microphone\" delivered (\\d+\\.\\d) s of "
                   "sound in (\\d+\\.\\d) s")))
        << r.err;
    EXPECT_LT(std::stod(m[1]), 0.9 * std::stod(m[2]));
    EXPECT_NEAR(std::stod(m[2]), 4.0, 0.3);
    const auto [video, mp3] = streamDurations(out);
    EXPECT_NEAR(mp3, video, 0.1);
}

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
std::string value(const std::string& line, const std::string& key) {
    const std::smatch m = [&] {
        std::smatch r;
        std::regex_search(line, r, std::regex(key + "=([^ \n]+)"));
        return r;
    }();
    return m.empty() ? "" : m[1].str();
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
    const std::string dir = scratchDir("cli-view");
    const std::string shot = dir + "/shot.png";
    CommandResult r = run(cli("view '" + wide +
                              "' --size 320x240 --aspect letterbox --seconds 2 "
                              "--screenshot '" +
                              shot + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(value(r.out, "rect"), "0,30,320,180") << r.out;
    EXPECT_EQ(value(r.out, "video"), "640x360") << r.out;
    EXPECT_EQ(value(r.out, "duration"), "5.000") << r.out;
    EXPECT_GT(std::stoi("0" + value(r.out, "shown")), 10) << r.out;
    EXPECT_NE(value(r.out, "sink").find("imagesink"), std::string::npos) << r.out;
    const double position = std::stod("0" + value(r.out, "position"));
    EXPECT_GT(position, 1.0);
    EXPECT_LT(position, 3.0);
    const std::string rgb = pngPixels(shot);
    ASSERT_EQ(rgb.size(), 320u * 240 * 3);
    EXPECT_TRUE(blackRows(rgb, 320, 0, 30)) << "the top bar";
    EXPECT_TRUE(blackRows(rgb, 320, 210, 240)) << "the bottom bar";
    EXPECT_FALSE(blackRows(rgb, 320, 30, 40)) << "the picture starts at row 30";

    r = run(cli("view '" + pal + "' --zoom 50 --seconds 1"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(value(r.out, "source"), "180,144,360,288") << r.out;
    EXPECT_EQ(value(r.out, "video"), "720x576") << r.out;
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
    EXPECT_EQ(value(r.out, "frames"), "75") << r.out;
    EXPECT_NEAR(std::stod("0" + value(r.out, "seconds")), 3.0, 0.05) << r.out;
    EXPECT_EQ(value(r.out, "video"), "640x480@25") << r.out;
    EXPECT_EQ(value(r.out, "audio"), "mp3") << r.out;
    EXPECT_EQ(value(r.out, "stopped"), "0") << r.out;
    EXPECT_NE(r.err.find("progress"), std::string::npos) << r.err;
    expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
}

// Ctrl+C a second into a long cut stops it like the player's Stop: the file is whole.
TEST(CliCut, SigintStopsWithAFileThatDecodes) {
    const std::string clip = sharedClip("cli-cut", "long.mp4",
                                        "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=44100 -t 120 -c:v libx264 "
                                        "-preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("cli-cut-int") + "/stopped.avi";
    const CommandResult r = run("(" + cli("cut '" + clip + "' --from 0 --to 120 '" + out + "'") +
                                " & pid=$!; " + scaledSleep(1) + "; kill -INT $pid; wait $pid)");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(value(r.out, "stopped"), "1") << r.out;
    EXPECT_LT(std::stoi("0" + value(r.out, "frames")), 3000) << r.out;
    EXPECT_EQ(decodeAll(out).err, "");
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
    EXPECT_EQ(value(summary, "events"), std::to_string(lines.size() - 1));
    EXPECT_EQ(lines[lines.size() - 2],
              "EC_COMPLETE - All data from a particular stream has been rendered.");
    const double seconds = std::stod(value(summary, "seconds"));
    EXPECT_GT(seconds, 1.7);
    EXPECT_LT(seconds, 3.0) << "3 s at the fast rate";
    const int first = std::stoi(value(summary, "first_frame_ms"));
    EXPECT_GT(first, 0);
    EXPECT_LT(first, 3000);
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
    EXPECT_EQ(value(r.out, "frames"), std::to_string(probePackets(out).size())) << r.out;
    EXPECT_EQ(value(r.out, "output"), out);
    EXPECT_NEAR(std::stod(value(r.out, "voice")), a, 0.1) << r.out;
    EXPECT_NEAR(std::stod(value(r.out, "seconds")), 10, 0.5) << r.out;
}

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
    EXPECT_LT(std::stod(value(r.out, "seconds")), 30) << r.out;
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

namespace {

// The data chunks of an AVI's first video stream ("00dc"/"00db") that carry bytes, counted by
// walking the RIFF chunks as they lie in the file: this reads a file without an index and
// with its sizes unset (0xFFFFFFFF) as a killed writer leaves it. A chunk whose bytes run past
// the end of the file counts: its picture was grabbed and being written.
int videoChunksBegun(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), {});
    auto u32 = [&](size_t at) {
        return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
               uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
    };
    int count = 0;
    size_t at = 12; // after "RIFF" size "AVI "
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        const uint32_t size = u32(at + 4);
        if (id == "LIST" && at + 12 <= b.size() && b.substr(at + 8, 4) == "movi") {
            at += 12; // into the data
            continue;
        }
        if ((id == "00dc" || id == "00db") && size > 0) ++count;
        if (size == 0xFFFFFFFFu) break;
        at += 8 + size + (size & 1);
    }
    return count;
}

} // namespace

// A recording whose program is killed leaves its temporary files without an index; recover
// saves the pictures grabbed until then and the voice, in step, as XviD + MP3.
TEST(CliRecover, AKilledRecordingIsSavedWithItsVoice) {
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-recover");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string own = dir + "/tovamix-" + std::to_string(geteuid());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string cmd =
            "exec " + cli("record-screen --final --voice --seconds 10 " + dir + "/never.avi") +
            " >'" + dir + "/record.out' 2>'" + dir + "/record.err'";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Killed 4 s into the recording (counted from its first picture in the file).
    const auto started = std::chrono::steady_clock::now();
    auto firstPicture = started;
    bool recording = false;
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
        if (!recording && videoChunksBegun(own + "/VideoTemp.avi") > 0) {
            recording = true;
            firstPicture = std::chrono::steady_clock::now();
        }
        if (recording && std::chrono::steady_clock::now() - firstPicture >= std::chrono::seconds(4))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(recording) << "no picture was recorded";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(fileExists(dir + "/never.avi"));
    // Every picture the engine grabbed is in the file as soon as it is written; the one being
    // grabbed at the kill never reached it.
    const int grabbed = videoChunksBegun(own + "/VideoTemp.avi");
    EXPECT_GE(grabbed, 20);

    const std::string out = dir + "/recovered.avi";
    const CommandResult r = run(cli("recover --voice " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m,
                                  std::regex("^frames=(\\d+) skipped=(\\d+) "
                                             "seconds=(\\d+\\.\\d+) output=(.*)\n$")))
        << r.out;
    const int frames = std::stoi(m[1]);
    EXPECT_EQ(m[4], out);
    EXPECT_GE(frames, 0.95 * grabbed) << r.err;
    EXPECT_LE(frames, grabbed);
    EXPECT_TRUE(fileExists(own + "/VideoTemp.avi")); // kept for another try
    EXPECT_FALSE(fileExists(own + "/VideoRecovered.avi"));

    const auto video = expectVideoStream(out, {"mpeg4", "XVID", "10/1", 640, 480});
    // The XviD file has a picture in every position: the recovered ones and the repeats.
    EXPECT_EQ(std::stoi(video.at("nb_read_frames")), frames + std::stoi(m[2]));
    const auto [videoSeconds, voiceSeconds] = streamDurations(out);
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
    EXPECT_NEAR(videoSeconds, std::stod(m[3]), 0.01);
    EXPECT_NEAR(voiceSeconds, videoSeconds, 0.3) << r.err;
    // Most of it is the sound recorded: only what the device had not delivered at the kill
    // (its 100 ms pieces, and a server's lag) is silence.
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("recovered (\\d+\\.\\d+) s of voice")))
        << r.err;
    EXPECT_GT(std::stod(m[1]), videoSeconds - 1.0) << r.err;
    EXPECT_EQ(decodeAll(out).exitCode, 0);

    // An output over a file the recovery reads is refused, the recording kept.
    const CommandResult over = run(cli("recover " + own + "/VideoTemp.avi"));
    EXPECT_EQ(over.exitCode, 2) << over.err;
    EXPECT_EQ(videoChunksBegun(own + "/VideoTemp.avi"), grabbed);

    // Nothing to recover in a fresh temporary folder: exit 1, the reason named, nothing written.
    ScopedEnv empty("TMPDIR", scratchDir("cli-recover-nothing"));
    const CommandResult none = run(cli("recover " + dir + "/none.avi"));
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no recording to recover"), std::string::npos) << none.err;
    EXPECT_FALSE(fileExists(dir + "/none.avi"));
}

// Where XDG_RUNTIME_DIR is unset, Qt's own look for a Wayland socket stays quiet, and the
// sound server is still found (the variable is not set behind its back).
TEST(Cli, NoRuntimeFolderWarningWhereXdgRuntimeDirIsUnset) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-no-runtime-dir");
    const std::string clip = sharedClip("cli-runtime", "clip.avi",
                                        "-f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mjpeg");
    ASSERT_FALSE(clip.empty());
    const std::string unset = "env -u XDG_RUNTIME_DIR TMPDIR='" + dir + "' ";
    const CommandResult v = run(unset + cli("view " + clip + " --seconds 0.3"));
    EXPECT_EQ(v.exitCode, 0) << v.err;
    EXPECT_EQ(v.err.find("XDG_RUNTIME_DIR"), std::string::npos) << v.err;
    // Other Qt warnings still come through. Qt aborts without a platform: a sanitized build
    // is told that this abort is expected.
    const CommandResult w =
        run("ulimit -c 0; " + unset +
            "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:handle_abort=0\" QT_QPA_PLATFORM=nosuchplatform " +
            cli("view " + clip + " --seconds 0.3"));
    EXPECT_NE(w.err.find("nosuchplatform"), std::string::npos) << w.err;
    if (run("pactl info").exitCode == 0) {
        const CommandResult d = run(unset + cli("devices"));
        EXPECT_NE(d.out.find("Virtual-Microphone"), std::string::npos) << d.out << d.err;
    }
}
