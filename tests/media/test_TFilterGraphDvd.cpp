// The graph component in its DVD mode over the test discs: events, menu buttons, chapters,
// 8x both ways and bookmarks.
#include "media/TFilterGraph.h"
#include "platform/storage/CompoundFile.h"
#include "support/DvdFixture.h"
#include "support/QtEnvironment.h"

#include <QCoreApplication>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <chrono>
#include <limits>
#include <sys/stat.h>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("800x600x24"));

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Seconds into the title, from the navigator's place; -1 outside a title.
double seconds(const DVD_PLAYBACK_LOCATION2& l) {
    return l.TitleNum == 0 ? -1
                           : l.TimeCode.bHours * 3600.0 + l.TimeCode.bMinutes * 60.0 +
                                 l.TimeCode.bSeconds + l.TimeCode.bFrames / 25.0;
}

// A DVD graph component playing a volume, with every event it raises kept.
struct DvdPlayer {
    TFilterGraph graph;
    std::vector<std::pair<long, intptr_t>> events; // code, param1
    int title = 0, chapter = 0;
    std::array<uint8_t, 4> hmsf{};
    bool offThread = false;

    DvdPlayer() {
        graph.setMode(gmDVD);
        graph.OnDSEvent = [this](TFilterGraph*, long e, intptr_t p1, intptr_t) {
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                offThread = true;
            events.emplace_back(e, p1);
        };
        graph.OnDVDTitleChange = [this](TFilterGraph*, int t) { title = t; };
        graph.OnDVDChapterStart = [this](TFilterGraph*, int c) { chapter = c; };
        graph.OnDVDCurrentHMSFTime = [this](TFilterGraph*, std::array<uint8_t, 4> t, TDVDTimeCode) {
            hmsf = t;
        };
    }
    HRESULT render(const std::string& path, AM_DVD_RENDERSTATUS* status = nullptr) {
        graph.setActive(true);
        AM_DVD_RENDERSTATUS st;
        const HRESULT h = graph.RenderDvd(&st, path, AM_DVD_HWDEC_PREFER);
        if (status) *status = st;
        return h;
    }
    void start(const std::string& path) {
        AM_DVD_RENDERSTATUS st;
        ASSERT_EQ(render(path, &st), S_OK)
            << st.iNumStreamsFailed << " of " << st.iNumStreams << " streams failed, flags "
            << st.dwFailedStreamsFlag << (st.bDvdVolInvalid ? ", volume invalid" : "");
        ASSERT_TRUE(graph.Play());
    }
    std::shared_ptr<IDvdControl2> control() { return graph.query<IDvdControl2>(); }
    DVD_PLAYBACK_LOCATION2 where() {
        DVD_PLAYBACK_LOCATION2 l;
        auto info = graph.query<IDvdInfo2>();
        if (!info || info->GetCurrentLocation(&l) != S_OK) l = {};
        return l;
    }
    bool seen(long code, intptr_t p1) {
        return std::find(events.begin(), events.end(), std::make_pair(code, p1)) != events.end();
    }
    // Plays title t from its start and waits for it.
    void playTitle(int t) {
        ASSERT_EQ(control()->PlayTitle(unsigned(t), 0, nullptr), S_OK);
        ASSERT_TRUE(waitFor([&] { return int(where().TitleNum) == t && title == t; }, 10s));
    }
};

const DvdVolumes& volumes() {
    const DvdVolumes& v = dvdVolumes();
    EXPECT_TRUE(v.ok()) << "the test discs could not be made";
    return v;
}

std::string scratchFile(const std::string& name) {
    return scratchDir("dvd-bookmarks") + "/" + name + std::to_string(getpid());
}

} // namespace

TEST(DvdGraph, EventsReachTheHandlersOnTheUiThreadAndButtonTwoPlaysTitleTwo) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    DvdPlayer p;
    p.start(volumes().disc1);
    // First play shows the menu: the domain of a title set's menu.
    ASSERT_TRUE(
        waitFor([&] { return p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_VideoTitleSetMenu); }, 10s));
    // Commands of a title are refused in the menu, and change nothing.
    EXPECT_EQ(p.control()->PlayNextChapter(0, nullptr), VFW_E_DVD_INVALIDDOMAIN);
    EXPECT_EQ(p.control()->PlayForwards(8.0, 0, nullptr), VFW_E_DVD_INVALIDDOMAIN);
    DvdStatePtr state;
    EXPECT_EQ(p.graph.query<IDvdInfo2>()->GetState(&state), VFW_E_DVD_INVALIDDOMAIN);

    // Button 2 lies at (416,196)-(624,304) of the picture.
    EXPECT_EQ(p.control()->SelectAtPosition(520, 250), S_OK);
    EXPECT_EQ(p.control()->ActivateAtPosition(520, 250), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.title == 2 && p.hmsf[2] >= 1; }, 10s));
    EXPECT_TRUE(p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_Title));
    EXPECT_TRUE(p.seen(EC_DVD_TITLE_CHANGE, 2));
    EXPECT_TRUE(p.seen(EC_DVD_CHAPTER_START, 1));
    EXPECT_EQ(p.chapter, 1);
    EXPECT_FALSE(p.offThread);
    // The time events carry the 25 fps flag, once per new second.
    int timeEvents = 0;
    for (const auto& e : p.events)
        if (e.first == EC_DVD_CURRENT_HMSF_TIME) ++timeEvents;
    EXPECT_GE(timeEvents, 2);
    // Title 2 is mostly blue, title 1 mostly red: the navigator's own place agrees.
    EXPECT_EQ(p.where().TitleNum, 2u);
    // The root menu brings the menu back; a title can be played from its still picture.
    EXPECT_EQ(p.control()->ShowMenu(DVD_MENU_Root, 0, nullptr), S_OK);
    EXPECT_TRUE(waitFor([&] { return p.where().TitleNum == 0; }, 10s));
    pump(1500);
    DvdCmdPtr cmd;
    ASSERT_EQ(p.control()->PlayTitle(1, 0, &cmd), S_OK);
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->WaitForEnd(), S_OK);
    EXPECT_TRUE(waitFor([&] { return p.title == 1 && seconds(p.where()) >= 1; }, 10s));
}

TEST(DvdGraph, ButtonsAreFoundThroughTheWindowsScalingAndTheZoom) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    DvdPlayer p;
    p.start(volumes().disc1);
    ASSERT_TRUE(
        waitFor([&] { return p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_VideoTitleSetMenu); }, 10s));
    // The renderer's window is half the picture's size and shows its lower right quarter
    // (a zoom): the window's (160, 106) is the picture's (520, 250), inside button 2; taken
    // as a picture pixel it would fall between the buttons.
    auto window = p.graph.query<IVideoWindow>();
    auto video = p.graph.query<IBasicVideo>();
    ASSERT_TRUE(window && video);
    ASSERT_EQ(window->SetWindowPosition(0, 0, 360, 288), S_OK);
    ASSERT_EQ(video->SetSourcePosition(360, 144, 360, 288), S_OK);
    EXPECT_EQ(p.control()->ActivateAtPosition(160, 106), S_OK);
    EXPECT_TRUE(waitFor([&] { return p.title == 2; }, 10s));
}

TEST(DvdGraph, NextChapterOfTitleOneStartsChapterTwoAtTenSeconds) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(1);
    ASSERT_EQ(p.control()->PlayNextChapter(0, nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.chapter == 2; }, 10s));
    ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 9.5; }, 5s));
    EXPECT_LT(seconds(p.where()), 12.5);
    EXPECT_EQ(p.where().ChapterNum, 2u);
    // The previous chapter goes back to the start of title 1.
    ASSERT_EQ(p.control()->PlayPrevChapter(0, nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.where().ChapterNum == 1 && seconds(p.where()) < 3; }, 10s));
}

// Stop, then Play, plays on from where the title stopped, with its time and events; with
// DVD_ResetOnStop the disc starts anew (its first play: the menu). Twice, so the navigator
// follows the source made anew at each run.
TEST(DvdGraph, StopThenPlayGoesOnFromWhereTheTitleStopped) {
    if (!volumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(2);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 3 + round * 3; }, 10s));
        const double stoppedAt = seconds(p.where());
        ASSERT_TRUE(p.graph.Stop());
        pump(500);
        p.events.clear();
        p.hmsf = {};
        ASSERT_TRUE(p.graph.Play());
        ASSERT_TRUE(waitFor(
            [&] { return p.where().TitleNum == 2 && seconds(p.where()) >= stoppedAt; }, 10s))
            << "round " << round << ": title " << p.where().TitleNum << " at "
            << seconds(p.where());
        EXPECT_LT(seconds(p.where()), stoppedAt + 2.5) << "round " << round;
        // Time events come again, and the chapter commands work.
        ASSERT_TRUE(waitFor([&] { return p.hmsf[2] > 0; }, 5s)) << "round " << round;
    }
    ASSERT_EQ(p.control()->PlayPrevChapter(0, nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.where().ChapterNum == 1 && seconds(p.where()) < 3; }, 10s));
    // Reset on stop: the disc plays from its start, the menu.
    ASSERT_EQ(p.control()->SetOption(DVD_ResetOnStop, true), S_OK);
    ASSERT_TRUE(p.graph.Stop());
    p.events.clear();
    ASSERT_TRUE(p.graph.Play());
    ASSERT_TRUE(
        waitFor([&] { return p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_VideoTitleSetMenu); }, 10s));
    pump(1000);
    EXPECT_EQ(p.where().TitleNum, 0u);
    p.playTitle(1);
}

// "Play all": title 1 goes on into title 2 by its last commands, without a jump of the
// pictures. Title 2's time starts at 0 when its pictures start (after title 1's 6 s), not
// where title 1's count had got to, and each chapter is the one of the picture's time. The
// disc's sound does not decode here (MP2 that rsndvdbin finds no decoder for): the pictures
// play all the same. (dvdauthor puts title 1's second chapter on the picture group before 3 s:
// 2.8 s.)
TEST(DvdGraph, ATitleReachedSeamlesslyCountsItsTimeFromItsOwnStart) {
    if (!volumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    DvdPlayer p;
    p.start(volumes().disc3);
    const auto started = std::chrono::steady_clock::now();
    struct Sample {
        double wall, time;
        unsigned title, chapter;
    };
    std::vector<Sample> samples;
    ASSERT_TRUE(waitFor(
        [&] {
            const DVD_PLAYBACK_LOCATION2 l = p.where();
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (l.TitleNum > 0)
                samples.push_back({wall, seconds(l), unsigned(l.TitleNum), unsigned(l.ChapterNum)});
            return l.TitleNum == 2 && seconds(l) >= 5;
        },
        20s));
    double lastOfOne = -1, firstOfTwo = -1, wallOfTwo = -1, wallAtOneStart = -1;
    for (const Sample& s : samples) {
        if (s.title == 1) {
            if (wallAtOneStart < 0) wallAtOneStart = s.wall - s.time;
            lastOfOne = s.time;
            EXPECT_EQ(s.chapter, s.time < 2.8 - 0.1   ? 1u
                                 : s.time > 2.8 + 0.1 ? 2u
                                                      : s.chapter)
                << "title 1 at " << s.time;
        } else if (firstOfTwo < 0) {
            firstOfTwo = s.time;
            wallOfTwo = s.wall;
        }
        if (s.title == 2) {
            EXPECT_EQ(s.chapter, s.time < 4 - 0.1   ? 1u
                                 : s.time > 4 + 0.1 ? 2u
                                                    : s.chapter)
                << "title 2 at " << s.time;
        }
    }
    EXPECT_GE(lastOfOne, 5.5) << "title 1 is shown to its end";
    EXPECT_LE(lastOfOne, 6.2);
    EXPECT_GE(firstOfTwo, 0);
    EXPECT_LT(firstOfTwo, 0.5) << "title 2's time starts at its own start";
    // Title 2 comes on the screen when title 1's 6 s have played, not when the source has read
    // it, a second or more before.
    EXPECT_NEAR(wallOfTwo - wallAtOneStart, 6.0, 0.5);
    EXPECT_TRUE(p.seen(EC_DVD_TITLE_CHANGE, 2));
    EXPECT_TRUE(p.seen(EC_DVD_CHAPTER_START, 2));
}

// Next Chapter goes to the chapter after the one on the screen: pressed just before title 1's
// chapter 2 (at 10 s), when the source has already read into it, it plays chapter 2.
TEST(DvdGraph, NextChapterFollowsTheChapterOnTheScreen) {
    if (!volumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(1);
    ASSERT_EQ(p.control()->PlayChapterInTitle(1, 1, 0, nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 9.3; }, 15s));
    EXPECT_EQ(p.where().ChapterNum, 1u) << "at " << seconds(p.where());
    ASSERT_EQ(p.control()->PlayNextChapter(0, nullptr), S_OK);
    pump(1500);
    const double at = seconds(p.where());
    EXPECT_EQ(p.where().ChapterNum, 2u) << "at " << at;
    EXPECT_GE(at, 9.5);
    EXPECT_LT(at, 20) << "chapter 3 starts at 20 s";
}

TEST(DvdGraph, FrameStepPausesAndStepsOnePictureAndOptionsAreKept) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(1);
    ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 1; }, 10s));
    auto step = p.graph.query<IVideoFrameStep>();
    ASSERT_NE(step, nullptr);
    ASSERT_EQ(step->Step(1), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.seen(EC_STEP_COMPLETE, 0); }, 5s));
    EXPECT_EQ(p.graph.State(), 2);
    const double at = seconds(p.where());
    pump(500);
    EXPECT_NEAR(seconds(p.where()), at, 0.1); // paused after the step
    EXPECT_TRUE(p.graph.Play());
    EXPECT_TRUE(waitFor([&] { return seconds(p.where()) > at + 0.5; }, 5s));

    // The options are kept as set (there are no parental levels to notify).
    auto info = p.graph.query<IDvdInfo2>();
    bool on = true;
    EXPECT_EQ(info->GetOption(DVD_NotifyParentalLevelChange, &on), S_OK);
    EXPECT_FALSE(on);
    EXPECT_EQ(p.control()->SetOption(DVD_NotifyParentalLevelChange, true), S_OK);
    EXPECT_EQ(info->GetOption(DVD_NotifyParentalLevelChange, &on), S_OK);
    EXPECT_TRUE(on);
    std::string volume;
    EXPECT_EQ(info->GetDVDDirectory(&volume), S_OK);
    EXPECT_EQ(volume, volumes().disc1);
}

TEST(DvdGraph, EightTimesForwardsThenBackwards) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(1);
    ASSERT_EQ(p.control()->PlayForwards(8.0, 0, nullptr), S_OK);
    runFor(3000); // speeds are measured on the clock
    const double fast = seconds(p.where());
    EXPECT_GE(fast, 18.0);
    EXPECT_LE(fast, 30.0);
    ASSERT_EQ(p.control()->PlayBackwards(8.0, 0, nullptr), S_OK);
    runFor(1500);
    const double back = seconds(p.where());
    EXPECT_LT(back, fast - 6) << "rewind from " << fast;
    // Speed 1.0 ends the scan: the title plays on at its own pace.
    ASSERT_EQ(p.control()->PlayForwards(1.0, 0, nullptr), S_OK);
    const double from = seconds(p.where());
    runFor(1500);
    const double after = seconds(p.where());
    EXPECT_GT(after, from);
    EXPECT_LT(after, from + 3.5);
}

TEST(DvdGraph, BookmarkHoldsOneStreamAndResumesWithinASecond) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const std::string file = scratchFile("resume") + ".bmk";
    double saved = 0;
    {
        DvdPlayer p;
        p.start(volumes().disc1);
        p.playTitle(1);
        ASSERT_EQ(p.control()->PlayNextChapter(0, nullptr), S_OK);
        ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 12; }, 10s));
        saved = seconds(p.where());
        p.graph.DvdSaveBookmark(file);
        EXPECT_EQ(p.where().ChapterNum, 2u);
    }
    const CommandResult list = run("gsf list '" + file + "'");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("BookMark"), std::string::npos) << list.out;
    std::istringstream lines(list.out);
    int streams = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.find("BookMark") != std::string::npos) ++streams;
    EXPECT_EQ(streams, 1) << list.out;

    DvdPlayer p;
    p.start(volumes().disc1);
    // The menu shows a while (its still picture, which a seek alone cannot leave), then the
    // bookmark is restored.
    ASSERT_TRUE(
        waitFor([&] { return p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_VideoTitleSetMenu); }, 10s));
    pump(1500);
    p.graph.DvdRestoreBookmark(file); // waits until the place is reached
    const DVD_PLAYBACK_LOCATION2 at = p.where();
    EXPECT_EQ(at.TitleNum, 1u);
    EXPECT_EQ(at.ChapterNum, 2u);
    // Never before the saved time (the source's seeks land early by themselves); less than a
    // second and a picture group after it (its time map counts whole seconds).
    EXPECT_GE(seconds(at), saved - 0.04);
    EXPECT_LE(seconds(at), saved + 1.4);
}

TEST(DvdGraph, RefusedBookmarksRaiseAndChangeNothing) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const std::string good = scratchFile("disc2") + ".bmk";
    std::string bytes;
    {
        DvdPlayer other;
        other.start(volumes().disc2);
        ASSERT_EQ(other.control()->PlayTitle(1, 0, nullptr), S_OK);
        ASSERT_TRUE(waitFor([&] { return seconds(other.where()) >= 1; }, 10s));
        other.graph.DvdSaveBookmark(good);
        std::string error;
        ASSERT_EQ(platform::storage::readCompoundStream(good, "BookMark", &bytes, &error),
                  platform::storage::ReadStatus::Ok)
            << error;
    }
    // The same stream of another version, one cut short, a file cut short, random bytes.
    std::string otherVersion = bytes;
    otherVersion[4] = 2;
    const std::string versioned = scratchFile("version") + ".bmk";
    ASSERT_EQ(platform::storage::writeCompoundStream(versioned, "BookMark", otherVersion), "");
    const std::string shortStream = scratchFile("short") + ".bmk";
    ASSERT_EQ(platform::storage::writeCompoundStream(shortStream, "BookMark", bytes.substr(0, 20)),
              "");
    const std::string truncated = scratchFile("truncated") + ".bmk";
    writeAll(truncated, readAll(good).substr(0, 700));
    const std::string random = scratchFile("random") + ".bmk";
    std::mt19937 gen(19);
    std::string noise(4096, '\0');
    for (char& c : noise)
        c = char(gen());
    writeAll(random, noise);

    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(2);
    ASSERT_TRUE(waitFor([&] { return seconds(p.where()) >= 1; }, 10s));
    const auto expectRefused = [&](const std::string& file, HRESULT code) {
        const double before = seconds(p.where());
        try {
            p.graph.DvdRestoreBookmark(file);
            ADD_FAILURE() << file << " was taken";
        } catch (const EDirectShowException& e) {
            EXPECT_EQ(e.ErrorCode, code) << file << ": " << e.what();
        }
        const DVD_PLAYBACK_LOCATION2 at = p.where();
        EXPECT_EQ(at.TitleNum, 2u) << file;
        EXPECT_NEAR(seconds(at), before, 1.5) << file;
    };
    expectRefused(good, VFW_E_DVD_STATE_WRONG_DISC);
    expectRefused(versioned, VFW_E_DVD_STATE_CORRUPT);
    expectRefused(shortStream, VFW_E_DVD_STATE_CORRUPT);
    expectRefused(truncated, VFW_E_DVD_STATE_CORRUPT);
    expectRefused(random, VFW_E_DVD_STATE_CORRUPT);
    // A saved time past the title's end, or as large as 64 bits hold (once multiplied into
    // overflow), is no place in the title: refused at once, not sought for seconds.
    const std::string own = scratchFile("own") + ".bmk";
    p.graph.DvdSaveBookmark(own);
    std::string mine;
    ASSERT_EQ(platform::storage::readCompoundStream(own, "BookMark", &mine, nullptr),
              platform::storage::ReadStatus::Ok);
    ASSERT_EQ(mine.size(), 40u);
    for (const int64_t time : {int64_t(3600) * 10000000, std::numeric_limits<int64_t>::max()}) {
        std::string changed = mine;
        for (int i = 0; i < 8; ++i)
            changed[size_t(32 + i)] = char(uint64_t(time) >> (8 * i));
        const std::string file = scratchFile("far") + ".bmk";
        ASSERT_EQ(platform::storage::writeCompoundStream(file, "BookMark", changed), "");
        const auto start = std::chrono::steady_clock::now();
        expectRefused(file, VFW_E_DVD_STATE_CORRUPT);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << time;
    }
    // A pipe is refused before it is opened: opening it would wait for a writer.
    const std::string pipe = scratchFile("pipe") + ".bmk";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    try {
        p.graph.DvdRestoreBookmark(pipe);
        ADD_FAILURE() << "a pipe was read as a bookmark";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is a pipe"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    std::filesystem::remove(pipe);
    // No file at all: nothing happens.
    EXPECT_NO_THROW(p.graph.DvdRestoreBookmark(scratchFile("missing") + ".bmk"));
    EXPECT_EQ(p.where().TitleNum, 2u);
    try {
        p.graph.DvdRestoreBookmark(good);
    } catch (const EDirectShowException& e) {
        EXPECT_EQ(std::string(e.what()), "The DVD bookmark belongs to another disc. ($80040287).");
    }
}

TEST(DvdGraph, SavingInTheMenuOrToAnUnwritablePlaceKeepsTheOldFile) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const std::string file = scratchFile("kept") + ".bmk";
    DvdPlayer p;
    p.start(volumes().disc1);
    p.playTitle(1);
    p.graph.DvdSaveBookmark(file);
    const std::string old = readAll(file);
    ASSERT_FALSE(old.empty());
    ASSERT_EQ(p.control()->ShowMenu(DVD_MENU_Root, 0, nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return p.where().TitleNum == 0 && p.title == 1; }, 10s));
    ASSERT_TRUE(
        waitFor([&] { return p.seen(EC_DVD_DOMAIN_CHANGE, DVD_DOMAIN_VideoTitleSetMenu); }, 5s));
    EXPECT_NO_THROW(p.graph.DvdSaveBookmark(file)); // nothing to save: silent
    EXPECT_EQ(readAll(file), old);

    // A place that cannot be written is reported with its path; nothing is left behind.
    p.playTitle(1);
    const std::string folder = scratchDir("dvd-bookmarks") + "/missing-folder";
    try {
        p.graph.DvdSaveBookmark(folder + "/b.bmk");
        ADD_FAILURE() << "a save into a missing folder was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(folder + "/b.bmk"), std::string::npos) << e.what();
    }
    // A save over a directory fails at the rename and keeps it.
    const std::string dirAsFile = scratchDir("dvd-bookmarks") + "/a-folder";
    std::filesystem::create_directories(dirAsFile + "/inside");
    EXPECT_THROW(p.graph.DvdSaveBookmark(dirAsFile), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(dirAsFile + "/inside"));
    for (const auto& e : std::filesystem::directory_iterator(scratchDir("dvd-bookmarks")))
        EXPECT_EQ(e.path().filename().string().find(".a-folder"), std::string::npos)
            << "temporary file left: " << e.path();
}

TEST(DvdGraph, VolumesThatAreNoDvdVideoAreReportedInTheStatus) {
    DvdPlayer p;
    AM_DVD_RENDERSTATUS st;
    // No drive here holds a disc.
    EXPECT_EQ(p.render("", &st), S_FALSE);
    EXPECT_TRUE(st.bDvdVolUnknown);
    EXPECT_FALSE(st.bDvdVolInvalid);
    const std::string plain = scratchDir("dvd-plain-folder");
    writeAll(plain + "/readme.txt", "no DVD here");
    EXPECT_EQ(p.render(plain, &st), S_FALSE);
    EXPECT_TRUE(st.bDvdVolInvalid);
    EXPECT_FALSE(st.bDvdVolUnknown);
    EXPECT_EQ(st.hrVPEStatus, S_OK);
    EXPECT_FALSE(st.bNoLine21In || st.bNoLine21Out);
    // The same graph then plays a volume that is one.
    if (!volumes().ok()) return;
    EXPECT_EQ(p.render(volumes().disc1 + "/VIDEO_TS/VIDEO_TS.IFO", &st), S_OK);
    EXPECT_EQ(st.iNumStreamsFailed, 0);
    EXPECT_EQ(st.iNumStreams, 3);
    // One volume at a time: a second is refused (the builder's failure raises) until the
    // graph is cleared of the first.
    EXPECT_THROW(p.graph.RenderDvd(&st, volumes().disc2, 1), EDirectShowException);
    p.graph.ClearGraph();
    EXPECT_EQ(p.graph.RenderDvd(&st, volumes().disc2, 1), S_OK);
    ASSERT_TRUE(p.graph.Play());
    ASSERT_EQ(p.control()->PlayTitle(1, 0, nullptr), S_OK);
    EXPECT_TRUE(waitFor([&] { return seconds(p.where()) >= 1; }, 10s));
    std::string playing;
    p.graph.query<IDvdInfo2>()->GetDVDDirectory(&playing);
    EXPECT_EQ(playing, volumes().disc2);
    // Without the DVD mode there is no DVD graph builder.
    TFilterGraph plainGraph;
    plainGraph.setActive(true);
    EXPECT_EQ(plainGraph.RenderDvd(&st, volumes().disc1, 1), VFW_E_DVD_RENDERFAIL);
}
