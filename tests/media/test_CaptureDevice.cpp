// Capture devices bound through the device enumerator: the test camera (from the tests'
// plugin path) and the virtual microphone of the tests' PulseAudio daemon.
#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"
#include "media/TMediaType.h"
#include "platform/dshow/devices/PulseSources.h"
#include "support/FakePulseServer.h"
#include "support/QtEnvironment.h"

#include <filesystem>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("320x240x24"));

// The index of the first entry whose name contains text, or -1.
int find(const TSysDevEnum& devices, const std::string& text) {
    for (int i = 0; i < devices.Count(); ++i)
        if (devices.Item(i).FriendlyName.find(text) != std::string::npos) return i;
    return -1;
}

std::vector<std::string> names(const TSysDevEnum& devices) {
    std::vector<std::string> out;
    for (int i = 0; i < devices.Count(); ++i)
        out.push_back(devices.Item(i).FriendlyName);
    return out;
}

// A graph with one device in it, bound the way the capture windows bind theirs.
struct BoundDevice {
    TFilterGraph graph;
    TFilter filter{"Device"};
    BoundDevice(TSysDevEnum& devices, int index) {
        graph.setMode(gmCapture);
        filter.setFilterGraph(&graph);
        filter.BaseFilter.setMoniker(devices.GetMoniker(index));
        graph.setActive(true);
    }
    ~BoundDevice() {
        graph.Stop();
        graph.setActive(false);
        filter.setFilterGraph(nullptr);
    }
};

// "codec,width,height" of the video stream, "codec,duration" of the audio stream.
std::string streamOf(const std::string& path, const char* kind) {
    const std::string fields = *kind == 'v' ? "codec_name,width,height" : "codec_name,duration";
    std::string out = run("ffprobe -v error -select_streams " + std::string(kind) +
                          " -show_entries stream=" + fields + " -of csv=p=0 '" + path + "'")
                          .out;
    while (!out.empty() && (out.back() == '\n' || out.back() == ','))
        out.pop_back();
    return out;
}

// A null output of the test's own that nothing plays into, and the name of its monitor as an
// audio input device.
struct IdleOutput {
    std::string module;
    std::string description = "Idle-Output-" + std::to_string(getpid());
    IdleOutput() {
        const CommandResult r =
            run("pactl load-module module-null-sink sink_name=tovamix_idle_" +
                std::to_string(getpid()) + " sink_properties=device.description=" + description);
        if (r.exitCode == 0) module = r.out.substr(0, r.out.find('\n'));
    }
    ~IdleOutput() {
        if (!module.empty()) run("pactl unload-module " + module);
    }
};

} // namespace

TEST(CaptureDevices, CategoriesListTheSameDevicesInTheSameOrderAfterSwitching) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    const auto video = names(devices);
    EXPECT_NE(find(devices, "Tovamix Test Camera"), -1);
    devices.SelectCategory(CLSID_AudioInputDeviceCategory);
    const auto audio = names(devices);
    EXPECT_EQ(find(devices, "Tovamix Test Camera"), -1);
    devices.SelectCategory(CLSID_VideoInputDeviceCategory);
    EXPECT_EQ(names(devices), video);
    devices.SelectCategory(CLSID_AudioInputDeviceCategory);
    EXPECT_EQ(names(devices), audio);
    // Out of range gives nothing.
    EXPECT_EQ(devices.GetMoniker(devices.Count()), nullptr);
    EXPECT_EQ(devices.GetBaseFilter(-1), nullptr);
}

// The camera's Capture pin offers its formats; the one set is the one recorded.
TEST(CaptureDevices, TheCameraRecordsInTheFormatSetOnItsCapturePin) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    const int camera = find(devices, "Tovamix Test Camera");
    ASSERT_NE(camera, -1);
    BoundDevice d(devices, camera);
    ASSERT_TRUE(d.filter.GetFilter()) << d.filter.bindError();
    TPinList pins(d.filter.GetFilter());
    ASSERT_EQ(pins.Count(), 1);
    EXPECT_EQ(pins.PinInfo(0).dir, PINDIR_OUTPUT);
    EXPECT_EQ(pins.PinInfo(0).name, "Capture");
    TEnumMediaType types;
    types.Enumerate(pins.Item(0));
    ASSERT_EQ(types.Count(), 4);
    int small = -1;
    for (int i = 0; i < types.Count(); ++i)
        if (types.Item(i).caps().find("width=(int)320, height=(int)240") != std::string::npos &&
            types.Item(i).record().subtype == MEDIASUBTYPE_YUY2)
            small = i;
    ASSERT_NE(small, -1);

    auto config = queryInterface<IAMStreamConfig>(pins.Item(0));
    ASSERT_TRUE(config);
    ASSERT_EQ(config->SetFormat(types.Item(small).record()), S_OK);
    AM_MEDIA_TYPE now;
    ASSERT_EQ(config->GetFormat(&now), S_OK);
    EXPECT_EQ(capsFromMediaType(now), types.Item(small).caps());
    // A format the camera does not have is refused.
    TMediaType big(types.Item(small).record());
    big.record().format[52] = 0x20; // the bitmap header's width: 320 -> 288
    big.record().format[53] = 0x01;
    EXPECT_EQ(config->SetFormat(big.record()), VFW_E_INVALIDMEDIATYPE);

    const std::string out = scratchDir("capture") + "/camera.avi";
    auto builder = d.graph.as<ICaptureGraphBuilder2>();
    FilterPtr mux, writer;
    ASSERT_EQ(builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer), S_OK);
    TFilter xvid("XvidEncoder");
    xvid.BaseFilter.setMoniker(std::make_shared<TMoniker>(
        TMoniker{"@device:cm:" + guidToString(CLSID_VideoCompressorCategory) + "\\xvid"}));
    xvid.setFilterGraph(&d.graph);
    ASSERT_TRUE(xvid.GetFilter());
    ASSERT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, d.filter.GetFilter(),
                                    xvid.GetFilter(), mux),
              S_OK);
    ASSERT_TRUE(d.graph.Play());
    pump(1000);
    EXPECT_EQ(config->SetFormat(types.Item(0).record()), VFW_E_NOT_STOPPED);
    d.graph.Stop();
    xvid.setFilterGraph(nullptr);
    EXPECT_EQ(streamOf(out, "v"), "mpeg4,320,240");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// The microphone: a Capture output and its input lines; the lines are what the voice source
// list shows.
TEST(CaptureDevices, TheMicrophoneHasACapturePinAndInputLinesWithAnEnabledOne) {
    TSysDevEnum devices(CLSID_AudioInputDeviceCategory);
    const int mic = find(devices, "Virtual-Microphone");
    if (mic == -1) GTEST_SKIP() << "no PulseAudio server with the virtual microphone";
    BoundDevice d(devices, mic);
    ASSERT_TRUE(d.filter.GetFilter()) << d.filter.bindError();
    TPinList pins(d.filter.GetFilter());
    ASSERT_GE(pins.Count(), 2);
    EXPECT_EQ(pins.PinInfo(0).dir, PINDIR_OUTPUT);
    EXPECT_EQ(pins.PinInfo(0).name, "Capture");
    std::vector<std::string> lines;
    for (int i = 1; i < pins.Count(); ++i) {
        EXPECT_EQ(pins.PinInfo(i).dir, PINDIR_INPUT);
        lines.push_back(pins.PinInfo(i).name);
    }
    // Deleting the outputs leaves the input lines, in order.
    for (int i = pins.Count() - 1; i >= 0; --i)
        if (pins.PinInfo(i).dir == PINDIR_OUTPUT) pins.Delete(i);
    ASSERT_EQ(pins.Count(), int(lines.size()));
    for (int i = 0; i < pins.Count(); ++i)
        EXPECT_EQ(pins.PinInfo(i).name, lines[size_t(i)]);
    // A source without ports has one line, itself, always enabled.
    const auto info = platform::dshow::pulseSourceInfo("tovamix_mic");
    ASSERT_TRUE(info);
    if (info->ports.empty()) {
        ASSERT_EQ(lines, std::vector<std::string>{"Virtual-Microphone"});
        auto mixer = queryInterface<IAMAudioInputMixer>(pins.Item(0));
        ASSERT_TRUE(mixer);
        bool enabled = false;
        EXPECT_EQ(mixer->get_Enable(&enabled), S_OK);
        EXPECT_TRUE(enabled);
        EXPECT_EQ(mixer->put_Enable(false), S_FALSE); // the only line stays on
        EXPECT_EQ(mixer->put_Enable(true), S_OK);
    }
    // An input line carries no data, so it offers no media types.
    TEnumMediaType none;
    none.Enumerate(pins.Item(0));
    EXPECT_EQ(none.Count(), 0);
    EXPECT_THROW(none.Enumerate(nullptr), std::logic_error);

    // The Capture pin offers 16-bit PCM, 44100 Hz stereo first.
    TPinList all(d.filter.GetFilter());
    TEnumMediaType types;
    types.Enumerate(all.Item(0));
    ASSERT_GT(types.Count(), 2);
    EXPECT_EQ(types.Item(0).caps(), "audio/x-raw, format=(string)S16LE, "
                                    "layout=(string)interleaved, rate=(int)44100, channels=(int)2");
    auto config = queryInterface<IAMStreamConfig>(all.Item(0));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->SetFormat(types.Item(types.Count() - 1).record()), S_OK);
    AM_MEDIA_TYPE mp3;
    ASSERT_TRUE(mediaTypeFromCaps("audio/mpeg, mpegversion=(int)1, layer=(int)3, rate=(int)44100, "
                                  "channels=(int)2",
                                  mp3));
    EXPECT_EQ(config->SetFormat(mp3), VFW_E_INVALIDMEDIATYPE);
}

// Two seconds from the microphone through the MP3 encoder filter into an AVI.
TEST(CaptureDevices, TwoSecondsOfVoiceThroughTheMp3EncoderLastTwoSeconds) {
    TSysDevEnum devices(CLSID_AudioInputDeviceCategory);
    const int mic = find(devices, "Virtual-Microphone");
    if (mic == -1) GTEST_SKIP() << "no PulseAudio server with the virtual microphone";
    BoundDevice d(devices, mic);
    TFilter mp3("MP3Enc");
    mp3.BaseFilter.setMoniker(
        std::make_shared<TMoniker>(TMoniker{"@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\" +
                                            guidToString(CLSID_Mp3EncoderFilter)}));
    d.graph.setActive(false);
    mp3.setFilterGraph(&d.graph);
    d.graph.setActive(true);
    ASSERT_TRUE(d.filter.GetFilter() && mp3.GetFilter());

    const std::string out = scratchDir("capture") + "/voice.avi";
    auto builder = d.graph.as<ICaptureGraphBuilder2>();
    FilterPtr mux, writer;
    ASSERT_EQ(builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer), S_OK);
    ASSERT_EQ(builder->RenderStream(nullptr, nullptr, d.filter.GetFilter(), mp3.GetFilter(), mux),
              S_OK);
    ASSERT_TRUE(d.graph.Play());
    ASSERT_TRUE(waitFor([&] { return d.graph.State() == 3; }, 5s));
    runFor(2000); // the length the file is checked against
    d.graph.Stop();
    d.graph.setActive(false);
    mp3.setFilterGraph(nullptr);

    const std::string audio = streamOf(out, "a");
    ASSERT_EQ(audio.rfind("mp3,", 0), 0u) << audio;
    EXPECT_NEAR(std::stod(audio.substr(4)), 2.0, 0.3) << audio;
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// A sound card with ports: one input line per port, named by the port's description (two of
// one description kept apart), the active port the one enabled line; enabling a line switches
// the card's port, and only when it is not already the active one.
TEST(CaptureDevices, ASourceWithPortsHasALinePerPortAndEnablingALineSwitchesThePort) {
    TSysDevEnum devices(CLSID_AudioInputDeviceCategory);
    const int mic = find(devices, "Virtual-Microphone");
    if (mic == -1) GTEST_SKIP() << "no PulseAudio server with the virtual microphone";
    FakePulseServer card({{"analog-input-mic", "Microphone"},
                          {"analog-input-linein", "Line In"},
                          {"analog-input-rear-mic", "Microphone"}},
                         "analog-input-linein");
    BoundDevice d(devices, mic);
    ASSERT_TRUE(d.filter.GetFilter()) << d.filter.bindError();
    TPinList pins(d.filter.GetFilter());
    std::vector<std::string> lines;
    std::vector<PinPtr> linePins;
    for (int i = 0; i < pins.Count(); ++i)
        if (pins.PinInfo(i).dir == PINDIR_INPUT) {
            lines.push_back(pins.PinInfo(i).name);
            linePins.push_back(pins.Item(i));
        }
    ASSERT_EQ(lines, (std::vector<std::string>{"Microphone", "Line In", "Microphone#"}));
    auto enabled = [&] {
        std::vector<bool> out;
        for (const PinPtr& p : linePins) {
            bool on = false;
            EXPECT_EQ(queryInterface<IAMAudioInputMixer>(p)->get_Enable(&on), S_OK);
            out.push_back(on);
        }
        return out;
    };
    auto mixer = [&](size_t i) { return queryInterface<IAMAudioInputMixer>(linePins[i]); };
    EXPECT_EQ(enabled(), (std::vector<bool>{false, true, false}));

    // Switching off: the active line stays on, another one is off already; nothing switched.
    EXPECT_EQ(mixer(1)->put_Enable(false), S_FALSE);
    EXPECT_EQ(mixer(0)->put_Enable(false), S_OK);
    EXPECT_EQ(mixer(1)->put_Enable(true), S_OK);
    EXPECT_TRUE(card.switches().empty());

    // Enabling the rear microphone switches the card to that very port.
    EXPECT_EQ(mixer(2)->put_Enable(true), S_OK);
    ASSERT_EQ(card.switches().size(), 1u);
    EXPECT_EQ(card.switches()[0],
              std::make_pair(std::string("tovamix_mic"), std::string("analog-input-rear-mic")));
    EXPECT_EQ(enabled(), (std::vector<bool>{false, false, true}));
    // Another program switching the port shows at once.
    card.setActive("analog-input-mic");
    EXPECT_EQ(enabled(), (std::vector<bool>{true, false, false}));

    // A port the card refuses, and a server gone away, are failures, not silent successes.
    card.refuse("analog-input-linein");
    EXPECT_EQ(mixer(1)->put_Enable(true), E_FAIL);
    EXPECT_EQ(card.active(), "analog-input-mic");
    card.setGone(true);
    bool on = true;
    EXPECT_EQ(mixer(0)->get_Enable(&on), VFW_E_NO_AUDIO_HARDWARE);
    EXPECT_EQ(mixer(0)->put_Enable(true), VFW_E_NO_AUDIO_HARDWARE);
    EXPECT_EQ(mixer(0)->get_Enable(nullptr), E_POINTER);
}

// An idle output's monitor starts delivering sound a second or two late and then in bursts;
// the recording still lasts as long as it ran, the missing time filled with silence, so the
// voice stays in step with the screen recorded beside it.
TEST(CaptureDevices, ASourceThatStartsLateStillGivesARecordingOfTheFullLength) {
    IdleOutput idle;
    if (idle.module.empty()) GTEST_SKIP() << "no PulseAudio server to add an output to";
    TSysDevEnum devices(CLSID_AudioInputDeviceCategory);
    int monitor = -1;
    ASSERT_TRUE(waitFor(
        [&] {
            devices.SelectCategory(CLSID_AudioInputDeviceCategory);
            return (monitor = find(devices, "Monitor of " + idle.description)) != -1;
        },
        5s));
    BoundDevice d(devices, monitor);
    ASSERT_TRUE(d.filter.GetFilter()) << d.filter.bindError();
    const std::string out = scratchDir("capture") + "/late.avi";
    auto builder = d.graph.as<ICaptureGraphBuilder2>();
    FilterPtr mux, writer;
    ASSERT_EQ(builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer), S_OK);
    ASSERT_EQ(builder->RenderStream(nullptr, nullptr, d.filter.GetFilter(), nullptr, mux), S_OK);
    ASSERT_TRUE(d.graph.Play());
    ASSERT_TRUE(waitFor([&] { return d.graph.State() == 3; }, 5s));
    const auto start = std::chrono::steady_clock::now();
    pump(3000);
    d.graph.Stop();
    const double ran =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    d.graph.setActive(false);

    const std::string audio = streamOf(out, "a");
    ASSERT_EQ(audio.rfind("pcm_s16le,", 0), 0u) << audio;
    EXPECT_NEAR(std::stod(audio.substr(10)), ran, 0.25) << audio;
}

// The first audio input is the one a recording takes: the system's default input comes first,
// then other real inputs, and the monitors of outputs (which hear the computer, not the room)
// last, by name.
TEST(CaptureDevices, TheDefaultInputComesFirstAndMonitorsOfOutputsLast) {
    IdleOutput idle;
    if (idle.module.empty()) GTEST_SKIP() << "no PulseAudio server to add an output to";
    TSysDevEnum devices(CLSID_AudioInputDeviceCategory);
    std::vector<std::string> list;
    ASSERT_TRUE(waitFor(
        [&] {
            devices.SelectCategory(CLSID_AudioInputDeviceCategory);
            list = names(devices);
            return find(devices, "Monitor of " + idle.description) != -1;
        },
        5s));
    ASSERT_EQ(run("pactl get-default-source").out, "tovamix_mic\n");
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[0], "Virtual-Microphone");
    const auto firstMonitor = std::find_if(list.begin(), list.end(), [](const std::string& n) {
        return n.rfind("Monitor of ", 0) == 0;
    });
    EXPECT_TRUE(std::all_of(firstMonitor, list.end(),
                            [](const std::string& n) { return n.rfind("Monitor of ", 0) == 0; }));
    EXPECT_TRUE(std::is_sorted(firstMonitor, list.end()));
}
