// Internal to the AVI multiplexer element ("tovamixavimux", AviMuxElement.cpp): the stream
// formats it reads from the caps of its sink pads (on the thread that handles a pad's caps
// event) for the AVI muxer core, and the holder of a mapped buffer.
#pragma once

#include "platform/dshow/base/GstRef.h"
#include "platform/vfw/AviMuxer.h"

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform::dshow::avimux {

// A buffer's bytes mapped for reading, unmapped when this goes.
class MappedBuffer {
  public:
    explicit MappedBuffer(GstBuffer* buf) : buf_(buf) {
        mapped_ = buf && gst_buffer_map(buf, &map_, GST_MAP_READ);
    }
    ~MappedBuffer() {
        if (mapped_) gst_buffer_unmap(buf_, &map_);
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    bool ok() const { return mapped_; }
    const uint8_t* data() const { return map_.data; }
    size_t size() const { return map_.size; }

  private:
    GstBuffer* buf_;
    GstMapInfo map_{};
    bool mapped_ = false;
};

// A string GLib allocated, freed when this goes.
using GlibText = std::unique_ptr<gchar, decltype(&g_free)>;
inline GlibText takeString(gchar* s) {
    return GlibText(s, &g_free);
}

// What one input stream is, as the AVI header states it. The FourCC or wave tag is one the
// muxer core names (vfw::fourccXVID, ...).
struct StreamFormat {
    bool video = false;
    uint32_t tag = 0;
    // video
    int width = 0, height = 0, fpsN = 0, fpsD = 1, bitsPerPixel = 0;
    // audio
    int rate = 0, channels = 0, bitsPerSample = 0, blockAlign = 0, frameSize = 0;
    int64_t bitRate = 0;
    std::vector<uint8_t> extradata;

    // Whether a stream in this format can go on in a file whose header states `o`. The bit
    // rate and codec data are not compared: the header keeps its own, and a stream may state
    // them again differently (a nominal rate, codec data that the frames repeat).
    bool continues(const StreamFormat& o) const {
        return video == o.video && tag == o.tag && width == o.width && height == o.height &&
               fpsN == o.fpsN && fpsD == o.fpsD && bitsPerPixel == o.bitsPerPixel &&
               rate == o.rate && channels == o.channels && bitsPerSample == o.bitsPerSample &&
               blockAlign == o.blockAlign && frameSize == o.frameSize;
    }

    vfw::AviVideoFormat videoFormat() const {
        vfw::AviVideoFormat f;
        f.fourcc = tag;
        f.width = width;
        f.height = height;
        f.bitCount = bitsPerPixel;
        f.rateNum = fpsN;
        f.rateDen = fpsD;
        f.bitRate = bitRate;
        f.extraData = extradata;
        return f;
    }
    vfw::AviAudioFormat audioFormat() const {
        vfw::AviAudioFormat f;
        f.waveTag = uint16_t(tag);
        f.rate = rate;
        f.channels = channels;
        f.bitsPerSample = bitsPerSample;
        f.blockAlign = blockAlign;
        f.frameSize = frameSize;
        f.bitRate = bitRate;
        f.extraData = extradata;
        return f;
    }
    // The duration of the positions counted for this stream (see vfw::positionUnit).
    vfw::AviUnit unit() const {
        return video ? vfw::positionUnit(videoFormat()) : vfw::positionUnit(audioFormat());
    }
    bool isPcm() const { return !video && tag == vfw::waveTagPCM; }
};

// Reads the fixed caps of a video or audio sink pad into f; on failure says why in `why`.
bool parseCaps(const GstCaps* caps, bool video, StreamFormat& f, std::string& why);
// The format in a few words, for logs and messages: "XVID 320x240 at 25/1 fps".
std::string describe(const StreamFormat& f);
// The caps as text ("(none)" for null).
std::string capsText(const GstCaps* caps);

} // namespace platform::dshow::avimux
