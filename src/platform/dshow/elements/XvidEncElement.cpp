#include "platform/dshow/elements/XvidEncElement.h"

#include <gst/gst.h>
#include <gst/video/gstvideoencoder.h>
#include <gst/video/video.h>

#include "platform/vfw/XvidCore.h"

#include <cstdint>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(tovamix_xvidenc_debug);
#define GST_CAT_DEFAULT tovamix_xvidenc_debug

namespace platform::dshow {
namespace {

constexpr int kDefaultBitrate = 1500; // kbit/s
constexpr int kMaxBitrate = 100000;
constexpr int kDefaultKeyInterval = 250;
// The MPEG-4 video object layer stores width and height in 13 bits.
constexpr int kMaxDimension = 8191;

enum Property { PROP_0, PROP_BITRATE, PROP_QUANTIZER, PROP_MAX_KEY_INTERVAL };

struct Settings {
    int bitrate = kDefaultBitrate;
    int quantizer = 0;
    int maxKeyInterval = kDefaultKeyInterval;
};

// The encoder of one negotiated format. Used by the streaming thread only.
struct EncoderState {
    platform::vfw::XvidEncoder encoder;
    Settings used; // the settings the encoder was made with
    GstVideoInfo info;
    GstVideoCodecState* input = nullptr; // the negotiated input, reference of the output caps
    bool haveHeaders = false;
    // Full-range input (decoded JPEG, for one) is brought to the studio range MPEG-4 video
    // stores (luma 16..235, chroma 16..240) through these tables into `studio`.
    bool fullRange = false;
    uint8_t lumaTable[256], chromaTable[256];
    std::vector<uint8_t> studio;

    void destroy() {
        encoder.close();
        if (input) gst_video_codec_state_unref(input);
        input = nullptr;
        haveHeaders = false;
    }
};

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

// Makes the xvidcore encoder for the negotiated picture format.
bool createEncoder(GstVideoEncoder* enc, const GstVideoInfo& info, const Settings& settings) {
    EncoderState& s = *encOf(enc)->state;
    platform::vfw::XvidSettings x;
    x.width = GST_VIDEO_INFO_WIDTH(&info);
    x.height = GST_VIDEO_INFO_HEIGHT(&info);
    x.frameNum = GST_VIDEO_INFO_FPS_D(&info);
    x.frameDen = GST_VIDEO_INFO_FPS_N(&info);
    x.quantizer = settings.quantizer;
    x.bitrate = settings.bitrate;
    x.maxKeyInterval = settings.maxKeyInterval;
    std::string why;
    if (!s.encoder.open(x, &why)) {
        GST_ELEMENT_ERROR(enc, LIBRARY, INIT, ("Cannot start the MPEG-4 (XviD) encoder."),
                          ("%s", why.c_str()));
        return false;
    }
    s.used = settings;
    s.info = info;
    s.haveHeaders = false;
    GST_INFO_OBJECT(enc,
                    "encoder for %dx%d, %d/%d frames per second, quantizer %d, %d kbit/s, key "
                    "frames every %d at most",
                    x.width, x.height, x.frameDen, x.frameNum, settings.quantizer, settings.bitrate,
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
    if (!s.encoder.isOpen()) {
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

    platform::vfw::XvidPicture in;
    uint8_t* studio = s.studio.data();
    for (int p = 0; p < 3; ++p) {
        in.plane[p] = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&picture, p));
        in.stride[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&picture, p);
        if (!s.fullRange) continue;
        const int w = GST_VIDEO_FRAME_COMP_WIDTH(&picture, p);
        const int h = GST_VIDEO_FRAME_COMP_HEIGHT(&picture, p);
        const uint8_t* table = p == 0 ? s.lumaTable : s.chromaTable;
        for (int y = 0; y < h; ++y) {
            const uint8_t* from = in.plane[p] + size_t(y) * size_t(in.stride[p]);
            uint8_t* to = studio + size_t(y) * size_t(w);
            for (int x = 0; x < w; ++x)
                to[x] = table[from[x]];
        }
        in.plane[p] = studio;
        in.stride[p] = w;
        studio += size_t(w) * size_t(h);
    }
    // Key frames come at the interval at the latest and whenever downstream asks for one.
    platform::vfw::XvidFrame out;
    std::string why;
    const bool encoded =
        s.encoder.encode(in, GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame), out, &why);
    gst_video_frame_unmap(&picture);
    if (!encoded) {
        gst_video_encoder_finish_frame(enc, frame);
        GST_ELEMENT_ERROR(enc, STREAM, ENCODE, ("The MPEG-4 (XviD) encoder failed on a frame."),
                          ("%s", why.c_str()));
        return GST_FLOW_ERROR;
    }
    const bool key = out.keyFrame;

    if (!s.haveHeaders) {
        if (!key) {
            gst_video_encoder_finish_frame(enc, frame);
            GST_ELEMENT_ERROR(enc, STREAM, ENCODE,
                              ("The MPEG-4 (XviD) encoder did not start with a key frame."),
                              ("first frame: %zu bytes", out.size));
            return GST_FLOW_ERROR;
        }
        if (!setOutputCaps(enc, platform::vfw::XvidEncoder::streamHeaders(out.data, out.size))) {
            gst_video_encoder_finish_frame(enc, frame);
            GST_ELEMENT_ERROR(enc, CORE, NEGOTIATION,
                              ("Downstream does not take the MPEG-4 (XviD) video."), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        s.haveHeaders = true;
    }

    // An empty buffer stands for a frame the encoder left out: the AVI writer stores an empty
    // chunk so that the frames after it keep their places.
    frame->output_buffer = gst_buffer_new_memdup(out.data, gsize(out.size));
    if (key)
        GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
    else
        GST_VIDEO_CODEC_FRAME_UNSET_SYNC_POINT(frame);
    GST_LOG_OBJECT(enc, "frame %u: %zu bytes, %s, quantizer %d", frame->system_frame_number,
                   out.size, key ? "key" : "delta", out.quantizer);
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
