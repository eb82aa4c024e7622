// MS Video 1 (FourCC MSVC) compressor in 16-bit RGB555 mode. The picture is coded in 4x4
// blocks from the bottom block row up, left to right; each block is skipped (kept from the
// previous picture), filled with one colour, or drawn with two colours, or with two colours
// per 2x2 quarter (eight colours). The mode is chosen by its error against its size, with the
// quality setting (0..10000) weighing the error. Decoders decode width/4 x height/4 blocks,
// so a picture whose size is not a multiple of 4 is coded as its top-left (w & ~3) x (h & ~3)
// part while the stream keeps the true size.
//
// Screen pictures change little between frames and are mostly flat. The picture is converted
// to RGB555 one block row (4 pixel rows) at a time, never as a whole; the blocks of that row
// that equal the previous reconstruction are found by wide compares and skipped at once, and
// only the others are analysed (see MsVideo1Blocks.h for how a block's code is chosen).
#pragma once

#include "Compressor.h"
#include "MsVideo1Blocks.h"

#include <vector>

namespace platform::vfw {

// The geometry of the pictures an MS Video 1 compressor takes, read from their bitmap header.
struct MsVideo1Input {
    int width = 0, height = 0;           // the true size
    int codedWidth = 0, codedHeight = 0; // rounded down to whole 4x4 blocks
    int bitCount = 0;
    int stride = 0;
    bool bottomUp = true;
    // False (with the reason) for pictures MS Video 1 cannot code: compressed, of another
    // depth than 8, 16, 24 or 32 bits, or smaller than one block.
    bool read(const screen::BitmapInfoHeader& in, std::string* error);
};

class MsVideo1Encoder final : public VideoCompressor {
  public:
    // Uses the processor's vector instructions where it has them; portable = true keeps to
    // plain C++ (same output, for tests and comparison).
    explicit MsVideo1Encoder(bool portable = false);

    uint32_t fourcc() const override;
    bool accepts(const screen::BitmapInfoHeader& in, std::string* error) const override {
        MsVideo1Input g;
        return g.read(in, error);
    }
    int outputBitCount() const override { return 16; }
    bool begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
               const CompressorSettings& settings, std::string* error) override;
    bool compress(const uint8_t* bits, CompressedSample& out, std::string* error) override;

    // The previous picture as decoders see it: RGB555, coded width x coded height, rows
    // bottom-up. For tests.
    const std::vector<uint16_t>& reconstruction() const { return prev_; }
    int codedWidth() const { return g_.codedWidth; }
    int codedHeight() const { return g_.codedHeight; }

    // The lambda a quality setting gives: the squared error worth one byte of code.
    static int lambdaFor(int quality);

  private:
    // Converts the 4 pixel rows of block row `blockRow` to RGB555 into strip_.
    void convertBlockRow(const uint8_t* bits, int blockRow);

    const msvideo1::Kernels* kernels_;
    MsVideo1Input g_;
    int keyEvery_ = 1;
    int sinceKey_ = 0;
    bool first_ = true;
    msvideo1::Lambda lambda_{24};
    uint16_t palette_[256] = {};
    std::vector<uint16_t> strip_;  // one block row of this picture in RGB555, rows bottom-up
    std::vector<uint16_t> prev_;   // the previous reconstruction, coded size, bottom-up
    std::vector<uint8_t> changed_; // per block of a block row: differs from prev_
    std::vector<uint8_t> buffer_;  // room for the largest sample
};

} // namespace platform::vfw
