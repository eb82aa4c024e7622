#include "platform/dshow/dvd/DvdTitleOnScreen.h"

namespace platform::dshow {

namespace {
// How far the position must go back to count as playback started anew, rather than the
// ordinary jitter of a position read while pictures are shown.
constexpr int64_t GoneBack = 500'000'000;
} // namespace

void TitleOnScreen::follow(int sourceTitle, int64_t position, const Lengths& lengthOf) {
    if (sourceTitle <= 0) {
        reset();
        return;
    }
    if (title_ <= 0) {
        reset();
        title_ = sourceTitle;
    } else if (sourceTitle != title_ && sourceTitle != pendingTitle_) {
        pendingTitle_ = sourceTitle;
        const int64_t length = lengthOf ? lengthOf(title_) : -1;
        pendingStart_ = length > 0 ? start_ + length : -1;
    } else if (sourceTitle == title_) {
        pendingTitle_ = 0; // the source came back (a seek within the title)
    }
    if (pendingTitle_ > 0) {
        const bool anew =
            position >= 0 && lastPosition_ >= 0 && position + GoneBack < lastPosition_;
        if (anew || pendingStart_ < 0) {
            title_ = pendingTitle_;
            start_ = 0;
            pendingTitle_ = 0;
        } else if (position >= pendingStart_) {
            title_ = pendingTitle_;
            start_ = pendingStart_;
            pendingTitle_ = 0;
        }
    }
    if (position >= 0) lastPosition_ = position;
}

} // namespace platform::dshow
