// The sample grabber and the null renderer. The grabber is a bin around a caps filter that
// lets raw samples of its kind through; a probe on the caps filter's output keeps a reference
// to the last sample and its caps (the streaming thread copies nothing) and, while a callback
// is set, converts each picture and hands it over. Pictures are converted with
// GstVideoConverter to bottom-up BGR rows padded to 4 bytes, the layout of a 24-bit
// device-independent bitmap.
#include "platform/dshow/elements/SampleGrabber.h"

#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/GstRef.h"

#include <gst/video/video.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace platform::dshow {

namespace {

constexpr size_t VideoInfoSize = 88;
constexpr size_t BitmapHeaderOffset = 48;

// Bytes per row of a 24-bit bitmap, in 64-bit arithmetic.
int64_t bgrStride(int64_t width) {
    return (width * 24 + 31) / 32 * 4;
}

void putLE(std::vector<uint8_t>& out, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[at + size_t(i)] = uint8_t(v >> (8 * i));
}

struct ConverterFree {
    void operator()(GstVideoConverter* c) const { gst_video_converter_free(c); }
};

// The picture a sample's caps describe, as converted: its size in bytes (0 when the caps are
// no raw picture or the size cannot be held).
struct Picture {
    GstVideoInfo info{};
    int width = 0, height = 0;
    int64_t size = 0;
};

bool pictureOf(GstCaps* caps, Picture* p) {
    if (!caps || !capsAreVideo(caps) || !gst_video_info_from_caps(&p->info, caps)) return false;
    p->width = GST_VIDEO_INFO_WIDTH(&p->info);
    p->height = GST_VIDEO_INFO_HEIGHT(&p->info);
    if (p->width <= 0 || p->height <= 0) return false;
    p->size = bgrStride(p->width) * int64_t(p->height);
    // The bitmap header holds the size in 32 bits.
    return p->size <= int64_t(UINT32_MAX);
}

// The type of converted pictures of caps: RGB24 with an 88-byte video-info block.
AM_MEDIA_TYPE pictureType(GstCaps* caps, const Picture& p) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.bFixedSizeSamples = 1;
    mt.lSampleSize = uint32_t(p.size);
    mt.formattype = FORMAT_VideoInfo;
    mt.format.assign(VideoInfoSize, 0);
    int num = 0, den = 1;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    uint64_t timePerFrame = 0;
    if (gst_structure_get_fraction(s, "framerate", &num, &den) && num > 0 && den > 0)
        timePerFrame = uint64_t(10000000) * uint64_t(den) / uint64_t(num);
    putLE(mt.format, 40, timePerFrame, 8);
    const size_t h = BitmapHeaderOffset;
    putLE(mt.format, h, 40, 4);                    // biSize
    putLE(mt.format, h + 4, p.width, 4);           // biWidth
    putLE(mt.format, h + 8, p.height, 4);          // biHeight: positive, rows bottom-up
    putLE(mt.format, h + 12, 1, 2);                // biPlanes
    putLE(mt.format, h + 14, 24, 2);               // biBitCount
    putLE(mt.format, h + 20, uint64_t(p.size), 4); // biSizeImage
    return mt;
}

// Converts pictures to bottom-up BGR rows; keeps its converter while the format stays.
// Used by one thread at a time.
class PictureConverter {
  public:
    // Writes p.size bytes to out; false when the picture cannot be read or converted.
    bool convert(GstBuffer* buffer, const Picture& p, uint8_t* out) {
        if (!conv_ || !gst_video_info_is_equal(&p.info, &in_)) {
            conv_.reset();
            in_ = p.info;
            gst_video_info_set_format(&out_, GST_VIDEO_FORMAT_BGR, guint(p.width), guint(p.height));
            // Only the format and its layout change; the converter keeps the timing.
            GST_VIDEO_INFO_FPS_N(&out_) = GST_VIDEO_INFO_FPS_N(&in_);
            GST_VIDEO_INFO_FPS_D(&out_) = GST_VIDEO_INFO_FPS_D(&in_);
            GST_VIDEO_INFO_INTERLACE_MODE(&out_) = GST_VIDEO_INFO_INTERLACE_MODE(&in_);
            conv_.reset(gst_video_converter_new(&in_, &out_, nullptr));
            if (!conv_) return false;
        }
        const size_t stride = size_t(bgrStride(p.width));
        // The converter writes rows top-down with GStreamer's stride for BGR, which is the
        // bitmap's; the rows are then stored in bitmap order.
        if (size_t(GST_VIDEO_INFO_PLANE_STRIDE(&out_, 0)) != stride) return false;
        try {
            rows_.resize(size_t(p.size));
        } catch (const std::bad_alloc&) {
            return false;
        }
        GstVideoFrame in, outFrame;
        if (!gst_video_frame_map(&in, &in_, buffer, GST_MAP_READ)) return false;
        GstRef<GstBuffer> target(gst_buffer_new_wrapped_full(
            GstMemoryFlags(0), rows_.data(), rows_.size(), 0, rows_.size(), nullptr, nullptr));
        if (!gst_video_frame_map(&outFrame, &out_, target, GST_MAP_WRITE)) {
            gst_video_frame_unmap(&in);
            return false;
        }
        gst_video_converter_frame(conv_.get(), &in, &outFrame);
        gst_video_frame_unmap(&outFrame);
        gst_video_frame_unmap(&in);
        for (int y = 0; y < p.height; ++y)
            std::memcpy(out + size_t(p.height - 1 - y) * stride, rows_.data() + size_t(y) * stride,
                        stride);
        return true;
    }

  private:
    GstVideoInfo in_{}, out_{};
    std::unique_ptr<GstVideoConverter, ConverterFree> conv_;
    std::vector<uint8_t> rows_;
};

double secondsOf(GstBuffer* buffer) {
    const GstClockTime t = GST_BUFFER_PTS(buffer);
    return GST_CLOCK_TIME_IS_VALID(t) ? double(t) / double(GST_SECOND) : 0.0;
}

// What the grabber and its probe share; the probe holds it too, so it outlives the probe.
struct GrabberState {
    // -- The last sample, taken by the streaming thread, read by the user-interface thread.
    std::mutex lock;
    bool buffering = false; // guarded by lock
    GstRef<GstBuffer> last; // guarded by lock
    CapsRef lastCaps;       // guarded by lock: the caps of last

    // -- The user-interface thread's conversions.
    std::mutex convertLock;
    PictureConverter converter; // guarded by convertLock

    // -- The callback: read, called and changed under callbackLock, so a change waits for a
    // call under way.
    std::atomic<bool> hasCallback{false};
    std::mutex callbackLock;
    ISampleGrabberCB* callback = nullptr; // guarded by callbackLock
    long method = 1;                      // guarded by callbackLock
    PictureConverter callbackConverter;   // guarded by callbackLock
    std::vector<uint8_t> callbackPicture; // guarded by callbackLock

    void take(GstPad* pad, GstBuffer* buffer) {
        CapsRef caps(gst_pad_get_current_caps(pad));
        {
            std::lock_guard l(lock);
            if (buffering) {
                last = GstRef<GstBuffer>::ref(buffer);
                lastCaps = caps;
            }
        }
        if (hasCallback.load()) call(buffer, caps);
    }

    void call(GstBuffer* buffer, GstCaps* caps) {
        std::lock_guard l(callbackLock);
        if (!callback) return;
        const double time = secondsOf(buffer);
        if (method == 0) {
            GstMapInfo map;
            if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
            callback->SampleCB(time, map.data, long(map.size));
            gst_buffer_unmap(buffer, &map);
            return;
        }
        Picture p;
        if (!pictureOf(caps, &p)) return;
        try {
            callbackPicture.resize(size_t(p.size));
        } catch (const std::bad_alloc&) {
            return;
        }
        if (callbackConverter.convert(buffer, p, callbackPicture.data()))
            callback->BufferCB(time, callbackPicture.data(), long(p.size));
    }
};

GstPadProbeReturn onData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto& state = **static_cast<std::shared_ptr<GrabberState>*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        state.take(pad, GST_PAD_PROBE_INFO_BUFFER(info));
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            state.take(pad, gst_buffer_list_get(list, i));
    }
    return GST_PAD_PROBE_OK;
}

void deleteGrabberState(gpointer data) {
    delete static_cast<std::shared_ptr<GrabberState>*>(data);
}

const char* capsOfKind(const GUID& major) {
    if (major == MEDIATYPE_Video) return "video/x-raw";
    if (major == MEDIATYPE_Audio) return "audio/x-raw";
    if (major == GUID_NULL) return "video/x-raw; audio/x-raw";
    return nullptr;
}

// A bin around elements linked in turn, with the pads "Input" and (when output) "Output".
GstElement* makeBin(std::initializer_list<GstElement*> chain, bool output) {
    GstElement* bin = gst_bin_new(nullptr);
    GstElement* prev = nullptr;
    for (GstElement* e : chain) {
        gst_bin_add(GST_BIN(bin), e);
        if (prev) gst_element_link(prev, e);
        prev = e;
    }
    const PadRef in(gst_element_get_static_pad(*chain.begin(), "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("Input", in));
    if (output) {
        const PadRef out(gst_element_get_static_pad(prev, "src"));
        gst_element_add_pad(bin, gst_ghost_pad_new("Output", out));
    }
    return bin;
}

class SampleGrabber final : public GstFilter, public ISampleGrabber {
  public:
    SampleGrabber(GstElement* bin, GstElement* keep)
        : GstFilter(bin, "SampleGrabber"), keep_(keep), state_(std::make_shared<GrabberState>()) {
        setClassID(CLSID_SampleGrabber);
        type_.majortype = MEDIATYPE_Video;
        type_.subtype = MEDIASUBTYPE_RGB24;
        type_.formattype = FORMAT_VideoInfo;
        const PadRef out(gst_element_get_static_pad(keep_, "src"));
        gst_pad_add_probe(
            out, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            &onData, new std::shared_ptr<GrabberState>(state_), &deleteGrabberState);
    }

    HRESULT SetMediaType(const AM_MEDIA_TYPE& mt) override {
        const char* kind = capsOfKind(mt.majortype);
        if (!kind) return VFW_E_INVALIDMEDIATYPE;
        const CapsRef caps(gst_caps_from_string(kind));
        g_object_set(keep_, "caps", caps.get(), nullptr);
        type_ = mt;
        return S_OK;
    }

    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) override {
        if (!mt) return E_POINTER;
        const PadRef in(gst_element_get_static_pad(element(), "Input"));
        if (!gst_pad_is_linked(in)) return VFW_E_NOT_CONNECTED;
        CapsRef caps;
        {
            std::lock_guard l(state_->lock);
            caps = state_->lastCaps;
        }
        if (!caps) caps.reset(gst_pad_get_current_caps(in));
        AM_MEDIA_TYPE out;
        out.majortype = type_.majortype;
        Picture p;
        if (caps && pictureOf(caps, &p)) {
            out = pictureType(caps, p);
        } else if (caps && capsAreAudio(caps)) {
            gchar* text = gst_caps_to_string(caps);
            if (!mediaTypeFromCaps(text, out)) out.majortype = MEDIATYPE_Audio;
            g_free(text);
        }
        *mt = std::move(out);
        return S_OK;
    }

    HRESULT SetBufferSamples(bool buffer) override {
        std::lock_guard l(state_->lock);
        state_->buffering = buffer;
        if (!buffer) {
            state_->last.reset();
            state_->lastCaps.reset();
        }
        return S_OK;
    }

    HRESULT GetCurrentBuffer(long* size, uint8_t* buffer) override {
        if (!size) return E_POINTER;
        GstRef<GstBuffer> sample;
        CapsRef caps;
        Picture p;
        if (HRESULT h = current(&sample, &caps, &p); FAILED(h)) return h;
        if (!buffer) {
            *size = long(p.size);
            return S_OK;
        }
        if (*size < p.size) return E_OUTOFMEMORY;
        std::lock_guard l(state_->convertLock);
        if (!state_->converter.convert(sample, p, buffer)) return E_FAIL;
        *size = long(p.size);
        return S_OK;
    }

    HRESULT GetCurrentImage(AM_MEDIA_TYPE* mt, std::vector<uint8_t>* image) override {
        if (!mt || !image) return E_POINTER;
        GstRef<GstBuffer> sample;
        CapsRef caps;
        Picture p;
        if (HRESULT h = current(&sample, &caps, &p); FAILED(h)) return h;
        try {
            image->resize(size_t(p.size));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        std::lock_guard l(state_->convertLock);
        if (!state_->converter.convert(sample, p, image->data())) return E_FAIL;
        *mt = pictureType(caps, p);
        return S_OK;
    }

    HRESULT SetCallback(ISampleGrabberCB* callback, long whichMethod) override {
        if (whichMethod != 0 && whichMethod != 1) return E_INVALIDARG;
        std::lock_guard l(state_->callbackLock);
        state_->callback = callback;
        state_->method = whichMethod;
        state_->hasCallback = callback != nullptr;
        if (!callback) state_->callbackPicture = {};
        return S_OK;
    }

    // The renderer after the grabber may hold the stream waiting to show a picture (a paused
    // graph); the grabber's pads cannot stop before it lets go. A flush tells it to.
    HRESULT Stop() override {
        const PadRef out(gst_element_get_static_pad(element(), "Output"));
        const PadRef peer(gst_pad_get_peer(out));
        const bool streaming = peer && GST_STATE(element()) >= GST_STATE_PAUSED;
        if (streaming) gst_pad_send_event(peer, gst_event_new_flush_start());
        const HRESULT h = GstFilter::Stop();
        if (streaming) gst_pad_send_event(peer, gst_event_new_flush_stop(TRUE));
        return h;
    }

  private:
    // The last sample and its caps, taken together under the lock, so a size change between
    // them cannot mix two pictures.
    HRESULT current(GstRef<GstBuffer>* sample, CapsRef* caps, Picture* p) {
        {
            std::lock_guard l(state_->lock);
            if (!state_->buffering) return E_INVALIDARG;
            *sample = state_->last;
            *caps = state_->lastCaps;
        }
        if (!*sample) return VFW_E_WRONG_STATE;
        if (!pictureOf(*caps, p)) return VFW_E_INVALIDMEDIATYPE;
        return S_OK;
    }

    GstElement* keep_; // the caps filter inside the bin, which holds it
    std::shared_ptr<GrabberState> state_;
    AM_MEDIA_TYPE type_; // user-interface thread
};

} // namespace

FilterPtr createSampleGrabber() {
    ensureGstInit();
    GstElement* keep = gst_element_factory_make("capsfilter", nullptr);
    if (!keep) return nullptr;
    const CapsRef caps(gst_caps_from_string("video/x-raw"));
    g_object_set(keep, "caps", caps.get(), nullptr);
    return std::make_shared<SampleGrabber>(makeBin({keep}, true), keep);
}

FilterPtr createNullRenderer(const GUID& majorType) {
    ensureGstInit();
    const bool video = majorType == MEDIATYPE_Video;
    if (!video && majorType != MEDIATYPE_Audio) return nullptr;
    GstElement* takes = gst_element_factory_make("capsfilter", nullptr);
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!takes || !sink) {
        if (takes) gst_object_unref(gst_object_ref_sink(takes));
        if (sink) gst_object_unref(gst_object_ref_sink(sink));
        return nullptr;
    }
    const CapsRef caps(gst_caps_from_string(video ? "video/x-raw" : "audio/x-raw"));
    g_object_set(takes, "caps", caps.get(), nullptr);
    g_object_set(sink, "sync", TRUE, nullptr);
    auto filter =
        std::make_shared<GstFilter>(makeBin({takes, sink}, false), "Null Renderer",
                                    video ? FilterRole::VideoRenderer : FilterRole::AudioRenderer);
    filter->setClassID(CLSID_NullRenderer);
    return filter;
}

} // namespace platform::dshow
