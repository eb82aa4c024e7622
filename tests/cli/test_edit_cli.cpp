// tovamix-cli merge, split and link: the files they write, read back with ffprobe and ffmpeg,
// the summary lines, and the bad uses that end with 2 and write nothing.
#include "CliCommand.h"
#include "support/Markers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

using namespace testsupport;

namespace {

// The framemd5 lines of a file's picture packets, copied out without decoding.
std::string pictureMd5s(const std::string& path) {
    return run("ffmpeg -v error -i '" + path + "' -map 0:v -c copy -f framemd5 - | grep -v '^#'")
        .out;
}

const std::string Dir = "cli-edit";

// 4 s of MPEG-4 (XVID, B-frames) with its own sound.
std::string clip4() {
    return sharedClip(Dir, "clip4.avi",
                      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 "
                      "-t 4 -c:v libxvid -bf 2 -c:a libmp3lame");
}
std::string tone6() {
    return sharedClip(Dir, "tone6.mp3", "-f lavfi -i sine=f=660:r=44100 -t 6 -c:a libmp3lame");
}
// A video file with picture and sound, no B-frames.
std::string clip() {
    return sharedClip(Dir, "clip.avi",
                      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 "
                      "-t 4 -c:v libxvid -c:a libmp3lame");
}
std::string videoOnly() {
    return sharedClip(Dir, "vonly.avi",
                      "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libxvid");
}

} // namespace

// The video file's packets come through unchanged beside the MP3's; the video file's own
// sound is gone.
TEST(CliMerge, CopiesThePictureAndTheSoundAsTheyAre) {
    const std::string video = clip4(), audio = tone6();
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string dir = scratchDir("cli-merge");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string out = dir + "/out.avi";
    // An earlier file of that name is replaced in one step and lends the new one its
    // permission bits; nothing of the writing is left beside it.
    std::ofstream(out) << "an earlier file\n";
    std::filesystem::permissions(out, std::filesystem::perms(0604));
    const CommandResult r =
        run(cli("merge --audio '" + audio + "' --video '" + video + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::filesystem::status(out).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0604));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(
        run("ffprobe -v error -show_entries stream=index -of csv=p=0 '" + out + "' | wc -l").out,
        "2\n");
    const auto v = probeStream(out, "v:0"), a = probeStream(out, "a:0");
    EXPECT_EQ(v.at("codec_name"), "mpeg4");
    EXPECT_EQ(v.at("codec_tag_string"), "XVID");
    EXPECT_EQ(v.at("nb_frames"), probeStream(video, "v:0").at("nb_frames"));
    EXPECT_EQ(pictureMd5s(out), pictureMd5s(video));
    EXPECT_NEAR(numberField(v, "duration"), 4.0, 0.041);
    EXPECT_EQ(a.at("codec_name"), "mp3");
    EXPECT_EQ(a.at("nb_read_packets"), probeStream(audio, "a:0").at("nb_read_packets"));
    EXPECT_NEAR(numberField(a, "duration"), 6.0, 0.05);
    // The summary agrees with the file.
    EXPECT_EQ(summaryValue(r.out, "video"), "XVID") << r.out;
    EXPECT_EQ(summaryValue(r.out, "audio"), "mp3") << r.out;
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "video_seconds")), numberField(v, "duration"),
                0.001);
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "audio_seconds")), numberField(a, "duration"),
                0.001);
    EXPECT_EQ(summaryValue(r.out, "output"), out);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A Motion JPEG picture goes in as MJPG; 24-bit 96 kHz sound is fitted to 16-bit 48 kHz PCM.
TEST(CliMerge, MotionJpegBesideHighRateWav) {
    const std::string video = sharedClip(
        Dir, "mjpeg6.avi", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 6 -c:v mjpeg -vtag MJPG");
    const std::string audio =
        sharedClip(Dir, "tone4s.wav", "-f lavfi -i sine=f=440:r=96000 -t 4 -ac 2 -c:a pcm_s24le");
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string out = scratchDir("cli-merge-mjpeg") + "/out.avi";
    const CommandResult r =
        run(cli("merge --audio '" + audio + "' --video '" + video + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto v = probeStream(out, "v:0"), a = probeStream(out, "a:0");
    EXPECT_EQ(v.at("codec_tag_string"), "MJPG");
    EXPECT_NEAR(numberField(v, "duration"), 6.0, 0.041);
    EXPECT_EQ(a.at("codec_name"), "pcm_s16le");
    EXPECT_EQ(a.at("sample_rate"), "48000");
    EXPECT_EQ(summaryValue(r.out, "audio"), "pcm") << r.out;
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "audio_seconds")), 4.0, 0.04) << r.out;
    // PCM in AVI states no channel layout; ffmpeg says it guesses one.
    EXPECT_EQ(std::regex_replace(decodeAll(out).err, std::regex("Guessed Channel Layout.*\n"), ""),
              "");
}

// The split's two files: MP3 (0x0055) alone, and XviD alone at the source's frame count and
// size.
TEST(CliSplit, WritesTheSoundAsMp3AndThePictureAsXvid) {
    const std::string in = clip();
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir("cli-split");
    const std::string a = dir + "/a.avi", v = dir + "/v.avi";
    const CommandResult r =
        run(cli("split '" + in + "' --audio-out '" + a + "' --video-out '" + v + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto source = probeStream(in, "v:0"), sourceSound = probeStream(in, "a:0");
    const auto sound = probeStream(a, "a:0"), picture = probeStream(v, "v:0");
    EXPECT_EQ(probeStream(a, "v").size(), 0u);
    EXPECT_EQ(probeStream(v, "a").size(), 0u);
    EXPECT_EQ(sound.at("codec_tag"), "0x0055");
    EXPECT_NEAR(numberField(sound, "duration"), numberField(sourceSound, "duration"), 0.0262);
    EXPECT_EQ(picture.at("codec_tag_string"), "XVID");
    EXPECT_EQ(picture.at("nb_frames"), source.at("nb_frames"));
    EXPECT_EQ(picture.at("width"), "320");
    EXPECT_EQ(picture.at("height"), "240");
    EXPECT_EQ(summaryValue(r.out, "audio"), "mp3") << r.out;
    EXPECT_EQ(summaryValue(r.out, "video"), "XVID") << r.out;
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "audio_seconds")),
                numberField(sound, "duration"), 0.001);
    EXPECT_NEAR(std::stod("0" + summaryValue(r.out, "video_seconds")),
                numberField(picture, "duration"), 0.001);
    EXPECT_EQ(decodeAll(a).err, "");
    EXPECT_EQ(decodeAll(v).err, "");
}

// A source whose sound ends 3 s before its picture: both files are whole.
TEST(CliSplit, SoundThatEndsEarlyStillGivesTwoWholeFiles) {
    const std::string in = sharedClip(Dir, "early.avi",
                                      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                                      "sine=f=440:r=44100:d=2 -t 5 -c:v libxvid -c:a libmp3lame");
    ASSERT_FALSE(in.empty());
    const std::string dir = scratchDir("cli-split-early");
    const std::string a = dir + "/a.avi", v = dir + "/v.avi";
    const CommandResult r =
        run(cli("split '" + in + "' --audio-out '" + a + "' --video-out '" + v + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // As long as the source's sound, within one MP3 frame.
    EXPECT_NEAR(numberField(probeStream(a, "a:0"), "duration"),
                numberField(probeStream(in, "a:0"), "duration"), 0.0262);
    EXPECT_EQ(probeStream(v, "v:0").at("nb_frames"), probeStream(in, "v:0").at("nb_frames"));
    EXPECT_EQ(decodeAll(a).err, "");
    EXPECT_EQ(decodeAll(v).err, "");
}

// 10 s at 640x480, then 5 s at 320x240: 15 s at the first file's size, XviD and MP3. PCM
// sources state their lengths exactly (an MP3 source starts its picture one frame late).
TEST(CliLink, TwoFilesOneAfterTheOtherAtTheFirstFilesSize) {
    const std::string ten =
        sharedClip(Dir, "ten.avi",
                   "-f lavfi -i testsrc2=size=640x480:rate=25 -f lavfi -i sine=f=440:r=44100 "
                   "-t 10 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    const std::string five =
        sharedClip(Dir, "five.avi",
                   "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=f=880:r=44100 "
                   "-t 5 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    ASSERT_FALSE(ten.empty() || five.empty());
    const std::string out = scratchDir("cli-link") + "/out.avi";
    const CommandResult r = run(cli("link '" + ten + "' '" + five + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto v = probeStream(out, "v:0"), a = probeStream(out, "a:0");
    EXPECT_EQ(v.at("codec_tag_string"), "XVID");
    EXPECT_EQ(v.at("width"), "640");
    EXPECT_EQ(v.at("height"), "480");
    EXPECT_NEAR(numberField(v, "duration"), 15.0, 0.04);
    EXPECT_EQ(a.at("codec_tag"), "0x0055");
    // The MP3 encoder pads its last frames.
    EXPECT_NEAR(numberField(a, "duration"), 15.0, 0.1);
    EXPECT_EQ(summaryValue(r.out, "first_seconds"), "10.000") << r.out;
    EXPECT_EQ(summaryValue(r.out, "second_seconds"), "5.000") << r.out;
    EXPECT_EQ(decodeAll(out).err, "");
}

// A first file without sound and a second with: the second stretch has its sound, the first
// silence.
TEST(CliLink, TheSecondFilesSoundIsKeptAfterASilentFirst) {
    const std::string silent = sharedClip(
        Dir, "silent2.avi", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v mpeg4 -vtag XVID");
    const std::string loud =
        sharedClip(Dir, "loud2.avi",
                   "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 "
                   "-t 2 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    ASSERT_FALSE(silent.empty() || loud.empty());
    const std::string out = scratchDir("cli-link-sound") + "/out.avi";
    const CommandResult r = run(cli("link '" + silent + "' '" + loud + "' '" + out + "'"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto a = probeStream(out, "a:0");
    ASSERT_EQ(a.at("codec_tag"), "0x0055");
    EXPECT_NEAR(numberField(a, "duration"), 4.0, 0.1);
    // Loudness of each stretch: silence, then the tone.
    auto volume = [&](const char* from) {
        const CommandResult v = run("ffmpeg -v info -ss " + std::string(from) + " -t 1.5 -i '" +
                                    out + "' -af volumedetect -f null -");
        std::smatch m;
        std::regex_search(v.err, m, std::regex("max_volume: (-?[0-9.]+|-inf) dB"));
        return m.empty() || m[1] == "-inf" ? -100.0 : std::stod(m[1]);
    };
    EXPECT_LT(volume("0.2"), -60);
    EXPECT_GT(volume("2.3"), -20);
}

// A first file whose sound ends 2 s before its picture: the rest of its stretch is silent, and
// the second file's sound keeps its place under its picture (every flash of the second file
// has its beep within 40 ms, the MP3 encoder's delay included). Second, silence follows the
// same file's sound to the end of its picture: the file's sound lasts as long as its picture.
TEST(CliLink, ASoundThatEndsEarlyLeavesSilenceAndTheNextFileStaysInStep) {
    MarkerClipForm shortForm{"short_sound.mp4", "-c:v libx264 -pix_fmt yuv420p -c:a aac"};
    shortForm.seconds = 4;
    shortForm.soundUntil = 2;
    MarkerClipForm syncForm{"sync.avi", "-c:v mpeg4 -vtag XVID -c:a pcm_s16le"};
    syncForm.seconds = 4;
    const std::string shortSound = markerClip(Dir, shortForm), sync = markerClip(Dir, syncForm);
    ASSERT_FALSE(shortSound.empty() || sync.empty());
    const std::string dir = scratchDir("cli-link-marks");
    struct Order {
        std::string first, second;
        std::vector<double> inStep; // flashes of the output that have their beep
        std::vector<double> silent; // flashes of the short sound's silent end
    };
    for (const Order& o : {Order{shortSound, sync, {1, 5, 6, 7}, {2, 3}},
                           Order{sync, shortSound, {1, 2, 3, 5}, {6, 7}}}) {
        SCOPED_TRACE(o.first + " then " + o.second);
        const std::string out = dir + "/out.avi";
        const CommandResult r = run(cli("link '" + o.first + "' '" + o.second + "' '" + out + "'"));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Marks m = readMarks(out);
        EXPECT_NEAR(m.videoSeconds, 8.0, 0.04);
        EXPECT_NEAR(m.audioSeconds, 8.0, 0.1);
        ASSERT_EQ(m.flashes.size(), 6u);
        const std::vector<double> offsets = beepOffsets(m);
        for (size_t i = 0; i < m.flashes.size(); ++i) {
            const double at = m.flashes[i];
            std::printf("flash at %.3f s: beep %+.3f s\n", at, offsets[i]);
            auto near = [&](double t) { return std::fabs(at - t) < 0.05; };
            if (std::any_of(o.inStep.begin(), o.inStep.end(), near))
                EXPECT_NEAR(offsets[i], 0.0, 0.04) << "the flash at " << at << " s";
            else if (std::any_of(o.silent.begin(), o.silent.end(), near))
                EXPECT_GT(std::fabs(offsets[i]), 0.5) << "a beep in the silence at " << at << " s";
            else
                ADD_FAILURE() << "a flash at " << at << " s";
        }
    }
}

// Sound-only files link too: a WAV first, then a picture with sound, or then another sound;
// each ends by itself with both files' lengths.
TEST(CliLink, AWavFirstLinksWithAVideoOrAnotherSound) {
    const std::string wav = sharedClip(Dir, "tone2.wav", "-f lavfi -i sine=f=330:r=44100 -t 2");
    MarkerClipForm syncForm{"sync.avi", "-c:v mpeg4 -vtag XVID -c:a pcm_s16le"};
    syncForm.seconds = 4;
    const std::string sync = markerClip(Dir, syncForm);
    ASSERT_FALSE(wav.empty() || sync.empty());
    const std::string dir = scratchDir("cli-link-wav");
    for (const std::string& second : {sync, tone6()}) {
        SCOPED_TRACE(second);
        const std::string out = dir + "/out.avi";
        const auto started = std::chrono::steady_clock::now();
        const CommandResult r =
            run("timeout -s KILL 60 " + cli("link '" + wav + "' '" + second + "' '" + out + "'"));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        const double total = second == sync ? 6.0 : 8.0;
        const auto [video, audio] = streamDurations(out);
        EXPECT_NEAR(audio, total, 0.1);
        if (second == sync) {
            EXPECT_NEAR(video, total, 0.04);
            const Marks m = readMarks(out);
            ASSERT_EQ(m.flashes.size(), 3u);
            for (double offset : beepOffsets(m))
                EXPECT_NEAR(offset, 0.0, 0.04);
        }
        EXPECT_EQ(decodeAll(out).err, "");
    }
}

// Windows Media and MPEG transport streams end their stretch in a way of their own; a link
// with one of them, in either place, ends by itself with both lengths, in step.
TEST(CliLink, WindowsMediaAndTransportStreamsLinkInEitherPlace) {
    MarkerClipForm syncForm{"sync3.avi", "-c:v mpeg4 -vtag XVID -c:a pcm_s16le"};
    syncForm.seconds = 3;
    const std::string sync = markerClip(Dir, syncForm);
    ASSERT_FALSE(sync.empty());
    const std::string dir = scratchDir("cli-link-forms");
    for (const MarkerClipForm& form : {MarkerClipForm{"wm.wmv", "-c:v wmv2 -c:a wmav2"},
                                       MarkerClipForm{"ts.ts", "-c:v mpeg2video -c:a mp2"}}) {
        MarkerClipForm f = form;
        f.seconds = 3;
        const std::string other = markerClip(Dir, f);
        ASSERT_FALSE(other.empty()) << form.name;
        for (const bool otherFirst : {true, false}) {
            SCOPED_TRACE(form.name + (otherFirst ? " first" : " second"));
            const std::string out = dir + "/out.avi";
            const std::string a = otherFirst ? other : sync, b = otherFirst ? sync : other;
            const auto started = std::chrono::steady_clock::now();
            const CommandResult r =
                run("timeout -s KILL 60 " + cli("link '" + a + "' '" + b + "' '" + out + "'"));
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_LT(std::chrono::steady_clock::now() - started,
                      std::chrono::duration<double>(8.0 * timeScale()));
            const auto [video, audio] = streamDurations(out);
            EXPECT_NEAR(video, 6.0, 0.1);
            EXPECT_NEAR(audio, 6.0, 0.1);
            const Marks m = readMarks(out);
            EXPECT_GE(m.flashes.size(), 4u);
            // After the MP3 encoder's constant delay (about 25 ms).
            for (double offset : beepOffsets(m))
                EXPECT_NEAR(offset, 0.025, 0.04);
            EXPECT_EQ(decodeAll(out).err, "");
        }
    }
}

// Ctrl+C during a link stops it as Link's Stop does: exit 1, and the file holds what was
// written, indexed.
TEST(CliLink, SigintStopsWithAWholeFile) {
    const std::string longer =
        sharedClip(Dir, "long.avi",
                   "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=f=440:r=44100 "
                   "-t 60 -c:v mpeg4 -vtag XVID -q:v 8 -c:a pcm_s16le");
    const std::string five = clip();
    ASSERT_FALSE(longer.empty() || five.empty());
    const std::string dir = scratchDir("cli-link-int");
    const std::string out = dir + "/stopped.avi", said = dir + "/said.txt";
    std::filesystem::remove(said);
    // Once the link has come some way: a sanitized build takes seconds to start it, and a
    // signal before any data is another case.
    const CommandResult r =
        run("(" + cli("link '" + longer + "' '" + five + "' '" + out + "'") + " 2>'" + said +
            "' & pid=$!; for i in $(seq 600); do grep -q '^linking [1-9]' '" + said +
            "' && break; sleep 0.1; done; kill -INT $pid; wait $pid; status=$?; cat '" + said +
            "' >&2; exit $status)");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
    const double seconds = numberField(probeStream(out, "v:0"), "duration");
    EXPECT_GT(seconds, 0);
    EXPECT_LT(seconds, 100);
    EXPECT_EQ(decodeAll(out).err, "");
}

// SIGTERM during a split stops both graphs: exit 1, and each file holds what was written,
// indexed.
TEST(CliSplit, SigtermStopsBothWithWholeFiles) {
    const std::string longer =
        sharedClip(Dir, "long.avi",
                   "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=f=440:r=44100 "
                   "-t 60 -c:v mpeg4 -vtag XVID -q:v 8 -c:a pcm_s16le");
    ASSERT_FALSE(longer.empty());
    const std::string dir = scratchDir("cli-split-term");
    const std::string a = dir + "/a.avi", v = dir + "/v.avi";
    const CommandResult r =
        run("(" + cli("split '" + longer + "' --audio-out '" + a + "' --video-out '" + v + "'") +
            " & pid=$!; " + scaledSleep(2) + "; kill -TERM $pid; wait $pid)");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
    const auto picture = probeStream(v, "v:0");
    EXPECT_GT(numberField(picture, "duration"), 0);
    EXPECT_LT(numberField(picture, "duration"), 59);
    EXPECT_EQ(decodeAll(a).err, "");
    EXPECT_EQ(decodeAll(v).err, "");
}

// Bad uses end with 2, say why naming the file, write nothing, and leave the inputs as they
// were (a target that names an input, also through a link, is refused before any graph).
TEST(CliEdit, BadUsesExitWithTwoAndWriteNothing) {
    const std::string video = clip4(), audio = tone6(), only = videoOnly(), in = clip();
    ASSERT_FALSE(video.empty() || audio.empty() || only.empty() || in.empty());
    const std::string dir = scratchDir("cli-edit-bad");
    const std::string out = dir + "/out.avi", out2 = dir + "/out2.avi";
    const std::string link = dir + "/link.avi";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(video, link);
    const std::string cut = dir + "/cut.avi";
    run("head -c 60000 '" + video + "' > '" + cut + "'");
    for (const std::string& f : {out, out2})
        std::filesystem::remove(f);
    const std::string adpcm =
        sharedClip(Dir, "adpcm.wav", "-f lavfi -i sine=r=44100 -t 2 -c:a adpcm_ms");
    const std::string mp4 = sharedClip(Dir, "clip4.mp4",
                                       "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v "
                                       "libx264");
    // A copy of the AVI whose index entries all point past its end.
    const std::string badIndex = dir + "/bad-index.avi";
    std::filesystem::copy_file(video, badIndex, std::filesystem::copy_options::overwrite_existing);
    run("python3 -c \"import sys; d=bytearray(open(sys.argv[1],'rb').read()); i=d.rfind(b'idx1'); "
        "n=int.from_bytes(d[i+4:i+8],'little'); [d.__setitem__(slice(k+8,k+12), "
        "(0x7fff0000).to_bytes(4,'little')) for k in range(i+8,i+8+n,16)]; "
        "open(sys.argv[1],'wb').write(d)\" '" +
        badIndex + "'");
    const std::string before = md5sum(video);
    const struct {
        std::string args, says;
    } cases[] = {
        {"merge --audio '" + audio + "' --video '" + video + "' '" + video + "'", "is the input"},
        {"merge --audio '" + audio + "' --video '" + video + "' '" + link + "'", "is the input"},
        {"merge --audio '" + only + "' --video '" + video + "' '" + out + "'", "holds no sound"},
        {"merge --audio '" + audio + "' --video '" + cut + "' '" + out + "'", "is cut short"},
        {"merge --audio '" + adpcm + "' --video '" + video + "' '" + out + "'",
         "holds no sound of a kind an AVI file carries"},
        {"merge --audio '" + audio + "' --video '" + dir + "/none.avi' '" + out + "'",
         "does not exist"},
        {"merge --audio '" + audio + "' --video '" + video + "' '" + dir + "/no/out.avi'",
         "Cannot write"},
        {"merge --audio '" + audio + "' '" + out + "'", "--video is required"},
        {"merge --audio '" + audio + "' --video '" + mp4 + "' '" + out + "'", "is not an AVI file"},
        {"merge --audio '" + audio + "' --video '" + badIndex + "' '" + out + "'",
         "points outside the file"},
        {"split '" + in + "' --audio-out '" + out + "' --video-out '" + out + "'",
         "Both outputs name"},
        {"split '" + in + "' --audio-out '" + in + "' --video-out '" + out + "'", "is the input"},
        {"split '" + only + "' --audio-out '" + out + "' --video-out '" + out2 + "'",
         "holds no sound"},
        {"link '" + video + "' '" + in + "' '" + in + "'", "is the input"},
        {"link '" + video + "' '" + out + "'", "required"},
    };
    for (const auto& c : cases) {
        const auto started = std::chrono::steady_clock::now();
        const CommandResult r = run(cli(c.args));
        EXPECT_LT(std::chrono::steady_clock::now() - started,
                  std::chrono::duration<double>(2.0 * timeScale()))
            << c.args;
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_FALSE(fileExists(out) || fileExists(out2)) << c.args;
    }
    EXPECT_EQ(md5sum(video), before);
}
