#include "Markers.h"

#include "TestSupport.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

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

} // namespace

std::string markerClip(const std::string& dir, const MarkerClipForm& f) {
    const double soundUntil = f.soundUntil > 0 ? f.soundUntil : f.seconds;
    // White for FlashSeconds at every whole second from 1 s; the sound's own clock starts at
    // soundFrom, so its expression is shifted to beep at the same instants.
    const std::string flash = "gte(t,1)*lt(mod(t,1)," + number(FlashSeconds) + ")";
    const std::string video = "color=c=black:s=" + std::to_string(f.width) + "x" +
                              std::to_string(f.height) + ":r=" + std::to_string(f.rate) +
                              ":d=" + number(f.seconds) + ",drawbox=c=white:t=fill:enable='" +
                              flash + "'";
    const std::string t = "(t+" + number(f.soundFrom) + ")";
    const std::string sound = "aevalsrc='0.5*sin(2*PI*1000*t)*gte(" + t + ",1)*lt(mod(" + t +
                              ",1)," + number(FlashSeconds) +
                              ")':s=44100:d=" + number(soundUntil - f.soundFrom);
    std::string args = "-f lavfi -i \"" + video + "\" ";
    if (f.soundFrom > 0) args += "-itsoffset " + number(f.soundFrom) + " ";
    args += "-f lavfi -i \"" + sound + "\" -map 0:v -map 1:a -ac 2 " + f.codecs;
    return sharedClip(dir, f.name, args);
}

Marks readMarks(const std::string& path) {
    Marks m;
    // The file's zero: the earliest start of its streams.
    const double zero = probed(path, "format=start_time", "start_time");
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
