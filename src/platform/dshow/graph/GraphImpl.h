// The filter graph over a GstPipeline. Internal to the graph layer: the graph's own parts and the
// builders that extend it (the capture graph builder, and those that follow) reach it through
// this header. Each part lives in a file of its own:
//   Graph.cpp            filters in the graph, control, seeking, audio and video properties,
//                        steps
//   GraphBuilding.cpp    helpers added by the graph, pads that appear, linking, rendering a pad
//   GraphEventQueue.cpp  the event queue, the bus handler, bus messages turned into events
//   Renderers.cpp        sinks, renderer bins, the video-size watch, volume and balance
//   CaptureBuilder.cpp   the capture graph builder and its multiplexer input reservations
//   FileFilters.cpp      the layer's start (our elements registered), the file filters
//   base/Errors.cpp      result codes and their texts, GStreamer errors as result codes
//
// Threads: the interfaces belong to the user-interface thread. GStreamer's streaming threads
// reach the graph through the bus (a sync handler, so on the thread that posts), through the
// pad-added handlers and through the video-size watch; they touch only the event queue, which
// takes its own lock, and the filter list under mutex_.
#pragma once

#include "platform/dshow/base/DShow.h"
#include "platform/dshow/graph/EndWatch.h"
#include "platform/dshow/graph/GraphServices.h"
#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/graph/StreamStart.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace platform::dshow {

// -- Pads and elements, for the builders (GraphBuilding.cpp).
bool linkPads(GstPad* src, GstPad* sink);
// The element's first pad of a direction that is not linked yet, or null.
PadRef firstFreePad(GstElement* e, GstPadDirection dir);
// Whether an element gives its outputs only once it runs (a demuxer, a decoder, a file source).
bool hasSometimesSrcPads(GstElement* e);
// Whether caps are of a major type (null or GUID_NULL: any).
bool capsMatchType(GstCaps* caps, const GUID* type);

// -- Renderers (Renderers.cpp).
// A new bin (floating) with an input pad "Input": the elements of the factories in chain (those
// that exist), linked in turn, then sink.
GstElement* makeRendererBin(const char* name, std::initializer_list<const char*> chain,
                            GstElement* sink);

struct GraphEvent {
    long code = 0;
    intptr_t p1 = 0, p2 = 0;
    // EC_COMPLETE: the element of the renderer that finished last (only compared, never
    // used: it may be gone by the time the event is read).
    const void* renderer = nullptr;
};

// The graph's events and the state that the streaming threads report and the user-interface
// thread waits for. Every method takes the queue's lock; the notify callback runs after it
// is released, on the thread that queued the event. This class is thread-safe.
class GraphEventQueue {
  public:
    // How long a drain goes on waiting for the end of the stream after an error it raised.
    static constexpr std::chrono::milliseconds DrainGrace{2000};

    // -- The queue.
    void post(long code, intptr_t p1, intptr_t p2, const void* renderer = nullptr);
    // Takes the oldest event, waiting up to timeout for one; false when none came.
    bool take(GraphEvent* e, std::chrono::milliseconds timeout);
    // Waits for the end of playback (timeoutMs < 0: for ever); *code is its event code.
    bool waitForCompletion(long timeoutMs, long* code);
    bool completed();
    void setNotify(std::function<void()> notify);
    void setNotifyOn(bool on);

    // -- Control, from the user-interface thread.
    // A run starts: forgets the last completion, a pause asked for and the last filter to end.
    void runStarted();
    void pauseRequested();
    // The graph paused at once: reports the pause asked for, unless the bus has reported it.
    void pausedAtOnce();
    void stepRequested();
    // The last error an element reported, else fallback.
    HRESULT lastErrorOr(HRESULT fallback);

    // -- Building a playback graph: errors are kept for the builder instead of being queued,
    // and the builder learns whether the graph prerolled and how many streams it renders.
    void prerollStarted();
    void streamRendered();
    // Waits (up to timeout) for the preroll the state change began: failed when the change
    // failed, done when it completed at once. The result of the preroll; building then ends.
    HRESULT waitPreroll(bool failed, bool done, std::chrono::milliseconds timeout);

    // -- Stopping a graph that writes: the end of stream that finishes the file is no event.
    void drainStarted();
    // Waits (up to timeout) for the end of the stream, or an error unless the run had ended
    // with one before the drain started (the file is then finished despite it).
    void waitDrained(std::chrono::milliseconds timeout);
    // Whether the run ended with an error (EC_ERRORABORT).
    bool abortedByError();

    // -- The video's format, from the streaming thread of the video renderer.
    void frameRate(int num, int den);
    // Queues EC_VIDEO_SIZE_CHANGED when the size changes.
    void videoSize(int width, int height);
    bool videoSize(long* width, long* height);
    GstClockTime frameDuration();

    // -- From the bus.
    // writer: the element that writes the file failed, so no end of stream can finish it.
    void error(HRESULT h, bool writer = false);
    bool writerFailed();
    void filterEnded(const void* element);
    // forced: the graph completes without the end of stream (see EndWatch); the end of stream
    // that may still come in the same run is then no second completion.
    void endOfStream(bool forced = false);
    // A seek: an end of stream from before it is gone.
    void seeked();
    void asyncDone();

  private:
    // Adds an event under lock_; gives the notify callback to run once lock_ is released.
    std::function<void()> pushLocked(const GraphEvent& e);
    // Wakes the waiters and runs the notify callbacks gathered under lock_.
    void afterUnlock(const std::vector<std::function<void()>>& notifies);

    std::mutex lock_;
    std::condition_variable changed_;
    // -- All the following fields are protected by lock_.
    std::deque<GraphEvent> events_;
    std::function<void()> notify_;
    bool notifyOn_ = true;
    bool completed_ = false;
    long completionCode_ = 0;
    bool forcedEnd_ = false; // completed by the end watch in this run, since the last seek
    bool prerolling_ = false;
    bool prerollDone_ = false;
    HRESULT prerollHr_ = S_OK;
    int rendered_ = 0;
    bool stopping_ = false;
    bool eosSeen_ = false;
    bool drainAfterError_ = false;
    bool errorInDrain_ = false; // an error came while stopping_
    bool writerFailed_ = false;
    bool pauseRequested_ = false;
    bool stepPending_ = false;
    const void* lastEnded_ = nullptr; // the filter's element that ended its stream last
    HRESULT lastError_ = S_OK;
    int videoWidth_ = 0, videoHeight_ = 0;
    GstClockTime frameDuration_ = GST_CLOCK_TIME_NONE;
};

class Graph final : public IFilterGraph2,
                    public IMediaControl,
                    public IMediaSeeking,
                    public IBasicAudio,
                    public IBasicVideo,
                    public IVideoWindow,
                    public IVideoFrameStep,
                    public IGraphStartup,
                    public IMediaEventEx {
  public:
    Graph();
    ~Graph() override;

    GstElement* pipeline() const { return pipeline_.get(); }

    // -- IFilterGraph2 (Graph.cpp: the filters; GraphBuilding.cpp: connecting and rendering)
    HRESULT AddFilter(const FilterPtr& filter, const std::string& name) override;
    HRESULT RemoveFilter(const FilterPtr& filter) override;
    std::vector<FilterPtr> EnumFilters() override;
    FilterPtr FindFilterByName(const std::string& name) override;
    HRESULT ConnectDirect(const PinPtr& out, const PinPtr& in) override;
    HRESULT Connect(const PinPtr& out, const PinPtr& in) override;
    HRESULT Render(const PinPtr& out) override;
    HRESULT AddSourceFilter(const std::string& fileName, const std::string& filterName,
                            FilterPtr* filter) override;
    HRESULT RenderFile(const std::string& fileName) override;

    // -- IMediaControl
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(long timeoutMs, FILTER_STATE* state) override;

    // -- IMediaSeeking
    HRESULT GetCurrentPosition(int64_t* position) override;
    HRESULT GetDuration(int64_t* duration) override;
    HRESULT GetStopPosition(int64_t* stop) override;
    HRESULT SetPositions(int64_t* current, uint32_t currentFlags, int64_t* stop,
                         uint32_t stopFlags) override;
    HRESULT SetRate(double rate) override;
    HRESULT GetRate(double* rate) override;

    // -- IBasicAudio
    HRESULT put_Volume(long v) override;
    HRESULT get_Volume(long* v) override;
    HRESULT put_Balance(long b) override;
    HRESULT get_Balance(long* b) override;

    // -- IBasicVideo
    HRESULT GetVideoSize(long* width, long* height) override;
    HRESULT SetSourcePosition(long left, long top, long width, long height) override;
    HRESULT GetSourcePosition(long* left, long* top, long* width, long* height) override;
    HRESULT SetDefaultSourcePosition() override;

    // -- IVideoWindow, forwarded to the first video renderer that draws into a window
    HRESULT put_Owner(uintptr_t window) override;
    HRESULT get_Owner(uintptr_t* window) override;
    HRESULT SetWindowPosition(long left, long top, long width, long height) override;
    HRESULT GetWindowPosition(long* left, long* top, long* width, long* height) override;
    HRESULT put_Visible(bool visible) override;
    HRESULT get_Visible(bool* visible) override;
    HRESULT Repaint() override;
    std::string sinkName() const override;

    // -- IVideoFrameStep
    HRESULT CanStep() override;
    HRESULT Step(uint32_t frames) override;

    // -- IGraphStartup
    HRESULT KeepPrerolled(bool keep) override;

    // -- IMediaEventEx (GraphEventQueue.cpp)
    HRESULT GetEvent(long* code, intptr_t* p1, intptr_t* p2, long timeoutMs) override;
    HRESULT FreeEventParams(long, intptr_t, intptr_t) override;
    HRESULT WaitForCompletion(long timeoutMs, long* code) override;
    HRESULT SetNotifyWindow(std::function<void()> notify) override;
    HRESULT SetNotifyFlags(long flags) override;

    // -- Building, shared with the builders (GraphBuilding.cpp). User-interface thread, and
    // streaming threads from pad-added handlers.

    // Adds an element made here as a filter of the role given that takes part in the graph's
    // state at once.
    FilterPtr addHelper(GstElement* element, const std::string& name, FilterRole role);
    // The same for a filter object made here.
    void addHelper(const std::shared_ptr<GstFilter>& filter);
    // Runs handler for each pad element gets from now on, until the handler takes one (returns
    // true); the handler stays for pads that come again after a restart.
    void whenPadAdded(GstElement* element, std::function<bool(GstPad*)> handler);
    // Links src to target (a filter's element; sinkPad: the pad to use, or null for a free or
    // requested one), putting a decoder and converters in between when the formats differ.
    HRESULT linkThrough(GstPad* src, GstElement* target, GstPad* sinkPad,
                        const char* requestTemplate = nullptr);
    // Completes the graph from an output pad to the renderers, through an unconnected filter of
    // the graph that takes the data if there is one. Returns whether the pad was linked.
    bool renderPad(GstPad* src);
    HRESULT linkWithConverter(GstPad* src, GstPad* into, bool video);
    // Puts a queue after src, so what follows runs on a streaming thread of its own; gives
    // back the queue's output, or null.
    PadRef queueAfter(GstPad* src);
    // Lets an element of the graph take part in the graph's state.
    void activateElement(GstElement* element);
    // Before the pipeline pauses or runs: the filters nothing is linked to yet are not counted
    // among the sinks whose end of stream ends the pipeline (the video renderer beside a
    // sound-only file would else hold up its end for ever). A filter counts again once it is
    // linked, and when it leaves the graph.
    void leaveOutIdleSinks();
    static void countAsSink(GstElement* element);

    // -- For the DVD graph builder (DvdGraph.cpp). User-interface thread, except postEvent
    // and setMuted, which the navigator's own thread calls too.
    // Building starts: errors are kept for the builder and rendered streams counted.
    void buildStarted() { events_.prerollStarted(); }
    // Plays the built graph up to its first pictures, as RenderFile does, and keeps it paused
    // there (reported stopped); on failure it is taken back to ready. The preroll's result.
    HRESULT prerollBuilt(std::chrono::milliseconds timeout);
    void postEvent(long code, intptr_t p1, intptr_t p2) { events_.post(code, p1, p2); }
    // Silences the audio renderers (or gives them their volume back) without changing the
    // volume set.
    void setMuted(bool muted);
    // A graph whose source moves by itself (a DVD navigator): frame steps go to the video
    // renderer as step events, and only a rate other than 1 seeks.
    void sourceNavigates() {
        navigating_ = true;
        g_object_set_data(G_OBJECT(pipeline()), NavigatesKey, GINT_TO_POINTER(1));
    }
    // Set on the pipeline of a graph whose source navigates, for its renderers.
    static constexpr const char* NavigatesKey = "tovamix-navigates";
    // Such a graph stops to null, which makes its source anew on the next run (rsndvdbin does
    // not come back from ready). stopping is called before a stop of a playing or paused
    // graph, restarted after the run that follows it; both on the user-interface thread. An
    // empty function clears them.
    void watchRestarts(std::function<void()> stopping, std::function<void()> restarted) {
        stopping_ = std::move(stopping);
        restarted_ = std::move(restarted);
    }

  private:
    // -- GraphBuilding.cpp
    // Lets the element of a pad take part in the graph's state, now that it is connected.
    void activate(GstPad* pad);
    static void padAdded(GstElement* element, GstPad* pad, gpointer self);

    // -- Renderers.cpp
    // Adds a renderer of raw video or sound to the graph; gives its input.
    PadRef addRenderer(bool video);
    // The sinks of the video renderers.
    std::vector<ElementRef> videoSinks();
    static bool isVideoSink(GstObject* o);
    // The owner window given to the video renderer an element belongs to, or 0.
    static guintptr videoOwnerOf(GstObject* o);
    void watchVideoSize(GstElement* rendererBin);
    // Removes the size watch of a renderer leaving the graph (it points to this graph).
    static void forgetVideoSize(GstElement* rendererBin);
    std::shared_ptr<IVideoWindow> videoWindow();
    void applyAudio();

    // -- Graph.cpp
    bool hasWriter();
    // Whether a source of the graph is live (a capture device): it answers in real time.
    bool isLive();
    static bool pictureShown(GstElement* sink, gint64* position);
    ElementRef writingElement();
    std::vector<ElementRef> sourceElements();
    void endStoppedSources();
    void sendEndOfStream();
    FilterPtr positionFilter();
    bool seek(int64_t current);
    void applyPendingSeek();
    // Takes a graph that is stopped but still prerolled down to a real stop.
    void settleStop();
    // Sets the filters taken out of the graph while it ran to null (see RemoveFilter), once the
    // graph has stopped. User-interface thread.
    void releaseParked();
    void queryDuration();

    // -- GraphEventQueue.cpp
    static GstBusSyncReply busSync(GstBus*, GstMessage* msg, gpointer self);
    void onMessage(GstMessage* msg);

    ElementRef pipeline_;
    std::recursive_mutex mutex_;
    // -- The following fields are protected by mutex_.
    std::vector<FilterPtr> filters_;
    std::map<GstElement*, std::vector<std::function<bool(GstPad*)>>> handlers_;
    // Filters taken out while the graph ran, kept ready until it stops. User-interface thread
    // only.
    std::vector<FilterPtr> parked_;

    GraphEventQueue events_;

    // -- User-interface thread only.
    FILTER_STATE target_ = State_Stopped;
    bool keepPrerolled_ = false;
    // Stopped, but still paused on the pictures RenderFile prerolled (keepPrerolled_).
    bool prerolledStop_ = false;
    double rate_ = 1.0;
    int64_t stop_ = -1;
    int64_t pendingSeek_ = -1;
    // How far a graph that only writes a file has reached (nanoseconds): its run, or once the
    // writer tells, the data written.
    int64_t lastRunning_ = 0;
    bool writtenKnown_ = false; // the writer has told how far its data reach in this run
    // Set on the user-interface thread, read also where a renderer is added on a streaming
    // thread.
    std::atomic<long> volume_{0}, balance_{0};
    std::atomic<bool> muted_{false};
    bool navigating_ = false;
    std::function<void()> stopping_, restarted_; // see watchRestarts
    bool stoppedToNull_ = false;                 // a navigating graph stopped since its last run
    // Read on the user-interface thread, forgotten from the bus when the duration changes.
    std::atomic<int64_t> duration_{-1};
    // Where the file played starts (its zero in its reader's stream time) and its picture grid:
    // positions and seeks count from the zero. User-interface thread only.
    StreamStart start_;
    std::string sourceFile_; // the file played, whose length is measured where it is estimated

    // Last, so its thread ends before the rest of the graph goes.
    EndWatch endWatch_{{
        [this] {
            gint64 pos = -1;
            return gst_element_query_position(pipeline(), GST_FORMAT_TIME, &pos) ? pos : -1;
        },
        [this] { return GST_STATE(pipeline()) == GST_STATE_PLAYING; },
        [this] { return events_.completed(); },
        [this] { events_.endOfStream(true); },
    }};
};

} // namespace platform::dshow
