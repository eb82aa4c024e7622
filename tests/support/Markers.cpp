#include "Markers.h"

#include "TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int NumberBits = 10;
constexpr int White = 128; // a grey level above this is white (a flash, a bit set)

// Finds where beeps begin in mono 8 kHz samples: where 2.5 ms windows turn loud after a quiet
// stretch of at least 0.3 s. `start` is the first sample's time.
class BeepFinder {
  public:
    BeepFinder(std::vector<double>& beeps, double start) : beeps_(beeps), start_(start) {}
    void add(long v) {
        if (std::labs(v) > 4000) ++loud_;
        ++index_;
        if (++inWindow_ < Window) return;
        const bool beep = loud_ >= Window / 4;
        if (beep && quietWindows_ * Window >= 8000 * 3 / 10)
            beeps_.push_back(double(index_ - Window) / 8000.0 + start_);
        quietWindows_ = beep ? 0 : quietWindows_ + 1;
        inWindow_ = loud_ = 0;
    }

  private:
    static constexpr int Window = 20;
    std::vector<double>& beeps_;
    double start_;
    int inWindow_ = 0, loud_ = 0, quietWindows_ = 1000;
    long index_ = 0;
};

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
                        ":d=" + number(f.seconds) +
                        // Left to choose, the source makes 4:2:0 pictures, whose sides it
                        // rounds down to even numbers.
                        (f.width % 2 || f.height % 2 ? ",format=rgb24" : "") +
                        ",drawbox=c=white:t=fill:enable='" + flash + "'";
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
        if (!white && brightness > White) m.flashes.push_back(time - zero);
        white = brightness > White;
    }
    // Sound: mono at 8 kHz; a beep begins where 2.5 ms windows turn loud after a quiet stretch
    // of at least 0.3 s.
    const double soundStart = probed(path, "stream=start_time", "start_time", "a:0");
    const CommandResult pcm = run("ffmpeg -v error -i '" + path +
                                  "' -map 0:a:0 -ac 1 -ar 8000 -f s16le - | od -An -v -td2 -w2");
    std::istringstream samples(pcm.out);
    BeepFinder beeps(m.beeps, soundStart - zero);
    for (long v; samples >> v;)
        beeps.add(v);
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
    // One line a picture; ffprobe's CSV writer adds empty lines (a picture's side data, its
    // closing of sections), which stand for no picture.
    std::vector<std::string> timeLines;
    std::istringstream timeText(times.out);
    for (std::string line; std::getline(timeText, line);)
        if (line.find_first_not_of(", \r") != std::string::npos) timeLines.push_back(line);
    size_t nextTime = 0;
    std::istringstream greyLines(grey.out);
    std::string greyLine;
    while (std::getline(greyLines, greyLine)) {
        NumberedFrame frame;
        std::istringstream levels(greyLine);
        int bit = 0, number = 0;
        for (int level; levels >> level && bit < NumberBits; ++bit)
            if (level > White) number |= 1 << bit;
        if (bit != NumberBits) continue;
        frame.number = number;
        // A picture without a time (N/A) is taken to follow the one before by a frame.
        if (nextTime < timeLines.size()) {
            const std::string& line = timeLines[nextTime++];
            frame.time = line.rfind("N/A", 0) == 0
                             ? (frames.empty() ? 0 : frames.back().time + FrameGuess)
                             : std::atof(line.c_str()) - zero;
        }
        frames.push_back(frame);
    }
    return frames;
}

MarkedFile readMarkedFile(const std::string& path, const std::string& formatEntries,
                          const std::string& streamEntries) {
    MarkedFile file;
    // Streams, starts and lengths: one ffprobe, which reads the headers only.
    const CommandResult probe =
        run("ffprobe -v error -show_entries format=start_time" +
            (formatEntries.empty() ? "" : "," + formatEntries) +
            ":stream=index,codec_type,start_time,duration" +
            (streamEntries.empty() ? "" : "," + streamEntries) + " -of compact '" + path + "'");
    file.probed = probe.out;
    double zero = 0, soundStart = 0;
    int videoIndex = -1, audioIndex = -1;
    std::vector<double> times;
    std::istringstream lines(probe.out);
    auto field = [](const std::string& line, const std::string& key) -> std::string {
        const auto at = line.find("|" + key + "=");
        if (at == std::string::npos) return "";
        const auto from = at + key.size() + 2;
        return line.substr(from, line.find('|', from) - from);
    };
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("format|", 0) == 0) zero = std::atof(field(line, "start_time").c_str());
        if (line.rfind("stream|", 0) != 0) continue;
        const std::string type = field(line, "codec_type");
        const std::string duration = field(line, "duration");
        const double seconds =
            duration.empty() || duration == "N/A" ? -1 : std::atof(duration.c_str());
        if (type == "video" && videoIndex < 0) {
            videoIndex = std::atoi(field(line, "index").c_str());
            file.marks.videoSeconds = seconds;
        }
        if (type == "audio" && audioIndex < 0) {
            audioIndex = std::atoi(field(line, "index").c_str());
            file.marks.audioSeconds = seconds;
            soundStart = std::atof(field(line, "start_time").c_str());
        }
    }
    // One decoding of both streams: each picture's number band averaged to one grey level per
    // box beside the mean of the rest of the picture (eleven bytes a picture), and the sound as
    // mono at 8 kHz. Whatever ffmpeg says while decoding is kept.
    const std::string scratch = scratchDir("marked") + "/" + std::to_string(::getpid());
    std::string command = "ffmpeg -nostdin -v error -y -i '" + path + "'";
    if (videoIndex >= 0)
        command += " -filter_complex \"[0:v:0]split[a][b];[a]crop=iw:ih/8:0:0,scale=" +
                   std::to_string(NumberBits) +
                   ":1:flags=area,format=gray[band];[b]crop=iw:ih*7/8:0:ih/8,scale=1:1:flags="
                   "area,format=gray[rest];[band][rest]hstack=2,signalstats,metadata=mode=print:"
                   "key=lavfi.signalstats.YMIN:file='" +
                   scratch + ".t',format=gray[v]\" -map '[v]' -fps_mode passthrough -f rawvideo '" +
                   scratch + ".v'";
    if (audioIndex >= 0) command += " -map 0:a:0 -ac 1 -ar 8000 -f s16le '" + scratch + ".a'";
    const CommandResult decoded = run(command);
    file.decodeErrors = decoded.out + decoded.err;
    if (decoded.exitCode != 0 && file.decodeErrors.empty())
        file.decodeErrors = "ffmpeg ended with exit code " + std::to_string(decoded.exitCode);
    auto bytes = [](const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::remove(name.c_str());
        return data;
    };
    // Every picture's time, as the decoder gave it, on the file's own time line (ffmpeg counts
    // from the file's start), printed by the metadata filter.
    std::istringstream timeText(videoIndex >= 0 ? bytes(scratch + ".t") : "");
    for (std::string line; std::getline(timeText, line);) {
        const auto at = line.find("pts_time:");
        if (line.rfind("frame:", 0) != 0 || at == std::string::npos) continue;
        // Pictures come in the order they are shown: one whose time is not after the one
        // before is a stamp ffmpeg guessed wrong (it does so in an MPEG program stream whose
        // pictures do not all carry a time), and is taken to follow it by a frame.
        const double t = std::atof(line.c_str() + at + 9);
        times.push_back(!times.empty() && t <= times.back() ? times.back() + FrameGuess : t);
    }
    const std::string pictures = videoIndex >= 0 ? bytes(scratch + ".v") : "";
    bool white = false;
    for (size_t at = 0, n = 0; at + NumberBits + 1 <= pictures.size(); at += NumberBits + 1, ++n) {
        NumberedFrame frame;
        frame.number = 0;
        for (int bit = 0; bit < NumberBits; ++bit)
            if (uint8_t(pictures[at + bit]) > White) frame.number |= 1 << bit;
        frame.time = n < times.size() ? times[n] : 0;
        file.frames.push_back(frame);
        const bool flash = uint8_t(pictures[at + NumberBits]) > White;
        if (!white && flash) file.marks.flashes.push_back(frame.time);
        white = flash;
    }
    const std::string sound = audioIndex >= 0 ? bytes(scratch + ".a") : "";
    BeepFinder beeps(file.marks.beeps, soundStart - zero);
    file.soundSeconds = double(sound.size() / 2) / 8000.0;
    for (size_t at = 0; at + 2 <= sound.size(); at += 2) {
        int16_t v = 0;
        std::memcpy(&v, sound.data() + at, 2);
        beeps.add(v);
    }
    return file;
}

std::vector<int> numbersOf(const std::vector<NumberedFrame>& frames) {
    std::vector<int> numbers;
    for (const NumberedFrame& f : frames)
        numbers.push_back(f.number);
    return numbers;
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

std::string topDownCopy(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t vids = bytes.find("vids");
    const size_t strf = vids == std::string::npos ? vids : bytes.find("strf", vids);
    if (strf == std::string::npos) return "";
    int32_t height = 0;
    std::memcpy(&height, bytes.data() + strf + 16, 4);
    height = -height;
    std::memcpy(bytes.data() + strf + 16, &height, 4);
    std::ofstream(to, std::ios::binary) << bytes;
    return to;
}

} // namespace testsupport
