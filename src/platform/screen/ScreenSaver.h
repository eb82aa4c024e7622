// Keeping the screen saver and the display's power saving off while video shows. Holds are
// counted across the process: the X server is asked to suspend the screen saver at the first
// hold and to resume it when the last one ends (the request belongs to an X connection of its
// own, open while a hold lasts). Without an X display holds do nothing.
//
// User-interface thread only.
#pragma once

namespace platform::screen {

// Adds (true) or ends (false) one hold. Ending a hold that was never taken does nothing.
void holdScreenSaver(bool hold);
// Whether the X server has been asked to keep the screen saver off.
bool screenSaverSuspended();

} // namespace platform::screen
