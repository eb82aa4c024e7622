// The stream detector: what a media file holds (its streams, their kind, length, frame rate,
// caps and media type), read once when the file is named and kept as plain values. An AVI is
// read from its stream headers (AviHeaders.h); any other file, and an AVI whose headers do
// not parse, by GstDiscoverer, which runs to its end (or its time-out) inside put_Filename.
// Called on the user-interface thread.
#include "platform/dshow/base/AviHeaders.h"
#include "platform/dshow/graph/GraphServices.h"
#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/graph/StreamStart.h"
#include "platform/dshow/timeline/Timeline.h"

#include <gst/pbutils/pbutils.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <sys/stat.h>
#include <vector>

namespace platform::dshow {

namespace {

// Long enough for a large file on a busy machine; a file that takes longer is no file to cut.
constexpr GstClockTime DiscoverTimeout = 5 * GST_SECOND;
// What a stream that tells no depth is given, as the platform's decoders report it.
constexpr int DefaultDepth = 24;

constexpr uint32_t WAVE_FORMAT_PCM = 0x0001, WAVE_FORMAT_ADPCM = 0x0002,
                   WAVE_FORMAT_IEEE_FLOAT = 0x0003, WAVE_FORMAT_ALAW = 0x0006,
                   WAVE_FORMAT_MULAW = 0x0007, WAVE_FORMAT_DVI_ADPCM = 0x0011,
                   WAVE_FORMAT_MPEG = 0x0050, WAVE_FORMAT_MPEGLAYER3 = 0x0055,
                   WAVE_FORMAT_AAC = 0x00FF, WAVE_FORMAT_WMA1 = 0x0160, WAVE_FORMAT_WMA2 = 0x0161,
                   WAVE_FORMAT_AC3 = 0x2000, WAVE_FORMAT_FLAC = 0xF1AC;

struct StreamFacts {
    GUID majorType = GUID_NULL;
    double fps = 0;
    std::string caps;
    AM_MEDIA_TYPE mt;
    bool lengthKnown = false;
    double length = 0;
};

GUID fourccGuid(uint32_t code) {
    return GUID{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

void put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = uint8_t(x);
    v[at + 1] = uint8_t(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + size_t(i)] = uint8_t(x >> (8 * i));
}
void put64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    for (int i = 0; i < 8; ++i)
        v[at + size_t(i)] = uint8_t(x >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 |
           uint32_t(v[at + 3]) << 24;
}
uint32_t get16(const std::vector<uint8_t>& v, size_t at) {
    return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8;
}

// A video-info block: empty rectangles, no bit rates, the time per frame, then the bitmap
// header as given (with whatever follows it: a colour table, codec data).
AM_MEDIA_TYPE videoType(const std::vector<uint8_t>& bitmapHeader, uint64_t timePerFrame) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Video;
    const uint32_t compression = get32(bitmapHeader, 16);
    const uint32_t bits = get16(bitmapHeader, 14);
    if (compression == 0)
        mt.subtype = bits == 24   ? MEDIASUBTYPE_RGB24
                     : bits == 32 ? MEDIASUBTYPE_RGB32
                                  : fourccGuid(0);
    else
        mt.subtype = fourccGuid(compression);
    mt.bFixedSizeSamples = compression == 0;
    mt.bTemporalCompression = compression != 0;
    mt.lSampleSize = get32(bitmapHeader, 20);
    mt.formattype = FORMAT_VideoInfo;
    mt.format.assign(48, 0);
    put64(mt.format, 40, timePerFrame);
    mt.format.insert(mt.format.end(), bitmapHeader.begin(), bitmapHeader.end());
    return mt;
}

std::vector<uint8_t> bitmapHeader(int width, int height, int bits, uint32_t compression) {
    std::vector<uint8_t> b(40, 0);
    put32(b, 0, 40);
    put32(b, 4, uint32_t(width));
    put32(b, 8, uint32_t(height));
    put16(b, 12, 1);
    put16(b, 14, uint32_t(bits));
    put32(b, 16, compression);
    const uint64_t rowBytes = (uint64_t(uint32_t(width)) * uint32_t(bits) + 31) / 32 * 4;
    if (compression == 0) put32(b, 20, uint32_t(rowBytes * uint32_t(std::abs(height))));
    return b;
}

AM_MEDIA_TYPE audioType(const std::vector<uint8_t>& waveFormat) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = fourccGuid(get16(waveFormat, 0));
    mt.bFixedSizeSamples = get16(waveFormat, 0) == WAVE_FORMAT_PCM;
    mt.lSampleSize = get16(waveFormat, 12);
    mt.formattype = FORMAT_WaveFormatEx;
    mt.format = waveFormat;
    return mt;
}

std::vector<uint8_t> waveFormat(uint32_t tag, int channels, int rate, int bits, uint32_t avgBytes,
                                int blockAlign) {
    std::vector<uint8_t> w(18, 0);
    put16(w, 0, tag);
    put16(w, 2, uint32_t(channels));
    put32(w, 4, uint32_t(rate));
    put32(w, 8, avgBytes);
    put16(w, 12, uint32_t(blockAlign));
    put16(w, 14, uint32_t(bits));
    return w;
}

std::string upperFourCC(uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char(std::toupper(int(uint8_t(code >> (8 * i)))));
    return s;
}

// -- AVI streams, from their headers. Their caps are what GStreamer's AVI reader gives the
// same stream, for the callers that look at caps.

std::string aviVideoCaps(const AviStreamHeader& s) {
    const uint32_t compression = get32(s.format, 16);
    const uint32_t bits = get16(s.format, 14);
    const std::string code = upperFourCC(compression);
    std::string caps;
    if (compression == 0)
        caps = bits == 24   ? "video/x-raw, format=(string)BGR"
               : bits == 32 ? "video/x-raw, format=(string)BGRx"
                            : "video/x-raw";
    else if (code == "MJPG" || code == "JPEG" || code == "AVRN" || code == "LJPG" || code == "DMB1")
        caps = "image/jpeg";
    else if (code == "XVID")
        caps = "video/x-xvid";
    else if (code == "DIVX" || code == "DX50")
        caps = std::string("video/x-divx, divxversion=(int)") + (code == "DX50" ? "5" : "4");
    else if (code == "DIV3" || code == "DIV4" || code == "MP43")
        caps = "video/x-divx, divxversion=(int)3";
    else if (code == "FMP4" || code == "MP4V" || code == "M4S2" || code == "MP4S")
        caps = "video/mpeg, mpegversion=(int)4, systemstream=(boolean)false";
    else if (code == "H264" || code == "X264" || code == "AVC1" || code == "DAVC")
        caps = "video/x-h264";
    else if (code == "CRAM" || code == "MSVC" || code == "WHAM")
        caps = "video/x-msvideocodec, msvideoversion=(int)1";
    else if (code == "YUY2")
        caps = "video/x-raw, format=(string)YUY2";
    else if (code == "I420" || code == "IYUV")
        caps = "video/x-raw, format=(string)I420";
    else
        caps = "video/x-avi-unknown";
    caps += ", width=(int)" + std::to_string(int32_t(get32(s.format, 4))) + ", height=(int)" +
            std::to_string(std::abs(int64_t(int32_t(get32(s.format, 8)))));
    if (s.rate > 0 && s.scale > 0) {
        const uint32_t g = std::gcd(s.rate, s.scale);
        caps += ", framerate=(fraction)" + std::to_string(s.rate / g) + "/" +
                std::to_string(s.scale / g);
    }
    return caps;
}

std::string aviAudioCaps(const AviStreamHeader& s) {
    const uint32_t tag = get16(s.format, 0), bits = get16(s.format, 14);
    std::string caps;
    switch (tag) {
    case WAVE_FORMAT_PCM:
        caps = bits == 8    ? "audio/x-raw, format=(string)U8"
               : bits == 24 ? "audio/x-raw, format=(string)S24LE"
               : bits == 32 ? "audio/x-raw, format=(string)S32LE"
                            : "audio/x-raw, format=(string)S16LE";
        caps += ", layout=(string)interleaved";
        break;
    case WAVE_FORMAT_IEEE_FLOAT:
        caps = "audio/x-raw, format=(string)F32LE, layout=(string)interleaved";
        break;
    case WAVE_FORMAT_MPEGLAYER3:
        caps = "audio/mpeg, mpegversion=(int)1, layer=(int)3";
        break;
    case WAVE_FORMAT_MPEG:
        caps = "audio/mpeg, mpegversion=(int)1";
        break;
    case WAVE_FORMAT_ALAW:
        caps = "audio/x-alaw";
        break;
    case WAVE_FORMAT_MULAW:
        caps = "audio/x-mulaw";
        break;
    case WAVE_FORMAT_DVI_ADPCM:
        caps = "audio/x-adpcm, layout=(string)dvi";
        break;
    case WAVE_FORMAT_ADPCM:
        caps = "audio/x-adpcm, layout=(string)microsoft";
        break;
    case WAVE_FORMAT_AAC:
        caps = "audio/mpeg, mpegversion=(int)4";
        break;
    case WAVE_FORMAT_AC3:
        caps = "audio/x-ac3";
        break;
    default:
        caps = "audio/x-avi-unknown";
    }
    return caps + ", rate=(int)" + std::to_string(get32(s.format, 4)) + ", channels=(int)" +
           std::to_string(get16(s.format, 2));
}

StreamFacts factsOf(const AviStreamHeader& s) {
    StreamFacts f;
    const bool rated = s.rate > 0 && s.scale > 0;
    if (s.rate > 0) {
        f.lengthKnown = true;
        f.length = double(s.length) * double(s.scale) / double(s.rate);
    }
    if (s.type == makeFourCC('v', 'i', 'd', 's')) {
        f.majorType = MEDIATYPE_Video;
        if (rated) f.fps = double(s.rate) / double(s.scale);
        const uint64_t timePerFrame = rated ? uint64_t(s.scale) * 10000000u / s.rate : 0;
        f.mt = videoType(s.format, timePerFrame);
        f.caps = aviVideoCaps(s);
    } else if (s.type == makeFourCC('a', 'u', 'd', 's')) {
        f.majorType = MEDIATYPE_Audio;
        f.mt = audioType(s.format);
        f.caps = aviAudioCaps(s);
    }
    return f;
}

// -- Other files, from the discoverer's caps.

std::string capsText(const GstCaps* caps) {
    if (!caps) return {};
    gchar* text = gst_caps_to_string(caps);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

int intField(const GstStructure* s, const char* name) {
    int v = 0;
    gst_structure_get_int(s, name, &v);
    return v;
}

std::string stringField(const GstStructure* s, const char* name) {
    const char* v = gst_structure_get_string(s, name);
    return v ? v : "";
}

// The compression FourCC and depth an AVI would carry for video caps; 0 with known = false for
// a kind that has none.
uint32_t videoFourCC(const GstStructure* s, int* bits, bool* known) {
    const std::string name = gst_structure_get_name(s);
    *known = true;
    if (name == "video/x-raw") {
        const std::string format = stringField(s, "format");
        if (format == "BGR") {
            *bits = 24;
            return 0;
        }
        if (format == "BGRx" || format == "BGRA") {
            *bits = 32;
            return 0;
        }
        struct Raw {
            const char* format;
            const char* code;
            int bits;
        } raws[] = {{"I420", "I420", 12}, {"YV12", "YV12", 12}, {"NV12", "NV12", 12},
                    {"YUY2", "YUY2", 16}, {"UYVY", "UYVY", 16}, {"YVYU", "YVYU", 16}};
        for (const Raw& r : raws)
            if (format == r.format) {
                *bits = r.bits;
                return makeFourCC(r.code[0], r.code[1], r.code[2], r.code[3]);
            }
        *known = false;
        return 0;
    }
    struct Kind {
        const char* name;
        const char* field; // a version field that must match, or null
        int version;
        const char* code;
    } kinds[] = {{"video/x-xvid", nullptr, 0, "XVID"},
                 {"video/x-divx", "divxversion", 3, "DIV3"},
                 {"video/x-divx", "divxversion", 4, "DIVX"},
                 {"video/x-divx", "divxversion", 5, "DX50"},
                 {"video/mpeg", "mpegversion", 4, "MP4V"},
                 {"video/mpeg", "mpegversion", 1, "MPG1"},
                 {"video/mpeg", "mpegversion", 2, "MPG2"},
                 {"video/x-h264", nullptr, 0, "H264"},
                 {"video/x-h265", nullptr, 0, "HEVC"},
                 {"video/x-h263", nullptr, 0, "H263"},
                 {"image/jpeg", nullptr, 0, "MJPG"},
                 {"video/x-msvideocodec", nullptr, 0, "CRAM"},
                 {"video/x-msmpeg", "msmpegversion", 41, "MPG4"},
                 {"video/x-msmpeg", "msmpegversion", 42, "MP42"},
                 {"video/x-msmpeg", "msmpegversion", 43, "MP43"},
                 {"video/x-wmv", "wmvversion", 1, "WMV1"},
                 {"video/x-wmv", "wmvversion", 2, "WMV2"},
                 {"video/x-wmv", "wmvversion", 3, "WMV3"},
                 {"video/x-vp8", nullptr, 0, "VP80"},
                 {"video/x-vp9", nullptr, 0, "VP90"},
                 {"video/x-av1", nullptr, 0, "AV01"},
                 {"video/x-huffyuv", nullptr, 0, "HFYU"},
                 {"video/x-cinepak", nullptr, 0, "cvid"},
                 {"video/x-dv", nullptr, 0, "dvsd"},
                 {"video/x-flash-video", nullptr, 0, "FLV1"},
                 {"video/x-svq", "svqversion", 1, "SVQ1"},
                 {"video/x-svq", "svqversion", 3, "SVQ3"}};
    for (const Kind& k : kinds) {
        if (name != k.name || (k.field && intField(s, k.field) != k.version)) continue;
        if (name == "video/x-wmv" && stringField(s, "format") == "WVC1")
            return makeFourCC('W', 'V', 'C', '1');
        return makeFourCC(k.code[0], k.code[1], k.code[2], k.code[3]);
    }
    *known = false;
    return 0;
}

// The wave tag and bits per sample an AVI would carry for sound caps; tag 0 for a kind that
// has none.
uint32_t waveTag(const GstStructure* s, int* bits) {
    const std::string name = gst_structure_get_name(s);
    *bits = 0;
    if (name == "audio/x-raw") {
        const std::string format = stringField(s, "format");
        if (format.empty()) return 0;
        const bool floating = format[0] == 'F';
        *bits = std::atoi(format.c_str() + 1);
        if (format == "U8" || format == "S8") *bits = 8;
        return floating ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    }
    if (name == "audio/mpeg") {
        const int version = intField(s, "mpegversion");
        if (version == 1)
            return intField(s, "layer") == 3 ? WAVE_FORMAT_MPEGLAYER3 : WAVE_FORMAT_MPEG;
        return WAVE_FORMAT_AAC;
    }
    if (name == "audio/x-alaw" || name == "audio/x-mulaw") {
        *bits = 8;
        return name == "audio/x-alaw" ? WAVE_FORMAT_ALAW : WAVE_FORMAT_MULAW;
    }
    if (name == "audio/x-adpcm") {
        const std::string layout = stringField(s, "layout");
        *bits = 4;
        if (layout == "dvi") return WAVE_FORMAT_DVI_ADPCM;
        if (layout == "microsoft") return WAVE_FORMAT_ADPCM;
        *bits = 0;
        return 0;
    }
    if (name == "audio/x-ac3") return WAVE_FORMAT_AC3;
    if (name == "audio/x-flac") return WAVE_FORMAT_FLAC;
    if (name == "audio/x-wma")
        return intField(s, "wmaversion") == 1 ? WAVE_FORMAT_WMA1 : WAVE_FORMAT_WMA2;
    return 0;
}

StreamFacts factsOf(GstDiscovererStreamInfo* info) {
    StreamFacts f;
    const CapsRef caps(gst_discoverer_stream_info_get_caps(info));
    f.caps = capsText(caps);
    const GstStructure* s =
        caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    if (GST_IS_DISCOVERER_VIDEO_INFO(info)) {
        auto* v = GST_DISCOVERER_VIDEO_INFO(info);
        f.majorType = MEDIATYPE_Video;
        const guint num = gst_discoverer_video_info_get_framerate_num(v);
        const guint den = gst_discoverer_video_info_get_framerate_denom(v);
        // A still picture or a variable rate reads as 0/1.
        if (num > 0 && den > 0) f.fps = double(num) / den;
        int bits = 0;
        bool known = false;
        const uint32_t code = s ? videoFourCC(s, &bits, &known) : 0;
        if (bits == 0) bits = DefaultDepth;
        const uint64_t timePerFrame = num > 0 && den > 0 ? uint64_t(den) * 10000000u / num : 0;
        f.mt = videoType(bitmapHeader(int(gst_discoverer_video_info_get_width(v)),
                                      int(gst_discoverer_video_info_get_height(v)), bits, code),
                         timePerFrame);
        if (!known) f.mt.subtype = GUID_NULL;
    } else if (GST_IS_DISCOVERER_AUDIO_INFO(info)) {
        auto* a = GST_DISCOVERER_AUDIO_INFO(info);
        f.majorType = MEDIATYPE_Audio;
        int bits = 0;
        uint32_t tag = s ? waveTag(s, &bits) : 0;
        // A WAV file's sound is named by its container's caps, which carry no sample format:
        // the discoverer's depth tells its bits (PCM is what such a stream holds when the
        // depth is known).
        if (s && std::string(gst_structure_get_name(s)) == "audio/x-wav") {
            bits = int(gst_discoverer_audio_info_get_depth(a));
            tag = bits > 0 ? WAVE_FORMAT_PCM : 0;
        }
        const int rate = int(gst_discoverer_audio_info_get_sample_rate(a));
        const int channels = int(gst_discoverer_audio_info_get_channels(a));
        int block = s ? intField(s, "block_align") : 0;
        uint32_t avgBytes = 0;
        if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_ALAW ||
            tag == WAVE_FORMAT_MULAW) {
            block = channels * bits / 8;
            avgBytes = uint32_t(rate) * uint32_t(std::max(block, 0));
        } else {
            guint bitrate = gst_discoverer_audio_info_get_bitrate(a);
            if (bitrate == 0) bitrate = gst_discoverer_audio_info_get_max_bitrate(a);
            avgBytes = bitrate / 8;
        }
        f.mt = audioType(waveFormat(tag, channels, rate, bits, avgBytes, block));
    }
    return f;
}

// What the discoverer found in the files read last, by the file's identity (device, inode,
// size, modification time), so that the several readers of one job (its checks, the stream
// detection, the timeline's frame rate) discover a file once. A file that changes is read
// again. This class is thread-safe.
class DiscoveredFiles {
  public:
    struct Entry {
        std::string key;
        std::vector<StreamFacts> streams;
    };
    static std::string keyOf(const std::string& fileName) {
        struct stat st {};
        if (::stat(fileName.c_str(), &st) != 0) return {};
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
               std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec) + ":" + fileName;
    }
    bool find(const std::string& key, std::vector<StreamFacts>* streams) {
        const std::lock_guard lock(mutex_);
        for (const Entry& e : entries_)
            if (e.key == key) {
                *streams = e.streams;
                return true;
            }
        return false;
    }
    void keep(const std::string& key, const std::vector<StreamFacts>& streams) {
        const std::lock_guard lock(mutex_);
        entries_.push_front({key, streams});
        if (entries_.size() > Kept) entries_.pop_back();
    }

  private:
    static constexpr size_t Kept = 8;
    std::mutex mutex_;
    std::deque<Entry> entries_; // guarded by mutex_; the newest first
};

DiscoveredFiles& discoveredFiles() {
    static DiscoveredFiles files;
    return files;
}

class MediaDet final : public IMediaDet {
  public:
    HRESULT put_Filename(const std::string& fileName) override {
        streams_.clear();
        current_ = 0;
        length_ = 0;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(fileName, ec)) return E_FILE_NOT_FOUND;
        AviHeaders avi;
        if (readAviHeaders(fileName, &avi) && !avi.streams.empty()) {
            for (const AviStreamHeader& s : avi.streams)
                streams_.push_back(factsOf(s));
            fileName_ = fileName;
            return S_OK;
        }
        return discover(fileName);
    }

    HRESULT get_OutputStreams(long* count) override {
        if (!count) return E_POINTER;
        *count = long(streams_.size());
        return S_OK;
    }

    HRESULT put_CurrentStream(long index) override {
        if (index < 0 || index >= long(streams_.size())) return E_INVALIDARG;
        current_ = size_t(index);
        return S_OK;
    }

    HRESULT get_StreamType(GUID* majorType) override {
        if (!majorType) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *majorType = streams_[current_].majorType;
        return S_OK;
    }

    HRESULT get_StreamLength(double* seconds) override {
        if (!seconds) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        if (!streams_[current_].lengthKnown) return VFW_E_INVALID_FILE_FORMAT;
        *seconds = streams_[current_].length;
        return S_OK;
    }

    HRESULT get_FrameRate(double* fps) override {
        if (!fps) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        if (!(streams_[current_].majorType == MEDIATYPE_Video)) return VFW_E_INVALIDMEDIATYPE;
        *fps = streams_[current_].fps;
        return S_OK;
    }

    HRESULT get_StreamCaps(std::string* caps) override {
        if (!caps) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *caps = streams_[current_].caps;
        return S_OK;
    }

    HRESULT get_StreamMediaType(AM_MEDIA_TYPE* mt) override {
        if (!mt) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *mt = streams_[current_].mt;
        return S_OK;
    }

  private:
    HRESULT discover(const std::string& fileName) {
        const std::string key = DiscoveredFiles::keyOf(fileName);
        if (!key.empty() && discoveredFiles().find(key, &streams_)) {
            fileName_ = fileName;
            return streams_.empty() ? VFW_E_INVALID_FILE_FORMAT : S_OK;
        }
        ensureGstreamer();
        GError* err = nullptr;
        gchar* uri = gst_filename_to_uri(fileName.c_str(), &err);
        g_clear_error(&err);
        if (!uri) return E_FILE_NOT_FOUND;
        const GObjectRef<GstDiscoverer> discoverer(gst_discoverer_new(DiscoverTimeout, &err));
        g_clear_error(&err);
        if (!discoverer) {
            g_free(uri);
            return E_FAIL;
        }
        const GObjectRef<GstDiscovererInfo> info(
            gst_discoverer_discover_uri(discoverer, uri, &err));
        g_free(uri);
        g_clear_error(&err);
        if (!info) return VFW_E_INVALID_FILE_FORMAT;
        // Streams that need a plug-in this machine lacks still count (their kind is known);
        // a file the discoverer could not read or that timed out counts only for the streams
        // it found. The discoverer measures the file as a whole: every stream gets that length.
        const GstClockTime d = gst_discoverer_info_get_duration(info);
        length_ = GST_CLOCK_TIME_IS_VALID(d) ? double(d) / GST_SECOND : 0;
        // A reader that estimates the length (from the MPEG stamps it meets first and last)
        // may leave out the last picture: the file's end is measured then.
        if (const GstClockTime measured = measuredLengthOf(fileName))
            length_ = double(measured) / GST_SECOND;
        GList* list = gst_discoverer_info_get_stream_list(info);
        for (GList* l = list; l; l = l->next) {
            auto* s = GST_DISCOVERER_STREAM_INFO(l->data);
            if (GST_IS_DISCOVERER_CONTAINER_INFO(s)) continue;
            // A stream the demultiplexer gave unparsed (an MPEG program stream's pictures, with
            // no size) is listed again as its parser left it: only that one is counted.
            if (GstDiscovererStreamInfo* next = gst_discoverer_stream_info_get_next(s)) {
                const bool parsedAgain = !GST_IS_DISCOVERER_CONTAINER_INFO(next);
                gst_discoverer_stream_info_unref(next);
                if (parsedAgain) continue;
            }
            StreamFacts f = factsOf(s);
            f.lengthKnown = true;
            f.length = length_;
            streams_.push_back(std::move(f));
        }
        gst_discoverer_stream_info_list_free(list);
        fileName_ = fileName;
        // A discovery that timed out may do better the next time: only whole ones are kept.
        if (!key.empty() && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK)
            discoveredFiles().keep(key, streams_);
        return streams_.empty() ? VFW_E_INVALID_FILE_FORMAT : S_OK;
    }

    std::string fileName_;
    std::vector<StreamFacts> streams_;
    size_t current_ = 0;
    double length_ = 0;
};

} // namespace

std::shared_ptr<IMediaDet> createMediaDet() {
    return std::make_shared<MediaDet>();
}

} // namespace platform::dshow
