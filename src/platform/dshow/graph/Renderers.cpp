// The renderers the graph adds for raw streams: the video and audio sinks that work here, the
// renderer bins around them, the watch of the video's size and picture rate, and the volume
// and balance of the audio renderers. Renderers are added on the user-interface thread or on
// a streaming thread (a stream found while the graph runs); the video-size watch runs on the
// video renderer's streaming thread.
#include "platform/dshow/graph/GraphImpl.h"
#include "platform/dshow/base/VideoWindowWatch.h"

#include <X11/Xlib.h>
#include <gst/video/videooverlay.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::dshow {

namespace {

// The key of the mark on a video renderer's bin, read from the bus to tell its sink.
constexpr const char* VideoRendererMark = "tovamix-video-renderer";
// The key of the owner window on a video renderer's bin (a std::atomic<guintptr>, freed with
// the bin), read by the bus sync handler on a streaming thread.
constexpr const char* VideoOwnerKey = "tovamix-video-owner";

// The key of the id of a renderer's size watch, removed when the renderer leaves its graph.
constexpr const char* SizeProbeKey = "tovamix-size-probe";

void deleteOwner(gpointer p) {
    delete static_cast<std::atomic<guintptr>*>(p);
}

// Sets a property the element has; sinks differ in what they offer.
void setIfPresent(GstElement* e, const char* property, gboolean value) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), property))
        g_object_set(e, property, value, nullptr);
}

// One connection to the X server for mapping and unmapping owner windows (user-interface
// thread only), opened when first needed.
Display* ownDisplay() {
    static Display* display = XOpenDisplay(nullptr);
    return display;
}

// The first element of a list of factories that can be opened here (state READY), else null.
GstElement* firstWorking(std::initializer_list<const char*> factories) {
    for (const char* f : factories) {
        ElementRef e(gst_element_factory_make(f, nullptr));
        if (!e) continue;
        const bool opens = gst_element_set_state(e, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
        gst_element_set_state(e, GST_STATE_NULL);
        if (opens) return e.release();
    }
    return nullptr;
}

// The factory of the first element of a list that can be opened here (null: none).
const char* workingFactory(std::initializer_list<const char*> factories) {
    for (const char* f : factories)
        if (ElementRef e(firstWorking({f})); e) return f;
    return nullptr;
}

// Which sinks work here is learnt once per process: trying a sink costs a connection to the X
// or sound server each time.
const char* videoSinkFactory() {
    static const char* const factory =
        std::getenv("DISPLAY") ? workingFactory({"xvimagesink", "ximagesink"}) : nullptr;
    return factory;
}
const char* audioSinkFactory() {
    static const char* const factory = workingFactory({"pulsesink", "alsasink"});
    return factory;
}

GstElement* makeVideoSink() {
    if (const char* factory = videoSinkFactory())
        if (GstElement* e = gst_element_factory_make(factory, nullptr)) return e;
    GstElement* e = gst_element_factory_make("fakesink", nullptr);
    g_object_set(e, "sync", TRUE, nullptr);
    return e;
}

GstElement* makeAudioSink() {
    if (const char* factory = audioSinkFactory())
        if (GstElement* e = gst_element_factory_make(factory, nullptr)) {
            // The sound server's clock stands still until its buffer has filled after a
            // pause or a seek (half a second with PulseAudio), which would hold the whole
            // graph back; the sink follows the system clock instead.
            g_object_set(e, "provide-clock", FALSE, nullptr);
            return e;
        }
    // Without an audio output the sound is dropped at the pace of the clock, so playback
    // still keeps time; said once a process.
    static std::once_flag told;
    std::call_once(told, [] {
        g_printerr("tovamix: no sound output can be opened (no PulseAudio server, no ALSA "
                   "device): playing without sound\n");
    });
    GstElement* e = gst_element_factory_make("fakesink", nullptr);
    g_object_set(e, "sync", TRUE, nullptr);
    return e;
}

// The video renderer: videocrop ! videoconvert ! videoscale ! capsfilter ! sink. The sink
// draws into the owner window at the size the caps filter gives (ximagesink cannot scale);
// it neither keeps the aspect nor handles X events itself, the window's owner does.
class VideoRenderer final : public GstFilter,
                            public IVideoWindow,
                            public IBasicVideo,
                            public IQualProp,
                            public IVideoWindowWatch {
  public:
    VideoRenderer(GstElement* bin, GstElement* sink, GstElement* size, GstElement* crop)
        : GstFilter(bin, "Video Renderer", FilterRole::VideoRenderer), sink_(ElementRef::ref(sink)),
          size_(ElementRef::ref(size)), crop_(ElementRef::ref(crop)),
          owner_(new std::atomic<guintptr>(0)), format_(std::make_shared<Format>()) {
        g_object_set_data(G_OBJECT(bin), VideoRendererMark, GINT_TO_POINTER(1));
        g_object_set_data_full(G_OBJECT(bin), VideoOwnerKey, owner_, deleteOwner);
        watchFormat();
    }
    ~VideoRenderer() override {
        const PadRef in(gst_element_get_static_pad(element(), "Input"));
        if (in && probe_) gst_pad_remove_probe(in, probe_);
    }

    HRESULT put_Owner(uintptr_t window) override {
        owner_->store(window);
        if (overlay()) gst_video_overlay_set_window_handle(overlay(), window);
        applyVisible();
        return S_OK;
    }
    HRESULT get_Owner(uintptr_t* window) override {
        if (!window) return E_POINTER;
        *window = owner_->load();
        return S_OK;
    }
    HRESULT SetWindowPosition(long left, long top, long width, long height) override {
        if (width < 1 || height < 1) return E_INVALIDARG;
        left_ = left;
        top_ = top;
        if (width == width_ && height == height_) return S_OK;
        std::vector<std::function<void(long, long)>> watches;
        {
            std::lock_guard lock(watchLock_);
            width_ = width;
            height_ = height;
            for (const auto& w : watches_)
                watches.push_back(w.second);
        }
        // Square pixels at the size asked for: videoscale stretches the picture to fill it.
        const CapsRef caps(gst_caps_new_simple(
            "video/x-raw", "width", G_TYPE_INT, int(width), "height", G_TYPE_INT, int(height),
            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
        g_object_set(size_, "caps", caps.get(), nullptr);
        // Those in front learn the size first, so a paused picture is drawn again once, at the
        // size and with the trimming that go together.
        for (const auto& w : watches)
            w(width, height);
        redrawPaused();
        return S_OK;
    }
    HRESULT GetWindowPosition(long* left, long* top, long* width, long* height) override {
        if (!left || !top || !width || !height) return E_POINTER;
        *left = left_;
        *top = top_;
        std::lock_guard lock(watchLock_);
        *width = width_;
        *height = height_;
        return S_OK;
    }
    HRESULT put_Visible(bool visible) override {
        visible_ = visible;
        applyVisible();
        return S_OK;
    }
    HRESULT get_Visible(bool* visible) override {
        if (!visible) return E_POINTER;
        *visible = visible_;
        return S_OK;
    }
    HRESULT Repaint() override {
        bool pictures = false;
        {
            std::lock_guard lock(format_->lock);
            pictures = format_->width > 0;
        }
        // No video has come (a file without picture): the sink has nothing to draw, and the
        // window would keep whatever lay over it last (a closed dialog). It is painted black.
        if (!pictures) {
            clearOwner();
            return S_OK;
        }
        if (overlay()) gst_video_overlay_expose(overlay());
        return S_OK;
    }
    std::string sinkName() const override {
        return GST_OBJECT_NAME(gst_element_get_factory(sink_.get()));
    }

    // -- IBasicVideo
    HRESULT GetVideoSize(long* width, long* height) override {
        if (!width || !height) return E_POINTER;
        std::lock_guard lock(format_->lock);
        if (format_->width <= 0) return VFW_E_NOT_CONNECTED;
        *width = format_->width;
        *height = format_->height;
        return S_OK;
    }
    HRESULT SetSourcePosition(long left, long top, long width, long height) override {
        std::lock_guard lock(format_->lock);
        if (format_->width <= 0) return VFW_E_NOT_CONNECTED;
        if (width < 1 || height < 1 || left < 0 || top < 0 || left + width > format_->width ||
            top + height > format_->height)
            return E_INVALIDARG;
        format_->source = {left, top, width, height};
        applyCrop(*format_);
        redrawPaused();
        return S_OK;
    }
    HRESULT GetSourcePosition(long* left, long* top, long* width, long* height) override {
        if (!left || !top || !width || !height) return E_POINTER;
        std::lock_guard lock(format_->lock);
        if (format_->width <= 0) return VFW_E_NOT_CONNECTED;
        *left = format_->source[0];
        *top = format_->source[1];
        *width = format_->source[2];
        *height = format_->source[3];
        return S_OK;
    }
    HRESULT SetDefaultSourcePosition() override {
        std::lock_guard lock(format_->lock);
        if (format_->width <= 0) return VFW_E_NOT_CONNECTED;
        format_->source = {0, 0, format_->width, format_->height};
        applyCrop(*format_);
        redrawPaused();
        return S_OK;
    }

    // -- IQualProp: the sink's own count.
    HRESULT get_FramesDrawn(int* frames) override { return sinkStat("rendered", frames); }
    HRESULT get_FramesDroppedInRenderer(int* frames) override {
        return sinkStat("dropped", frames);
    }

    // -- IVideoWindowWatch
    int watchWindowSize(std::function<void(long, long)> onSize, long* width,
                        long* height) override {
        std::lock_guard lock(watchLock_);
        watches_.emplace_back(++lastWatch_, std::move(onSize));
        if (width) *width = width_;
        if (height) *height = height_;
        return lastWatch_;
    }
    void unwatchWindowSize(int id) override {
        std::lock_guard lock(watchLock_);
        std::erase_if(watches_, [id](const auto& w) { return w.first == id; });
    }

  private:
    HRESULT sinkStat(const char* field, int* value) const {
        if (!value) return E_POINTER;
        *value = 0;
        if (!g_object_class_find_property(G_OBJECT_GET_CLASS(sink_.get()), "stats"))
            return E_NOTIMPL;
        GstStructure* stats = nullptr;
        g_object_get(sink_.get(), "stats", &stats, nullptr);
        guint64 n = 0;
        const bool ok = stats && gst_structure_get_uint64(stats, field, &n);
        if (stats) gst_structure_free(stats);
        if (!ok) return E_FAIL;
        *value = int(std::min<guint64>(n, INT32_MAX));
        return S_OK;
    }

    // The pictures' size as the renderer's input learnt it, and the source rectangle over it.
    // Written on the streaming thread when the format changes, read on the user-interface
    // thread; shared with the input's probe, which may outlive a call.
    struct Format {
        std::mutex lock;
        long width = 0, height = 0;
        std::array<long, 4> source{};
        GstElement* crop = nullptr; // the bin's videocrop, alive while the bin is
    };

    static void applyCrop(const Format& f) {
        const auto& r = f.source;
        g_object_set(f.crop, "left", int(r[0]), "top", int(r[1]), "right",
                     int(f.width - r[0] - r[2]), "bottom", int(f.height - r[1] - r[3]), nullptr);
    }

    // A new picture size brings back the whole picture as the source.
    void watchFormat() {
        format_->crop = crop_.get();
        const PadRef in(gst_element_get_static_pad(element(), "Input"));
        auto* keep = new std::shared_ptr<Format>(format_);
        probe_ = gst_pad_add_probe(
            in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
            [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
                GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
                if (GST_EVENT_TYPE(ev) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
                GstCaps* caps = nullptr; // borrowed from the event
                gst_event_parse_caps(ev, &caps);
                int w = 0, h = 0;
                const GstStructure* s = gst_caps_get_structure(caps, 0);
                if (!gst_structure_get_int(s, "width", &w) ||
                    !gst_structure_get_int(s, "height", &h))
                    return GST_PAD_PROBE_OK;
                Format& f = **static_cast<std::shared_ptr<Format>*>(data);
                std::lock_guard lock(f.lock);
                if (w != f.width || h != f.height) {
                    f.width = w;
                    f.height = h;
                    f.source = {0, 0, w, h};
                    applyCrop(f);
                }
                return GST_PAD_PROBE_OK;
            },
            keep, [](gpointer data) { delete static_cast<std::shared_ptr<Format>*>(data); });
    }

    // A paused graph shows its last picture as it was drawn: it is decoded again at the same
    // position so that a new size or source rectangle shows at once. Not where the source
    // navigates (a DVD): its seeks land on a picture group before the place asked, so the
    // paused place would move back; there the picture keeps its size until playback goes on.
    void redrawPaused() {
        GstElement* top = element();
        while (GST_OBJECT_PARENT(top))
            top = GST_ELEMENT(GST_OBJECT_PARENT(top));
        // Paused, or on its way from playing to paused (the picture may be shown already).
        if (top == element() || GST_STATE_TARGET(top) != GST_STATE_PAUSED ||
            GST_STATE(top) < GST_STATE_PAUSED)
            return;
        if (g_object_get_data(G_OBJECT(top), Graph::NavigatesKey)) {
            if (overlay()) gst_video_overlay_expose(overlay());
            return;
        }
        gint64 now = 0;
        if (!gst_element_query_position(top, GST_FORMAT_TIME, &now)) return;
        gst_element_seek_simple(top, GST_FORMAT_TIME,
                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), now);
    }

    GstVideoOverlay* overlay() const {
        return GST_IS_VIDEO_OVERLAY(sink_.get()) ? GST_VIDEO_OVERLAY(sink_.get()) : nullptr;
    }
    void clearOwner() {
        const guintptr window = owner_->load();
        Display* display = window ? ownDisplay() : nullptr;
        if (!display) return;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, Window(window), &attributes)) return;
        GC gc = XCreateGC(display, Window(window), 0, nullptr);
        XSetForeground(display, gc, BlackPixel(display, DefaultScreen(display)));
        XFillRectangle(display, Window(window), gc, 0, 0, unsigned(attributes.width),
                       unsigned(attributes.height));
        XFreeGC(display, gc);
        XFlush(display);
    }
    void applyVisible() {
        const guintptr window = owner_->load();
        Display* display = window ? ownDisplay() : nullptr;
        if (!display) return;
        if (visible_)
            XMapWindow(display, Window(window));
        else
            XUnmapWindow(display, Window(window));
        XFlush(display);
    }

    ElementRef sink_, size_, crop_;
    std::atomic<guintptr>* owner_; // owned by the bin's data
    std::shared_ptr<Format> format_;
    gulong probe_ = 0;
    long left_ = 0, top_ = 0;
    bool visible_ = true;
    // -- The window's size and who watches it; written on the user-interface thread, read by
    // filters in front from any thread. All the following fields are protected by watchLock_.
    mutable std::mutex watchLock_;
    long width_ = 0, height_ = 0;
    std::vector<std::pair<int, std::function<void(long, long)>>> watches_;
    int lastWatch_ = 0;
};

} // namespace

void learnWorkingSinks() {
    videoSinkFactory();
    audioSinkFactory();
}

std::shared_ptr<IBaseFilter> createVideoRenderer() {
    ensureGstreamer();
    GstElement* sink = makeVideoSink();
    setIfPresent(sink, "force-aspect-ratio", FALSE);
    setIfPresent(sink, "handle-events", FALSE);
    // The owner window's expose events reach its widget, which asks for a repaint (Repaint):
    // the sink needs no X event thread of its own. ximagesink's and xvimagesink's would read
    // the window without the lock that put_Owner(0) takes to drop it, and a close of a
    // playing video (the window taken away, then the sink shut) then ended the program on a
    // null window one time in a few hundred. Set before the sink opens its display, so the
    // thread never starts.
    setIfPresent(sink, "handle-expose", FALSE);
    GstElement* bin =
        makeRendererBin(nullptr, {"videocrop", "videoconvert", "videoscale", "capsfilter"}, sink);
    GstElement* size = nullptr;
    GstElement* crop = nullptr;
    forEachElement(GST_BIN(bin), BinElements::All, [&size, &crop](GstElement* e) {
        const gchar* factory = GST_OBJECT_NAME(gst_element_get_factory(e));
        if (g_str_equal(factory, "capsfilter")) {
            size = e;
            // A new window size reaches the pictures already on their way after them: they
            // pass at the old size rather than stop the stream as not negotiated.
            gst_util_set_object_arg(G_OBJECT(e), "caps-change-mode", "delayed");
        }
        if (g_str_equal(factory, "videocrop")) crop = e;
        // The picture fills the size asked for, its aspect not kept: no borders.
        if (g_str_equal(factory, "videoscale")) setIfPresent(e, "add-borders", FALSE);
        return true;
    });
    return std::make_shared<VideoRenderer>(bin, sink, size, crop);
}

guintptr Graph::videoOwnerOf(GstObject* o) {
    for (GstObject* p = o; p; p = GST_OBJECT_PARENT(p))
        if (auto* owner =
                static_cast<std::atomic<guintptr>*>(g_object_get_data(G_OBJECT(p), VideoOwnerKey)))
            return owner->load();
    return 0;
}

GstElement* makeRendererBin(const char* name, std::initializer_list<const char*> chain,
                            GstElement* sink) {
    GstElement* bin = gst_bin_new(name);
    GstElement* prev = nullptr;
    GstElement* first = nullptr;
    for (const char* factory : chain) {
        GstElement* e = gst_element_factory_make(factory, nullptr);
        if (!e) continue;
        gst_bin_add(GST_BIN(bin), e);
        if (prev) gst_element_link(prev, e);
        if (!first) first = e;
        prev = e;
    }
    gst_bin_add(GST_BIN(bin), sink);
    if (prev) gst_element_link(prev, sink);
    const PadRef inner(gst_element_get_static_pad(first ? first : sink, "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("Input", inner));
    return bin;
}

PadRef Graph::addRenderer(bool video) {
    if (video) {
        const FilterPtr renderer = createVideoRenderer();
        auto* bin = static_cast<GstElement*>(renderer->native());
        addHelper(std::static_pointer_cast<GstFilter>(renderer));
        watchVideoSize(bin);
        return PadRef(gst_element_get_static_pad(bin, "Input"));
    }
    // scaletempo plays other rates at the pitch of the recording, so the sound output itself
    // always runs at rate 1.
    GstElement* sink = makeAudioSink();
    // A navigating source's sound may not decode at all (rsndvdbin finds no decoder for the
    // MPEG sound of some discs): its pictures must not wait for it, so the sink takes no part
    // in prerolling. Set before the sink starts changing state: set later, a sink already
    // waiting for its first sound would go on waiting.
    if (navigating_) setIfPresent(sink, "async", FALSE);
    GstElement* bin = makeRendererBin(nullptr,
                                      {"audioconvert", "scaletempo", "audioconvert",
                                       "audiopanorama", "audioconvert", "audioresample", "volume"},
                                      sink);
    {
        addHelper(bin, "Audio Renderer", FilterRole::AudioRenderer);
        applyAudio();
    }
    return PadRef(gst_element_get_static_pad(bin, "Input"));
}

std::vector<ElementRef> Graph::videoSinks() {
    std::vector<ElementRef> out;
    for (const FilterPtr& f : EnumFilters()) {
        if (roleOf(f) != FilterRole::VideoRenderer) continue;
        forEachElement(GST_BIN(f->native()), BinElements::Sinks, [&out](GstElement* sink) {
            out.push_back(ElementRef::ref(sink));
            return false;
        });
    }
    return out;
}

// Called from the bus, where the filter list is not at hand: the renderer's bin is marked.
bool Graph::isVideoSink(GstObject* o) {
    for (GstObject* p = o; p; p = GST_OBJECT_PARENT(p))
        if (g_object_get_data(G_OBJECT(p), VideoRendererMark)) return true;
    return false;
}

void Graph::forgetVideoSize(GstElement* rendererBin) {
    const gulong probe = GPOINTER_TO_SIZE(g_object_steal_data(G_OBJECT(rendererBin), SizeProbeKey));
    if (!probe) return;
    const PadRef in(gst_element_get_static_pad(rendererBin, "Input"));
    if (in) gst_pad_remove_probe(in, probe);
}

void Graph::watchVideoSize(GstElement* rendererBin) {
    g_object_set_data(G_OBJECT(rendererBin), VideoRendererMark, GINT_TO_POINTER(1));
    forgetVideoSize(rendererBin);
    const PadRef in(gst_element_get_static_pad(rendererBin, "Input"));
    const gulong probe = gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer self) -> GstPadProbeReturn {
            GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
            if (GST_EVENT_TYPE(ev) == GST_EVENT_CAPS) {
                GstCaps* caps = nullptr; // borrowed from the event
                gst_event_parse_caps(ev, &caps);
                auto& events = static_cast<Graph*>(self)->events_;
                int w = 0, h = 0, num = 0, den = 0;
                const GstStructure* s = gst_caps_get_structure(caps, 0);
                if (gst_structure_get_fraction(s, "framerate", &num, &den) && num > 0)
                    events.frameRate(num, den);
                if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h))
                    events.videoSize(w, h);
            }
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    g_object_set_data(G_OBJECT(rendererBin), SizeProbeKey, GSIZE_TO_POINTER(probe));
}

void Graph::setMuted(bool muted) {
    muted_ = muted;
    applyAudio();
}

void Graph::applyAudio() {
    const long volume = volume_, balance = balance_;
    const double gain = volume <= -10000 || muted_ ? 0.0 : std::pow(10.0, volume / 2000.0);
    const double side = 1.0 - std::pow(10.0, -std::abs(balance) / 2000.0);
    const double pan = balance < 0 ? -side : side;
    for (const FilterPtr& f : EnumFilters()) {
        if (roleOf(f) != FilterRole::AudioRenderer) continue;
        forEachElement(GST_BIN(f->native()), BinElements::All, [gain, pan](GstElement* e) {
            const gchar* factory = GST_OBJECT_NAME(gst_element_get_factory(e));
            if (g_str_equal(factory, "volume")) g_object_set(e, "volume", gain, nullptr);
            if (g_str_equal(factory, "audiopanorama"))
                g_object_set(e, "panorama", float(pan), "method", 1, nullptr);
            return true;
        });
    }
}

} // namespace platform::dshow
