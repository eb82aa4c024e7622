// Recovery of an AVI file whose writer was killed before it finished: such a file has its
// header with the sizes and lengths still unset, its data chunks up to where the writer
// stopped (the last one perhaps cut short), and no index. libavformat reads it chunk by chunk;
// every whole sample is copied, at its own stream position, into a new file that the AVI
// muxer core finishes with headers and index, so any reader takes it.
//
// Called from any one thread at a time; it touches nothing but the two files.
#pragma once

#include <cstdint>
#include <string>

namespace platform::vfw {

// What the recovered copy holds.
struct RecoveredAvi {
    bool hasVideo = false, hasAudio = false;
    std::string videoFourcc;   // "MSVC"
    int64_t videoSamples = 0;  // pictures with data
    int64_t videoSkipped = 0;  // positions left empty between them (repeats of the one before)
    double videoSeconds = 0;   // length of the video stream, empty positions included
    double audioSeconds = 0;   // length of the sound stream, the silence added included
    double silenceSeconds = 0; // silence added at the end of the sound (see soundUntil)
    int64_t droppedBytes = 0;  // bytes left out: a last chunk cut short, pictures placed
                               // past what the file can hold (a damaged header)
};

// Copies the readable samples of damaged into repaired (created or emptied; refused when it is
// a symbolic link). Video keeps its positions; a cut-short last chunk is left out, and for PCM
// sound only its whole sample frames are kept. Streams of the kinds the program writes are
// copied (video MSVC, XVID, MJPG; PCM sound); the first of each kind. False, with the reason
// naming the file, when damaged cannot be read as AVI, holds no such stream, or repaired
// cannot be written; a damaged file without any whole sample is refused too.
// A PCM sound stream that ends before soundUntil seconds is lengthened to it with silence, as
// a recording's sound that never came is silence at its end.
bool recoverAvi(const std::string& damaged, const std::string& repaired, RecoveredAvi* result,
                std::string* error, double soundUntil = 0);

// Whether an MS Video 1 picture (16 or 8 bits a pixel) stands on its own: it skips no block,
// so it needs no picture before it. A picture that ends early is not one.
bool msVideo1Intra(const uint8_t* data, size_t size, int width, int height, int bitCount);

} // namespace platform::vfw
