#include "Jobs.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <regex>

using namespace testsupport;

namespace conformance {

namespace {

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// How long the form's picture was made (a form without one: its sound), and where its sound
// ends, on the file's own time line.
double lengthOf(const Form& f) {
    return f.clip.seconds;
}
// How long a made file's picture lasts on its own time line: the form's length, or longer
// where the writer laid its pictures over more slots (ffmpeg's MPEG-4 in AVI leaves the second
// slot empty and shows the last picture one slot later). The next file of a link starts there.
double pictureLengthOf(const Form& f, const Facts& made) {
    double end = lengthOf(f);
    if (f.video && !made.frames.empty())
        end = std::max(end, made.frames.back().time + 1.0 / f.clip.rate);
    return end;
}
double soundEndOf(const Form& f) {
    return f.clip.soundUntil > 0 ? f.clip.soundUntil : f.clip.seconds;
}

// How much longer an output's sound may last than its content: an MP3 stream's last frame.
double soundSlack(const Facts& out) {
    return out.audioCodec == "mp3" ? Mp3Frame : 0;
}

// Where an output's sound ends, the MP3 encoder's delay (which stretches it) taken off.
double soundEnd(const Facts& out) {
    if (out.audioCodec.empty()) return -1;
    return out.audioEnd() - (out.audioCodec == "mp3" && out.format != "mp3" ? Mp3Delay : 0);
}

std::vector<int> countUp(int from, int count) {
    std::vector<int> v(size_t(std::max(count, 0)));
    std::iota(v.begin(), v.end(), from);
    return v;
}

// The source frame numbers a form's whole picture holds: 0, 1, 2 ... (a form without a
// picture gives black pictures, which read as 0).
std::vector<int> wholePicture(const Form& f) {
    const int n = int(std::lround(lengthOf(f) * f.clip.rate));
    return f.video ? countUp(0, n) : std::vector<int>(size_t(n), 0);
}

// The frames a copy at 25 pictures a second of a form's whole picture shows: frame N for N =
// 0, 1, 2 ..., or the source's own time line cut into 25ths of a second from its zero, each
// showing the frame on show at its start or the last frame begun within it (where the picture
// starts late, or a frame stays on show longer, a frame is held). A form without a picture
// gives black for as long as its sound, which may end within a frame's time.
std::vector<std::vector<int>> wholePictures(const Form& f, const Facts& src) {
    const std::vector<int> nominal = wholePicture(f);
    if (!f.video) return {nominal, std::vector<int>(nominal.size() + 1, 0)};
    if (src.frames.empty()) return {nominal};
    std::vector<int> atStart, begun;
    const double end = src.frames.back().time + FrameSeconds;
    const int n = int(std::ceil(end / FrameSeconds - 0.01));
    for (int k = 0; k < n; ++k) {
        atStart.push_back(timedFrameAt(src, k * FrameSeconds));
        begun.push_back(timedFrameAt(src, (k + 1) * FrameSeconds - 0.001));
    }
    return {nominal, atStart, begun};
}

// The lengths of those readings.
std::vector<double> lengthsOf(const std::vector<std::vector<int>>& readings) {
    std::vector<double> lengths;
    for (const auto& r : readings)
        lengths.push_back(double(r.size()) * FrameSeconds);
    return lengths;
}

// An output written by a job: it decodes, and what it holds is read back.
bool readOutput(Cell& cell, const std::string& what, const std::string& path, Facts& out) {
    if (!fileExists(path)) {
        cell.fail(what + " missing", what + ": " + path + " was not written");
        return false;
    }
    out = readFacts(path);
    checkDecodes(cell, what, path, out);
    return true;
}

// The stretch [from, to) of the form: the cut jobs.
void cutJob(const Context& c, Cell& cell, double from, double to) {
    const Form& f = *c.form;
    const Facts& src = c.source->facts;
    const std::string out = c.dir + "/cut.avi";
    CommandResult r;
    if (!runJob(cell, "cut",
                "cut " + quoted(c.source->path) + " --from " + seconds(from) + " --to " +
                    seconds(to) + " " + quoted(out),
                &r))
        return;
    Facts o;
    if (!readOutput(cell, "cut", out, o)) return;
    checkXvidMp3(cell, "cut", o, f.video, f.audio, src.width, src.height);
    const double end = std::min(to, lengthOf(f));
    if (f.video) {
        const std::vector<int> nominal = nominalFrames(src, from, to),
                               timed = timedFrames(src, from, to);
        const std::vector<int> got = numbersOf(o.frames);
        checkFrames(cell, "cut", got, {nominal, timed});
        checkLength(cell, "picture", o.videoSeconds,
                    {nominal.size() * FrameSeconds, timed.size() * FrameSeconds});
        const std::string said = summaryValue(r.out, "frames");
        if (said != std::to_string(got.size()))
            cell.fail("says frames=" + said, "cut says frames=" + said + ", the file holds " +
                                                 std::to_string(got.size()) + " pictures");
    }
    if (f.audio) {
        const double soundTo = std::min(end, soundEndOf(f)) - from;
        checkLength(cell, "sound end", soundEnd(o), {soundTo, end - from}, soundSlack(o));
    }
    // The cut starts with the first picture that starts in the stretch, its sound with it:
    // the marks lie where they lay after that picture's start.
    double start = from;
    if (f.video)
        for (const testsupport::NumberedFrame& frame : src.frames)
            if (frame.time >= from - 0.001) {
                start = frame.time;
                break;
            }
    checkMarks(cell, "cut", o, {Segment{&src, start, to, 0}});
}

// `first` then `second` through link.
void linkJob(const Context& c, Cell& cell, const Form& first, const Form& second) {
    const Made& a = &first == c.form ? *c.source : c.other(first);
    const Made& b = &second == c.form ? *c.source : c.other(second);
    const std::string out = c.dir + "/link.avi";
    if (!runJob(cell, "link", "link " + quoted(a.path) + " " + quoted(b.path) + " " + quoted(out)))
        return;
    Facts o;
    if (!readOutput(cell, "link", out, o)) return;
    const bool video = first.video || second.video, audio = first.audio || second.audio;
    const Facts& sized = first.video ? a.facts : b.facts;
    checkXvidMp3(cell, "link", o, video, audio, sized.width, sized.height);
    const double one = pictureLengthOf(first, a.facts), two = lengthOf(second);
    if (video) {
        std::vector<std::vector<int>> want;
        for (const std::vector<int>& x : wholePictures(first, a.facts))
            for (const std::vector<int>& y : wholePictures(second, b.facts)) {
                want.push_back(x);
                want.back().insert(want.back().end(), y.begin(), y.end());
            }
        checkFrames(cell, "link", numbersOf(o.frames), want);
        checkLength(cell, "picture", o.videoSeconds, lengthsOf(want));
    }
    if (audio) {
        // The sound ends with the second file's, or where its picture ends (silence fills a
        // sound that ends first).
        const double end = second.audio ? one + soundEndOf(second) : soundEndOf(first);
        checkLength(cell, "sound end", soundEnd(o),
                    {end, one + two, one + pictureLengthOf(second, b.facts)}, soundSlack(o));
    }
    checkMarks(cell, "link", o, {Segment{&a.facts, 0, one, 0}, Segment{&b.facts, 0, two, one}});
}

// The form's picture with a sound file's sound through merge.
void mergeJob(const Context& c, Cell& cell, const Form& soundForm) {
    const Made& s = c.other(soundForm);
    const Facts& src = c.source->facts;
    const std::string out = c.dir + "/merge.avi";
    if (!runJob(cell, "merge",
                "merge " + quoted(out) + " --audio " + quoted(s.path) + " --video " +
                    quoted(c.source->path)))
        return;
    Facts o;
    if (!readOutput(cell, "merge", out, o)) return;
    // The picture goes in as it is; the sound as MP3 as it is, or as PCM.
    if (o.videoCodec != src.videoCodec || o.videoTag != src.videoTag)
        cell.fail("picture " + o.videoCodec + "/" + o.videoTag,
                  "merge: picture is " + o.videoCodec + " tagged " + o.videoTag +
                      ", the source's " + src.videoCodec + " tagged " + src.videoTag);
    const std::string sound = s.facts.audioCodec == "mp3" ? "mp3" : "pcm_s16le";
    if (o.audioCodec != sound)
        cell.fail("sound " + o.audioCodec,
                  "merge: sound is " + o.audioCodec + ", expected " + sound);
    const auto pictures = wholePictures(*c.form, src);
    checkFrames(cell, "merge", numbersOf(o.frames), pictures);
    checkLength(cell, "picture", o.videoSeconds, lengthsOf(pictures));
    checkLength(cell, "sound end", soundEnd(o), {soundEndOf(soundForm)}, soundSlack(o));
    Segment picture{&src}, beeps{&s.facts};
    picture.sound = false;
    beeps.pictures = false;
    checkMarks(cell, "merge", o, {picture, beeps});
}

void splitJob(const Context& c, Cell& cell) {
    const Form& f = *c.form;
    const Facts& src = c.source->facts;
    const std::string a = c.dir + "/sound.avi", v = c.dir + "/picture.avi";
    if (!runJob(cell, "split",
                "split " + quoted(c.source->path) + " --audio-out " + quoted(a) + " --video-out " +
                    quoted(v)))
        return;
    Facts sound, picture;
    if (readOutput(cell, "sound file", a, sound)) {
        checkXvidMp3(cell, "sound file", sound, false, true);
        checkLength(cell, "sound end", soundEnd(sound), {soundEndOf(f), lengthOf(f)},
                    soundSlack(sound));
        Segment s{&src};
        s.pictures = false;
        checkMarks(cell, "sound file", sound, {s});
    }
    if (readOutput(cell, "picture file", v, picture)) {
        checkXvidMp3(cell, "picture file", picture, true, false, src.width, src.height);
        const auto pictures = wholePictures(f, src);
        checkFrames(cell, "picture file", numbersOf(picture.frames), pictures);
        checkLength(cell, "picture", picture.videoSeconds, lengthsOf(pictures));
        Segment p{&src};
        p.sound = false;
        checkMarks(cell, "picture file", picture, {p});
    }
}

// The picture at 2.0 s and at 3.3 s, through snapshot (as BMP and JPEG) or grab-frame.
void pictureJob(const Context& c, Cell& cell, bool grab) {
    const Facts& src = c.source->facts;
    const std::vector<std::pair<double, std::string>> moments = {{2.0, "bmp"},
                                                                 {3.3, grab ? "bmp" : "jpg"}};
    for (const auto& [at, kind] : moments) {
        const std::string out = c.dir + "/at" + seconds(at) + "." + kind;
        const std::string what = (grab ? "grab at " : "snapshot at ") + seconds(at);
        CommandResult r;
        const std::string job = grab ? "grab-frame " : "snapshot ";
        if (!runJob(cell, what,
                    job + quoted(c.source->path) + " " + quoted(out) + " --at " + seconds(at), &r))
            continue;
        if (!fileExists(out)) {
            cell.fail(what + " missing", what + ": " + out + " was not written");
            continue;
        }
        const Facts o = readFacts(out);
        checkDecodes(cell, what, out, o);
        const std::vector<int> got = numbersOf(o.frames);
        if (o.width != src.width || o.height != src.height)
            cell.fail("size " + std::to_string(o.width) + "x" + std::to_string(o.height),
                      what + ": picture is " + std::to_string(o.width) + "x" +
                          std::to_string(o.height) + ", the source " + std::to_string(src.width) +
                          "x" + std::to_string(src.height));
        checkFrames(cell, what, got, {{nominalFrameAt(src, at)}, {timedFrameAt(src, at)}});
    }
}

// "Key": "value" of the one-line JSON object `info --json` prints.
std::string jsonField(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\": \"([^\"]*)\""))) return "<none>";
    return m[1].str();
}

std::string mmss(int s) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", s / 60, s % 60);
    return text;
}

void infoJob(const Context& c, Cell& cell) {
    const Form& f = *c.form;
    const Facts& src = c.source->facts;
    CommandResult r;
    if (!runJob(cell, "info", "info --json " + quoted(c.source->path), &r)) return;
    auto expect = [&](const std::string& key, const std::vector<std::string>& allowed) {
        const std::string got = jsonField(r.out, key);
        if (std::find(allowed.begin(), allowed.end(), got) != allowed.end()) return;
        std::string wanted;
        for (const std::string& a : allowed)
            wanted += (wanted.empty() ? "" : " or ") + ("\"" + a + "\"");
        cell.fail(key + " " + got, "info: " + key + " is \"" + got + "\", expected " + wanted);
    };
    // Whole seconds: the length cut down, or rounded, within a frame of ffprobe's.
    const double d = src.formatSeconds;
    expect("Duration", {mmss(int(std::floor(d + Tolerance))), mmss(int(std::lround(d)))});
    if (f.video) {
        expect("VideoFourCC", f.fourCCs);
        expect("VideoWidth", {std::to_string(src.width)});
        expect("VideoHeight", {std::to_string(src.height)});
    } else {
        expect("VideoFourCC", {""});
    }
    if (!f.audioName.empty()) expect("AudioFormatName", {f.audioName});
    expect("AudioSampleRate", {std::to_string(src.sampleRate)});
    expect("AudioChannels", {"2"});
}

void playJob(const Context& c, Cell& cell) {
    CommandResult r;
    if (!runJob(cell, "play", "play --fast " + quoted(c.source->path), &r)) return;
    const std::string last =
        r.out.substr(r.out.rfind("complete=") == std::string::npos ? 0 : r.out.rfind("complete="));
    if (summaryValue(last, "complete") != "1") cell.fail("not complete", "play: " + last);
    // The player turns every warning of its graph (a sink dropping late pictures on a busy
    // machine) into this event: worth a note, not a failure.
    std::smatch m;
    if (std::regex_search(r.out, m, std::regex("EC_(STREAM_ERROR|ERRORABORT)[^\n]*")))
        cell.note("play: the player logged " + m[0].str());
    // At the fast rate (1.5) the file plays in two thirds of its length after its first
    // picture. The wall clock of a machine busy with other jobs may run up to 0.75 s longer;
    // a play at the normal rate (the whole length) still fails.
    const double wall = std::atof(summaryValue(last, "seconds").c_str()) -
                        std::atof(summaryValue(last, "first_frame_ms").c_str()) / 1000;
    const double want = c.source->facts.formatSeconds / 1.5;
    if (wall < want - 0.25 || wall > want + 0.75)
        cell.fail("played " + seconds(wall) + " s", "play: played for " + seconds(wall) +
                                                        " s after its first picture, expected " +
                                                        seconds(want) + " s (" + last + ")");
}

void convertJob(const Context& c, Cell& cell) {
    const Form& f = *c.form;
    const Facts& src = c.source->facts;
    const std::string out = c.dir + "/convert.avi";
    if (!runJob(cell, "convert", "convert " + quoted(c.source->path) + " " + quoted(out))) return;
    Facts o;
    if (!readOutput(cell, "convert", out, o)) return;
    checkXvidMp3(cell, "convert", o, f.video, f.audio, src.width, src.height);
    if (f.video) {
        const auto pictures = wholePictures(f, src);
        checkFrames(cell, "convert", numbersOf(o.frames), pictures);
        checkLength(cell, "picture", o.videoSeconds, lengthsOf(pictures));
    }
    if (f.audio)
        checkLength(cell, "sound end", soundEnd(o), {soundEndOf(f), lengthOf(f)}, soundSlack(o));
    checkMarks(cell, "convert", o, {Segment{&src}});
}

std::string needsPicture(const Form& f) {
    return f.video ? "" : "no picture";
}
// merge copies MPEG-4, Motion JPEG, H.264 and uncompressed RGB pictures of an AVI as they
// are; split takes an AVI's picture and sound.
std::string mergeable(const Form& f) {
    if (!f.avi || !f.video) return "not a picture AVI";
    for (const char* c :
         {"-c:v mpeg4", "-c:v mjpeg", "-c:v libx264", "-pix_fmt bgr24", "-pix_fmt bgra"})
        if (f.clip.codecs.find(c) != std::string::npos) return "";
    return "merge copies MPEG-4, Motion JPEG, H.264 and RGB only";
}
std::string splittable(const Form& f) {
    return f.avi && f.video && f.audio ? "" : "not an AVI with picture and sound";
}

std::vector<Job> makeJobs() {
    auto always = [](const Form&) { return std::string(); };
    auto cut = [](double from, double to) {
        return [from, to](const Context& c, Cell& cell) { cutJob(c, cell, from, to); };
    };
    std::vector<Job> all = {
        {"source",
         always,
         [](const Context& c, Cell& cell) { checkSource(*c.form, *c.source, cell); },
         {}},
        {"info", always, infoJob, {}},
        {"play", always, playJob, {}},
        {"convert", always, convertJob, {}},
        {"cut 2-5", always, cut(2, 5), {}},
        {"cut 2.02-3.5", always, cut(2.02, 3.5), {}},
        {"cut 2-2.04", needsPicture, cut(2, 2.04), {}},
        {"cut 1.3-1.9", always, cut(1.3, 1.9), {}},
        {"link mp4+X",
         always,
         [](const Context& c, Cell& cell) { linkJob(c, cell, plainForm(), *c.form); },
         {&plainForm()}},
        {"link X+mp4",
         always,
         [](const Context& c, Cell& cell) { linkJob(c, cell, *c.form, plainForm()); },
         {&plainForm()}},
        {"link short+X",
         always,
         [](const Context& c, Cell& cell) { linkJob(c, cell, shortSoundForm(), *c.form); },
         {&shortSoundForm()}},
        {"merge wav",
         mergeable,
         [](const Context& c, Cell& cell) { mergeJob(c, cell, wavSound()); },
         {&wavSound()}},
        {"merge mp3",
         mergeable,
         [](const Context& c, Cell& cell) { mergeJob(c, cell, mp3Sound()); },
         {&mp3Sound()}},
        {"split", splittable, splitJob, {}},
        {"snapshot",
         needsPicture,
         [](const Context& c, Cell& cell) { pictureJob(c, cell, false); },
         {}},
        {"grab-frame",
         needsPicture,
         [](const Context& c, Cell& cell) { pictureJob(c, cell, true); },
         {}},
    };
    return all;
}

} // namespace

const std::vector<Job>& jobs() {
    static const std::vector<Job> all = makeJobs();
    return all;
}

namespace {
// The made clip against the way it was made.
void checkMadeClip(const Form& form, const Made& made, Cell& cell);
} // namespace

void checkSource(const Form& form, const Made& made, Cell& cell) {
    checkMadeClip(form, made, cell);
    // Numbers that do not read back are the matrix's own fault; anything else is how ffmpeg
    // wrote and reads back the form, which the program's outputs are measured against: shown,
    // but no failure of the program.
    if (!cell.failed()) return;
    for (const std::string& r : cell.reasons)
        if (r.rfind("frames", 0) == 0 || r.find("decode") != std::string::npos) return;
    cell.state = Cell::Outside;
    for (std::string& r : cell.reasons)
        r = "ffmpeg: " + r;
}

namespace {

void checkMadeClip(const Form& form, const Made& made, Cell& cell) {
    const Facts& f = made.facts;
    checkDecodes(cell, "source", made.path, f);
    // Where the picture starts on the file's time line (after the sound, where an encoder's
    // priming samples are kept): the whole clip lies that much later.
    const double shift = form.video && !f.frames.empty() ? f.frames.front().time : 0;
    if (std::fabs(shift) > 0.001)
        cell.note("source: its first picture is at " + seconds(shift) +
                  " s on the file's time line (its sound starts first)");
    if (form.video) {
        checkFrames(cell, "source", numbersOf(f.frames), {wholePicture(form)});
        // Pictures times a frame each: ffprobe guesses the picture stream's length of an MPEG
        // program stream from its timestamps, a frame or two short.
        checkLength(cell, "picture", f.frames.size() * FrameSeconds, {lengthOf(form)});
    }
    if (form.audio)
        // The sound as decoded (ffprobe guesses the length of AAC in MPEG-TS short).
        checkLength(cell, "sound end", f.audioStart + f.soundDecoded, {soundEndOf(form) + shift},
                    soundSlack(f));
    // The clip as it was made: a flash at every whole second, a beep at every whole second the
    // sound covers, both in step with the picture's start.
    Facts made_;
    for (int s = 1; s < lengthOf(form); ++s) {
        if (form.video) made_.marks.flashes.push_back(s + shift);
        if (form.audio && s >= form.clip.soundFrom && s < soundEndOf(form))
            made_.marks.beeps.push_back(s + shift);
    }
    checkMarks(cell, "source", f, {Segment{&made_}});
}
} // namespace

} // namespace conformance
