#include "platform/dshow/graph/EndWatch.h"

namespace platform::dshow {

using namespace std::chrono_literals;

EndWatch::EndWatch(Hooks hooks) : hooks_(std::move(hooks)) {}

EndWatch::~EndWatch() {
    {
        std::lock_guard lock(lock_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void EndWatch::videoEnded() {
    std::lock_guard lock(lock_);
    if (quit_) return;
    armed_ = generation_;
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    wake_.notify_all();
}

void EndWatch::reset() {
    {
        std::lock_guard lock(lock_);
        ++generation_;
        armed_ = 0;
    }
    wake_.notify_all();
}

void EndWatch::loop() {
    std::unique_lock lock(lock_);
    while (!quit_) {
        if (armed_ == 0 || armed_ != generation_) {
            wake_.wait(lock);
            continue;
        }
        const uint64_t watched = armed_;
        gint64 last = -1;
        auto since = std::chrono::steady_clock::now();
        while (!quit_ && armed_ == watched && generation_ == watched) {
            wake_.wait_for(lock, 250ms);
            if (quit_ || armed_ != watched || generation_ != watched) break;
            lock.unlock();
            const bool ended = hooks_.ended();
            const bool playing = hooks_.playing();
            const gint64 pos = hooks_.position();
            lock.lock();
            const auto now = std::chrono::steady_clock::now();
            if (ended) break;
            if (!playing || pos != last) {
                last = pos;
                since = now;
                continue;
            }
            if (now - since < Grace) continue;
            // Completed once per watch; a later end of stream of the same run is no new one.
            armed_ = 0;
            lock.unlock();
            g_printerr("tovamix: the sound renderer did not end its stream %lld ms after the "
                       "pictures stopped; the playback completes without it\n",
                       static_cast<long long>(Grace.count()));
            hooks_.complete();
            lock.lock();
            break;
        }
        if (armed_ == watched) armed_ = 0;
    }
}

} // namespace platform::dshow
