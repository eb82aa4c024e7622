#include "MediaInfo.h"

#include "platform/dshow/base/MediaTypes.h"
#include "platform/dshow/timeline/Timeline.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace avi {

using namespace platform::dshow;

namespace {

std::string twoDigits(int64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%02lld", static_cast<long long>(v));
    return text;
}

uint32_t le32(const std::vector<uint8_t>& v, size_t at) {
    return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 |
           uint32_t(v[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& v, size_t at) {
    return uint16_t(v[at] | v[at + 1] << 8);
}

// Where the bitmap header lies in a video format block: after the video-info header's
// rectangles, rates and time per frame (48 bytes), or the video-info-2 header's (72 bytes).
constexpr size_t VideoInfoHeader = 48, VideoInfo2Header = 72, BitmapHeaderSize = 40,
                 WaveFormatSize = 16;

void readVideoFormat(const AM_MEDIA_TYPE& mt, EnumVid& info) {
    size_t at = 0;
    if (mt.formattype == FORMAT_VideoInfo)
        at = VideoInfoHeader;
    else if (mt.formattype == FORMAT_VideoInfo2)
        at = VideoInfo2Header;
    else
        return;
    if (mt.format.size() < at + BitmapHeaderSize) return;
    const int32_t width = int32_t(le32(mt.format, at + 4));
    const int32_t height = int32_t(le32(mt.format, at + 8));
    const uint16_t bits = le16(mt.format, at + 14);
    const uint32_t compression = le32(mt.format, at + 16);
    info.VideoWidth = std::to_string(width);
    // A negative height marks a top-down picture; the frame is as high either way.
    info.VideoHeight = std::to_string(std::abs(int64_t(height)));
    info.VideoBitDepth = std::to_string(bits);
    // A kind that has no FourCC at all is not uncompressed RGB: its text stays empty.
    info.VideoFourCC = compression == 0 && mt.subtype == GUID_NULL ? "" : FourCCText(compression);
    info.VideoCodecName = CodecNameFromFourCC(info.VideoFourCC);
}

void readWaveFormat(const AM_MEDIA_TYPE& mt, EnumVid& info) {
    if (!(mt.formattype == FORMAT_WaveFormatEx) || mt.format.size() < WaveFormatSize) return;
    info.AudioFormatName = WaveFormatName(le16(mt.format, 0));
    info.AudioChannels = std::to_string(le16(mt.format, 2));
    info.AudioSampleRate = std::to_string(le32(mt.format, 4));
    // Average bytes per second: what the stream takes, channels and compression included.
    info.AudioBitRate = std::to_string(uint64_t(le32(mt.format, 8)) * 8);
}

void appendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    out += '"';
}

// The record's fields by name, in the record's order.
std::vector<std::pair<const char*, const std::string*>> fields(const EnumVid& i) {
    return {{"VideoMajorType", &i.VideoMajorType},   {"Duration", &i.Duration},
            {"VideoFourCC", &i.VideoFourCC},         {"VideoWidth", &i.VideoWidth},
            {"VideoHeight", &i.VideoHeight},         {"VideoBitDepth", &i.VideoBitDepth},
            {"VideoCodecName", &i.VideoCodecName},   {"AudioMajorType", &i.AudioMajorType},
            {"AudioFormatName", &i.AudioFormatName}, {"AudioSampleRate", &i.AudioSampleRate},
            {"AudioBitRate", &i.AudioBitRate},       {"AudioChannels", &i.AudioChannels}};
}

} // namespace

std::string FourCCText(uint32_t compression) {
    switch (compression) {
    case 0:
        return "RGB";
    case 1:
        return "RLE8";
    case 2:
        return "RLE4";
    case 3:
        return "BITFIELDS";
    default:
        break;
    }
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = uint8_t(compression >> (8 * i));
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += char(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            text += esc;
        }
    }
    return text;
}

std::string CodecNameFromFourCC(const std::string& fourCC) {
    std::string key = fourCC;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const auto& [k, name] : CodecTable())
        if (key == k) return name;
    return "Unknown Codec";
}

std::string WaveFormatName(uint16_t tag) {
    for (const auto& [t, name] : WaveFormatTable())
        if (t == tag) return name;
    return "Unknown";
}

std::string FormatDuration(int32_t seconds) {
    const int64_t s = seconds;
    const int64_t h = s / 3600, m = s / 60, sec = s % 60;
    if (h < 1) return twoDigits(m) + ":" + twoDigits(sec);
    return twoDigits(h) + ":" + twoDigits(m % 60) + ":" + twoDigits(sec);
}

EnumVid ReadMediaInfo(const std::string& fileName) {
    EnumVid info;
    std::error_code ec;
    if (!std::filesystem::exists(fileName, ec)) {
        info.VideoMajorType = FileNotFoundText;
        return info;
    }
    auto det = createMediaDet();
    if (!det) return info;
    long count = 0;
    if (FAILED(det->put_Filename(fileName)) || FAILED(det->get_OutputStreams(&count))) {
        info.VideoMajorType = ErrorText;
        return info;
    }
    double longest = -1;
    for (long i = 0; i < count; ++i) {
        if (FAILED(det->put_CurrentStream(i))) continue;
        double seconds = 0;
        // The file lasts as long as its longest stream (a sound that ends before the picture
        // does not shorten it). A length that does not fit the duration's 32 bits (or is no
        // number) is not shown.
        if (SUCCEEDED(det->get_StreamLength(&seconds)) && seconds >= 0 &&
            seconds < double(std::numeric_limits<int32_t>::max()) + 1.0 && seconds > longest) {
            longest = seconds;
            info.Duration = FormatDuration(int32_t(seconds));
        }
        AM_MEDIA_TYPE mt;
        if (FAILED(det->get_StreamMediaType(&mt))) continue;
        if (mt.majortype == MEDIATYPE_Video) info.VideoMajorType = "Video";
        if (mt.majortype == MEDIATYPE_Audio) info.AudioMajorType = "Audio";
        if (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2)
            readVideoFormat(mt, info);
        else if (mt.formattype == FORMAT_WaveFormatEx)
            readWaveFormat(mt, info);
    }
    return info;
}

std::string MediaInfoText(const EnumVid& i) {
    struct Line {
        const char* label;
        const std::string* value;
    };
    const Line video[] = {{"Media Major Type :", &i.VideoMajorType},
                          {"Duration :", &i.Duration},
                          {"FourCC :", &i.VideoFourCC},
                          {"Frame Width :", &i.VideoWidth},
                          {"Frame Height :", &i.VideoHeight},
                          {"Bit Depth :", &i.VideoBitDepth},
                          {"Compressor :", &i.VideoCodecName}};
    const Line audio[] = {{"Media Major Type :", &i.AudioMajorType},
                          {"Audio Format :", &i.AudioFormatName},
                          {"Hertz :", &i.AudioSampleRate},
                          {"Bitrate :", &i.AudioBitRate},
                          {"Channels :", &i.AudioChannels}};
    std::string out = "Video Info\n";
    for (const Line& l : video)
        out += std::string(l.label) + " " + *l.value + "\n";
    out += "Audio Info\n";
    for (const Line& l : audio)
        out += std::string(l.label) + " " + *l.value + "\n";
    return out;
}

std::string MediaInfoJson(const EnumVid& info) {
    std::string out = "{";
    bool first = true;
    for (const auto& [name, value] : fields(info)) {
        if (!first) out += ", ";
        first = false;
        appendJsonString(out, name);
        out += ": ";
        appendJsonString(out, *value);
    }
    return out + "}";
}

} // namespace avi
