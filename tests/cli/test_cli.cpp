// tovamix-cli's arguments, record-screen (with the voice and a full disk), devices and recover.
#include "recorder/TScreenCam.h"
#include "support/LaggingMicrophone.h"
#include "CliCommand.h"
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

// Two microphones, the system's default not the first by name: the default is listed first
// (the one a recording takes) and marked.
TEST(Cli, DevicesListsTheSystemsDefaultInputFirst) {
    const std::string dir = scratchDir("cli-default-input");
    const std::string server = "unix:" + dir + "/native";
    auto source = [](const std::string& name, const std::string& description) {
        return " -L 'module-null-sink sink_name=" + name +
               "_out' -L 'module-remap-source master=" + name + "_out.monitor source_name=" + name +
               " source_properties=device.description=" + description + "'";
    };
    const std::string pid =
        run("PULSE_RUNTIME_PATH='" + dir + "' HOME='" + dir +
            "' pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no -L "
            "'module-native-protocol-unix socket=" +
            dir + "/native auth-anonymous=1'" + source("aaa", "Aaa-Microphone") +
            source("zzz", "Zzz-Microphone") + " >/dev/null 2>&1 & echo $!")
            .out;
    struct KillOnExit {
        std::string pid;
        ~KillOnExit() { run("kill " + pid + " 2>/dev/null"); }
    } kill{pid.substr(0, pid.find('\n'))};
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        up = run("PULSE_SERVER=" + server + " pactl info >/dev/null 2>&1").exitCode == 0;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100)); // between polls
    }
    ASSERT_TRUE(up) << "the sound server did not start";
    ASSERT_EQ(run("PULSE_SERVER=" + server + " pactl set-default-source zzz").exitCode, 0);
    ScopedEnv pulse("PULSE_SERVER", server);
    const CommandResult r = run(cli("devices"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const size_t inputs = r.out.find("Audio inputs (");
    ASSERT_NE(inputs, std::string::npos) << r.out;
    const std::string list = r.out.substr(inputs);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(list, m, std::regex("\n  0  ([^ ]+)  @device:[^\n]*"))) << r.out;
    EXPECT_EQ(m[1], "Zzz-Microphone") << r.out;
    EXPECT_NE(m[0].str().find("(default)"), std::string::npos) << r.out;
    EXPECT_NE(list.find("Aaa-Microphone"), std::string::npos) << r.out;
}

// The two-stage recording with --merge: the screen (and the voice, where there is an audio
// input) into the temporary files, then the merge into one XviD + MP3 file with progress
// lines (the fall-back of the live compression).
TEST(Cli, FinalRecordingMergesScreenAndVoiceIntoXvidAndMp3) {
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-final");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/final.avi";
    const CommandResult r = run(cli("record-screen --final --merge --voice --seconds 3 " + out));
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

// The recording compressed while it runs: at the stop only the tail is left, and the file
// goes to its name without a merge. Every stored frame is in it, the voice as long as the
// picture; the temporary files are kept as they were and nothing hidden is left beside them.
TEST(Cli, FinalRecordingIsCompressedWhileRecording) {
    Xvfb x("640x480x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    const std::string dir = scratchDir("cli-live");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/live.avi";
    std::filesystem::remove(out);
    const CommandResult r = run(cli("record-screen --final --voice --seconds 3 " + out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("compressed while recording into " + out), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("compressing data..."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("s after the stop"), std::string::npos) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("frames=(\\d+) skipped=(\\d+)")));
    const int positions = std::stoi(m[1]) + std::stoi(m[2]);
    const auto video = expectVideoStream(out, {"mpeg4", "XVID", "10/1", 640, 480});
    EXPECT_EQ(std::stoi(video.at("nb_read_packets")), positions);
    const auto [videoSeconds, voiceSeconds] = streamDurations(out);
    EXPECT_NEAR(videoSeconds, positions / 10.0, 0.01);
    if (run("pactl info").exitCode == 0) {
        EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
        EXPECT_NEAR(voiceSeconds, videoSeconds, 0.15) << r.err;
    }
    EXPECT_EQ(decodeAll(out).exitCode, 0);
    const std::string own = dir + "/tovamix-" + std::to_string(geteuid());
    EXPECT_TRUE(fileExists(own + "/VideoTemp.avi"));
    for (const auto& e : std::filesystem::directory_iterator(own))
        EXPECT_NE(e.path().filename().string().rfind(".Live", 0), 0u) << e.path();
}

// Two recordings at once share the folder of temporary recordings: the second one is refused
// at once with exit code 2, naming the first one's process, and the first one ends whole.
TEST(Cli, ASecondRecordingAtOnceIsRefused) {
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    std::filesystem::remove_all(scratchDir("cli-two-at-once")); // no earlier run's manifest
    const std::string dir = scratchDir("cli-two-at-once");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string pid = run(cli("record-screen --final --seconds 4 " + dir + "/first.avi") +
                                " >'" + dir + "/first.out' 2>&1 & echo $!")
                                .out;
    const std::string own = dir + "/tovamix-" + std::to_string(geteuid());
    for (int i = 0; i < 100 && !fileExists(own + "/Recording.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // until it has begun
    const CommandResult second =
        run(cli("record-screen --final --seconds 1 " + dir + "/second.avi"));
    EXPECT_EQ(second.exitCode, 2) << second.err;
    EXPECT_NE(second.err.find("another recording is running (process " +
                              pid.substr(0, pid.find('\n')) + ")"),
              std::string::npos)
        << second.err;
    EXPECT_FALSE(fileExists(dir + "/second.avi"));
    run("while kill -0 " + pid.substr(0, pid.find('\n')) + " 2>/dev/null; do sleep 0.1; done");
    EXPECT_EQ(decodeAll(dir + "/first.avi").exitCode, 0);
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
// Records 6 s of the screen with the voice of a microphone that is suspended (delivers nothing
// more) `suspendAfter` seconds after the program started (0: before it starts), and checks that
// the program still ends soon after the recording, with a whole file whose voice is padded
// with silence, and says which device fell silent.
void recordWithASuspendedMicrophone(double suspendAfter) {
    SCOPED_TRACE("suspended after " + std::to_string(suspendAfter) + " s");
    LaggingMicrophone mic(0.05); // a steady microphone
    ASSERT_TRUE(mic.ok());
    Xvfb x("320x240x24");
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display());
    ScopedEnv server("PULSE_SERVER", mic.server());
    const std::string dir = scratchDir("cli-suspended-voice");
    ScopedEnv tmp("TMPDIR", dir);
    const std::string out = dir + "/suspended.avi";
    const std::string suspend =
        "PULSE_SERVER=" + mic.server() + " pactl suspend-source burst_mic 1";
    if (suspendAfter == 0) {
        ASSERT_EQ(run(suspend).exitCode, 0);
    }
    std::thread later;
    if (suspendAfter > 0) {
        later = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(suspendAfter));
            run(suspend);
        });
    }
    const auto started = std::chrono::steady_clock::now();
    // A stop that waited on the device would hang: the command is ended after 60 s.
    const CommandResult r =
        run("timeout -s KILL 60 " + cli("record-screen --final --voice --seconds 6 " + out));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (later.joinable()) later.join();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("seconds=(\\d+\\.\\d+)"))) << r.out;
    // Start-up, the recording, at most 5 s for the stop, and the merge of 6 s.
    EXPECT_LT(took, std::stod(m[1]) + 15.0 * timeScale()) << r.err;
    EXPECT_NE(r.err.find("the sound device \"" + std::string(LaggingMicrophone::Name) +
                         "\" delivered nothing after"),
              std::string::npos)
        << r.err;
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    const auto [videoSeconds, mp3] = streamDurations(out);
    EXPECT_NEAR(videoSeconds, 6.0, 0.5);
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
    EXPECT_NEAR(mp3, videoSeconds, 0.2) << r.err;
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}
} // namespace

// A microphone that stops delivering mid-recording (suspended, unplugged): the stop does not
// wait on it; the voice is silence from there. One suspended before the start: the recording
// still ends, its voice all silence.
TEST(CliVoice, SuspendedMicrophoneNeverHoldsTheStop) {
    recordWithASuspendedMicrophone(3.0);
    recordWithASuspendedMicrophone(0);
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
    // Most of it is the sound recorded: the voice reaches the disk at least every half second,
    // so only that, what the device had not delivered at the kill (its 100 ms pieces) and the
    // picture being grabbed is silence.
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("recovered (\\d+\\.\\d+) s of voice")))
        << r.err;
    EXPECT_GT(std::stod(m[1]), videoSeconds - 0.6) << r.err;
    EXPECT_EQ(decodeAll(out).exitCode, 0);

    // An output over a file the recovery reads is refused, the recording kept.
    const CommandResult over = run(cli("recover " + own + "/VideoTemp.avi"));
    EXPECT_EQ(over.exitCode, 2) << over.err;
    EXPECT_EQ(videoChunksBegun(own + "/VideoTemp.avi"), grabbed);

    // The voice file of an earlier recording is never joined to a newer one: a recording
    // without voice after the killed one leaves the killed one's voice file, and recover says
    // whose it is.
    ASSERT_EQ(run(cli("record-screen --final --seconds 1 " + dir + "/silent.avi")).exitCode, 0);
    EXPECT_TRUE(fileExists(own + "/AudioTemp.avi"));
    const std::string newer = dir + "/newer.avi";
    const CommandResult other = run(cli("recover --voice " + newer));
    ASSERT_EQ(other.exitCode, 0) << other.err;
    EXPECT_NE(other.err.find("made without voice"), std::string::npos) << other.err;
    EXPECT_NE(other.err.find("the last recording was started at"), std::string::npos) << other.err;
    EXPECT_TRUE(probeStream(newer, "a:0").empty());

    // A video file without any picture (its header only) is refused at once.
    {
        std::ifstream in(own + "/VideoTemp.avi", std::ios::binary);
        std::string head(1 << 16, '\0');
        in.read(head.data(), std::streamsize(head.size()));
        head.resize(size_t(in.gcount()));
        const size_t movi = head.find("movi");
        ASSERT_NE(movi, std::string::npos);
        std::ofstream(own + "/VideoTemp.avi", std::ios::binary | std::ios::trunc)
            << head.substr(0, movi + 4);
    }
    const auto began = std::chrono::steady_clock::now();
    const CommandResult headerOnly = run(cli("recover " + dir + "/empty.avi"));
    EXPECT_EQ(headerOnly.exitCode, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_NE(headerOnly.err.find("cannot recover the video"), std::string::npos) << headerOnly.err;
    EXPECT_EQ(headerOnly.err.find("CRITICAL"), std::string::npos) << headerOnly.err;
    EXPECT_FALSE(fileExists(dir + "/empty.avi"));

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
