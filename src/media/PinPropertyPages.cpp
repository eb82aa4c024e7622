#include "PinPropertyPages.h"

#include "ui/Dialogs.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace media {

namespace {

uint32_t le16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0;
}
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? le16(b, at) | le16(b, at + 2) << 16 : 0;
}
uint64_t le64(const std::vector<uint8_t>& b, size_t at) {
    return at + 8 <= b.size() ? le32(b, at) | uint64_t(le32(b, at + 4)) << 32 : 0;
}

std::string subtypeName(const AM_MEDIA_TYPE& mt) {
    struct Name {
        const GUID* sub;
        const char* text;
    } names[] = {{&MEDIASUBTYPE_RGB24, "RGB24"}, {&MEDIASUBTYPE_RGB32, "RGB32"},
                 {&MEDIASUBTYPE_YUY2, "YUY2"},   {&MEDIASUBTYPE_I420, "I420"},
                 {&MEDIASUBTYPE_MJPG, "MJPG"},   {&MEDIASUBTYPE_PCM, "PCM"},
                 {&MEDIASUBTYPE_MP3, "MP3"}};
    for (const Name& n : names)
        if (mt.subtype == *n.sub) return n.text;
    // Other video subtypes carry their FourCC in the first four bytes.
    std::string fourcc;
    for (int i = 0; i < 4; ++i) {
        const char c = char(mt.subtype.d1 >> (8 * i));
        fourcc += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return fourcc;
}

std::string number(double v) {
    char text[32];
    if (std::abs(v - std::round(v)) < 0.005)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

// Two formats are the same choice when they read the same (the current format of a device may
// differ from its listed one in fields the user does not pick, such as the image size).
bool sameChoice(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    return a.majortype == b.majortype && a.subtype == b.subtype && FormatText(a) == FormatText(b);
}

} // namespace

std::string FormatText(const AM_MEDIA_TYPE& mt) {
    const std::vector<uint8_t>& f = mt.format;
    std::string text = subtypeName(mt);
    if (mt.formattype == FORMAT_VideoInfo && f.size() >= 88) {
        // Video-info header: time per frame at 40, then the bitmap header at 48.
        const uint64_t timePerFrame = le64(f, 40);
        const int w = int32_t(le32(f, 52));
        const int h = std::abs(int32_t(le32(f, 56)));
        text += "  " + std::to_string(w) + " x " + std::to_string(h);
        if (timePerFrame > 0) text += "  " + number(1e7 / double(timePerFrame)) + " fps";
    } else if (mt.formattype == FORMAT_WaveFormatEx && f.size() >= 16) {
        const uint32_t channels = le16(f, 2);
        const uint32_t rate = le32(f, 4);
        const uint32_t bits = le16(f, 14);
        text += "  " + std::to_string(rate) + " Hz";
        if (bits) text += "  " + std::to_string(bits) + " bit";
        text += channels == 1   ? "  mono"
                : channels == 2 ? "  stereo"
                                : "  " + std::to_string(channels) + " channels";
    }
    return text;
}

HRESULT ShowPinPropertyPages(const PinPtr& pin) {
    if (!pin) return S_FALSE;
    auto config = queryInterface<IAMStreamConfig>(pin);
    if (!config) return E_NOINTERFACE;

    int count = 0;
    if (HRESULT h = config->GetNumberOfCapabilities(&count); FAILED(h)) return h;
    std::vector<AM_MEDIA_TYPE> formats;
    for (int i = 0; i < count; ++i) {
        AM_MEDIA_TYPE mt;
        if (HRESULT h = config->GetStreamCaps(i, &mt); FAILED(h)) return h;
        formats.push_back(std::move(mt));
    }
    AM_MEDIA_TYPE current;
    const bool haveCurrent = SUCCEEDED(config->GetFormat(&current));

    ui::ListChoiceRequest request;
    request.name = "PinPropertyPages";
    request.title = pin->name().substr(0, 128);
    request.label = "Output format:";
    for (size_t i = 0; i < formats.size(); ++i) {
        request.items.push_back(FormatText(formats[i]));
        if (request.selected < 0 && haveCurrent && sameChoice(formats[i], current))
            request.selected = int(i);
    }
    if (request.selected < 0 && !formats.empty()) request.selected = 0;

    const std::optional<int> row = ui::dialogs().chooseFromList(request);
    if (!row || *row < 0 || *row >= int(formats.size())) return S_FALSE;
    return config->SetFormat(formats[size_t(*row)]);
}

} // namespace media
