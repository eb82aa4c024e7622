#include "Forms.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace testsupport;

namespace conformance {

namespace {

const std::string Dir = "conformance-forms";

// A clip of six seconds at 25 pictures a second, 320x240, unless changed afterwards.
MarkerClipForm clip(const std::string& name, const std::string& codecs) {
    MarkerClipForm c;
    c.name = name;
    c.codecs = codecs;
    c.seconds = 6;
    return c;
}

Form av(const std::string& id, const std::string& name, const std::string& codecs,
        std::vector<std::string> encoders, std::vector<std::string> fourCCs,
        const std::string& audioName = "") {
    Form f;
    f.id = id;
    f.clip = clip(name, codecs);
    f.encoders = std::move(encoders);
    f.fourCCs = std::move(fourCCs);
    f.audioName = audioName;
    f.avi = name.size() > 4 && name.substr(name.size() - 4) == ".avi";
    return f;
}

Form sound(const std::string& id, const std::string& name, const std::string& codecs,
           std::vector<std::string> encoders, const std::string& audioName = "") {
    Form f = av(id, name, "-vn " + codecs, std::move(encoders), {}, audioName);
    f.video = false;
    return f;
}

std::vector<Form> makeForms() {
    const std::string xvid = "-c:v mpeg4 -vtag XVID -q:v 3 -c:a libmp3lame";
    std::vector<Form> all = {
        av("mp4 h264/aac", "conf-h264.mp4", "-c:v libx264 -pix_fmt yuv420p -c:a aac",
           {"libx264", "aac"}, {"H264", "AVC1", "avc1"}),
        av("mkv vp9/opus", "conf-vp9.mkv", "-c:v libvpx-vp9 -c:a libopus",
           {"libvpx-vp9", "libopus"}, {"VP90"}),
        av("webm vp8/vorbis", "conf-vp8.webm", "-c:v libvpx -c:a libvorbis",
           {"libvpx", "libvorbis"}, {"VP80"}),
        // As a DVD's pictures are coded: groups of 12 with two B pictures, no group cut at a
        // scene change. Left to choose picture types at the flashes, ffmpeg's MPEG-2 encoder
        // writes a program stream whose stamps contradict its pictures' order (ffmpeg's own
        // reader puts two pictures at one time there), which no reader can follow.
        av("mpeg-ps mpeg2/mp2", "conf-dvd-mpeg2-ps.mpg",
           "-f vob -c:v mpeg2video -bf 2 -g 12 -sc_threshold 1000000000 -c:a mp2",
           {"mpeg2video", "mp2"}, {"MPG2", "MPEG"}, "MPEG"),
        av("mpeg-1 system", "conf-mpeg1.mpg", "-f mpeg -c:v mpeg1video -c:a mp2",
           {"mpeg1video", "mp2"}, {"MPG1", "MPEG"}, "MPEG"),
        av("ts h264/aac", "conf-h264.ts", "-c:v libx264 -pix_fmt yuv420p -c:a aac",
           {"libx264", "aac"}, {"H264"}),
        av("ts mpeg2/mp2", "conf-mpeg2.ts", "-c:v mpeg2video -c:a mp2", {"mpeg2video", "mp2"},
           {"MPG2"}, "MPEG"),
        av("asf wmv2/wma2", "conf-wmv2.wmv", "-c:v wmv2 -c:a wmav2", {"wmv2", "wmav2"}, {"WMV2"}),
        av("mov mjpeg/pcm", "conf-mjpeg.mov", "-c:v mjpeg -c:a pcm_s16le", {"mjpeg", "pcm_s16le"},
           {"MJPG", "jpeg"}, "PCM"),
        av("avi xvid/mp3", "conf-xvid.avi", xvid, {"mpeg4", "libmp3lame"}, {"XVID"}, "MPEGLAYER3"),
        av("avi mjpeg/pcm", "conf-mjpeg.avi", "-c:v mjpeg -c:a pcm_s16le", {"mjpeg", "pcm_s16le"},
           {"MJPG"}, "PCM"),
        av("avi bgr24", "conf-bgr24.avi", "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le",
           {"rawvideo", "pcm_s16le"}, {"RGB"}, "PCM"),
        // Made upside down: the top-down copy shows it the right way up.
        av("avi bgr24 top-down", "conf-bgr24-flipped.avi",
           "-vf vflip -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le", {"rawvideo", "pcm_s16le"},
           {"RGB"}, "PCM"),
        av("avi bgra", "conf-bgra.avi", "-c:v rawvideo -pix_fmt bgra -c:a pcm_s16le",
           {"rawvideo", "pcm_s16le"}, {"RGB"}, "PCM"),
        av("avi yuy2", "conf-yuy2.avi", "-c:v rawvideo -pix_fmt yuyv422 -c:a pcm_s16le",
           {"rawvideo", "pcm_s16le"}, {"YUY2"}, "PCM"),
        av("avi msvc", "conf-msvc.avi", "-c:v msvideo1 -c:a pcm_s16le", {"msvideo1", "pcm_s16le"},
           {"MSVC"}, "PCM"),
        av("avi cram", "conf-msvc.avi", "-c:v msvideo1 -c:a pcm_s16le", {"msvideo1", "pcm_s16le"},
           {"CRAM"}, "PCM"),
        av("sound ends 2 s early", "conf-short-sound.avi", xvid, {"mpeg4", "libmp3lame"}, {"XVID"},
           "MPEGLAYER3"),
        // MP4, whose sound stream may start later than its picture (an AVI's may not: ffmpeg
        // starts it with the picture, and the beeps half a second early).
        av("sound starts 0.5 s late", "conf-late-sound.mp4",
           "-c:v libx264 -pix_fmt yuv420p -c:a aac", {"libx264", "aac"}, {"H264", "AVC1", "avc1"}),
        av("321x241 bgr24", "conf-odd.avi", "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le",
           {"rawvideo", "pcm_s16le"}, {"RGB"}, "PCM"),
        sound("wav", "conf-sound.wav", "-c:a pcm_s16le", {"pcm_s16le"}, "PCM"),
        sound("mp3 cbr", "conf-cbr.mp3", "-c:a libmp3lame -b:a 128k", {"libmp3lame"}, "MPEGLAYER3"),
        sound("mp3 vbr", "conf-vbr.mp3", "-c:a libmp3lame -q:a 4", {"libmp3lame"}, "MPEGLAYER3"),
        sound("m4a aac", "conf-sound.m4a", "-c:a aac", {"aac"}),
        sound("flac", "conf-sound.flac", "-c:a flac", {"flac"}),
        sound("ogg vorbis", "conf-sound.ogg", "-c:a libvorbis", {"libvorbis"}),
    };
    for (Form& f : all) {
        if (f.id == "avi bgr24 top-down") f.copy = Copy::TopDown;
        if (f.id == "avi cram") f.copy = Copy::Cram;
        if (f.id == "sound ends 2 s early") f.clip.soundUntil = 4;
        if (f.id == "sound starts 0.5 s late") f.clip.soundFrom = 0.5;
        if (f.id == "321x241 bgr24") {
            f.clip.width = 321;
            f.clip.height = 241;
        }
    }
    return all;
}

const Form& byId(const std::string& id) {
    for (const Form& f : forms())
        if (f.id == id) return f;
    std::fprintf(stderr, "no form %s\n", id.c_str());
    std::abort();
}

// "stream|codec_name=h264|codec_type=video|..." into its section's name and fields.
std::map<std::string, std::string> compactFields(const std::string& line, std::string& section) {
    std::map<std::string, std::string> fields;
    std::istringstream parts(line);
    std::string part;
    std::getline(parts, section, '|');
    while (std::getline(parts, part, '|')) {
        const auto eq = part.find('=');
        if (eq != std::string::npos) fields[part.substr(0, eq)] = part.substr(eq + 1);
    }
    return fields;
}

double numberOr(const std::map<std::string, std::string>& f, const std::string& key, double none) {
    const auto it = f.find(key);
    if (it == f.end() || it->second.empty() || it->second == "N/A") return none;
    return std::atof(it->second.c_str());
}

} // namespace

const std::vector<Form>& forms() {
    static const std::vector<Form> all = makeForms();
    return all;
}

const Form& plainForm() {
    return byId("mp4 h264/aac");
}
const Form& shortSoundForm() {
    return byId("sound ends 2 s early");
}
const Form& wavSound() {
    return byId("wav");
}
const Form& mp3Sound() {
    return byId("mp3 cbr");
}

std::vector<std::string> missingEncoders(const Form& form) {
    static const std::string list = run("ffmpeg -hide_banner -encoders").out;
    std::vector<std::string> missing;
    for (const std::string& e : form.encoders)
        if (list.find(" " + e + " ") == std::string::npos) missing.push_back(e);
    return missing;
}

std::string makeForm(const Form& form) {
    const std::string made = markerClip(Dir, form.clip);
    if (made.empty() || form.copy == Copy::None) return made;
    if (form.copy == Copy::Cram)
        return sharedClip(Dir, "cram-" + form.clip.name,
                          "-i '" + made + "' -map 0 -c copy -vtag CRAM");
    const std::string path = scratchDir(Dir) + "/topdown-" + form.clip.name;
    if (fileExists(path)) return path;
    const std::string part = path + ".part" + std::to_string(::getpid()) + ".avi";
    if (topDownCopy(made, part).empty()) return {};
    std::filesystem::rename(part, path);
    return path;
}

namespace {
const std::string FormatEntries = "format_name,duration";
const std::string StreamEntries =
    "codec_name,codec_tag_string,width,height,r_frame_rate,sample_rate";

// Facts from ffprobe's compact answer about a file's format and streams.
Facts factsFrom(const std::string& probed) {
    Facts f;
    std::istringstream lines(probed);
    double zero = 0;
    std::vector<std::map<std::string, std::string>> streams;
    for (std::string line; std::getline(lines, line);) {
        std::string section;
        const auto fields = compactFields(line, section);
        if (section == "stream") streams.push_back(fields);
        if (section == "format") {
            zero = numberOr(fields, "start_time", 0);
            f.format = fields.count("format_name") ? fields.at("format_name") : "";
            f.formatSeconds = numberOr(fields, "duration", -1);
        }
    }
    for (const auto& s : streams) {
        const std::string type = s.count("codec_type") ? s.at("codec_type") : "";
        const std::string codec = s.count("codec_name") ? s.at("codec_name") : "";
        if (type == "video" && f.videoCodec.empty()) {
            f.videoCodec = codec;
            f.videoTag = s.count("codec_tag_string") ? s.at("codec_tag_string") : "";
            f.rate = s.count("r_frame_rate") ? s.at("r_frame_rate") : "";
            f.width = int(numberOr(s, "width", 0));
            f.height = int(numberOr(s, "height", 0));
            f.videoStart = numberOr(s, "start_time", zero) - zero;
            f.videoSeconds = numberOr(s, "duration", -1);
        } else if (type == "audio" && f.audioCodec.empty()) {
            f.audioCodec = codec;
            f.sampleRate = int(numberOr(s, "sample_rate", 0));
            f.audioStart = numberOr(s, "start_time", zero) - zero;
            f.audioSeconds = numberOr(s, "duration", -1);
        }
    }
    // Matroska keeps no stream lengths: a stream then lasts from its start to the file's end.
    if (!f.videoCodec.empty() && f.videoSeconds < 0)
        f.videoSeconds = f.formatSeconds - f.videoStart;
    if (!f.audioCodec.empty() && f.audioSeconds < 0)
        f.audioSeconds = f.formatSeconds - f.audioStart;
    return f;
}

} // namespace

Facts readFacts(const std::string& path) {
    MarkedFile marked = readMarkedFile(path, FormatEntries, StreamEntries);
    Facts f = factsFrom(marked.probed);
    f.frames = std::move(marked.frames);
    f.marks = std::move(marked.marks);
    f.decodeErrors = std::move(marked.decodeErrors);
    f.soundDecoded = marked.soundSeconds;
    return f;
}

void saveFacts(const Facts& f, const std::string& path) {
    std::ofstream out(path);
    out.precision(9);
    out << "codecs " << (f.videoCodec.empty() ? "-" : f.videoCodec) << " "
        << (f.videoTag.empty() ? "-" : f.videoTag) << " "
        << (f.audioCodec.empty() ? "-" : f.audioCodec) << " " << (f.rate.empty() ? "-" : f.rate)
        << " " << (f.format.empty() ? "-" : f.format) << "\n";
    out << "numbers " << f.width << " " << f.height << " " << f.sampleRate << " " << f.videoStart
        << " " << f.videoSeconds << " " << f.audioStart << " " << f.audioSeconds << " "
        << f.formatSeconds << " " << f.marks.videoSeconds << " " << f.marks.audioSeconds << " "
        << f.soundDecoded << "\n";
    std::string said = f.decodeErrors;
    std::replace(said.begin(), said.end(), '\n', '\x1e');
    if (!said.empty()) out << "decode " << said << "\n";
    for (const NumberedFrame& n : f.frames)
        out << "frame " << n.number << " " << n.time << "\n";
    for (double t : f.marks.flashes)
        out << "flash " << t << "\n";
    for (double t : f.marks.beeps)
        out << "beep " << t << "\n";
}

bool loadFacts(Facts& f, const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    f = Facts();
    auto dash = [](std::string s) { return s == "-" ? std::string() : s; };
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "codecs") {
            std::string v, t, a, r, m;
            words >> v >> t >> a >> r >> m;
            f.format = dash(m);
            f.rate = dash(r);
            f.videoCodec = dash(v);
            f.videoTag = dash(t);
            f.audioCodec = dash(a);
        } else if (key == "numbers") {
            words >> f.width >> f.height >> f.sampleRate >> f.videoStart >> f.videoSeconds >>
                f.audioStart >> f.audioSeconds >> f.formatSeconds >> f.marks.videoSeconds >>
                f.marks.audioSeconds >> f.soundDecoded;
        } else if (key == "decode") {
            f.decodeErrors = line.substr(7);
            std::replace(f.decodeErrors.begin(), f.decodeErrors.end(), '\x1e', '\n');
        } else if (key == "frame") {
            NumberedFrame n;
            words >> n.number >> n.time;
            f.frames.push_back(n);
        } else if (key == "flash") {
            double t = 0;
            words >> t;
            f.marks.flashes.push_back(t);
        } else if (key == "beep") {
            double t = 0;
            words >> t;
            f.marks.beeps.push_back(t);
        }
    }
    return true;
}

} // namespace conformance
