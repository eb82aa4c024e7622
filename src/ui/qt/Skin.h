// The window skin: one clean look for the whole program (the Fusion style with a light
// palette and slightly rounded buttons), switched on when the main window shows and off when
// it closes. User-interface thread only.
#pragma once

namespace ui {

void setSkinActive(bool on);
bool skinActive();

} // namespace ui
