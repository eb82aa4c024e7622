#include "AviMuxer.h"

#include "LibavError.h"
#include "OutputFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform::vfw {

namespace {

// libavcodec's name for the codec of each FourCC and tag we write; none for any other.
AVCodecID videoCodec(uint32_t fourcc) {
    switch (fourcc) {
    case fourccMSVC:
        return AV_CODEC_ID_MSVIDEO1;
    case fourccXVID:
        return AV_CODEC_ID_MPEG4;
    case fourccMJPG:
        return AV_CODEC_ID_MJPEG;
    case fourccH264:
        return AV_CODEC_ID_H264;
    case fourccRGB:
        return AV_CODEC_ID_RAWVIDEO;
    default:
        return AV_CODEC_ID_NONE;
    }
}

AVCodecID audioCodec(const AviAudioFormat& f) {
    if (f.waveTag == waveTagMP3) return AV_CODEC_ID_MP3;
    if (f.waveTag == waveTagPCM && f.bitsPerSample == 16) return AV_CODEC_ID_PCM_S16LE;
    if (f.waveTag == waveTagPCM && f.bitsPerSample == 8) return AV_CODEC_ID_PCM_U8;
    return AV_CODEC_ID_NONE;
}

std::string tagText(uint16_t tag) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", unsigned(tag));
    return text;
}

bool copyExtraData(AVCodecParameters* par, const std::vector<uint8_t>& data) {
    if (data.empty()) return true;
    par->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return false;
    std::memcpy(par->extradata, data.data(), data.size());
    par->extradata_size = int(data.size());
    return true;
}

} // namespace

uint32_t stringToFourCC(std::string_view text) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (size_t i = 0; i < 4 && i < text.size(); ++i)
        c[i] = text[i];
    return makeFourCC(c[0], c[1], c[2], c[3]);
}

std::string fourCCToString(uint32_t fourcc) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char((fourcc >> (8 * i)) & 0xFF);
    return s;
}

AviUnit positionUnit(const AviVideoFormat& format) {
    return {format.rateDen, format.rateNum};
}

AviUnit positionUnit(const AviAudioFormat& format) {
    if (format.waveTag == waveTagMP3) return {format.frameSize, format.rate};
    return {1, format.rate};
}

struct AviMuxer::Impl {
    struct Stream {
        AVStream* st = nullptr;
        AVRational unit{1, 1};
        bool video = false;
        int64_t next = 0;
        int64_t empty = 0;
    };

    std::string name;
    AVFormatContext* fmt = nullptr;
    std::unique_ptr<OutputFile> file; // the output, when it is a file
    AviByteSink sink;                 // the output otherwise
    AVIOContext* sinkIo = nullptr;    // over sink; belongs to this object
    int64_t position = 0;             // sink output: where the next byte goes
    int64_t sinkSize = 0;             // sink output: bytes so far
    int64_t endSize = 0;
    std::vector<Stream> streams;
    bool headerWritten = false;
    bool closed = false;
    std::shared_ptr<AviFileStatus> status = std::make_shared<AviFileStatus>();

    ~Impl() { release(); }

    void release() {
        if (fmt) fmt->pb = nullptr;
        file.reset(); // closes the descriptor unreported, with its I/O context
        if (sinkIo) {
            av_freep(&sinkIo->buffer);
            avio_context_free(&sinkIo);
        }
        if (fmt) avformat_free_context(fmt);
        fmt = nullptr;
    }

    bool allocate(std::string* error) {
        if (int rc = avformat_alloc_output_context2(&fmt, nullptr, "avi", nullptr);
            rc < 0 || !fmt) {
            setError(error, "cannot set up an AVI muxer for " + name + ": " + avError(rc));
            return false;
        }
        return true;
    }

    static int writeSink(void* opaque, uint8_t* data, int size) {
        auto& d = *static_cast<Impl*>(opaque);
        if (size <= 0) return 0;
        if (!d.sink.write(data, size_t(size), d.position)) return AVERROR(EIO);
        d.position += size;
        d.sinkSize = std::max(d.sinkSize, d.position);
        return size;
    }

    static int64_t seekSink(void* opaque, int64_t offset, int whence) {
        auto& d = *static_cast<Impl*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE) return d.sinkSize;
        int64_t target;
        switch (whence) {
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            target = d.position + offset;
            break;
        case SEEK_END:
            target = d.sinkSize + offset;
            break;
        default:
            return AVERROR(EINVAL);
        }
        if (target < 0) return AVERROR(EINVAL);
        if (target != d.position) {
            d.sink.seek(target);
            d.position = target;
        }
        return target;
    }

    AVStream* newStream(std::string* error) {
        if (closed || headerWritten) {
            setError(error, "cannot add a stream to " + name + " after writing has begun");
            return nullptr;
        }
        AVStream* st = avformat_new_stream(fmt, nullptr);
        if (!st) setError(error, "cannot add a stream to " + name);
        return st;
    }

    bool writeOne(Stream& s, const void* data, size_t size, int64_t position, int64_t units,
                  bool key, std::string* error) {
        AVPacket* pkt = av_packet_alloc();
        if (!pkt) {
            setError(error, "out of memory writing " + name);
            return false;
        }
        // The packet borrows the bytes: av_write_frame does not keep them.
        pkt->data = size ? static_cast<uint8_t*>(const_cast<void*>(data)) : nullptr;
        pkt->size = int(size);
        pkt->stream_index = s.st->index;
        pkt->pts = pkt->dts = av_rescale_q(position, s.unit, s.st->time_base);
        pkt->duration = av_rescale_q(units, s.unit, s.st->time_base);
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        const int rc = av_write_frame(fmt, pkt);
        av_packet_free(&pkt);
        if (rc < 0) {
            setError(error, "cannot write to " + name + ": " + avError(rc));
            return false;
        }
        return true;
    }

    bool end(bool trailer, std::string* error) {
        std::string why;
        bool ok = true;
        if (trailer && !headerWritten && !streams.empty()) ok = writeHeaderNow(&why);
        if (headerWritten && trailer) {
            if (int rc = av_write_trailer(fmt); rc < 0 && ok) {
                why = "cannot finish the AVI index of " + name + ": " + avError(rc);
                ok = false;
            }
        }
        if (file) {
            endSize = avio_tell(file->io());
            fmt->pb = nullptr;
            std::string closeWhy;
            if (!file->close(&closeWhy) && ok) {
                why = closeWhy.empty() ? "cannot close " + name : closeWhy;
                ok = false;
            }
        } else if (sinkIo) {
            avio_flush(sinkIo);
            if (sinkIo->error < 0 && ok) {
                why = "cannot write to " + name + ": " + avError(sinkIo->error);
                ok = false;
            }
            endSize = sinkSize;
        }
        release();
        closed = true;
        status->ok = ok;
        status->error = why;
        status->finished = true;
        if (!ok) setError(error, why);
        return ok;
    }

    bool writeHeaderNow(std::string* error) {
        if (int rc = avformat_write_header(fmt, nullptr); rc < 0) {
            setError(error, "cannot write the AVI header of " + name + ": " + avError(rc));
            return false;
        }
        headerWritten = true;
        return true;
    }
};

AviMuxer::AviMuxer(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
AviMuxer::~AviMuxer() = default;

std::unique_ptr<AviMuxer> AviMuxer::toFile(const std::string& path, std::string* error) {
    auto d = std::make_unique<Impl>();
    d->name = path;
    if (!d->allocate(error)) return nullptr;
    d->file = OutputFile::create(path, error);
    if (!d->file) return nullptr;
    d->fmt->pb = d->file->io();
    d->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    return std::unique_ptr<AviMuxer>(new AviMuxer(std::move(d)));
}

std::unique_ptr<AviMuxer> AviMuxer::toSink(const std::string& name, AviByteSink sink,
                                           std::string* error) {
    auto d = std::make_unique<Impl>();
    d->name = name;
    if (!sink.write) {
        setError(error, "no output for " + name);
        return nullptr;
    }
    d->sink = std::move(sink);
    if (!d->allocate(error)) return nullptr;
    const bool seekable = bool(d->sink.seek);
    auto* buffer = static_cast<unsigned char*>(av_malloc(OutputIoBufferSize));
    d->sinkIo = buffer ? avio_alloc_context(buffer, OutputIoBufferSize, 1, d.get(), nullptr,
                                            Impl::writeSink, seekable ? Impl::seekSink : nullptr)
                       : nullptr;
    if (!d->sinkIo) {
        av_free(buffer);
        setError(error, "out of memory for the AVI writer of " + name);
        return nullptr;
    }
    d->sinkIo->seekable = seekable ? AVIO_SEEKABLE_NORMAL : 0;
    d->fmt->pb = d->sinkIo;
    d->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    return std::unique_ptr<AviMuxer>(new AviMuxer(std::move(d)));
}

const std::string& AviMuxer::name() const {
    return d->name;
}

int AviMuxer::addVideo(const AviVideoFormat& f, std::string* error) {
    const AVCodecID codec = videoCodec(f.fourcc);
    if (codec == AV_CODEC_ID_NONE ||
        (f.fourcc == fourccRGB && f.bitCount != 24 && f.bitCount != 32)) {
        setError(error, "video with FourCC \"" + fourCCToString(f.fourcc) +
                            "\" is not written into " + d->name);
        return -1;
    }
    if (f.width <= 0 || f.height <= 0 || f.rateNum <= 0 || f.rateDen <= 0) {
        setError(error, "a video stream of " + d->name + " needs a size and a frame rate");
        return -1;
    }
    AVStream* st = d->newStream(error);
    if (!st) return -1;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = codec;
    par->codec_tag = f.fourcc;
    par->bit_rate = f.bitRate;
    par->width = f.width;
    par->height = f.height;
    par->bits_per_coded_sample = f.bitCount;
    st->time_base = AVRational{f.rateDen, f.rateNum};
    st->avg_frame_rate = AVRational{f.rateNum, f.rateDen};
    st->r_frame_rate = st->avg_frame_rate;
    if (!copyExtraData(par, f.extraData)) {
        setError(error, "out of memory describing a stream of " + d->name);
        return -1;
    }
    const AviUnit u = positionUnit(f);
    d->streams.push_back({st, AVRational{u.num, u.den}, true});
    return st->index;
}

int AviMuxer::addAudio(const AviAudioFormat& f, std::string* error) {
    const AVCodecID codec = audioCodec(f);
    if (codec == AV_CODEC_ID_NONE) {
        setError(error, "sound with format tag " + tagText(f.waveTag) + " and " +
                            std::to_string(f.bitsPerSample) + " bits is not written into " +
                            d->name);
        return -1;
    }
    const bool pcm = f.waveTag == waveTagPCM;
    if (f.rate <= 0 || f.channels <= 0 || (pcm && f.blockAlign <= 0) ||
        (!pcm && f.frameSize <= 0)) {
        setError(error, "a sound stream of " + d->name + " needs a rate, channels and " +
                            (pcm ? "a block size" : "a frame size"));
        return -1;
    }
    AVStream* st = d->newStream(error);
    if (!st) return -1;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = codec;
    par->codec_tag = f.waveTag;
    par->bit_rate = f.bitRate;
    par->sample_rate = f.rate;
    av_channel_layout_default(&par->ch_layout, f.channels);
    par->bits_per_coded_sample = f.bitsPerSample;
    par->block_align = f.blockAlign;
    par->frame_size = f.frameSize;
    const AviUnit u = positionUnit(f);
    st->time_base = AVRational{u.num, u.den};
    if (!copyExtraData(par, f.extraData)) {
        setError(error, "out of memory describing a stream of " + d->name);
        return -1;
    }
    d->streams.push_back({st, AVRational{u.num, u.den}, false});
    return st->index;
}

int AviMuxer::streams() const {
    return int(d->streams.size());
}

bool AviMuxer::writeHeader(std::string* error) {
    if (d->headerWritten) return true;
    if (d->closed) {
        setError(error, name() + " is closed");
        return false;
    }
    if (d->streams.empty()) {
        setError(error, "no streams to write into " + d->name);
        return false;
    }
    return d->writeHeaderNow(error);
}

bool AviMuxer::headerWritten() const {
    return d->headerWritten;
}

bool AviMuxer::writePacket(int stream, int64_t position, const void* data, size_t size,
                           int64_t units, bool key, std::string* error) {
    if (!d->headerWritten || d->closed) {
        setError(error, "packets for " + d->name + " come between its header and its end");
        return false;
    }
    if (stream < 0 || stream >= streams()) {
        setError(error, "no stream " + std::to_string(stream) + " in " + d->name);
        return false;
    }
    Impl::Stream& s = d->streams[size_t(stream)];
    if (position < s.next) {
        setError(error,
                 "position " + std::to_string(position) + " of " + d->name + " is already written");
        return false;
    }
    if (!s.video && position != s.next) {
        setError(error, "the sound of " + d->name + " must go on at position " +
                            std::to_string(s.next) + ", not " + std::to_string(position));
        return false;
    }
    int64_t next = s.next, empty = s.empty;
    for (; next < position; ++next, ++empty)
        if (!d->writeOne(s, nullptr, 0, next, 1, false, error)) return false;
    if (!d->writeOne(s, data, size, position, units, key, error)) return false;
    s.next = position + units;
    s.empty = empty;
    return true;
}

int64_t AviMuxer::nextPosition(int stream) const {
    return d->streams.at(size_t(stream)).next;
}

int64_t AviMuxer::emptyPositions(int stream) const {
    return d->streams.at(size_t(stream)).empty;
}

bool AviMuxer::flush(std::string* error) {
    if (d->file) return d->file->flush(error);
    if (!d->sinkIo) {
        setError(error, d->name + " is closed");
        return false;
    }
    avio_flush(d->sinkIo);
    if (d->sinkIo->error < 0) {
        setError(error, "cannot write to " + d->name + ": " + avError(d->sinkIo->error));
        return false;
    }
    return true;
}

int64_t AviMuxer::tell() const {
    return d->fmt && d->fmt->pb ? avio_tell(d->fmt->pb) : d->endSize;
}

void AviMuxer::cutBack(int64_t offset) {
    std::string ignored; // the failure that led here is the one to report
    if (d->file) d->file->truncateTo(offset, &ignored);
}

bool AviMuxer::finish(std::string* error) {
    if (d->closed) {
        setError(error, d->name + " is already finished");
        return false;
    }
    return d->end(true, error);
}

bool AviMuxer::close(std::string* error) {
    if (d->closed) {
        setError(error, d->name + " is already finished");
        return false;
    }
    return d->end(false, error);
}

std::shared_ptr<const AviFileStatus> AviMuxer::status() const {
    return d->status;
}

int64_t AviMuxer::size() const {
    return d->endSize;
}

} // namespace platform::vfw
