// TAviWriter_2: turns a sequence of pictures into an AVI file of a fixed frame size and frame
// time, compressing each frame as it arrives with the AVI file service's compressor of a chosen
// FourCC. A picture comes in as a QImage and is drawn (stretched, or centred on black) into a
// work bitmap of the writer's pixel format, a packed device-independent bitmap, which is what
// the compressor takes; at 1, 4 and 8 bits the work bitmap has a fixed palette.
//
// Calls: SetCompressor, then InitVideo(first picture), AddFrame for every picture (the first
// included), FinalizeVideo, WriteOutput. Every failure is thrown as an EAviWriter carrying the
// message for the user. A failed InitVideo or AddFrame releases the file: what was written
// stays on disk as a closed, valid AVI of its frames. The writer owns its file and stream
// handles; they are released by WriteOutput, CloseOutput, a failure, the next InitVideo or the
// destructor.
//
// User-interface thread (or the one thread of the command-line job). Needs no display.
#pragma once

#include "platform/screen/Dib.h"
#include "platform/vfw/AviFile.h"

#include <QImage>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace avi {

class EAviWriter : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class TPixelFormat {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom
};

// Bits per pixel of the formats the writer takes (1, 4, 8, 24, 32); 0 for the others.
int bitsOf(TPixelFormat format);
// The pixel format of a bit count; pfCustom for one the writer does not take.
TPixelFormat pixelFormatOfBits(int bits);
// The key-frame interval asked of the compressor: 1000 / frameTime rounded to the nearest
// integer, ties to even (0 and 1 both mean every frame).
int keyFrameEveryFor(int frameTime);
// The fixed palette of the work bitmap at 1, 4 or 8 bits: black and white; the 16 VGA colours;
// a 6x6x6 colour cube followed by 40 greys. Empty for other depths.
std::vector<QRgb> fixedPalette(int bits);

class TAviWriter_2 {
  public:
    TAviWriter_2();
    ~TAviWriter_2();
    TAviWriter_2(const TAviWriter_2&) = delete;
    TAviWriter_2& operator=(const TAviWriter_2&) = delete;

    // -- Published properties.
    int Height() const { return height_; }
    // Rounded down to a multiple of 16 (value AND NOT 15): 300 becomes 288, 15 becomes 0.
    void setHeight(int value) { height_ = value & ~15; }
    int Width() const { return width_; }
    void setWidth(int value) { width_ = value & ~15; }
    int FrameTime = 1000; // milliseconds per frame
    bool Stretch = true;  // stretch each frame to Width x Height; else centre it on black
    TPixelFormat PixelFormat() const { return pixelFormat_; }
    // Throws "Pixelformat not supported" for a format other than 1, 4, 8, 24 or 32 bits.
    void setPixelFormat(TPixelFormat format);
    std::string filename;

    // -- Other state.
    std::string CompressorFourCC;
    int CompressionQuality = 5000; // 0..10000
    bool Initialized = false, Finalized = false;
    int FrameCounter = 0; // frames written; the stream position of the next one

    // Chooses the compressor by FourCC (at most 4 characters are taken); throws "No compressor
    // for " + FourCC + " available" when none takes pictures of the current size and format.
    void SetCompressor(const std::string& fourCC);
    // Starts the file `filename`. Checks first, before any file is touched: a frame time above
    // 0, a frame of at least 16 x 16, and a compressor that takes it. Then deletes an existing
    // file and creates the file and its video stream.
    void InitVideo(const QImage& firstBitmap);
    // Draws the picture into a work bitmap and writes it as the next frame.
    void AddFrame(const QImage& bitmap);
    void FinalizeVideo();
    // Closes the file; throws "Video must be finalized" (after closing it) when FinalizeVideo
    // was not called.
    void WriteOutput();
    // Releases the streams and the file (what was written stays on disk) and returns to idle.
    void CloseOutput();

    // The work bitmap a picture becomes: Width x Height at the writer's pixel format.
    platform::screen::PackedDib drawFrame(const QImage& bitmap) const;

  private:
    void writeFrame(const platform::screen::PackedDib& dib);
    void setStreamFormat(const platform::screen::PackedDib& dib);
    // Releases everything and throws message.
    [[noreturn]] void fail(const std::string& message);

    int width_ = 0, height_ = 0;
    TPixelFormat pixelFormat_ = TPixelFormat::pf24bit;
    std::shared_ptr<platform::vfw::AviFile> file_;
    std::shared_ptr<platform::vfw::AviStream> videoStream_, compressedStream_;
    std::vector<uint8_t> formatBlock_; // bitmap information header and colour table
    platform::vfw::AviCompressOptions options_;
};

} // namespace avi
