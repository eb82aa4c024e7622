// MP3 (MPEG-1/2 layer 3) through LAME, as libavcodec offers it ("libmp3lame"): interleaved
// 16-bit PCM in, one MP3 frame per packet out, constant bit rate. The live compression of a
// screen recording encodes the voice with it while recording. An encoder is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::vfw {

class Mp3Encoder {
  public:
    // One MP3 frame: its bytes and how many sample frames of sound it holds.
    using FrameSink = std::function<bool(const uint8_t* data, size_t size, std::string* error)>;

    // An encoder for `rate` Hz and `channels` (1 or 2) at `kbitPerSecond`; null with the reason
    // when libavcodec has no LAME or refuses the format.
    static std::unique_ptr<Mp3Encoder> open(int rate, int channels, int kbitPerSecond,
                                            std::string* error);
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    int rate() const;
    int channels() const;
    // Sample frames in one MP3 frame (1152, or 576 below 32 kHz).
    int frameSize() const;

    // Takes `frames` sample frames of interleaved signed 16-bit PCM; every MP3 frame finished
    // meanwhile goes to sink. False with the reason when encoding or the sink fails.
    bool encode(const int16_t* pcm, size_t frames, const FrameSink& sink, std::string* error);
    // Encodes what is left (the last frame padded with silence) and drains the encoder.
    bool finish(const FrameSink& sink, std::string* error);

    struct Impl;

  private:
    explicit Mp3Encoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace platform::vfw
