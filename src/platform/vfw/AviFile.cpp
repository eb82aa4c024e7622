#include "AviFile.h"

#include "Compressor.h"
#include "LibavError.h"
#include "OutputFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <cstring>
#include <vector>

namespace platform::vfw {

namespace {
void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
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

uint32_t videoForWindowsVersion() {
    // The service here stands in for version 1.10.
    return 0x010A0000u;
}

void releaseCompressOptions(AviCompressOptions& options) {
    // Our compressors attach nothing to the options; clear what a caller may have pointed at.
    options.format = nullptr;
    options.formatSize = 0;
    options.parms = nullptr;
    options.parmsSize = 0;
}

// The muxer side of one open file, shared by the file handle and its streams. The header is
// written once every stream has its format (at the first sample, or at the end for a file
// without samples); the trailer and index are written and the file closed when the last holder
// lets go, also after a failed sample write, so the samples written before stay indexed.
struct AviFile::Shared {
    std::string path;
    AVFormatContext* fmt = nullptr;
    std::unique_ptr<OutputFile> out;
    std::shared_ptr<AviFileStatus> status = std::make_shared<AviFileStatus>();
    bool headerWritten = false;
    bool failed = false; // a write failed: no further samples are taken
    int streams = 0;
    int streamsWithFormat = 0;

    ~Shared() {
        std::string error;
        bool ok = true;
        if (fmt && out) {
            if (!headerWritten && streams > 0 && streamsWithFormat == streams)
                ok = writeHeader(&error);
            if (headerWritten) {
                if (int rc = av_write_trailer(fmt); rc < 0 && ok) {
                    error = "cannot finish the AVI index of " + path + ": " + avError(rc);
                    ok = false;
                }
            }
        }
        if (out) {
            std::string why;
            if (!out->close(&why) && ok) {
                error = why;
                ok = false;
            }
        }
        if (fmt) avformat_free_context(fmt);
        status->ok = ok;
        status->error = error;
        status->finished = true;
    }

    bool writeHeader(std::string* error) {
        if (headerWritten) return true;
        if (int rc = avformat_write_header(fmt, nullptr); rc < 0) {
            failed = true;
            setError(error, "cannot write the AVI header of " + path + ": " + avError(rc));
            return false;
        }
        headerWritten = true;
        if (!out->flush(error)) {
            failed = true;
            return false;
        }
        return true;
    }

    // After a failed write: the file is cut back to where the write began, so that its end
    // can still be written into the room the failed bytes took.
    void takeBack(int64_t start) {
        failed = true;
        std::string ignored; // the failure already reported is the one that matters
        out->truncateTo(start, &ignored);
    }
};

AviFile::AviFile(std::shared_ptr<Shared> shared) : d(std::move(shared)) {}
AviFile::~AviFile() = default;
const std::string& AviFile::path() const {
    return d->path;
}
std::shared_ptr<const AviFileStatus> AviFile::status() const {
    return d->status;
}

std::shared_ptr<AviFile> AviFile::open(const std::string& path, uint32_t mode, std::string* error) {
    if (!(mode & OF_WRITE)) {
        setError(error, "opening " + path + " for reading is not offered by this service");
        return nullptr;
    }
    auto shared = std::make_shared<Shared>();
    shared->path = path;
    if (int rc = avformat_alloc_output_context2(&shared->fmt, nullptr, "avi", path.c_str());
        rc < 0) {
        setError(error, "cannot set up an AVI muxer for " + path + ": " + avError(rc));
        return nullptr;
    }
    // Without OF_CREATE the file must exist already; it is rewritten all the same.
    if (!(mode & OF_CREATE)) {
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
        } else {
            setError(error, "cannot open " + path + ": no such file");
            return nullptr;
        }
    }
    shared->out = OutputFile::create(path, error);
    if (!shared->out) return nullptr;
    shared->fmt->pb = shared->out->io();
    shared->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    return std::shared_ptr<AviFile>(new AviFile(std::move(shared)));
}

namespace {

// A stream as created on the file: it holds the stream header. Writing uncompressed samples
// into it directly is not offered; pictures reach the file through a compressed stream.
class PlainStream : public AviStream {
  public:
    PlainStream(std::shared_ptr<AviFile::Shared> file, AVStream* st, const AviStreamInfo& info)
        : file(std::move(file)), st(st), info(info) {}

    bool setFormat(const void*, size_t, std::string* error) override {
        setError(error, "set the format of " + file->path + " through its compressed stream");
        return false;
    }
    bool write(int64_t, const void*, size_t, uint32_t, std::string* error) override {
        setError(error, "write pictures into " + file->path + " through its compressed stream");
        return false;
    }
    int64_t samplesWritten() const override { return 0; }
    int64_t positionsSkipped() const override { return 0; }

    std::shared_ptr<AviFile::Shared> file;
    AVStream* st;
    AviStreamInfo info;
};

class CompressedStream : public AviStream {
  public:
    CompressedStream(std::shared_ptr<PlainStream> source, std::unique_ptr<VideoCompressor> codec,
                     const AviCompressOptions& options)
        : source_(std::move(source)), codec_(std::move(codec)), options_(options) {}

    bool setFormat(const void* format, size_t size, std::string* error) override {
        AviFile::Shared& file = *source_->file;
        if (formatSet_) {
            setError(error, "the format of the stream in " + file.path + " is already set");
            return false;
        }
        if (size < sizeof(screen::BitmapInfoHeader)) {
            setError(error, "a video format needs a 40-byte bitmap header");
            return false;
        }
        screen::BitmapInfoHeader in;
        std::memcpy(&in, format, sizeof in);
        const size_t colours =
            in.biBitCount <= 8 ? (in.biClrUsed ? in.biClrUsed : 1u << in.biBitCount) : 0;
        if (size < sizeof in + 4 * colours) {
            setError(error, "the video format lacks its colour table");
            return false;
        }
        const auto* palette = colours ? reinterpret_cast<const screen::RgbQuad*>(
                                            static_cast<const uint8_t*>(format) + sizeof in)
                                      : nullptr;
        std::vector<screen::RgbQuad> fullPalette;
        if (palette && colours < (1u << in.biBitCount)) {
            fullPalette.assign(palette, palette + colours);
            fullPalette.resize(size_t(1) << in.biBitCount);
            palette = fullPalette.data();
        }
        CompressorSettings settings;
        settings.keyFrameEvery = int(options_.keyFrameEvery);
        settings.quality = int(options_.quality);
        settings.scale = source_->info.scale ? source_->info.scale : 1;
        settings.rate = source_->info.rate ? source_->info.rate : 1;
        std::string why;
        if (!codec_->begin(in, palette, settings, &why)) {
            setError(error, "cannot compress " + std::to_string(in.biWidth) + "x" +
                                std::to_string(in.biHeight) + " pictures with " +
                                fourCCToString(codec_->fourcc()) + " for " + file.path + ": " +
                                why);
            return false;
        }
        bits_ = in.biBitCount;
        imageSize_ = size_t(screen::dibRowStride(in.biWidth, in.biBitCount)) *
                     size_t(in.biHeight < 0 ? -in.biHeight : in.biHeight);

        AVCodecParameters* par = source_->st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AVCodecID(codec_->codecId());
        par->codec_tag = codec_->fourcc();
        par->width = in.biWidth;
        par->height = in.biHeight < 0 ? -in.biHeight : in.biHeight;
        par->bits_per_coded_sample = codec_->outputBitCount();
        formatSet_ = true;
        ++file.streamsWithFormat;
        return true;
    }

    bool write(int64_t position, const void* data, size_t size, uint32_t flags,
               std::string* error) override {
        AviFile::Shared& file = *source_->file;
        if (!formatSet_) {
            setError(error, "the stream in " + file.path + " has no format yet");
            return false;
        }
        if (position < next_) {
            setError(error, "position " + std::to_string(position) + " of " + file.path +
                                " is already written");
            return false;
        }
        if (size < imageSize_) {
            setError(error, "a sample of " + std::to_string(size) + " bytes is smaller than one " +
                                std::to_string(imageSize_) + "-byte picture");
            return false;
        }
        if (file.failed) {
            setError(error, "an earlier write to " + file.path + " failed");
            return false;
        }
        if (!file.headerWritten && !file.writeHeader(error)) return false;

        CompressedSample sample;
        std::string why;
        if (!codec_->compress(static_cast<const uint8_t*>(data), sample, &why)) {
            setError(error, "compressing a picture for " + file.path + " failed: " + why);
            return false;
        }
        // Everything before this point has reached the system (the last write was flushed).
        const int64_t start = avio_tell(file.fmt->pb);
        int64_t next = next_, skipped = skipped_;
        bool ok = true;
        for (; ok && next < position; ++next, ++skipped)
            ok = writePacket(nullptr, 0, false, next, error);
        const bool key = sample.keyFrame || (flags & AVIIF_KEYFRAME);
        ok = ok && writePacket(sample.data.data(), sample.data.size(), key, position, error);
        // A sample counts once its bytes are out of libavformat's buffer: a full disk is
        // noticed at this sample, not some samples later.
        ok = ok && file.out->flush(error);
        if (!ok) {
            file.takeBack(start);
            return false;
        }
        next_ = position + 1;
        skipped_ = skipped;
        ++written_;
        return true;
    }

    int64_t samplesWritten() const override { return written_; }
    int64_t positionsSkipped() const override { return skipped_; }

  private:
    bool writePacket(const uint8_t* data, size_t size, bool key, int64_t position,
                     std::string* error) {
        AviFile::Shared& file = *source_->file;
        AVPacket* pkt = av_packet_alloc();
        if (size) {
            if (av_new_packet(pkt, int(size)) < 0) {
                av_packet_free(&pkt);
                setError(error, "out of memory writing " + file.path);
                return false;
            }
            std::memcpy(pkt->data, data, size);
        }
        const AVRational tb{int(source_->info.scale ? source_->info.scale : 1),
                            int(source_->info.rate ? source_->info.rate : 1)};
        pkt->pts = pkt->dts = av_rescale_q(position, tb, source_->st->time_base);
        pkt->duration = av_rescale_q(1, tb, source_->st->time_base);
        pkt->stream_index = source_->st->index;
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        const int rc = av_write_frame(file.fmt, pkt);
        av_packet_free(&pkt);
        if (rc < 0) {
            setError(error, "cannot write to " + file.path + ": " + avError(rc));
            return false;
        }
        return true;
    }

    std::shared_ptr<PlainStream> source_;
    std::unique_ptr<VideoCompressor> codec_;
    AviCompressOptions options_;
    bool formatSet_ = false;
    int bits_ = 0;
    size_t imageSize_ = 0;
    int64_t next_ = 0;
    int64_t written_ = 0;
    int64_t skipped_ = 0;
};

} // namespace

std::shared_ptr<AviStream> AviFile::createStream(const AviStreamInfo& info, std::string* error) {
    if (d->headerWritten) {
        setError(error, "cannot add a stream to " + d->path + " after writing has begun");
        return nullptr;
    }
    if (info.fccType != streamtypeVIDEO) {
        setError(error, "only video streams are offered for " + d->path);
        return nullptr;
    }
    if (info.rate == 0 || info.scale == 0) {
        setError(error, "a stream of " + d->path + " needs a non-zero rate and scale");
        return nullptr;
    }
    AVStream* st = avformat_new_stream(d->fmt, nullptr);
    if (!st) {
        setError(error, "cannot add a stream to " + d->path);
        return nullptr;
    }
    st->time_base = AVRational{int(info.scale), int(info.rate)};
    st->avg_frame_rate = AVRational{int(info.rate), int(info.scale)};
    st->r_frame_rate = st->avg_frame_rate;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->width = info.frame.right - info.frame.left;
    st->codecpar->height = info.frame.bottom - info.frame.top;
    ++d->streams;
    return std::make_shared<PlainStream>(d, st, info);
}

namespace {

std::shared_ptr<PlainStream> compressibleSource(const std::shared_ptr<AviStream>& source,
                                                const AviCompressOptions& options,
                                                std::string* error) {
    auto plain = std::dynamic_pointer_cast<PlainStream>(source);
    if (!plain) {
        setError(error, "a compressed stream needs a stream created on an AVI file");
        return nullptr;
    }
    if (options.fccType != streamtypeVIDEO) {
        setError(error, "only video streams can be compressed here");
        return nullptr;
    }
    return plain;
}

} // namespace

std::shared_ptr<AviStream> makeCompressedStream(std::shared_ptr<AviStream> source,
                                                const AviCompressOptions& options,
                                                std::string* error) {
    auto plain = compressibleSource(source, options, error);
    if (!plain) return nullptr;
    auto codec = VideoCompressor::find(options.fccHandler);
    if (!codec) {
        setError(error, "no compressor is installed for FourCC \"" +
                            fourCCToString(options.fccHandler) + "\" (writing " +
                            plain->file->path + ")");
        return nullptr;
    }
    return std::make_shared<CompressedStream>(std::move(plain), std::move(codec), options);
}

std::shared_ptr<AviStream> makeCompressedStream(std::shared_ptr<AviStream> source,
                                                const AviCompressOptions& options,
                                                std::unique_ptr<VideoCompressor> compressor,
                                                std::string* error) {
    auto plain = compressibleSource(source, options, error);
    if (!plain) return nullptr;
    if (!compressor) {
        setError(error, "no compressor given for " + plain->file->path);
        return nullptr;
    }
    return std::make_shared<CompressedStream>(std::move(plain), std::move(compressor), options);
}

bool aviFileHasSamples(const std::string& path) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
    bool found = false;
    AVPacket* pkt = av_packet_alloc();
    // Empty chunks (positions a recording skipped) are no samples; a few thousand at most are
    // looked at, so a long recording is answered at once from its first chunks.
    for (int i = 0; pkt && !found && i < 4096 && av_read_frame(fmt, pkt) >= 0; ++i) {
        found = pkt->size > 0;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return found;
}

} // namespace platform::vfw
