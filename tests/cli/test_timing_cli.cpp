// Every job on the file's own time line, to the picture: clips whose pictures carry their frame
// number, in containers whose streams start at zero (MP4) and well after it (MPEG program and
// system streams at about 0.53 s, MPEG transport streams at about 1.4 s, as ffmpeg writes
// them).
// A cut from A to B holds exactly the source pictures that start in [A, B); a grab or a
// snapshot at a moment shows the picture whose time span holds it and says that picture's
// start; a conversion keeps every picture once, its length, and its sound in step.
#include "CliCommand.h"
#include "support/Markers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

const std::string Dir = "cli-timing";

struct Form {
    std::string name;   // the test's name
    std::string file;   // the clip's file name
    std::string codecs; // ffmpeg's options
};

void PrintTo(const Form& form, std::ostream* os) {
    *os << form.file;
}

// ffmpeg's MPEG-2 encoder, left to choose picture types at scene changes (the flashes), writes
// a program stream whose stamps contradict its pictures' order, so that ffmpeg's own reader
// puts two pictures at one time: the stream is made as a DVD's is, with a fixed group of
// pictures.
const Form Forms[] = {
    {"Mp4", "timing.mp4", "-c:v libx264 -pix_fmt yuv420p -c:a aac"},
    {"MpegProgramStream", "timing.mpg",
     "-c:v mpeg2video -bf 2 -g 12 -sc_threshold 1000000000 -c:a mp2 -f vob"},
    {"MpegTransportStream", "timing.ts", "-c:v libx264 -pix_fmt yuv420p -c:a aac -f mpegts"},
    // Readers that estimate the length from the stamps they meet first and last: GStreamer's
    // leaves out the MPEG-1 system stream's last picture, and runs two pictures past the end
    // of an MPEG-2 transport stream.
    {"MpegSystemStream", "timing-mpeg1.mpg", "-c:v mpeg1video -c:a mp2 -f mpeg"},
    {"Mpeg2TransportStream", "timing-mpeg2.ts", "-c:v mpeg2video -c:a mp2 -f mpegts"},
};

// The numbers of the source pictures that start in [from, to), on the file's own time line.
std::vector<int> startingIn(const std::vector<NumberedFrame>& source, double from, double to) {
    std::vector<int> numbers;
    for (const NumberedFrame& f : source)
        if (f.time >= from - 0.001 && f.time < to - 0.001) numbers.push_back(f.number);
    return numbers;
}

// The source picture whose time span holds the moment.
NumberedFrame holding(const std::vector<NumberedFrame>& source, double at) {
    NumberedFrame best;
    for (const NumberedFrame& f : source)
        if (f.time <= at + 0.001 && (best.number < 0 || f.time > best.time)) best = f;
    return best;
}

std::string listed(const std::vector<int>& numbers) {
    std::string text;
    for (int n : numbers)
        text += (text.empty() ? "" : " ") + std::to_string(n);
    return text;
}

class FileZero : public ::testing::TestWithParam<Form> {
  protected:
    void SetUp() override {
        MarkerClipForm form{GetParam().file, GetParam().codecs};
        form.seconds = 6;
        source_ = markerClip(Dir, form);
        ASSERT_FALSE(source_.empty());
        frames_ = readFrameNumbers(source_);
        ASSERT_EQ(frames_.size(), 150u) << numbersText(frames_);
        out_ = scratchDir(Dir + "-" + GetParam().name);
    }
    std::string source_, out_;
    std::vector<NumberedFrame> frames_;
};

// On frame boundaries, in the middle of a frame, one frame, less than a second: the cut holds
// the pictures that start in the stretch, each once, in order, and its sound keeps its length.
TEST_P(FileZero, ACutHoldsExactlyThePicturesThatStartInItsStretch) {
    const struct { double from, to; } stretches[] = {{2, 5}, {2.02, 3.5}, {2, 2.04}, {1.3, 1.9}};
    for (const auto& s : stretches) {
        SCOPED_TRACE(std::to_string(s.from) + " to " + std::to_string(s.to));
        const std::string out = out_ + "/cut.avi";
        const CommandResult r = run("timeout -s KILL 60 " +
                                    cli("cut '" + source_ + "' '" + out + "' --from " +
                                        std::to_string(s.from) + " --to " + std::to_string(s.to)));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<int> expected = startingIn(frames_, s.from, s.to);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(listed(numbersOf(readFrameNumbers(out))), listed(expected));
        const auto [video, sound] = streamDurations(out);
        EXPECT_NEAR(video, double(expected.size()) / 25, 0.001);
        // The sound lasts as long, plus what the MP3 encoder adds at its end (under two
        // frames of 26 ms).
        EXPECT_GT(sound, video - 0.02);
        EXPECT_LT(sound, video + 0.06);
    }
}

// A grab and a snapshot show the picture whose time span holds the moment; the grab says that
// picture's start.
TEST_P(FileZero, AGrabShowsThePictureThatHoldsTheMomentAndSaysItsStart) {
    for (double at : {0.5, 2.0, 3.3}) {
        SCOPED_TRACE(at);
        const NumberedFrame expected = holding(frames_, at);
        const std::string bmp = out_ + "/grab.bmp";
        const CommandResult r =
            run("timeout -s KILL 60 " +
                cli("grab-frame '" + source_ + "' '" + bmp + "' --at " + std::to_string(at)));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<NumberedFrame> grabbed = readFrameNumbers(bmp);
        ASSERT_EQ(grabbed.size(), 1u);
        EXPECT_EQ(grabbed[0].number, expected.number);
        EXPECT_NEAR(std::atof(summaryValue(r.out, "position").c_str()), expected.time, 0.002)
            << r.out;
    }
    const std::string shotFile = out_ + "/snap.bmp";
    const CommandResult r =
        run("timeout -s KILL 60 " + cli("snapshot '" + source_ + "' '" + shotFile + "' --at 3.3"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<NumberedFrame> shot = readFrameNumbers(shotFile);
    ASSERT_EQ(shot.size(), 1u);
    EXPECT_EQ(shot[0].number, holding(frames_, 3.3).number);
}

// The whole file from its own zero: every picture once, the length of the file, the flashes
// where the source has them (not moved by the container's start) with their beeps.
TEST_P(FileZero, AConversionKeepsEveryPictureItsLengthAndItsSoundInStep) {
    const std::string out = out_ + "/whole.avi";
    const CommandResult r =
        run("timeout -s KILL 60 " + cli("convert '" + source_ + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<NumberedFrame> got = readFrameNumbers(out);
    EXPECT_EQ(listed(numbersOf(got)), listed(numbersOf(frames_)));
    const auto [video, sound] = streamDurations(out);
    EXPECT_NEAR(video, 6.0, 0.041);
    EXPECT_NEAR(sound, 6.0, 0.07);
    const Marks marks = readMarks(out);
    ASSERT_EQ(marks.flashes.size(), 5u);
    for (size_t i = 0; i < marks.flashes.size(); ++i)
        EXPECT_NEAR(marks.flashes[i], double(i + 1), 0.041);
    // The MP3 encoder's constant delay (1,105 samples at 44.1 kHz) puts each beep 25 ms late.
    for (double offset : beepOffsets(marks))
        EXPECT_NEAR(offset, 0.025, 0.04);
    EXPECT_EQ(decodeAll(out).err, "");
}

// The file lasts as long as its pictures, as the conversion above and the information agree.
TEST_P(FileZero, TheInformationGivesTheFilesWholeLength) {
    const CommandResult r = run("timeout -s KILL 30 " + cli("info '" + source_ + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Duration : 00:06"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Forms, FileZero, ::testing::ValuesIn(Forms),
                         [](const ::testing::TestParamInfo<Form>& info) {
                             return info.param.name;
                         });

} // namespace
