// The graph's event queue, the bus sync handler, and the mapping from bus messages to events.
// The bus handler runs on the thread that posts a message (a streaming thread, or the
// user-interface thread during a state change); the queue's readers on the user-interface
// thread.
#include "platform/dshow/graph/GraphImpl.h"
#include "platform/dshow/graph/WaitStep.h"

#include <gst/base/gstbasesrc.h>
#include <gst/video/videooverlay.h>

#include <algorithm>

namespace platform::dshow {

namespace {
bool endsPlayback(long code) {
    return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
}
} // namespace

// -- GraphEventQueue

std::function<void()> GraphEventQueue::pushLocked(const GraphEvent& e) {
    events_.push_back(e);
    // A run that ended with an error stays ended with it: an end of stream that follows (a
    // demultiplexer ends its streams once it has failed) is no completion.
    const bool failedAlready = completed_ && completionCode_ == EC_ERRORABORT;
    if (endsPlayback(e.code) && !(failedAlready && e.code == EC_COMPLETE)) {
        completed_ = true;
        completionCode_ = e.code;
    }
    return notifyOn_ ? notify_ : nullptr;
}

void GraphEventQueue::afterUnlock(const std::vector<std::function<void()>>& notifies) {
    changed_.notify_all();
    for (const auto& notify : notifies)
        if (notify) notify();
}

void GraphEventQueue::post(long code, intptr_t p1, intptr_t p2, const void* renderer) {
    std::function<void()> notify;
    {
        std::lock_guard lock(lock_);
        notify = pushLocked({code, p1, p2, renderer});
    }
    afterUnlock({notify});
}

bool GraphEventQueue::take(GraphEvent* e, std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    if (!changed_.wait_for(lock, std::max(timeout, std::chrono::milliseconds(0)),
                           [this] { return !events_.empty(); }))
        return false;
    *e = events_.front();
    events_.pop_front();
    return true;
}

bool GraphEventQueue::waitForCompletion(long timeoutMs, long* code) {
    std::unique_lock lock(lock_);
    const bool done = timeoutMs < 0 ? (changed_.wait(lock, [this] { return completed_; }), true)
                                    : changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                        [this] { return completed_; });
    if (code) *code = done ? completionCode_ : 0;
    return done;
}

bool GraphEventQueue::completed() {
    std::lock_guard lock(lock_);
    return completed_;
}

void GraphEventQueue::setNotify(std::function<void()> notify) {
    std::lock_guard lock(lock_);
    notify_ = std::move(notify);
}

void GraphEventQueue::setNotifyOn(bool on) {
    std::lock_guard lock(lock_);
    notifyOn_ = on;
}

void GraphEventQueue::seeked() {
    std::lock_guard lock(lock_);
    forcedEnd_ = false;
}

void GraphEventQueue::runStarted() {
    std::lock_guard lock(lock_);
    completed_ = false;
    forcedEnd_ = false;
    pauseRequested_ = false;
    lastEnded_ = nullptr;
    writerFailed_ = false;
}

void GraphEventQueue::pauseRequested() {
    std::lock_guard lock(lock_);
    pauseRequested_ = true;
}

void GraphEventQueue::pausedAtOnce() {
    std::function<void()> notify;
    {
        std::lock_guard lock(lock_);
        // The bus may have seen the graph arrive (a preroll that was under way) and reported
        // this pause already: one notice per pause.
        if (!pauseRequested_) return;
        pauseRequested_ = false;
        notify = pushLocked({EC_PAUSED, S_OK, 0});
    }
    afterUnlock({notify});
}

void GraphEventQueue::stepRequested() {
    std::lock_guard lock(lock_);
    stepPending_ = true;
}

HRESULT GraphEventQueue::lastErrorOr(HRESULT fallback) {
    std::lock_guard lock(lock_);
    return FAILED(lastError_) ? lastError_ : fallback;
}

void GraphEventQueue::prerollStarted() {
    std::lock_guard lock(lock_);
    prerolling_ = true;
    prerollDone_ = false;
    prerollHr_ = S_OK;
    rendered_ = 0;
}

void GraphEventQueue::streamRendered() {
    std::lock_guard lock(lock_);
    ++rendered_;
}

HRESULT GraphEventQueue::waitPreroll(bool failed, bool done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    if (failed && prerollHr_ == S_OK) prerollHr_ = VFW_E_CANNOT_RENDER;
    if (done) prerollDone_ = true;
    const auto finished = [this] { return prerollDone_ || FAILED(prerollHr_); };
    if (hasWaitStep()) {
        // The waiting thread's step runs between short waits, without the lock (it may read
        // the queue through the graph's other calls).
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!finished() && std::chrono::steady_clock::now() < end) {
            const auto left = end - std::chrono::steady_clock::now();
            if (changed_.wait_for(lock,
                                  std::min<std::chrono::steady_clock::duration>(
                                      left, std::chrono::milliseconds(10)),
                                  finished))
                break;
            lock.unlock();
            runWaitStep();
            lock.lock();
        }
        if (!finished()) prerollHr_ = VFW_E_TIMEOUT;
    } else if (!changed_.wait_for(lock, timeout, finished)) {
        prerollHr_ = VFW_E_TIMEOUT;
    }
    HRESULT h = prerollHr_;
    if (SUCCEEDED(h) && rendered_ == 0) h = VFW_E_CANNOT_RENDER;
    prerolling_ = false;
    return h;
}

void GraphEventQueue::drainStarted() {
    std::lock_guard lock(lock_);
    stopping_ = true;
    eosSeen_ = false;
    // After an error the failed source may report more on its way down (a camera's own error,
    // then its stream's); only the end of the stream finishes the file then.
    drainAfterError_ = completed_ && completionCode_ == EC_ERRORABORT;
}

bool GraphEventQueue::writerFailed() {
    std::lock_guard lock(lock_);
    return writerFailed_;
}

bool GraphEventQueue::abortedByError() {
    std::lock_guard lock(lock_);
    return completed_ && completionCode_ == EC_ERRORABORT;
}

void GraphEventQueue::waitDrained(std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, timeout,
                      [this] { return eosSeen_ || (FAILED(lastError_) && !drainAfterError_); });
    // An error raised by the drain itself (a source the run had not reached yet, failing as
    // the stream is ended around it) may leave the end of the stream on its way to the writer:
    // it is given a moment more, so the file still gets its index.
    if (!eosSeen_ && errorInDrain_)
        changed_.wait_for(lock, DrainGrace, [this] { return eosSeen_; });
    stopping_ = false;
    errorInDrain_ = false;
}

void GraphEventQueue::frameRate(int num, int den) {
    std::lock_guard lock(lock_);
    frameDuration_ = gst_util_uint64_scale_int(GST_SECOND, den, num);
}

void GraphEventQueue::videoSize(int width, int height) {
    std::function<void()> notify;
    {
        std::lock_guard lock(lock_);
        if (width == videoWidth_ && height == videoHeight_) return;
        videoWidth_ = width;
        videoHeight_ = height;
        notify =
            pushLocked({EC_VIDEO_SIZE_CHANGED, intptr_t((height << 16) | (width & 0xFFFF)), 0});
    }
    afterUnlock({notify});
}

bool GraphEventQueue::videoSize(long* width, long* height) {
    std::lock_guard lock(lock_);
    if (videoWidth_ <= 0) return false;
    *width = videoWidth_;
    *height = videoHeight_;
    return true;
}

GstClockTime GraphEventQueue::frameDuration() {
    std::lock_guard lock(lock_);
    return frameDuration_;
}

void GraphEventQueue::error(HRESULT h, bool writer) {
    std::function<void()> notify;
    {
        std::lock_guard lock(lock_);
        lastError_ = h;
        writerFailed_ = writerFailed_ || writer;
        if (stopping_) errorInDrain_ = true;
        if (prerolling_ && SUCCEEDED(prerollHr_)) prerollHr_ = h;
        // While a playback graph is being built, its builder reports the error.
        if (!prerolling_) notify = pushLocked({EC_ERRORABORT, h, 0});
    }
    afterUnlock({notify});
}

void GraphEventQueue::filterEnded(const void* element) {
    std::lock_guard lock(lock_);
    lastEnded_ = element;
}

void GraphEventQueue::endOfStream(bool forced) {
    std::function<void()> notify;
    {
        std::lock_guard lock(lock_);
        if (!forced && forcedEnd_) {
            forcedEnd_ = false;
            return;
        }
        forcedEnd_ = forced;
        eosSeen_ = true;
        // The end of stream that finishes a file on Stop is the graph's own, not a completion.
        if (!stopping_) notify = pushLocked({EC_COMPLETE, S_OK, 0, lastEnded_});
        lastEnded_ = nullptr;
    }
    afterUnlock({notify});
}

void GraphEventQueue::asyncDone() {
    std::vector<std::function<void()>> notifies;
    {
        std::lock_guard lock(lock_);
        prerollDone_ = true;
        if (pauseRequested_ && !prerolling_) notifies.push_back(pushLocked({EC_PAUSED, S_OK, 0}));
        pauseRequested_ = false;
        if (stepPending_) notifies.push_back(pushLocked({EC_STEP_COMPLETE, 0, 0}));
        stepPending_ = false;
    }
    afterUnlock(notifies);
}

// -- IMediaEventEx

// EC_COMPLETE gives the renderer that finished as param2 (an IBaseFilter* of this graph's
// filters, or 0 when it is no longer in the graph).
HRESULT Graph::GetEvent(long* code, intptr_t* p1, intptr_t* p2, long timeoutMs) {
    if (!code || !p1 || !p2) return E_POINTER;
    GraphEvent e;
    if (!events_.take(&e, std::chrono::milliseconds(timeoutMs))) return E_ABORT;
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

HRESULT Graph::FreeEventParams(long, intptr_t, intptr_t) {
    return S_OK;
}

HRESULT Graph::WaitForCompletion(long timeoutMs, long* code) {
    return events_.waitForCompletion(timeoutMs, code) ? S_OK : E_ABORT;
}

HRESULT Graph::SetNotifyWindow(std::function<void()> notify) {
    events_.setNotify(std::move(notify));
    return S_OK;
}

HRESULT Graph::SetNotifyFlags(long flags) {
    events_.setNotifyOn(flags == 0);
    return S_OK;
}

// -- The bus

GstBusSyncReply Graph::busSync(GstBus*, GstMessage* msg, gpointer self) {
    static_cast<Graph*>(self)->onMessage(msg);
    // A handler that drops a message releases it: each message holds its sender, and a
    // message kept for good keeps the pipeline, its bus and the bus's sockets with it.
    gst_message_unref(msg);
    return GST_BUS_DROP;
}

void Graph::onMessage(GstMessage* msg) {
    switch (GST_MESSAGE_TYPE(msg)) {
    case GST_MESSAGE_ERROR: {
        GError* err = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        // A device's element is a source (its own bin too); only a live one (a camera, a
        // microphone) is a device that can be lost while it runs, not a file being read.
        const bool fromSource =
            GST_IS_ELEMENT(msg->src) && GST_OBJECT_FLAG_IS_SET(msg->src, GST_ELEMENT_FLAG_SOURCE);
        const bool live = GST_IS_BASE_SRC(msg->src) && gst_base_src_is_live(GST_BASE_SRC(msg->src));
        const HRESULT h =
            hresultOfError(err, fromSource, live && GST_STATE(pipeline()) == GST_STATE_PLAYING);
        g_printerr("tovamix: media graph error from %s: %s (%s)\n", GST_OBJECT_NAME(msg->src),
                   err ? err->message : "?", debug ? debug : "");
        g_clear_error(&err);
        g_free(debug);
        events_.error(
            h, GST_IS_ELEMENT(msg->src) &&
                   g_object_class_find_property(G_OBJECT_GET_CLASS(msg->src), "file-written"));
        break;
    }
    case GST_MESSAGE_WARNING:
        events_.post(EC_STREAM_ERROR_STILLPLAYING, E_FAIL, 0);
        break;
    case GST_MESSAGE_ELEMENT: {
        // A sink about to draw asks for its window: the owner given to its renderer, so no
        // sink opens a window of its own while one is given.
        if (gst_is_video_overlay_prepare_window_handle_message(msg)) {
            if (const guintptr owner = videoOwnerOf(GST_MESSAGE_SRC(msg)))
                gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(GST_MESSAGE_SRC(msg)), owner);
            break;
        }
        // A filter of the graph has ended its stream (forwarded by the pipeline); the one
        // that does so last completes the graph.
        const GstStructure* s = gst_message_get_structure(msg);
        if (!s || !gst_structure_has_name(s, "GstBinForwarded")) break;
        GstMessage* forwarded = nullptr;
        gst_structure_get(s, "message", GST_TYPE_MESSAGE, &forwarded, nullptr);
        const GstRef<GstMessage> inner(forwarded);
        if (inner && GST_MESSAGE_TYPE(inner.get()) == GST_MESSAGE_EOS) {
            events_.filterEnded(GST_MESSAGE_SRC(inner.get()));
            if (isVideoSink(GST_MESSAGE_SRC(inner.get()))) endWatch_.videoEnded();
        }
        break;
    }
    case GST_MESSAGE_EOS:
        events_.endOfStream();
        break;
    case GST_MESSAGE_ASYNC_DONE:
        events_.asyncDone();
        break;
    case GST_MESSAGE_NEW_CLOCK:
        events_.post(EC_CLOCK_CHANGED, 0, 0);
        break;
    case GST_MESSAGE_CLOCK_LOST:
        events_.post(EC_CLOCK_UNSET, 0, 0);
        break;
    case GST_MESSAGE_STEP_DONE:
        // One notice per step: the video renderer's (the sound steps along with it).
        if (isVideoSink(GST_MESSAGE_SRC(msg))) events_.post(EC_STEP_COMPLETE, 0, 0);
        break;
    case GST_MESSAGE_SEGMENT_DONE:
        events_.post(EC_END_OF_SEGMENT, 0, 0);
        break;
    case GST_MESSAGE_BUFFERING: {
        gint percent = 100;
        gst_message_parse_buffering(msg, &percent);
        events_.post(EC_BUFFERING_DATA, percent < 100 ? 1 : 0, 0);
        break;
    }
    case GST_MESSAGE_DURATION_CHANGED:
        duration_ = -1;
        break;
    default:
        break;
    }
}

} // namespace platform::dshow
