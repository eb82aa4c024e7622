// The graph's filters, its control (run, pause, stop), seeking, the audio and video properties
// and frame steps. Called on the user-interface thread.
#include "platform/dshow/graph/Graph.h"

#include "platform/dshow/graph/GraphImpl.h"
#include "platform/dshow/base/StreamRepairs.h"

#include <gst/base/gstbasesrc.h>

#include <algorithm>
#include <cmath>

namespace platform::dshow {

namespace {
constexpr auto StopTimeout = std::chrono::seconds(10);
} // namespace

Graph::Graph() {
    ensureGstreamer();
    pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    // The pipeline then also tells which of its filters ended its stream, so the
    // completion can name the renderer that finished.
    g_object_set(pipeline(), "message-forward", TRUE, nullptr);
    repairStreamsOf(GST_BIN(pipeline()));
    GstRef<GstBus> bus(gst_element_get_bus(pipeline()));
    gst_bus_set_sync_handler(bus, &Graph::busSync, this, nullptr);
}

Graph::~Graph() {
    gst_element_set_state(pipeline(), GST_STATE_NULL);
    releaseParked();
    GstRef<GstBus> bus(gst_element_get_bus(pipeline()));
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    // The elements are stopped outside mutex_: stopping one waits for its streaming thread,
    // which may be waiting for mutex_ in a pad-added handler.
    std::vector<FilterPtr> filters;
    {
        std::lock_guard lock(mutex_);
        filters.swap(filters_);
        handlers_.clear();
    }
    for (const FilterPtr& f : filters) {
        auto* e = static_cast<GstElement*>(f->native());
        g_signal_handlers_disconnect_by_data(e, this);
        forgetVideoSize(e);
        countAsSink(e);
        gst_element_set_locked_state(e, FALSE);
        gst_element_set_state(e, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(pipeline()), e);
    }
}

// -- IFilterGraph2: the filters

HRESULT Graph::AddFilter(const FilterPtr& filter, const std::string& name) {
    settleStop();
    if (!filter) return E_POINTER;
    auto* e = static_cast<GstElement*>(filter->native());
    std::lock_guard lock(mutex_);
    if (std::find(filters_.begin(), filters_.end(), filter) != filters_.end())
        return VFW_E_WRONG_STATE;
    if (GST_OBJECT_PARENT(e)) return VFW_E_WRONG_STATE;
    GUID clsid;
    if (auto* g = dynamic_cast<GstFilter*>(filter.get()); g && !name.empty()) g->setName(name);
    filter->pins(); // ties the element to its filter object
    // A filter takes no part in the graph's state until something is linked to it, so an
    // unconnected filter never holds up a pause or a run.
    gst_element_set_locked_state(e, TRUE);
    if (!gst_bin_add(GST_BIN(pipeline()), e)) return E_FAIL;
    g_signal_connect(e, "pad-added", G_CALLBACK(&Graph::padAdded), this);
    filters_.push_back(filter);
    // A video renderer brought by a window reports the video's size like the graph's own.
    if (filter->GetClassID(&clsid) == S_OK && clsid == CLSID_VideoRenderer &&
        queryInterface<IVideoWindow>(filter))
        watchVideoSize(e);
    return S_OK;
}

HRESULT Graph::RemoveFilter(const FilterPtr& filter) {
    settleStop();
    if (!filter) return E_POINTER;
    auto* e = static_cast<GstElement*>(filter->native());
    {
        // Only the lists under mutex_: the element is stopped outside it (see ~Graph).
        std::lock_guard lock(mutex_);
        auto it = std::find(filters_.begin(), filters_.end(), filter);
        if (it == filters_.end()) return VFW_E_NOT_FOUND;
        filters_.erase(it);
        handlers_.erase(e);
    }
    g_signal_handlers_disconnect_by_data(e, this);
    forgetVideoSize(e);
    for (const PinPtr& p : filter->pins())
        p->Disconnect();
    countAsSink(e);
    gst_element_set_locked_state(e, TRUE);
    if (GST_STATE(pipeline()) >= GST_STATE_PAUSED ||
        GST_STATE_PENDING(pipeline()) >= GST_STATE_PAUSED) {
        // Taken out of a running graph, the element stays ready, not null, until the graph
        // stops: the decoder before it may still hold its buffer pool and fill or free it as
        // it renegotiates, and a video sink's pool lives on the sink's display connection,
        // which null closes (a window closed while its video plays crashed so in the decoder).
        gst_element_set_state(e, GST_STATE_READY);
        parked_.push_back(filter);
    } else {
        gst_element_set_state(e, GST_STATE_NULL);
    }
    gst_bin_remove(GST_BIN(pipeline()), e);
    return S_OK;
}

void Graph::releaseParked() {
    std::vector<FilterPtr> parked;
    parked.swap(parked_);
    for (const FilterPtr& f : parked)
        gst_element_set_state(static_cast<GstElement*>(f->native()), GST_STATE_NULL);
}

std::vector<FilterPtr> Graph::EnumFilters() {
    std::lock_guard lock(mutex_);
    return filters_;
}

FilterPtr Graph::FindFilterByName(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const FilterPtr& f : filters_)
        if (f->name() == name) return f;
    return nullptr;
}

// Whether the graph writes a file (it then ends its stream on Stop so the file is finished).
bool Graph::hasWriter() {
    std::lock_guard lock(mutex_);
    for (const FilterPtr& f : filters_)
        if (queryInterface<IFileSinkFilter>(f)) return true;
    return false;
}

// The element that writes the graph's file (its multiplexer), or null.
ElementRef Graph::writingElement() {
    std::lock_guard lock(mutex_);
    for (const FilterPtr& f : filters_) {
        auto* e = static_cast<GstElement*>(f->native());
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "file-written"))
            return ElementRef::ref(e);
    }
    return {};
}

// The first filter that seeks and tells positions by itself, or null.
FilterPtr Graph::positionFilter() {
    std::lock_guard lock(mutex_);
    for (const FilterPtr& f : filters_)
        if (queryInterface<IMediaSeeking>(f)) return f;
    return nullptr;
}

// -- IMediaControl

HRESULT Graph::Run() {
    prerolledStop_ = false;
    if (target_ == State_Stopped) {
        lastRunning_ = 0;
        writtenKnown_ = false;
    }
    events_.runStarted();
    endWatch_.reset();
    target_ = State_Running;
    leaveOutIdleSinks();
    if (gst_element_set_state(pipeline(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return events_.lastErrorOr(E_FAIL);
    applyPendingSeek();
    if (stoppedToNull_) {
        stoppedToNull_ = false;
        if (restarted_) restarted_();
    }
    return S_OK;
}

HRESULT Graph::Pause() {
    prerolledStop_ = false;
    events_.pauseRequested();
    target_ = State_Paused;
    leaveOutIdleSinks();
    const GstStateChangeReturn r = gst_element_set_state(pipeline(), GST_STATE_PAUSED);
    if (r == GST_STATE_CHANGE_FAILURE) return events_.lastErrorOr(E_FAIL);
    if (r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL) events_.pausedAtOnce();
    applyPendingSeek();
    return r == GST_STATE_CHANGE_ASYNC ? S_FALSE : S_OK;
}

// Stopping ends all streaming (the filters hold no data and no thread runs), so filters
// can then be disconnected and removed safely; the next run starts from the beginning
// or from a position set meanwhile.
HRESULT Graph::Stop() {
    const FILTER_STATE was = target_;
    target_ = State_Stopped;
    prerolledStop_ = false;
    const bool aborted = events_.abortedByError();
    // A writer that failed itself takes no end of stream: there is nothing to wait for.
    if (hasWriter() && (!events_.completed() || aborted) && was != State_Stopped &&
        GST_STATE(pipeline()) >= GST_STATE_PAUSED && !events_.writerFailed()) {
        // A graph that writes a file ends its stream first, so the file gets its index; after
        // an error too, so what was recorded up to it is a whole file.
        events_.drainStarted();
        sendEndOfStream();
        if (aborted) endStoppedSources();
        events_.waitDrained(StopTimeout);
    }
    if (navigating_) {
        if (was != State_Stopped && stopping_) stopping_();
        gst_element_set_state(pipeline(), GST_STATE_NULL);
        stoppedToNull_ = true;
        releaseParked();
        return S_OK;
    }
    gst_element_set_state(pipeline(), GST_STATE_READY);
    releaseParked();
    return S_OK;
}

// The elements that start streams, inside bins too.
std::vector<ElementRef> Graph::sourceElements() {
    std::vector<ElementRef> sources;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline()));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* e = GST_ELEMENT(g_value_get_object(&item));
        if (!GST_IS_BIN(e) && GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SOURCE))
            sources.push_back(ElementRef::ref(e));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return sources;
}

// Ends the stream of every source without waiting on one. A file source takes the event as
// usual. A live source (a microphone, a camera) is not asked: it takes an end of stream only
// between two deliveries, so one that delivers nothing (a suspended or unplugged microphone)
// would keep the caller waiting for good. The end is pushed from its outputs instead, where
// its streaming thread, waiting inside the device, does not stand in the way; what the device
// still hands over after it is refused, and the stop's state change then ends that wait.
void Graph::sendEndOfStream() {
    const std::vector<ElementRef> sources = sourceElements();
    auto live = [](GstElement* e) {
        return GST_IS_BASE_SRC(e) && gst_base_src_is_live(GST_BASE_SRC(e));
    };
    // A graph of files only takes the end of stream as a whole, as always.
    if (std::none_of(sources.begin(), sources.end(),
                     [&](const ElementRef& e) { return live(e.get()); })) {
        gst_element_send_event(pipeline(), gst_event_new_eos());
        return;
    }
    for (const ElementRef& e : sources) {
        if (!live(e.get())) {
            gst_element_send_event(e, gst_event_new_eos());
            continue;
        }
        GstIterator* pads = gst_element_iterate_src_pads(e);
        GValue p = G_VALUE_INIT;
        while (gst_iterator_next(pads, &p) == GST_ITERATOR_OK) {
            auto* pad = GST_PAD(g_value_get_object(&p));
            if (!GST_PAD_IS_EOS(pad)) gst_pad_push_event(pad, gst_event_new_eos());
            g_value_reset(&p);
        }
        g_value_unset(&p);
        gst_iterator_free(pads);
    }
}

// A source that stopped on an error no longer takes an end of stream: it is pushed from its
// outputs instead, so the streams behind it still reach the multiplexer's end.
void Graph::endStoppedSources() {
    for (const ElementRef& e : sourceElements()) {
        GstIterator* pads = gst_element_iterate_src_pads(e);
        GValue p = G_VALUE_INIT;
        while (gst_iterator_next(pads, &p) == GST_ITERATOR_OK) {
            auto* pad = GST_PAD(g_value_get_object(&p));
            // A source read by the element after it (a file) pushes nothing: that element's
            // own task takes the end of the stream.
            if (GST_PAD_MODE(pad) != GST_PAD_MODE_PULL &&
                gst_pad_get_task_state(pad) != GST_TASK_STARTED && !GST_PAD_IS_EOS(pad))
                gst_pad_push_event(pad, gst_event_new_eos());
            g_value_reset(&p);
        }
        g_value_unset(&p);
        gst_iterator_free(pads);
    }
}

HRESULT Graph::GetState(long timeoutMs, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    *state = target_;
    GstState cur, pending;
    const GstStateChangeReturn r = gst_element_get_state(
        pipeline(), &cur, &pending, GstClockTime(std::max(0L, timeoutMs)) * GST_MSECOND);
    return r == GST_STATE_CHANGE_ASYNC ? VFW_S_STATE_INTERMEDIATE : S_OK;
}

// -- IMediaSeeking

HRESULT Graph::GetCurrentPosition(int64_t* position) {
    if (!position) return E_POINTER;
    gint64 pos = 0;
    if (pendingSeek_ >= 0) {
        *position = pendingSeek_;
        return S_OK;
    }
    // A filter that knows how far its streams have gone (the timeline of a render) tells it.
    if (const FilterPtr f = positionFilter();
        f && queryInterface<IMediaSeeking>(f)->GetCurrentPosition(position) == S_OK)
        return S_OK;
    // Where there is a picture, the position is that of the picture shown: while paused, the
    // start of the picture on the screen (the sink's clock stands a little before it, and a
    // mark or a step taken from there would be a picture early); while playing, the sink's.
    bool known = false;
    const bool paused = GST_STATE(pipeline()) == GST_STATE_PAUSED && target_ != State_Running;
    for (const ElementRef& sink : videoSinks()) {
        if (!known && paused && pictureShown(sink, &pos)) {
            // The decoder stamps the picture it keeps after an exact seek with the moment
            // asked for: where the file's picture rate is known, its own start is said.
            const GstClockTime at = GstClockTime(std::max<gint64>(0, pos - gint64(start_.zero)));
            *position = gint64(start_.pictureHolding(at)) / 100;
            return S_OK;
        }
        if (!known) known = gst_element_query_position(sink, GST_FORMAT_TIME, &pos);
    }
    // A graph that writes a file from files is as far as the data written; one that records
    // live sources (a camera, a microphone), or whose multiplexer cannot tell yet, is as far as
    // its run: the multiplexer holds back what it interleaves and the encoders their delay.
    // When the answer changes from the run to the data written, the data can still be behind
    // the run: the position holds until they pass it, so a progress bar never steps back. Once
    // the data has answered, the position only follows the data.
    if (!known && hasWriter()) {
        if (const ElementRef mux = writingElement(); mux && !isLive()) {
            const PadRef out(gst_element_get_static_pad(mux, "src"));
            if (out && gst_pad_query_position(out, GST_FORMAT_TIME, &pos) && pos > 0) {
                writtenKnown_ = true;
                lastRunning_ = std::max<int64_t>(lastRunning_, pos);
            }
        }
        if (!writtenKnown_ && GST_STATE(pipeline()) == GST_STATE_PLAYING) {
            const GstRef<GstClock> clock(gst_element_get_clock(pipeline()));
            const GstClockTime base = gst_element_get_base_time(pipeline());
            const GstClockTime now = clock ? gst_clock_get_time(clock) : 0;
            if (clock && now > base) lastRunning_ = int64_t(now - base);
        }
        *position = lastRunning_ / 100;
        return S_OK;
    }
    if (!known && !gst_element_query_position(pipeline(), GST_FORMAT_TIME, &pos)) pos = 0;
    *position = std::max<gint64>(0, pos - gint64(start_.zero)) / 100;
    return S_OK;
}

// The stream time of the picture a sink holds, from its last sample.
bool Graph::pictureShown(GstElement* sink, gint64* position) {
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "last-sample")) return false;
    GstSample* sample = nullptr;
    g_object_get(sink, "last-sample", &sample, nullptr);
    if (!sample) return false;
    bool known = false;
    GstBuffer* buf = gst_sample_get_buffer(sample);
    const GstSegment* seg = gst_sample_get_segment(sample);
    if (buf && seg && seg->format == GST_FORMAT_TIME && GST_BUFFER_PTS_IS_VALID(buf)) {
        const guint64 t = gst_segment_to_stream_time(seg, GST_FORMAT_TIME, GST_BUFFER_PTS(buf));
        if (GST_CLOCK_TIME_IS_VALID(t)) {
            *position = gint64(t);
            known = true;
        }
    }
    gst_sample_unref(sample);
    return known;
}

bool Graph::isLive() {
    bool live = false;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline()));
    GValue item = G_VALUE_INIT;
    while (!live && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* e = GST_ELEMENT(g_value_get_object(&item));
        live = GST_IS_BASE_SRC(e) && gst_base_src_is_live(GST_BASE_SRC(e));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return live;
}

HRESULT Graph::GetDuration(int64_t* duration) {
    if (!duration) return E_POINTER;
    if (const FilterPtr f = positionFilter();
        f && queryInterface<IMediaSeeking>(f)->GetDuration(duration) == S_OK)
        return S_OK;
    queryDuration();
    if (duration_ < 0) return E_NOTIMPL;
    *duration = duration_;
    return S_OK;
}

HRESULT Graph::GetStopPosition(int64_t* stop) {
    if (!stop) return E_POINTER;
    if (stop_ >= 0) {
        *stop = stop_;
        return S_OK;
    }
    return GetDuration(stop);
}

HRESULT Graph::SetPositions(int64_t* current, uint32_t currentFlags, int64_t* stop,
                            uint32_t stopFlags) {
    int64_t cur = -1;
    if (current && (currentFlags & 3) != AM_SEEKING_NoPositioning) {
        int64_t now = 0;
        GetCurrentPosition(&now);
        cur = (currentFlags & 3) == AM_SEEKING_RelativePositioning ? now + *current : *current;
        cur = std::max<int64_t>(cur, 0);
    }
    if (stop && (stopFlags & 3) != AM_SEEKING_NoPositioning) {
        int64_t end = 0;
        GetStopPosition(&end);
        stop_ = (stopFlags & 3) == AM_SEEKING_RelativePositioning ? end + *stop : *stop;
    }
    if (cur < 0 && stop_ < 0) return S_OK;
    if (GST_STATE(pipeline()) < GST_STATE_PAUSED) {
        pendingSeek_ = cur >= 0 ? cur : pendingSeek_;
        return S_OK;
    }
    return seek(cur) ? S_OK : E_FAIL;
}

HRESULT Graph::SetRate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) return E_INVALIDARG;
    // A navigating source plays at its own pace; only another rate needs a seek.
    if (navigating_ && rate == 1.0 && rate_ == 1.0) return S_OK;
    rate_ = rate;
    // A prerolled stop takes the rate when it runs, as a real stop does.
    if (GST_STATE(pipeline()) < GST_STATE_PAUSED || prerolledStop_) return S_OK;
    return seek(-1) ? S_OK : E_FAIL;
}

HRESULT Graph::GetRate(double* rate) {
    if (!rate) return E_POINTER;
    *rate = rate_;
    return S_OK;
}

bool Graph::seek(int64_t current) {
    const GstSeekFlags flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
    GstSeekType curType = GST_SEEK_TYPE_SET;
    // Positions asked for count from the file's own zero; the position queried is the
    // reader's already.
    gint64 cur = current >= 0 ? current * 100 + gint64(start_.zero) : 0;
    if (current < 0) {
        if (!gst_element_query_position(pipeline(), GST_FORMAT_TIME, &cur)) cur = 0;
    }
    const GstSeekType stopType = stop_ >= 0 ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE;
    const gint64 stop = stop_ >= 0 ? stop_ * 100 + gint64(start_.zero) : GST_CLOCK_TIME_NONE;
    pendingSeek_ = -1;
    endWatch_.reset();
    events_.seeked();
    return gst_element_seek(pipeline(), rate_, GST_FORMAT_TIME, flags, curType, cur, stopType,
                            stop);
}

void Graph::applyPendingSeek() {
    if (pendingSeek_ < 0 && rate_ == 1.0) return;
    // The position or rate asked for while stopped applies once the graph has prerolled.
    gst_element_get_state(pipeline(), nullptr, nullptr, 5 * GST_SECOND);
    if (pendingSeek_ >= 0 || rate_ != 1.0) seek(pendingSeek_);
}

void Graph::queryDuration() {
    if (start_.lengthEstimated) {
        if (const GstClockTime measured = measuredLengthOf(sourceFile_)) {
            duration_ = gint64(measured / 100);
            return;
        }
    }
    gint64 d = 0;
    if (gst_element_query_duration(pipeline(), GST_FORMAT_TIME, &d) && d > 0) duration_ = d / 100;
}

// -- IBasicAudio

HRESULT Graph::put_Volume(long v) {
    if (v > 0 || v < -10000) return E_INVALIDARG;
    volume_ = v;
    applyAudio();
    return S_OK;
}

HRESULT Graph::get_Volume(long* v) {
    if (!v) return E_POINTER;
    *v = volume_;
    return S_OK;
}

HRESULT Graph::put_Balance(long b) {
    if (b > 10000 || b < -10000) return E_INVALIDARG;
    balance_ = b;
    applyAudio();
    return S_OK;
}

HRESULT Graph::get_Balance(long* b) {
    if (!b) return E_POINTER;
    *b = balance_;
    return S_OK;
}

// -- IBasicVideo

HRESULT Graph::GetVideoSize(long* width, long* height) {
    if (!width || !height) return E_POINTER;
    return events_.videoSize(width, height) ? S_OK : VFW_E_NOT_CONNECTED;
}

// The source rectangle belongs to the renderer that draws into a window.
HRESULT Graph::SetSourcePosition(long left, long top, long width, long height) {
    const auto v = queryInterface<IBasicVideo>(videoWindow());
    return v ? v->SetSourcePosition(left, top, width, height) : E_NOINTERFACE;
}
HRESULT Graph::GetSourcePosition(long* left, long* top, long* width, long* height) {
    const auto v = queryInterface<IBasicVideo>(videoWindow());
    return v ? v->GetSourcePosition(left, top, width, height) : E_NOINTERFACE;
}
HRESULT Graph::SetDefaultSourcePosition() {
    const auto v = queryInterface<IBasicVideo>(videoWindow());
    return v ? v->SetDefaultSourcePosition() : E_NOINTERFACE;
}

// -- IVideoWindow: the first video renderer of the graph that draws into a window.

std::shared_ptr<IVideoWindow> Graph::videoWindow() {
    for (const FilterPtr& f : EnumFilters()) {
        GUID clsid;
        if (f->GetClassID(&clsid) != S_OK || clsid != CLSID_VideoRenderer) continue;
        if (auto w = queryInterface<IVideoWindow>(f)) return w;
    }
    return nullptr;
}

HRESULT Graph::put_Owner(uintptr_t window) {
    const auto w = videoWindow();
    return w ? w->put_Owner(window) : E_NOINTERFACE;
}
HRESULT Graph::get_Owner(uintptr_t* window) {
    const auto w = videoWindow();
    return w ? w->get_Owner(window) : E_NOINTERFACE;
}
HRESULT Graph::SetWindowPosition(long left, long top, long width, long height) {
    const auto w = videoWindow();
    return w ? w->SetWindowPosition(left, top, width, height) : E_NOINTERFACE;
}
HRESULT Graph::GetWindowPosition(long* left, long* top, long* width, long* height) {
    const auto w = videoWindow();
    return w ? w->GetWindowPosition(left, top, width, height) : E_NOINTERFACE;
}
HRESULT Graph::put_Visible(bool visible) {
    const auto w = videoWindow();
    return w ? w->put_Visible(visible) : E_NOINTERFACE;
}
HRESULT Graph::get_Visible(bool* visible) {
    const auto w = videoWindow();
    return w ? w->get_Visible(visible) : E_NOINTERFACE;
}
HRESULT Graph::Repaint() {
    const auto w = videoWindow();
    return w ? w->Repaint() : E_NOINTERFACE;
}
std::string Graph::sinkName() const {
    const auto w = const_cast<Graph*>(this)->videoWindow();
    return w ? w->sinkName() : std::string();
}

// -- IVideoFrameStep

HRESULT Graph::CanStep() {
    return videoSinks().empty() ? E_NOTIMPL : S_OK;
}

// Steps the video by whole pictures: an exact seek by as many picture durations, so that
// the position afterwards is that of the picture shown. Without a known picture rate the
// video renderer is asked to step by pictures. A running graph is paused by the step and stays
// paused after it.
HRESULT Graph::Step(uint32_t frames) {
    if (frames == 0) return E_INVALIDARG;
    const std::vector<ElementRef> sinks = videoSinks();
    if (sinks.empty()) return E_NOTIMPL;
    if (target_ == State_Running) {
        // Stepping a running graph pauses it first, then steps from the picture it stopped on.
        Pause();
        gst_element_get_state(pipeline(), nullptr, nullptr, 5 * GST_SECOND);
    }
    const GstClockTime frame = events_.frameDuration();
    if (!navigating_ && frame != GST_CLOCK_TIME_NONE && GST_STATE(pipeline()) >= GST_STATE_PAUSED) {
        int64_t now = 0;
        GetCurrentPosition(&now);
        events_.stepRequested();
        seek(now + int64_t(frame * frames / 100));
    } else {
        for (const ElementRef& sink : sinks)
            gst_element_send_event(
                sink, gst_event_new_step(GST_FORMAT_BUFFERS, frames, 1.0, TRUE, FALSE));
    }
    return S_OK;
}

HRESULT Graph::KeepPrerolled(bool keep) {
    keepPrerolled_ = keep;
    if (!keep) settleStop();
    return S_OK;
}

HRESULT Graph::prerollBuilt(std::chrono::milliseconds timeout) {
    leaveOutIdleSinks();
    const GstStateChangeReturn r = gst_element_set_state(pipeline(), GST_STATE_PAUSED);
    const HRESULT h = events_.waitPreroll(
        r == GST_STATE_CHANGE_FAILURE,
        r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL, timeout);
    target_ = State_Stopped;
    if (FAILED(h)) {
        gst_element_set_state(pipeline(), GST_STATE_READY);
        return h;
    }
    // Kept prerolled: a Run that follows starts from the pictures already decoded.
    prerolledStop_ = true;
    return h;
}

void Graph::settleStop() {
    if (!prerolledStop_) return;
    prerolledStop_ = false;
    gst_element_set_state(pipeline(), GST_STATE_READY);
    releaseParked();
}

std::shared_ptr<IFilterGraph2> createFilterGraph() {
    return std::make_shared<Graph>();
}

std::string graphDrawing(const std::shared_ptr<IFilterGraph2>& graph) {
    auto g = std::dynamic_pointer_cast<Graph>(graph);
    if (!g) return {};
    gchar* dot = gst_debug_bin_to_dot_data(GST_BIN(g->pipeline()), GST_DEBUG_GRAPH_SHOW_ALL);
    std::string s = dot ? dot : "";
    g_free(dot);
    return s;
}

} // namespace platform::dshow
