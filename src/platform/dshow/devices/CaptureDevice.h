// Capture devices as filters. A device's element is followed by a format filter inside one
// bin: the output pin "Capture" offers IAMStreamConfig (the formats the device delivers and
// the one chosen for the next run). An audio device also has one input pin per input line:
// the ports of its PulseAudio source (a source without ports has one line, itself), each with
// IAMAudioInputMixer (enabled = the source's active port). Input lines carry no data; they
// only choose where the sound comes from. Internal to the graph layer.
#pragma once

#include "platform/dshow/base/Filters.h"

#include <string>
#include <vector>

namespace platform::dshow {

// A new filter for a device of the device monitor; null when its element cannot be made.
FilterPtr createCaptureFilter(GstDevice* device, const std::string& name, bool audio);

// The fixed formats (caps texts) a device offers as media types, the preferred one first:
// for sound 16-bit PCM at the usual rates, stereo then mono (44100 Hz stereo first); for
// pictures each format the device lists.
std::vector<std::string> captureFormats(const GstCaps* deviceCaps, bool audio);

} // namespace platform::dshow
