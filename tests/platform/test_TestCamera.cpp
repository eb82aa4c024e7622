// The test camera the capture tests rely on: listed by the device monitor (through the tests'
// plugin path) and delivering moving pictures in each format it offers.
#include "support/GstPipelines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace testsupport;

namespace {
GstDevice* findTestCamera() {
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    gst_device_monitor_start(monitor);
    GList* list = gst_device_monitor_get_devices(monitor);
    gst_device_monitor_stop(monitor);
    GstDevice* found = nullptr;
    for (GList* l = list; l; l = l->next) {
        gchar* name = gst_device_get_display_name(GST_DEVICE(l->data));
        if (!found && std::string(name) == "Tovamix Test Camera")
            found = GST_DEVICE(gst_object_ref(l->data));
        g_free(name);
    }
    g_list_free_full(list, gst_object_unref);
    gst_object_unref(monitor);
    return found;
}

// The first bytes of each of `count` pictures the camera gives in a format.
std::vector<std::vector<guint8>> capture(GstDevice* camera, const std::string& caps, int count,
                                         std::string* error) {
    GstElement* pipeline = gst_pipeline_new(nullptr);
    GstElement* src = gst_device_create_element(camera, nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    GstCaps* c = gst_caps_from_string(caps.c_str());
    g_object_set(filter, "caps", c, nullptr);
    gst_caps_unref(c);
    g_object_set(sink, "sync", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(pipeline), src, filter, sink, nullptr);
    std::vector<std::vector<guint8>> pictures;
    if (!gst_element_link_many(src, filter, sink, nullptr)) {
        *error = "cannot link the camera to " + caps;
    } else {
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        while (int(pictures.size()) < count) {
            GstSample* sample = nullptr;
            g_signal_emit_by_name(sink, "try-pull-sample", GstClockTime(5 * GST_SECOND), &sample);
            if (!sample) {
                PipelineEnd end = waitForPipelineEnd(pipeline, 0);
                *error = "no picture in " + caps + ": " + end.message + " " + end.debug;
                break;
            }
            GstMapInfo map;
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            gst_buffer_map(buffer, &map, GST_MAP_READ);
            pictures.emplace_back(map.data, map.data + std::min<gsize>(map.size, 64 * 1024));
            gst_buffer_unmap(buffer, &map);
            gst_sample_unref(sample);
        }
        gst_element_set_state(pipeline, GST_STATE_NULL);
    }
    gst_object_unref(pipeline);
    return pictures;
}
} // namespace

TEST(TestCamera, IsListedWithItsFormatsAndDeliversMovingPicturesInEach) {
    gst_init(nullptr, nullptr);
    GstDevice* camera = findTestCamera();
    ASSERT_TRUE(camera) << "is GST_PLUGIN_PATH set to the tests' plugin folder?";
    gchar* klass = gst_device_get_device_class(camera);
    EXPECT_STREQ(klass, "Video/Source");
    g_free(klass);
    GstCaps* caps = gst_device_get_caps(camera);
    ASSERT_TRUE(caps);
    ASSERT_EQ(gst_caps_get_size(caps), 4u);
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstCaps* one = gst_caps_copy_nth(caps, i);
        gchar* text = gst_caps_to_string(one);
        std::string error;
        const auto pictures = capture(camera, text, 3, &error);
        ASSERT_EQ(pictures.size(), 3u) << error;
        EXPECT_NE(pictures[0], pictures[2]) << text; // the pattern moves
        g_free(text);
        gst_caps_unref(one);
    }
    gst_caps_unref(caps);
    gst_object_unref(camera);
}
