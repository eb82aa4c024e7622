// The check whether an MS Video 1 picture stands on its own, over any picture bytes. The first
// three bytes give the picture's size and depth (width and height in 4-pixel blocks, 8 or 16
// bits a pixel); the rest is the picture as a chunk holds it.
#include "platform/vfw/AviRecovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int width = data[0] * 4, height = data[1] * 4;
    const int bitCount = (data[2] & 1) ? 8 : 16;
    platform::vfw::msVideo1Intra(data + 3, size - 3, width, height, bitCount);
    return 0;
}
