// Media types in the platform's record layout (AM_MEDIA_TYPE: major type, subtype, sample
// flags, format type and a format block), and their conversion to and from GStreamer caps
// for the formats the program meets: RGB24, RGB32, YUY2, I420 and MJPG video with a
// video-info header; PCM and MP3 audio with a wave-format header.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform::dshow {

extern const GUID MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_I420,
    MEDIASUBTYPE_MJPG, MEDIASUBTYPE_PCM, MEDIASUBTYPE_MP3;
extern const GUID FORMAT_VideoInfo, FORMAT_VideoInfo2, FORMAT_WaveFormatEx, FORMAT_None;

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    int32_t bFixedSizeSamples = 0;
    int32_t bTemporalCompression = 0;
    uint32_t lSampleSize = 0;
    GUID formattype;
    std::vector<uint8_t> format; // cbFormat bytes of pbFormat
};

// On the output pin "Capture" of a capture device: the formats the device can deliver and
// the one it will deliver when the graph next runs.
class IAMStreamConfig : public virtual IUnknown {
  public:
    // The format set with SetFormat, else the negotiated one while running, else the
    // device's first.
    virtual HRESULT GetFormat(AM_MEDIA_TYPE* mt) = 0;
    // Fixes the format of the next run. VFW_E_INVALIDMEDIATYPE when the device cannot deliver
    // it, VFW_E_NOT_STOPPED while the graph runs.
    virtual HRESULT SetFormat(const AM_MEDIA_TYPE& mt) = 0;
    virtual HRESULT GetNumberOfCapabilities(int* count) = 0;
    // E_INVALIDARG outside 0..count-1.
    virtual HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE* mt) = 0;
};

// The record as stored: 72 bytes in the platform's 32-bit layout (pUnk and pbFormat written as
// zero), then the format block.
std::vector<uint8_t> serializeMediaType(const AM_MEDIA_TYPE& mt);
bool deserializeMediaType(const std::vector<uint8_t>& data, AM_MEDIA_TYPE& mt);
constexpr size_t MediaTypeRecordSize = 72;

// Converts fixed caps to a media type; false for a format outside the list above.
bool mediaTypeFromCaps(const std::string& caps, AM_MEDIA_TYPE& mt);
// The caps that stand for a media type ("" when it has no GStreamer equivalent here).
std::string capsFromMediaType(const AM_MEDIA_TYPE& mt);

// The media types a pin offers, one fixed caps text each, in the pin's order.
std::vector<std::string> pinCapsList(const PinPtr& pin);

} // namespace platform::dshow
