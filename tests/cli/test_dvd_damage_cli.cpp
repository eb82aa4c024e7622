// Damaged DVD-Video volumes through tovamix-cli dvd-info and dvd-play: whatever is wrong with
// the IFO files, the program ends by itself (a refusal naming the damage, or playback), never
// by a signal. The damaged copies are made here from test disc 1 (a menu with buttons, titles
// returning to it by their post commands): bytes flipped in an IFO file and its backup alike,
// or a title set's tables cut short.
#include "platform/dshow/DvdNavigationCheck.h"
#include "support/DvdFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

CommandResult cli(const std::string& args) {
    return run(std::string("'") + TOVAMIX_CLI + "' " + args);
}

std::string scratch(const std::string& name) {
    return scratchDir("dvd-damage") + "/" + name;
}

std::vector<unsigned char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void writeAll(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A copy of disc 1 whose IFO and BUP files are copied and whose VOB files are linked.
std::string copyOfDisc1(const std::string& name) {
    const std::string dir = scratch(name);
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

// The n-th damaged disc: one of the three IFO files (and its backup, which libdvdread reads
// when the IFO fails), either with 1 to 8 bytes changed (three times in four: anywhere, or in
// its first sector, where the tables are named) or cut short at a random place past its first
// sector.
std::string damagedDisc(int n) {
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

uint32_t bigEndian32(const std::vector<unsigned char>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint16_t bigEndian16(const std::vector<unsigned char>& b, size_t at) {
    return uint16_t(b[at] << 8 | b[at + 1]);
}

// A copy of disc 1 whose first-play program chain's first pre command is replaced (in the
// IFO and its backup).
std::string discWithFirstPlayCommand(const std::string& name,
                                     const std::array<unsigned char, 8>& c) {
    const std::string dir = copyOfDisc1(name);
    for (const char* ext : {".IFO", ".BUP"}) {
        const std::string path = dir + "/VIDEO_TS/VIDEO_TS" + ext;
        std::vector<unsigned char> b = readAll(path);
        // The first-play chain's byte position is at 0x84 of the manager's header; its command
        // table's offset at 0xE4 of the chain; the pre commands follow the table's 8 bytes.
        const size_t pgc = bigEndian32(b, 0x84);
        const size_t table = pgc + bigEndian16(b, pgc + 0xE4);
        EXPECT_GE(bigEndian16(b, table), 1) << "disc 1's first play has a pre command";
        std::copy(c.begin(), c.end(), b.begin() + long(table + 8));
        writeAll(path, b);
    }
    return dir;
}

bool endedByItself(const CommandResult& r) {
    return r.exitCode >= 0 && r.exitCode <= 2;
}

} // namespace

// Commands that would stop libdvdnav's machine (it asserts on them) are refused before
// playback, naming where they are; the window shows the same text.
TEST(DvdDamage, CommandsThatWouldStopThePlayerAreRefusedByName) {
    if (!dvdVolumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    const struct {
        const char* name;
        std::array<unsigned char, 8> command;
        const char* says;
    } cases[] = {
        // The kind 7 does not exist.
        {"unknown", {0xE0, 0, 0, 0, 0, 0, 0, 0}, "pre command 1: an unknown command"},
        // Jump to title 9 of 2.
        {"title9", {0x30, 0x02, 0, 0, 0, 0x09, 0, 0}, "a jump to title 9 of 2"},
        // Link to program chain 7 of the manager's one menu chain.
        {"chain7", {0x20, 0x04, 0, 0, 0, 0, 0, 0x07}, "a link to program chain 7 of "},
        // Link to the cell before the first, before any cell.
        {"prevcell", {0x20, 0x01, 0, 0, 0, 0, 0, 0x03}, "a link to the cell before the first"},
        // Call of a menu: only a title may call one.
        {"call", {0x30, 0x08, 0, 0, 0, 0, 0x01, 0xC0}, "which cannot be done from the first play"},
    };
    for (const auto& c : cases) {
        const std::string disc = discWithFirstPlayCommand(c.name, c.command);
        for (const char* job : {"dvd-info", "dvd-play --seconds 1"}) {
            const auto start = std::chrono::steady_clock::now();
            const CommandResult r = cli(std::string(job) + " '" + disc + "'");
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_EQ(r.exitCode, 2) << c.name << " " << job << ": " << r.err;
            EXPECT_NE(r.err.find("The DVD is damaged: "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("the first-play program chain"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
            EXPECT_LT(took, 5.0 * timeScale()) << c.name << " " << job;
        }
    }
    // The undamaged disc is not refused.
    const CommandResult whole = cli("dvd-play --seconds 1 '" + copyOfDisc1("whole") + "'");
    EXPECT_EQ(whole.exitCode, 0) << whole.err;
}

// Randomly damaged copies: dvd-info on every one, dvd-play on every STEP-th (TOVAMIX_DVD_
// DAMAGE_STEP, 10 unless set; 1 plays all 200): each ends by itself.
TEST(DvdDamage, NoDamagedDiscEndsTheProgramBySignal) {
    if (!dvdVolumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    const int discs = 200;
    const char* stepText = std::getenv("TOVAMIX_DVD_DAMAGE_STEP");
    const int step = stepText ? std::max(1, std::atoi(stepText)) : 10;
    int refusedByInfo = 0, played = 0, refusedByPlay = 0, refusedByProbe = 0, failedOtherwise = 0;
    int probeFaults = 0;
    for (int n = 0; n < discs; ++n) {
        const std::string disc = damagedDisc(n);
        const CommandResult info = cli("dvd-info '" + disc + "'");
        EXPECT_TRUE(endedByItself(info)) << "disc " << n << ": exit " << info.exitCode << "\n"
                                         << info.err;
        if (info.exitCode != 0) ++refusedByInfo;
        // libdvdnav itself, on every copy, in the probe's child: some of the copies end it by
        // a signal (those the IFO checks refuse before it is reached), and this process lives.
        if (!platform::dshow::probeDvdNavigation(disc, "damaged-" + std::to_string(n)).empty())
            ++probeFaults;
        if (n % step == 0) {
            const CommandResult p = cli("dvd-play --seconds 1 '" + disc + "'");
            EXPECT_TRUE(endedByItself(p))
                << "disc " << n << ": dvd-play exit " << p.exitCode << "\n"
                << p.err;
            if (p.exitCode == 0)
                ++played;
            else if (p.err.find("following its navigation ends the player") != std::string::npos)
                ++refusedByProbe;
            else if (p.err.find("The DVD is damaged") != std::string::npos ||
                     p.err.find("no DVD-Video volume") != std::string::npos)
                ++refusedByPlay;
            else
                ++failedOtherwise;
        }
        fs::remove_all(disc);
    }
    std::printf("damaged discs: %d; libdvdnav ended by a signal in the probe: %d; refused by "
                "dvd-info: %d; dvd-play on every %d-th: %d played, "
                "%d refused by the checks of the IFO files, %d by the navigation probe, %d failed "
                "otherwise\n",
                discs, probeFaults, refusedByInfo, step, played, refusedByPlay, refusedByProbe,
                failedOtherwise);
    // The damage reaches the checks: a good part of the copies is refused.
    EXPECT_GT(refusedByInfo, discs / 6);
    EXPECT_GE(probeFaults, 1) << "no copy reached a fault of libdvdnav";
}
