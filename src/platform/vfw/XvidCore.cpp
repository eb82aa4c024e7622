#include "XvidCore.h"

#include <xvid.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace platform::vfw {
namespace {

// The stream's time resolution is stored in 16 bits.
constexpr int kMaxTimeResolution = 65535;

const char* xvidError(int code) {
    switch (code) {
    case XVID_ERR_FAIL:
        return "general failure";
    case XVID_ERR_MEMORY:
        return "out of memory";
    case XVID_ERR_FORMAT:
        return "unsupported format";
    case XVID_ERR_VERSION:
        return "library version mismatch";
    case XVID_ERR_END:
        return "end of stream";
    default:
        return "unknown error";
    }
}

bool initLibrary() {
    static const bool ok = [] {
        xvid_gbl_init_t init;
        std::memset(&init, 0, sizeof init);
        init.version = XVID_VERSION;
        return xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr) >= 0;
    }();
    return ok;
}

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

} // namespace

XvidEncoder::~XvidEncoder() {
    close();
}

std::string XvidEncoder::refusal(const XvidSettings& s) {
    const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
    if (s.width < 2 || s.height < 2 || s.width > xvidMaxDimension || s.height > xvidMaxDimension)
        return "MPEG-4 (XviD) pictures are 2x2 to " + std::to_string(xvidMaxDimension) + "x" +
               std::to_string(xvidMaxDimension) + " pixels, not " + size;
    if (s.width % 2 != 0 || s.height % 2 != 0)
        return "MPEG-4 (XviD) needs an even picture width and height, not " + size;
    if (s.frameNum <= 0 || s.frameDen <= 0)
        return "MPEG-4 (XviD) needs a picture duration above 0, not " + std::to_string(s.frameNum) +
               "/" + std::to_string(s.frameDen) + " s";
    if (s.quantizer < 0 || s.quantizer > 31)
        return "the MPEG-4 (XviD) quantizer is 1..31 (0: rate control), not " +
               std::to_string(s.quantizer);
    return {};
}

bool XvidEncoder::open(const XvidSettings& settings, std::string* error) {
    close();
    if (const std::string why = refusal(settings); !why.empty()) {
        setError(error, why);
        return false;
    }
    if (!initLibrary()) {
        setError(error, "xvid_global(XVID_GBL_INIT) failed");
        return false;
    }
    // fincr / fbase seconds per picture, fbase within the 16-bit time resolution; durations
    // that do not fit are approximated (the container keeps the exact rate).
    const int common = std::gcd(settings.frameNum, settings.frameDen);
    int fincr = settings.frameNum / common;
    int fbase = settings.frameDen / common;
    if (fbase > kMaxTimeResolution) {
        fincr = std::max(1, int((int64_t(fincr) * kMaxTimeResolution + fbase / 2) / fbase));
        fbase = kMaxTimeResolution;
    }
    // So is a picture longer than the 16 bits hold (a broken file's rate of one picture in
    // years): libxvidcore's time stamps would overflow and divide by zero.
    if (fincr > kMaxTimeResolution) {
        fbase = std::max(1, int((int64_t(fbase) * kMaxTimeResolution + fincr / 2) / fincr));
        fincr = kMaxTimeResolution;
    }

    xvid_plugin_single_t single;
    std::memset(&single, 0, sizeof single);
    single.version = XVID_VERSION;
    single.bitrate = settings.bitrate * 1000;
    xvid_enc_plugin_t plugins[1] = {{xvid_plugin_single, &single}};

    xvid_enc_create_t create;
    std::memset(&create, 0, sizeof create);
    create.version = XVID_VERSION;
    create.width = settings.width;
    create.height = settings.height;
    // A fixed quantizer is given with each frame; otherwise the rate control picks it.
    if (settings.quantizer == 0) {
        create.plugins = plugins;
        create.num_plugins = 1;
    }
    create.max_bframes = 0;
    create.fincr = fincr;
    create.fbase = fbase;
    create.max_key_interval = std::max(1, settings.maxKeyInterval);
    create.frame_drop_ratio = 0;
    for (int i = 0; i < 3; ++i) {
        create.min_quant[i] = 2;
        create.max_quant[i] = 31;
    }
    const int rc = xvid_encore(nullptr, XVID_ENC_CREATE, &create, nullptr);
    if (rc < 0 || !create.handle) {
        setError(error, "xvid_encore(XVID_ENC_CREATE) for " + std::to_string(create.width) + "x" +
                            std::to_string(create.height) + " at " + std::to_string(fincr) + "/" +
                            std::to_string(fbase) + " s per frame: " + xvidError(rc) + " (" +
                            std::to_string(rc) + ")");
        return false;
    }
    handle_ = create.handle;
    settings_ = settings;
    settings_.maxKeyInterval = create.max_key_interval;
    sinceKey_ = 0;
    // Room for the largest frame: intra-coded at the finest quantizer stays well below six
    // bytes per macroblock-padded pixel.
    const size_t padded =
        size_t((create.width + 15) / 16 * 16) * size_t((create.height + 15) / 16 * 16);
    out_.assign(padded * 6 + 4096, 0);
    return true;
}

void XvidEncoder::close() {
    if (handle_) xvid_encore(handle_, XVID_ENC_DESTROY, nullptr, nullptr);
    handle_ = nullptr;
    sinceKey_ = 0;
    out_.clear();
}

bool XvidEncoder::encode(const XvidPicture& picture, bool forceKey, XvidFrame& out,
                         std::string* error) {
    if (!handle_) {
        setError(error, "the MPEG-4 (XviD) encoder is not open");
        return false;
    }
    xvid_enc_frame_t f;
    std::memset(&f, 0, sizeof f);
    f.version = XVID_VERSION;
    switch (picture.layout) {
    case XvidLayout::I420:
        f.input.csp = XVID_CSP_PLANAR;
        break;
    case XvidLayout::Bgr24:
        f.input.csp = XVID_CSP_BGR;
        break;
    case XvidLayout::Bgrx32:
        f.input.csp = XVID_CSP_BGRA;
        break;
    }
    if (picture.layout != XvidLayout::I420 && picture.bottomUp) f.input.csp |= XVID_CSP_VFLIP;
    for (int p = 0; p < 3; ++p) {
        f.input.plane[p] = const_cast<uint8_t*>(picture.plane[p]);
        f.input.stride[p] = picture.stride[p];
    }
    f.vol_flags = 0;
    f.vop_flags = XVID_VOP_HALFPEL | XVID_VOP_INTER4V | XVID_VOP_HQACPRED;
    f.motion = XVID_ME_ADVANCEDDIAMOND16 | XVID_ME_HALFPELREFINE16 | XVID_ME_ADVANCEDDIAMOND8 |
               XVID_ME_HALFPELREFINE8 | XVID_ME_CHROMA_PVOP;
    f.par = XVID_PAR_11_VGA;
    // Key frames come first, at the interval at the latest and whenever the caller asks.
    const bool key = forceKey || sinceKey_ == 0 || sinceKey_ >= settings_.maxKeyInterval;
    f.type = key ? XVID_TYPE_IVOP : XVID_TYPE_AUTO;
    f.quant = settings_.quantizer; // 0: the rate control decides
    f.bitstream = out_.data();
    f.length = int(out_.size());

    xvid_enc_stats_t stats;
    std::memset(&stats, 0, sizeof stats);
    stats.version = XVID_VERSION;
    const int size = xvid_encore(handle_, XVID_ENC_ENCODE, &f, &stats);
    if (size < 0) {
        setError(error, std::string("xvid_encore(XVID_ENC_ENCODE): ") + xvidError(size) + " (" +
                            std::to_string(size) + ")");
        return false;
    }
    if (size_t(size) > out_.size()) {
        // xvidcore has no output limit; a frame this large has already overrun the buffer.
        std::fprintf(stderr, "xvidcore wrote %d bytes into a %zu-byte buffer\n", size, out_.size());
        std::abort();
    }
    out.data = out_.data();
    out.size = size_t(size);
    out.keyFrame = size > 0 && (f.out_flags & XVID_KEYFRAME);
    out.quantizer = stats.quant;
    if (out.keyFrame)
        sinceKey_ = 1;
    else if (size > 0)
        ++sinceKey_;
    return true;
}

std::vector<uint8_t> XvidEncoder::streamHeaders(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6)
            return std::vector<uint8_t>(data, data + i);
    }
    return {};
}

} // namespace platform::vfw
