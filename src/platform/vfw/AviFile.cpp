#include "AviFile.h"

#include "LibavError.h"

#include "Compressor.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform::vfw {

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
    std::unique_ptr<AviMuxer> mux;
    bool failed = false; // a write failed: no further samples are taken
    int streams = 0;

    ~Shared() {
        // A stream without its format cannot be described: such a file is closed as it is.
        if (!mux) return;
        if (mux->streams() == streams)
            mux->finish(nullptr);
        else
            mux->close(nullptr);
    }

    bool writeHeader(std::string* error) {
        if (mux->headerWritten()) return true;
        if (!mux->writeHeader(error) || !mux->flush(error)) {
            failed = true;
            return false;
        }
        return true;
    }

    // After a failed write: the file is cut back to where the write began, so that its end
    // can still be written into the room the failed bytes took.
    void takeBack(int64_t start) {
        failed = true;
        mux->cutBack(start);
    }
};

AviFile::AviFile(std::shared_ptr<Shared> shared) : d(std::move(shared)) {}
AviFile::~AviFile() = default;
const std::string& AviFile::path() const {
    return d->path;
}
std::shared_ptr<const AviFileStatus> AviFile::status() const {
    return d->mux->status();
}

std::shared_ptr<AviFile> AviFile::open(const std::string& path, uint32_t mode, std::string* error) {
    if (!(mode & OF_WRITE)) {
        setError(error, "opening " + path + " for reading is not offered by this service");
        return nullptr;
    }
    auto shared = std::make_shared<Shared>();
    shared->path = path;
    // Without OF_CREATE the file must exist already; it is rewritten all the same.
    if (!(mode & OF_CREATE)) {
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
        } else {
            setError(error, "cannot open " + path + ": no such file");
            return nullptr;
        }
    }
    shared->mux = AviMuxer::toFile(path, error);
    if (!shared->mux) return nullptr;
    return std::shared_ptr<AviFile>(new AviFile(std::move(shared)));
}

namespace {

// A stream as created on the file: it holds the stream header. Writing uncompressed samples
// into it directly is not offered; pictures reach the file through a compressed stream.
class PlainStream : public AviStream {
  public:
    PlainStream(std::shared_ptr<AviFile::Shared> file, const AviStreamInfo& info)
        : file(std::move(file)), info(info) {}

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
    AviStreamInfo info;
    int index = -1; // in the muxer, once the format is set
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

        AviVideoFormat described;
        described.fourcc = codec_->fourcc();
        described.width = in.biWidth;
        described.height = in.biHeight < 0 ? -in.biHeight : in.biHeight;
        described.bitCount = codec_->outputBitCount();
        described.rateNum = int(settings.rate);
        described.rateDen = int(settings.scale);
        source_->index = file.mux->addVideo(described, error);
        if (source_->index < 0) return false;
        formatSet_ = true;
        return true;
    }

    bool write(int64_t position, const void* data, size_t size, uint32_t /*flags*/,
               std::string* error) override {
        AviFile::Shared& file = *source_->file;
        if (!formatSet_) {
            setError(error, "the stream in " + file.path + " has no format yet");
            return false;
        }
        if (position < file.mux->nextPosition(source_->index)) {
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
        if (!file.writeHeader(error)) return false;

        CompressedSample sample;
        std::string why;
        if (!codec_->compress(static_cast<const uint8_t*>(data), sample, &why)) {
            setError(error, "compressing a picture for " + file.path + " failed: " + why);
            return false;
        }
        // Everything before this point has reached the system (the last write was flushed).
        const int64_t start = file.mux->tell();
        // The index marks the samples the compressor made key frames, whatever the caller
        // flagged: a delta frame indexed as a key frame shows garbage when a player seeks to it.
        const bool key = sample.keyFrame;
        // A sample counts once its bytes are out of libavformat's buffer: a full disk is
        // noticed at this sample, not some samples later.
        if (!file.mux->writePacket(source_->index, position, sample.data.data(), sample.data.size(),
                                   1, key, error) ||
            !file.mux->flush(error)) {
            file.takeBack(start);
            return false;
        }
        ++written_;
        return true;
    }

    int64_t samplesWritten() const override { return written_; }
    int64_t positionsSkipped() const override {
        return formatSet_ ? source_->file->mux->emptyPositions(source_->index) : 0;
    }

  private:
    std::shared_ptr<PlainStream> source_;
    std::unique_ptr<VideoCompressor> codec_;
    AviCompressOptions options_;
    bool formatSet_ = false;
    int bits_ = 0;
    size_t imageSize_ = 0;
    int64_t written_ = 0;
};

} // namespace

std::shared_ptr<AviStream> AviFile::createStream(const AviStreamInfo& info, std::string* error) {
    if (d->mux->headerWritten()) {
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
    ++d->streams;
    return std::make_shared<PlainStream>(d, info);
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

bool readAviSummary(const std::string& path, AviSummary* summary, std::string* error) {
    AVFormatContext* fmt = nullptr;
    const int opened =
        avformat_open_input(&fmt, path.c_str(), av_find_input_format("avi"), nullptr);
    if (opened < 0) {
        if (error) *error = avError(opened);
        return false;
    }
    AviSummary s;
    int videoIndex = -1;
    // A PCM stream states no duration of its own, only its count of sample frames.
    const auto lengthOf = [](const AVStream* st) {
        if (st->duration > 0) return double(st->duration) * av_q2d(st->time_base);
        return st->nb_frames > 0 ? double(st->nb_frames) * av_q2d(st->time_base) : 0.0;
    };
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && !s.hasVideo) {
            s.hasVideo = true;
            videoIndex = int(i);
            s.videoSeconds = lengthOf(st);
            s.videoFrames = st->nb_frames;
            s.width = par->width;
            s.height = par->height;
            s.rateNum = st->avg_frame_rate.num ? st->avg_frame_rate.num : st->r_frame_rate.num;
            s.rateDen = st->avg_frame_rate.num ? st->avg_frame_rate.den : st->r_frame_rate.den;
            for (int b = 0; b < 4; ++b)
                s.videoFourcc += char(par->codec_tag >> (8 * b) & 0xFF);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && !s.hasAudio) {
            s.hasAudio = true;
            s.audioTag = uint16_t(par->codec_tag);
            s.audioSeconds = lengthOf(st);
        }
    }
    // The longest stream, as its header gives it.
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->duration > 0)
            s.seconds = std::max(s.seconds, double(st->duration) * av_q2d(st->time_base));
    }
    if (s.seconds == 0 && fmt->duration > 0) s.seconds = double(fmt->duration) / AV_TIME_BASE;
    if (videoIndex >= 0) {
        AVPacket* pkt = av_packet_alloc();
        while (pkt && av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == videoIndex && pkt->size > 0) ++s.videoPictures;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    *summary = s;
    return true;
}

} // namespace platform::vfw
