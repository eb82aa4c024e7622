// The sample grabber component: puts a sample grabber filter into its TFilterGraph under its
// component name, so that the last picture that went through can be had as a bitmap, and
// hands every picture to OnBuffer while that is assigned.
//
// User-interface thread, except OnBuffer, which runs on the graph's streaming thread.
#pragma once

#include "TFilterGraph.h"
#include "TMediaType.h"
#include "platform/dshow/elements/SampleGrabber.h"
#include "platform/screen/Dib.h"

#include <functional>
#include <mutex>
#include <string>

namespace media {

class TSampleGrabber;

// sender, the sample's time in seconds, the picture (bottom-up BGR rows padded to 4 bytes) and
// its length in bytes; the picture lives for the call only.
using TOnBuffer =
    std::function<void(TSampleGrabber* sender, double SampleTime, void* pBuffer, int BufferLen)>;

class TSampleGrabber : public IGraphFilterProvider, private ISampleGrabberCB {
  public:
    // The accepted type is video, RGB24, video-info format, without a format block.
    explicit TSampleGrabber(std::string name = "SampleGrabber");
    ~TSampleGrabber() override;
    TSampleGrabber(const TSampleGrabber&) = delete;
    TSampleGrabber& operator=(const TSampleGrabber&) = delete;

    TFilterGraph* FilterGraph() const { return graph_; }
    void setFilterGraph(TFilterGraph* g);

    // The type the grabber accepts; its major type (video or audio) chooses what the filter
    // takes. Applied when the filter joins the graph, or with NotifyFilter(foRefresh).
    TMediaType MediaType;

    // Assigning waits for a call under way; once it returns the old handler is not called.
    void setOnBuffer(TOnBuffer handler);

    // The last picture that passed the grabber, as a bitmap of the connected format, given to
    // bitmap. False, and bitmap unchanged, when there is none (no graph, no picture yet, a
    // grabber of sound).
    bool GetBitmap(platform::screen::PackedDib& bitmap);
    // The same with the pixels of a caller's buffer (a picture OnBuffer was given): the
    // connected format's header, then min(length, image size) bytes of buffer.
    bool GetBitmap(platform::screen::PackedDib& bitmap, const void* buffer, int length);

    // The live filter and its interfaces; null while the graph is not active.
    std::shared_ptr<ISampleGrabber> SampleGrabber() const { return grabber_; }
    PinPtr InPin() const { return inPin_; }
    PinPtr OutPin() const { return outPin_; }

    FilterPtr GetFilter() override { return live_; }
    std::string GetName() override { return name_; }
    void NotifyFilter(TFilterOperation operation, int param = 0) override;
    void GraphDestroyed(TFilterGraph* graph) override;

  private:
    HRESULT SampleCB(double, const uint8_t*, long) override { return S_OK; }
    HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) override;
    void applyMediaType();
    // Sets the filter's callback to this component while OnBuffer is assigned, so pictures
    // are converted only while someone takes them.
    void applyCallback();

    std::string name_;
    TFilterGraph* graph_ = nullptr;
    FilterPtr live_;
    std::shared_ptr<ISampleGrabber> grabber_;
    PinPtr inPin_, outPin_;
    std::mutex bufferLock_; // guards onBuffer_: read, called and changed under it
    TOnBuffer onBuffer_;
};

// Builds a bitmap from a video type's bitmap header (FORMAT_VideoInfo with an 88-byte block,
// header 48 bytes in, or FORMAT_VideoInfo2 with 112 bytes, header 72 in) and pixels; false for
// another type or a size that cannot be held. The image size is biSizeImage, or the rows'
// size when that is 0; min(length, image size) bytes are copied.
bool bitmapFromType(const AM_MEDIA_TYPE& mt, const uint8_t* pixels, size_t length,
                    platform::screen::PackedDib& bitmap);

} // namespace media
