// The navigator's 8x scan: rsndvdbin cannot play backwards or fast, so both ways are a loop of
// key-unit seeks of ScanStep every EventPeriod with the sound muted, ended by Pause, Stop,
// leaving the title or reaching either end.
#include "platform/dshow/dvd/DvdNavigatorImpl.h"

#include <algorithm>

namespace platform::dshow::dvdnav {

HRESULT Navigator::startScan(int direction, DvdCmdPtr* cmd) {
    if (!ready()) return VFW_E_DVD_GRAPHNOTREADY;
    if (currentTitle() <= 0) return VFW_E_DVD_INVALIDDOMAIN;
    const gint64 pos = std::max<gint64>(position(), 0);
    {
        std::lock_guard lock(lock_);
        if (scan_ == 0) scanFrom_ = pos;
        scan_ = direction;
    }
    if (auto g = graph()) g->setMuted(true);
    return done(cmd);
}

// settle: the place the scan reached stays the time told until playback shows it (Play
// and Pause; any other command goes somewhere else).
void Navigator::endScan(bool settle) {
    bool was;
    {
        std::lock_guard lock(lock_);
        was = scan_ != 0;
        scan_ = 0;
        settleFrom_ = was && settle ? scanFrom_ : -1;
        settleUntil_ = std::chrono::steady_clock::now() + ScanSettleTime;
    }
    if (was)
        if (auto g = graph()) g->setMuted(false);
}

void Navigator::driveScan() {
    int direction;
    gint64 from;
    {
        std::lock_guard lock(lock_);
        direction = scan_;
        from = scanFrom_;
    }
    if (direction == 0) return;
    const auto g = graph();
    const int title = currentTitle();
    // Pause, Stop or leaving the title end the scan.
    if (!g || title <= 0 || GST_STATE_TARGET(g->pipeline()) != GST_STATE_PLAYING) {
        endScan(g && title > 0);
        return;
    }
    const gint64 to = from + direction * ScanStep;
    const gint64 end = titleDuration(title);
    if (to < 0 || (end > 0 && to >= end - ScanStep / 4)) {
        if (to < 0) seekSource(GST_FORMAT_TIME, 0, GST_SEEK_FLAG_KEY_UNIT);
        endScan();
        return;
    }
    if (!seekSource(GST_FORMAT_TIME, to, GST_SEEK_FLAG_KEY_UNIT)) {
        endScan();
        return;
    }
    std::lock_guard lock(lock_);
    if (scan_ == direction) scanFrom_ = to;
}

} // namespace platform::dshow::dvdnav
