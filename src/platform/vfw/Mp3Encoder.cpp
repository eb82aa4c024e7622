#include "Mp3Encoder.h"

#include "LibavError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>

namespace platform::vfw {

struct Mp3Encoder::Impl {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int filled = 0; // sample frames waiting in `frame`

    ~Impl() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }

    // Hands every packet the encoder has ready to sink.
    bool drain(const FrameSink& sink, std::string* error) {
        for (;;) {
            const int r = avcodec_receive_packet(ctx, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) {
                setError(error, "the MP3 encoder failed: " + avError(r));
                return false;
            }
            const bool ok = sink(packet->data, size_t(packet->size), error);
            av_packet_unref(packet);
            if (!ok) return false;
        }
    }

    bool send(AVFrame* f, const FrameSink& sink, std::string* error) {
        const int r = avcodec_send_frame(ctx, f);
        if (r < 0 && r != AVERROR_EOF) {
            setError(error, "the MP3 encoder refused the sound: " + avError(r));
            return false;
        }
        return drain(sink, error);
    }
};

std::unique_ptr<Mp3Encoder> Mp3Encoder::open(int rate, int channels, int kbitPerSecond,
                                             std::string* error) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libmp3lame");
    if (!codec) {
        setError(error, "libavcodec has no LAME MP3 encoder (libmp3lame)");
        return nullptr;
    }
    if (channels < 1 || channels > 2 || rate <= 0) {
        setError(error, "MP3 takes one or two channels, not " + std::to_string(channels));
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->ctx = avcodec_alloc_context3(codec);
    impl->frame = av_frame_alloc();
    impl->packet = av_packet_alloc();
    if (!impl->ctx || !impl->frame || !impl->packet) {
        setError(error, "out of memory for the MP3 encoder");
        return nullptr;
    }
    AVCodecContext* c = impl->ctx;
    c->sample_rate = rate;
    c->sample_fmt = AV_SAMPLE_FMT_S16P;
    av_channel_layout_default(&c->ch_layout, channels);
    c->bit_rate = int64_t(kbitPerSecond) * 1000;
    if (const int r = avcodec_open2(c, codec, nullptr); r < 0) {
        setError(error, "the MP3 encoder does not take " + std::to_string(rate) + " Hz, " +
                            std::to_string(channels) + " channels: " + avError(r));
        return nullptr;
    }
    impl->frame->format = c->sample_fmt;
    impl->frame->nb_samples = c->frame_size;
    impl->frame->sample_rate = rate;
    av_channel_layout_copy(&impl->frame->ch_layout, &c->ch_layout);
    if (const int r = av_frame_get_buffer(impl->frame, 0); r < 0) {
        setError(error, "out of memory for the MP3 encoder: " + avError(r));
        return nullptr;
    }
    return std::unique_ptr<Mp3Encoder>(new Mp3Encoder(std::move(impl)));
}

Mp3Encoder::Mp3Encoder(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
Mp3Encoder::~Mp3Encoder() = default;

int Mp3Encoder::rate() const {
    return d->ctx->sample_rate;
}
int Mp3Encoder::channels() const {
    return d->ctx->ch_layout.nb_channels;
}
int Mp3Encoder::frameSize() const {
    return d->ctx->frame_size;
}

bool Mp3Encoder::encode(const int16_t* pcm, size_t frames, const FrameSink& sink,
                        std::string* error) {
    const int channels = this->channels();
    const int size = frameSize();
    while (frames > 0) {
        if (av_frame_make_writable(d->frame) < 0) {
            setError(error, "out of memory for the MP3 encoder");
            return false;
        }
        const int n = int(std::min<size_t>(frames, size_t(size - d->filled)));
        // Interleaved in, one plane a channel out.
        for (int ch = 0; ch < channels; ++ch) {
            auto* plane = reinterpret_cast<int16_t*>(d->frame->data[ch]) + d->filled;
            for (int i = 0; i < n; ++i)
                plane[i] = pcm[size_t(i) * size_t(channels) + size_t(ch)];
        }
        d->filled += n;
        pcm += size_t(n) * size_t(channels);
        frames -= size_t(n);
        if (d->filled == size) {
            d->frame->nb_samples = size;
            if (!d->send(d->frame, sink, error)) return false;
            d->filled = 0;
        }
    }
    return true;
}

bool Mp3Encoder::finish(const FrameSink& sink, std::string* error) {
    if (d->filled > 0) {
        // The last frame is padded with silence to a whole frame.
        for (int ch = 0; ch < channels(); ++ch)
            std::memset(reinterpret_cast<int16_t*>(d->frame->data[ch]) + d->filled, 0,
                        size_t(frameSize() - d->filled) * sizeof(int16_t));
        d->frame->nb_samples = frameSize();
        if (!d->send(d->frame, sink, error)) return false;
        d->filled = 0;
    }
    return d->send(nullptr, sink, error);
}

} // namespace platform::vfw
