// The IFO reader of dvd-info over a VIDEO_TS folder written from the input. The input is the
// volume's IFO files one after the other, as `cat VIDEO_TS.IFO VTS_01_0.IFO ...` gives them:
// it is cut before each title set's identifier "DVDVIDEO-VTS"; the first part is VIDEO_TS.IFO,
// the following ones VTS_01_0.IFO, VTS_02_0.IFO ... libdvdread reads them; our code walks
// what it returns.
#include "FuzzSupport.h"
#include "platform/dshow/dvd/DvdVolume.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char TitleSetId[] = "DVDVIDEO-VTS";
constexpr size_t TitleSetIdSize = sizeof TitleSetId - 1;
// More title sets than this make no new paths through the reader, only slower runs.
constexpr size_t MaxTitleSets = 9;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    std::vector<size_t> cuts{0};
    for (size_t i = 1; i + TitleSetIdSize <= size && cuts.size() <= MaxTitleSets; ++i)
        if (std::memcmp(data + i, TitleSetId, TitleSetIdSize) == 0) cuts.push_back(i);
    cuts.push_back(size);

    const fs::path volume = fuzzsupport::scratchDir() / "volume";
    const fs::path videoTs = volume / "VIDEO_TS";
    std::error_code ec;
    fs::remove_all(volume, ec);
    fs::create_directories(videoTs);
    for (size_t part = 0; part + 1 < cuts.size(); ++part) {
        char name[32];
        if (part == 0)
            std::snprintf(name, sizeof name, "VIDEO_TS.IFO");
        else
            std::snprintf(name, sizeof name, "VTS_%02d_0.IFO", int(part));
        fuzzsupport::writeFile(videoTs / name, data + cuts[part], cuts[part + 1] - cuts[part]);
    }
    platform::dshow::DvdVolumeInfo info;
    std::string error;
    platform::dshow::readDvdVolume(volume.string(), &info, &error);
    return 0;
}
