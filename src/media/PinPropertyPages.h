// The settings frame of a capture pin: a modal dialog, titled with the pin's name, that lists
// the formats the pin can deliver (through its IAMStreamConfig) with the current one chosen,
// and applies the format the user picks. The list is shown through the ui seam
// (ui::Dialogs::chooseFromList), so this unit builds no window of its own. The capture
// windows open it from their "options" commands. User-interface thread only.
#pragma once

#include "platform/dshow/base/MediaTypes.h"

#include <string>

namespace media {

using namespace platform::dshow;

// One line for a format: "YUY2  640 x 480  30 fps", "PCM  44100 Hz  16 bit  stereo".
std::string FormatText(const AM_MEDIA_TYPE& mt);

// Shows the pin's format list over the active window and blocks until the user closes it. S_FALSE
// for no pin or Cancel; E_NOINTERFACE when the pin has no stream configuration; a failure of the
// pin while the list is read; otherwise the result of applying the chosen format with SetFormat.
HRESULT ShowPinPropertyPages(const PinPtr& pin);

} // namespace media
