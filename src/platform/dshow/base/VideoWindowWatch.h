// What a video renderer tells a filter in front of it about its window: the size the picture
// is drawn at, now and whenever it changes. Internal to the graph layer (the overlay mixer
// trims the picture to the window's aspect).
#pragma once

#include <functional>

namespace platform::dshow {

// Offered by the video renderer next to IVideoWindow. This class is thread-safe.
class IVideoWindowWatch {
  public:
    virtual ~IVideoWindowWatch() = default;
    // Calls onSize(width, height) after each change of the window's size, on the thread that
    // changed it (the user-interface thread), outside the renderer's locks. Gives the current
    // size (0 x 0 while none was set) and an id for unwatchWindowSize.
    virtual int watchWindowSize(std::function<void(long, long)> onSize, long* width,
                                long* height) = 0;
    // Ends a watch; a call already under way on the changing thread may still finish.
    virtual void unwatchWindowSize(int id) = 0;
};

} // namespace platform::dshow
