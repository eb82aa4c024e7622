// tovamix-cli dvd-info and dvd-play over the test discs, checked against lsdvd and gsf.
#include "support/DvdFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

using namespace testsupport;

namespace {

CommandResult cli(const std::string& args) {
    return run(std::string("'") + TOVAMIX_CLI + "' " + args);
}

const DvdVolumes& volumes() {
    const DvdVolumes& v = dvdVolumes();
    EXPECT_TRUE(v.ok()) << "the test discs could not be made";
    return v;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// key=value fields of one line.
std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> out;
    std::istringstream in(line);
    for (std::string f; in >> f;)
        if (auto eq = f.find('='); eq != std::string::npos) out[f.substr(0, eq)] = f.substr(eq + 1);
    return out;
}

// What lsdvd -x says of each title: length in seconds, chapter lengths, audio streams as
// "format:Nch:lang".
struct LsdvdTitle {
    double length = 0;
    std::vector<double> chapters;
    std::vector<std::string> audio;
};
double hms(const std::string& t) {
    int h = 0, m = 0;
    double s = 0;
    std::sscanf(t.c_str(), "%d:%d:%lf", &h, &m, &s);
    return h * 3600 + m * 60 + s;
}
std::vector<LsdvdTitle> lsdvd(const std::string& path) {
    const CommandResult r = run("lsdvd -x '" + path + "'");
    std::vector<LsdvdTitle> titles;
    std::smatch m;
    static const std::regex title("^Title: \\d+, Length: ([0-9:.]+)");
    static const std::regex chapter("^\\s+Chapter: \\d+, Length: ([0-9:.]+)");
    static const std::regex audio(
        "^\\s+Audio: \\d+, Language: (\\w+) .*Format: (\\w+),.*Channels: (\\d+)");
    for (const std::string& l : lines(r.out)) {
        if (std::regex_search(l, m, title)) {
            titles.push_back({hms(m[1]), {}, {}});
        } else if (!titles.empty() && std::regex_search(l, m, chapter)) {
            titles.back().chapters.push_back(hms(m[1]));
        } else if (!titles.empty() && std::regex_search(l, m, audio)) {
            titles.back().audio.push_back(m[2].str() + ":" + m[3].str() + "ch:" + m[1].str());
        }
    }
    return titles;
}

std::vector<double> numbers(const std::string& list) {
    std::vector<double> out;
    std::istringstream in(list);
    for (std::string n; std::getline(in, n, ',');)
        out.push_back(std::stod(n));
    return out;
}

std::string scratch(const std::string& name) {
    return scratchDir("dvd-cli") + "/" + name;
}

// "title=1 chapter=2 time=0:00:12 disc=..." as seconds.
double playedSeconds(const std::string& out) {
    return hms(fields(out)["time"]);
}

} // namespace

TEST(DvdInfo, AgreesWithLsdvdAndTheImageGivesTheSameLines) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const CommandResult r = cli("dvd-info '" + volumes().disc1 + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> out = lines(r.out);
    const std::vector<LsdvdTitle> reference = lsdvd(volumes().disc1);
    ASSERT_EQ(reference.size(), 2u);
    ASSERT_EQ(out.size(), reference.size() + 1) << r.out;
    for (size_t i = 0; i < reference.size(); ++i) {
        auto f = fields(out[i]);
        EXPECT_EQ(f["title"], std::to_string(i + 1));
        EXPECT_NEAR(std::stod(f["duration"]), reference[i].length, 0.1) << out[i];
        const std::vector<double> starts = numbers(f["starts"]);
        ASSERT_EQ(starts.size(), reference[i].chapters.size()) << out[i];
        double at = 0;
        for (size_t c = 0; c < starts.size(); ++c) {
            EXPECT_NEAR(starts[c], at, 0.1) << out[i];
            at += reference[i].chapters[c];
        }
        std::string audio;
        for (const std::string& a : reference[i].audio)
            audio += (audio.empty() ? "" : ",") + a;
        EXPECT_EQ(f["audio"], audio);
    }
    EXPECT_NE(out[0].find("starts=0.000,10.000,20.000"), std::string::npos) << out[0];
    EXPECT_NE(out[0].find("audio=ac3:2ch:en"), std::string::npos) << out[0];
    EXPECT_TRUE(std::regex_match(out[2], std::regex("titles=2 chapters=5 duration=42\\.0\\d\\d "
                                                    "disc=[0-9a-f]{32}")))
        << out[2];

    // The image, the folder's VIDEO_TS and its VIDEO_TS.IFO say the same.
    for (const std::string& same : {volumes().iso, volumes().disc1 + "/VIDEO_TS",
                                    volumes().disc1 + "/VIDEO_TS/VIDEO_TS.IFO"}) {
        const CommandResult s = cli("dvd-info '" + same + "'");
        EXPECT_EQ(s.exitCode, 0) << same << ": " << s.err;
        EXPECT_EQ(s.out, r.out) << same;
    }
    const CommandResult other = cli("dvd-info '" + volumes().disc2 + "'");
    ASSERT_EQ(other.exitCode, 0) << other.err;
    const auto otherSummary = fields(lines(other.out).back());
    EXPECT_EQ(otherSummary.at("titles"), "1");
    EXPECT_NE(otherSummary.at("disc"), fields(out[2])["disc"]);
}

TEST(DvdInfo, PathsThatAreNoDvdVideoVolumeEndWithExitTwo) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    namespace fs = std::filesystem;
    const std::string empty = scratch("empty");
    fs::create_directories(empty);
    const std::string noise = scratch("noise.iso");
    {
        std::mt19937 gen(7);
        std::ofstream out(noise, std::ios::binary);
        for (int i = 0; i < 2 << 20; ++i)
            out.put(char(gen()));
    }
    // A copy of disc 1 whose VIDEO_TS.IFO (and its backup, which libdvdread reads instead of
    // a damaged IFO) is cut short.
    const std::string cut = scratch("cut");
    fs::remove_all(cut);
    fs::create_directories(cut);
    fs::copy(volumes().disc1 + "/VIDEO_TS", cut + "/VIDEO_TS");
    for (const char* name : {"/VIDEO_TS/VIDEO_TS.IFO", "/VIDEO_TS/VIDEO_TS.BUP"})
        fs::resize_file(cut + name, 300);
    for (const std::string& path : {scratch("missing"), empty, noise, cut}) {
        const CommandResult r = cli("dvd-info '" + path + "'");
        EXPECT_EQ(r.exitCode, 2) << path << ": " << r.out;
        EXPECT_NE(r.err.find("tovamix-cli: "), std::string::npos) << path;
        EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << path;
    }
    // A title set's IFO cut short (the backup too) is an error that names it.
    const std::string cutSet = scratch("cutset");
    fs::remove_all(cutSet);
    fs::create_directories(cutSet);
    fs::copy(volumes().disc1 + "/VIDEO_TS", cutSet + "/VIDEO_TS");
    for (const char* name : {"/VIDEO_TS/VTS_01_0.IFO", "/VIDEO_TS/VTS_01_0.BUP"})
        fs::resize_file(cutSet + name, 100);
    const CommandResult r = cli("dvd-info '" + cutSet + "'");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("VTS_01_0.IFO"), std::string::npos) << r.err;
    EXPECT_EQ(cli("dvd-info").exitCode, 2);
}

TEST(DvdPlay, BookmarkSavedInChapterTwoResumesAndIsRefusedOnAnotherDisc) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const std::string bookmark = scratch("b.bmk");
    std::filesystem::remove(bookmark);
    const CommandResult saved =
        cli("dvd-play '" + volumes().disc1 +
            "' --title 1 --chapter 2 --seconds 2 --save-bookmark '" + bookmark + "'");
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_TRUE(std::regex_search(
        saved.out, std::regex("^title=1 chapter=2 time=0:00:1[12] disc=[0-9a-f]{32}\n$")))
        << saved.out;
    const CommandResult list = run("gsf list '" + bookmark + "'");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("BookMark"), std::string::npos) << list.out;

    const CommandResult resumed =
        cli("dvd-play '" + volumes().disc1 + "' --restore-bookmark '" + bookmark + "' --seconds 0");
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(fields(resumed.out)["title"], "1") << resumed.out;
    EXPECT_EQ(fields(resumed.out)["chapter"], "2") << resumed.out;
    EXPECT_LE(std::abs(playedSeconds(resumed.out) - playedSeconds(saved.out)), 1.0)
        << saved.out << resumed.out;

    const CommandResult refused =
        cli("dvd-play '" + volumes().disc2 + "' --restore-bookmark '" + bookmark + "'");
    EXPECT_EQ(refused.exitCode, 1) << refused.out;
    EXPECT_NE(refused.err.find("The DVD bookmark belongs to another disc."), std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");
}

TEST(DvdPlay, FastForwardRunsEightTimesAndBadUseEndsWithExitTwo) {
    if (!volumes().ok())
        GTEST_SKIP() << "the test discs could not be made (dvdauthor, genisoimage)";
    const CommandResult r = cli("dvd-play '" + volumes().disc1 + "' --title 1 --fast-forward 3");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const double at = playedSeconds(r.out);
    EXPECT_GE(at, 18) << r.out;
    EXPECT_LE(at, 30) << r.out;

    EXPECT_EQ(cli("dvd-play").exitCode, 2);
    EXPECT_EQ(cli("dvd-play '" + volumes().disc1 + "' --chapter 2").exitCode, 2);
    EXPECT_EQ(cli("dvd-play '" + volumes().disc1 + "' --seconds x").exitCode, 2);
    const CommandResult plain = cli("dvd-play '" + scratchDir("dvd-cli") + "'");
    EXPECT_EQ(plain.exitCode, 2);
    EXPECT_NE(plain.err.find("no DVD-Video volume"), std::string::npos) << plain.err;
}

// Disc 1 first plays its menu, a still. --title 2 leaves it and plays title 2 for the seconds
// asked, then ends by itself: with a sound output, and without one (no sound server reachable,
// ALSA without its configuration), where the pictures play and a warning says why there is
// no sound.
TEST(DvdPlay, TitleTwoFromTheStillMenuEndsByItselfWithOrWithoutASoundOutput) {
    if (!volumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    for (const std::string& env :
         {std::string(), std::string("PULSE_SERVER=tcp:127.0.0.1:1 ALSA_CONFIG_PATH=/dev/null ")}) {
        const auto start = std::chrono::steady_clock::now();
        const CommandResult r = run(env + "'" + TOVAMIX_CLI + "' dvd-play '" + volumes().disc1 +
                                    "' --title 2 --seconds 3");
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(r.exitCode, 0) << env << r.err;
        EXPECT_EQ(fields(r.out)["title"], "2") << env << r.out;
        EXPECT_GE(playedSeconds(r.out), 2) << env << r.out;
        EXPECT_LT(took, 10 * timeScale()) << env;
        const bool warned = r.err.find("no sound output can be opened") != std::string::npos;
        EXPECT_EQ(warned, !env.empty()) << env << r.err;
    }
}
