// Filters and pins over GStreamer: a filter wraps one element (often a bin with ghost pads),
// its pins are the element's pads. Internal to the graph layer.
#pragma once

#include "platform/dshow/base/DShow.h"
#include "platform/dshow/base/GstRef.h"

#include <gst/gst.h>

namespace platform::dshow {

// What a filter the graph made for itself does there; the graph finds its helpers by role,
// never by their display names.
enum class FilterRole { None, Decoder, VideoRenderer, AudioRenderer, Converter, Queue };

class GstFilter : public IBaseFilter {
  public:
    // Takes a reference to element (sinking a floating one).
    GstFilter(GstElement* element, std::string name, FilterRole role = FilterRole::None);
    ~GstFilter() override;

    FilterRole role() const { return role_; }
    std::string name() const override { return name_; }
    void setName(const std::string& n) { name_ = n; }
    std::vector<PinPtr> pins() override;
    FILTER_STATE state() const override;
    HRESULT Stop() override;
    HRESULT GetClassID(GUID* clsid) const override;
    void setClassID(const GUID& clsid) { clsid_ = clsid; }
    void* native() const override { return element_.get(); }
    GstElement* element() const { return element_.get(); }
    // The pin object for one of the element's pads; filters with pins that offer more
    // (stream configuration, input lines) make their own.
    virtual PinPtr makePin(GstPad* pad);

  private:
    ElementRef element_;
    std::string name_;
    const FilterRole role_;
    GUID clsid_; // set once, before the filter is shared
};

class GstPin : public IPin {
  public:
    GstPin(GstPad* pad, std::weak_ptr<IBaseFilter> filter);
    PIN_DIRECTION direction() const override;
    std::string name() const override;
    std::shared_ptr<IBaseFilter> filter() const override { return filter_.lock(); }
    std::shared_ptr<IPin> connectedTo() const override;
    HRESULT Disconnect() override;
    std::string mediaTypes() const override;
    void* native() const override { return pad_.get(); }

  private:
    PadRef pad_;
    std::weak_ptr<IBaseFilter> filter_;
};

// The class a filter the graph makes for itself stands for (renderers); GUID_NULL for others.
GUID classOfRole(FilterRole role);
// The role of a filter of this layer; None for any other.
FilterRole roleOf(const FilterPtr& filter);
// The filter object that wraps an element, if any.
FilterPtr filterOf(GstElement* element);
// The pin object for a pad of a wrapped element.
PinPtr pinOf(GstPad* pad);
// The pad's caps: negotiated ones, else what it can carry.
GstCaps* padCaps(GstPad* pad);
// Whether a pad gives bytes of unknown kind (a file read as it is), which only a decoder can
// sort into streams.
bool padGivesUnknownBytes(GstPad* pad);
// Whether caps are of a major type.
bool capsAreVideo(const GstCaps* caps);
bool capsAreAudio(const GstCaps* caps);
bool capsAreRaw(const GstCaps* caps);

// The result code for an error a GStreamer element reported (null: E_FAIL); fromSource: the
// element produces data (a device), running: a live source failed while the graph ran.
HRESULT hresultOfError(const GError* e, bool fromSource = false, bool running = false);

// Initialises GStreamer (once per process) for the parts below the graph core; the graph's
// ensureGstreamer also registers our elements.
void ensureGstInit();

} // namespace platform::dshow
