// Running a GStreamer pipeline to its end with this process's CPU time measured, for the
// benchmarks that time an element against a peer element.
#pragma once

#include "BenchSupport.h"

#include <gst/gst.h>

namespace bench {

// CPU milliseconds this process spends running a pipeline to its end of stream, or a negative
// figure when it fails.
inline double pipelineCpuMs(const std::string& description) {
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
    if (err || !pipeline) {
        std::fprintf(stderr, "pipeline: %s\n", err ? err->message : "none");
        g_clear_error(&err);
        if (pipeline) gst_object_unref(pipeline);
        return -1;
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg = gst_bus_timed_pop_filtered(
        bus, 300 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    return ok ? cpuMs(after) - cpuMs(before) : -1;
}

} // namespace bench
