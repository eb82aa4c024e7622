#include "Graph.h"

#include "Filters.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

namespace platform::dshow {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto PrerollTimeout = std::chrono::seconds(20);
constexpr auto StopTimeout = std::chrono::seconds(10);

struct Event {
    long code;
    intptr_t p1, p2;
    // EC_COMPLETE: the element of the renderer that finished last (only compared, never
    // used: it may be gone by the time the event is read).
    const void* renderer = nullptr;
};

HRESULT hresultOfError(GError* e) {
    if (!e) return E_FAIL;
    if (e->domain == GST_RESOURCE_ERROR) {
        switch (e->code) {
        case GST_RESOURCE_ERROR_NOT_FOUND:
            return E_FILE_NOT_FOUND;
        case GST_RESOURCE_ERROR_OPEN_READ:
        case GST_RESOURCE_ERROR_OPEN_READ_WRITE:
        case GST_RESOURCE_ERROR_OPEN_WRITE:
        case GST_RESOURCE_ERROR_NOT_AUTHORIZED:
            return E_ACCESSDENIED;
        case GST_RESOURCE_ERROR_BUSY:
            return VFW_E_NO_AUDIO_HARDWARE;
        default:
            return E_FAIL;
        }
    }
    if (e->domain == GST_STREAM_ERROR) {
        switch (e->code) {
        case GST_STREAM_ERROR_TYPE_NOT_FOUND:
            return VFW_E_UNKNOWN_FILE_TYPE;
        case GST_STREAM_ERROR_CODEC_NOT_FOUND:
        case GST_STREAM_ERROR_WRONG_TYPE:
            return VFW_E_UNSUPPORTED_STREAM;
        case GST_STREAM_ERROR_DEMUX:
        case GST_STREAM_ERROR_DECODE:
        case GST_STREAM_ERROR_FORMAT:
            return VFW_E_INVALID_FILE_FORMAT;
        case GST_STREAM_ERROR_NOT_IMPLEMENTED:
            return E_NOTIMPL;
        default:
            return E_FAIL;
        }
    }
    if (e->domain == GST_CORE_ERROR && e->code == GST_CORE_ERROR_MISSING_PLUGIN)
        return VFW_E_UNSUPPORTED_STREAM;
    if (e->domain == GST_CORE_ERROR && e->code == GST_CORE_ERROR_NEGOTIATION)
        return VFW_E_CANNOT_CONNECT;
    return E_FAIL;
}

// The first element of a list of factories that can be opened here (state READY), else null.
GstElement* firstWorking(std::initializer_list<const char*> factories) {
    for (const char* f : factories) {
        GstElement* e = gst_element_factory_make(f, nullptr);
        if (!e) continue;
        if (gst_element_set_state(e, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) {
            gst_element_set_state(e, GST_STATE_NULL);
            return e;
        }
        gst_element_set_state(e, GST_STATE_NULL);
        gst_object_unref(e);
    }
    return nullptr;
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
    GstPad* inner = gst_element_get_static_pad(first ? first : sink, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("Input", inner));
    gst_object_unref(inner);
    return bin;
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
        GstElement* e = firstWorking({"pulsesink", "alsasink"});
        if (e) gst_object_unref(e);
        return e != nullptr;
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

bool linkPads(GstPad* src, GstPad* sink) {
    return GST_PAD_LINK_SUCCESSFUL(gst_pad_link(src, sink));
}

GstPad* firstFreePad(GstElement* e, GstPadDirection dir) {
    GstIterator* it =
        dir == GST_PAD_SRC ? gst_element_iterate_src_pads(e) : gst_element_iterate_sink_pads(e);
    GValue item = G_VALUE_INIT;
    GstPad* found = nullptr;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* pad = GST_PAD(g_value_get_object(&item));
        if (!gst_pad_is_linked(pad)) found = GST_PAD(gst_object_ref(pad));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

bool hasSometimesSrcPads(GstElement* e) {
    for (const GList* l = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(e)); l;
         l = l->next) {
        auto* t = GST_PAD_TEMPLATE(l->data);
        if (t->direction == GST_PAD_SRC && t->presence == GST_PAD_SOMETIMES) return true;
    }
    // A bin (a file source with its demuxer) adds its streams once it runs; one that already
    // has its outputs (a file read as it is) adds none.
    return GST_IS_BIN(e) && !GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SINK) && e->numsrcpads == 0;
}

bool capsMatchType(GstCaps* caps, const GUID* type) {
    if (!type || *type == GUID_NULL) return true;
    if (*type == MEDIATYPE_Video) return capsAreVideo(caps);
    if (*type == MEDIATYPE_Audio) return capsAreAudio(caps);
    return true;
}

class Graph final : public IFilterGraph2,
                    public IMediaControl,
                    public IMediaSeeking,
                    public IBasicAudio,
                    public IBasicVideo,
                    public IVideoFrameStep,
                    public IMediaEventEx {
  public:
    Graph() {
        ensureGstreamer();
        pipeline_ = gst_pipeline_new(nullptr);
        gst_object_ref_sink(pipeline_);
        // The pipeline then also tells which of its filters ended its stream, so the
        // completion can name the renderer that finished.
        g_object_set(pipeline_, "message-forward", TRUE, nullptr);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, &Graph::busSync, this, nullptr);
        gst_object_unref(bus);
    }

    ~Graph() override {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        {
            std::lock_guard lock(mutex_);
            for (const FilterPtr& f : filters_) {
                auto* e = static_cast<GstElement*>(f->native());
                g_signal_handlers_disconnect_by_data(e, this);
                gst_element_set_locked_state(e, FALSE);
                gst_element_set_state(e, GST_STATE_NULL);
                gst_bin_remove(GST_BIN(pipeline_), e);
            }
            filters_.clear();
        }
        gst_object_unref(pipeline_);
    }

    GstElement* pipeline() const { return pipeline_; }

    // -- IFilterGraph2

    HRESULT AddFilter(const FilterPtr& filter, const std::string& name) override {
        if (!filter) return E_POINTER;
        auto* e = static_cast<GstElement*>(filter->native());
        std::lock_guard lock(mutex_);
        if (std::find(filters_.begin(), filters_.end(), filter) != filters_.end())
            return VFW_E_WRONG_STATE;
        if (GST_OBJECT_PARENT(e)) return VFW_E_WRONG_STATE;
        if (auto* g = dynamic_cast<GstFilter*>(filter.get()); g && !name.empty()) g->setName(name);
        filter->pins(); // ties the element to its filter object
        // A filter takes no part in the graph's state until something is linked to it, so an
        // unconnected filter never holds up a pause or a run.
        gst_element_set_locked_state(e, TRUE);
        if (!gst_bin_add(GST_BIN(pipeline_), e)) return E_FAIL;
        g_signal_connect(e, "pad-added", G_CALLBACK(&Graph::padAdded), this);
        filters_.push_back(filter);
        return S_OK;
    }

    HRESULT RemoveFilter(const FilterPtr& filter) override {
        if (!filter) return E_POINTER;
        std::lock_guard lock(mutex_);
        auto it = std::find(filters_.begin(), filters_.end(), filter);
        if (it == filters_.end()) return VFW_E_NOT_FOUND;
        auto* e = static_cast<GstElement*>(filter->native());
        g_signal_handlers_disconnect_by_data(e, this);
        handlers_.erase(e);
        for (const PinPtr& p : filter->pins())
            p->Disconnect();
        gst_element_set_locked_state(e, TRUE);
        gst_element_set_state(e, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(pipeline_), e);
        filters_.erase(it);
        return S_OK;
    }

    std::vector<FilterPtr> EnumFilters() override {
        std::lock_guard lock(mutex_);
        return filters_;
    }

    FilterPtr FindFilterByName(const std::string& name) override {
        std::lock_guard lock(mutex_);
        for (const FilterPtr& f : filters_)
            if (f->name() == name) return f;
        return nullptr;
    }

    HRESULT ConnectDirect(const PinPtr& out, const PinPtr& in) override {
        if (!out || !in) return E_POINTER;
        if (out->connectedTo() || in->connectedTo()) return VFW_E_ALREADY_CONNECTED;
        auto* src = static_cast<GstPad*>(out->native());
        auto* sink = static_cast<GstPad*>(in->native());
        if (!linkPads(src, sink)) return VFW_E_CANNOT_CONNECT;
        activate(src);
        activate(sink);
        return S_OK;
    }

    HRESULT Connect(const PinPtr& out, const PinPtr& in) override {
        if (!out || !in) return E_POINTER;
        if (out->connectedTo() || in->connectedTo()) return VFW_E_ALREADY_CONNECTED;
        auto* sinkPad = static_cast<GstPad*>(in->native());
        GstElement* target = gst_pad_get_parent_element(sinkPad);
        const HRESULT h = linkThrough(static_cast<GstPad*>(out->native()), target, sinkPad);
        if (target) gst_object_unref(target);
        return h;
    }

    HRESULT Render(const PinPtr& out) override {
        if (!out) return E_POINTER;
        if (out->direction() != PINDIR_OUTPUT) return E_INVALIDARG;
        if (out->connectedTo()) return VFW_E_ALREADY_CONNECTED;
        return renderPad(static_cast<GstPad*>(out->native())) ? S_OK : VFW_E_CANNOT_RENDER;
    }

    HRESULT AddSourceFilter(const std::string& fileName, const std::string& filterName,
                            FilterPtr* filter) override {
        FilterPtr source = createAsyncFileSource();
        const HRESULT h = queryInterface<IFileSourceFilter>(source)->Load(fileName);
        if (FAILED(h)) return h;
        if (HRESULT a = AddFilter(source, filterName.empty() ? fileName : filterName); FAILED(a))
            return a;
        if (filter) *filter = source;
        return S_OK;
    }

    HRESULT RenderFile(const std::string& fileName) override {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(fileName, ec)) return E_FILE_NOT_FOUND;
        if (std::filesystem::file_size(fileName, ec) == 0) return VFW_E_INVALID_FILE_FORMAT;
        if (target_ != State_Stopped) return VFW_E_NOT_STOPPED;

        const std::vector<FilterPtr> before = EnumFilters();
        FilterPtr source;
        HRESULT h = AddSourceFilter(fileName, fileName, &source);
        if (FAILED(h)) return h;
        {
            std::lock_guard lock(eventMutex_);
            prerolling_ = true;
            prerollDone_ = false;
            prerollHr_ = S_OK;
            rendered_ = 0;
        }
        PinPtr out = findUnconnectedPin(source, PINDIR_OUTPUT);
        if (!out || !renderPad(static_cast<GstPad*>(out->native()))) h = VFW_E_CANNOT_RENDER;

        // Play the graph up to its first pictures to learn whether the file can be played.
        if (SUCCEEDED(h)) {
            const GstStateChangeReturn r = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
            std::unique_lock lock(eventMutex_);
            if (r == GST_STATE_CHANGE_FAILURE && prerollHr_ == S_OK)
                prerollHr_ = VFW_E_CANNOT_RENDER;
            if (r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL)
                prerollDone_ = true;
            if (!eventCv_.wait_for(lock, PrerollTimeout,
                                   [this] { return prerollDone_ || FAILED(prerollHr_); }))
                prerollHr_ = VFW_E_TIMEOUT;
            h = prerollHr_;
            if (SUCCEEDED(h) && rendered_ == 0) h = VFW_E_CANNOT_RENDER;
            prerolling_ = false;
        }
        if (FAILED(h)) {
            // Take the graph back to what it was before.
            gst_element_set_state(pipeline_, GST_STATE_READY);
            for (const FilterPtr& f : EnumFilters())
                if (std::find(before.begin(), before.end(), f) == before.end()) RemoveFilter(f);
            return h;
        }
        queryDuration();
        gst_element_set_state(pipeline_, GST_STATE_READY);
        target_ = State_Stopped;
        return S_OK;
    }

    // -- IMediaControl

    HRESULT Run() override {
        {
            std::lock_guard lock(eventMutex_);
            completed_ = false;
            pauseRequested_ = false;
            lastEnded_ = nullptr;
        }
        target_ = State_Running;
        if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
            return lastErrorOr(E_FAIL);
        applyPendingSeek();
        return S_OK;
    }

    HRESULT Pause() override {
        {
            std::lock_guard lock(eventMutex_);
            pauseRequested_ = true;
        }
        target_ = State_Paused;
        const GstStateChangeReturn r = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        if (r == GST_STATE_CHANGE_FAILURE) return lastErrorOr(E_FAIL);
        if (r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL) {
            queueEvent(EC_PAUSED, S_OK, 0);
            pauseRequested_ = false;
        }
        applyPendingSeek();
        return r == GST_STATE_CHANGE_ASYNC ? S_FALSE : S_OK;
    }

    // Stopping ends all streaming (the filters hold no data and no thread runs), so filters
    // can then be disconnected and removed safely; the next run starts from the beginning
    // or from a position set meanwhile.
    HRESULT Stop() override {
        const FILTER_STATE was = target_;
        target_ = State_Stopped;
        bool ended;
        {
            std::lock_guard lock(eventMutex_);
            ended = completed_;
        }
        if (hasWriter() && !ended && was != State_Stopped &&
            GST_STATE(pipeline_) >= GST_STATE_PAUSED) {
            // A graph that writes a file ends its stream first, so the file gets its index.
            {
                std::lock_guard lock(eventMutex_);
                stopping_ = true;
                eosSeen_ = false;
            }
            gst_element_send_event(pipeline_, gst_event_new_eos());
            std::unique_lock lock(eventMutex_);
            eventCv_.wait_for(lock, StopTimeout, [this] { return eosSeen_ || FAILED(lastError_); });
            stopping_ = false;
        }
        gst_element_set_state(pipeline_, GST_STATE_READY);
        return S_OK;
    }

    HRESULT GetState(long timeoutMs, FILTER_STATE* state) override {
        if (!state) return E_POINTER;
        *state = target_;
        GstState cur, pending;
        const GstStateChangeReturn r = gst_element_get_state(
            pipeline_, &cur, &pending, GstClockTime(std::max(0L, timeoutMs)) * GST_MSECOND);
        return r == GST_STATE_CHANGE_ASYNC ? VFW_S_STATE_INTERMEDIATE : S_OK;
    }

    // -- IMediaSeeking

    HRESULT GetCurrentPosition(int64_t* position) override {
        if (!position) return E_POINTER;
        gint64 pos = 0;
        if (pendingSeek_ >= 0) {
            *position = pendingSeek_;
            return S_OK;
        }
        // Where there is a picture, the position is that of the picture shown.
        bool known = false;
        for (GstElement* sink : videoSinks()) {
            if (!known) known = gst_element_query_position(sink, GST_FORMAT_TIME, &pos);
            gst_object_unref(sink);
        }
        if (!known && !gst_element_query_position(pipeline_, GST_FORMAT_TIME, &pos)) pos = 0;
        *position = pos / 100;
        return S_OK;
    }

    HRESULT GetDuration(int64_t* duration) override {
        if (!duration) return E_POINTER;
        queryDuration();
        if (duration_ < 0) return E_NOTIMPL;
        *duration = duration_;
        return S_OK;
    }

    HRESULT GetStopPosition(int64_t* stop) override {
        if (!stop) return E_POINTER;
        if (stop_ >= 0) {
            *stop = stop_;
            return S_OK;
        }
        return GetDuration(stop);
    }

    HRESULT SetPositions(int64_t* current, uint32_t currentFlags, int64_t* stop,
                         uint32_t stopFlags) override {
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
        if (GST_STATE(pipeline_) < GST_STATE_PAUSED) {
            pendingSeek_ = cur >= 0 ? cur : pendingSeek_;
            return S_OK;
        }
        return seek(cur) ? S_OK : E_FAIL;
    }

    HRESULT SetRate(double rate) override {
        if (!(rate > 0) || !std::isfinite(rate)) return E_INVALIDARG;
        rate_ = rate;
        if (GST_STATE(pipeline_) < GST_STATE_PAUSED) return S_OK;
        return seek(-1) ? S_OK : E_FAIL;
    }

    HRESULT GetRate(double* rate) override {
        if (!rate) return E_POINTER;
        *rate = rate_;
        return S_OK;
    }

    // -- IBasicAudio

    HRESULT put_Volume(long v) override {
        if (v > 0 || v < -10000) return E_INVALIDARG;
        volume_ = v;
        applyAudio();
        return S_OK;
    }
    HRESULT get_Volume(long* v) override {
        if (!v) return E_POINTER;
        *v = volume_;
        return S_OK;
    }
    HRESULT put_Balance(long b) override {
        if (b > 10000 || b < -10000) return E_INVALIDARG;
        balance_ = b;
        applyAudio();
        return S_OK;
    }
    HRESULT get_Balance(long* b) override {
        if (!b) return E_POINTER;
        *b = balance_;
        return S_OK;
    }

    // -- IBasicVideo

    HRESULT GetVideoSize(long* width, long* height) override {
        if (!width || !height) return E_POINTER;
        std::lock_guard lock(eventMutex_);
        if (videoWidth_ <= 0) return VFW_E_NOT_CONNECTED;
        *width = videoWidth_;
        *height = videoHeight_;
        return S_OK;
    }

    // -- IVideoFrameStep

    HRESULT CanStep() override { return videoSinks().empty() ? E_NOTIMPL : S_OK; }

    // Steps the video by whole pictures: an exact seek by as many picture durations, so that
    // the position afterwards is that of the picture shown. Without a known picture rate the
    // video renderer is asked to step by pictures.
    HRESULT Step(uint32_t frames) override {
        if (frames == 0) return E_INVALIDARG;
        const auto sinks = videoSinks();
        if (sinks.empty()) return E_NOTIMPL;
        if (target_ == State_Running) {
            for (GstElement* sink : sinks)
                gst_object_unref(sink);
            return VFW_E_WRONG_STATE;
        }
        GstClockTime frame;
        {
            std::lock_guard lock(eventMutex_);
            frame = frameDuration_;
        }
        if (frame != GST_CLOCK_TIME_NONE && GST_STATE(pipeline_) >= GST_STATE_PAUSED) {
            int64_t now = 0;
            GetCurrentPosition(&now);
            {
                std::lock_guard lock(eventMutex_);
                stepPending_ = true;
            }
            seek(now + int64_t(frame * frames / 100));
        } else {
            for (GstElement* sink : sinks)
                gst_element_send_event(
                    sink, gst_event_new_step(GST_FORMAT_BUFFERS, frames, 1.0, TRUE, FALSE));
        }
        for (GstElement* sink : sinks)
            gst_object_unref(sink);
        return S_OK;
    }

    // -- IMediaEventEx

    // EC_COMPLETE gives the renderer that finished as param2 (an IBaseFilter* of this graph's
    // filters, or 0 when it is no longer in the graph).
    HRESULT GetEvent(long* code, intptr_t* p1, intptr_t* p2, long timeoutMs) override {
        if (!code || !p1 || !p2) return E_POINTER;
        Event e;
        {
            std::unique_lock lock(eventMutex_);
            if (!eventCv_.wait_for(lock, std::chrono::milliseconds(std::max(0L, timeoutMs)),
                                   [this] { return !events_.empty(); }))
                return E_ABORT;
            e = events_.front();
            events_.pop_front();
        }
        if (e.code == EC_COMPLETE && e.renderer) {
            std::lock_guard lock(mutex_);
            for (const FilterPtr& f : filters_)
                if (f->native() == e.renderer) e.p2 = reinterpret_cast<intptr_t>(f.get());
        }
        *code = e.code;
        *p1 = e.p1;
        *p2 = e.p2;
        return S_OK;
    }

    HRESULT FreeEventParams(long, intptr_t, intptr_t) override { return S_OK; }

    HRESULT WaitForCompletion(long timeoutMs, long* code) override {
        std::unique_lock lock(eventMutex_);
        const bool done = timeoutMs < 0
                              ? (eventCv_.wait(lock, [this] { return completed_; }), true)
                              : eventCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                  [this] { return completed_; });
        if (code) *code = done ? completionCode_ : 0;
        return done ? S_OK : E_ABORT;
    }

    HRESULT SetNotifyWindow(std::function<void()> notify) override {
        std::lock_guard lock(eventMutex_);
        notify_ = std::move(notify);
        return S_OK;
    }

    HRESULT SetNotifyFlags(long flags) override {
        std::lock_guard lock(eventMutex_);
        notifyOn_ = flags == 0;
        return S_OK;
    }

    // -- Building, shared with the capture graph builder

    // Adds an element made here as a filter that takes part in the graph's state at once.
    FilterPtr addHelper(GstElement* element, const std::string& name) {
        auto filter = std::make_shared<GstFilter>(element, name);
        std::lock_guard lock(mutex_);
        filter->pins();
        gst_bin_add(GST_BIN(pipeline_), element);
        g_signal_connect(element, "pad-added", G_CALLBACK(&Graph::padAdded), this);
        filters_.push_back(filter);
        // Made while the graph runs (a stream found by a source on its way), it must join the
        // running state at once.
        if (GST_STATE(pipeline_) > GST_STATE_NULL || GST_STATE_PENDING(pipeline_) > GST_STATE_NULL)
            gst_element_sync_state_with_parent(element);
        return filter;
    }

    // Runs handler for each pad element gets from now on, until the handler takes one (returns
    // true); the handler stays for pads that come again after a restart.
    void whenPadAdded(GstElement* element, std::function<bool(GstPad*)> handler) {
        std::lock_guard lock(mutex_);
        handlers_[element].push_back(std::move(handler));
    }

    // Links src to target (a filter's element; sinkPad: the pad to use, or null for a free or
    // requested one), putting a decoder and converters in between when the formats differ.
    HRESULT linkThrough(GstPad* src, GstElement* target, GstPad* sinkPad,
                        const char* requestTemplate = nullptr) {
        if (!target) return E_POINTER;
        GstPad* into = sinkPad ? GST_PAD(gst_object_ref(sinkPad)) : nullptr;
        GstCaps* caps = padCaps(src);
        if (!into && requestTemplate)
            into = gst_element_request_pad_simple(target, requestTemplate);
        if (!into) into = firstFreePad(target, GST_PAD_SINK);
        if (!into) {
            gst_caps_unref(caps);
            return VFW_E_CANNOT_CONNECT;
        }
        HRESULT h = VFW_E_CANNOT_CONNECT;
        GstCaps* accepted = gst_pad_query_caps(into, nullptr);
        // Bytes of unknown kind (a file source's output) always go through the decoder.
        const bool unknown = gst_caps_is_any(caps);
        if (!unknown && gst_caps_can_intersect(caps, accepted) && linkPads(src, into)) {
            activate(src);
            activate(into);
            h = S_OK;
        } else if (capsAreRaw(caps)) {
            h = linkWithConverter(src, into, capsAreVideo(caps));
        } else {
            // Encoded data the target does not take: decode it, then convert.
            GstElement* dec = gst_element_factory_make("decodebin", nullptr);
            FilterPtr decoder = addHelper(dec, "Decoder");
            GstPad* decIn = gst_element_get_static_pad(dec, "sink");
            if (linkPads(src, decIn)) {
                GstPad* keep = GST_PAD(gst_object_ref(into));
                const bool video = capsAreVideo(unknown ? accepted : caps);
                whenPadAdded(dec, [this, keep, video](GstPad* pad) {
                    GstCaps* c = padCaps(pad);
                    const bool match = video ? capsAreVideo(c) : capsAreAudio(c);
                    gst_caps_unref(c);
                    if (!match || gst_pad_is_linked(keep)) return false;
                    return SUCCEEDED(linkWithConverter(pad, keep, video));
                });
                activate(src);
                h = S_OK;
            }
            gst_object_unref(decIn);
        }
        gst_caps_unref(accepted);
        gst_caps_unref(caps);
        gst_object_unref(into);
        return h;
    }

    static bool comesFromDecoder(GstElement* element) {
        GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
        return factory && std::string(GST_OBJECT_NAME(factory)) == "decodebin";
    }

    // Completes the graph from an output pad to the renderers, through an unconnected filter of
    // the graph that takes the data if there is one. Returns whether the pad was linked.
    bool renderPad(GstPad* src) {
        GstCaps* caps = padCaps(src);
        GstElement* own = gst_pad_get_parent_element(src);
        bool linked = false;
        for (const FilterPtr& f : EnumFilters()) {
            auto* e = static_cast<GstElement*>(f->native());
            if (e == own || linked) continue;
            GstPad* in = firstFreePad(e, GST_PAD_SINK);
            if (!in) continue;
            GstCaps* takes = gst_pad_query_caps(in, nullptr);
            // Only data of a known kind goes into a filter that takes that kind (a filter that
            // takes anything could be anything).
            const bool fits = !gst_caps_is_any(takes) && !gst_caps_is_any(caps) &&
                              gst_caps_can_intersect(caps, takes) && f->name() != "Decoder";
            gst_caps_unref(takes);
            if (fits && linkPads(src, in)) {
                linked = true;
                activate(src);
                activate(in);
                if (GstPad* out = firstFreePad(e, GST_PAD_SRC)) {
                    renderPad(out);
                    gst_object_unref(out);
                } else if (hasSometimesSrcPads(e)) {
                    whenPadAdded(e, [this](GstPad* pad) { return renderPad(pad); });
                }
            }
            gst_object_unref(in);
        }
        if (!linked && capsAreRaw(caps)) {
            const bool video = capsAreVideo(caps);
            GstElement* bin =
                video
                    ? makeRendererBin(nullptr, {"videoconvert", "videoscale"}, makeVideoSink())
                    // scaletempo plays other rates at the pitch of the recording, so
                    // the sound output itself always runs at rate 1.
                    : makeRendererBin(nullptr,
                                      {"audioconvert", "scaletempo", "audioconvert",
                                       "audiopanorama", "audioconvert", "audioresample", "volume"},
                                      makeAudioSink());
            FilterPtr renderer = addHelper(bin, video ? "Video Renderer" : "Audio Renderer");
            if (video)
                watchVideoSize(bin);
            else
                applyAudio();
            GstPad* in = gst_element_get_static_pad(bin, "Input");
            linked = linkPads(src, in);
            if (linked) {
                activate(src);
                activate(in);
            }
            gst_object_unref(in);
        } else if (!linked && !comesFromDecoder(own)) {
            // What a decoder gives out is already decoded as far as it goes: a stream of a
            // kind no renderer shows (subtitles, say) is left unconnected, not decoded again
            // and again.
            GstElement* dec = gst_element_factory_make("decodebin", nullptr);
            addHelper(dec, "Decoder");
            GstPad* in = gst_element_get_static_pad(dec, "sink");
            linked = linkPads(src, in);
            gst_object_unref(in);
            if (linked) {
                whenPadAdded(dec, [this](GstPad* pad) { return renderPad(pad); });
                activate(src);
            }
        }
        if (linked) {
            std::lock_guard lock(eventMutex_);
            ++rendered_;
        }
        if (own) gst_object_unref(own);
        gst_caps_unref(caps);
        return linked;
    }

    // Whether the graph writes a file (it then ends its stream on Stop so the file is finished).
    bool hasWriter() {
        std::lock_guard lock(mutex_);
        for (const FilterPtr& f : filters_)
            if (queryInterface<IFileSinkFilter>(f)) return true;
        return false;
    }

    HRESULT linkWithConverter(GstPad* src, GstPad* into, bool video) {
        GstElement* bin = video ? makeRendererBin(nullptr, {"videoconvert", "videoscale"},
                                                  gst_element_factory_make("identity", nullptr))
                                : makeRendererBin(nullptr, {"audioconvert", "audioresample"},
                                                  gst_element_factory_make("identity", nullptr));
        // The converter bin's identity ends the chain; expose it as the output.
        GstElement* last = nullptr;
        GstIterator* it = gst_bin_iterate_sorted(GST_BIN(bin));
        GValue item = G_VALUE_INIT;
        if (gst_iterator_next(it, &item) == GST_ITERATOR_OK)
            last = GST_ELEMENT(g_value_get_object(&item));
        GstPad* lastOut = last ? gst_element_get_static_pad(last, "src") : nullptr;
        if (lastOut) {
            gst_element_add_pad(bin, gst_ghost_pad_new("Output", lastOut));
            gst_object_unref(lastOut);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
        addHelper(bin, video ? "Color Space Converter" : "Audio Converter");
        GstPad* in = gst_element_get_static_pad(bin, "Input");
        GstPad* out = gst_element_get_static_pad(bin, "Output");
        const bool ok = in && out && linkPads(src, in) && linkPads(out, into);
        if (ok) {
            activate(src);
            activate(into);
        }
        if (in) gst_object_unref(in);
        if (out) gst_object_unref(out);
        return ok ? S_OK : VFW_E_CANNOT_CONNECT;
    }

    // Puts a queue after src, so what follows runs on a streaming thread of its own; gives
    // back the queue's output (a reference), or null.
    GstPad* queueAfter(GstPad* src) {
        GstElement* queue = gst_element_factory_make("queue", nullptr);
        if (!queue) return nullptr;
        // Bounded by time only: a stream that arrives ahead of the others in the file waits
        // here (up to two seconds of it) instead of holding up the source.
        g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                     guint64(2 * GST_SECOND), nullptr);
        addHelper(queue, "Queue");
        GstPad* in = gst_element_get_static_pad(queue, "sink");
        const bool linked = linkPads(src, in);
        gst_object_unref(in);
        if (!linked) return nullptr;
        activate(src);
        GstPad* out = gst_element_get_static_pad(queue, "src");
        activate(out);
        return out;
    }

    // Lets an element of the graph take part in the graph's state.
    void activateElement(GstElement* element) {
        if (gst_element_is_locked_state(element)) {
            gst_element_set_locked_state(element, FALSE);
            gst_element_sync_state_with_parent(element);
        }
    }

  private:
    // Lets the element of a pad take part in the graph's state, now that it is connected.
    void activate(GstPad* pad) {
        GstElement* e = gst_pad_get_parent_element(pad);
        if (!e) return;
        // A ghost pad's parent is its bin; walk up to the element the graph holds.
        while (GST_OBJECT_PARENT(e) && GST_ELEMENT(GST_OBJECT_PARENT(e)) != pipeline_) {
            GstElement* up = GST_ELEMENT(gst_object_ref(GST_OBJECT_PARENT(e)));
            gst_object_unref(e);
            e = up;
        }
        if (gst_element_is_locked_state(e)) {
            gst_element_set_locked_state(e, FALSE);
            gst_element_sync_state_with_parent(e);
        } else if (GST_STATE(e) < GST_STATE(pipeline_)) {
            gst_element_sync_state_with_parent(e);
        }
        gst_object_unref(e);
    }

    std::vector<GstElement*> videoSinks() {
        std::vector<GstElement*> out;
        for (const FilterPtr& f : EnumFilters()) {
            if (f->name() != "Video Renderer") continue;
            auto* bin = static_cast<GstElement*>(f->native());
            GstIterator* it = gst_bin_iterate_sinks(GST_BIN(bin));
            GValue item = G_VALUE_INIT;
            if (gst_iterator_next(it, &item) == GST_ITERATOR_OK)
                out.push_back(GST_ELEMENT(gst_object_ref(g_value_get_object(&item))));
            g_value_unset(&item);
            gst_iterator_free(it);
        }
        return out;
    }

    static bool isVideoSink(GstObject* o) {
        for (GstObject* p = o; p; p = GST_OBJECT_PARENT(p))
            if (g_object_get_data(G_OBJECT(p), "tovamix-video-renderer")) return true;
        return false;
    }

    void watchVideoSize(GstElement* rendererBin) {
        g_object_set_data(G_OBJECT(rendererBin), "tovamix-video-renderer", GINT_TO_POINTER(1));
        GstPad* in = gst_element_get_static_pad(rendererBin, "Input");
        gst_pad_add_probe(
            in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
            [](GstPad*, GstPadProbeInfo* info, gpointer self) -> GstPadProbeReturn {
                GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
                if (GST_EVENT_TYPE(ev) == GST_EVENT_CAPS) {
                    GstCaps* caps = nullptr;
                    gst_event_parse_caps(ev, &caps);
                    int w = 0, h = 0, num = 0, den = 0;
                    const GstStructure* s = gst_caps_get_structure(caps, 0);
                    if (gst_structure_get_fraction(s, "framerate", &num, &den) && num > 0)
                        static_cast<Graph*>(self)->frameRate(num, den);
                    if (gst_structure_get_int(s, "width", &w) &&
                        gst_structure_get_int(s, "height", &h))
                        static_cast<Graph*>(self)->videoSize(w, h);
                }
                return GST_PAD_PROBE_OK;
            },
            this, nullptr);
        gst_object_unref(in);
    }

    void frameRate(int num, int den) {
        std::lock_guard lock(eventMutex_);
        frameDuration_ = gst_util_uint64_scale_int(GST_SECOND, den, num);
    }

    void videoSize(int w, int h) {
        bool changed;
        {
            std::lock_guard lock(eventMutex_);
            changed = (w != videoWidth_ || h != videoHeight_);
            videoWidth_ = w;
            videoHeight_ = h;
        }
        if (changed) queueEvent(EC_VIDEO_SIZE_CHANGED, intptr_t((h << 16) | (w & 0xFFFF)), 0);
    }

    void applyAudio() {
        const double gain = volume_ <= -10000 ? 0.0 : std::pow(10.0, volume_ / 2000.0);
        const double side = 1.0 - std::pow(10.0, -std::abs(balance_) / 2000.0);
        const double pan = balance_ < 0 ? -side : side;
        for (const FilterPtr& f : EnumFilters()) {
            if (f->name() != "Audio Renderer") continue;
            auto* bin = GST_BIN(f->native());
            GstIterator* it = gst_bin_iterate_elements(bin);
            GValue item = G_VALUE_INIT;
            while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
                GstElement* e = GST_ELEMENT(g_value_get_object(&item));
                const gchar* factory = GST_OBJECT_NAME(gst_element_get_factory(e));
                if (g_str_equal(factory, "volume")) g_object_set(e, "volume", gain, nullptr);
                if (g_str_equal(factory, "audiopanorama"))
                    g_object_set(e, "panorama", float(pan), "method", 1, nullptr);
                g_value_reset(&item);
            }
            g_value_unset(&item);
            gst_iterator_free(it);
        }
    }

    bool seek(int64_t current) {
        const GstSeekFlags flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
        GstSeekType curType = GST_SEEK_TYPE_SET;
        gint64 cur = current >= 0 ? current * 100 : 0;
        if (current < 0) {
            if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &cur)) cur = 0;
        }
        const GstSeekType stopType = stop_ >= 0 ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE;
        const gint64 stop = stop_ >= 0 ? stop_ * 100 : GST_CLOCK_TIME_NONE;
        pendingSeek_ = -1;
        return gst_element_seek(pipeline_, rate_, GST_FORMAT_TIME, flags, curType, cur, stopType,
                                stop);
    }

    void applyPendingSeek() {
        if (pendingSeek_ < 0 && rate_ == 1.0) return;
        // The position or rate asked for while stopped applies once the graph has prerolled.
        gst_element_get_state(pipeline_, nullptr, nullptr, 5 * GST_SECOND);
        if (pendingSeek_ >= 0 || rate_ != 1.0) seek(pendingSeek_);
    }

    void queryDuration() {
        gint64 d = 0;
        if (gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &d) && d > 0)
            duration_ = d / 100;
    }

    HRESULT lastErrorOr(HRESULT fallback) {
        std::lock_guard lock(eventMutex_);
        return FAILED(lastError_) ? lastError_ : fallback;
    }

    void queueEvent(long code, intptr_t p1, intptr_t p2, const void* renderer = nullptr) {
        std::function<void()> notify;
        {
            std::lock_guard lock(eventMutex_);
            events_.push_back({code, p1, p2, renderer});
            if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT) {
                completed_ = true;
                completionCode_ = code;
            }
            if (notifyOn_) notify = notify_;
        }
        eventCv_.notify_all();
        if (notify) notify();
    }

    static void padAdded(GstElement* element, GstPad* pad, gpointer self) {
        auto* g = static_cast<Graph*>(self);
        std::vector<std::function<bool(GstPad*)>> handlers;
        {
            std::lock_guard lock(g->mutex_);
            auto it = g->handlers_.find(element);
            if (it != g->handlers_.end()) handlers = it->second;
        }
        if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
        for (auto& h : handlers)
            if (h(pad)) break;
    }

    static GstBusSyncReply busSync(GstBus*, GstMessage* msg, gpointer self) {
        static_cast<Graph*>(self)->onMessage(msg);
        return GST_BUS_DROP;
    }

    void onMessage(GstMessage* msg) {
        switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR: {
            GError* err = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(msg, &err, &debug);
            const HRESULT h = hresultOfError(err);
            g_printerr("tovamix: media graph error from %s: %s (%s)\n", GST_OBJECT_NAME(msg->src),
                       err ? err->message : "?", debug ? debug : "");
            g_clear_error(&err);
            g_free(debug);
            bool report;
            {
                std::lock_guard lock(eventMutex_);
                lastError_ = h;
                report = !prerolling_;
                if (prerolling_ && SUCCEEDED(prerollHr_)) prerollHr_ = h;
            }
            eventCv_.notify_all();
            if (report) queueEvent(EC_ERRORABORT, h, 0);
            break;
        }
        case GST_MESSAGE_WARNING:
            queueEvent(EC_STREAM_ERROR_STILLPLAYING, E_FAIL, 0);
            break;
        case GST_MESSAGE_ELEMENT: {
            // A filter of the graph has ended its stream (forwarded by the pipeline); the one
            // that does so last completes the graph.
            const GstStructure* s = gst_message_get_structure(msg);
            if (!s || !gst_structure_has_name(s, "GstBinForwarded")) break;
            GstMessage* inner = nullptr;
            gst_structure_get(s, "message", GST_TYPE_MESSAGE, &inner, nullptr);
            if (!inner) break;
            if (GST_MESSAGE_TYPE(inner) == GST_MESSAGE_EOS) {
                std::lock_guard lock(eventMutex_);
                lastEnded_ = GST_MESSAGE_SRC(inner);
            }
            gst_message_unref(inner);
            break;
        }
        case GST_MESSAGE_EOS: {
            bool internal;
            const void* renderer;
            {
                std::lock_guard lock(eventMutex_);
                internal = stopping_;
                eosSeen_ = true;
                renderer = lastEnded_;
                lastEnded_ = nullptr;
            }
            eventCv_.notify_all();
            if (!internal) queueEvent(EC_COMPLETE, S_OK, 0, renderer);
            break;
        }
        case GST_MESSAGE_ASYNC_DONE: {
            bool paused, stepped;
            {
                std::lock_guard lock(eventMutex_);
                prerollDone_ = true;
                paused = pauseRequested_ && !prerolling_;
                pauseRequested_ = false;
                stepped = stepPending_;
                stepPending_ = false;
            }
            eventCv_.notify_all();
            if (paused) queueEvent(EC_PAUSED, S_OK, 0);
            if (stepped) queueEvent(EC_STEP_COMPLETE, 0, 0);
            break;
        }
        case GST_MESSAGE_NEW_CLOCK:
            queueEvent(EC_CLOCK_CHANGED, 0, 0);
            break;
        case GST_MESSAGE_CLOCK_LOST:
            queueEvent(EC_CLOCK_UNSET, 0, 0);
            break;
        case GST_MESSAGE_STEP_DONE:
            // One notice per step: the video renderer's (the sound steps along with it).
            if (isVideoSink(GST_MESSAGE_SRC(msg))) queueEvent(EC_STEP_COMPLETE, 0, 0);
            break;
        case GST_MESSAGE_SEGMENT_DONE:
            queueEvent(EC_END_OF_SEGMENT, 0, 0);
            break;
        case GST_MESSAGE_BUFFERING: {
            gint percent = 100;
            gst_message_parse_buffering(msg, &percent);
            queueEvent(0x11 /* EC_BUFFERING_DATA */, percent < 100 ? 1 : 0, 0);
            break;
        }
        case GST_MESSAGE_DURATION_CHANGED:
            duration_ = -1;
            break;
        default:
            break;
        }
    }

    GstElement* pipeline_;
    std::recursive_mutex mutex_;
    // -- The following fields are protected by mutex_.
    std::vector<FilterPtr> filters_;
    std::map<GstElement*, std::vector<std::function<bool(GstPad*)>>> handlers_;

    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    // -- The following fields are protected by eventMutex_.
    std::deque<Event> events_;
    std::function<void()> notify_;
    bool notifyOn_ = true;
    bool completed_ = false;
    long completionCode_ = 0;
    bool prerolling_ = false;
    bool prerollDone_ = false;
    HRESULT prerollHr_ = S_OK;
    int rendered_ = 0;
    bool stopping_ = false;
    bool eosSeen_ = false;
    bool pauseRequested_ = false;
    bool stepPending_ = false;
    const void* lastEnded_ = nullptr; // the filter's element that ended its stream last
    HRESULT lastError_ = S_OK;
    int videoWidth_ = 0, videoHeight_ = 0;
    GstClockTime frameDuration_ = GST_CLOCK_TIME_NONE;

    // -- User-interface thread only.
    FILTER_STATE target_ = State_Stopped;
    double rate_ = 1.0;
    long volume_ = 0, balance_ = 0;
    int64_t stop_ = -1;
    int64_t pendingSeek_ = -1;
    std::atomic<int64_t> duration_{-1};
};

class CaptureBuilder final : public ICaptureGraphBuilder2 {
  public:
    HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) override {
        if (graph_) return VFW_E_WRONG_STATE;
        graph_ = std::dynamic_pointer_cast<Graph>(graph);
        return graph_ ? S_OK : E_INVALIDARG;
    }

    HRESULT GetFiltergraph(std::shared_ptr<IGraphBuilder>* graph) override {
        if (!graph) return E_POINTER;
        *graph = graph_;
        return graph_ ? S_OK : E_UNEXPECTED;
    }

    HRESULT SetOutputFileName(const GUID& subtype, const std::string& fileName, FilterPtr* mux,
                              FilterPtr* sink) override {
        if (!graph_) return E_UNEXPECTED;
        if (!(subtype == MEDIASUBTYPE_Avi)) return E_INVALIDARG;
        FilterPtr m = createElementFilter("tovamixavimux", "AVI Mux");
        if (!m) return VFW_E_NOT_FOUND;
        FilterPtr writer = createFileWriter(m);
        if (!writer) return VFW_E_NOT_FOUND;
        if (HRESULT h = queryInterface<IFileSinkFilter>(writer)->SetFileName(fileName); FAILED(h))
            return h;
        graph_->AddFilter(m, "AVI Mux");
        graph_->AddFilter(writer, fileName);
        if (HRESULT h = graph_->ConnectDirect(findUnconnectedPin(m, PINDIR_OUTPUT),
                                              findUnconnectedPin(writer, PINDIR_INPUT));
            FAILED(h))
            return h;
        if (mux) *mux = m;
        if (sink) *sink = writer;
        return S_OK;
    }

    HRESULT RenderStream(const GUID* category, const GUID* majorType, const UnknownPtr& source,
                         const FilterPtr& intermediate, const FilterPtr& sink) override {
        if (!graph_) return E_UNEXPECTED;
        if (!source) return E_POINTER;
        (void)category; // our sources have one output per kind of data
        // reserved: the multiplexer input kept for this stream, or null to request one now.
        auto route = [this, majorType, intermediate, sink](GstPad* pad,
                                                           GstPad* reserved) -> HRESULT {
            // A stream written to a multiplexer runs on its own thread from the source on:
            // the multiplexer waits for every stream in turn, so streams that share the
            // source's thread would wait for each other for ever. Bytes of unknown kind go
            // into a decoder, which gives each of its streams a thread of its own already;
            // a queue in front of it would also make the decoder read the file as a stream,
            // and the AVI reader then loses short files whose data comes with their header.
            GstPad* current = sink && !padGivesUnknownBytes(pad) ? graph_->queueAfter(pad)
                                                                 : GST_PAD(gst_object_ref(pad));
            if (!current) return VFW_E_CANNOT_CONNECT;
            HRESULT h = S_OK;
            if (intermediate) {
                auto* e = static_cast<GstElement*>(intermediate->native());
                h = graph_->linkThrough(current, e, nullptr);
                gst_object_unref(current);
                current = SUCCEEDED(h) ? firstFreePad(e, GST_PAD_SRC) : nullptr;
                if (SUCCEEDED(h) && !current) h = VFW_E_CANNOT_CONNECT;
            }
            if (SUCCEEDED(h)) {
                if (sink) {
                    GstCaps* caps = padCaps(current);
                    const bool video =
                        majorType ? *majorType == MEDIATYPE_Video : capsAreVideo(caps);
                    gst_caps_unref(caps);
                    auto* e = static_cast<GstElement*>(sink->native());
                    const bool requests =
                        gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(e), "video_%u");
                    h = graph_->linkThrough(
                        current, e, reserved,
                        requests && !reserved ? (video ? "video_%u" : "audio_%u") : nullptr);
                } else {
                    h = graph_->renderPad(current) ? S_OK : VFW_E_CANNOT_RENDER;
                }
            }
            if (current) gst_object_unref(current);
            return h;
        };

        if (auto pin = std::dynamic_pointer_cast<IPin>(source)) {
            if (pin->direction() != PINDIR_OUTPUT) return E_INVALIDARG;
            return route(static_cast<GstPad*>(pin->native()), nullptr);
        }
        auto filter = std::dynamic_pointer_cast<IBaseFilter>(source);
        if (!filter) return E_INVALIDARG;
        if (PinPtr out = findUnconnectedPin(filter, PINDIR_OUTPUT, majorType))
            return route(static_cast<GstPad*>(out->native()), nullptr);
        // Bytes of unknown kind (a file read as it is) hold streams of every kind: the decoder
        // put after them picks the one of the kind asked for.
        if (PinPtr out = findUnconnectedPin(filter, PINDIR_OUTPUT, nullptr);
            out && padGivesUnknownBytes(static_cast<GstPad*>(out->native())))
            return route(static_cast<GstPad*>(out->native()), nullptr);
        auto* e = static_cast<GstElement*>(filter->native());
        if (!hasSometimesSrcPads(e)) return VFW_E_NOT_FOUND;
        // The source finds its streams once it runs: connect the first one of the kind asked for.
        // A multiplexer gets this stream's input now, so it does not start the file with the
        // streams of other sources that happen to come first (it takes no stream after that).
        std::shared_ptr<Reservation> reserved = reserveMuxInput(majorType, intermediate, sink);
        graph_->activateElement(e);
        graph_->whenPadAdded(e, [route, majorType, reserved](GstPad* pad) {
            GstCaps* caps = padCaps(pad);
            const bool match = capsMatchType(caps, majorType);
            gst_caps_unref(caps);
            return match && SUCCEEDED(route(pad, reserved ? reserved->pad : nullptr));
        });
        if (reserved) {
            // A source that ends its list of streams without one of this kind gives the input
            // back, so the multiplexer does not wait for it.
            g_signal_connect_data(
                e, "no-more-pads", G_CALLBACK(+[](GstElement*, gpointer data) {
                    auto& r = *static_cast<std::shared_ptr<Reservation>*>(data);
                    if (r->pad && !gst_pad_is_linked(r->pad)) r->release();
                }),
                new std::shared_ptr<Reservation>(reserved),
                +[](gpointer data, GClosure*) {
                    delete static_cast<std::shared_ptr<Reservation>*>(data);
                },
                GConnectFlags(0));
        }
        return S_OK;
    }

  private:
    // A requested multiplexer input held for a stream that has not appeared yet.
    struct Reservation {
        GstElement* mux;
        GstPad* pad;
        Reservation(GstElement* m, GstPad* p) : mux(GST_ELEMENT(gst_object_ref(m))), pad(p) {}
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        void release() {
            gst_element_release_request_pad(mux, pad);
            gst_object_unref(pad);
            pad = nullptr;
        }
        ~Reservation() {
            if (pad) gst_object_unref(pad);
            gst_object_unref(mux);
        }
    };

    // The input of a multiplexer sink for a stream of the major type asked for, or of the kind
    // the intermediate filter takes; null when the sink is no multiplexer or the kind is unknown.
    static std::shared_ptr<Reservation>
    reserveMuxInput(const GUID* majorType, const FilterPtr& intermediate, const FilterPtr& sink) {
        if (!sink) return nullptr;
        auto* mux = static_cast<GstElement*>(sink->native());
        if (!gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(mux), "video_%u"))
            return nullptr;
        int video = -1;
        if (majorType && (*majorType == MEDIATYPE_Video || *majorType == MEDIATYPE_Audio)) {
            video = *majorType == MEDIATYPE_Video;
        } else if (intermediate) {
            auto* e = static_cast<GstElement*>(intermediate->native());
            if (GstPad* in = firstFreePad(e, GST_PAD_SINK)) {
                GstCaps* takes = gst_pad_query_caps(in, nullptr);
                if (capsAreVideo(takes))
                    video = 1;
                else if (capsAreAudio(takes))
                    video = 0;
                gst_caps_unref(takes);
                gst_object_unref(in);
            }
        }
        if (video < 0) return nullptr;
        GstPad* pad = gst_element_request_pad_simple(mux, video ? "video_%u" : "audio_%u");
        if (!pad) return nullptr;
        return std::make_shared<Reservation>(mux, pad);
    }

  private:
    std::shared_ptr<Graph> graph_;
};

} // namespace

std::shared_ptr<IFilterGraph2> createFilterGraph() {
    return std::make_shared<Graph>();
}

std::shared_ptr<ICaptureGraphBuilder2> createCaptureGraphBuilder() {
    ensureGstreamer();
    return std::make_shared<CaptureBuilder>();
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
