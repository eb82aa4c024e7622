#include "TSampleGrabber.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace media {

using platform::screen::BitmapInfoHeader;
using platform::screen::PackedDib;

TSampleGrabber::TSampleGrabber(std::string name) : name_(std::move(name)) {
    MediaType.record().majortype = MEDIATYPE_Video;
    MediaType.setSubType(MEDIASUBTYPE_RGB24);
    MediaType.setFormatType(FORMAT_VideoInfo);
}

TSampleGrabber::~TSampleGrabber() {
    setFilterGraph(nullptr);
    // A filter still held (its graph went first) must not call back into this object.
    if (grabber_) grabber_->SetCallback(nullptr, 1);
}

void TSampleGrabber::setFilterGraph(TFilterGraph* g) {
    if (g == graph_) return;
    if (graph_) graph_->detachProvider(this);
    graph_ = g;
    if (graph_) graph_->attachProvider(this);
}

void TSampleGrabber::setOnBuffer(TOnBuffer handler) {
    {
        std::lock_guard lock(bufferLock_);
        onBuffer_ = std::move(handler);
    }
    applyCallback();
}

void TSampleGrabber::applyCallback() {
    if (!grabber_) return;
    bool assigned;
    {
        std::lock_guard lock(bufferLock_);
        assigned = bool(onBuffer_);
    }
    grabber_->SetCallback(assigned ? static_cast<ISampleGrabberCB*>(this) : nullptr, 1);
}

HRESULT TSampleGrabber::BufferCB(double sampleTime, uint8_t* buffer, long length) {
    std::lock_guard lock(bufferLock_);
    if (onBuffer_) onBuffer_(this, sampleTime, buffer, int(std::min<long>(length, INT32_MAX)));
    return S_OK;
}

void TSampleGrabber::applyMediaType() {
    if (!grabber_) return;
    live_->Stop();
    if (inPin_) inPin_->Disconnect();
    grabber_->SetMediaType(MediaType.record());
}

void TSampleGrabber::NotifyFilter(TFilterOperation operation, int) {
    switch (operation) {
    case foAdding:
        live_ = createSampleGrabber();
        if (!live_)
            throw std::runtime_error("The SampleGrabber Filter is not available on this system.");
        break;
    case foAdded: {
        grabber_ = queryInterface<ISampleGrabber>(live_);
        const std::vector<PinPtr> pins = live_ ? live_->pins() : std::vector<PinPtr>{};
        inPin_ = pins.size() > 0 ? pins[0] : nullptr;
        outPin_ = pins.size() > 1 ? pins[1] : nullptr;
        applyMediaType();
        if (grabber_) grabber_->SetBufferSamples(true);
        applyCallback();
        break;
    }
    case foRemoving:
        if (live_) live_->Stop();
        if (inPin_) inPin_->Disconnect();
        if (outPin_) outPin_->Disconnect();
        break;
    case foRemoved:
        if (grabber_) {
            grabber_->SetCallback(nullptr, 1);
            grabber_->SetBufferSamples(false);
        }
        grabber_.reset();
        inPin_.reset();
        outPin_.reset();
        live_.reset();
        break;
    case foRefresh:
        applyMediaType();
        break;
    }
}

void TSampleGrabber::GraphDestroyed(TFilterGraph* graph) {
    if (graph == graph_) graph_ = nullptr;
}

bool TSampleGrabber::GetBitmap(PackedDib& bitmap) {
    if (!grabber_) return false;
    // The type and the pixels of one and the same picture.
    AM_MEDIA_TYPE mt;
    std::vector<uint8_t> pixels;
    if (grabber_->GetCurrentImage(&mt, &pixels) != S_OK || pixels.empty()) return false;
    return bitmapFromType(mt, pixels.data(), pixels.size(), bitmap);
}

bool TSampleGrabber::GetBitmap(PackedDib& bitmap, const void* buffer, int length) {
    if (!grabber_ || !buffer || length <= 0) return false;
    AM_MEDIA_TYPE mt;
    if (grabber_->GetConnectedMediaType(&mt) != S_OK) return false;
    return bitmapFromType(mt, static_cast<const uint8_t*>(buffer), size_t(length), bitmap);
}

bool bitmapFromType(const AM_MEDIA_TYPE& mt, const uint8_t* pixels, size_t length,
                    PackedDib& bitmap) {
    if (mt.majortype != MEDIATYPE_Video) return false;
    size_t at;
    if (mt.formattype == FORMAT_VideoInfo && mt.format.size() == 88)
        at = 48;
    else if (mt.formattype == FORMAT_VideoInfo2 && mt.format.size() == 112)
        at = 72;
    else
        return false;
    BitmapInfoHeader h;
    std::memcpy(&h, mt.format.data() + at, sizeof h);
    // Bitmaps with a colour table carry it after the header, which these blocks have no room for.
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biBitCount <= 8 || h.biBitCount > 32) return false;
    const int64_t height = std::abs(int64_t(h.biHeight));
    if (height > INT32_MAX) return false;
    PackedDib dib = PackedDib::create(h.biWidth, int(height), h.biBitCount);
    if (!dib.valid()) return false;
    const int bits = h.biBitCount == 15 ? 16 : h.biBitCount;
    int64_t image = h.biSizeImage;
    if (image == 0)
        image =
            (int64_t(h.biWidth) * bits + 31) / 32 * 4 * height * std::max<int64_t>(h.biPlanes, 1);
    const size_t copy = std::min({size_t(image), length, dib.imageSize()});
    std::memcpy(dib.bits(), pixels, copy);
    // The header as the type gives it (compression, orientation), with the block's own size.
    const uint32_t blockImage = dib.header().biSizeImage;
    dib.header() = h;
    dib.header().biSize = 40;
    dib.header().biSizeImage = blockImage;
    dib.header().biClrUsed = 0;
    bitmap = std::move(dib);
    return true;
}

} // namespace media
