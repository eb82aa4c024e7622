// Still pictures on a DVD: followed through a pad (rsndvdbin's source says when one starts, long
// before the pictures behind it show it) for the navigator, which leaves a menu's still by
// pressing its button rather than by a seek the source would lose.
#include "platform/dshow/dvd/DvdImpl.h"

#include <gst/video/video-event.h>

#include <atomic>

namespace platform::dshow {

// The element of rsndvdbin that reads the volume (its one source).
ElementRef findSource(GstElement* bin) {
    ElementRef found;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(bin));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* e = GST_ELEMENT(g_value_get_object(&item));
        if (!GST_IS_BIN(e) && GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SOURCE))
            found = ElementRef::ref(e);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// Follows a still picture through a pad: a still-frame event says whether one starts or ends;
// data, or a flush, mean the pictures move again (a source sought out of a still starts
// afresh, and says so again if it meets one).
static GstPadProbeReturn followStill(GstPad*, GstPadProbeInfo* info, gpointer data) {
    std::atomic<bool>& still = **static_cast<StillFlag*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        still = false;
        return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    gboolean inStill = FALSE;
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP)
        still = false;
    else if (gst_video_event_parse_still_frame(event, &inStill))
        still = inStill != FALSE;
    return GST_PAD_PROBE_OK;
}

gulong probeStills(GstPad* pad, const StillFlag& still) {
    return gst_pad_add_probe(pad,
                             GstPadProbeType(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                             GST_PAD_PROBE_TYPE_EVENT_FLUSH |
                                             GST_PAD_PROBE_TYPE_BUFFER),
                             followStill, new StillFlag(still),
                             [](gpointer data) { delete static_cast<StillFlag*>(data); });
}

// A new source starts outside any still.
static void watchSource(GstElement* e, const StillFlag& still) {
    if (GST_IS_BIN(e) || !GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SOURCE)) return;
    still->store(false);
    const PadRef out(gst_element_get_static_pad(e, "src"));
    if (out) probeStills(out, still);
}

StillFlag watchSourceStills(GstElement* dvdBin) {
    StillFlag still = std::make_shared<std::atomic<bool>>(false);
    if (const ElementRef src = findSource(dvdBin)) watchSource(src.get(), still);
    // rsndvdbin makes its source as it leaves NULL, and again after each restart.
    g_signal_connect_data(
        dvdBin, "element-added", G_CALLBACK(+[](GstBin*, GstElement* e, gpointer data) {
            watchSource(e, *static_cast<StillFlag*>(data));
        }),
        new StillFlag(still),
        [](gpointer data, GClosure*) { delete static_cast<StillFlag*>(data); }, GConnectFlags(0));
    return still;
}

} // namespace platform::dshow
