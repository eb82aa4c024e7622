#include "DvdFixture.h"

#include "TestSupport.h"

#include <filesystem>
#include <unistd.h>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

// A folder made by command(path) under scratchDir("dvd"), once for all test processes.
std::string sharedFolder(const std::string& name, const std::string& disc) {
    const std::string dir = scratchDir("dvd");
    const std::string path = dir + "/" + name;
    if (fs::exists(path + "/VIDEO_TS/VIDEO_TS.IFO")) return path;
    const std::string part = dir + "/" + name + ".part" + std::to_string(getpid());
    std::error_code ec;
    fs::remove_all(part, ec);
    if (run("bash '" TOVAMIX_MAKE_DVD "' '" + part + "' " + disc).exitCode != 0) {
        fs::remove_all(part, ec);
        return {};
    }
    fs::rename(part, path, ec);
    // Another process may have put its copy in place first; either is as good.
    if (ec) fs::remove_all(part, ec);
    return fs::exists(path + "/VIDEO_TS/VIDEO_TS.IFO") ? path : std::string();
}

DvdVolumes make() {
    DvdVolumes v;
    v.disc1 = sharedFolder("disc1", "1");
    v.disc2 = sharedFolder("disc2", "2");
    if (!v.disc1.empty())
        v.iso = sharedFile("dvd", "disc1.iso", [&v](const std::string& path) {
            return "genisoimage -quiet -dvd-video -o '" + path + "' '" + v.disc1 + "'";
        });
    return v;
}

} // namespace

const DvdVolumes& dvdVolumes() {
    static const DvdVolumes volumes = make();
    return volumes;
}

} // namespace testsupport
