// The device objects the whole program shares: the device enumerator the main window lists
// its device menus from and the capture windows bind devices with, the formats of the video
// and audio devices last opened, and the video device's current format. The main window
// makes them at start-up and frees them when it goes. User-interface thread only.
#pragma once

#include "TBaseFilter.h"
#include "TMediaType.h"

#include <memory>

namespace media {

// Null until the main window is made (and after it is gone).
extern std::unique_ptr<TSysDevEnum> DeviceEnumerator;
// Refilled from the video device's first pin when a video device is opened or its options
// change.
extern TEnumMediaType VideoPinTypes;
// Refilled from the audio device's output pins when an audio device is bound; item 0 is the
// format given to audio output pins before recording.
extern TEnumMediaType AudioPinTypes;
// The video device's current format; null until a video device is opened.
extern std::unique_ptr<TMediaType> CurrentVideoFormat;

// The shared enumerator, made for the audio input category if the main window has not made
// one (the command-line tool and tests run without it).
TSysDevEnum& deviceEnumerator();

} // namespace media
