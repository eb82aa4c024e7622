// The DVD navigator over rsndvdbin's source: seeks in its "title" and "chapter" formats and in
// time, and navigation events (menus, mouse) sent upstream from where dvdspu takes the
// pictures. rsndvdbin cannot play backwards or fast, so 8x both ways is a loop of key-unit
// seeks of 2 s every 250 ms with the sound muted. The navigator's thread ticks every 50 ms:
// every 250 ms it reads title, chapter and time and queues the DVD events, and it drives the
// scan and the resumption of a saved place. It is joined before the builder lets go of the
// graph.
//
// Threads: the interfaces belong to the user-interface thread; the navigator's thread touches
// only the pipeline's queries and seeks, the event queue and the fields under lock_.
#include "platform/dshow/dvd/DvdNavigatorImpl.h"
#include "platform/dshow/elements/OverlayMixer.h"

#include <gst/video/navigation.h>
#include <gst/video/video-event.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace platform::dshow {

namespace dvdnav {

GST_DEBUG_CATEGORY(tovamix_dvdnav_debug);

Navigator::Navigator(std::shared_ptr<Graph> graph, DvdVolumeInfo volume, GstElement* dvdBin,
                     GstElement* spu, StillFlag sourceStill)
    : volume_(std::move(volume)), bin_(ElementRef::ref(dvdBin)), spu_(ElementRef::ref(spu)),
      sourceStill_(std::move(sourceStill)), graph_(std::move(graph)) {
    watchStills();
    thread_ = std::thread([this] { run(); });
}

void Navigator::shutdown() {
    {
        std::lock_guard lock(lock_);
        if (quit_) return;
        quit_ = true;
        if (graph_) graph_->watchRestarts({}, {});
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (stillProbe_) {
        const PadRef in(gst_element_get_static_pad(spu_, "video"));
        if (in) gst_pad_remove_probe(in, stillProbe_);
        stillProbe_ = 0;
    }
    std::lock_guard lock(lock_);
    if (restore_) restore_->cmd->finish(E_ABORT);
    restore_.reset();
    graph_.reset();
}

// The graph is about to stop (to null, so the source is made anew on the next run): the
// place in the title is kept for that run. User-interface thread.
void Navigator::stopping() {
    endScan();
    const int title = shownTitle();
    Place place;
    if (title > 0) {
        const gint64 time = std::max<gint64>(position(), 0);
        place = {title, shownChapter(title, time), time};
    }
    std::lock_guard lock(lock_);
    stoppedAt_ = place;
    if (restore_) restore_->cmd->finish(E_ABORT);
    restore_.reset();
}

// The graph runs again after a stop, on a new source: playback goes back to the place it
// stopped at (as DVD_ResetOnStop off asks; on, it starts the disc anew). User-interface
// thread.
void Navigator::restarted() {
    Place place;
    bool reset;
    {
        std::lock_guard lock(lock_);
        source_ = {};
        place = stoppedAt_;
        stoppedAt_ = {};
        reset = options_[DVD_ResetOnStop];
        lastPosition_ = -1;
        shown_.reset();
    }
    if (place.title > 0 && !reset) startResume(place.title, place.chapter, place.time, nullptr);
}

// -- IDvdControl2
HRESULT Navigator::PlayForwards(double speed, uint32_t, DvdCmdPtr* cmd) {
    if (!(speed > 0)) return E_INVALIDARG;
    if (speed == 1.0) {
        if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
        endScan(true);
        return done(cmd);
    }
    return startScan(+1, cmd);
}

HRESULT Navigator::PlayBackwards(double speed, uint32_t, DvdCmdPtr* cmd) {
    if (!(speed > 0)) return E_INVALIDARG;
    return startScan(-1, cmd);
}

// From the chapter on the screen, not the one the source has read ahead to.
HRESULT Navigator::PlayNextChapter(uint32_t, DvdCmdPtr* cmd) {
    const int title = shownTitle();
    if (title <= 0) return VFW_E_DVD_INVALIDDOMAIN;
    const int chapter = shownChapter(title, position());
    if (chapter < 1 || chapter >= chapterCount(title)) return VFW_E_DVD_INVALIDDOMAIN;
    return seekChapter(chapter + 1, cmd);
}

HRESULT Navigator::PlayPrevChapter(uint32_t, DvdCmdPtr* cmd) {
    const int title = shownTitle();
    if (title <= 0) return VFW_E_DVD_INVALIDDOMAIN;
    const int chapter = shownChapter(title, position());
    if (chapter <= 1) return VFW_E_DVD_INVALIDDOMAIN;
    return seekChapter(chapter - 1, cmd);
}

// Titles are reached by the navigator's thread (see driveResume): from a menu it has to
// leave the menu's still picture first.
HRESULT Navigator::PlayTitle(unsigned long title, uint32_t flags, DvdCmdPtr* cmd) {
    return PlayChapterInTitle(title, 1, flags, cmd);
}

HRESULT Navigator::ShowMenu(DVD_MENU_ID menu, uint32_t, DvdCmdPtr* cmd) {
    if (menu != DVD_MENU_Root && menu != DVD_MENU_Title) return E_INVALIDARG;
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    endScan();
    const bool sent = sendUpstream(gst_navigation_event_new_command(
        menu == DVD_MENU_Root ? GST_NAVIGATION_COMMAND_DVD_ROOT_MENU
                              : GST_NAVIGATION_COMMAND_DVD_TITLE_MENU));
    return sent ? done(cmd) : VFW_E_DVD_OPERATION_INHIBITED;
}

HRESULT Navigator::SetOption(DVD_OPTION_FLAG flag, bool on) {
    if (flag < DVD_ResetOnStop || flag > DVD_HMSF_TimeCodeEvents) return E_INVALIDARG;
    std::lock_guard lock(lock_);
    options_[flag] = on;
    return S_OK;
}

HRESULT Navigator::SetState(const DvdStatePtr& state, uint32_t, DvdCmdPtr* cmd) {
    auto s = std::dynamic_pointer_cast<DvdState>(state);
    if (!s) return E_INVALIDARG;
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    if (s->disc() != volume_.discId) return VFW_E_DVD_STATE_WRONG_DISC;
    if (s->title() > volume_.titles.size() || int(s->chapter()) > chapterCount(int(s->title())))
        return VFW_E_DVD_STATE_CORRUPT;
    // A time before the title's start or past its end (the length the disc states) is no
    // place in it: refused at once rather than sought for seconds, and never scaled past
    // what 64 bits hold.
    if (s->time() < 0) return VFW_E_DVD_STATE_CORRUPT;
    if (s->title() > 0) {
        const double length = volume_.titles[s->title() - 1].duration;
        if (length > 0 && double(s->time()) / 1e7 > length) return VFW_E_DVD_STATE_CORRUPT;
        if (length <= 0 && s->time() > INT64_MAX / 100) return VFW_E_DVD_STATE_CORRUPT;
    }
    endScan();
    return startResume(int(s->title()), int(s->chapter()), s->time() * 100, cmd);
}

// -- IDvdInfo2
HRESULT Navigator::GetCurrentDomain(DVD_DOMAIN* domain) {
    if (!domain) return E_POINTER;
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    *domain = currentTitle() > 0 ? DVD_DOMAIN_Title : DVD_DOMAIN_VideoTitleSetMenu;
    return S_OK;
}

HRESULT Navigator::GetCurrentLocation(DVD_PLAYBACK_LOCATION2* location) {
    if (!location) return E_POINTER;
    const int title = shownTitle();
    if (title <= 0) return VFW_E_DVD_INVALIDDOMAIN;
    *location = {};
    const gint64 pos = position();
    location->TitleNum = unsigned(title);
    location->ChapterNum = unsigned(shownChapter(title, pos));
    const int fps = framesPerSecond(title);
    location->TimeCode = timeCode(pos, fps);
    location->TimeCodeFlags = fps == 30 ? DVD_TC_FLAG_30fps : DVD_TC_FLAG_25fps;
    return S_OK;
}

HRESULT Navigator::GetState(DvdStatePtr* state) {
    if (!state) return E_POINTER;
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    const int title = shownTitle();
    if (title <= 0) return VFW_E_DVD_INVALIDDOMAIN;
    const gint64 time = std::max<gint64>(position(), 0);
    *state = std::make_shared<DvdState>(volume_.discId, uint32_t(title),
                                        uint32_t(shownChapter(title, time)), time / 100);
    return S_OK;
}

HRESULT Navigator::GetOption(DVD_OPTION_FLAG flag, bool* on) {
    if (!on) return E_POINTER;
    if (flag < DVD_ResetOnStop || flag > DVD_HMSF_TimeCodeEvents) return E_INVALIDARG;
    std::lock_guard lock(lock_);
    *on = options_[flag];
    return S_OK;
}

HRESULT Navigator::GetDVDDirectory(std::string* path) {
    if (!path) return E_POINTER;
    *path = volume_.volume;
    return S_OK;
}

// Whether the pictures reaching dvdspu stand in a still picture.
void Navigator::watchStills() {
    const PadRef in(gst_element_get_static_pad(spu_, "video"));
    if (in) stillProbe_ = probeStills(in, still_);
}

std::shared_ptr<Graph> Navigator::graph() {
    std::lock_guard lock(lock_);
    return graph_;
}

// The source, once the graph has prerolled (rsndvdbin makes it then).
ElementRef Navigator::source() {
    std::lock_guard lock(lock_);
    if (!source_ && bin_) source_ = findSource(bin_);
    return source_;
}

bool Navigator::ready() {
    const auto g = graph();
    return g && GST_STATE(g->pipeline()) >= GST_STATE_PAUSED && source();
}

gint64 Navigator::querySource(GstFormat format, bool duration) {
    const ElementRef src = source();
    gint64 v = -1;
    if (!src) return -1;
    const bool ok = duration ? gst_element_query_duration(src, format, &v)
                             : gst_element_query_position(src, format, &v);
    return ok ? v : -1;
}

// 0 in a menu.
int Navigator::currentTitle() {
    if (!ready()) return 0;
    return int(std::max<gint64>(querySource(titleFormat()), 0));
}

// The position of the pictures shown, as the pipeline counts it: from the start of the
// title entered last by a jump, seek or restart (a title reached seamlessly, by the
// commands at the end of the one before, goes on counting); -1 when it cannot tell.
gint64 Navigator::pipelinePosition() {
    const auto g = graph();
    gint64 pos = -1;
    if (!g || !gst_element_query_position(g->pipeline(), GST_FORMAT_TIME, &pos)) return -1;
    return pos;
}

// The title on the screen: the source's until it moves to another; then the one before
// until its pictures have been shown (see followTitle). 0 in a menu.
int Navigator::shownTitle() {
    if (!ready()) return 0;
    {
        std::lock_guard lock(lock_);
        if (shown_.title() > 0) return shown_.title();
    }
    return currentTitle();
}

// The chapter of a title a time (ns in the title) lies in, by the chapter starts the disc
// states; the source's (which reads ahead) for a title without them.
int Navigator::shownChapter(int title, gint64 time) {
    if (title < 1 || size_t(title) > volume_.titles.size()) return std::max(currentChapter(), 1);
    const std::vector<double>& starts = volume_.titles[size_t(title) - 1].chapterStarts;
    if (starts.empty()) return std::max(currentChapter(), 1);
    // Half a picture's grace: a chapter starts with its first picture.
    const double at = double(std::max<gint64>(time, 0)) / GST_SECOND + 0.02;
    int chapter = 1;
    for (size_t c = 1; c < starts.size(); ++c)
        if (starts[c] <= at) chapter = int(c) + 1;
    return chapter;
}

// Keeps the title on the screen (see TitleOnScreen). The lengths come from the IFO files
// only: lock_ is held. Navigator's thread.
void Navigator::followTitle() {
    const int source = currentTitle();
    const gint64 pos = pipelinePosition();
    std::lock_guard lock(lock_);
    shown_.follow(source, pos, [this](int title) -> int64_t {
        if (title < 1 || size_t(title) > volume_.titles.size()) return -1;
        return int64_t(volume_.titles[size_t(title) - 1].duration * GST_SECOND);
    });
}

// A seek, a jump or a restart of our own: the position counts from the title's start
// again, and the title shown is the source's.
void Navigator::followAnew() {
    std::lock_guard lock(lock_);
    shown_.reset();
}

// The time in the title (ns): the position of the pictures shown. While 8x runs, the
// place the scan has reached (the pipeline is flushed four times a second and cannot tell
// while it is); when the pipeline cannot tell, the last time it could.
// Once a scan has ended, the place it reached until the pipeline tells a place near it:
// for a moment after its last seek the pipeline may still tell one from before the scan.
gint64 Navigator::position() {
    gint64 settling = -1;
    {
        std::lock_guard lock(lock_);
        if (scan_ != 0) return scanFrom_;
        if (settleFrom_ >= 0 && std::chrono::steady_clock::now() < settleUntil_)
            settling = settleFrom_;
    }
    gint64 pos = pipelinePosition();
    const bool told = pos >= 0;
    if (told) {
        std::lock_guard lock(lock_);
        pos = std::max<gint64>(pos - shown_.start(), 0);
    }
    if (settling >= 0 && (!told || pos < settling - ScanStep)) return settling;
    if (settling >= 0) {
        std::lock_guard lock(lock_);
        settleFrom_ = -1;
    }
    if (told) lastPosition_ = pos;
    return lastPosition_;
}

gint64 Navigator::titleDuration(int title) {
    if (title >= 1 && size_t(title) <= volume_.titles.size())
        return gint64(volume_.titles[size_t(title) - 1].duration * GST_SECOND);
    return querySource(GST_FORMAT_TIME, true);
}

int Navigator::chapterCount(int title) const {
    if (title < 1 || size_t(title) > volume_.titles.size()) return 0;
    return int(volume_.titles[size_t(title) - 1].chapterStarts.size());
}

int Navigator::framesPerSecond(int title) const {
    if (title < 1 || size_t(title) > volume_.titles.size()) return 25;
    return volume_.titles[size_t(title) - 1].framesPerSecond;
}

DVD_HMSF_TIMECODE Navigator::timeCode(gint64 ns, int fps) {
    const gint64 whole = std::max<gint64>(ns, 0) / GST_SECOND;
    DVD_HMSF_TIMECODE t;
    t.bHours = uint8_t(std::min<gint64>(whole / 3600, 255));
    t.bMinutes = uint8_t(whole / 60 % 60);
    t.bSeconds = uint8_t(whole % 60);
    t.bFrames = uint8_t((std::max<gint64>(ns, 0) % GST_SECOND) * fps / GST_SECOND);
    return t;
}

bool Navigator::seekSource(GstFormat format, gint64 value, GstSeekFlags extra) {
    const ElementRef src = source();
    const bool taken = src && gst_element_seek_simple(
                                  src, format, GstSeekFlags(GST_SEEK_FLAG_FLUSH | extra), value);
    if (taken) followAnew();
    return taken;
}

HRESULT Navigator::seekChapter(int chapter, DvdCmdPtr* cmd) {
    endScan();
    if (!seekSource(chapterFormat(), chapter)) return VFW_E_DVD_OPERATION_INHIBITED;
    return done(cmd);
}

// Navigation events go upstream from where dvdspu takes the pictures, to the source.
bool Navigator::sendUpstream(GstEvent* event) {
    const PadRef in(gst_element_get_static_pad(spu_, "video"));
    if (!in || !gst_pad_is_linked(in)) {
        gst_event_unref(event);
        return false;
    }
    return gst_pad_push_event(in, event);
}

// A point of the renderer's window in the picture's pixels: the window's scaling, the
// source rectangle (the digital zoom) and an overlay mixer's trimming (its crop mode)
// undone. Placing the renderer's window over the letter box is its owner's; a renderer with
// no window size takes the point as a picture pixel.
void Navigator::toPicture(long x, long y, double* px, double* py) {
    *px = double(x);
    *py = double(y);
    const auto g = graph();
    if (!g) return;
    const std::vector<FilterPtr> filters = g->EnumFilters();
    for (const FilterPtr& f : filters) {
        GUID clsid;
        if (f->GetClassID(&clsid) != S_OK || clsid != CLSID_VideoRenderer) continue;
        auto window = queryInterface<IVideoWindow>(f);
        auto video = queryInterface<IBasicVideo>(f);
        if (!window || !video) continue;
        long l, t, w, h, sl, st, sw, sh;
        if (window->GetWindowPosition(&l, &t, &w, &h) != S_OK || w < 1 || h < 1) continue;
        if (video->GetSourcePosition(&sl, &st, &sw, &sh) != S_OK) continue;
        *px = sl + double(x) * sw / w;
        *py = st + double(y) * sh / h;
        break;
    }
    for (const FilterPtr& f : filters) {
        GUID clsid;
        if (f->GetClassID(&clsid) != S_OK ||
            (clsid != CLSID_OverlayMixer && clsid != CLSID_OverlayMixer2))
            continue;
        forEachElement(GST_BIN(f->native()), BinElements::All, [px, py](GstElement* e) {
            GstElementFactory* factory = gst_element_get_factory(e);
            if (!factory || !g_str_equal(GST_OBJECT_NAME(factory), "videocrop")) return true;
            int left = 0, top = 0;
            g_object_get(e, "left", &left, "top", &top, nullptr);
            *px += left;
            *py += top;
            return false;
        });
    }
}

HRESULT Navigator::atPosition(long x, long y, bool activate) {
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    if (currentTitle() > 0) return VFW_E_DVD_INVALIDDOMAIN;
    double px, py;
    toPicture(x, y, &px, &py);
    bool sent =
        sendUpstream(gst_navigation_event_new_mouse_move(px, py, GST_NAVIGATION_MODIFIER_NONE));
    if (activate)
        sent = sendUpstream(gst_navigation_event_new_mouse_button_release(
                   1, px, py, GST_NAVIGATION_MODIFIER_NONE)) &&
               sent;
    return sent ? S_OK : VFW_E_DVD_OPERATION_INHIBITED;
}

HRESULT Navigator::done(DvdCmdPtr* cmd) {
    if (cmd) {
        auto c = std::make_shared<DvdCmd>();
        c->finish(S_OK);
        *cmd = c;
    }
    return S_OK;
}

// -- The navigator's thread.
void Navigator::run() {
    auto nextEvents = std::chrono::steady_clock::now();
    std::unique_lock lock(lock_);
    while (!quit_) {
        wake_.wait_for(lock, Tick);
        if (quit_) break;
        lock.unlock();
        followTitle();
        driveResume();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextEvents) {
            nextEvents = now + EventPeriod;
            checkEvents();
            driveScan();
        }
        lock.lock();
    }
}

void Navigator::checkEvents() {
    const auto g = graph();
    if (!g || GST_STATE(g->pipeline()) < GST_STATE_PAUSED || !source()) return;
    const int title = shownTitle();
    const DVD_DOMAIN domain = title > 0 ? DVD_DOMAIN_Title : DVD_DOMAIN_VideoTitleSetMenu;
    if (domain != lastDomain_) {
        lastDomain_ = domain;
        g->postEvent(EC_DVD_DOMAIN_CHANGE, domain, 0);
    }
    if (title <= 0) {
        lastTitle_ = 0;
        lastChapter_ = 0;
        lastSecond_ = -1;
        return;
    }
    if (title != lastTitle_) {
        lastTitle_ = title;
        lastChapter_ = 0;
        lastSecond_ = -1;
        g->postEvent(EC_DVD_TITLE_CHANGE, title, 0);
    }
    const gint64 pos = position();
    const int chapter = shownChapter(title, pos);
    if (chapter >= 1 && chapter != lastChapter_) {
        lastChapter_ = chapter;
        g->postEvent(EC_DVD_CHAPTER_START, chapter, 0);
    }
    if (pos < 0) return;
    const gint64 second = pos / GST_SECOND;
    if (second == lastSecond_) {
        // A title that plays and does not move on: said once, with what may hold it.
        if (GST_STATE_TARGET(g->pipeline()) == GST_STATE_PLAYING && ++stuckChecks_ == StuckChecks) {
            GstState state = GST_STATE_VOID_PENDING, pending = GST_STATE_VOID_PENDING;
            gst_element_get_state(g->pipeline(), &state, &pending, 0);
            GST_WARNING("title %d does not move on from %" GST_TIME_FORMAT
                        " (state %s, pending %s, in a still: pictures %d, source %d)",
                        title, GST_TIME_ARGS(pos), gst_element_state_get_name(state),
                        gst_element_state_get_name(pending), int(still_->load()),
                        int(sourceStill_->load()));
            GST_DEBUG_BIN_TO_DOT_FILE_WITH_TS(GST_BIN(g->pipeline()), GST_DEBUG_GRAPH_SHOW_ALL,
                                              "tovamix-dvd-standing-still");
        }
        return;
    }
    stuckChecks_ = 0;
    lastSecond_ = second;
    GST_LOG("title %d, chapter %d at %" GST_TIME_FORMAT, title, chapter, GST_TIME_ARGS(pos));
    const int fps = framesPerSecond(title);
    const DVD_HMSF_TIMECODE t = timeCode(pos, fps);
    const uint32_t packed = uint32_t(t.bHours) | uint32_t(t.bMinutes) << 8 |
                            uint32_t(t.bSeconds) << 16 | uint32_t(t.bFrames) << 24;
    g->postEvent(EC_DVD_CURRENT_HMSF_TIME, intptr_t(packed),
                 fps == 30 ? DVD_TC_FLAG_30fps : DVD_TC_FLAG_25fps);
}

} // namespace dvdnav

std::shared_ptr<DvdNavigator> createDvdNavigator(std::shared_ptr<Graph> graph, DvdVolumeInfo volume,
                                                 GstElement* dvdBin, GstElement* spu,
                                                 StillFlag sourceStill) {
    static std::once_flag debugCategory;
    std::call_once(debugCategory, [] {
        GST_DEBUG_CATEGORY_INIT(dvdnav::tovamix_dvdnav_debug, "tovamixdvdnav", 0,
                                "Tovamix DVD navigator: titles sought and places resumed");
    });
    auto navigator = std::make_shared<dvdnav::Navigator>(graph, std::move(volume), dvdBin, spu,
                                                         std::move(sourceStill));
    const std::weak_ptr<dvdnav::Navigator> weak = navigator;
    graph->watchRestarts(
        [weak] {
            if (auto n = weak.lock()) n->stopping();
        },
        [weak] {
            if (auto n = weak.lock()) n->restarted();
        });
    return navigator;
}

} // namespace platform::dshow
