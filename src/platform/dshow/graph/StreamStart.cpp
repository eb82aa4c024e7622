#include "platform/dshow/graph/StreamStart.h"

#include "platform/dshow/graph/WaitStep.h"

#include "platform/dshow/base/GstRef.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>

namespace platform::dshow {

namespace {

// Reading a file's first packets: the container's headers and one packet of each stream, which
// takes a few tens of milliseconds. A file that has not given them in this time is treated as
// starting at zero, and asked again the next time. (The player asks on the user-interface
// thread: the bound is that thread's longest wait.)
constexpr GstClockTime ProbeBound = GST_SECOND;
constexpr gint64 StreamsSettle = 20000; // microseconds

using FileKey = std::tuple<std::string, off_t, time_t, long>;

// What was learnt of each file, by its key.
template <class T> struct Remembered {
    std::mutex lock;
    std::map<FileKey, T> known;
};

Remembered<StreamStart>& starts() {
    static Remembered<StreamStart> s;
    return s;
}

// The earliest stream time seen at a stream's first stamped packet, over all streams, and
// the first picture's. Written on the streaming threads, read once they have stopped.
struct Earliest {
    std::mutex lock;
    std::condition_variable answered;
    std::atomic<bool> demuxer{false};    // a container reader runs: its outputs are watched
    std::atomic<bool> estimating{false}; // that reader estimates the file's length
    int streams = 0;                     // streams the reader has added
    int waiting = 0;      // of those, the ones that have not given their first packet
    gint64 lastAdded = 0; // when the last one was added (monotonic, microseconds)
    GstClockTime time = GST_CLOCK_TIME_NONE;
    GstClockTime picture = GST_CLOCK_TIME_NONE;
    int rateNum = 0, rateDen = 1;
    bool decodedPicture = false; // a decoded picture has told its rate (or that it has none)
    void offer(GstClockTime t, bool isPicture, int num, int den) {
        std::lock_guard<std::mutex> hold(lock);
        if (!GST_CLOCK_TIME_IS_VALID(time) || t < time) time = t;
        if (isPicture && (!GST_CLOCK_TIME_IS_VALID(picture) || t < picture)) {
            picture = t;
            if (num > 0) {
                rateNum = num;
                rateDen = den;
            }
        }
    }
    // The picture rate a decoder's output says, where the container's reader did not.
    void offerRate(int num, int den) {
        std::lock_guard<std::mutex> hold(lock);
        decodedPicture = true;
        if (rateNum > 0 || num <= 0 || den <= 0) return;
        rateNum = num;
        rateDen = den;
    }
    // Everything there is to learn has come. Under `lock`.
    bool complete() const {
        const bool rateDue = GST_CLOCK_TIME_IS_VALID(picture) && rateNum <= 0 && !decodedPicture;
        return streams > 0 && waiting <= 0 && !rateDue &&
               g_get_monotonic_time() - lastAdded >= StreamsSettle;
    }
    void streamAnswered() {
        std::lock_guard<std::mutex> hold(lock);
        --waiting;
        answered.notify_all();
    }
};

// 'v' for a picture stream, 'a' for a sound stream, 0 for any other.
char kindOf(GstPad* pad, int* rateNum, int* rateDen) {
    const CapsRef caps(gst_pad_get_current_caps(pad));
    if (!caps || gst_caps_get_size(caps) == 0) return 0;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const gchar* name = gst_structure_get_name(s);
    if (g_str_has_prefix(name, "audio/")) return 'a';
    // Motion JPEG comes as a stream of images.
    if (!g_str_has_prefix(name, "video/") && !g_str_has_prefix(name, "image/")) return 0;
    if (!gst_structure_get_fraction(s, "framerate", rateNum, rateDen) || *rateNum <= 0 ||
        *rateDen <= 0) {
        *rateNum = 0;
        *rateDen = 1;
    }
    return 'v';
}

// An event on a watched stream: a stream that ends before its first packet has nothing to
// say, and has answered.
GstPadProbeReturn eventOnWatched(GstPadProbeInfo* info, Earliest* earliest) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS) return GST_PAD_PROBE_OK;
    earliest->streamAnswered();
    return GST_PAD_PROBE_REMOVE;
}

GstPadProbeReturn firstPacket(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* earliest = static_cast<Earliest*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) return eventOnWatched(info, earliest);
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    const GstClockTime ts =
        GST_BUFFER_PTS_IS_VALID(buf) ? GST_BUFFER_PTS(buf) : GST_BUFFER_DTS(buf);
    if (!GST_CLOCK_TIME_IS_VALID(ts)) return GST_PAD_PROBE_OK; // a later packet says it
    int num = 0, den = 1;
    if (const char kind = kindOf(pad, &num, &den)) {
        if (GstEvent* e = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0)) {
            const GstSegment* seg = nullptr;
            gst_event_parse_segment(e, &seg);
            guint64 streamTime = 0;
            // A packet stamped a little before its segment's start (an audio frame the
            // reader clips) counts from the segment's start.
            const int sign =
                seg->format == GST_FORMAT_TIME
                    ? gst_segment_to_stream_time_full(seg, GST_FORMAT_TIME, ts, &streamTime)
                    : 0;
            if (sign != 0) earliest->offer(sign > 0 ? streamTime : 0, kind == 'v', num, den);
            gst_event_unref(e);
        }
    }
    earliest->streamAnswered();
    return GST_PAD_PROBE_REMOVE;
}

// A decoded picture stream's rate, at its first picture (its caps are set by then).
GstPadProbeReturn firstPicture(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* earliest = static_cast<Earliest*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) return eventOnWatched(info, earliest);
    int num = 0, den = 1;
    if (kindOf(pad, &num, &den) == 'v') earliest->offerRate(num, den);
    earliest->streamAnswered();
    return GST_PAD_PROBE_REMOVE;
}

// Watches a stream for its first stamped packet (or, with `probe` firstPicture, its rate).
void watchStream(GstPad* pad, Earliest* earliest, GstPadProbeCallback probe = firstPacket) {
    {
        std::lock_guard<std::mutex> hold(earliest->lock);
        ++earliest->streams;
        ++earliest->waiting;
        earliest->lastAdded = g_get_monotonic_time();
    }
    gst_pad_add_probe(
        pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        probe, earliest, nullptr);
}

void demuxedStreamAdded(GstElement*, GstPad* pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) == GST_PAD_SRC) watchStream(pad, static_cast<Earliest*>(data));
}

// The container's reader: its packets carry the file's own stamps, before a decoder drops
// what it does not show (an AAC stream's priming samples) or restamps what it shows. A tag
// reader (ID3, APE) passes on unstamped bytes: it is no container.
void containerReaderAdded(GstBin*, GstBin*, GstElement* element, gpointer data) {
    GstElementFactory* factory = gst_element_get_factory(element);
    const gchar* klass =
        factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
    if (!klass || !strstr(klass, "Demux") || strstr(klass, "Metadata")) return;
    auto* earliest = static_cast<Earliest*>(data);
    earliest->demuxer = true;
    const gchar* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
    if (g_str_equal(name, "mpegpsdemux") || g_str_equal(name, "tsdemux"))
        earliest->estimating = true;
    g_signal_connect(element, "pad-added", G_CALLBACK(demuxedStreamAdded), data);
}

// A pipeline of a file source and a decoder reading the file, started by the caller; null
// when the elements are missing. `reader` is the decoder, owned by the pipeline.
ElementRef decodingPipeline(const std::string& path, GstElement** reader) {
    GstElement* src = gst_element_factory_make("filesrc", nullptr);
    *reader = gst_element_factory_make("decodebin", nullptr);
    if (!src || !*reader) {
        if (src) gst_object_unref(gst_object_ref_sink(src));
        if (*reader) gst_object_unref(gst_object_ref_sink(*reader));
        return {};
    }
    ElementRef pipeline(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    g_object_set(src, "location", path.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), src, *reader, nullptr);
    gst_element_link(src, *reader);
    return pipeline;
}

// Takes a decoded stream in, into a sink that drops it as fast as it comes, after `watch` has
// put its probes on the stream's pad.
void takeIn(GstElement* decoder, GstPad* pad, const std::function<void(GstPad*)>& watch) {
    GstElement* pipeline = GST_ELEMENT(gst_element_get_parent(decoder));
    if (!pipeline) return;
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    const PadRef in(gst_element_get_static_pad(sink, "sink"));
    watch(pad);
    gst_pad_link(pad, in);
    gst_object_unref(pipeline);
}

// A decoded stream: taken in; watched itself only where no container reader runs (a file of
// one elementary stream).
void streamAdded(GstElement* decoder, GstPad* pad, gpointer data) {
    auto* earliest = static_cast<Earliest*>(data);
    takeIn(decoder, pad, [earliest](GstPad* p) {
        watchStream(p, earliest, earliest->demuxer ? firstPicture : firstPacket);
    });
}

// What the file says of its start; `whole` false when it did not say it in time.
StreamStart probeStart(const std::string& path, bool* whole) {
    *whole = false;
    StreamStart start;
    // Decoding, not only parsing: a reader may hold a stream's first packet back (an AVI's
    // MPEG-4 pictures) where a decoder takes it at once. The stamps are read at the container
    // reader's outputs all the same.
    GstElement* reader = nullptr;
    const ElementRef pipeline = decodingPipeline(path, &reader);
    if (!pipeline) return start;
    Earliest earliest;
    g_signal_connect(reader, "deep-element-added", G_CALLBACK(containerReaderAdded), &earliest);
    g_signal_connect(reader, "pad-added", G_CALLBACK(streamAdded), &earliest);
    // Playing, not paused: a paused sink holds its stream's first packet and, with it, the
    // reader's one thread, so the reader's other streams would never come.
    whileStepping([&] { gst_element_set_state(pipeline, GST_STATE_PLAYING); });
    // Until every stream has given its first packet (the reader adds its streams together: one
    // that comes later than StreamsSettle after the last is not waited for), the file turns
    // out unreadable, or the bound passes.
    const GstRef<GstBus> bus(gst_element_get_bus(pipeline));
    const gint64 until = g_get_monotonic_time() + gint64(ProbeBound / GST_USECOND);
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(earliest.lock);
            const auto settled = [&] { return earliest.complete(); };
            earliest.answered.wait_for(hold, std::chrono::milliseconds(10), settled);
            if (settled()) {
                *whole = true;
                break;
            }
        }
        if (GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
            // Not media, or not readable: nothing more to learn by asking again.
            gst_message_unref(msg);
            *whole = true;
            break;
        }
        if (g_get_monotonic_time() >= until) break;
        // A window that opens the file keeps repainting meanwhile.
        runWaitStep();
    }
    // Tearing the decoders down takes tens of milliseconds at large sizes.
    whileStepping([&] { gst_element_set_state(pipeline, GST_STATE_NULL); });
    // The streaming threads have stopped: the probes no longer run.
    if (!GST_CLOCK_TIME_IS_VALID(earliest.time)) return start;
    start.zero = earliest.time;
    start.lengthEstimated = earliest.estimating;
    if (GST_CLOCK_TIME_IS_VALID(earliest.picture)) {
        start.firstPicture = earliest.picture - earliest.time;
        start.rateNum = earliest.rateNum;
        start.rateDen = earliest.rateDen;
    }
    return start;
}

// The latest end (stamp and length) of a decoded picture or sound, in stream time, seen by
// the streams of the end probe. Written on the streaming threads, read once they have stopped.
struct Latest {
    std::mutex lock;
    GstClockTime picture = GST_CLOCK_TIME_NONE, sound = GST_CLOCK_TIME_NONE;
    void offer(GstClockTime end, bool isPicture) {
        std::lock_guard<std::mutex> hold(lock);
        GstClockTime& latest = isPicture ? picture : sound;
        if (!GST_CLOCK_TIME_IS_VALID(latest) || end > latest) latest = end;
    }
};

GstPadProbeReturn decodedEnd(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!GST_BUFFER_PTS_IS_VALID(buf)) return GST_PAD_PROBE_OK;
    GstEvent* e = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (!e) return GST_PAD_PROBE_OK;
    const GstSegment* seg = nullptr;
    gst_event_parse_segment(e, &seg);
    guint64 at = 0;
    if (seg->format == GST_FORMAT_TIME &&
        gst_segment_to_stream_time_full(seg, GST_FORMAT_TIME, GST_BUFFER_PTS(buf), &at) > 0) {
        int num = 0, den = 1;
        const char kind = kindOf(pad, &num, &den);
        if (kind)
            static_cast<Latest*>(data)->offer(
                at + (GST_BUFFER_DURATION_IS_VALID(buf) ? GST_BUFFER_DURATION(buf) : 0),
                kind == 'v');
    }
    gst_event_unref(e);
    return GST_PAD_PROBE_OK;
}

void decodedStreamAdded(GstElement* decoder, GstPad* pad, gpointer data) {
    takeIn(decoder, pad, [data](GstPad* p) {
        gst_pad_add_probe(p, GST_PAD_PROBE_TYPE_BUFFER, decodedEnd, data, nullptr);
    });
}

// Measuring a file's end: its last seconds decoded, which takes a few tens of milliseconds for
// a DVD's pictures and a few hundred for high-definition ones.
constexpr GstClockTime EndBound = 2 * GST_SECOND;
constexpr GstClockTime EndLead = 2 * GST_SECOND; // how far before the estimated end to start

// Waits for one of `types` on the bus until `until` (monotonic, microseconds); false on an
// error or when the time is up. A window that waits keeps repainting meanwhile.
bool awaitMessage(GstBus* bus, GstMessageType types, gint64 until) {
    GstMessage* msg = nullptr;
    for (;;) {
        const gint64 left = until - g_get_monotonic_time();
        if (left <= 0) return false;
        const gint64 slice = hasWaitStep() ? std::min<gint64>(left, 10000) : left;
        msg = gst_bus_timed_pop_filtered(bus, GstClockTime(slice) * GST_USECOND,
                                         GstMessageType(types | GST_MESSAGE_ERROR));
        if (msg) break;
        runWaitStep();
    }
    const bool error = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR;
    gst_message_unref(msg);
    return !error;
}

// Where the file's last picture and its sound end, in stream time (NONE for a stream it has
// not): the reader's estimated end is sought less a lead, and what is decoded from there on is
// measured. False when it could not be.
bool probeEnd(const std::string& path, GstClockTime zero, Latest* latest) {
    GstElement* reader = nullptr;
    const ElementRef pipeline = decodingPipeline(path, &reader);
    if (!pipeline) return false;
    g_signal_connect(reader, "pad-added", G_CALLBACK(decodedStreamAdded), latest);
    const GstRef<GstBus> bus(gst_element_get_bus(pipeline));
    const gint64 until = g_get_monotonic_time() + gint64(EndBound / GST_USECOND);
    bool measured = false;
    gint64 estimate = 0;
    whileStepping([&] { gst_element_set_state(pipeline, GST_STATE_PAUSED); });
    if (awaitMessage(bus, GST_MESSAGE_ASYNC_DONE, until) &&
        gst_element_query_duration(pipeline, GST_FORMAT_TIME, &estimate) && estimate > 0) {
        // The reader counts its length from its own first stamp, which lies at about the zero.
        const GstClockTime from =
            zero + GstClockTime(estimate) > EndLead ? zero + GstClockTime(estimate) - EndLead : 0;
        bool sought = false;
        whileStepping([&] {
            sought = gst_element_seek_simple(
                pipeline, GST_FORMAT_TIME,
                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), gint64(from));
        });
        if (sought && awaitMessage(bus, GST_MESSAGE_ASYNC_DONE, until)) {
            whileStepping([&] { gst_element_set_state(pipeline, GST_STATE_PLAYING); });
            measured = awaitMessage(bus, GST_MESSAGE_EOS, until);
        }
    }
    // Tearing the decoders down takes tens of milliseconds at large sizes.
    whileStepping([&] { gst_element_set_state(pipeline, GST_STATE_NULL); });
    // The streaming threads have stopped: the probes no longer run.
    return measured;
}

// The file's length from its zero: where its pictures end, counted from the first picture when
// that starts less than a picture's time after the zero (the pictures fill whole picture
// times from there, as every copy lays them); a sound that runs on by more than a picture's
// time lasts longer.
GstClockTime lengthFrom(const StreamStart& start, const Latest& ends) {
    const GstClockTime frame =
        start.rateNum > 0
            ? gst_util_uint64_scale(GST_SECOND, guint64(start.rateDen), guint64(start.rateNum))
            : 0;
    GstClockTime picture = 0, sound = 0;
    if (GST_CLOCK_TIME_IS_VALID(ends.picture) && ends.picture > start.zero) {
        picture = ends.picture - start.zero;
        if (start.firstPicture < frame && picture > start.firstPicture)
            picture -= start.firstPicture;
    }
    if (GST_CLOCK_TIME_IS_VALID(ends.sound) && ends.sound > start.zero)
        sound = ends.sound - start.zero;
    if (picture == 0) return sound;
    return sound > picture + frame ? sound : picture;
}

Remembered<GstClockTime>& lengths() {
    static Remembered<GstClockTime> l;
    return l;
}

bool keyOf(const std::string& path, FileKey* key) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *key = FileKey{path, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    return true;
}

} // namespace

GstClockTime StreamStart::firstFrameFrom(GstClockTime moment) const {
    if (rateNum <= 0 || rateDen <= 0 || moment <= firstPicture) return moment;
    // A picture that starts within a millisecond before the moment is taken as starting at
    // it: times given in seconds with a few decimals round frame starts.
    const GstClockTime tolerance = GST_MSECOND;
    const guint64 since = moment - firstPicture;
    const guint64 frames = gst_util_uint64_scale_ceil(
        since > tolerance ? since - tolerance : 0, guint64(rateNum), guint64(rateDen) * GST_SECOND);
    return firstPicture +
           gst_util_uint64_scale(frames, guint64(rateDen) * GST_SECOND, guint64(rateNum));
}

GstClockTime StreamStart::pictureHolding(GstClockTime moment) const {
    if (rateNum <= 0 || rateDen <= 0 || moment <= firstPicture) return moment;
    // A moment within a millisecond before a picture's start is that picture's, as above.
    const guint64 frames = gst_util_uint64_scale(moment - firstPicture + GST_MSECOND,
                                                 guint64(rateNum), guint64(rateDen) * GST_SECOND);
    return firstPicture +
           gst_util_uint64_scale(frames, guint64(rateDen) * GST_SECOND, guint64(rateNum));
}

StreamStart streamStartOf(const std::string& path) {
    FileKey key;
    if (!keyOf(path, &key)) return {};
    auto& s = starts();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (const auto it = s.known.find(key); it != s.known.end()) return it->second;
    }
    bool whole = false;
    const StreamStart start = probeStart(path, &whole);
    if (!whole) return start;
    std::lock_guard<std::mutex> hold(s.lock);
    s.known[key] = start;
    return start;
}

GstClockTime measuredLengthOf(const std::string& path) {
    const StreamStart start = streamStartOf(path);
    FileKey key;
    if (!start.lengthEstimated || !keyOf(path, &key)) return 0;
    auto& l = lengths();
    {
        std::lock_guard<std::mutex> hold(l.lock);
        if (const auto it = l.known.find(key); it != l.known.end()) return it->second;
    }
    Latest ends;
    if (!probeEnd(path, start.zero, &ends)) return 0; // asked again the next time
    const GstClockTime length = lengthFrom(start, ends);
    std::lock_guard<std::mutex> hold(l.lock);
    l.known[key] = length;
    return length;
}

} // namespace platform::dshow
