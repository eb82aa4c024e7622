// The DVD layer's parts, internal to it:
//   DvdGraph.cpp      the DVD graph builder: rsndvdbin, dvdspu and the renderers in a graph
//   DvdNavigator.cpp  the navigator (IDvdControl2, IDvdInfo2) and its thread; its class is in
//                     DvdNavigatorImpl.h, its resumption and scan in DvdResume.cpp, DvdScan.cpp
//   DvdState.cpp      saved places (IDvdState) and commands on their way (IDvdCmd)
//   DvdVolume.cpp     finding and reading DVD-Video volumes (libdvdread)
#pragma once

#include "platform/dshow/dvd/DvdInterfaces.h"
#include "platform/dshow/dvd/DvdVolume.h"
#include "platform/dshow/graph/GraphImpl.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform::dshow {

// How long a command object waits for its command to take effect.
constexpr auto DvdCommandTimeout = std::chrono::seconds(5);

// A saved place: the disc, a title, its chapter and the time in it (100-ns units). Written
// as 40 little-endian bytes: tag "TVDB", version 1, disc id, title, chapter, time.
class DvdState final : public IDvdState, public IPersistStream {
  public:
    DvdState(const DvdDiscId& disc, uint32_t title, uint32_t chapter, int64_t time)
        : disc_(disc), title_(title), chapter_(chapter), time_(time) {}
    HRESULT GetDiscID(std::array<uint8_t, 16>* id) override;
    HRESULT Save(std::string* bytes) override;
    const DvdDiscId& disc() const { return disc_; }
    uint32_t title() const { return title_; }
    uint32_t chapter() const { return chapter_; }
    int64_t time() const { return time_; }

  private:
    DvdDiscId disc_;
    uint32_t title_, chapter_;
    int64_t time_;
};

// A command on its way: done once the navigator has seen it take effect. This class is
// thread-safe.
class DvdCmd final : public IDvdCmd {
  public:
    HRESULT WaitForEnd() override;
    // The command took effect (S_OK), or never will (its error); the first call counts.
    void finish(HRESULT h);

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    // -- All the following fields are protected by lock_.
    bool done_ = false;
    HRESULT result_ = S_OK;
};

// The navigator of one volume playing in a graph; its thread starts at once.
class DvdNavigator : public IDvdControl2, public IDvdInfo2 {
  public:
    // Ends the navigator's thread and lets go of the graph; the commands are refused
    // afterwards. User-interface thread.
    virtual void shutdown() = 0;
};
// Whether the source of an rsndvdbin stands in a still picture: it says so as it enters one,
// well before the pictures before it have been shown. Watched from before the bin prerolls
// (the source makes it to a menu's still while it does), and over the sources it makes on each
// restart. Set from a streaming thread.
using StillFlag = std::shared_ptr<std::atomic<bool>>;
StillFlag watchSourceStills(GstElement* dvdBin);
// Keeps still up to date with the stills passing through pad (a streaming thread sets it).
gulong probeStills(GstPad* pad, const StillFlag& still);
// The element of an rsndvdbin that reads the volume (its one source); null before it has one.
ElementRef findSource(GstElement* bin);
// dvdBin: the graph's rsndvdbin, prerolled; spu: the dvdspu it feeds; sourceStill: from
// watchSourceStills on dvdBin.
std::shared_ptr<DvdNavigator> createDvdNavigator(std::shared_ptr<Graph> graph, DvdVolumeInfo volume,
                                                 GstElement* dvdBin, GstElement* spu,
                                                 StillFlag sourceStill);

} // namespace platform::dshow
