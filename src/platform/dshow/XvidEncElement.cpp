#include "XvidEncElement.h"

#include <gst/gst.h>
#include <gst/video/gstvideoencoder.h>
#include <gst/video/video.h>

#include <xvid.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(tovamix_xvidenc_debug);
#define GST_CAT_DEFAULT tovamix_xvidenc_debug

namespace platform::dshow {
namespace {

constexpr int kDefaultBitrate = 1500; // kbit/s
constexpr int kMaxBitrate = 100000;
constexpr int kDefaultKeyInterval = 250;
// The MPEG-4 video object layer stores width and height in 13 bits and the time resolution
// in 16.
constexpr int kMaxDimension = 8191;
constexpr int kMaxTimeResolution = 65535;

enum Property { PROP_0, PROP_BITRATE, PROP_QUANTIZER, PROP_MAX_KEY_INTERVAL };

struct Settings {
    int bitrate = kDefaultBitrate;
    int quantizer = 0;
    int maxKeyInterval = kDefaultKeyInterval;
};

// The encoder of one negotiated format. Used by the streaming thread only.
struct EncoderState {
    void* handle = nullptr;
    Settings used; // the settings the encoder was made with
    GstVideoInfo info;
    GstVideoCodecState* input = nullptr; // the negotiated input, reference of the output caps
    std::vector<uint8_t> out;            // xvidcore writes a frame here, then it is copied out
    int sinceKey = 0;                    // frames since the last key frame
    bool haveHeaders = false;
    // Full-range input (decoded JPEG, for one) is brought to the studio range MPEG-4 video
    // stores (luma 16..235, chroma 16..240) through these tables into `studio`.
    bool fullRange = false;
    uint8_t lumaTable[256], chromaTable[256];
    std::vector<uint8_t> studio;

    void destroy() {
        if (handle) xvid_encore(handle, XVID_ENC_DESTROY, nullptr, nullptr);
        handle = nullptr;
        if (input) gst_video_codec_state_unref(input);
        input = nullptr;
        out.clear();
        sinceKey = 0;
        haveHeaders = false;
    }
};

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

// The frame duration as fincr/fbase seconds with fbase fitting the stream's 16-bit time
// resolution; rates that do not fit are approximated (the caps keep the exact rate).
void timeBase(int fpsN, int fpsD, int& fincr, int& fbase) {
    const int common = std::gcd(fpsN, fpsD);
    int n = fpsN / common;
    int d = fpsD / common;
    if (n > kMaxTimeResolution) {
        d = std::max(1, int(gst_util_uint64_scale_round(guint64(d), kMaxTimeResolution, n)));
        n = kMaxTimeResolution;
    }
    fincr = d;
    fbase = n;
}

// The stream headers (visual object sequence, video object, video object layer) at the start
// of a key frame: everything before the first VOP start code, 00 00 01 B6.
std::vector<uint8_t> streamHeaders(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6)
            return std::vector<uint8_t>(data, data + i);
    }
    return {};
}

} // namespace
} // namespace platform::dshow

using platform::dshow::EncoderState;
using platform::dshow::Settings;

struct TovamixXvidEnc {
    GstVideoEncoder parent;
    Settings* settings; // under the object lock
    EncoderState* state;
};
struct TovamixXvidEncClass {
    GstVideoEncoderClass parent_class;
};

G_DEFINE_TYPE(TovamixXvidEnc, tovamix_xvid_enc, GST_TYPE_VIDEO_ENCODER)

namespace platform::dshow {
namespace {

GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) I420, width = (int) [ 1, 8191 ], "
                    "height = (int) [ 1, 8191 ], framerate = (fraction) [ 0/1, MAX ]"));
GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-xvid, width = (int) [ 1, 8191 ], height = (int) [ 1, 8191 ], "
                    "framerate = (fraction) [ 0/1, MAX ]"));

TovamixXvidEnc* encOf(GstVideoEncoder* e) {
    return reinterpret_cast<TovamixXvidEnc*>(e);
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

// Makes the xvidcore encoder for the negotiated picture format.
bool createEncoder(GstVideoEncoder* enc, const GstVideoInfo& info, const Settings& settings) {
    EncoderState& s = *encOf(enc)->state;
    int fincr = 0, fbase = 0;
    timeBase(GST_VIDEO_INFO_FPS_N(&info), GST_VIDEO_INFO_FPS_D(&info), fincr, fbase);

    xvid_plugin_single_t single;
    std::memset(&single, 0, sizeof single);
    single.version = XVID_VERSION;
    single.bitrate = settings.bitrate * 1000;
    xvid_enc_plugin_t plugins[1] = {{xvid_plugin_single, &single}};

    xvid_enc_create_t create;
    std::memset(&create, 0, sizeof create);
    create.version = XVID_VERSION;
    create.width = GST_VIDEO_INFO_WIDTH(&info);
    create.height = GST_VIDEO_INFO_HEIGHT(&info);
    // A fixed quantizer is given with each frame; otherwise the rate control picks it.
    if (settings.quantizer == 0) {
        create.plugins = plugins;
        create.num_plugins = 1;
    }
    create.max_bframes = 0;
    create.fincr = fincr;
    create.fbase = fbase;
    create.max_key_interval = settings.maxKeyInterval;
    create.frame_drop_ratio = 0;
    for (int i = 0; i < 3; ++i) {
        create.min_quant[i] = 2;
        create.max_quant[i] = 31;
    }
    const int rc = xvid_encore(nullptr, XVID_ENC_CREATE, &create, nullptr);
    if (rc < 0 || !create.handle) {
        GST_ELEMENT_ERROR(enc, LIBRARY, INIT, ("Cannot start the MPEG-4 (XviD) encoder."),
                          ("xvid_encore(XVID_ENC_CREATE) for %dx%d at %d/%d s per frame: %s (%d)",
                           create.width, create.height, fincr, fbase, xvidError(rc), rc));
        return false;
    }
    s.handle = create.handle;
    s.used = settings;
    s.info = info;
    s.sinceKey = 0;
    s.haveHeaders = false;
    // Room for the largest frame: intra-coded at the finest quantizer stays well below six
    // bytes per macroblock-padded pixel.
    const size_t padded = size_t((create.width + 15) / 16 * 16) * ((create.height + 15) / 16 * 16);
    s.out.assign(padded * 6 + 4096, 0);
    GST_INFO_OBJECT(enc,
                    "encoder for %dx%d, %d/%d s per frame, quantizer %d, %d kbit/s, key frames "
                    "every %d at most",
                    create.width, create.height, fincr, fbase, settings.quantizer, settings.bitrate,
                    settings.maxKeyInterval);
    return true;
}

// Tells downstream the output format, with the stream headers of the first key frame.
bool setOutputCaps(GstVideoEncoder* enc, const std::vector<uint8_t>& headers) {
    EncoderState& s = *encOf(enc)->state;
    GstCaps* caps = gst_caps_new_simple(
        "video/x-xvid", "width", G_TYPE_INT, GST_VIDEO_INFO_WIDTH(&s.info), "height", G_TYPE_INT,
        GST_VIDEO_INFO_HEIGHT(&s.info), "framerate", GST_TYPE_FRACTION,
        GST_VIDEO_INFO_FPS_N(&s.info), GST_VIDEO_INFO_FPS_D(&s.info), nullptr);
    if (!headers.empty()) {
        GstBuffer* data = gst_buffer_new_memdup(headers.data(), headers.size());
        gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, data, nullptr);
        gst_buffer_unref(data);
    }
    // The input state gives the output its size, rate, pixel aspect ratio and interlacing.
    GstVideoCodecState* out = gst_video_encoder_set_output_state(enc, caps, s.input);
    gst_video_codec_state_unref(out);
    return gst_video_encoder_negotiate(enc) == TRUE;
}

Settings currentSettings(GstVideoEncoder* enc) {
    GST_OBJECT_LOCK(enc);
    Settings copy = *encOf(enc)->settings;
    GST_OBJECT_UNLOCK(enc);
    return copy;
}

// ---- GstVideoEncoder virtual methods ----

gboolean start(GstVideoEncoder* enc) {
    if (!initLibrary()) {
        GST_ELEMENT_ERROR(enc, LIBRARY, INIT, ("Cannot start the MPEG-4 (XviD) encoder."),
                          ("xvid_global(XVID_GBL_INIT) failed"));
        return FALSE;
    }
    return TRUE;
}

gboolean stop(GstVideoEncoder* enc) {
    encOf(enc)->state->destroy();
    return TRUE;
}

gboolean setFormat(GstVideoEncoder* enc, GstVideoCodecState* state) {
    EncoderState& s = *encOf(enc)->state;
    const GstVideoInfo& info = state->info;
    if (GST_VIDEO_INFO_FPS_N(&info) <= 0 || GST_VIDEO_INFO_FPS_D(&info) <= 0) {
        GST_ELEMENT_ERROR(
            enc, STREAM, FORMAT, ("The MPEG-4 (XviD) encoder needs a fixed frame rate above 0."),
            ("input frame rate %d/%d", GST_VIDEO_INFO_FPS_N(&info), GST_VIDEO_INFO_FPS_D(&info)));
        return FALSE;
    }
    if (GST_VIDEO_INFO_WIDTH(&info) > kMaxDimension ||
        GST_VIDEO_INFO_HEIGHT(&info) > kMaxDimension) {
        GST_ELEMENT_ERROR(enc, STREAM, FORMAT, ("The picture is too large for MPEG-4 video."),
                          ("%dx%d, at most %dx%d", GST_VIDEO_INFO_WIDTH(&info),
                           GST_VIDEO_INFO_HEIGHT(&info), kMaxDimension, kMaxDimension));
        return FALSE;
    }
    // xvidcore codes whole chroma samples only: both sides must be even.
    if (GST_VIDEO_INFO_WIDTH(&info) % 2 != 0 || GST_VIDEO_INFO_HEIGHT(&info) % 2 != 0) {
        GST_ELEMENT_ERROR(enc, STREAM, FORMAT,
                          ("The MPEG-4 (XviD) encoder needs an even picture width and height, "
                           "the picture is %dx%d.",
                           GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info)),
                          ("scale or crop the video to even dimensions first"));
        return FALSE;
    }
    // A new format starts a new encoder; no frames are held back (no B-frames), so nothing
    // is lost by closing the old one.
    s.destroy();
    if (!createEncoder(enc, info, currentSettings(enc))) return FALSE;
    s.input = gst_video_codec_state_ref(state);
    s.fullRange = GST_VIDEO_INFO_COLORIMETRY(&info).range == GST_VIDEO_COLOR_RANGE_0_255;
    if (s.fullRange) {
        for (int v = 0; v < 256; ++v) {
            s.lumaTable[v] = uint8_t(16 + (v * 219 + 127) / 255);
            s.chromaTable[v] = uint8_t(128 + ((v - 128) * 224 + (v >= 128 ? 127 : -127)) / 255);
        }
        s.studio.resize(size_t(GST_VIDEO_INFO_WIDTH(&info)) * GST_VIDEO_INFO_HEIGHT(&info) * 3 / 2);
    }
    GST_INFO_OBJECT(enc, "input colorimetry %s",
                    s.fullRange ? "full range, converted to studio range" : "studio range");
    gst_video_encoder_set_latency(enc, 0, 0);
    return TRUE;
}

GstFlowReturn handleFrame(GstVideoEncoder* enc, GstVideoCodecFrame* frame) {
    EncoderState& s = *encOf(enc)->state;
    if (!s.handle) {
        gst_video_encoder_finish_frame(enc, frame);
        GST_ELEMENT_ERROR(enc, CORE, NEGOTIATION, ("The MPEG-4 (XviD) encoder got no format."),
                          ("a frame arrived before the caps"));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    GstVideoFrame picture;
    if (!gst_video_frame_map(&picture, &s.info, frame->input_buffer, GST_MAP_READ)) {
        gst_video_encoder_finish_frame(enc, frame);
        GST_ELEMENT_ERROR(enc, STREAM, ENCODE, ("Cannot read an input picture."),
                          ("mapping an I420 frame of %" G_GSIZE_FORMAT " bytes failed",
                           gsize(gst_buffer_get_size(frame->input_buffer))));
        return GST_FLOW_ERROR;
    }

    xvid_enc_frame_t f;
    std::memset(&f, 0, sizeof f);
    f.version = XVID_VERSION;
    f.input.csp = XVID_CSP_PLANAR;
    uint8_t* studio = s.studio.data();
    for (int p = 0; p < 3; ++p) {
        f.input.plane[p] = GST_VIDEO_FRAME_PLANE_DATA(&picture, p);
        f.input.stride[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&picture, p);
        if (!s.fullRange) continue;
        const int w = GST_VIDEO_FRAME_COMP_WIDTH(&picture, p);
        const int h = GST_VIDEO_FRAME_COMP_HEIGHT(&picture, p);
        const uint8_t* table = p == 0 ? s.lumaTable : s.chromaTable;
        for (int y = 0; y < h; ++y) {
            const auto* from = static_cast<const uint8_t*>(f.input.plane[p]) +
                               size_t(y) * size_t(f.input.stride[p]);
            uint8_t* to = studio + size_t(y) * size_t(w);
            for (int x = 0; x < w; ++x)
                to[x] = table[from[x]];
        }
        f.input.plane[p] = studio;
        f.input.stride[p] = w;
        studio += size_t(w) * size_t(h);
    }
    f.vol_flags = 0;
    f.vop_flags = XVID_VOP_HALFPEL | XVID_VOP_INTER4V | XVID_VOP_HQACPRED;
    f.motion = XVID_ME_ADVANCEDDIAMOND16 | XVID_ME_HALFPELREFINE16 | XVID_ME_ADVANCEDDIAMOND8 |
               XVID_ME_HALFPELREFINE8 | XVID_ME_CHROMA_PVOP;
    f.par = XVID_PAR_11_VGA;
    // Key frames come at the interval at the latest and whenever downstream asks for one.
    const bool forceKey = GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame) || s.sinceKey == 0 ||
                          s.sinceKey >= s.used.maxKeyInterval;
    f.type = forceKey ? XVID_TYPE_IVOP : XVID_TYPE_AUTO;
    f.quant = s.used.quantizer; // 0: the rate control decides
    f.bitstream = s.out.data();
    f.length = int(s.out.size());

    xvid_enc_stats_t stats;
    std::memset(&stats, 0, sizeof stats);
    stats.version = XVID_VERSION;
    const int size = xvid_encore(s.handle, XVID_ENC_ENCODE, &f, &stats);
    gst_video_frame_unmap(&picture);
    if (size < 0) {
        gst_video_encoder_finish_frame(enc, frame);
        GST_ELEMENT_ERROR(
            enc, STREAM, ENCODE, ("The MPEG-4 (XviD) encoder failed on a frame."),
            ("xvid_encore(XVID_ENC_ENCODE): %s (%d)", platform::dshow::xvidError(size), size));
        return GST_FLOW_ERROR;
    }
    if (size_t(size) > s.out.size()) {
        // xvidcore has no output limit; a frame this large has already overrun the buffer.
        g_error("xvidcore wrote %d bytes into a %zu-byte buffer", size, s.out.size());
    }
    const bool key = size > 0 && (f.out_flags & XVID_KEYFRAME);
    if (key) {
        s.sinceKey = 1;
    } else if (size > 0) {
        ++s.sinceKey;
    }

    if (!s.haveHeaders) {
        if (!key) {
            gst_video_encoder_finish_frame(enc, frame);
            GST_ELEMENT_ERROR(enc, STREAM, ENCODE,
                              ("The MPEG-4 (XviD) encoder did not start with a key frame."),
                              ("first frame: %d bytes, flags 0x%x", size, f.out_flags));
            return GST_FLOW_ERROR;
        }
        if (!setOutputCaps(enc, streamHeaders(s.out.data(), size_t(size)))) {
            gst_video_encoder_finish_frame(enc, frame);
            GST_ELEMENT_ERROR(enc, CORE, NEGOTIATION,
                              ("Downstream does not take the MPEG-4 (XviD) video."), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        s.haveHeaders = true;
    }

    // An empty buffer stands for a frame the encoder left out: the AVI writer stores an empty
    // chunk so that the frames after it keep their places.
    frame->output_buffer = gst_buffer_new_memdup(s.out.data(), gsize(size));
    if (key)
        GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
    else
        GST_VIDEO_CODEC_FRAME_UNSET_SYNC_POINT(frame);
    GST_LOG_OBJECT(enc, "frame %u: %d bytes, %s, quantizer %d", frame->system_frame_number, size,
                   key ? "key" : "delta", stats.quant);
    return gst_video_encoder_finish_frame(enc, frame);
}

gboolean proposeAllocation(GstVideoEncoder* enc, GstQuery* query) {
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return GST_VIDEO_ENCODER_CLASS(tovamix_xvid_enc_parent_class)->propose_allocation(enc, query);
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<TovamixXvidEnc*>(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_BITRATE:
        self->settings->bitrate = g_value_get_int(value);
        break;
    case PROP_QUANTIZER:
        self->settings->quantizer = g_value_get_int(value);
        break;
    case PROP_MAX_KEY_INTERVAL:
        self->settings->maxKeyInterval = g_value_get_int(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<TovamixXvidEnc*>(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_BITRATE:
        g_value_set_int(value, self->settings->bitrate);
        break;
    case PROP_QUANTIZER:
        g_value_set_int(value, self->settings->quantizer);
        break;
    case PROP_MAX_KEY_INTERVAL:
        g_value_set_int(value, self->settings->maxKeyInterval);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

void finalize(GObject* object) {
    auto* self = reinterpret_cast<TovamixXvidEnc*>(object);
    self->state->destroy();
    delete self->state;
    delete self->settings;
    self->state = nullptr;
    self->settings = nullptr;
    G_OBJECT_CLASS(tovamix_xvid_enc_parent_class)->finalize(object);
}

} // namespace
} // namespace platform::dshow

static void tovamix_xvid_enc_class_init(TovamixXvidEncClass* klass) {
    using namespace platform::dshow;
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    GstVideoEncoderClass* encClass = GST_VIDEO_ENCODER_CLASS(klass);
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    objectClass->finalize = finalize;

    const auto flags =
        GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        objectClass, PROP_BITRATE,
        g_param_spec_int("bitrate", "Bit rate", "Target bit rate in kbit/s (when quantizer is 0)",
                         16, kMaxBitrate, kDefaultBitrate, flags));
    g_object_class_install_property(
        objectClass, PROP_QUANTIZER,
        g_param_spec_int("quantizer", "Quantizer",
                         "Fixed quantizer for every frame, 1 (best) to 31; 0 uses the bit rate", 0,
                         31, 0, flags));
    g_object_class_install_property(
        objectClass, PROP_MAX_KEY_INTERVAL,
        g_param_spec_int("max-key-interval", "Maximum key frame interval",
                         "Frames from one key frame to the next at most", 1, 10000,
                         kDefaultKeyInterval, flags));

    gst_element_class_set_static_metadata(
        elementClass, "Tovamix MPEG-4 (XviD) encoder", "Codec/Encoder/Video",
        "Encodes I420 video into MPEG-4 video with libxvidcore, for AVI files with FourCC XVID",
        "Tovamix");
    gst_element_class_add_static_pad_template(elementClass, &sinkTemplate);
    gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
    encClass->start = start;
    encClass->stop = stop;
    encClass->set_format = setFormat;
    encClass->handle_frame = handleFrame;
    encClass->propose_allocation = proposeAllocation;
}

static void tovamix_xvid_enc_init(TovamixXvidEnc* self) {
    self->settings = new Settings;
    self->state = new EncoderState;
}

namespace platform::dshow {

bool registerXvidEncElement() {
    static const bool registered = [] {
        if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) return false;
        GST_DEBUG_CATEGORY_INIT(tovamix_xvidenc_debug, "tovamixxvidenc", 0,
                                "Tovamix MPEG-4 (XviD) encoder");
        return gst_element_register(nullptr, "tovamixxvidenc", GST_RANK_NONE,
                                    tovamix_xvid_enc_get_type()) == TRUE;
    }();
    return registered;
}

} // namespace platform::dshow
