// The render engine: a committed GESTimeline put into a graph of this layer as one filter,
// "Timeline", a bin whose output pins ("Group 0", "Group 1" ...) are the timeline's track
// pads in group order. The caller routes each pin through an encoder into the AVI
// multiplexer with the capture graph builder; GES's own render mode is not used, since it
// picks its own encoders and multiplexer.
//
// The filter tells the graph the timeline's length and how far the streams that passed its
// pins have come (the graph's own position query goes to the file writer, which sees no
// data), and the bin ends its streams when the graph sends the end of stream on Stop: the
// GES compositions do not pass such an event on, and the multiplexer finishes its file only
// on the end of every stream.
//
// Threads: the engine belongs to the user-interface thread; the pin probes run on the
// timeline's streaming threads and touch only Outputs, which is thread-safe.
#include "platform/dshow/graph/GraphImpl.h"
#include "platform/dshow/timeline/TimelineImpl.h"

#include <gst/audio/audio.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

#include <sys/resource.h>

namespace platform::dshow {

namespace {

// How long a stream that has reached the timeline's end may take to end by itself: the
// composition's own end of stream follows its last buffer at once.
constexpr auto EndOfStreamGrace = std::chrono::milliseconds(500);
// Sound converted to another rate may end a sample short of its stretch.
constexpr GstClockTime EndTolerance = GST_MSECOND;
// Pictures (or sound buffers) held between the timeline and what follows each output pin.
constexpr unsigned OutputQueueBuffers = 8;
// Sound that lies this far from where the previous buffer ended is moved (a gap filled with
// silence, an overlap cut): rounding between sources stays as it is.
constexpr GstClockTime SoundGapTolerance = 5 * GST_MSECOND;

// A stream that gives nothing more for this long, short of the timeline's end by at most
// MaxShortfall, while every other stream has come to its end, is ended: its source ran out
// before the stretch its file's headers claim (a Windows Media file whose sound ends 40 ms
// before the length in its header), and the composition would wait for the rest for ever.
constexpr auto StallAtEnd = std::chrono::seconds(1);
constexpr GstClockTime MaxShortfall = GST_SECOND;

// Pictures a source's stream may repeat at its end to fill its stretch on the timeline: a
// frame's worth of rounding between the last picture and the stretch's end, never more than
// a second.
constexpr GstClockTime MaxClosingRepeat = GST_SECOND;

// The silence after a sound that ended early goes in pieces of this length.
constexpr GstClockTime SilenceStep = 40 * GST_MSECOND;

// Where the sound of a render may end: the timeline's end, or where its picture ended once it
// has (a file whose headers claim hours ends its picture where its data does); 0 without a
// picture, where the sound is the file and nothing follows it.
class SoundLimit {
  public:
    SoundLimit(GstClockTime end, bool picture)
        : end_(end), pictureEnd_(picture ? GST_CLOCK_TIME_NONE : 0) {}
    GstClockTime get() const { return std::min<GstClockTime>(end_, pictureEnd_); }
    // Whether silence up to `at` may go now: not further ahead of the picture than the
    // multiplexer needs to lay the picture down, so that silence never runs past a picture
    // that then ends early (its file claimed more than it holds).
    bool mayReach(GstClockTime at) const {
        return pictureEnd_ != GST_CLOCK_TIME_NONE || at <= pictureAt_ + SilenceLead;
    }
    bool stopped() const { return stopped_; }
    void pictureAt(GstClockTime at) { pictureAt_ = at; }
    void pictureEnded(GstClockTime at) { pictureEnd_ = at; }
    void stop() { stopped_ = true; }

  private:
    static constexpr GstClockTime SilenceLead = 200 * GST_MSECOND;
    const GstClockTime end_;
    std::atomic<GstClockTime> pictureEnd_;
    std::atomic<GstClockTime> pictureAt_{0};
    std::atomic<bool> stopped_{false};
};

// Pushes silence on a sound pad from `from` up to the limit (its stream time), a little at a
// time and never far ahead of the picture, in the format the pad carries: a sound that ends before
// its picture (the last source's sound is shorter than its picture, or its source ran out) is
// followed by silence up to the picture's end, so that the file's sound lasts as long as its
// picture, as the gaps inside the timeline do. Called on the pad's streaming thread (or where that
// thread stands still), before the end of stream; a Stop ends it.
void pushSilence(GstPad* pad, GstClockTime from, const SoundLimit& limit) {
    const CapsRef caps(gst_pad_get_current_caps(pad));
    GstAudioInfo info;
    if (!caps || !gst_audio_info_from_caps(&info, caps) || info.rate <= 0 || info.bpf <= 0) return;
    for (GstClockTime at = from; at + SoundGapTolerance < limit.get() && !limit.stopped();) {
        const GstClockTime until = std::min<GstClockTime>(limit.get(), at + SilenceStep);
        if (!limit.mayReach(until)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const guint64 first = gst_util_uint64_scale_round(at, guint64(info.rate), GST_SECOND);
        const guint64 last = gst_util_uint64_scale_round(until, guint64(info.rate), GST_SECOND);
        if (last <= first) return;
        GstBuffer* silence =
            gst_buffer_new_allocate(nullptr, gsize(last - first) * gsize(info.bpf), nullptr);
        GstMapInfo map;
        if (!gst_buffer_map(silence, &map, GST_MAP_WRITE)) {
            gst_buffer_unref(silence);
            return;
        }
        gst_audio_format_info_fill_silence(info.finfo, map.data, map.size);
        gst_buffer_unmap(silence, &map);
        GST_BUFFER_PTS(silence) = at;
        GST_BUFFER_DURATION(silence) = until - at;
        GST_BUFFER_OFFSET(silence) = first;
        GST_BUFFER_OFFSET_END(silence) = last;
        if (gst_pad_push(pad, silence) != GST_FLOW_OK) return;
        at = until;
    }
}

// Puts a sound stream on the timeline's own time, in one segment from 0. The compositions start
// a new segment for each source, and after a source whose sound ended early their running time
// no longer matches the place on the timeline: the next source's sound would run that much
// early. So the first buffer of each source goes where its stream time says (what follows,
// audiorate, fills the gap before it with silence), and the rest of that source's sound follows
// on without gaps, as the multiplexer has always laid it: timestamps inside one file may be
// wrong (a damaged header spreads its chunks over hours), its place on the timeline is not.
//
// At the stream's own end (not a Stop, which ends the pins themselves) silence follows up to
// `end`, pushed on `out`, the pad that passes the sound on: the end of stream has not reached
// it yet.
void onTimelineTime(GstPad* pad, GstPad* out, std::shared_ptr<const SoundLimit> limit) {
    struct State {
        GstPad* out; // the sound's way on; lives as long as the probe's pad
        std::shared_ptr<const SoundLimit> limit;
        GstSegment source;                       // the segment the source's buffers came in
        bool sent = false;                       // the one segment downstream has gone
        bool fresh = true;                       // no buffer yet in the source's segment
        GstClockTime next = GST_CLOCK_TIME_NONE; // where the last buffer ended
    };
    auto* state = new State{out, std::move(limit), {}};
    gst_segment_init(&state->source, GST_FORMAT_TIME);
    gst_pad_add_probe(
        pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* s = static_cast<State*>(data);
            if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
                GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
                if (!GST_BUFFER_PTS_IS_VALID(buf)) return GST_PAD_PROBE_OK;
                GstClockTime at = s->next;
                if (s->fresh || !GST_CLOCK_TIME_IS_VALID(at)) {
                    guint64 streamTime = 0;
                    if (gst_segment_to_stream_time_full(&s->source, GST_FORMAT_TIME,
                                                        GST_BUFFER_PTS(buf), &streamTime) <= 0)
                        return GST_PAD_PROBE_DROP; // before the timeline's start
                    at = streamTime;
                    s->fresh = false;
                }
                buf = gst_buffer_make_writable(buf);
                GST_BUFFER_PTS(buf) = at;
                GST_BUFFER_DTS(buf) = GST_CLOCK_TIME_NONE;
                s->next = GST_BUFFER_DURATION_IS_VALID(buf) ? at + GST_BUFFER_DURATION(buf)
                                                            : GST_CLOCK_TIME_NONE;
                GST_PAD_PROBE_INFO_DATA(info) = buf;
                return GST_PAD_PROBE_OK;
            }
            GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
            if (GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_STOP) {
                s->sent = false;
                s->next = GST_CLOCK_TIME_NONE;
            }
            if (GST_EVENT_TYPE(e) == GST_EVENT_EOS && GST_CLOCK_TIME_IS_VALID(s->next))
                pushSilence(s->out, s->next, *s->limit);
            // A gap's time is the source's: the silence comes from the next buffer's place.
            if (GST_EVENT_TYPE(e) == GST_EVENT_GAP) return GST_PAD_PROBE_DROP;
            if (GST_EVENT_TYPE(e) != GST_EVENT_SEGMENT) return GST_PAD_PROBE_OK;
            const GstSegment* seg = nullptr;
            gst_event_parse_segment(e, &seg);
            if (seg->format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
            gst_segment_copy_into(seg, &s->source);
            s->fresh = true;
            if (s->sent) return GST_PAD_PROBE_DROP;
            s->sent = true;
            GstSegment whole;
            gst_segment_init(&whole, GST_FORMAT_TIME);
            GstEvent* replaced = gst_event_new_segment(&whole);
            gst_event_set_seqnum(replaced, gst_event_get_seqnum(e));
            gst_event_unref(e);
            GST_PAD_PROBE_INFO_DATA(info) = replaced;
            return GST_PAD_PROBE_OK;
        },
        state, [](gpointer data) { delete static_cast<State*>(data); });
}

// A source's stream ends its stretch with an end of stream carrying the number of the seek that
// asked for the stretch; the composition takes no other end as the stretch's, and waits for
// ever. The WAV, Windows Media (ASF) and MPEG transport stream readers give their end a number
// of their own: on their output pads, an end of stream gets the number of the last seek that
// came up the pad. (Only there: the AVI reader's end of a file whose header claims hours it
// does not hold is better left unrecognised, so that the stream is ended where its data ends
// rather than filled to the claimed length.)
void endWithTheSeeksNumber(GstElement*, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    auto* seek = new std::atomic<guint32>(GST_SEQNUM_INVALID);
    gst_pad_add_probe(
        pad,
        GstPadProbeType(GST_PAD_PROBE_TYPE_EVENT_UPSTREAM | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* last = static_cast<std::atomic<guint32>*>(data);
            GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
            if (GST_EVENT_TYPE(e) == GST_EVENT_SEEK) {
                *last = gst_event_get_seqnum(e);
            } else if (GST_EVENT_TYPE(e) == GST_EVENT_EOS && *last != GST_SEQNUM_INVALID &&
                       gst_event_get_seqnum(e) != *last) {
                GstEvent* end = gst_event_new_eos();
                gst_event_set_seqnum(end, *last);
                gst_event_unref(e);
                GST_PAD_PROBE_INFO_DATA(info) = end;
            }
            return GST_PAD_PROBE_OK;
        },
        seek, [](gpointer data) { delete static_cast<std::atomic<guint32>*>(data); });
}

// Tunes the elements the timeline makes for each source.
//
// The scalers scale every picture of a source to the group's size on the source's streaming
// thread. They share that work out over all processors, and scale the picture's planes as
// they are: left to themselves they also convert a high-definition source's colour matrix to
// the standard-definition one its new size implies, which takes them off their fast path and
// costs more than the scaling itself (an AVI of XviD pictures names no matrix; ffmpeg's
// scaling keeps the source's as well).
//
// The frame rate adapters repeat a source's last picture up to the end of its stretch. The
// stretch comes from the length the file's headers claim, and a damaged header can claim
// hours where the file holds a second: the repeat is bounded, so such a source ends about
// where its pictures do instead of filling a day with its last picture.
void tuneSourceElements(GstBin*, GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory) return;
    const std::string name = GST_OBJECT_NAME(factory);
    if (name == "wavparse" || name == "asfdemux" || name == "tsdemux") {
        // Its output pads: those it has already (the WAV reader's is made with it), and
        // those it adds once it knows its streams.
        gst_element_foreach_src_pad(
            element,
            [](GstElement* e, GstPad* pad, gpointer) -> gboolean {
                endWithTheSeeksNumber(e, pad, nullptr);
                return TRUE;
            },
            nullptr);
        g_signal_connect(element, "pad-added", G_CALLBACK(endWithTheSeeksNumber), nullptr);
        return;
    }
    GObjectClass* klass = G_OBJECT_GET_CLASS(element);
    if (name == "videorate") {
        if (g_object_class_find_property(klass, "max-closing-segment-duplication-duration"))
            g_object_set(element, "max-closing-segment-duplication-duration",
                         guint64(MaxClosingRepeat), nullptr);
        return;
    }
    if (name != "videoscale" && name != "videoconvertscale") return;
    if (g_object_class_find_property(klass, "n-threads"))
        g_object_set(element, "n-threads", guint(g_get_num_processors()), nullptr);
    if (g_object_class_find_property(klass, "matrix-mode"))
        gst_util_set_object_arg(G_OBJECT(element), "matrix-mode", "none");
}

// What the timeline's output pins have given so far. This class is thread-safe.
class Outputs {
  public:
    Outputs(std::vector<PadRef> pins, const std::vector<bool>& sound, GstClockTime duration,
            GstClockTime end, std::shared_ptr<SoundLimit> limit)
        : duration_(duration), end_(end), limit_(std::move(limit)) {
        for (size_t i = 0; i < pins.size(); ++i)
            pins_.push_back(std::make_unique<Pin>(std::move(pins[i]), sound[i]));
    }
    size_t count() const { return pins_.size(); }
    GstPad* pad(size_t i) const { return pins_[i]->pad.get(); }
    GstClockTime duration() const { return duration_; }

    // Watches pin i: its position, its end, and the queries the graph asks of it.
    void watch(size_t i, const std::shared_ptr<Outputs>& self) {
        gst_pad_add_probe(
            pad(i),
            GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                            GST_PAD_PROBE_TYPE_QUERY_UPSTREAM),
            &Outputs::probe, new Watch{self, i}, [](gpointer w) { delete static_cast<Watch*>(w); });
    }

    // The position every stream still running has reached (the slowest one), in
    // nanoseconds; the duration once all have come to their end, where they stopped once
    // they were ended early.
    GstClockTime position() const {
        GstClockTime running = std::numeric_limits<GstClockTime>::max(), all = running;
        for (const auto& p : pins_) {
            all = std::min<GstClockTime>(all, p->position);
            if (!p->ended) running = std::min<GstClockTime>(running, p->position);
        }
        if (running != std::numeric_limits<GstClockTime>::max()) return running;
        return endedEarly_ ? all : duration_;
    }

    // Ends every stream that has not ended yet, from the calling thread: the element after
    // each pin takes the end of stream under its stream lock, between two buffers, and
    // refuses what the timeline still pushes afterwards.
    void endAll() {
        endedEarly_ = true;
        limit_->stop();
        for (const auto& p : pins_)
            if (!p->ended.exchange(true)) gst_pad_push_event(p->pad, gst_event_new_eos());
    }

  private:
    struct Pin {
        Pin(PadRef p, bool s) : pad(std::move(p)), sound(s) {}
        PadRef pad;
        const bool sound;
        std::atomic<GstClockTime> position{0};
        std::atomic<bool> ended{false};
        std::atomic<bool> endDue{false};    // the pin has given its last buffer
        std::atomic<int64_t> lastBuffer{0}; // steady clock, nanoseconds
    };

    static int64_t steadyNow() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // On a thread of its own while the streams run: ends a stream that stopped short of the
    // end (see StallAtEnd) once all the others are at theirs.
    static void watchEnds(std::weak_ptr<Outputs> weak) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const std::shared_ptr<Outputs> o = weak.lock();
            if (!o || o->endedEarly_) return;
            size_t open = 0;
            Pin* stalled = nullptr;
            for (const auto& p : o->pins_) {
                if (p->ended || p->endDue) continue;
                ++open;
                const bool quiet =
                    p->lastBuffer != 0 &&
                    steadyNow() - p->lastBuffer > std::chrono::nanoseconds(StallAtEnd).count();
                if (quiet && p->position + MaxShortfall >= o->end_) stalled = p.get();
            }
            if (open == 0) return;
            if (open == 1 && stalled && !stalled->ended.exchange(true)) {
                // Its source ran out: a sound is followed by silence up to the end, as below.
                if (stalled->sound) pushSilence(stalled->pad, stalled->position, *o->limit_);
                gst_pad_push_event(stalled->pad, gst_event_new_eos());
            }
        }
    }
    struct Watch {
        std::shared_ptr<Outputs> outputs;
        size_t index;
    };

    // On a thread of its own, so that waiting for room downstream holds up no one: ends the
    // stream unless it has ended meanwhile. The timeline's thread then waits for the end it
    // missed, so this end follows the last buffer.
    static void endIfStalled(std::shared_ptr<Outputs> outputs, size_t index) {
        std::this_thread::sleep_for(EndOfStreamGrace);
        Pin& pin = *outputs->pins_[index];
        if (pin.endDue && !pin.ended.exchange(true))
            gst_pad_push_event(pin.pad, gst_event_new_eos());
    }

    static GstPadProbeReturn probe(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
        auto* w = static_cast<Watch*>(data);
        Outputs& o = *w->outputs;
        Pin& pin = *o.pins_[w->index];
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
            GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
            if (!GST_BUFFER_PTS_IS_VALID(buf)) return GST_PAD_PROBE_OK;
            GstClockTime end = GST_BUFFER_PTS(buf);
            if (GST_BUFFER_DURATION_IS_VALID(buf)) end += GST_BUFFER_DURATION(buf);
            // The timeline's segments run in timeline time; stream time is the place on it.
            if (const GstRef<GstEvent> seg(gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0));
                seg) {
                const GstSegment* s = nullptr;
                gst_event_parse_segment(seg, &s);
                const GstClockTime st = gst_segment_to_stream_time(s, GST_FORMAT_TIME, end);
                if (GST_CLOCK_TIME_IS_VALID(st)) end = st;
            }
            pin.position = std::min(end, o.duration_);
            if (!pin.sound) o.limit_->pictureAt(pin.position);
            pin.lastBuffer = steadyNow();
            if (!o.watching_.exchange(true))
                std::thread(&Outputs::watchEnds, std::weak_ptr<Outputs>(w->outputs)).detach();
            // Some sources end their stretch with an end of stream the composition does not
            // recognise (the WAV reader's), and the composition then waits for ever: a
            // stream that has reached its end and not ended a little later is ended here.
            if (end + EndTolerance >= o.end_ && !pin.endDue.exchange(true))
                std::thread(&Outputs::endIfStalled, w->outputs, w->index).detach();
        } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
            GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
            if (GST_EVENT_TYPE(e) == GST_EVENT_EOS) {
                if (!pin.sound) o.limit_->pictureEnded(pin.position);
                pin.ended = true;
            } else if (GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_STOP) {
                // A seek starts the stream again.
                pin.ended = false;
                pin.endDue = false;
            }
        } else if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
            GstQuery* q = GST_PAD_PROBE_INFO_QUERY(info);
            GstFormat format;
            if (GST_QUERY_TYPE(q) == GST_QUERY_DURATION) {
                gst_query_parse_duration(q, &format, nullptr);
                if (format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
                gst_query_set_duration(q, GST_FORMAT_TIME, gint64(o.duration_));
                return GST_PAD_PROBE_HANDLED;
            }
            if (GST_QUERY_TYPE(q) == GST_QUERY_POSITION) {
                gst_query_parse_position(q, &format, nullptr);
                if (format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
                gst_query_set_position(q, GST_FORMAT_TIME, gint64(o.position()));
                return GST_PAD_PROBE_HANDLED;
            }
        }
        return GST_PAD_PROBE_OK;
    }

    std::vector<std::unique_ptr<Pin>> pins_;
    const GstClockTime duration_;
    const GstClockTime end_; // where the streams end, at most duration_
    const std::shared_ptr<SoundLimit> limit_;
    std::atomic<bool> endedEarly_{false};
    std::atomic<bool> watching_{false}; // watchEnds runs
};

} // namespace

// -- The "Timeline" filter's element: a bin that holds the GESTimeline and takes the graph's
// end of stream for its outputs.

struct TovamixTimelineBin {
    GstBin parent;
    std::shared_ptr<Outputs>* outputs; // set once, right after the bin is made
};
struct TovamixTimelineBinClass {
    GstBinClass parent;
};

G_DEFINE_TYPE(TovamixTimelineBin, tovamix_timeline_bin, GST_TYPE_BIN)

static gboolean tovamix_timeline_bin_send_event(GstElement* element, GstEvent* event) {
    auto* self = reinterpret_cast<TovamixTimelineBin*>(element);
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS && self->outputs) {
        (*self->outputs)->endAll();
        gst_event_unref(event);
        return TRUE;
    }
    return GST_ELEMENT_CLASS(tovamix_timeline_bin_parent_class)->send_event(element, event);
}

static void tovamix_timeline_bin_finalize(GObject* object) {
    delete reinterpret_cast<TovamixTimelineBin*>(object)->outputs;
    G_OBJECT_CLASS(tovamix_timeline_bin_parent_class)->finalize(object);
}

static void tovamix_timeline_bin_class_init(TovamixTimelineBinClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = tovamix_timeline_bin_finalize;
    GST_ELEMENT_CLASS(klass)->send_event = tovamix_timeline_bin_send_event;
}

static void tovamix_timeline_bin_init(TovamixTimelineBin* self) {
    self->outputs = nullptr;
}

namespace {

// The "Timeline" filter: tells the graph the timeline's length and how far its streams have
// gone. A position query of the graph goes to its sinks, and the file writer behind the
// multiplexer sees no data, so the graph asks this filter itself.
class TimelineFilter final : public GstFilter, public IMediaSeeking {
  public:
    TimelineFilter(GstElement* bin, std::shared_ptr<Outputs> outputs)
        : GstFilter(bin, "Timeline"), outputs_(std::move(outputs)) {}

    HRESULT GetCurrentPosition(int64_t* position) override {
        if (!position) return E_POINTER;
        *position = int64_t(outputs_->position() / 100);
        return S_OK;
    }
    HRESULT GetDuration(int64_t* duration) override {
        if (!duration) return E_POINTER;
        *duration = int64_t(outputs_->duration() / 100);
        return S_OK;
    }
    HRESULT GetStopPosition(int64_t* stop) override { return GetDuration(stop); }
    // A render runs from the start to the end of its timeline.
    HRESULT SetPositions(int64_t*, uint32_t, int64_t*, uint32_t) override { return E_NOTIMPL; }
    HRESULT SetRate(double) override { return E_NOTIMPL; }
    HRESULT GetRate(double* rate) override {
        if (!rate) return E_POINTER;
        *rate = 1.0;
        return S_OK;
    }

  private:
    std::shared_ptr<Outputs> outputs_;
};

class RenderEngine final : public IRenderEngine {
  public:
    ~RenderEngine() override { ScrapIt(); }

    HRESULT SetTimelineObject(const std::shared_ptr<IAMTimeline>& timeline) override {
        if (!timeline) return E_POINTER;
        timeline_ = timeline;
        return S_OK;
    }

    HRESULT ConnectFrontEnd() override {
        if (!timeline_) return E_UNEXPECTED;
        ScrapIt();
        BuiltTimeline built;
        if (HRESULT h = buildTimeline(timeline_, &built); FAILED(h)) return h;

        auto* bin = static_cast<TovamixTimelineBin*>(
            g_object_new(tovamix_timeline_bin_get_type(), "name", "Timeline", nullptr));
        g_signal_connect(bin, "deep-element-added", G_CALLBACK(tuneSourceElements), nullptr);
        gst_bin_add(GST_BIN(bin), GST_ELEMENT(built.timeline.get()));
        bool picture = false;
        for (const bool sound : built.sound)
            picture = picture || !sound;
        auto limit = std::make_shared<SoundLimit>(built.end, picture);
        std::vector<PadRef> pins;
        for (size_t i = 0; i < built.pads.size(); ++i) {
            const std::string name = "Group " + std::to_string(i);
            // Each group's stream leaves through a short queue, so that what follows the pin
            // (the encoder) works on a thread of its own while the timeline decodes and scales
            // the next pictures.
            GstElement* queue = gst_element_factory_make("queue", nullptr);
            if (!queue) return VFW_E_NOT_FOUND;
            g_object_set(queue, "max-size-buffers", guint(OutputQueueBuffers), "max-size-bytes",
                         guint(0), "max-size-time", guint64(0), nullptr);
            gst_bin_add(GST_BIN(bin), queue);
            const PadRef queueSink(gst_element_get_static_pad(queue, "sink"));
            if (gst_pad_link(built.pads[i], queueSink) != GST_PAD_LINK_OK) return E_FAIL;
            GstElement* last = queue;
            if (built.sound[i]) {
                // The multiplexer lays sound chunks one after another: a stretch where a
                // source's sound ended before its picture would close up, and every later
                // sound would play early. Here the sound is put on the timeline's own time
                // and its gaps become silence.
                GstElement* rate = gst_element_factory_make("audiorate", nullptr);
                if (!rate) return VFW_E_NOT_FOUND;
                g_object_set(rate, "tolerance", guint64(SoundGapTolerance), nullptr);
                gst_bin_add(GST_BIN(bin), rate);
                if (!gst_element_link(queue, rate)) return E_FAIL;
                const PadRef rateSink(gst_element_get_static_pad(rate, "sink"));
                const PadRef rateSrc(gst_element_get_static_pad(rate, "src"));
                onTimelineTime(rateSink, rateSrc, limit);
                last = rate;
            }
            const PadRef queueSrc(gst_element_get_static_pad(last, "src"));
            GstPad* ghost = gst_ghost_pad_new(name.c_str(), queueSrc);
            gst_element_add_pad(GST_ELEMENT(bin), ghost);
            pins.push_back(PadRef::ref(ghost));
        }
        auto outputs = std::make_shared<Outputs>(std::move(pins), built.sound, built.duration,
                                                 built.end, limit);
        for (size_t i = 0; i < outputs->count(); ++i)
            outputs->watch(i, outputs);
        bin->outputs = new std::shared_ptr<Outputs>(outputs);
        auto filter = std::make_shared<TimelineFilter>(GST_ELEMENT(bin), outputs);
        // The graph sends its end of stream (and its seeks) to the elements that start
        // streams.
        GST_OBJECT_FLAG_SET(bin, GST_ELEMENT_FLAG_SOURCE);

        auto graph = std::dynamic_pointer_cast<Graph>(createFilterGraph());
        if (HRESULT h = graph->AddFilter(filter, "Timeline"); FAILED(h)) return h;
        graph_ = graph;
        filter_ = filter;
        outputs_ = outputs;
        return S_OK;
    }

    HRESULT GetFilterGraph(std::shared_ptr<IGraphBuilder>* graph) override {
        if (!graph) return E_POINTER;
        *graph = graph_;
        return graph_ ? S_OK : E_UNEXPECTED;
    }

    HRESULT GetGroupOutputPin(long group, PinPtr* pin) override {
        if (!pin) return E_POINTER;
        if (!outputs_) return E_UNEXPECTED;
        if (group < 0 || group >= long(outputs_->count())) return E_INVALIDARG;
        filter_->pins();
        *pin = pinOf(outputs_->pad(size_t(group)));
        return *pin ? S_OK : E_FAIL;
    }

    HRESULT RenderOutputPins() override {
        if (!outputs_) return E_UNEXPECTED;
        bool any = false;
        for (size_t i = 0; i < outputs_->count(); ++i) {
            if (gst_pad_is_linked(outputs_->pad(i))) continue;
            FilterPtr sink = createElementFilter("fakesink", "Null Renderer");
            if (!sink) return VFW_E_NOT_FOUND;
            // Dropped as fast as they come, never waited for against the clock.
            g_object_set(sink->native(), "sync", FALSE, nullptr);
            if (HRESULT h = graph_->AddFilter(sink, "Null Renderer " + std::to_string(i));
                FAILED(h))
                return h;
            PinPtr out = pinOf(outputs_->pad(i));
            if (HRESULT h = graph_->ConnectDirect(out, findUnconnectedPin(sink, PINDIR_INPUT));
                FAILED(h))
                return h;
            any = true;
        }
        return any ? S_OK : S_FALSE;
    }

    HRESULT ScrapIt() override {
        if (graph_) {
            graph_->Stop();
            graph_->RemoveFilter(filter_);
        }
        graph_.reset();
        filter_.reset();
        outputs_.reset();
        return S_OK;
    }

  private:
    std::shared_ptr<IAMTimeline> timeline_;
    std::shared_ptr<Graph> graph_;
    std::shared_ptr<GstFilter> filter_;
    std::shared_ptr<Outputs> outputs_;
};

} // namespace

std::string renderMemoryRefusal(long width, long height) {
    // Measured: 2.75 GB at 6000x6000 and 5.2 GB at 8190x8190, about 52 pictures of 4:2:0
    // samples (1.5 bytes a pixel) beside some 100 MB of the program's own.
    constexpr double PicturesInFlight = 52, Base = 100e6;
    const double needed = PicturesInFlight * double(width) * double(height) * 1.5 + Base;
    // What the system has free, and within that what this process may still take: the
    // address space a limit (ulimit -v) leaves it, and what its control group (a container, a
    // session's slice) leaves it.
    const auto field = [](const char* file, const std::string& name) {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name, 0) == 0) return std::atof(line.c_str() + name.size()) * 1024;
        return -1.0;
    };
    double available = field("/proc/meminfo", "MemAvailable:");
    if (available <= 0) return {};
    if (rlimit as{}; getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        available =
            std::min(available, double(as.rlim_cur) - field("/proc/self/status", "VmSize:"));
    const auto number = [](const char* file) {
        std::ifstream in(file);
        double v = -1;
        return in >> v ? v : -1.0; // "max" reads as no number
    };
    if (const double max = number("/sys/fs/cgroup/memory.max"); max > 0)
        available =
            std::min(available, max - std::max(0.0, number("/sys/fs/cgroup/memory.current")));
    available = std::max(available, 0.0);
    if (needed <= available) return {};
    char why[200];
    std::snprintf(why, sizeof why,
                  "pictures of %ldx%ld need about %.1f GB of memory while rendering, and %.1f GB "
                  "are free",
                  width, height, needed / 1e9, available / 1e9);
    return why;
}

std::shared_ptr<IRenderEngine> createRenderEngine() {
    ensureGes();
    return std::make_shared<RenderEngine>();
}

} // namespace platform::dshow
