#include "Compressor.h"

#include "AviFile.h"
#include "LibavError.h"
#include "MsVideo1Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cctype>
#include <cstring>

namespace platform::vfw {
namespace {

AVPixelFormat dibPixelFormat(int bitCount) {
    switch (bitCount) {
    case 32:
        return AV_PIX_FMT_BGR0;
    case 24:
        return AV_PIX_FMT_BGR24;
    case 16:
        return AV_PIX_FMT_RGB555LE;
    case 8:
        return AV_PIX_FMT_PAL8;
    default:
        return AV_PIX_FMT_NONE;
    }
}

// MS Video 1 (FourCC MSVC) through libavcodec's msvideo1 encoder, 16-bit RGB555 mode.
// MS Video 1 codes 4x4 blocks and its decoders decode width/4 x height/4 of them, so a
// picture whose size is not a multiple of 4 is coded as its top-left (w & ~3) x (h & ~3)
// part while the stream keeps the true size.
class LibavMsVideo1 final : public VideoCompressor {
  public:
    ~LibavMsVideo1() override {
        sws_freeContext(sws_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }

    uint32_t fourcc() const override { return fourccMSVC; }
    int outputBitCount() const override { return 16; }
    bool accepts(const screen::BitmapInfoHeader& in, std::string* error) const override {
        MsVideo1Input g;
        return g.read(in, error);
    }

    bool begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
               const CompressorSettings& settings, std::string* error) override {
        if (!g_.read(in, error)) return false;
        const AVPixelFormat src = dibPixelFormat(g_.bitCount);
        if (palette && g_.bitCount <= 8) {
            // A colour-table entry (blue, green, red, 0) read as a little-endian word is the
            // 0xAARRGGBB value swscale wants; alpha is made opaque.
            for (int i = 0; i < (1 << g_.bitCount); ++i) {
                uint32_t v;
                std::memcpy(&v, &palette[i], 4);
                palette_[size_t(i)] = v | 0xFF000000u;
            }
        }
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSVIDEO1);
        if (!codec) {
            if (error) *error = "this FFmpeg has no msvideo1 encoder";
            return false;
        }
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->width = g_.codedWidth;
        ctx_->height = g_.codedHeight;
        ctx_->pix_fmt = AV_PIX_FMT_RGB555LE;
        ctx_->time_base = AVRational{int(settings.scale), int(settings.rate)};
        // The encoder makes a key frame once keyint_min pictures followed the last one.
        const int every = settings.keyFrameEvery < 1 ? 1 : settings.keyFrameEvery;
        ctx_->keyint_min = every - 1;
        ctx_->gop_size = every;
        ctx_->global_quality = settings.quality;
        if (int rc = avcodec_open2(ctx_, codec, nullptr); rc < 0) {
            if (error) *error = "cannot open the msvideo1 encoder: " + avError(rc);
            return false;
        }
        frame_ = av_frame_alloc();
        frame_->format = AV_PIX_FMT_RGB555LE;
        frame_->width = g_.codedWidth;
        frame_->height = g_.codedHeight;
        if (av_frame_get_buffer(frame_, 32) < 0) {
            if (error)
                *error = "out of memory for a " + std::to_string(g_.codedWidth) + "x" +
                         std::to_string(g_.codedHeight) + " picture";
            return false;
        }
        packet_ = av_packet_alloc();
        sws_ = sws_getContext(g_.codedWidth, g_.codedHeight, src, g_.codedWidth, g_.codedHeight,
                              AV_PIX_FMT_RGB555LE, SWS_POINT, nullptr, nullptr, nullptr);
        if (!sws_) {
            if (error)
                *error = "no conversion from " + std::to_string(g_.bitCount) + "-bit to RGB555";
            return false;
        }
        return true;
    }

    bool compress(const uint8_t* bits, CompressedSample& out, std::string* error) override {
        if (int rc = av_frame_make_writable(frame_); rc < 0) {
            if (error) *error = avError(rc);
            return false;
        }
        // Start at the top row of the picture; bottom-up rows are walked with a negative step.
        const uint8_t* planes[4] = {bits, nullptr, nullptr, nullptr};
        int strides[4] = {g_.stride, 0, 0, 0};
        if (g_.bottomUp) {
            planes[0] = bits + size_t(g_.height - 1) * size_t(g_.stride);
            strides[0] = -g_.stride;
        }
        if (g_.bitCount == 8) {
            planes[1] = reinterpret_cast<const uint8_t*>(palette_);
            strides[1] = 0;
        }
        sws_scale(sws_, planes, strides, 0, g_.codedHeight, frame_->data, frame_->linesize);
        frame_->pts = pts_++;
        if (int rc = avcodec_send_frame(ctx_, frame_); rc < 0) {
            if (error) *error = "msvideo1 encoder refused a picture: " + avError(rc);
            return false;
        }
        int rc = avcodec_receive_packet(ctx_, packet_);
        if (rc < 0) {
            if (error) *error = "msvideo1 encoder gave no sample: " + avError(rc);
            return false;
        }
        out.data.assign(packet_->data, packet_->data + packet_->size);
        out.keyFrame = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(packet_);
        return true;
    }

  private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* sws_ = nullptr;
    MsVideo1Input g_;
    int64_t pts_ = 0;
    alignas(16) uint32_t palette_[256] = {};
};

} // namespace

std::unique_ptr<VideoCompressor> makeLibavMsVideo1() {
    return std::make_unique<LibavMsVideo1>();
}

std::unique_ptr<VideoCompressor> VideoCompressor::find(uint32_t fourcc) {
    const std::string name = fourCCToString(fourcc);
    std::string upper;
    for (char c : name)
        upper += char(std::toupper(static_cast<unsigned char>(c)));
    if (stringToFourCC(upper) == fourccMSVC) return std::make_unique<MsVideo1Encoder>();
    if (stringToFourCC(upper) == fourccXVID) return makeXvidCompressor();
    return nullptr;
}

} // namespace platform::vfw
