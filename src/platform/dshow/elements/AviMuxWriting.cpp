// The AVI multiplexer element's writing of its file: the muxer core's output (to a file of
// its own or downstream), the header once every stream's format is known, each packet at its
// position (a late picture leaves empty chunks before it), and the trailer with the index.
#include "platform/dshow/elements/AviMuxState.h"

#include <algorithm>
#include <cstring>

#define GST_CAT_DEFAULT tovamix_avimux_debug

namespace platform::dshow::avimux {

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

} // namespace platform::dshow::avimux
