#include "StreamRepairs.h"

#include <string>

namespace platform::dshow {

namespace {

// A picture stream's caps with a pixel aspect ratio that is not a positive fraction get one
// of 1/1; null when nothing needs mending.
GstCaps* withSquarePixels(GstCaps* caps) {
    GstCaps* mended = nullptr;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        if (!gst_structure_has_name(s, "video/x-raw")) continue;
        gint num = 1, den = 1;
        if (!gst_structure_get_fraction(s, "pixel-aspect-ratio", &num, &den)) continue;
        if (num > 0 && den > 0) continue;
        if (!mended) mended = gst_caps_copy(caps);
        gst_structure_set(gst_caps_get_structure(mended, i), "pixel-aspect-ratio",
                          GST_TYPE_FRACTION, 1, 1, nullptr);
    }
    return mended;
}

GstPadProbeReturn mendCaps(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    if (GstCaps* mended = caps ? withSquarePixels(caps) : nullptr) {
        GstEvent* replaced = gst_event_new_caps(mended);
        gst_caps_unref(mended);
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = replaced;
    }
    return GST_PAD_PROBE_OK;
}

void watchPad(GstElement*, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, mendCaps, nullptr, nullptr);
}

// An AVI reader's outputs are watched as it adds them; other elements are left alone.
void elementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory || std::string(GST_OBJECT_NAME(factory)) != "avidemux") return;
    g_signal_connect(element, "pad-added", G_CALLBACK(watchPad), nullptr);
}

} // namespace

void repairStreamsOf(GstBin* bin) {
    g_signal_connect(bin, "deep-element-added", G_CALLBACK(elementAdded), nullptr);
}

} // namespace platform::dshow
