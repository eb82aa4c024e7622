// tovamix-cli info and convert: the record as lines and as JSON against ffprobe, the exit
// codes of unreadable files, a conversion read back with ffprobe, Ctrl+C as Stop, and the
// refusals that leave the source untouched.
#include "CliCommand.h"
#include "support/Markers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

std::string jsonField(const std::string& json, const std::string& key) {
    std::smatch m;
    std::regex_search(json, m, std::regex("\"" + key + "\": \"([^\"]*)\""));
    return m.empty() ? "<missing>" : m[1].str();
}

const std::string Dir = "cli-avi";

std::string xvidPcm() {
    return sharedClip(Dir, "x.avi",
                      "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                      "sine=r=44100 -t 5 -c:v libxvid -vtag XVID -c:a pcm_s16le "
                      "-ac 2 -ar 44100");
}
std::string h264Aac(const std::string& name, const std::string& size, int seconds) {
    return sharedClip(Dir, name,
                      "-f lavfi -i testsrc=size=" + size +
                          ":rate=25 -f lavfi -i "
                          "sine=r=44100 -t " +
                          std::to_string(seconds) +
                          " -ac 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac");
}

} // namespace

TEST(InfoCli, JsonOfAnXvidPcmAviAsFfprobeReadsIt) {
    const std::string x = xvidPcm();
    ASSERT_FALSE(x.empty());
    const CommandResult r = run(cli("info --json '" + x + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string& j = r.out;
    EXPECT_EQ(jsonField(j, "VideoMajorType"), "Video");
    EXPECT_EQ(jsonField(j, "VideoFourCC"), "XVID");
    EXPECT_EQ(jsonField(j, "VideoCodecName"), "XVID MPEG-4");
    EXPECT_EQ(jsonField(j, "AudioMajorType"), "Audio");
    EXPECT_EQ(jsonField(j, "AudioFormatName"), "PCM");
    EXPECT_EQ(jsonField(j, "AudioSampleRate"), "44100");
    EXPECT_EQ(jsonField(j, "AudioBitRate"), "1411200");
    EXPECT_EQ(jsonField(j, "AudioChannels"), "2");
    const auto v = probeStream(x, "v:0");
    EXPECT_EQ(jsonField(j, "VideoWidth"), v.at("width"));
    EXPECT_EQ(jsonField(j, "VideoHeight"), v.at("height"));
    const double seconds = std::atof(
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + x + "'").out.c_str());
    char shown[16];
    std::snprintf(shown, sizeof shown, "%02d:%02d", int(seconds) / 60, int(seconds) % 60);
    EXPECT_EQ(jsonField(j, "Duration"), shown);
}

TEST(InfoCli, LinesOfTheWindowsGroups) {
    const std::string x = xvidPcm();
    ASSERT_FALSE(x.empty());
    const CommandResult r = run(cli("info '" + x + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Video Info\nMedia Major Type : Video\nDuration : 00:05\nFourCC : XVID\n"
                     "Frame Width : 320\nFrame Height : 240\nBit Depth : 24\n"
                     "Compressor : XVID MPEG-4\nAudio Info\nMedia Major Type : Audio\n"
                     "Audio Format : PCM\nHertz : 44100\nBitrate : 1411200\nChannels : 2\n");
}

// A WAV file's sound is PCM, with its rate, bit rate and channels.
TEST(InfoCli, AWavFilesSoundIsPcm) {
    const std::string wav =
        sharedClip(Dir, "voice.wav", "-f lavfi -i sine=r=22050 -t 2 -ac 1 -c:a pcm_s16le");
    ASSERT_FALSE(wav.empty());
    const CommandResult r = run(cli("info '" + wav + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Audio Format : PCM\nHertz : 22050\nBitrate : 352800\nChannels : 1\n"),
              std::string::npos)
        << r.out;
}

TEST(InfoCli, UnreadableFilesExitOne) {
    const std::string dir = scratchDir(Dir + "-bad");
    const std::string random = dir + "/random.avi";
    run("head -c 65536 /dev/urandom > '" + random + "'");
    CommandResult r = run(cli("info --json '" + random + "'"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(jsonField(r.out, "VideoMajorType"), "ERROR");
    EXPECT_NE(r.err.find("ERROR"), std::string::npos);
    r = run(cli("info --json '" + dir + "/missing.avi'"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(jsonField(r.out, "VideoMajorType"), "FILE NOT FOUND");
    EXPECT_EQ(run(cli("info")).exitCode, 2);
}

// A name that is there but is no file to read says what it is, in every job that reads it, and
// nothing waits on it (a pipe with no writer would block an open for ever).
TEST(InfoCli, AFolderAPipeOrADeviceIsNamedAsSuch) {
    const std::string dir = scratchDir(Dir + "-names");
    const std::string folder = dir + "/folder.avi", pipe = dir + "/pipe.avi";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(pipe);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::string out = dir + "/out.avi";
    const struct {
        std::string name, says;
    } names[] = {{folder, "is a folder"}, {pipe, "is a pipe"}, {"/dev/zero", "is a device"}};
    for (const auto& n : names)
        for (const std::string& job :
             {"info '" + n.name + "'", "convert '" + n.name + "' '" + out + "'",
              "cut '" + n.name + "' --from 0 --to 1 '" + out + "'",
              "merge --audio '" + n.name + "' --video '" + n.name + "' '" + out + "'"}) {
            const CommandResult r = run("timeout -s KILL 20 " + cli(job));
            EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 2) << job << "\n" << r.err;
            EXPECT_NE(r.err.find(n.says), std::string::npos) << job << "\n" << r.err;
            EXPECT_FALSE(fileExists(out)) << job;
        }
}

TEST(ConvertCli, H264AacTo320x240XvidMp3AtTheSourceRate) {
    const std::string in = h264Aac("in10.mp4", "640x360", 10);
    ASSERT_FALSE(in.empty());
    const std::string out = scratchDir(Dir + "-convert") + "/out.avi";
    const CommandResult r = run(cli("convert '" + in + "' --size 320x240 '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "video"), "1");
    EXPECT_EQ(summaryValue(r.out, "audio"), "1");
    EXPECT_EQ(summaryValue(r.out, "size"), "320x240");
    EXPECT_NEAR(std::atof(summaryValue(r.out, "seconds").c_str()), 10.0, 0.2);
    EXPECT_EQ(summaryValue(r.out, "output"), out);
    const auto v = probeStream(out, "v:0");
    EXPECT_EQ(v.at("codec_name"), "mpeg4");
    EXPECT_EQ(v.at("codec_tag_string"), "XVID");
    EXPECT_EQ(v.at("width"), "320");
    EXPECT_EQ(v.at("height"), "240");
    EXPECT_EQ(v.at("r_frame_rate"), "25/1");
    EXPECT_NEAR(numberField(v, "duration"), 10.0, 0.2);
    const auto a = probeStream(out, "a:0");
    EXPECT_EQ(a.at("codec_name"), "mp3");
    EXPECT_NEAR(numberField(a, "duration"), 10.0, 0.2);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A picture size whose render would not fit in the memory this process may take (here an
// address space of 3 GB, as ulimit -v gives it) is refused before anything is written, with
// both figures; a size that fits converts under the same limit.
TEST(ConvertCli, APictureTooLargeForTheMemoryLeftIsRefusedUpFront) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TOVAMIX_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(TOVAMIX_SANITIZED)
    GTEST_SKIP() << "a sanitized program reserves terabytes of address space: no address-space "
                    "limit can be set for it";
#endif
    const std::string in = h264Aac("in2.mp4", "320x240", 2);
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir(Dir + "-memory");
    const std::string big = dir + "/big.avi", fits = dir + "/fits.avi";
    const CommandResult r =
        run("ulimit -v 3000000; " + cli("convert '" + in + "' --size 8190x8190 '" + big + "'"));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("too large for this machine: pictures of 8190x8190 need about 5.3 GB"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fileExists(big));
    const CommandResult ok =
        run("ulimit -v 3000000; " + cli("convert '" + in + "' --size 640x480 '" + fits + "'"));
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(summaryValue(ok.out, "size"), "640x480");
}

// Without --size the source's size; a source without sound gives a file without sound.
// An MPEG-2 program stream, whose streams start at about 0.5 s as ffmpeg writes them: its
// picture size is read (the demultiplexer gives the pictures unparsed, without it), so the
// conversion needs no --size, and the sound keeps its place under the picture: every flash
// has its beep within 40 ms (the MP3 encoder's delay included).
TEST(ConvertCli, AnMpegProgramStreamKeepsItsSizeAndItsSoundInStep) {
    MarkerClipForm form{"marks.mpg", "-c:v mpeg2video -c:a mp2 -f mpeg"};
    form.seconds = 5;
    const std::string mpg = markerClip(Dir, form);
    ASSERT_FALSE(mpg.empty());
    const CommandResult info = run(cli("info '" + mpg + "'"));
    EXPECT_NE(info.out.find("Frame Width : 320\nFrame Height : 240\n"), std::string::npos)
        << info.out;
    const std::string out = scratchDir(Dir + "-mpeg") + "/marks.avi";
    const CommandResult r = run(cli("convert '" + mpg + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "size"), "320x240") << r.out;
    const Marks m = readMarks(out);
    ASSERT_EQ(m.flashes.size(), 4u);
    for (double offset : beepOffsets(m))
        EXPECT_NEAR(offset, 0.0, 0.04);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A Windows Media file whose sound ends a little before the length in its header (as
// ffmpeg's WMV2/WMA2 files do): the conversion ends by itself, in about the time of the
// re-encode, with the whole picture and sound.
TEST(ConvertCli, AWindowsMediaFileEndsByItself) {
    const std::string in = sharedClip(Dir, "clip.wmv",
                                      "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                                      "sine=r=44100 -t 4 -c:v wmv2 -c:a wmav2");
    ASSERT_FALSE(in.empty());
    const std::string out = scratchDir(Dir + "-wmv") + "/wmv.avi";
    const auto started = std::chrono::steady_clock::now();
    const CommandResult r = run("timeout 60 " + cli("convert '" + in + "' '" + out + "'"));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("no progress"), std::string::npos) << r.err;
    // The stall guard gives up after 10 s: a conversion that ends by itself is done long
    // before (about 1.5 s here).
    EXPECT_LT(took, 6.0 * timeScale()) << r.err;
    const auto [videoSeconds, soundSeconds] = streamDurations(out);
    EXPECT_NEAR(videoSeconds, 4.0, 0.1);
    EXPECT_NEAR(soundSeconds, 4.0, 0.1);
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

TEST(ConvertCli, SourceSizeAndRateWithoutSize) {
    const std::string in = sharedClip(Dir, "v15.mp4",
                                      "-f lavfi -i testsrc=size=200x150:rate=15 "
                                      "-t 3 -c:v libx264 -pix_fmt yuv420p");
    ASSERT_FALSE(in.empty());
    const std::string out = scratchDir(Dir + "-plain") + "/out.avi";
    const CommandResult r = run(cli("convert '" + in + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summaryValue(r.out, "video"), "1");
    EXPECT_EQ(summaryValue(r.out, "audio"), "0");
    const auto v = probeStream(out, "v:0");
    EXPECT_EQ(v.at("width"), "200");
    EXPECT_EQ(v.at("height"), "150");
    EXPECT_EQ(v.at("r_frame_rate"), "15/1");
    EXPECT_TRUE(probeStream(out, "a:0").empty());
}

TEST(ConvertCli, ATargetThatIsTheSourceIsRefused) {
    const std::string x = xvidPcm();
    ASSERT_FALSE(x.empty());
    const std::string sum = md5sum(x);
    const std::string alias = std::filesystem::path(x).parent_path().string() + "/./x.avi";
    for (const std::string& target : {x, alias}) {
        const CommandResult r = run(cli("convert '" + x + "' '" + target + "'"));
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find(target), std::string::npos) << r.err;
    }
    EXPECT_EQ(md5sum(x), sum);
    const std::string out = scratchDir(Dir + "-refused") + "/out.avi";
    EXPECT_EQ(run(cli("convert '" + x + "' --size 9000x100 '" + out + "'")).exitCode, 2);
    EXPECT_EQ(run(cli("convert '" + x + "' --size 320 '" + out + "'")).exitCode, 2);
    EXPECT_EQ(run(cli("convert '" + x + "'")).exitCode, 2);
    EXPECT_FALSE(std::filesystem::exists(out));
}

namespace {
// The hidden files a job writes beside its target before moving them into place.
std::vector<std::string> partialFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.front() == '.' && name.size() > 8 && name.ends_with(".partial"))
            found.push_back(name);
    }
    return found;
}

// Starts tovamix-cli convert in the background, its progress into err (an earlier run's lines
// removed first); returns once both streams have come some way (its first progress above 0%:
// at 0% the sound may be written before the first picture has left the slower video path).
pid_t startConversion(const std::string& in, const std::string& out, const std::string& err) {
    std::filesystem::remove(err);
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c",
              (std::string("exec ") + TOVAMIX_CLI + " convert '" + in + "' '" + out + "' 2>'" +
               err + "' >/dev/null")
                  .c_str(),
              nullptr);
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline &&
           run("grep -c 'converting [1-9]' '" + err + "'").out.find_first_not_of("0\n") ==
               std::string::npos)
        usleep(20000);
    return child;
}
} // namespace

// Ctrl+C stops as the window's Stop does: the file holds what was written and ffprobe reads it.
TEST(ConvertCli, InterruptStopsWithAWholeFile) {
    const std::string in = h264Aac("long.mp4", "1280x720", 60);
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir(Dir + "-interrupt");
    const std::string out = dir + "/out.avi", err = dir + "/err.txt";
    const pid_t child = startConversion(in, out, err);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto v = probeStream(out, "v:0");
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.at("codec_tag_string"), "XVID");
    EXPECT_LT(numberField(v, "duration"), 59.0);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A conversion writes beside its target: killed half-way it leaves the file that was there
// before as it was; finished, it replaces it in one step, with the earlier file's permission
// bits, and leaves nothing of its own beside it.
TEST(ConvertCli, AKilledConversionLeavesTheEarlierFileAsItWas) {
    const std::string in = h264Aac("long.mp4", "1280x720", 60);
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir(Dir + "-killed");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string out = dir + "/out.avi", err = dir + "/err.txt";
    std::ofstream(out) << "an earlier recording\n";
    std::filesystem::permissions(out, std::filesystem::perms(0640));
    const std::string before = md5sum(out);
    const pid_t child = startConversion(in, out, err);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(md5sum(out), before) << "the earlier file was touched";
    const auto left = partialFiles(dir);
    // The killed conversion's own file (empty when the kill came before its first write).
    ASSERT_EQ(left.size(), 1u);

    const CommandResult r = run(cli("convert --size 320x240 '" + xvidPcm() + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(probeStream(out, "v:0").at("codec_tag_string"), "XVID");
    EXPECT_EQ(std::filesystem::status(out).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0640));
    EXPECT_EQ(partialFiles(dir), left) << "the finished conversion left a file of its own";
}

// A source cut short while it is read (truncated half-way) is reported with where the new file
// ended, exit 1, and the short file is not left at the name.
TEST(ConvertCli, ASourceCutShortWhileReadIsReported) {
    const std::string longer = h264Aac("long.mp4", "1280x720", 60);
    ASSERT_FALSE(longer.empty());
    const std::string dir = scratchDir(Dir + "-shrunk");
    const std::string in = dir + "/in.mp4", out = dir + "/out.avi", err = dir + "/err.txt";
    std::filesystem::remove(out);
    std::filesystem::copy_file(longer, in, std::filesystem::copy_options::overwrite_existing);
    const pid_t child = startConversion(in, out, err);
    std::filesystem::resize_file(in, std::filesystem::file_size(in) / 2);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string said = run("tail -n 1 '" + err + "'").out;
    EXPECT_NE(said.find("was cut short while it was read: the new file ended at"),
              std::string::npos)
        << said;
    EXPECT_FALSE(fileExists(out));
}

namespace {

// How close a file's pictures are to the source's, as ffmpeg decodes both (average PSNR, dB);
// a picture upside down or in the wrong colours scores far below 30.
double psnr(const std::string& source, const std::string& output) {
    const CommandResult r = run("ffmpeg -nostdin -i '" + source + "' -i '" + output +
                                "' -lavfi '[0:v]format=yuv420p[a];[1:v]format=yuv420p[b];"
                                "[a][b]psnr' -f null -");
    std::smatch m;
    if (!std::regex_search(r.err, m, std::regex("average:([0-9.]+|inf)"))) return 0;
    return m[1] == "inf" ? 99 : std::stod(m[1]);
}

} // namespace

// Uncompressed RGB AVIs as other programs write them (24 and 32 bit, bottom-up and top-down)
// convert with their pictures the right way up, and cut, link and give a snapshot.
TEST(ConvertCli, RawRgbAvisOfEitherOrientationConvertCutLinkAndGrab) {
    const std::string dir = scratchDir(Dir + "-raw");
    const std::string bgr24 = sharedClip(Dir, "bgr24.avi",
                                         "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                                         "sine=r=44100 -t 3 -c:v rawvideo -pix_fmt bgr24 "
                                         "-c:a pcm_s16le");
    const std::string bgra = sharedClip(Dir, "bgra.avi",
                                        "-f lavfi -i testsrc=size=320x240:rate=25 -t 3 "
                                        "-c:v rawvideo -pix_fmt bgra");
    ASSERT_FALSE(bgr24.empty());
    ASSERT_FALSE(bgra.empty());
    const std::string topDown24 = topDownCopy(bgr24, dir + "/td24.avi");
    const std::string topDown32 = topDownCopy(bgra, dir + "/td32.avi");
    ASSERT_FALSE(topDown24.empty());
    for (const std::string& in : {bgr24, bgra, topDown24, topDown32}) {
        SCOPED_TRACE(in);
        const std::string out = dir + "/c.avi";
        const CommandResult r = run("timeout 60 " + cli("convert '" + in + "' '" + out + "'"));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(summaryValue(r.out, "size"), "320x240") << r.out;
        EXPECT_EQ(run("ffprobe -v error -select_streams v -count_frames -show_entries "
                      "stream=nb_read_frames -of csv=p=0 '" +
                      out + "'")
                      .out,
                  "75\n");
        EXPECT_GT(psnr(in, out), 35.0);
    }
    const CommandResult cut =
        run("timeout 60 " + cli("cut '" + bgr24 + "' --from 1 --to 2 '" + dir + "/cut.avi'"));
    ASSERT_EQ(cut.exitCode, 0) << cut.err;
    EXPECT_EQ(summaryValue(cut.out, "frames"), "25") << cut.out;
    const CommandResult link =
        run("timeout 60 " + cli("link '" + bgr24 + "' '" + topDown32 + "' '" + dir + "/link.avi'"));
    ASSERT_EQ(link.exitCode, 0) << link.err;
    EXPECT_NEAR(streamDurations(dir + "/link.avi").first, 6.0, 0.05);
    const CommandResult grab =
        run("timeout 60 " + cli("grab-frame '" + topDown24 + "' --at 1.5 '" + dir + "/g.bmp'"));
    ASSERT_EQ(grab.exitCode, 0) << grab.err;
    EXPECT_EQ(summaryValue(grab.out, "width"), "320") << grab.out;
}
