// Which title the pictures on the screen belong to, and where its pictures start in the
// pipeline's count. A DVD source tells a new title as soon as it reads it, a second or more
// before its pictures show; and when it reaches the title seamlessly (by the commands at the
// end of the one before, "play all"), the pipeline goes on counting from the title before.
// So a new title told by the source comes on the screen where the old one's length ends in
// that count; after a jump the count starts anew (it goes back), and the new title is on the
// screen at once.
//
// Internal to the DVD navigator, which holds its lock around it. No GStreamer.
#pragma once

#include <cstdint>
#include <functional>

namespace platform::dshow {

class TitleOnScreen {
  public:
    // The length of a title in ns (<= 0: unknown).
    using Lengths = std::function<int64_t(int title)>;

    // One look: the title the source tells (0 in a menu) and the pipeline's position in ns
    // (-1: it cannot tell).
    void follow(int sourceTitle, int64_t position, const Lengths& lengthOf);
    // Playback starts anew (a seek, a jump or a restart of our own): the title on the screen
    // is the source's again, counted from 0.
    void reset() { *this = TitleOnScreen(); }

    // 0 before the first look in a title, and in a menu.
    int title() const { return title_; }
    // Where the title's pictures start in the pipeline's count (ns).
    int64_t start() const { return start_; }

  private:
    int title_ = 0;
    int64_t start_ = 0;
    int pendingTitle_ = 0;      // the source's title, not yet on the screen
    int64_t pendingStart_ = -1; // where it will start when reached seamlessly (-1: unknown)
    int64_t lastPosition_ = -1; // the pipeline's position at the last look
};

} // namespace platform::dshow
