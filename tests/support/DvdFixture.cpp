#include "DvdFixture.h"

#include "TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>
#include <unistd.h>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

std::vector<unsigned char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void writeAll(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint32_t bigEndian32(const std::vector<unsigned char>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint16_t bigEndian16(const std::vector<unsigned char>& b, size_t at) {
    return uint16_t(b[at] << 8 | b[at + 1]);
}

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
    v.disc3 = sharedFolder("disc3", "3");
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

std::string copyOfDisc1(const std::string& name) {
    const std::string dir = scratchDir("dvd-damage") + "/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir + "/VIDEO_TS");
    for (const auto& e : fs::directory_iterator(dvdVolumes().disc1 + "/VIDEO_TS")) {
        const fs::path to = dir + "/VIDEO_TS/" + e.path().filename().string();
        if (e.path().extension() == ".VOB")
            fs::create_symlink(e.path(), to);
        else
            fs::copy_file(e.path(), to);
    }
    return dir;
}

// libdvdread reads the backup when the IFO fails, so both are damaged alike. The first sector
// is where the tables are named.
std::string damagedCopyOfDisc1(int n) {
    std::mt19937 gen(unsigned(1000 + n));
    const std::string dir = copyOfDisc1("damaged-" + std::to_string(n));
    static const char* const Files[] = {"VIDEO_TS", "VTS_01_0", "VTS_02_0"};
    const std::string base = dir + "/VIDEO_TS/" + Files[gen() % 3];
    std::vector<unsigned char> ifo = readAll(base + ".IFO");
    if (ifo.size() < 4096) return dir;
    if (n % 4 == 3) {
        const size_t cut = 2048 + gen() % (ifo.size() - 2048);
        for (const char* ext : {".IFO", ".BUP"})
            fs::resize_file(base + ext, cut);
        return dir;
    }
    const size_t span = n % 4 == 2 ? 2048 : ifo.size();
    std::vector<std::pair<size_t, unsigned char>> changes;
    for (int i = 0, count = 1 + int(gen() % 8); i < count; ++i)
        changes.emplace_back(gen() % span, (unsigned char)(1 + gen() % 255));
    for (const char* ext : {".IFO", ".BUP"}) {
        std::vector<unsigned char> bytes = readAll(base + ext);
        for (const auto& [at, mask] : changes)
            if (at < bytes.size()) bytes[at] ^= mask;
        writeAll(base + ext, bytes);
    }
    return dir;
}

std::string copyOfDisc1WithFirstPlayCommand(const std::string& name,
                                            const std::array<unsigned char, 8>& c) {
    const std::string dir = copyOfDisc1(name);
    for (const char* ext : {".IFO", ".BUP"}) {
        const std::string path = dir + "/VIDEO_TS/VIDEO_TS" + ext;
        std::vector<unsigned char> b = readAll(path);
        // The first-play chain's byte position is at 0x84 of the manager's header; its command
        // table's offset at 0xE4 of the chain; the pre commands follow the table's 8 bytes.
        const size_t pgc = bigEndian32(b, 0x84);
        const size_t table = pgc + bigEndian16(b, pgc + 0xE4);
        if (bigEndian16(b, table) < 1) return {}; // disc 1 always has one
        std::copy(c.begin(), c.end(), b.begin() + long(table + 8));
        writeAll(path, b);
    }
    return dir;
}

} // namespace testsupport
