// The renderers the graph adds for raw streams: the video and audio sinks that work here, the
// renderer bins around them, the watch of the video's size and picture rate, and the volume
// and balance of the audio renderers. Renderers are added on the user-interface thread or on
// a streaming thread (a stream found while the graph runs); the video-size watch runs on the
// video renderer's streaming thread.
#include "GraphImpl.h"

#include <cmath>
#include <cstdlib>

namespace platform::dshow {

namespace {

// The key of the mark on a video renderer's bin, read from the bus to tell its sink.
constexpr const char* VideoRendererMark = "tovamix-video-renderer";

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

GstElement* makeVideoSink() {
    if (std::getenv("DISPLAY"))
        if (GstElement* e = firstWorking({"xvimagesink", "ximagesink"})) return e;
    GstElement* e = gst_element_factory_make("fakesink", nullptr);
    g_object_set(e, "sync", TRUE, nullptr);
    return e;
}

GstElement* makeAudioSink() {
    // Whether a sound server answers is learnt once; asking again for every renderer would
    // cost a connection attempt each time.
    static const bool output = [] {
        return ElementRef(firstWorking({"pulsesink", "alsasink"})) != nullptr;
    }();
    if (output)
        if (GstElement* e = firstWorking({"pulsesink", "alsasink"})) {
            // The sound server's clock stands still until its buffer has filled after a
            // pause or a seek (half a second with PulseAudio), which would hold the whole
            // graph back; the sink follows the system clock instead.
            g_object_set(e, "provide-clock", FALSE, nullptr);
            return e;
        }
    // Without an audio output the sound is dropped at the pace of the clock, so playback
    // still keeps time.
    GstElement* e = gst_element_factory_make("fakesink", nullptr);
    g_object_set(e, "sync", TRUE, nullptr);
    return e;
}

} // namespace

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
    GstElement* bin =
        video ? makeRendererBin(nullptr, {"videoconvert", "videoscale"}, makeVideoSink())
              // scaletempo plays other rates at the pitch of the recording, so
              // the sound output itself always runs at rate 1.
              : makeRendererBin(nullptr,
                                {"audioconvert", "scaletempo", "audioconvert", "audiopanorama",
                                 "audioconvert", "audioresample", "volume"},
                                makeAudioSink());
    if (video) {
        addHelper(bin, "Video Renderer", FilterRole::VideoRenderer);
        watchVideoSize(bin);
    } else {
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

void Graph::watchVideoSize(GstElement* rendererBin) {
    g_object_set_data(G_OBJECT(rendererBin), VideoRendererMark, GINT_TO_POINTER(1));
    const PadRef in(gst_element_get_static_pad(rendererBin, "Input"));
    gst_pad_add_probe(
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
}

void Graph::applyAudio() {
    const long volume = volume_, balance = balance_;
    const double gain = volume <= -10000 ? 0.0 : std::pow(10.0, volume / 2000.0);
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
