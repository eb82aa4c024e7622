// Internal to the AVI multiplexer element ("tovamixavimux"): its state, held by the element
// and its sink pads, and the writing of the file (header, packets, trailer) through the AVI
// muxer core, which AviMuxElement.cpp's aggregate and event handlers call. The aggregate
// thread only, unless a field says otherwise.
#pragma once

#include "platform/dshow/elements/AviMuxInternal.h"
#include "platform/vfw/AviMuxer.h"

#include <gst/base/gstaggregator.h>
#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_EXTERN(tovamix_avimux_debug);

namespace platform::dshow::avimux {

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

} // namespace platform::dshow::avimux

// The GObject instances of the element and its sink pads (their classes are in
// AviMuxElement.cpp).
struct TovamixAviMuxPad {
    GstAggregatorPad parent;
    platform::dshow::avimux::PadState* state;
};
struct TovamixAviMux {
    GstAggregator parent;
    platform::dshow::avimux::MuxState* state;
};
namespace platform::dshow::avimux {

inline TovamixAviMux* muxOf(GstAggregator* agg) {
    return reinterpret_cast<TovamixAviMux*>(agg);
}
inline PadState& stateOf(GstAggregatorPad* pad) {
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

// -- Writing the file (AviMuxWriting.cpp).
bool writeOutput(GstAggregator* agg, const uint8_t* data, size_t size, int64_t offset);
void seekOutput(GstAggregator* agg, int64_t offset);
bool downstreamSeekable(GstAggregator* agg);
GstFlowReturn writeHeader(GstAggregator* agg, const PadList& list);
GstClockTime runningTime(GstAggregatorPad* pad, GstBuffer* buf);
int64_t positionOf(const PadState& ps, GstClockTime rt);
GstClockTime timeOf(const PadState& ps, int64_t position);
GstFlowReturn writePacket(GstAggregator* agg, GstAggregatorPad* pad, GstBuffer* buf,
                          int64_t position);
GstFlowReturn writeTrailer(GstAggregator* agg);

} // namespace platform::dshow::avimux
