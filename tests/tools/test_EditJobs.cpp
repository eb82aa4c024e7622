// The editing jobs as their windows use them: a second start while a job runs does nothing,
// closing is refused while a graph runs (split: also between its two completions), the
// progress moves, and a second link measures the files named now.
#include "tools/EditJobs.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace testsupport;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test_EditJobs";
    static char* argv[] = {name, nullptr};
    static QCoreApplication a(argc, argv);
    return a;
}

std::string clip(const std::string& name, const std::string& args) {
    return sharedClip("edit-jobs", name, args);
}

// Runs Qt's events until done() holds or the deadline passes.
bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace

// While the merge waits in its loop, a second Merge does nothing and the window may not close;
// the bar follows the data to the end.
TEST(MergeJob, ASecondMergeWhileRunningDoesNothing) {
    app();
    const std::string video = clip("v20.avi", "-f lavfi -i testsrc=size=640x480:rate=25 -t 20 "
                                              "-c:v mpeg4 -vtag XVID -q:v 2");
    const std::string audio = clip("t20.mp3", "-f lavfi -i sine=r=44100 -t 20 -c:a libmp3lame");
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string dir = scratchDir("edit-jobs-merge");
    tools::MergeJob job;
    tools::JobResult second{tools::Outcome::Done, {}};
    bool closable = true;
    int64_t last = 0, length = 0;
    player::TRenderHooks hooks;
    hooks.progress = [&](int64_t position, int64_t duration) {
        last = position;
        length = duration;
    };
    hooks.processEvents = [&] {
        QCoreApplication::processEvents();
        closable = closable && job.closable();
        if (second.outcome == tools::Outcome::Done)
            second = job.merge(audio, video, dir + "/other.avi", {});
    };
    const tools::JobResult r = job.merge(audio, video, dir + "/out.avi", hooks);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(second.outcome, tools::Outcome::Busy);
    EXPECT_FALSE(closable);
    EXPECT_TRUE(job.closable());
    EXPECT_FALSE(fileExists(dir + "/other.avi"));
    EXPECT_NEAR(double(length) / 1e7, 20.0, 0.1);
    EXPECT_EQ(player::progressValue(last, length, 1000), 1000);
}

// The sound ends 3 s before the picture: the audio graph completes first, and the window may
// not close until the video graph has too; the message's caption is then "info".
TEST(SplitJob, CloseIsRefusedBetweenTheTwoCompletions) {
    app();
    const std::string in = clip("early.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi "
                                             "-i sine=r=44100:d=2 -t 5 -c:v mpeg4 -vtag XVID "
                                             "-c:a libmp3lame");
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir("edit-jobs-split");
    tools::SplitJob job;
    std::string caption;
    bool closableBetween = true, sawBetween = false;
    job.onComplete = [&](const std::string& c) { caption = c; };
    job.onFailed = [&](const std::string& why) { ADD_FAILURE() << why; };
    ASSERT_TRUE(job.start(in, dir + "/a.avi", dir + "/v.avi").ok());
    EXPECT_EQ(job.start(in, dir + "/a2.avi", dir + "/v2.avi").outcome, tools::Outcome::Busy);
    EXPECT_FALSE(job.closable());
    ASSERT_TRUE(runUntil(
        [&] {
            if (job.AudioDone != job.VideoDone) {
                sawBetween = true;
                closableBetween = closableBetween && job.closable();
            }
            return !caption.empty();
        },
        std::chrono::seconds(60)));
    EXPECT_TRUE(job.closable());
    EXPECT_TRUE(job.AudioDone && job.VideoDone);
    if (sawBetween) {
        EXPECT_FALSE(closableBetween);
    }
    EXPECT_EQ(caption, "info");
    EXPECT_FALSE(fileExists(dir + "/a2.avi") || fileExists(dir + "/v2.avi"));
    EXPECT_EQ(decodeAll(dir + "/a.avi").err, "");
    EXPECT_EQ(decodeAll(dir + "/v.avi").err, "");
}

// A second link in the same window measures the files named now.
TEST(LinkJob, ASecondLinkUsesTheNewFilesLengths) {
    app();
    auto make = [](const char* name, int seconds) {
        return clip(name, "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 -t " +
                              std::to_string(seconds) + " -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    };
    const std::string one = make("one.avi", 1), two = make("two.avi", 2),
                      three = make("three.avi", 3);
    ASSERT_FALSE(one.empty() || two.empty() || three.empty());
    const std::string dir = scratchDir("edit-jobs-link");
    tools::LinkJob job;
    player::TRenderHooks hooks;
    hooks.processEvents = [] { QCoreApplication::processEvents(); };
    ASSERT_TRUE(job.link(one, two, dir + "/a.avi", hooks).ok());
    EXPECT_NEAR(double(job.d1 + job.d2) / 1e7, 3.0, 0.05);
    ASSERT_TRUE(job.link(three, two, dir + "/b.avi", hooks).ok());
    EXPECT_NEAR(double(job.d1) / 1e7, 3.0, 0.05);
    EXPECT_NEAR(double(job.d2) / 1e7, 2.0, 0.05);
    EXPECT_NEAR(std::atof(probeStream(dir + "/b.avi", "v:0").at("duration").c_str()), 5.0, 0.04);
}

// A merge whose file cannot be made once it runs (its folder went away) fails with the reason,
// not "Marge complete".
TEST(MergeJob, AnErrorWhileRunningIsAFailureWithItsReason) {
    app();
    const std::string video = clip("v2.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -t 2 "
                                             "-c:v mpeg4 -vtag XVID");
    const std::string audio = clip("t2.mp3", "-f lavfi -i sine=r=44100 -t 2 -c:a libmp3lame");
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string dir = scratchDir("edit-jobs-gone") + "/sub";
    std::filesystem::create_directories(dir);
    tools::MergeJob job;
    player::TRenderHooks hooks;
    hooks.started = [&](int64_t) { std::filesystem::remove_all(dir); };
    hooks.processEvents = [] { QCoreApplication::processEvents(); };
    const tools::JobResult r = job.merge(audio, video, dir + "/out.avi", hooks);
    EXPECT_EQ(r.outcome, tools::Outcome::Failed);
    EXPECT_NE(r.error.find(dir + "/out.avi"), std::string::npos) << r.error;
    EXPECT_TRUE(job.closable());
}
