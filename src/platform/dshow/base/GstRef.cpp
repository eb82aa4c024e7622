// Visits of a bin's elements and an element's pads. Called on any thread.
#include "platform/dshow/base/GstRef.h"

#include <vector>

namespace platform::dshow {

namespace {

// Takes a reference to every object the iterator gives, starting over when the bin or element
// changes under it; frees the iterator.
template <class T> std::vector<GstRef<T>> collect(GstIterator* it) {
    std::vector<GstRef<T>> out;
    if (!it) return out;
    GValue item = G_VALUE_INIT;
    for (bool more = true; more;) {
        switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK:
            out.push_back(GstRef<T>::ref(static_cast<T*>(g_value_get_object(&item))));
            g_value_reset(&item);
            break;
        case GST_ITERATOR_RESYNC:
            out.clear();
            gst_iterator_resync(it);
            break;
        case GST_ITERATOR_DONE:
        case GST_ITERATOR_ERROR:
            more = false;
            break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return out;
}

} // namespace

void forEachElement(GstBin* bin, BinElements which, const std::function<bool(GstElement*)>& visit) {
    GstIterator* it = which == BinElements::Sorted  ? gst_bin_iterate_sorted(bin)
                      : which == BinElements::Sinks ? gst_bin_iterate_sinks(bin)
                                                    : gst_bin_iterate_elements(bin);
    for (const ElementRef& e : collect<GstElement>(it))
        if (!visit(e)) break;
}

void forEachPad(GstElement* element, GstPadDirection direction,
                const std::function<bool(GstPad*)>& visit) {
    GstIterator* it = direction == GST_PAD_SRC    ? gst_element_iterate_src_pads(element)
                      : direction == GST_PAD_SINK ? gst_element_iterate_sink_pads(element)
                                                  : gst_element_iterate_pads(element);
    for (const PadRef& p : collect<GstPad>(it))
        if (!visit(p)) break;
}

} // namespace platform::dshow
