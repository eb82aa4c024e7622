// The sample grabber: a pass-through filter that keeps the last sample that went through it,
// so that the current picture of a playing graph can be had as a bitmap, and that can hand
// every picture to a callback. The null renderer: a renderer that shows nothing.
//
// Threads: the interface belongs to the user-interface thread; the callback runs on the
// graph's streaming thread. The grabber keeps a reference to the last sample and its format
// only (nothing is copied there); pictures are converted when asked for, and for the callback
// only while one is set.
#pragma once

#include "platform/dshow/base/DShow.h"
#include "platform/dshow/base/MediaTypes.h"

#include <cstdint>
#include <vector>

namespace platform::dshow {

// What a grabber hands each sample to (on the streaming thread).
class ISampleGrabberCB {
  public:
    virtual ~ISampleGrabberCB() = default;
    // A sample as its raw data (unused by this layer's grabber, which hands converted
    // pictures to BufferCB only).
    virtual HRESULT SampleCB(double sampleTime, const uint8_t* data, long length) = 0;
    // A picture in the layout of GetCurrentBuffer; the buffer lives for the call only.
    virtual HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) = 0;
};

class ISampleGrabber : public virtual IUnknown {
  public:
    // The kind of sample the input takes: its major type (video, audio, or GUID_NULL for
    // either), always raw; a video input takes every raw picture format, pictures are
    // converted when they are asked for.
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE& mt) = 0;
    // The type of what comes out of GetCurrentBuffer. Video: RGB24 with a video-info block
    // of 88 bytes (the bitmap header 48 bytes in, positive height: rows bottom-up).
    // VFW_E_NOT_CONNECTED while nothing is connected to the input.
    virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) = 0;
    // Whether the last sample is kept (off: it is dropped now).
    virtual HRESULT SetBufferSamples(bool buffer) = 0;
    // The last picture, bottom-up BGR rows padded to 4 bytes. buffer null: *size gets the
    // size needed. Otherwise *size is the room in buffer (E_OUTOFMEMORY when too small) and
    // gets the size written. E_INVALIDARG when samples are not kept, VFW_E_WRONG_STATE
    // before a sample has passed, VFW_E_INVALIDMEDIATYPE for a sample that is no picture.
    virtual HRESULT GetCurrentBuffer(long* size, uint8_t* buffer) = 0;
    // The type (as GetConnectedMediaType gives it) and the picture of the last sample, both
    // of the same sample; errors as GetCurrentBuffer's.
    virtual HRESULT GetCurrentImage(AM_MEDIA_TYPE* mt, std::vector<uint8_t>* image) = 0;
    // whichMethod 1: each picture goes to callback->BufferCB; 0: SampleCB. Null removes the
    // callback; the change waits for a call under way to end, so the old callback is never
    // called afterwards. The callback must not call the grabber back.
    virtual HRESULT SetCallback(ISampleGrabberCB* callback, long whichMethod) = 0;
};

// A new sample grabber (class CLSID_SampleGrabber), pins "Input" and "Output".
FilterPtr createSampleGrabber();
// A new renderer (class CLSID_NullRenderer) that takes raw samples of a major type (video or
// audio) and drops them in time with the graph's clock; it counts as the graph's video
// renderer for positions when it takes video.
FilterPtr createNullRenderer(const GUID& majorType);

} // namespace platform::dshow
