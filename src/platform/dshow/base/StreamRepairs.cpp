#include "platform/dshow/base/StreamRepairs.h"

#include <algorithm>
#include <mutex>
#include <string>

namespace platform::dshow {

namespace {

// A picture stream's caps with a pixel aspect ratio that is not a positive fraction get one
// of 1/1; null when nothing needs mending.
GstCaps* withSquarePixels(GstCaps* caps) {
    GstCaps* mended = nullptr;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        if (!gst_structure_has_name(s, "video/x-raw")) continue;
        gint num = 1, den = 1;
        if (!gst_structure_get_fraction(s, "pixel-aspect-ratio", &num, &den)) continue;
        if (num > 0 && den > 0) continue;
        if (!mended) mended = gst_caps_copy(caps);
        gst_structure_set(gst_caps_get_structure(mended, i), "pixel-aspect-ratio",
                          GST_TYPE_FRACTION, 1, 1, nullptr);
    }
    return mended;
}

GstPadProbeReturn mendCaps(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    if (GstCaps* mended = caps ? withSquarePixels(caps) : nullptr) {
        GstEvent* replaced = gst_event_new_caps(mended);
        gst_caps_unref(mended);
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = replaced;
    }
    return GST_PAD_PROBE_OK;
}

// The answer to a caps query mended the same way, so that what links downstream (a renderer,
// a mixer) is offered the caps the stream will have: asked before any data flows, a raw RGB
// reader answers with the caps its pad has, -1/1 and all, and nothing would link to them.
GstPadProbeReturn mendCapsAnswer(GstPad*, GstPadProbeInfo* info, gpointer) {
    if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_PULL)) return GST_PAD_PROBE_OK;
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    if (!query || GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_query_parse_caps_result(query, &caps);
    if (GstCaps* mended = caps ? withSquarePixels(caps) : nullptr) {
        gst_query_set_caps_result(query, mended);
        gst_caps_unref(mended);
    }
    return GST_PAD_PROBE_OK;
}

void watchPad(GstElement*, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, mendCaps, nullptr, nullptr);
    gst_pad_add_probe(pad,
                      GstPadProbeType(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PULL),
                      mendCapsAnswer, nullptr, nullptr);
}

// How much earlier than the moment asked an exact seek is asked of a reader without an index.
constexpr GstClockTime SeekLead = 2 * GST_SECOND;

// What one reader was asked last, shared by its outputs: a seek comes up every output with
// the same number, and each output's answering segment carries that number.
struct MendedSeek {
    std::mutex lock;
    guint32 seqnum = GST_SEQNUM_INVALID;
    gint64 start = -1, sent = -1; // the start asked for, and the one passed to the reader
    gint64 stop = -1;             // the end asked for, or -1
    bool stopKept = false;        // that end was not passed to the reader
};

// Two mends of the seeks the readers of MPEG program and transport streams are given.
//
// They have no index: they land a seek by the streams' clock references, often half a second
// or more after the moment asked, and the decoder then starts at the next picture that decodes
// on its own. A cut then began with one picture repeated for a second and a grab gave a later
// picture. So an exact seek is asked of them from SeekLead earlier, and the segment they
// answer with is put back to the moment asked: the decoder decodes from where the reader
// landed and drops what lies before that moment, keeping the picture whose time span holds it.
//
// They take their length as the end of their stream time, which starts where the container's
// stamps do, so an end asked for past the length was cut to it and the stream's last half
// second or so was lost. Such an end is not passed to the reader; their segment carries it,
// and the decoders drop what lies after it. (The transport stream reader, asked to start
// before its first packet, answers with no end at all: the end asked for is put back too.)
GstPadProbeReturn mendSeek(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* state = static_cast<MendedSeek*>(data);
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event) return GST_PAD_PROBE_OK;
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        gdouble rate = 1;
        GstFormat format = GST_FORMAT_UNDEFINED;
        GstSeekFlags flags = GST_SEEK_FLAG_NONE;
        GstSeekType startType = GST_SEEK_TYPE_NONE, stopType = GST_SEEK_TYPE_NONE;
        gint64 start = -1, stop = -1;
        gst_event_parse_seek(event, &rate, &format, &flags, &startType, &start, &stopType, &stop);
        if (format != GST_FORMAT_TIME || rate <= 0) return GST_PAD_PROBE_OK;
        gint64 length = -1;
        const bool pastLength = stopType == GST_SEEK_TYPE_SET && stop >= 0 &&
                                gst_pad_query_duration(pad, GST_FORMAT_TIME, &length) &&
                                length > 0 && stop > length;
        const bool earlier =
            (flags & GST_SEEK_FLAG_ACCURATE) && startType == GST_SEEK_TYPE_SET && start > 0;
        const guint32 seqnum = gst_event_get_seqnum(event);
        std::lock_guard<std::mutex> hold(state->lock);
        if (state->seqnum != seqnum) {
            state->seqnum = seqnum;
            state->start = earlier ? start : -1;
            state->sent = earlier ? std::max<gint64>(0, start - gint64(SeekLead)) : -1;
            state->stop = stopType == GST_SEEK_TYPE_SET ? stop : -1;
            state->stopKept = pastLength;
        }
        if (state->start < 0 && !state->stopKept) return GST_PAD_PROBE_OK;
        GstEvent* mended = gst_event_new_seek(
            rate, format, flags, startType, state->start >= 0 ? state->sent : start,
            state->stopKept ? GST_SEEK_TYPE_NONE : stopType, state->stopKept ? -1 : stop);
        gst_event_set_seqnum(mended, seqnum);
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = mended;
        return GST_PAD_PROBE_OK;
    }
    if (GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT) return GST_PAD_PROBE_OK;
    std::lock_guard<std::mutex> hold(state->lock);
    if (state->seqnum == GST_SEQNUM_INVALID || gst_event_get_seqnum(event) != state->seqnum)
        return GST_PAD_PROBE_OK;
    const GstSegment* seg = nullptr;
    gst_event_parse_segment(event, &seg);
    if (seg->format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
    GstSegment put;
    gst_segment_copy_into(seg, &put);
    if (state->start >= 0 && gint64(seg->start) < state->start) {
        // As the reader answers a seek to that moment: its stream time is the moment too. (A
        // reader asked to start before its first packet starts its segment at that packet and
        // keeps the time asked for, an offset that must not be carried over.)
        put.start = guint64(state->start);
        put.time = put.start;
        put.position = put.start;
    }
    // A reader asked to start before its first packet answers with no end at all.
    if (state->stop >= 0 &&
        (!GST_CLOCK_TIME_IS_VALID(seg->stop) || gint64(seg->stop) > state->stop))
        put.stop = guint64(state->stop);
    GstEvent* replaced = gst_event_new_segment(&put);
    gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
    gst_event_unref(event);
    GST_PAD_PROBE_INFO_DATA(info) = replaced;
    return GST_PAD_PROBE_OK;
}

void mendSeeksOn(GstElement*, GstPad* pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    gst_pad_add_probe(
        pad,
        GstPadProbeType(GST_PAD_PROBE_TYPE_EVENT_UPSTREAM | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        mendSeek, data, nullptr);
}

// An AVI reader's outputs are watched as it adds them, as are an MPEG stream reader's; other
// elements are left alone.
void elementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory) return;
    const std::string name = GST_OBJECT_NAME(factory);
    if (name == "avidemux") {
        g_signal_connect(element, "pad-added", G_CALLBACK(watchPad), nullptr);
    } else if (name == "mpegpsdemux" || name == "tsdemux") {
        // The state lives as long as the reader.
        auto* state = new MendedSeek;
        g_object_set_data_full(G_OBJECT(element), "tovamix-mended-seek", state,
                               [](gpointer p) { delete static_cast<MendedSeek*>(p); });
        g_signal_connect(element, "pad-added", G_CALLBACK(mendSeeksOn), state);
    }
}

} // namespace

GstCaps* mendedCaps(GstCaps* caps) {
    return withSquarePixels(caps);
}

void repairStreamsOf(GstBin* bin) {
    g_signal_connect(bin, "deep-element-added", G_CALLBACK(elementAdded), nullptr);
}

} // namespace platform::dshow
