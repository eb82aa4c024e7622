#include "platform/dshow/base/MediaTypes.h"

#include "platform/dshow/base/Filters.h"

#include <cmath>
#include <cstring>

namespace platform::dshow {

namespace {
constexpr GUID fourccGuid(uint32_t d1) {
    return GUID{d1, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

struct Writer {
    std::vector<uint8_t>& out;
    void u16(uint32_t v) {
        for (int i = 0; i < 2; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void guid(const GUID& g) {
        u32(g.d1);
        u16(g.d2);
        u16(g.d3);
        out.insert(out.end(), g.d4, g.d4 + 8);
    }
};

struct Reader {
    const uint8_t* p;
    uint32_t u16() {
        const uint32_t v = p[0] | p[1] << 8;
        p += 2;
        return v;
    }
    uint32_t u32() {
        const uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
        p += 4;
        return v;
    }
    uint64_t u64() {
        const uint64_t lo = u32();
        return lo | uint64_t(u32()) << 32;
    }
    GUID guid() {
        GUID g;
        g.d1 = u32();
        g.d2 = uint16_t(u16());
        g.d3 = uint16_t(u16());
        std::memcpy(g.d4, p, 8);
        p += 8;
        return g;
    }
};

// A video-info header: source and target rectangles (left empty), bit rate, error rate, time
// per frame in 100-ns units, then the 40-byte bitmap header.
std::vector<uint8_t> videoInfo(int w, int h, int bits, uint32_t compression, uint64_t timePerFrame,
                               uint32_t imageSize) {
    std::vector<uint8_t> out;
    Writer wr{out};
    for (int i = 0; i < 8; ++i)
        wr.u32(0);
    wr.u32(0);
    wr.u32(0);
    wr.u64(timePerFrame);
    wr.u32(40);
    wr.u32(uint32_t(w));
    wr.u32(uint32_t(h));
    wr.u16(1);
    wr.u16(uint32_t(bits));
    wr.u32(compression);
    wr.u32(imageSize);
    for (int i = 0; i < 4; ++i)
        wr.u32(0);
    return out;
}

std::vector<uint8_t> waveFormat(uint32_t tag, int channels, int rate, int bits,
                                uint32_t bytesPerSecond, int blockAlign,
                                const std::vector<uint8_t>& extra) {
    std::vector<uint8_t> out;
    Writer wr{out};
    wr.u16(tag);
    wr.u16(uint32_t(channels));
    wr.u32(uint32_t(rate));
    wr.u32(bytesPerSecond);
    wr.u16(uint32_t(blockAlign));
    wr.u16(uint32_t(bits));
    wr.u16(uint32_t(extra.size()));
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}
} // namespace

const GUID MEDIASUBTYPE_RGB24{
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID MEDIASUBTYPE_RGB32{
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID MEDIASUBTYPE_YUY2 = fourccGuid(fourcc('Y', 'U', 'Y', '2'));
const GUID MEDIASUBTYPE_I420 = fourccGuid(fourcc('I', '4', '2', '0'));
const GUID MEDIASUBTYPE_MJPG = fourccGuid(fourcc('M', 'J', 'P', 'G'));
const GUID MEDIASUBTYPE_PCM = fourccGuid(0x0001);
const GUID MEDIASUBTYPE_MP3 = fourccGuid(0x0055);
const GUID FORMAT_VideoInfo{
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID FORMAT_VideoInfo2{
    0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID FORMAT_WaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID FORMAT_None{
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

std::vector<uint8_t> serializeMediaType(const AM_MEDIA_TYPE& mt) {
    std::vector<uint8_t> out;
    Writer wr{out};
    wr.guid(mt.majortype);
    wr.guid(mt.subtype);
    wr.u32(uint32_t(mt.bFixedSizeSamples));
    wr.u32(uint32_t(mt.bTemporalCompression));
    wr.u32(mt.lSampleSize);
    wr.guid(mt.formattype);
    wr.u32(0); // pUnk
    wr.u32(uint32_t(mt.format.size()));
    wr.u32(0); // pbFormat
    out.insert(out.end(), mt.format.begin(), mt.format.end());
    return out;
}

bool deserializeMediaType(const std::vector<uint8_t>& data, AM_MEDIA_TYPE& mt) {
    if (data.size() < MediaTypeRecordSize) return false;
    Reader rd{data.data()};
    AM_MEDIA_TYPE m;
    m.majortype = rd.guid();
    m.subtype = rd.guid();
    m.bFixedSizeSamples = int32_t(rd.u32());
    m.bTemporalCompression = int32_t(rd.u32());
    m.lSampleSize = rd.u32();
    m.formattype = rd.guid();
    rd.u32();
    const uint32_t cb = rd.u32();
    rd.u32();
    if (cb > data.size() - MediaTypeRecordSize) return false;
    m.format.assign(data.begin() + MediaTypeRecordSize, data.begin() + MediaTypeRecordSize + cb);
    mt = std::move(m);
    return true;
}

bool mediaTypeFromCaps(const std::string& text, AM_MEDIA_TYPE& mt) {
    ensureGstInit();
    const CapsRef caps(gst_caps_from_string(text.c_str()));
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return false;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const std::string name = gst_structure_get_name(s);
    bool ok = false;
    AM_MEDIA_TYPE m;
    int w = 0, h = 0, num = 0, den = 1;
    gst_structure_get_int(s, "width", &w);
    gst_structure_get_int(s, "height", &h);
    gst_structure_get_fraction(s, "framerate", &num, &den);
    const uint64_t timePerFrame = num > 0 ? uint64_t(10000000) * uint64_t(den) / uint64_t(num) : 0;
    if (name == "video/x-raw" && w > 0 && h > 0) {
        const char* f = gst_structure_get_string(s, "format");
        const std::string format = f ? f : "";
        struct Kind {
            const char* gst;
            const GUID* sub;
            int bits;
            uint32_t compression;
        } kinds[] = {{"BGR", &MEDIASUBTYPE_RGB24, 24, 0},
                     {"BGRx", &MEDIASUBTYPE_RGB32, 32, 0},
                     {"YUY2", &MEDIASUBTYPE_YUY2, 16, fourcc('Y', 'U', 'Y', '2')},
                     {"I420", &MEDIASUBTYPE_I420, 12, fourcc('I', '4', '2', '0')}};
        for (const Kind& k : kinds) {
            if (format != k.gst) continue;
            const uint32_t size =
                k.bits == 12 ? uint32_t(w * h * 3 / 2) : uint32_t(((w * k.bits + 31) / 32) * 4 * h);
            m.majortype = MEDIATYPE_Video;
            m.subtype = *k.sub;
            m.bFixedSizeSamples = 1;
            m.lSampleSize = size;
            m.formattype = FORMAT_VideoInfo;
            m.format = videoInfo(w, h, k.bits, k.compression, timePerFrame, size);
            ok = true;
        }
    } else if (name == "image/jpeg" && w > 0 && h > 0) {
        m.majortype = MEDIATYPE_Video;
        m.subtype = MEDIASUBTYPE_MJPG;
        m.bTemporalCompression = 0;
        m.lSampleSize = uint32_t(w * h * 3);
        m.formattype = FORMAT_VideoInfo;
        m.format = videoInfo(w, h, 24, fourcc('M', 'J', 'P', 'G'), timePerFrame, m.lSampleSize);
        ok = true;
    } else if (name == "audio/x-raw") {
        int rate = 0, channels = 0;
        const char* f = gst_structure_get_string(s, "format");
        const std::string format = f ? f : "";
        const int bits = format == "S16LE" ? 16 : format == "U8" ? 8 : 0;
        if (bits && gst_structure_get_int(s, "rate", &rate) &&
            gst_structure_get_int(s, "channels", &channels)) {
            const int block = channels * bits / 8;
            m.majortype = MEDIATYPE_Audio;
            m.subtype = MEDIASUBTYPE_PCM;
            m.bFixedSizeSamples = 1;
            m.lSampleSize = uint32_t(block);
            m.formattype = FORMAT_WaveFormatEx;
            m.format = waveFormat(1, channels, rate, bits, uint32_t(rate * block), block, {});
            ok = true;
        }
    } else if (name == "audio/mpeg") {
        int version = 0, layer = 0, rate = 0, channels = 0;
        gst_structure_get_int(s, "mpegversion", &version);
        gst_structure_get_int(s, "layer", &layer);
        if (version == 1 && layer == 3 && gst_structure_get_int(s, "rate", &rate) &&
            gst_structure_get_int(s, "channels", &channels)) {
            m.majortype = MEDIATYPE_Audio;
            m.subtype = MEDIASUBTYPE_MP3;
            m.lSampleSize = 1;
            m.formattype = FORMAT_WaveFormatEx;
            // The MPEG layer-3 extension: id 1, padding flags 2, block size, frames per block 1,
            // codec delay 1393.
            std::vector<uint8_t> extra;
            Writer wr{extra};
            wr.u16(1);
            wr.u32(2);
            wr.u16(uint32_t(144 * 128000 / std::max(rate, 1)));
            wr.u16(1);
            wr.u16(1393);
            m.format = waveFormat(0x55, channels, rate, 0, 16000, 1, extra);
            ok = true;
        }
    }
    if (ok) mt = std::move(m);
    return ok;
}

std::string capsFromMediaType(const AM_MEDIA_TYPE& mt) {
    if (mt.formattype == FORMAT_VideoInfo && mt.format.size() >= 88) {
        Reader rd{mt.format.data() + 40};
        const uint64_t timePerFrame = rd.u64();
        rd.u32();
        const int w = int(rd.u32());
        const int h = std::abs(int32_t(rd.u32()));
        std::string rate;
        if (timePerFrame > 0) {
            // Times per frame are whole 100-ns units, so 30 fps is stored as 333333: take the
            // simplest fraction near the rate.
            const double fps = 1e7 / double(timePerFrame);
            const double ntsc = fps * 1001.0 / 1000.0;
            gint num = 0, den = 1;
            if (std::abs(fps - std::round(fps)) < 0.01) {
                num = int(std::round(fps));
            } else if (std::abs(ntsc - std::round(ntsc)) < 0.01) {
                num = int(std::round(ntsc)) * 1000;
                den = 1001;
            } else {
                gst_util_double_to_fraction(fps, &num, &den);
            }
            rate = ", framerate=(fraction)" + std::to_string(num) + "/" + std::to_string(den);
        }
        const std::string size =
            ", width=(int)" + std::to_string(w) + ", height=(int)" + std::to_string(h);
        if (mt.subtype == MEDIASUBTYPE_RGB24)
            return "video/x-raw, format=(string)BGR" + size + rate;
        if (mt.subtype == MEDIASUBTYPE_RGB32)
            return "video/x-raw, format=(string)BGRx" + size + rate;
        if (mt.subtype == MEDIASUBTYPE_YUY2)
            return "video/x-raw, format=(string)YUY2" + size + rate;
        if (mt.subtype == MEDIASUBTYPE_I420)
            return "video/x-raw, format=(string)I420" + size + rate;
        if (mt.subtype == MEDIASUBTYPE_MJPG) return "image/jpeg" + size + rate;
    }
    if (mt.formattype == FORMAT_WaveFormatEx && mt.format.size() >= 18) {
        Reader rd{mt.format.data()};
        const uint32_t tag = rd.u16();
        const uint32_t channels = rd.u16();
        const uint32_t rate = rd.u32();
        rd.u32();
        rd.u16();
        const uint32_t bits = rd.u16();
        const std::string common =
            ", rate=(int)" + std::to_string(rate) + ", channels=(int)" + std::to_string(channels);
        if (tag == 1 && (bits == 16 || bits == 8))
            return std::string("audio/x-raw, format=(string)") + (bits == 16 ? "S16LE" : "U8") +
                   ", layout=(string)interleaved" + common;
        if (tag == 0x55) return "audio/mpeg, mpegversion=(int)1, layer=(int)3" + common;
    }
    return {};
}

} // namespace platform::dshow

namespace platform::dshow {

std::vector<std::string> pinCapsList(const PinPtr& pin) {
    std::vector<std::string> out;
    if (!pin) return out;
    const CapsRef caps(padCaps(static_cast<GstPad*>(pin->native())));
    if (!caps || gst_caps_is_any(caps)) return out;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const CapsRef one(gst_caps_fixate(gst_caps_copy_nth(caps, i)));
        gchar* text = gst_caps_to_string(one);
        out.emplace_back(text);
        g_free(text);
    }
    return out;
}

} // namespace platform::dshow
