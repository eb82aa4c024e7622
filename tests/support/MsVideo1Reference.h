// A small reference decoder for MS Video 1 in 16-bit mode, written from the bitstream rules,
// for checking what our compressor writes: blocks of 4x4 from the bottom block row up,
// skip runs (0x84xx-0x87xx), one-colour blocks (other codes with bit 15 set), two-colour
// blocks, and eight-colour blocks (first colour with bit 15 set). Pictures are RGB555,
// bottom-up, coded width x coded height.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct MsVideo1Stats {
    int skipped = 0, filled = 0, twoColour = 0, eightColour = 0;
};

// Decodes one sample onto picture (the previous picture, kept where blocks are skipped).
// Returns false with the reason when the sample is malformed.
bool decodeMsVideo1(const uint8_t* data, size_t size, int width, int height,
                    std::vector<uint16_t>& picture, MsVideo1Stats* stats, std::string* error);

} // namespace testsupport
