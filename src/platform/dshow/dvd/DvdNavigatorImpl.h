// The DVD navigator's parts, internal to the DVD layer: the class and its timing constants.
//   DvdNavigator.cpp  the commands, the place and title queries, the events and the thread
//   DvdResume.cpp     reaching a title, a chapter or a saved time (a resumption)
//   DvdScan.cpp       8x forwards and backwards as a loop of seeks
//
// Threads: the interfaces belong to the user-interface thread; the navigator's thread touches
// only the pipeline's queries and seeks, the event queue and the fields under lock_.
#pragma once

#include "platform/dshow/dvd/DvdImpl.h"
#include "platform/dshow/dvd/DvdTitleOnScreen.h"

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::dshow::dvdnav {

GST_DEBUG_CATEGORY_EXTERN(tovamix_dvdnav_debug);

using namespace std::chrono_literals;

constexpr auto Tick = 50ms;
constexpr auto EventPeriod = 250ms;
// The scan that stands in for 8x: a jump of this much every EventPeriod.
constexpr gint64 ScanStep = 2 * GST_SECOND;
// How long, at most, the place a scan reached is told after it ends, while its last seek is
// carried out.
constexpr auto ScanSettleTime = 2s;
// How many ticks a resumption asks for the time before it settles for the chapter.
constexpr int ResumeAttempts = 20;
// How many ticks a resumption waits for the title it sought before it seeks it again (a seek
// the source refused is asked again on the next tick).
constexpr int TitleSeekTicks = 20;
// How many event checks (of EventPeriod) a playing title's time may stand still before the
// debug log says so.
constexpr int StuckChecks = 12;
// How long a resumption waits in a menu for its still picture before it seeks from where the
// menu plays.
constexpr int MenuStillTicks = 20;
// How near the saved time a resumed state must come.
constexpr gint64 ResumeTolerance = GST_SECOND;
// The source's time seeks land on the picture group that holds the whole second before the
// time asked (its title's time map counts whole seconds): up to a second and a picture group
// early. A resumption asks this much later, so that it lands at or after the saved time; one
// that still lands before it is asked again, at least a second later, at most
// ResumeCorrections times. It then lands less than a second and a picture group after.
constexpr gint64 ResumeLead = 800 * GST_MSECOND;
constexpr int ResumeCorrections = 2;
// How many ticks after a seek the place it landed on is taken as where it landed.
constexpr int LandingTicks = 3;

class Navigator final : public DvdNavigator {
  public:
    Navigator(std::shared_ptr<Graph> graph, DvdVolumeInfo volume, GstElement* dvdBin,
              GstElement* spu, StillFlag sourceStill);
    ~Navigator() override { shutdown(); }

    void shutdown() override;

    // The graph is about to stop (to null, so the source is made anew on the next run): the
    // place in the title is kept for that run. User-interface thread.
    void stopping();
    // The graph runs again after a stop, on a new source: playback goes back to the place it
    // stopped at (as DVD_ResetOnStop off asks; on, it starts the disc anew). User-interface
    // thread.
    void restarted();

    // -- IDvdControl2
    HRESULT PlayForwards(double speed, uint32_t, DvdCmdPtr* cmd) override;
    HRESULT PlayBackwards(double speed, uint32_t, DvdCmdPtr* cmd) override;
    // From the chapter on the screen, not the one the source has read ahead to.
    HRESULT PlayNextChapter(uint32_t, DvdCmdPtr* cmd) override;
    HRESULT PlayPrevChapter(uint32_t, DvdCmdPtr* cmd) override;
    // Titles are reached by the navigator's thread (see driveResume): from a menu it has to
    // leave the menu's still picture first.
    HRESULT PlayTitle(unsigned long title, uint32_t flags, DvdCmdPtr* cmd) override;
    HRESULT PlayChapterInTitle(unsigned long title, unsigned long chapter, uint32_t,
                               DvdCmdPtr* cmd) override {
        if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
        if (title < 1 || title > volume_.titles.size() || chapter < 1 ||
            chapter > unsigned(chapterCount(int(title))))
            return VFW_E_DVD_INVALIDDOMAIN;
        endScan();
        return startResume(int(title), int(chapter), -1, cmd);
    }
    HRESULT ShowMenu(DVD_MENU_ID menu, uint32_t, DvdCmdPtr* cmd) override;
    HRESULT SelectAtPosition(long x, long y) override { return atPosition(x, y, false); }
    HRESULT ActivateAtPosition(long x, long y) override { return atPosition(x, y, true); }
    HRESULT SetOption(DVD_OPTION_FLAG flag, bool on) override;
    HRESULT SetState(const DvdStatePtr& state, uint32_t, DvdCmdPtr* cmd) override;

    // -- IDvdInfo2
    HRESULT GetCurrentDomain(DVD_DOMAIN* domain) override;
    HRESULT GetCurrentLocation(DVD_PLAYBACK_LOCATION2* location) override;
    HRESULT GetState(DvdStatePtr* state) override;
    HRESULT GetOption(DVD_OPTION_FLAG flag, bool* on) override;
    HRESULT GetDVDDirectory(std::string* path) override;

  private:
    struct Place {
        int title = 0, chapter = 0;
        gint64 time = 0; // ns in the title
    };
    struct Resume {
        int title = 0, chapter = 0;
        gint64 time = -1;     // ns in the title; -1: the chapter's start
        int stillTicks = 0;   // ticks spent in a still picture
        int titleTicks = 0;   // ticks spent waiting for the title
        int menuTicks = 0;    // ticks spent in a menu waiting for its still
        bool sought = false;  // the time or the chapter
        int attempts = 0;     // time seeks the source refused
        int corrections = 0;  // time seeks asked again for landing before the time
        int landingTicks = 0; // ticks since the last time seek
        gint64 asked = -1;    // the time the last time seek asked for
        std::chrono::steady_clock::time_point deadline;
        std::shared_ptr<DvdCmd> cmd;
    };

    // Whether the pictures reaching dvdspu stand in a still picture.
    void watchStills();

    static GstFormat titleFormat() { return gst_format_get_by_nick("title"); }
    static GstFormat chapterFormat() { return gst_format_get_by_nick("chapter"); }

    std::shared_ptr<Graph> graph();
    // The source, once the graph has prerolled (rsndvdbin makes it then).
    ElementRef source();
    bool ready();

    gint64 querySource(GstFormat format, bool duration = false);
    // 0 in a menu.
    int currentTitle();
    int currentChapter() { return int(querySource(chapterFormat())); }
    // The position of the pictures shown, as the pipeline counts it: from the start of the
    // title entered last by a jump, seek or restart (a title reached seamlessly, by the
    // commands at the end of the one before, goes on counting); -1 when it cannot tell.
    gint64 pipelinePosition();
    // The title on the screen: the source's until it moves to another; then the one before
    // until its pictures have been shown (see followTitle). 0 in a menu.
    int shownTitle();
    // The chapter of a title a time (ns in the title) lies in, by the chapter starts the disc
    // states; the source's (which reads ahead) for a title without them.
    int shownChapter(int title, gint64 time);
    // Keeps the title on the screen (see TitleOnScreen). The lengths come from the IFO files
    // only: lock_ is held. Navigator's thread.
    void followTitle();
    // A seek, a jump or a restart of our own: the position counts from the title's start
    // again, and the title shown is the source's.
    void followAnew();
    // The time in the title (ns): the position of the pictures shown. While 8x runs, the
    // place the scan has reached (the pipeline is flushed four times a second and cannot tell
    // while it is); when the pipeline cannot tell, the last time it could.
    // Once a scan has ended, the place it reached until the pipeline tells a place near it:
    // for a moment after its last seek the pipeline may still tell one from before the scan.
    gint64 position();
    gint64 titleDuration(int title);
    int chapterCount(int title) const;
    int framesPerSecond(int title) const;
    static DVD_HMSF_TIMECODE timeCode(gint64 ns, int fps);

    bool seekSource(GstFormat format, gint64 value, GstSeekFlags extra = GST_SEEK_FLAG_NONE);
    HRESULT seekChapter(int chapter, DvdCmdPtr* cmd);
    // Navigation events go upstream from where dvdspu takes the pictures, to the source.
    bool sendUpstream(GstEvent* event);

    // A point of the renderer's window in the picture's pixels: the window's scaling, the
    // source rectangle (the digital zoom) and an overlay mixer's trimming (its crop mode)
    // undone. Placing the renderer's window over the letter box is its owner's; a renderer with
    // no window size takes the point as a picture pixel.
    void toPicture(long x, long y, double* px, double* py);
    HRESULT atPosition(long x, long y, bool activate);

    static HRESULT done(DvdCmdPtr* cmd);

    HRESULT startScan(int direction, DvdCmdPtr* cmd);
    // settle: the place the scan reached stays the time told until playback shows it (Play
    // and Pause; any other command goes somewhere else).
    void endScan(bool settle = false);

    HRESULT startResume(int title, int chapter, gint64 time, DvdCmdPtr* cmd);

    // -- The navigator's thread.
    void run();

    void driveResume();

    void driveScan();

    void checkEvents();

    const DvdVolumeInfo volume_;
    const ElementRef bin_, spu_;
    // Whether the source stands in a still (set by a probe on its output).
    const StillFlag sourceStill_;
    std::thread thread_;

    std::mutex lock_;
    std::condition_variable wake_;
    // -- All the following fields are protected by lock_.
    std::shared_ptr<Graph> graph_;
    ElementRef source_;
    bool quit_ = false;
    int scan_ = 0; // 1 forwards, -1 backwards, 0 none
    gint64 scanFrom_ = 0;
    gint64 settleFrom_ = -1; // after a scan (see position)
    std::chrono::steady_clock::time_point settleUntil_;
    std::unique_ptr<Resume> restore_;
    Place stoppedAt_;     // where the last stop left the title (title 0: in a menu)
    TitleOnScreen shown_; // the title on the screen (see followTitle)
    bool options_[4] = {false, false, false, false};

    std::atomic<gint64> lastPosition_{-1};
    // Set by the probe on dvdspu's video input (a streaming thread); shared with it.
    const StillFlag still_ = std::make_shared<std::atomic<bool>>(false);
    gulong stillProbe_ = 0;

    // -- The navigator's thread only.
    DVD_DOMAIN lastDomain_ = DVD_DOMAIN_Stop;
    int lastTitle_ = 0, lastChapter_ = 0;
    gint64 lastSecond_ = -1;
    int stuckChecks_ = 0; // event checks the time has stood still while playing
};

} // namespace platform::dshow::dvdnav

#define GST_CAT_DEFAULT platform::dshow::dvdnav::tovamix_dvdnav_debug
