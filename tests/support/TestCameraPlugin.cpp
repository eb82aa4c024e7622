// A GStreamer plugin for the tests only: a device provider that lists one camera, "Tovamix Test
// Camera" (class Video/Source), so capture code can be exercised on machines without one. Its
// element is a live, moving test pattern restricted to the few formats the camera offers.
//
// It is loaded only through the plugin path the test command sets:
//   GST_PLUGIN_PATH=build/tests/gst-plugins gst-device-monitor-1.0 Video/Source
// The program itself never asks for it.
#include <gst/gst.h>

namespace {

// What the camera offers, in its order: the first one is what a caller gets by default.
constexpr const char* CameraCaps =
    "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
    "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)YUY2, width=(int)320, height=(int)240, "
    "framerate=(fraction)15/1, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)I420, width=(int)640, height=(int)480, "
    "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)BGR, width=(int)320, height=(int)240, "
    "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1";

// The device: makes a bin "videotestsrc ! capsfilter" with a "src" ghost pad.
struct TestCameraDevice {
    GstDevice parent;
};
struct TestCameraDeviceClass {
    GstDeviceClass parent_class;
};

GType test_camera_device_get_type();
G_DEFINE_TYPE(TestCameraDevice, test_camera_device, GST_TYPE_DEVICE)

GstElement* test_camera_device_create_element(GstDevice*, const gchar* name) {
    GstElement* bin = gst_bin_new(name);
    GstElement* src = gst_element_factory_make("videotestsrc", nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    if (!src || !filter) {
        if (src) gst_object_unref(src);
        if (filter) gst_object_unref(filter);
        gst_object_unref(bin);
        return nullptr;
    }
    // A live source keeps camera timing; the moving pattern makes every frame differ.
    g_object_set(src, "is-live", TRUE, "do-timestamp", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(src), "pattern", "smpte");
    g_object_set(src, "horizontal-speed", 4, nullptr);
    GstCaps* caps = gst_caps_from_string(CameraCaps);
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(bin), src, filter, nullptr);
    gst_element_link(src, filter);
    GstPad* pad = gst_element_get_static_pad(filter, "src");
    gst_element_add_pad(bin, gst_ghost_pad_new("src", pad));
    gst_object_unref(pad);
    return bin;
}

void test_camera_device_class_init(TestCameraDeviceClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = test_camera_device_create_element;
}
void test_camera_device_init(TestCameraDevice*) {}

// The provider: one camera, always there.
struct TestCameraProvider {
    GstDeviceProvider parent;
};
struct TestCameraProviderClass {
    GstDeviceProviderClass parent_class;
};

GType test_camera_provider_get_type();
G_DEFINE_TYPE(TestCameraProvider, test_camera_provider, GST_TYPE_DEVICE_PROVIDER)

GstDevice* makeCamera() {
    GstCaps* caps = gst_caps_from_string(CameraCaps);
    GstStructure* props =
        gst_structure_new("tovamix-test-camera", "device.api", G_TYPE_STRING, "test", "device.path",
                          G_TYPE_STRING, "/dev/tovamix-test-camera", nullptr);
    auto* device = static_cast<GstDevice*>(
        g_object_new(test_camera_device_get_type(), "display-name", "Tovamix Test Camera", "caps",
                     caps, "device-class", "Video/Source", "properties", props, nullptr));
    gst_caps_unref(caps);
    gst_structure_free(props);
    return device;
}

GList* test_camera_provider_probe(GstDeviceProvider*) {
    return g_list_append(nullptr, makeCamera());
}

void test_camera_provider_class_init(TestCameraProviderClass* klass) {
    GstDeviceProviderClass* dp = GST_DEVICE_PROVIDER_CLASS(klass);
    dp->probe = test_camera_provider_probe;
    gst_device_provider_class_set_static_metadata(dp, "Tovamix test camera", "Video/Source",
                                                  "Lists one test-pattern camera for the tests",
                                                  "Tovamix developers");
}
void test_camera_provider_init(TestCameraProvider*) {}

gboolean plugin_init(GstPlugin* plugin) {
    return gst_device_provider_register(plugin, "tovamixtestcamera", GST_RANK_PRIMARY,
                                        test_camera_provider_get_type());
}

} // namespace

// The plugin description names the package it comes from.
#define PACKAGE "tovamix-tests"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tovamixtestcamera,
                  "A test-pattern camera for the Tovamix tests", plugin_init, "1.0", "LGPL",
                  "tovamix-tests", "https://example.invalid/tovamix")
