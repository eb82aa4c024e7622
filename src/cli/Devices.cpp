// tovamix-cli devices: what the program sees, each category with index, friendly name and
// display name, listed through the device enumerator the windows use.
#include "Cli.h"

#include "media/TBaseFilter.h"

#include <cstdio>

namespace cli {

namespace {

int listDevices() {
    const std::pair<const char*, const platform::dshow::GUID*> categories[] = {
        {"Video inputs", &platform::dshow::CLSID_VideoInputDeviceCategory},
        {"Audio inputs", &platform::dshow::CLSID_AudioInputDeviceCategory},
        {"Video compressors", &platform::dshow::CLSID_VideoCompressorCategory},
        {"Audio compressors", &platform::dshow::CLSID_AudioCompressorCategory}};
    media::TSysDevEnum devices(*categories[0].second);
    for (const auto& [title, category] : categories) {
        devices.SelectCategory(*category);
        std::printf("%s (%d):\n", title, devices.Count());
        for (int i = 0; i < devices.Count(); ++i) {
            const media::MonikerPtr moniker = devices.GetMoniker(i);
            const media::DeviceEntry entry = devices.Item(i);
            std::printf("  %d  %s  %s%s\n", i, entry.FriendlyName.c_str(),
                        moniker ? moniker->displayName.c_str() : "",
                        entry.SystemDefault ? "  (default)" : "");
        }
    }
    return 0;
}

} // namespace

CLI::App* addDevices(CLI::App& app, Run& run) {
    CLI::App* sub = app.add_subcommand(
        "devices", "Lists the video and audio inputs and the video and audio compressors.");
    sub->callback([&run] { run = listDevices; });
    return sub;
}

} // namespace cli
