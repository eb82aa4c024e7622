// Packed device-independent bitmaps: a 40-byte bitmap information header, a colour table
// when the depth is 8 bits or less, then pixel rows padded to 4 bytes and stored bottom-up,
// all in one zero-filled block. The screen engine's frames, the AVI writer and the snapshot
// code share this layout. Plain data: any thread may use a bitmap it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::screen {

// The on-disk and in-memory bitmap information header (little-endian, 40 bytes).
struct BitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0; // 0: uncompressed RGB
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "the bitmap header must be exactly 40 bytes");

// One colour-table entry: blue, green, red, reserved.
struct RgbQuad {
    uint8_t blue = 0, green = 0, red = 0, reserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

// Bytes per row: ((width * bitCount + 31) div 32) * 4, in 64-bit arithmetic.
int64_t dibRowStride(int64_t width, int bitCount);
// Colour-table entries for a depth: 2^bitCount at 8 bits or less, else 0.
int dibColourCount(int bitCount);

class PackedDib {
  public:
    // Allocates a zero-filled block for width x height at bitCount and fills the header.
    // Returns an empty bitmap (valid() false) when the size cannot be represented or the
    // memory cannot be had.
    static PackedDib create(int width, int height, int bitCount);

    PackedDib() = default;
    PackedDib(PackedDib&&) noexcept = default;
    PackedDib& operator=(PackedDib&&) noexcept = default;

    bool valid() const { return block_ != nullptr; }
    BitmapInfoHeader& header() { return *reinterpret_cast<BitmapInfoHeader*>(block_.get()); }
    const BitmapInfoHeader& header() const {
        return *reinterpret_cast<const BitmapInfoHeader*>(block_.get());
    }
    RgbQuad* colourTable() { return reinterpret_cast<RgbQuad*>(block_.get() + 40); }
    const RgbQuad* colourTable() const {
        return reinterpret_cast<const RgbQuad*>(block_.get() + 40);
    }
    int colourTableEntries() const { return colourEntries_; }
    // The header plus the colour table: what a stream format is set from.
    size_t formatSize() const { return 40 + 4 * size_t(colourEntries_); }
    uint8_t* bits() { return block_.get() + formatSize(); }
    const uint8_t* bits() const { return block_.get() + formatSize(); }
    size_t imageSize() const { return header().biSizeImage; }
    size_t stride() const { return stride_; }
    // Row y counted from the top of the picture (rows are stored bottom-up).
    uint8_t* rowFromTop(int y) { return bits() + size_t(header().biHeight - 1 - y) * stride_; }
    const uint8_t* rowFromTop(int y) const {
        return bits() + size_t(header().biHeight - 1 - y) * stride_;
    }
    const uint8_t* data() const { return block_.get(); }
    // The whole block: the header, the colour table and the pixels.
    uint8_t* data() { return block_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> block_;
    size_t size_ = 0;
    size_t stride_ = 0;
    int colourEntries_ = 0;
};

// Frames of one size handed round between the thread that grabs them and the threads that use
// them up. A large frame allocated afresh costs a page fault per 4 KB page and the zero fill
// (8,100 faults for a 3840x2160 frame); a frame given back is taken again as it is. While the
// takers hold on to frames (a queue that grows), keepReady() has a thread of low priority of
// its own allocate new ones ahead, so the grabbing thread never pays for them. Any thread may
// take and give.
class DibPool {
  public:
    explicit DibPool(size_t spares = 4) : spares_(spares) {}
    ~DibPool();
    DibPool(const DibPool&) = delete;
    DibPool& operator=(const DibPool&) = delete;

    // A bitmap of this size and depth: a spare one, its pixels as they were left, or a new
    // zero-filled one (invalid when the memory cannot be had).
    PackedDib take(int width, int height, int bitCount);
    // Keeps the bitmap for the next take, unless enough are kept already.
    void give(PackedDib&& dib);
    // From now on keeps `count` spares of the size last taken allocated ahead (0: stops doing
    // so and frees every spare).
    void keepReady(size_t count);
    size_t sparesKept() const;

  private:
    void fill();

    mutable std::mutex m_;
    std::condition_variable wake_;
    std::vector<PackedDib> kept_;
    size_t spares_;
    size_t ready_ = 0;                          // spares the filler keeps
    int width_ = 0, height_ = 0, bitCount_ = 0; // the size last taken
    bool stop_ = false;
    std::thread filler_;
};

} // namespace platform::screen
