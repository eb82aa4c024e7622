// A GStreamer plugin for the tests only: a device provider that lists one camera, "Tovamix Test
// Camera" (class Video/Source), so capture code can be exercised on machines without one. Its
// element is a live, moving test pattern restricted to the few formats the camera offers.
//
// It is loaded only through the plugin path the test command sets:
//   GST_PLUGIN_PATH=build/tests/gst-plugins gst-device-monitor-1.0 Video/Source
// The program itself never asks for it.
//
// With TOVAMIX_TEST_CAMERA_FAULTS=1 it also lists devices that misbehave the way real ones do:
//   "Tovamix Busy Camera"     fails to start with a RESOURCE/BUSY error (held by another program);
//   "Tovamix Failing Camera"  gives 2 s of pictures, then a RESOURCE/READ error (unplugged);
//   "Tovamix Slow Camera"     gives its first picture 0.7 s late; the picture at each whole
//                             second of the clock is white, all others black (for sync checks);
//   "Tovamix Test Microphone" (Audio/Source) a 50 ms beep at each whole second of the clock.
#include <gst/gst.h>

#include <cstdlib>
#include <cstring>
#include <string>

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

constexpr const char* SlowCameraCaps =
    "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
    "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1";
constexpr const char* MicrophoneCaps =
    "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, rate=(int)44100, "
    "channels=(int)2";

enum class Kind { Normal, Busy, Failing, Slow, Microphone };

// A bin that cannot start: the device is held by another program.
struct BusyBin {
    GstBin parent;
};
struct BusyBinClass {
    GstBinClass parent_class;
};
GType busy_bin_get_type();
G_DEFINE_TYPE(BusyBin, busy_bin, GST_TYPE_BIN)

GstStateChangeReturn busy_bin_change_state(GstElement* element, GstStateChange transition) {
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        GST_ELEMENT_ERROR(element, RESOURCE, BUSY, ("Device is busy."),
                          ("the test camera pretends another program holds it"));
        return GST_STATE_CHANGE_FAILURE;
    }
    return GST_ELEMENT_CLASS(busy_bin_parent_class)->change_state(element, transition);
}
void busy_bin_class_init(BusyBinClass* klass) {
    GST_ELEMENT_CLASS(klass)->change_state = busy_bin_change_state;
}
void busy_bin_init(BusyBin*) {}

// What a probe on a faulty source's output needs.
struct FaultState {
    Kind kind;
    GstElement* source; // not owned: the probe lives on the source's own bin
    GstClockTime first = GST_CLOCK_TIME_NONE;
};

// Failing: ends with a read error after two seconds. Slow: drops the first 0.7 s and paints
// each picture white or black. Microphone: silence except the beeps.
GstPadProbeReturn faultProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto& st = *static_cast<FaultState*>(data);
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    const GstClockTime pts = GST_BUFFER_PTS(buf);
    if (!GST_CLOCK_TIME_IS_VALID(pts)) return GST_PAD_PROBE_OK;
    if (!GST_CLOCK_TIME_IS_VALID(st.first)) st.first = pts;
    switch (st.kind) {
    case Kind::Failing:
        if (pts - st.first < 2 * GST_SECOND) return GST_PAD_PROBE_OK;
        GST_ELEMENT_ERROR(st.source, RESOURCE, READ, ("Could not read from the camera."),
                          ("the test camera pretends it was unplugged"));
        gst_buffer_unref(buf);
        GST_PAD_PROBE_INFO_DATA(info) = nullptr;
        // As a camera driver does: the source then reports a stream error of its own too.
        GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_ERROR;
        return GST_PAD_PROBE_HANDLED;
    case Kind::Slow: {
        if (pts < 700 * GST_MSECOND) return GST_PAD_PROBE_DROP;
        buf = gst_buffer_make_writable(buf);
        GST_PAD_PROBE_INFO_DATA(info) = buf;
        const bool white = pts % GST_SECOND < GST_SECOND / 30;
        GstMapInfo map;
        if (gst_buffer_map(buf, &map, GST_MAP_WRITE)) {
            // YUY2: luma, chroma, luma, chroma; neutral chroma.
            for (gsize i = 0; i + 1 < map.size; i += 2) {
                map.data[i] = white ? 235 : 16;
                map.data[i + 1] = 128;
            }
            gst_buffer_unmap(buf, &map);
        }
        return GST_PAD_PROBE_OK;
    }
    case Kind::Microphone: {
        buf = gst_buffer_make_writable(buf);
        GST_PAD_PROBE_INFO_DATA(info) = buf;
        GstMapInfo map;
        if (gst_buffer_map(buf, &map, GST_MAP_WRITE)) {
            const gsize frames = map.size / 4; // S16LE stereo
            for (gsize i = 0; i < frames; ++i) {
                const GstClockTime t = pts + gst_util_uint64_scale(i, GST_SECOND, 44100);
                if (t % GST_SECOND >= 50 * GST_MSECOND) std::memset(map.data + i * 4, 0, 4);
            }
            gst_buffer_unmap(buf, &map);
        }
        return GST_PAD_PROBE_OK;
    }
    default:
        return GST_PAD_PROBE_OK;
    }
}

// The device: makes a bin "videotestsrc ! capsfilter" (audiotestsrc for the microphone) with
// a "src" ghost pad.
struct TestCameraDevice {
    GstDevice parent;
};
struct TestCameraDeviceClass {
    GstDeviceClass parent_class;
};

GType test_camera_device_get_type();
G_DEFINE_TYPE(TestCameraDevice, test_camera_device, GST_TYPE_DEVICE)

GstElement* test_camera_device_create_element(GstDevice* device, const gchar* name) {
    const Kind kind = Kind(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(device), "tovamix-kind")));
    GstElement* bin = kind == Kind::Busy
                          ? GST_ELEMENT(g_object_new(busy_bin_get_type(), "name", name, nullptr))
                          : gst_bin_new(name);
    GstElement* src = gst_element_factory_make(
        kind == Kind::Microphone ? "audiotestsrc" : "videotestsrc", nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    if (!src || !filter) {
        if (src) gst_object_unref(src);
        if (filter) gst_object_unref(filter);
        gst_object_unref(bin);
        return nullptr;
    }
    // A live source keeps camera timing; the moving pattern makes every frame differ.
    if (kind == Kind::Microphone) {
        // Timed by its samples from the start of the run, as a sound card is.
        g_object_set(src, "is-live", TRUE, "samplesperbuffer", 441, "freq", 1000.0, "volume", 0.5,
                     nullptr);
    } else {
        g_object_set(src, "is-live", TRUE, "do-timestamp", TRUE, nullptr);
        gst_util_set_object_arg(G_OBJECT(src), "pattern", kind == Kind::Slow ? "black" : "smpte");
        if (kind != Kind::Slow) g_object_set(src, "horizontal-speed", 4, nullptr);
    }
    GstCaps* caps = gst_caps_from_string(kind == Kind::Microphone ? MicrophoneCaps
                                         : kind == Kind::Slow     ? SlowCameraCaps
                                                                  : CameraCaps);
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(bin), src, filter, nullptr);
    gst_element_link(src, filter);
    GstPad* pad = gst_element_get_static_pad(filter, "src");
    if (kind == Kind::Failing || kind == Kind::Slow || kind == Kind::Microphone)
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, faultProbe,
                          new FaultState{kind, src, GST_CLOCK_TIME_NONE},
                          [](gpointer d) { delete static_cast<FaultState*>(d); });
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

GstDevice* makeDevice(Kind kind, const char* displayName, const char* capsText, const char* path) {
    GstCaps* caps = gst_caps_from_string(capsText);
    GstStructure* props = gst_structure_new("tovamix-test-camera", "device.api", G_TYPE_STRING,
                                            "test", "device.path", G_TYPE_STRING, path, nullptr);
    auto* device = static_cast<GstDevice*>(g_object_new(
        test_camera_device_get_type(), "display-name", displayName, "caps", caps, "device-class",
        kind == Kind::Microphone ? "Audio/Source" : "Video/Source", "properties", props, nullptr));
    g_object_set_data(G_OBJECT(device), "tovamix-kind", GINT_TO_POINTER(int(kind)));
    gst_caps_unref(caps);
    gst_structure_free(props);
    return device;
}

GList* test_camera_provider_probe(GstDeviceProvider*) {
    GList* list = g_list_append(nullptr, makeDevice(Kind::Normal, "Tovamix Test Camera", CameraCaps,
                                                    "/dev/tovamix-test-camera"));
    const char* faults = std::getenv("TOVAMIX_TEST_CAMERA_FAULTS");
    if (faults && std::string(faults) == "1") {
        list = g_list_append(list, makeDevice(Kind::Busy, "Tovamix Busy Camera", CameraCaps,
                                              "/dev/tovamix-busy-camera"));
        list = g_list_append(list, makeDevice(Kind::Failing, "Tovamix Failing Camera", CameraCaps,
                                              "/dev/tovamix-failing-camera"));
        list = g_list_append(list, makeDevice(Kind::Slow, "Tovamix Slow Camera", SlowCameraCaps,
                                              "/dev/tovamix-slow-camera"));
        list = g_list_append(list, makeDevice(Kind::Microphone, "Tovamix Test Microphone",
                                              MicrophoneCaps, "/dev/tovamix-test-microphone"));
    }
    return list;
}

void test_camera_provider_class_init(TestCameraProviderClass* klass) {
    GstDeviceProviderClass* dp = GST_DEVICE_PROVIDER_CLASS(klass);
    dp->probe = test_camera_provider_probe;
    gst_device_provider_class_set_static_metadata(
        dp, "Tovamix test camera", "Video/Source/Audio/Source",
        "Lists one test-pattern camera for the tests", "Tovamix developers");
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
