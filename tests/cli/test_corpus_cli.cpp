// Broken files that once crashed or stalled tovamix-cli, each made again by the corpus
// generator from its name (FIXTURE--MUTATION.EXT) and sent through the job that failed on it.
// The rule is the corpus's: no signal, an end well within 20 s, and either a result ffprobe
// reads or exit code 1 or 2 with the reason on standard error.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace testsupport;

namespace {

std::string cli(const std::string& args) {
    // A run past 30 s is killed: its exit code is then none of 0, 1 and 2.
    return "timeout -s KILL 30 " + std::string(TOVAMIX_CLI) + " " + args;
}

// The corpus file of that name, made (with its fixture) under the test area once.
std::string corpusFile(const std::string& name) {
    const std::string out = scratchDir("corpus");
    return sharedFile(
               "corpus", name + ".made",
               [&](const std::string& marker) {
                   return "python3 '" CORPUS_PY "' make --cli '" TOVAMIX_CLI "' --out '" + out +
                          "' '" + name + "' > '" + marker + "'";
               }).empty()
               ? std::string()
               : out + "/files/" + name;
}

struct Timed {
    CommandResult r;
    double seconds = 0;
};

Timed timed(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    Timed t;
    t.r = run(command);
    t.seconds = milliseconds(std::chrono::steady_clock::now() - start) / 1000;
    return t;
}

bool readable(const std::string& path) {
    return run("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + path + "'")
               .out.find_first_not_of(" \n") != std::string::npos;
}

} // namespace

// The video renderer that a sound-only file leaves unconnected held up the end of the stream:
// play waited out its whole time limit and reported the file as not played.
TEST(CorpusCli, SoundOnlyFilesPlayToTheirEnd) {
    for (const std::string name : {"ff-pcm--trunc-15460.wav", "ff-mp3--trunc-3562.mp3"}) {
        const std::string file = corpusFile(name);
        ASSERT_FALSE(file.empty()) << name;
        const Timed t = timed(cli("play '" + file + "'"));
        EXPECT_EQ(t.r.exitCode, 0) << name << ": " << t.r.err;
        EXPECT_NE(t.r.out.find("complete=1"), std::string::npos) << name << ": " << t.r.out;
        EXPECT_LT(t.seconds, 10) << name;
    }
}

// A stream scale of 2^31 - 1 gave libxvidcore a frame time it overflowed on (SIGFPE).
TEST(CorpusCli, AbsurdFrameTimeConvertsInsteadOfCrashing) {
    for (const std::string name :
         {"ff-mpeg4-pcm--strh0-Scale-ffffffff.avi", "ff-mjpeg-mp3--strh0-Scale-ffffffff.avi"}) {
        const std::string file = corpusFile(name);
        ASSERT_FALSE(file.empty()) << name;
        const std::string out = scratchDir("corpus-out") + "/scale.avi";
        const Timed t = timed(cli("convert '" + file + "' --size 64x48 '" + out + "'"));
        ASSERT_TRUE(t.r.exitCode == 0 || t.r.exitCode == 1) << name << ": " << t.r.exitCode;
        if (t.r.exitCode == 0) {
            EXPECT_TRUE(readable(out)) << name;
        } else {
            EXPECT_FALSE(t.r.err.empty()) << name;
        }
    }
}

// A sample rate of 2^31 - 1 made the resampler ask for 266 GB, and GLib ended the program on
// the failed allocation; no channels, or a rate past any sound's, is refused before decoding.
TEST(CorpusCli, ImpossibleSoundFormatIsRefused) {
    for (const std::string name :
         {"ff-pcm--fmt-nSamplesPerSec-7fffffff.wav", "ff-mpeg4-pcm--strf1-nChannels-zero.avi"}) {
        const std::string file = corpusFile(name);
        ASSERT_FALSE(file.empty()) << name;
        const std::string out = scratchDir("corpus-out") + "/sound.avi";
        const Timed t = timed(cli("convert '" + file + "' --size 64x48 '" + out + "'"));
        EXPECT_EQ(t.r.exitCode, 1) << name << ": " << t.r.err;
        EXPECT_NE(t.r.err.find("Cannot read"), std::string::npos) << name << ": " << t.r.err;
        EXPECT_LT(t.seconds, 5) << name;
    }
}

// An AVI cut inside its header list: the demuxer at times never reported it, and the job
// waited out the 20 s preroll. Refused at once, every time.
TEST(CorpusCli, AviCutInItsHeaderListIsRefusedAtOnce) {
    const std::string file = corpusFile("ff-mpeg4-pcm--trunc-512.avi");
    ASSERT_FALSE(file.empty());
    const std::string out = scratchDir("corpus-out") + "/cut.bmp";
    for (int i = 0; i < 8; ++i) {
        const Timed t = timed(cli("grab-frame '" + file + "' --at 0 '" + out + "'"));
        EXPECT_EQ(t.r.exitCode, 2) << "try " << i << ": " << t.r.err;
        EXPECT_NE(t.r.err.find("cannot play"), std::string::npos) << t.r.err;
        EXPECT_LT(t.seconds, 5) << "try " << i;
    }
}

// Streams GStreamer stalls on: the conversion waited for ever and play for its whole limit.
// Both now stop once the position stands still, and say so.
TEST(CorpusCli, StalledStreamsEndWithAReason) {
    const std::string stalledConvert = corpusFile("ff-mjpeg-mp3--trunc-10242.avi");
    ASSERT_FALSE(stalledConvert.empty());
    const std::string out = scratchDir("corpus-out") + "/stalled.avi";
    const Timed c = timed(cli("convert '" + stalledConvert + "' --size 64x48 '" + out + "'"));
    EXPECT_TRUE(c.r.exitCode == 0 || c.r.exitCode == 1) << c.r.exitCode << ": " << c.r.err;
    if (c.r.exitCode == 1) {
        EXPECT_NE(c.r.err.find("made no progress"), std::string::npos) << c.r.err;
    }
    EXPECT_LT(c.seconds, 18);

    const std::string stalledPlay = corpusFile("ours-convert--strh1-Rate-zero.avi");
    ASSERT_FALSE(stalledPlay.empty());
    const Timed p = timed(cli("play '" + stalledPlay + "'"));
    EXPECT_TRUE(p.r.exitCode == 0 || p.r.exitCode == 1) << p.r.exitCode << ": " << p.r.err;
    if (p.r.exitCode == 1) {
        EXPECT_NE(p.r.err.find("stopped moving"), std::string::npos) << p.r.err;
    }
    EXPECT_LT(p.seconds, 18);
}

// A damaged index or sound header made these files claim 17 to 35 hours where they hold under
// a second, and the conversion repeated the last picture for all of them: tens of thousands
// of seconds written before the corpus's 20 s ran out. The pictures the file holds are
// converted, and the copy ends about where they do.
TEST(CorpusCli, HeadersClaimingHoursConvertWhatTheFileHolds) {
    for (const std::string name :
         {"ours-convert--flip-idx1-7.avi", "ours-convert--flip-strh1-1.avi",
          "ff-mjpeg-mp3--strh1-Scale-ffffffff.avi"}) {
        const std::string file = corpusFile(name);
        ASSERT_FALSE(file.empty()) << name;
        const std::string out = scratchDir("corpus-out") + "/hours.avi";
        const Timed t = timed(cli("convert '" + file + "' --size 64x48 '" + out + "'"));
        ASSERT_EQ(t.r.exitCode, 0) << name << ": " << t.r.err;
        EXPECT_LT(t.seconds, 10) << name;
        const auto video = probeVideo(out);
        const double seconds = numberField(video, "duration");
        EXPECT_GT(seconds, 0.5) << name;
        EXPECT_LT(seconds, 3) << name;
        EXPECT_GE(numberField(video, "nb_read_frames"), 6) << name;
    }
}

// An X display that does not answer (a server resetting as its last client left) ended the
// program through the toolkit's abort; it is a bad use with the reason.
TEST(CorpusCli, UnreachableDisplayIsABadUse) {
    const std::string file = corpusFile("ff-pcm--trunc-15460.wav");
    ASSERT_FALSE(file.empty());
    const CommandResult r = run("DISPLAY=:987 " + cli("play '" + file + "'"));
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("play needs an X display"), std::string::npos) << r.err;
}
