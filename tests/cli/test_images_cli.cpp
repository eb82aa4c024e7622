// tovamix-cli images: the summary line, the AVI it writes read back with ffprobe (codec, FourCC,
// rounded size, rate, a packet per picture, key flags), and the bad uses that end with 2 and
// touch nothing.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string Dir = "cli-images";

std::string cli(const std::string& args) {
    return std::string(TOVAMIX_CLI) + " images " + args;
}

std::string picture(const std::string& name, const std::string& command) {
    return sharedFile(Dir, name,
                      [&](const std::string& path) { return command + " '" + path + "'"; });
}
std::string colourPicture(const std::string& name, const char* colour, const char* size,
                          const char* pixFmt) {
    return picture(name, std::string("ffmpeg -v error -y -f lavfi -i color=c=") + colour +
                             ":s=" + size + " -frames:v 1 -pix_fmt " + pixFmt);
}

struct Pictures {
    std::string a, b8, c, d, e;
};
Pictures pictures() {
    return {
        colourPicture("a.bmp", "red", "320x240", "bgr24"),
        colourPicture("b8.bmp", "yellow", "200x150", "pal8"),
        picture("c.gif", "convert -size 160x120 xc:none -fill red -draw 'rectangle 0,0 79,119'"),
        picture("d-rgba.png",
                "convert -size 240x180 'xc:rgba(0,0,255,0)' -define png:color-type=6 -fill white "
                "-draw 'rectangle 120,0 239,179'"),
        colourPicture("e.jpg", "blue", "640x480", "yuvj420p")};
}

std::vector<int> keyPackets(const std::string& path) {
    std::vector<int> keys;
    const auto packets = probePackets(path);
    for (size_t i = 0; i < packets.size(); ++i)
        if (packets[i].key) keys.push_back(int(i));
    return keys;
}

TEST(ImagesCli, FivePicturesOfFiveKinds) {
    const Pictures p = pictures();
    for (const auto& f : {p.a, p.b8, p.c, p.d, p.e})
        ASSERT_FALSE(f.empty());
    const std::string out = scratchDir(Dir) + "/s.avi";
    const CommandResult r = run(cli("'" + p.a + "' '" + p.b8 + "' '" + p.c + "' '" + p.d + "' '" +
                                    p.e + "' --frame-ms 40 --size 400x300 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "frames=5 size=400x288 frame_ms=40 keyframe_every=25 output=" + out + "\n");
    expectVideoStream(out, {"mpeg4", "XVID", "25/1", 400, 288});
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), "5");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// A name with a line break, a tab and a backslash is written as it is asked, and its result
// line stays one line with the name escaped: no name can forge a second line.
TEST(ImagesCli, ANameCannotForgeAResultLine) {
    const std::string a = pictures().a;
    ASSERT_FALSE(a.empty());
    const std::string name = "two\nframes=99 output=x\t\\.avi";
    const std::string out = scratchDir(Dir + "-name") + "/" + name;
    // Inside single quotes the shell passes the line break, tab and backslash as they are.
    const CommandResult r = run(cli("'" + a + "' --frame-ms 40 --size 320x240 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fileExists(out));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_NE(r.out.find("/two\\nframes=99 output=x\\t\\\\.avi\n"), std::string::npos) << r.out;
}

// Sixty copies of one picture: key frames on packets 0, 25 and 50 at 40 ms, on all at 1000 ms.
TEST(ImagesCli, KeyFramesAtTheIntervalOfTheFrameTime) {
    const std::string a = pictures().a;
    std::string list;
    for (int i = 0; i < 60; ++i)
        list += "'" + a + "' ";
    const std::string at40 = scratchDir(Dir) + "/copies40.avi";
    const std::string at1000 = scratchDir(Dir) + "/copies1000.avi";
    CommandResult r = run(cli(list + "--frame-ms 40 --size 320x240 '" + at40 + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(keyPackets(at40), (std::vector<int>{0, 25, 50}));
    r = run(cli(list + "--frame-ms 1000 --size 320x240 --bits 8 --no-stretch '" + at1000 + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("keyframe_every=1 "), std::string::npos) << r.out;
    EXPECT_EQ(keyPackets(at1000).size(), 60u);
    EXPECT_EQ(probeStream(at1000, "v:0").at("r_frame_rate"), "1/1");
}

// Bad uses end with 2 and write nothing; an output named as one of the pictures leaves the
// picture as it was.
TEST(ImagesCli, BadUsesTouchNothing) {
    const std::string a = pictures().a;
    const std::string out = scratchDir(Dir) + "/never.avi";
    fs::remove(out);
    const std::string sum = run("md5sum < '" + a + "'").out;
    for (const std::string& args :
         {"'" + a + "' --frame-ms 40 --size 400x300 '" + a + "'",
          "'" + a + "' --frame-ms 40 --size 400x300 '" + fs::path(a).parent_path().string() +
              "/./" + fs::path(a).filename().string() + "'",
          "'" + a + "' --frame-ms 0 --size 400x300 '" + out + "'",
          "'" + a + "' --frame-ms 40 --size 15x300 '" + out + "'",
          "'" + a + "' --frame-ms 40 --size 400x300 --bits 16 '" + out + "'",
          "'" + a + "' --frame-ms 40 '" + out + "'", "--frame-ms 40 --size 400x300 '" + out + "'",
          "'" + scratchDir(Dir) + "/missing.png' --frame-ms 40 --size 400x300 '" + out + "'"}) {
        const CommandResult r = run(cli(args));
        EXPECT_EQ(r.exitCode, 2) << args << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args;
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(run("md5sum < '" + a + "'").out, sum);
}

// An output that exists and is not a regular file (a pipe, a link) is refused before
// anything is written, and stays what it was.
TEST(ImagesCli, AnOutputThatIsNoRegularFileIsLeftAsItIs) {
    const std::string a = pictures().a;
    const std::string dir = scratchDir(Dir) + "/special";
    fs::remove_all(dir);
    fs::create_directories(dir);
    ASSERT_EQ(run("mkfifo '" + dir + "/pipe.avi'").exitCode, 0);
    std::ofstream(dir + "/target.avi") << "the link's target";
    fs::create_symlink(dir + "/target.avi", dir + "/link.avi");
    for (const std::string name : {"pipe.avi", "link.avi"}) {
        const std::string path = dir + "/" + name;
        const CommandResult r =
            run("timeout 30 " + cli("'" + a + "' --frame-ms 40 --size 400x300 '" + path + "'"));
        EXPECT_EQ(r.exitCode, 2) << name << "\n" << r.err;
        EXPECT_NE(r.err.find("Cannot write " + path), std::string::npos) << r.err;
    }
    EXPECT_EQ(fs::status(dir + "/pipe.avi").type(), fs::file_type::fifo);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir + "/link.avi")));
    EXPECT_EQ(fs::file_size(dir + "/target.avi"), 17u);
}

// A picture that cannot be read: exit 1 naming it; the AVI holds the frames before it.
TEST(ImagesCli, UnreadablePictureEndsTheRunWithItsName) {
    const Pictures p = pictures();
    const std::string bad = scratchDir(Dir) + "/broken.jpg";
    { std::ofstream(bad) << "no JPEG here"; }
    const std::string out = scratchDir(Dir) + "/partial.avi";
    const CommandResult r = run(cli("'" + p.a + "' '" + p.e + "' '" + bad + "' '" + p.d +
                                    "' --frame-ms 200 --size 320x240 '" + out + "'"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), "2");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

} // namespace
