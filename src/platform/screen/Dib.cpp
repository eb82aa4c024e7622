#include "Dib.h"

#include <algorithm>
#include <limits>
#include <new>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::screen {

int64_t dibRowStride(int64_t width, int bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

int dibColourCount(int bitCount) {
    return bitCount <= 8 ? (1 << bitCount) : 0;
}

PackedDib PackedDib::create(int width, int height, int bitCount) {
    PackedDib dib;
    if (width <= 0 || height <= 0 || bitCount <= 0 || bitCount > 32) return dib;
    const int64_t stride = dibRowStride(width, bitCount);
    const int64_t image = stride * int64_t(height);
    const int colours = dibColourCount(bitCount);
    const int64_t block = 40 + 4 * int64_t(colours) + image;
    if (image > std::numeric_limits<uint32_t>::max()) return dib;
    dib.block_.reset(new (std::nothrow) uint8_t[size_t(block)]());
    if (!dib.block_) return dib;
    dib.size_ = size_t(block);
    dib.stride_ = size_t(stride);
    dib.colourEntries_ = colours;
    BitmapInfoHeader& h = dib.header();
    h = BitmapInfoHeader{};
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = uint16_t(bitCount);
    h.biSizeImage = uint32_t(image);
    h.biClrUsed = uint32_t(colours);
    return dib;
}

namespace {

// Whether a block has the layout of a bitmap of this size and depth. Its header does not tell:
// the bitmap's user may have changed it (a top-down height, a compressed size).
bool fits(const PackedDib& dib, int width, int height, int bitCount) {
    if (width <= 0 || height <= 0) return false;
    const int64_t stride = dibRowStride(width, bitCount);
    const int colours = dibColourCount(bitCount);
    return dib.stride() == size_t(stride) && dib.colourTableEntries() == colours &&
           dib.size() == size_t(40 + 4 * int64_t(colours) + stride * int64_t(height));
}

} // namespace

DibPool::~DibPool() {
    keepReady(0);
}

PackedDib DibPool::take(int width, int height, int bitCount) {
    {
        std::lock_guard lock(m_);
        width_ = width;
        height_ = height;
        bitCount_ = bitCount;
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (!fits(*it, width, height, bitCount)) continue;
            PackedDib dib = std::move(*it);
            kept_.erase(it);
            // Callers may have changed the header; a taken bitmap starts as a created one.
            BitmapInfoHeader& fresh = dib.header();
            fresh = BitmapInfoHeader{};
            fresh.biWidth = width;
            fresh.biHeight = height;
            fresh.biBitCount = uint16_t(bitCount);
            fresh.biSizeImage = uint32_t(dib.stride() * size_t(height));
            fresh.biClrUsed = uint32_t(dib.colourTableEntries());
            if (ready_ > 0) wake_.notify_one();
            return dib;
        }
        if (ready_ > 0) wake_.notify_one();
    }
    return PackedDib::create(width, height, bitCount);
}

void DibPool::give(PackedDib&& dib) {
    if (!dib.valid()) return;
    PackedDib dropped = std::move(dib); // freed outside the lock when not kept
    std::lock_guard lock(m_);
    if (kept_.size() < std::max(spares_, ready_)) kept_.push_back(std::move(dropped));
}

void DibPool::keepReady(size_t count) {
    std::vector<PackedDib> freed;
    std::thread ended;
    {
        std::lock_guard lock(m_);
        ready_ = count;
        if (count == 0) {
            stop_ = true;
            freed.swap(kept_);
            ended = std::move(filler_);
        } else if (!filler_.joinable()) {
            stop_ = false;
            filler_ = std::thread([this] { fill(); });
        }
    }
    wake_.notify_all();
    if (ended.joinable()) ended.join();
}

void DibPool::fill() {
    // Below the thread that grabs: allocating ahead may wait, the grabbing may not.
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
    std::unique_lock lock(m_);
    for (;;) {
        wake_.wait(lock, [this] {
            if (stop_) return true;
            if (width_ <= 0) return false;
            size_t fitting = 0;
            for (const PackedDib& d : kept_)
                if (fits(d, width_, height_, bitCount_)) ++fitting;
            return fitting < ready_;
        });
        if (stop_) return;
        const int w = width_, h = height_, bits = bitCount_;
        lock.unlock();
        PackedDib made = PackedDib::create(w, h, bits); // zero-filled: every page is touched
        lock.lock();
        if (!made.valid()) {
            // No memory now: try again at the next take rather than spinning.
            wake_.wait(lock);
            continue;
        }
        kept_.push_back(std::move(made));
    }
}

size_t DibPool::sparesKept() const {
    std::lock_guard lock(m_);
    return kept_.size();
}

} // namespace platform::screen
