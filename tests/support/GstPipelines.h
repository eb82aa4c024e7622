// Running a GStreamer pipeline to its end in tests of our own elements: wait for EOS or the
// first error on the bus, with what the error said.
#pragma once

#include <gst/gst.h>

#include <string>

namespace testsupport {

struct PipelineEnd {
    std::string parseError; // set when the description did not build
    bool eos = false;
    bool error = false;
    std::string errorSource, message, debug;
};

// Waits up to `seconds` for EOS or an error on the pipeline's bus.
inline PipelineEnd waitForPipelineEnd(GstElement* pipeline, int seconds) {
    PipelineEnd o;
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg =
        gst_bus_timed_pop_filtered(bus, GstClockTime(seconds) * GST_SECOND,
                                   GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) o.eos = true;
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError* err = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        o.error = true;
        o.errorSource = GST_OBJECT_NAME(GST_MESSAGE_SRC(msg));
        o.message = err ? err->message : "";
        o.debug = debug ? debug : "";
        g_clear_error(&err);
        g_free(debug);
    }
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    return o;
}

// Builds a pipeline from a description; null with the reason in *parseError when it fails.
inline GstElement* buildPipeline(const std::string& description, std::string* parseError) {
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
    if (err || !pipeline) {
        *parseError = err ? err->message : "no pipeline";
        g_clear_error(&err);
        if (pipeline) gst_object_unref(pipeline);
        return nullptr;
    }
    return pipeline;
}

// Builds the pipeline, plays it until EOS or an error, and tears it down.
inline PipelineEnd playPipeline(const std::string& description, int seconds = 120) {
    PipelineEnd o;
    GstElement* pipeline = buildPipeline(description, &o.parseError);
    if (!pipeline) return o;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    o = waitForPipelineEnd(pipeline, seconds);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return o;
}

} // namespace testsupport
