#include "platform/dshow/elements/AviMuxElement.h"

#include "platform/dshow/elements/AviMuxState.h"
#include "platform/vfw/AviMuxer.h"

#include <gst/base/gstaggregator.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

GST_DEBUG_CATEGORY(tovamix_avimux_debug);
#define GST_CAT_DEFAULT tovamix_avimux_debug

using platform::dshow::avimux::MuxState;
using platform::dshow::avimux::PadState;

// GObject classes of the element and its sink pads.
struct TovamixAviMuxPadClass {
    GstAggregatorPadClass parent_class;
};
struct TovamixAviMuxClass {
    GstAggregatorClass parent_class;
};

G_DEFINE_TYPE(TovamixAviMuxPad, tovamix_avi_mux_pad, GST_TYPE_AGGREGATOR_PAD)
G_DEFINE_TYPE(TovamixAviMux, tovamix_avi_mux, GST_TYPE_AGGREGATOR)

namespace platform::dshow {
namespace {

using namespace avimux;

GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-msvideo"));
GstStaticPadTemplate videoTemplate =
    GST_STATIC_PAD_TEMPLATE("video_%u", GST_PAD_SINK, GST_PAD_REQUEST,
                            GST_STATIC_CAPS("video/x-msvideocodec, msvideoversion = (int) 1; "
                                            "video/x-xvid; "
                                            "video/mpeg, mpegversion = (int) 4, "
                                            "systemstream = (boolean) false; "
                                            "video/x-divx, divxversion = (int) { 4, 5 }; "
                                            "image/jpeg; "
                                            "video/x-h264; "
                                            "video/x-raw, format = (string) { BGR, BGRx, BGRA }"));
GstStaticPadTemplate audioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio_%u", GST_PAD_SINK, GST_PAD_REQUEST,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion = (int) 1, layer = (int) 3; "
                                            "audio/x-raw, format = (string) { S16LE, U8 }, "
                                            "layout = (string) interleaved"));

// ---- GstAggregator virtual methods ----

GstFlowReturn aggregate(GstAggregator* agg, gboolean /*timeout*/) {
    MuxState& s = *muxOf(agg)->state;
    if (s.finished) return GST_FLOW_EOS;
    if (s.failed) return GST_FLOW_NOT_NEGOTIATED;
    PadList list(agg);
    if (!s.headerWritten) {
        const GstFlowReturn r = writeHeader(agg, list);
        if (r != GST_FLOW_OK) {
            if (r != GST_AGGREGATOR_FLOW_NEED_DATA) s.failed = true;
            return r;
        }
    }

    // The next chunk is the head buffer that comes earliest in the file's own timeline.
    GstAggregatorPad* best = nullptr;
    GstRef<GstBuffer> bestBuffer;
    int64_t bestPosition = 0;
    GstClockTime bestTime = 0, bestRunning = GST_CLOCK_TIME_NONE;
    bool allEnded = true;
    for (GstAggregatorPad* pad : list.pads()) {
        GstRef<GstBuffer> buf(gst_aggregator_pad_peek_buffer(pad));
        if (!buf) {
            if (!gst_aggregator_pad_is_eos(pad)) allEnded = false;
            continue;
        }
        allEnded = false;
        PadState& ps = stateOf(pad);
        const bool gap = GST_BUFFER_FLAG_IS_SET(buf.get(), GST_BUFFER_FLAG_GAP) &&
                         gst_buffer_get_size(buf.get()) == 0;
        if (gap || ps.stream < 0) {
            // Gaps need no chunk (the next frame's time leaves the room); pads that joined
            // after the header have no stream to write into.
            if (ps.stream < 0) GST_WARNING_OBJECT(pad, "dropping a buffer: pad is not in the file");
            gst_aggregator_pad_drop_buffer(pad);
            return GST_FLOW_OK;
        }
        const GstClockTime rt = runningTime(pad, buf.get());
        const int64_t position = positionOf(ps, rt);
        const GstClockTime t = timeOf(ps, position);
        if (!best || t < bestTime || (t == bestTime && ps.stream < stateOf(best).stream)) {
            best = pad;
            bestBuffer = std::move(buf);
            bestPosition = position;
            bestTime = t;
            bestRunning = rt;
        }
    }
    if (!best) return allEnded ? writeTrailer(agg) : GST_AGGREGATOR_FLOW_NEED_DATA;

    PadState& ps = stateOf(best);
    if (!ps.haveOrigin && GST_CLOCK_TIME_IS_VALID(bestRunning)) {
        ps.haveOrigin = true;
        GST_OBJECT_LOCK(agg);
        const bool common = s.commonOrigin;
        GST_OBJECT_UNLOCK(agg);
        // With one origin for all streams, a picture stream that starts late begins with
        // empty frames (the first picture repeated), so it stays in step with the sound.
        ps.origin = common ? 0 : bestRunning;
        if (common) bestPosition = positionOf(ps, bestRunning);
    }
    const GstRef<GstBuffer> popped(gst_aggregator_pad_pop_buffer(best));
    // A frame a parser marks for the decoder only (the Xing header of an MP3 file) is no
    // sound of the file.
    if (popped && !ps.format.video &&
        GST_BUFFER_FLAG_IS_SET(popped.get(), GST_BUFFER_FLAG_DECODE_ONLY))
        return GST_FLOW_OK;
    GstFlowReturn r = GST_FLOW_OK;
    if (popped) r = writePacket(agg, best, popped.get(), bestPosition);
    if (r != GST_FLOW_OK && r != GST_FLOW_FLUSHING) s.failed = true;
    return r;
}

gboolean sinkEvent(GstAggregator* agg, GstAggregatorPad* pad, GstEvent* event) {
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
        return GST_AGGREGATOR_CLASS(tovamix_avi_mux_parent_class)->sink_event(agg, pad, event);

    MuxState& s = *muxOf(agg)->state;
    PadState& ps = stateOf(pad);
    const GstRef<GstEvent> owned(event);
    GstCaps* caps = nullptr; // belongs to the event
    gst_event_parse_caps(event, &caps);
    const std::string text = capsText(caps);
    const std::string media = caps && !gst_caps_is_empty(caps) && !gst_caps_is_any(caps)
                                  ? gst_structure_get_name(gst_caps_get_structure(caps, 0))
                                  : text;
    StreamFormat format;
    std::string why;
    if (!parseCaps(caps, ps.video, format, why)) {
        GST_ELEMENT_ERROR(
            agg, STREAM, FORMAT,
            ("The AVI writer cannot take the stream format %s: %s.", media.c_str(), why.c_str()),
            ("pad %s refused caps %s", GST_PAD_NAME(pad), text.c_str()));
        s.failed = true;
        return FALSE;
    }
    if (ps.stream >= 0 && !format.continues(ps.format)) {
        GST_ELEMENT_ERROR(agg, STREAM, FORMAT,
                          ("The stream format changed after the AVI header was written."),
                          ("pad %s: was %s, now caps %s", GST_PAD_NAME(pad),
                           describe(ps.format).c_str(), text.c_str()));
        s.failed = true;
        return FALSE;
    }
    GST_DEBUG_OBJECT(pad, "stream format %s from %s", describe(format).c_str(), text.c_str());
    if (ps.stream < 0) ps.format = std::move(format);
    ps.hasFormat = true;
    return TRUE;
}

gboolean srcEvent(GstAggregator* agg, GstEvent* event) {
    // The output is one file written front to back; it cannot be seeked.
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        GST_DEBUG_OBJECT(agg, "refusing a seek");
        const GstRef<GstEvent> dropped(event);
        return FALSE;
    }
    return GST_AGGREGATOR_CLASS(tovamix_avi_mux_parent_class)->src_event(agg, event);
}

// The length of what is written is that of the longest input; the position is how far the
// file reaches, so a progress bar follows the data written rather than the clock.
gboolean srcQuery(GstAggregator* agg, GstQuery* query) {
    GstFormat format = GST_FORMAT_UNDEFINED;
    if (GST_QUERY_TYPE(query) == GST_QUERY_POSITION) {
        gst_query_parse_position(query, &format, nullptr);
        if (format != GST_FORMAT_TIME) return FALSE;
        gst_query_set_position(query, GST_FORMAT_TIME, gint64(muxOf(agg)->state->written.load()));
        return TRUE;
    }
    if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION) {
        gst_query_parse_duration(query, &format, nullptr);
        if (format != GST_FORMAT_TIME) return FALSE;
        gint64 longest = -1;
        PadList list(agg);
        for (GstAggregatorPad* pad : list.pads()) {
            gint64 d = -1;
            if (gst_pad_peer_query_duration(GST_PAD(pad), GST_FORMAT_TIME, &d) && d > longest)
                longest = d;
        }
        if (longest < 0) return FALSE;
        gst_query_set_duration(query, GST_FORMAT_TIME, longest);
        return TRUE;
    }
    return GST_AGGREGATOR_CLASS(tovamix_avi_mux_parent_class)->src_query(agg, query);
}

void resetState(GstAggregator* agg) {
    MuxState& s = *muxOf(agg)->state;
    s.mux.reset();
    s.written.store(0);
    GST_OBJECT_LOCK(agg);
    s.headerWritten = false;
    GST_OBJECT_UNLOCK(agg);
    s.finished = false;
    s.failed = false;
    s.downstream = GST_FLOW_OK;
    PadList list(agg);
    for (GstAggregatorPad* pad : list.pads())
        stateOf(pad).reset();
}

gboolean start(GstAggregator* agg) {
    resetState(agg);
    // Downstream learns at once that the output is bytes.
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_BYTES);
    gst_aggregator_update_segment(agg, &segment);
    return TRUE;
}

gboolean stop(GstAggregator* agg) {
    MuxState& s = *muxOf(agg)->state;
    if (s.headerWritten && !s.finished)
        GST_WARNING_OBJECT(agg, "stopped before the end of the streams: the file has no index");
    resetState(agg);
    return TRUE;
}

GstAggregatorPad* createNewPad(GstAggregator* agg, GstPadTemplate* templ, const gchar* reqName,
                               const GstCaps*) {
    MuxState& s = *muxOf(agg)->state;
    const gchar* pattern = GST_PAD_TEMPLATE_NAME_TEMPLATE(templ);
    const bool video = std::strcmp(pattern, "video_%u") == 0;
    if (!video && std::strcmp(pattern, "audio_%u") != 0) return nullptr;
    const char* prefix = video ? "video_" : "audio_";

    GST_OBJECT_LOCK(agg);
    if (s.headerWritten) {
        GST_OBJECT_UNLOCK(agg);
        GST_WARNING_OBJECT(agg, "the AVI header is written; no new streams can join");
        return nullptr;
    }
    unsigned& counter = video ? s.nextVideo : s.nextAudio;
    unsigned serial = counter;
    if (reqName && g_str_has_prefix(reqName, prefix) && std::strchr(reqName, '%') == nullptr) {
        gchar* end = nullptr;
        const char* digits = reqName + std::strlen(prefix);
        const guint64 n = g_ascii_strtoull(digits, &end, 10);
        if (end == digits || *end != '\0' || n > G_MAXUINT16) {
            GST_OBJECT_UNLOCK(agg);
            GST_WARNING_OBJECT(agg, "bad pad name %s", reqName);
            return nullptr;
        }
        serial = unsigned(n);
    }
    const GlibText name = takeString(g_strdup_printf("%s%u", prefix, serial));
    for (GList* l = GST_ELEMENT(agg)->sinkpads; l; l = l->next) {
        if (std::strcmp(GST_PAD_NAME(l->data), name.get()) == 0) {
            GST_OBJECT_UNLOCK(agg);
            GST_WARNING_OBJECT(agg, "pad %s exists already", name.get());
            return nullptr;
        }
    }
    counter = std::max(counter, serial + 1);
    auto* pad = static_cast<TovamixAviMuxPad*>(g_object_new(tovamix_avi_mux_pad_get_type(), "name",
                                                            name.get(), "direction", GST_PAD_SINK,
                                                            "template", templ, nullptr));
    pad->state->video = video;
    pad->state->serial = serial;
    GST_OBJECT_UNLOCK(agg);
    return GST_AGGREGATOR_PAD(pad);
}

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition) {
    if (transition == GST_STATE_CHANGE_PAUSED_TO_PLAYING) {
        GST_OBJECT_LOCK(element);
        const bool noInputs = element->numsinkpads == 0;
        GST_OBJECT_UNLOCK(element);
        if (noInputs) {
            GST_ELEMENT_ERROR(element, CORE, PAD, ("The AVI writer has no inputs."),
                              ("request a video_%%u or audio_%%u pad before playing"));
            return GST_STATE_CHANGE_FAILURE;
        }
    }
    return GST_ELEMENT_CLASS(tovamix_avi_mux_parent_class)->change_state(element, transition);
}

enum { PROP_0, PROP_LOCATION, PROP_FILE_WRITTEN, PROP_COMMON_ORIGIN };

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<TovamixAviMux*>(object);
    if (id == PROP_COMMON_ORIGIN) {
        GST_OBJECT_LOCK(self);
        self->state->commonOrigin = g_value_get_boolean(value);
        GST_OBJECT_UNLOCK(self);
        return;
    }
    if (id != PROP_LOCATION) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    const gchar* location = g_value_get_string(value);
    GST_OBJECT_LOCK(self);
    self->state->location = location ? location : "";
    self->state->fileWritten = false;
    GST_OBJECT_UNLOCK(self);
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<TovamixAviMux*>(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_LOCATION:
        g_value_set_string(value,
                           self->state->location.empty() ? nullptr : self->state->location.c_str());
        break;
    case PROP_FILE_WRITTEN:
        g_value_set_boolean(value, self->state->fileWritten);
        break;
    case PROP_COMMON_ORIGIN:
        g_value_set_boolean(value, self->state->commonOrigin);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
    GST_OBJECT_UNLOCK(self);
}

void finalizeMux(GObject* object) {
    auto* self = reinterpret_cast<TovamixAviMux*>(object);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(tovamix_avi_mux_parent_class)->finalize(object);
}

void finalizePad(GObject* object) {
    auto* self = reinterpret_cast<TovamixAviMuxPad*>(object);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(tovamix_avi_mux_pad_parent_class)->finalize(object);
}

} // namespace
} // namespace platform::dshow

static void tovamix_avi_mux_pad_class_init(TovamixAviMuxPadClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = platform::dshow::finalizePad;
}

static void tovamix_avi_mux_pad_init(TovamixAviMuxPad* pad) {
    pad->state = new PadState;
}

static void tovamix_avi_mux_class_init(TovamixAviMuxClass* klass) {
    using namespace platform::dshow;
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    GstAggregatorClass* aggClass = GST_AGGREGATOR_CLASS(klass);
    objectClass->finalize = finalizeMux;
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    g_object_class_install_property(
        objectClass, PROP_LOCATION,
        g_param_spec_string("location", "Location",
                            "Write the AVI file here directly (a symbolic link is refused) "
                            "instead of sending its bytes downstream; set before the data flows",
                            nullptr, GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        objectClass, PROP_FILE_WRITTEN,
        g_param_spec_boolean("file-written", "File written",
                             "Whether the element has created or emptied the file at location "
                             "(since location was last set)",
                             FALSE, GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        objectClass, PROP_COMMON_ORIGIN,
        g_param_spec_boolean("common-origin", "Common origin",
                             "Place video frames by their running time from 0, the origin the "
                             "sound starts from, instead of from the stream's first frame; a "
                             "late picture stream then starts with empty (repeated) frames",
                             FALSE, GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    elementClass->change_state = changeState;
    gst_element_class_set_static_metadata(
        elementClass, "Tovamix AVI multiplexer", "Codec/Muxer",
        "Writes MPEG-4 video (XVID), MS Video 1 (MSVC), MP3 and PCM streams into AVI files "
        "with OpenDML indexes",
        "Tovamix");
    gst_element_class_add_static_pad_template_with_gtype(elementClass, &srcTemplate,
                                                         GST_TYPE_AGGREGATOR_PAD);
    gst_element_class_add_static_pad_template_with_gtype(elementClass, &videoTemplate,
                                                         tovamix_avi_mux_pad_get_type());
    gst_element_class_add_static_pad_template_with_gtype(elementClass, &audioTemplate,
                                                         tovamix_avi_mux_pad_get_type());
    aggClass->aggregate = aggregate;
    aggClass->sink_event = sinkEvent;
    aggClass->src_event = srcEvent;
    aggClass->src_query = srcQuery;
    aggClass->start = start;
    aggClass->stop = stop;
    aggClass->create_new_pad = createNewPad;
}

static void tovamix_avi_mux_init(TovamixAviMux* self) {
    self->state = new MuxState;
}

namespace platform::dshow {

bool registerAviMuxElement() {
    static const bool registered = [] {
        if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) return false;
        GST_DEBUG_CATEGORY_INIT(tovamix_avimux_debug, "tovamixavimux", 0,
                                "Tovamix AVI multiplexer");
        return gst_element_register(nullptr, "tovamixavimux", GST_RANK_NONE,
                                    tovamix_avi_mux_get_type()) == TRUE;
    }();
    return registered;
}

} // namespace platform::dshow
