#include "AviMuxElement.h"

#include "AviMuxInternal.h"
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

GST_DEBUG_CATEGORY_STATIC(tovamix_avimux_debug);
#define GST_CAT_DEFAULT tovamix_avimux_debug

namespace platform::dshow {
namespace {

using avimux::capsText;
using avimux::describe;
using avimux::GlibText;
using avimux::MappedBuffer;
using avimux::parseCaps;
using avimux::StreamFormat;
using avimux::takeString;

// Per sink pad. Written and read by the aggregate thread only (caps events are handled
// there too); `video` and `serial` are fixed when the pad is made.
struct PadState {
    bool video = true;
    unsigned serial = 0;
    bool hasFormat = false;
    StreamFormat format;
    int stream = -1; // in the file, set when the header is written
    // Positions are counted in format.unit(); video positions follow the running time
    // measured from the stream's first timestamp, so dropped frames become empty chunks.
    bool haveOrigin = false;
    GstClockTime origin = 0;
    int64_t next = 0;

    void reset() {
        hasFormat = false;
        format = StreamFormat{};
        stream = -1;
        haveOrigin = false;
        origin = 0;
        next = 0;
    }
};

struct MuxState {
    // -- The two following fields are set and read under the object lock (properties).
    std::string location;     // the file written directly; empty: bytes go downstream
    bool fileWritten = false; // this element created or truncated location
    // Video counts from running time 0, where sound starts, rather than from its own first
    // picture; read by the aggregate thread under the object lock.
    bool commonOrigin = false;
    std::unique_ptr<vfw::AviMuxer> mux; // from the header on, until stopped
    bool headerWritten = false; // also read by the pad-request thread, under the object lock
    bool finished = false;
    bool failed = false;
    GstFlowReturn downstream = GST_FLOW_OK;
    unsigned nextVideo = 0, nextAudio = 0;
    // How far the file reaches (nanoseconds): the end of the stream written furthest. Written
    // by the aggregate thread, read by position queries from any thread.
    std::atomic<guint64> written{0};
};

} // namespace
} // namespace platform::dshow

using platform::dshow::MuxState;
using platform::dshow::PadState;

// GObject types: the element and its sink pads.
struct TovamixAviMuxPad {
    GstAggregatorPad parent;
    PadState* state;
};
struct TovamixAviMuxPadClass {
    GstAggregatorPadClass parent_class;
};
struct TovamixAviMux {
    GstAggregator parent;
    MuxState* state;
};
struct TovamixAviMuxClass {
    GstAggregatorClass parent_class;
};

G_DEFINE_TYPE(TovamixAviMuxPad, tovamix_avi_mux_pad, GST_TYPE_AGGREGATOR_PAD)
G_DEFINE_TYPE(TovamixAviMux, tovamix_avi_mux, GST_TYPE_AGGREGATOR)

namespace platform::dshow {
namespace {

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
                                            "video/x-h264"));
GstStaticPadTemplate audioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio_%u", GST_PAD_SINK, GST_PAD_REQUEST,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion = (int) 1, layer = (int) 3; "
                                            "audio/x-raw, format = (string) { S16LE, U8 }, "
                                            "layout = (string) interleaved"));

TovamixAviMux* muxOf(GstAggregator* agg) {
    return reinterpret_cast<TovamixAviMux*>(agg);
}
PadState& stateOf(GstAggregatorPad* pad) {
    return *reinterpret_cast<TovamixAviMuxPad*>(pad)->state;
}

// The sink pads at one moment, each holding a reference.
class PadList {
  public:
    explicit PadList(GstAggregator* agg) {
        GST_OBJECT_LOCK(agg);
        for (GList* l = GST_ELEMENT(agg)->sinkpads; l; l = l->next)
            pads_.push_back(GST_AGGREGATOR_PAD(gst_object_ref(l->data)));
        GST_OBJECT_UNLOCK(agg);
    }
    ~PadList() {
        for (GstAggregatorPad* p : pads_)
            gst_object_unref(p);
    }
    PadList(const PadList&) = delete;
    PadList& operator=(const PadList&) = delete;
    const std::vector<GstAggregatorPad*>& pads() const { return pads_; }

  private:
    std::vector<GstAggregatorPad*> pads_;
};

// ---- output: the muxer core writes through these two callbacks ----

bool writeOutput(GstAggregator* agg, const uint8_t* data, size_t size, int64_t offset) {
    MuxState& s = *muxOf(agg)->state;
    if (s.downstream != GST_FLOW_OK) return false;
    GstBuffer* buf = gst_buffer_new_memdup(data, size);
    GST_BUFFER_OFFSET(buf) = guint64(offset);
    GST_BUFFER_OFFSET_END(buf) = guint64(offset) + size;
    const GstFlowReturn flow = gst_aggregator_finish_buffer(agg, buf); // takes buf
    if (flow != GST_FLOW_OK) {
        GST_DEBUG_OBJECT(agg, "downstream returned %s", gst_flow_get_name(flow));
        s.downstream = flow;
        return false;
    }
    return true;
}

// Moving the output position is a new byte segment downstream: a filesink seeks its file to
// the segment start before it writes the next buffer. That is how the header and the index
// are rewritten at the end.
void seekOutput(GstAggregator* agg, int64_t offset) {
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_BYTES);
    segment.start = guint64(offset);
    segment.position = guint64(offset);
    gst_aggregator_update_segment(agg, &segment);
    GST_LOG_OBJECT(agg, "output position -> %" G_GINT64_FORMAT, offset);
}

bool downstreamSeekable(GstAggregator* agg) {
    const GstRef<GstQuery> query(gst_query_new_seeking(GST_FORMAT_BYTES));
    gboolean seekable = FALSE;
    if (gst_pad_peer_query(GST_AGGREGATOR_SRC_PAD(agg), query.get())) {
        GstFormat format = GST_FORMAT_UNDEFINED;
        gst_query_parse_seeking(query.get(), &format, &seekable, nullptr, nullptr);
        if (format != GST_FORMAT_BYTES) seekable = FALSE;
    }
    return seekable;
}

// ---- header, packets, trailer ----

GstFlowReturn writeHeader(GstAggregator* agg, const PadList& list) {
    MuxState& s = *muxOf(agg)->state;
    std::vector<GstAggregatorPad*> inputs;
    for (GstAggregatorPad* pad : list.pads()) {
        PadState& ps = stateOf(pad);
        if (ps.hasFormat)
            inputs.push_back(pad);
        else if (!gst_aggregator_pad_is_eos(pad))
            return GST_AGGREGATOR_FLOW_NEED_DATA; // its caps are still to come
        else
            GST_WARNING_OBJECT(pad, "ended without a stream format; left out of the file");
    }
    if (inputs.empty()) {
        GST_ELEMENT_ERROR(
            agg, STREAM, MUX, ("Nothing to write into the AVI file."),
            ("%u sink pads, none of them received a stream format", unsigned(list.pads().size())));
        return GST_FLOW_ERROR;
    }
    // Video streams first (00dc before 01wb, as players expect), then by pad number.
    std::stable_sort(inputs.begin(), inputs.end(), [](GstAggregatorPad* a, GstAggregatorPad* b) {
        const PadState &x = stateOf(a), &y = stateOf(b);
        if (x.video != y.video) return x.video;
        return x.serial < y.serial;
    });

    GST_OBJECT_LOCK(agg);
    const std::string location = s.location;
    GST_OBJECT_UNLOCK(agg);
    const bool seekable = !location.empty() || downstreamSeekable(agg);
    GST_INFO_OBJECT(agg, "%s: writing the %s layout",
                    !location.empty() ? location.c_str()
                    : seekable        ? "downstream can seek"
                                      : "downstream cannot seek",
                    seekable ? "indexed" : "streamable");
    std::string why;
    if (!location.empty()) {
        // The file is opened (created or emptied) only now, when its first data is here: a
        // graph that fails before leaves whatever was at location as it was.
        s.mux = vfw::AviMuxer::toFile(location, &why);
        if (!s.mux) {
            GST_ELEMENT_ERROR(agg, RESOURCE, OPEN_WRITE,
                              ("Cannot write the AVI file \"%s\".", location.c_str()),
                              ("%s", why.c_str()));
            return GST_FLOW_ERROR;
        }
        GST_OBJECT_LOCK(agg);
        s.fileWritten = true;
        GST_OBJECT_UNLOCK(agg);
    } else {
        vfw::AviByteSink sink;
        sink.write = [agg](const uint8_t* data, size_t size, int64_t offset) {
            return writeOutput(agg, data, size, offset);
        };
        if (seekable) sink.seek = [agg](int64_t offset) { seekOutput(agg, offset); };
        const GlibText name = takeString(gst_object_get_name(GST_OBJECT(agg)));
        s.mux = vfw::AviMuxer::toSink(std::string("the output of ") + (name ? name.get() : "?"),
                                      std::move(sink), &why);
        if (!s.mux) {
            GST_ELEMENT_ERROR(agg, LIBRARY, INIT, ("Cannot set up the AVI writer."),
                              ("%s", why.c_str()));
            return GST_FLOW_ERROR;
        }
    }

    std::string streams;
    for (GstAggregatorPad* pad : inputs) {
        PadState& ps = stateOf(pad);
        ps.stream = ps.format.video ? s.mux->addVideo(ps.format.videoFormat(), &why)
                                    : s.mux->addAudio(ps.format.audioFormat(), &why);
        if (ps.stream < 0) {
            GST_ELEMENT_ERROR(agg, STREAM, MUX, ("Cannot write the AVI header."),
                              ("pad %s: %s", GST_PAD_NAME(pad), why.c_str()));
            return GST_FLOW_ERROR;
        }
        streams += (streams.empty() ? "" : ", ") + std::string(GST_PAD_NAME(pad)) + ": " +
                   describe(ps.format);
    }

    if (!gst_pad_has_current_caps(GST_AGGREGATOR_SRC_PAD(agg))) {
        const GstRef<GstCaps> caps(gst_caps_new_empty_simple("video/x-msvideo"));
        gst_aggregator_set_src_caps(agg, caps.get());
    }

    const bool ok = s.mux->writeHeader(&why);
    if (s.downstream != GST_FLOW_OK) return s.downstream;
    if (!ok) {
        GST_ELEMENT_ERROR(agg, STREAM, MUX, ("Cannot write the AVI header."),
                          ("%s (streams %s)", why.c_str(), streams.c_str()));
        return GST_FLOW_ERROR;
    }
    GST_OBJECT_LOCK(agg);
    s.headerWritten = true;
    GST_OBJECT_UNLOCK(agg);
    GST_INFO_OBJECT(agg, "header written: %s", streams.c_str());
    return GST_FLOW_OK;
}

GstClockTime runningTime(GstAggregatorPad* pad, GstBuffer* buf) {
    const GstClockTime ts = GST_BUFFER_DTS_OR_PTS(buf);
    if (!GST_CLOCK_TIME_IS_VALID(ts)) return GST_CLOCK_TIME_NONE;
    GST_OBJECT_LOCK(pad);
    const GstClockTime rt = pad->segment.format == GST_FORMAT_TIME
                                ? gst_segment_to_running_time(&pad->segment, GST_FORMAT_TIME, ts)
                                : GST_CLOCK_TIME_NONE;
    GST_OBJECT_UNLOCK(pad);
    return rt;
}

// Where the buffer goes in its stream, in format.unit(). Audio chunks follow each other
// without gaps; a video frame goes where its running time says, never before the next free
// position.
int64_t positionOf(const PadState& ps, GstClockTime rt) {
    if (ps.format.video && GST_CLOCK_TIME_IS_VALID(rt)) {
        const GstClockTime origin = ps.haveOrigin ? ps.origin : rt;
        const guint64 since = rt > origin ? rt - origin : 0;
        const auto index = int64_t(gst_util_uint64_scale_round(
            since, guint64(ps.format.fpsN), guint64(ps.format.fpsD) * GST_SECOND));
        return std::max(index, ps.next);
    }
    return ps.next;
}

GstClockTime timeOf(const PadState& ps, int64_t position) {
    const vfw::AviUnit u = ps.format.unit();
    return gst_util_uint64_scale(guint64(position), guint64(u.num) * GST_SECOND, guint64(u.den));
}

GstFlowReturn writePacket(GstAggregator* agg, GstAggregatorPad* pad, GstBuffer* buf,
                          int64_t position) {
    MuxState& s = *muxOf(agg)->state;
    PadState& ps = stateOf(pad);
    const MappedBuffer map(buf);
    if (!map.ok()) {
        GST_ELEMENT_ERROR(agg, STREAM, FAILED, ("Cannot read an input buffer."),
                          ("mapping a buffer of %s failed", GST_PAD_NAME(pad)));
        return GST_FLOW_ERROR;
    }
    int64_t units = 1;
    if (ps.format.isPcm()) {
        // A partial sample frame would shift every later sample into the wrong channel.
        if (map.size() % size_t(ps.format.blockAlign) != 0) {
            GST_ELEMENT_ERROR(agg, STREAM, FORMAT, ("The PCM audio is broken."),
                              ("a buffer of %" G_GSIZE_FORMAT " bytes on %s is not a whole "
                               "number of %d-byte sample frames",
                               gsize(map.size()), GST_PAD_NAME(pad), ps.format.blockAlign));
            return GST_FLOW_ERROR;
        }
        units = int64_t(map.size()) / ps.format.blockAlign;
        if (units == 0) return GST_FLOW_OK; // no samples, nothing to write
    }

    const bool key = !GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
    std::string why;
    bool ok = s.mux->writePacket(ps.stream, position, map.data(), map.size(), units, key, &why);
    // A file of our own gets every chunk handed to the system at once: a recording whose
    // program is killed then keeps its sound up to that moment, not up to the last full buffer.
    if (ok && s.fileWritten) ok = s.mux->flush(&why);
    if (s.downstream != GST_FLOW_OK) return s.downstream;
    if (!ok) {
        GST_ELEMENT_ERROR(agg, STREAM, MUX, ("Cannot write into the AVI file."),
                          ("packet at position %" G_GINT64_FORMAT " of %s: %s", position,
                           GST_PAD_NAME(pad), why.c_str()));
        return GST_FLOW_ERROR;
    }
    ps.next = position + units;
    const guint64 end = timeOf(ps, ps.next);
    if (end > s.written.load()) s.written.store(end);
    return GST_FLOW_OK;
}

GstFlowReturn writeTrailer(GstAggregator* agg) {
    MuxState& s = *muxOf(agg)->state;
    std::string why;
    const bool ok = s.mux->finish(&why);
    if (s.downstream != GST_FLOW_OK) return s.downstream;
    if (!ok) {
        GST_ELEMENT_ERROR(agg, STREAM, MUX, ("Cannot finish the AVI file."), ("%s", why.c_str()));
        return GST_FLOW_ERROR;
    }
    s.finished = true;
    GST_INFO_OBJECT(agg, "trailer written, %" G_GINT64_FORMAT " bytes", s.mux->size());
    return GST_FLOW_EOS;
}

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
