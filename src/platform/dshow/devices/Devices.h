// The devices and codecs the program can put into a graph, listed by category the way the
// platform's device enumerator lists them: capture devices from GStreamer's device monitor
// (cameras through V4L2, microphones through PulseAudio), compressors from a codec registry
// (our XviD encoder under "xvid", LAME under "MPEG Layer-3", then every other GStreamer
// encoder under its long name), and the file sources and the MP3 encoder filter by class
// identifier. Every entry has a display name "@device:kind:{category}\name" that binds back to
// the same device or codec. User-interface thread.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <string>
#include <vector>

namespace platform::dshow {

extern const GUID CLSID_VideoInputDeviceCategory;
extern const GUID CLSID_AudioInputDeviceCategory;
extern const GUID CLSID_VideoCompressorCategory;
extern const GUID CLSID_AudioCompressorCategory;
extern const GUID CLSID_LegacyAmFilterCategory;
extern const GUID CLSID_ActiveMovieCategories;
extern const GUID CLSID_AsyncReader;
extern const GUID CLSID_AviWavFileSource;
extern const GUID CLSID_Mp3EncoderFilter;
extern const GUID CLSID_DeviceMoniker;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string guidToString(const GUID& g);
bool parseGuid(const std::string& text, GUID& g);

struct DeviceInfo {
    std::string friendlyName;
    GUID clsid; // all zero when the entry has none
    std::string displayName;
    bool systemDefault = false; // an input device the system's settings name as the default
};

// The entries of a category, found afresh on every call, in a stable order.
std::vector<DeviceInfo> enumerateCategory(const GUID& category);

// A new filter for the device or codec a display name names; null (with the reason) when
// nothing of that name can be had now (a device unplugged since it was listed, say).
FilterPtr bindDisplayName(const std::string& displayName, std::string* error = nullptr);

// A video codec of the compressor category whose encoder codes only sizes of some multiple
// (XviD: even sides) adds dark columns and rows up to the next such size, as a recorded screen
// area keeps every pixel. Told so, it crops the odd column and row instead (an edited picture
// keeps its look, one line smaller). No effect on another filter; before the codec runs.
void cropToCodedSize(const FilterPtr& codec);

} // namespace platform::dshow
