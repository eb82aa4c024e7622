// Reading stream formats from the caps of the AVI multiplexer's sink pads, and the mapped-buffer
// holder; see AviMuxInternal.h. Called on the threads that handle the pads' caps and buffers.
#include "platform/dshow/elements/AviMuxInternal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <numeric>

namespace platform::dshow::avimux {

namespace {

// AVI keeps one chunk per frame and libavformat derives the stream rate from it; above this
// it replaces the frame rate by a 1/600 clock, which breaks frame counting.
constexpr int kMaxFrameRate = 1000;
constexpr int kMaxPcmRate = 48000; // beyond it WAVE_FORMAT_EXTENSIBLE would replace tag 1

// Reads the caps of a sink pad into a stream format; on failure says why in `why`.
bool parseVideoCaps(const GstStructure* s, StreamFormat& f, std::string& why) {
    const char* name = gst_structure_get_name(s);
    f.video = true;
    int version = 0;
    gboolean systemStream = FALSE;
    if (std::strcmp(name, "video/x-msvideocodec") == 0) {
        if (!gst_structure_get_int(s, "msvideoversion", &version) || version != 1) {
            why = "only MS Video 1 (msvideoversion=1) is written";
            return false;
        }
        int bpp = 16;
        if (!gst_structure_get_int(s, "bpp", &bpp)) gst_structure_get_int(s, "depth", &bpp);
        if (bpp != 16) {
            why = "only 16-bit MS Video 1 is written, the stream has " + std::to_string(bpp) +
                  " bits per pixel";
            return false;
        }
        f.tag = vfw::fourccMSVC;
        f.bitsPerPixel = bpp;
    } else if (std::strcmp(name, "video/x-xvid") == 0 ||
               (std::strcmp(name, "video/mpeg") == 0 &&
                gst_structure_get_int(s, "mpegversion", &version) && version == 4 &&
                (!gst_structure_has_field(s, "systemstream") ||
                 (gst_structure_get_boolean(s, "systemstream", &systemStream) && !systemStream)))) {
        f.tag = vfw::fourccXVID;
        f.bitsPerPixel = 24;
    } else if (std::strcmp(name, "video/x-divx") == 0 &&
               gst_structure_get_int(s, "divxversion", &version) &&
               (version == 4 || version == 5)) {
        // DivX 4 and 5 are MPEG-4 part 2, as XviD writes it.
        f.tag = vfw::fourccXVID;
        f.bitsPerPixel = 24;
    } else if (std::strcmp(name, "image/jpeg") == 0) {
        f.tag = vfw::fourccMJPG;
        f.bitsPerPixel = 24;
    } else if (std::strcmp(name, "video/x-h264") == 0) {
        // Only the byte stream carries its parameter sets in the frames, as an AVI needs; an
        // AVI's own H264 stream states no format and is one.
        const char* format = gst_structure_get_string(s, "stream-format");
        if (format && std::strcmp(format, "byte-stream") != 0) {
            why = "H.264 is written as a byte stream, the stream is " + std::string(format);
            return false;
        }
        f.tag = vfw::fourccH264;
        f.bitsPerPixel = 24;
    } else if (const std::string raw =
                   std::strcmp(name, "video/x-raw") == 0 && gst_structure_get_string(s, "format")
                       ? gst_structure_get_string(s, "format")
                       : "";
               raw == "BGR" || raw == "BGRx" || raw == "BGRA") {
        // Uncompressed RGB, as a bitmap's rows are laid (24-bit rows padded to four bytes,
        // which is GStreamer's stride too).
        f.tag = vfw::fourccRGB;
        f.bitsPerPixel = raw == "BGR" ? 24 : 32;
    } else {
        why = "the video pads take MPEG-4 video (video/x-xvid, video/x-divx, video/mpeg with "
              "mpegversion=4), Motion JPEG (image/jpeg), H.264 byte stream (video/x-h264), "
              "MS Video 1 (video/x-msvideocodec) and uncompressed RGB (video/x-raw BGR, BGRx, "
              "BGRA)";
        return false;
    }
    if (!gst_structure_get_int(s, "width", &f.width) ||
        !gst_structure_get_int(s, "height", &f.height) || f.width <= 0 || f.height <= 0 ||
        f.width > 65535 || f.height > 65535) {
        why = "a picture width and height (1..65535) are needed";
        return false;
    }
    if (!gst_structure_get_fraction(s, "framerate", &f.fpsN, &f.fpsD) || f.fpsN <= 0 ||
        f.fpsD <= 0 || int64_t(f.fpsN) > int64_t(kMaxFrameRate) * f.fpsD) {
        why = "a fixed frame rate above 0 and up to " + std::to_string(kMaxFrameRate) +
              " frames per second is needed";
        return false;
    }
    const int common = std::gcd(f.fpsN, f.fpsD);
    f.fpsN /= common;
    f.fpsD /= common;
    if (const GValue* v = gst_structure_get_value(s, "codec_data");
        v && G_VALUE_HOLDS(v, GST_TYPE_BUFFER) && f.tag == vfw::fourccXVID) {
        if (GstBuffer* data = gst_value_get_buffer(v)) {
            f.extradata.resize(gst_buffer_get_size(data));
            f.extradata.resize(gst_buffer_extract(data, 0, f.extradata.data(), f.extradata.size()));
        }
    }
    return true;
}

bool parseAudioCaps(const GstStructure* s, StreamFormat& f, std::string& why) {
    const char* name = gst_structure_get_name(s);
    f.video = false;
    if (!gst_structure_get_int(s, "rate", &f.rate) || f.rate <= 0 ||
        !gst_structure_get_int(s, "channels", &f.channels) || f.channels <= 0) {
        why = "a sample rate and a channel count are needed";
        return false;
    }
    if (f.channels > 2) {
        why = "mono and stereo are written, the stream has " + std::to_string(f.channels) +
              " channels";
        return false;
    }
    if (std::strcmp(name, "audio/mpeg") == 0) {
        int version = 0, layer = 0;
        if (!gst_structure_get_int(s, "mpegversion", &version) || version != 1 ||
            !gst_structure_get_int(s, "layer", &layer) || layer != 3) {
            why = "of MPEG audio only layer 3 (MP3) is written";
            return false;
        }
        // MPEG-1 layer 3 frames carry 1152 samples, MPEG-2 and 2.5 frames 576.
        int audioVersion = 0;
        if (gst_structure_get_int(s, "mpegaudioversion", &audioVersion))
            f.frameSize = audioVersion == 1 ? 1152 : 576;
        else
            f.frameSize = f.rate >= 32000 ? 1152 : 576;
        int bitrate = 0;
        if (gst_structure_get_int(s, "bitrate", &bitrate) && bitrate > 0) f.bitRate = bitrate;
        f.tag = vfw::waveTagMP3;
        return true;
    }
    if (std::strcmp(name, "audio/x-raw") == 0) {
        const char* format = gst_structure_get_string(s, "format");
        const char* layout = gst_structure_get_string(s, "layout");
        if (layout && std::strcmp(layout, "interleaved") != 0) {
            why = "PCM must be interleaved";
            return false;
        }
        if (format && std::strcmp(format, "S16LE") == 0) {
            f.bitsPerSample = 16;
        } else if (format && std::strcmp(format, "U8") == 0) {
            f.bitsPerSample = 8;
        } else {
            why = "PCM is written as S16LE or U8";
            return false;
        }
        if (f.rate > kMaxPcmRate) {
            why = "PCM is written up to " + std::to_string(kMaxPcmRate) + " Hz";
            return false;
        }
        f.tag = vfw::waveTagPCM;
        f.blockAlign = f.channels * f.bitsPerSample / 8;
        f.bitRate = int64_t(f.rate) * f.blockAlign * 8;
        return true;
    }
    why = "the audio pads take MP3 (audio/mpeg, layer 3) and PCM (audio/x-raw)";
    return false;
}

} // namespace

bool parseCaps(const GstCaps* caps, bool video, StreamFormat& f, std::string& why) {
    if (!caps || gst_caps_get_size(caps) != 1 || !gst_caps_is_fixed(caps)) {
        why = "the caps are not fixed";
        return false;
    }
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    return video ? parseVideoCaps(s, f, why) : parseAudioCaps(s, f, why);
}

std::string capsText(const GstCaps* caps) {
    const GlibText s = takeString(gst_caps_to_string(caps));
    return s ? s.get() : "(none)";
}

std::string describe(const StreamFormat& f) {
    if (f.video)
        return vfw::fourCCToString(f.tag) + " " + std::to_string(f.width) + "x" +
               std::to_string(f.height) + " at " + std::to_string(f.fpsN) + "/" +
               std::to_string(f.fpsD) + " fps";
    char ftag[16];
    std::snprintf(ftag, sizeof ftag, "0x%04x", unsigned(f.tag));
    return std::string("audio tag ") + ftag + " " + std::to_string(f.rate) + " Hz " +
           std::to_string(f.channels) + " ch";
}

} // namespace platform::dshow::avimux
