#include "Markers.h"

#include "TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

constexpr int NumberBits = 10;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

// A number ffprobe printed as key=value in its default writer, or 0.
double probed(const std::string& path, const std::string& entries, const std::string& key,
              const std::string& selector = "") {
    const std::string sel = selector.empty() ? "" : " -select_streams " + selector;
    const CommandResult r = run("ffprobe -v error" + sel + " -show_entries " + entries +
                                " -of default=nw=1 '" + path + "'");
    const auto at = r.out.find(key + "=");
    if (at == std::string::npos) return 0;
    return std::atof(r.out.c_str() + at + key.size() + 1);
}

// The file's zero: its earliest stream's start, as ffprobe says. A negative start (an AAC
// stream's priming samples, which an MP4's edit list hides) is no picture's or sound's start.
double fileZero(const std::string& path) {
    return std::max(0.0, probed(path, "format=start_time", "start_time"));
}

// A picture without a time is taken to follow the one before by a frame at 25 fps.
constexpr double FrameGuess = 0.04;

} // namespace

std::string markerClip(const std::string& dir, const MarkerClipForm& f) {
    const double soundUntil = f.soundUntil > 0 ? f.soundUntil : f.seconds;
    // White for FlashSeconds at every whole second from 1 s; the sound's own clock starts at
    // soundFrom, so its expression is shifted to beep at the same instants.
    const std::string flash = "gte(t,1)*lt(mod(t,1)," + number(FlashSeconds) + ")";
    std::string video = "color=c=black:s=" + std::to_string(f.width) + "x" +
                        std::to_string(f.height) + ":r=" + std::to_string(f.rate) +
                        ":d=" + number(f.seconds) + ",drawbox=c=white:t=fill:enable='" + flash +
                        "'";
    // The frame number over the flash: a black band with a white box for every bit set.
    const int band = f.height / 8, box = f.width / NumberBits;
    video += ",drawbox=x=0:y=0:w=" + std::to_string(f.width) + ":h=" + std::to_string(band) +
             ":c=black:t=fill";
    for (int bit = 0; bit < NumberBits; ++bit)
        video += ",drawbox=x=" + std::to_string(bit * box) + ":y=0:w=" + std::to_string(box) +
                 ":h=" + std::to_string(band) + ":c=white:t=fill:enable='mod(floor(n/" +
                 std::to_string(1 << bit) + "),2)'";
    const std::string t = "(t+" + number(f.soundFrom) + ")";
    const std::string sound = "aevalsrc='0.5*sin(2*PI*1000*t)*gte(" + t + ",1)*lt(mod(" + t +
                              ",1)," + number(FlashSeconds) +
                              ")':s=44100:d=" + number(soundUntil - f.soundFrom);
    std::string args = "-f lavfi -i \"" + video + "\" ";
    if (f.soundFrom > 0) args += "-itsoffset " + number(f.soundFrom) + " ";
    args += "-f lavfi -i \"" + sound + "\" -map 0:v -map 1:a -ac 2 " + f.codecs;
    // Clips without numbers had the same names once: a cached one is never taken for these.
    return sharedClip(dir, "numbered-" + f.name, args);
}

Marks readMarks(const std::string& path) {
    Marks m;
    // The file's zero: the earliest start of its streams.
    const double zero = fileZero(path);
    // Picture: the mean brightness of every decoded frame, with its time.
    const CommandResult frames =
        run("ffprobe -v error -f lavfi \"movie='" + path +
            "',scale=32:24,format=gray,signalstats\" -show_entries "
            "frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0");
    bool white = false;
    std::istringstream lines(frames.out);
    for (std::string line; std::getline(lines, line);) {
        double time = 0, brightness = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &time, &brightness) != 2) continue;
        if (!white && brightness > 128) m.flashes.push_back(time - zero);
        white = brightness > 128;
    }
    // Sound: mono at 8 kHz; a beep begins where 2.5 ms windows turn loud after a quiet stretch
    // of at least 0.3 s.
    const double soundStart = probed(path, "stream=start_time", "start_time", "a:0");
    const CommandResult pcm = run("ffmpeg -v error -i '" + path +
                                  "' -map 0:a:0 -ac 1 -ar 8000 -f s16le - | od -An -v -td2 -w2");
    std::istringstream samples(pcm.out);
    constexpr int Window = 20;
    int inWindow = 0, loud = 0, quietWindows = 1000;
    long index = 0;
    for (long v; samples >> v; ++index) {
        if (std::labs(v) > 4000) ++loud;
        if (++inWindow < Window) continue;
        const bool beep = loud >= Window / 4;
        if (beep && quietWindows * Window >= 8000 * 3 / 10)
            m.beeps.push_back(double(index + 1 - Window) / 8000.0 + soundStart - zero);
        quietWindows = beep ? 0 : quietWindows + 1;
        inWindow = loud = 0;
    }
    const auto [video, audio] = streamDurations(path);
    m.videoSeconds = video;
    m.audioSeconds = audio;
    return m;
}

std::vector<NumberedFrame> readFrameNumbers(const std::string& path) {
    std::vector<NumberedFrame> frames;
    const double zero = fileZero(path);
    const CommandResult times = run("ffprobe -v error -select_streams v:0 -show_entries "
                                    "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                    path + "'");
    // Every picture's band, averaged down to one grey level per box.
    const CommandResult grey = run("ffmpeg -v error -i '" + path +
                                   "' -map 0:v:0 -fps_mode passthrough -vf "
                                   "\"crop=iw:ih/8:0:0,scale=" +
                                   std::to_string(NumberBits) +
                                   ":1:flags=area,format=gray\" -f rawvideo - | od -An -v -tu1 -w" +
                                   std::to_string(NumberBits));
    std::istringstream timeLines(times.out), greyLines(grey.out);
    std::string timeLine, greyLine;
    while (std::getline(greyLines, greyLine)) {
        NumberedFrame frame;
        std::istringstream levels(greyLine);
        int bit = 0, number = 0;
        for (int level; levels >> level && bit < NumberBits; ++bit)
            if (level > 128) number |= 1 << bit;
        if (bit != NumberBits) continue;
        frame.number = number;
        // One line per picture: a time, or N/A for a picture without one (the line after the
        // last known picture's); other lines (empty ones, side data) belong to no picture.
        const auto pictureLine = [](const std::string& l) {
            return !l.empty() && (std::isdigit(static_cast<unsigned char>(l[0])) || l[0] == '-' ||
                                  l.rfind("N/A", 0) == 0);
        };
        timeLine.clear();
        while (std::getline(timeLines, timeLine) && !pictureLine(timeLine)) {
        }
        if (timeLine.rfind("N/A", 0) == 0)
            frame.time = frames.empty() ? 0 : frames.back().time + FrameGuess;
        else
            frame.time = std::atof(timeLine.c_str()) - zero;
        frames.push_back(frame);
    }
    return frames;
}

std::string numbersText(const std::vector<NumberedFrame>& frames) {
    std::string text;
    for (const NumberedFrame& f : frames)
        text += (text.empty() ? "" : " ") + std::to_string(f.number);
    return text;
}

std::vector<double> beepOffsets(const Marks& marks) {
    std::vector<double> offsets;
    for (double flash : marks.flashes) {
        double best = 1e9;
        for (double beep : marks.beeps)
            if (std::fabs(beep - flash) < std::fabs(best)) best = beep - flash;
        offsets.push_back(best);
    }
    return offsets;
}

} // namespace testsupport
