#include "AviRecovery.h"

#include "AviMuxer.h"
#include "LibavError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace platform::vfw {

namespace {

struct InputCloser {
    void operator()(AVFormatContext* fmt) const { avformat_close_input(&fmt); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFree {
    void operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// An MPEG-4 part 2 picture is an I-VOP: the two bits after its VOP start code are 00.
bool mpeg4Intra(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 4 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6)
            return (data[i + 4] >> 6) == 0;
    return false;
}

bool intraPicture(uint32_t fourcc, const uint8_t* data, size_t size, const AVCodecParameters* par) {
    switch (fourcc) {
    case fourccMSVC:
        return msVideo1Intra(data, size, par->width, std::abs(par->height),
                             par->bits_per_coded_sample);
    case fourccXVID:
        return mpeg4Intra(data, size);
    default: // Motion JPEG: every picture stands alone
        return true;
    }
}

// The widest PCM sound a recording may carry; a rate or a channel count beyond is a damaged
// header (and would size the silence added at the end).
constexpr int MaxSoundRate = 384000;
constexpr int MaxSoundChannels = 8;
// The smallest chunk: its header alone, as an empty chunk for a skipped video position.
constexpr int64_t ChunkHeaderBytes = 8;

} // namespace

bool msVideo1Intra(const uint8_t* data, size_t size, int width, int height, int bitCount) {
    const int64_t blocks = int64_t(width / 4) * (height / 4);
    if (blocks <= 0) return false;
    size_t p = 0;
    for (int64_t b = 0; b < blocks; ++b) {
        if (p + 2 > size) return false;
        const uint8_t c = data[p + 1]; // the block's second byte says how it is coded
        p += 2;
        if ((c & 0xFC) == 0x84) return false; // a skip code: blocks kept from the picture before
        if (bitCount == 8) {
            if (c < 0x80)
                p += 2; // two colours
            else if (c >= 0x90)
                p += 8; // eight colours; else one colour, in the first byte
        } else if (c < 0x80) {
            if (p + 2 > size) return false;
            const unsigned first = unsigned(data[p]) | unsigned(data[p + 1]) << 8;
            p += (first & 0x8000) ? 16 : 4; // eight colours, or two
        }
    }
    return p <= size;
}

bool recoverAvi(const std::string& damaged, const std::string& repaired, RecoveredAvi* result,
                std::string* error, double soundUntil) {
    AVFormatContext* raw = nullptr;
    const int opened =
        avformat_open_input(&raw, damaged.c_str(), av_find_input_format("avi"), nullptr);
    if (opened < 0) {
        setError(error, "cannot read \"" + damaged + "\" as AVI: " + avError(opened));
        return false;
    }
    Input in(raw);

    // The first video and the first sound stream of the kinds the program writes.
    int videoIn = -1, audioIn = -1;
    uint32_t fourcc = 0;
    AviVideoFormat video;
    AviAudioFormat audio;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream* st = in->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoIn < 0) {
            const uint32_t tag = par->codec_tag;
            if (tag != fourccMSVC && tag != fourccXVID && tag != fourccMJPG) continue;
            // The stream header's scale and rate: one position is time_base seconds.
            if (st->time_base.num <= 0 || st->time_base.den <= 0) continue;
            // At least one position a second, as every recording has (1 to 1000 frames a
            // second): a damaged rate would stretch the video, and the silence added to its
            // sound, to any length.
            if (st->time_base.num > st->time_base.den) continue;
            videoIn = int(i);
            fourcc = tag;
            video.fourcc = tag;
            video.width = par->width;
            video.height = par->height;
            video.bitCount = par->bits_per_coded_sample;
            video.rateNum = st->time_base.den;
            video.rateDen = st->time_base.num;
            if (par->extradata_size > 0)
                video.extraData.assign(par->extradata, par->extradata + par->extradata_size);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioIn < 0) {
            if (par->codec_tag != waveTagPCM) continue;
            if (par->bits_per_coded_sample != 8 && par->bits_per_coded_sample != 16) continue;
            const int channels = par->ch_layout.nb_channels;
            if (channels <= 0 || channels > MaxSoundChannels) continue;
            if (par->sample_rate <= 0 || par->sample_rate > MaxSoundRate) continue;
            if (par->block_align != channels * par->bits_per_coded_sample / 8) continue;
            audioIn = int(i);
            audio.waveTag = waveTagPCM;
            audio.rate = par->sample_rate;
            audio.channels = par->ch_layout.nb_channels;
            audio.bitsPerSample = par->bits_per_coded_sample;
            audio.blockAlign = par->block_align;
        }
    }
    if (videoIn < 0 && audioIn < 0) {
        setError(error, "\"" + damaged +
                            "\" holds no stream that can be recovered (MSVC, XVID or MJPG "
                            "video, PCM sound)");
        return false;
    }

    std::unique_ptr<AviMuxer> mux = AviMuxer::toFile(repaired, error);
    if (!mux) return false;
    const int videoOut = videoIn >= 0 ? mux->addVideo(video, error) : -1;
    if (videoIn >= 0 && videoOut < 0) return false;
    const int audioOut = audioIn >= 0 ? mux->addAudio(audio, error) : -1;
    if (audioIn >= 0 && audioOut < 0) return false;
    if (!mux->writeHeader(error)) return false;

    RecoveredAvi r;
    r.hasVideo = videoOut >= 0;
    r.hasAudio = audioOut >= 0;
    if (r.hasVideo) r.videoFourcc = fourCCToString(fourcc);
    Packet pkt(av_packet_alloc());
    if (!pkt) {
        setError(error, "out of memory reading \"" + damaged + "\"");
        return false;
    }
    // A delta picture before the first picture that stands alone cannot be shown; the
    // recording's first picture always stands alone, so this drops nothing from a real one.
    bool intraSeen = false;
    // Every video position of a recording's file holds at least a chunk header (an empty chunk
    // for a skipped one), so none lies past this; a picture placed beyond by a damaged header
    // (its start or its timestamps) is left out, rather than filling the gap before it with
    // more empty chunks than the file ever held.
    const int64_t inputSize = avio_size(in->pb);
    const int64_t lastPosition = inputSize > 0 ? inputSize / ChunkHeaderBytes : 0;
    int64_t audioNext = 0;
    int readResult = 0;
    while ((readResult = av_read_frame(in.get(), pkt.get())) >= 0) {
        const AVPacket& p = *pkt;
        // A chunk the writer did not finish: its declared size is more than the file holds.
        const bool cut = (p.flags & AV_PKT_FLAG_CORRUPT) != 0;
        if (p.stream_index == videoIn && p.size > 0) {
            const int64_t position = p.pts != AV_NOPTS_VALUE ? p.pts : mux->nextPosition(videoOut);
            const bool intra = !cut && intraPicture(fourcc, p.data, size_t(p.size),
                                                    in->streams[videoIn]->codecpar);
            if (cut || position > lastPosition) {
                r.droppedBytes += p.size;
            } else if ((intraSeen || intra) && position >= mux->nextPosition(videoOut)) {
                if (!mux->writePacket(videoOut, position, p.data, size_t(p.size), 1, intra, error))
                    return false;
                intraSeen = true;
                ++r.videoSamples;
            }
        } else if (p.stream_index == audioIn && p.size > 0) {
            // Only whole sample frames: a partial one would shift every channel after it.
            const int64_t units = p.size / audio.blockAlign;
            const int64_t whole = units * audio.blockAlign;
            r.droppedBytes += p.size - whole;
            if (units > 0) {
                if (!mux->writePacket(audioOut, audioNext, p.data, size_t(whole), units, true,
                                      error))
                    return false;
                audioNext += units;
            }
        }
        av_packet_unref(pkt.get());
    }
    if (readResult != AVERROR_EOF && r.videoSamples == 0 && audioNext == 0) {
        setError(error, "cannot read the data of \"" + damaged + "\": " + avError(readResult));
        mux->close(nullptr);
        return false;
    }
    if (r.videoSamples == 0 && audioNext == 0) {
        setError(error, "\"" + damaged + "\" holds no whole sample to recover");
        mux->close(nullptr);
        return false;
    }
    if (r.hasVideo) {
        r.videoSkipped = mux->emptyPositions(videoOut);
        r.videoSeconds = double(mux->nextPosition(videoOut)) * video.rateDen / video.rateNum;
    }
    if (r.hasAudio && audioNext > 0) {
        const auto until = int64_t(soundUntil * audio.rate);
        if (until > audioNext) {
            // Silence: 0 for 16-bit samples, the middle value 0x80 for 8-bit ones; a second at
            // a time, so that a long gap takes no more memory than a short one.
            const int64_t piece = std::min<int64_t>(until - audioNext, audio.rate);
            const std::vector<uint8_t> silence(size_t(piece) * size_t(audio.blockAlign),
                                               audio.bitsPerSample == 8 ? 0x80 : 0);
            r.silenceSeconds = double(until - audioNext) / audio.rate;
            while (audioNext < until) {
                const int64_t units = std::min(piece, until - audioNext);
                if (!mux->writePacket(audioOut, audioNext, silence.data(),
                                      size_t(units) * size_t(audio.blockAlign), units, true, error))
                    return false;
                audioNext += units;
            }
        }
    }
    if (r.hasAudio) r.audioSeconds = double(audioNext) / audio.rate;
    if (!mux->finish(error)) return false;
    if (result) *result = r;
    return true;
}

} // namespace platform::vfw
