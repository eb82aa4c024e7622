#include "Checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

using namespace testsupport;

namespace conformance {

namespace {

// The moments of a segment's marks on the output's time line; marks that fall in the last
// 0.05 s of a stretch are left out (their flash or beep may be cut short to nothing).
std::vector<double> placed(const std::vector<double>& marks, const Segment& s) {
    std::vector<double> out;
    for (double t : marks)
        if (t >= s.from - 1e-6 && t < s.to - 0.05) out.push_back(t - s.from + s.at);
    return out;
}

double nearest(const std::vector<double>& marks, double t) {
    double best = Forever;
    for (double m : marks)
        if (std::fabs(m - t) < std::fabs(best)) best = m - t;
    return best;
}

std::string lastLine(const std::string& text) {
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        // Progress lines ("converting 71%") are not what went wrong.
        const auto cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (!line.empty() && line.find('%') == std::string::npos) last = line;
    }
    return last;
}

} // namespace

void Cell::fail(const std::string& reason, const std::string& detail) {
    state = Fail;
    reasons.push_back(reason);
    details.push_back(detail.empty() ? reason : detail);
}

std::string Cell::text() const {
    switch (state) {
    case Pass:
        return "pass";
    case NotApplicable:
        return "n/a";
    case Outside:
        return reasons.empty() ? "not run" : reasons.front();
    case Fail:
        break;
    }
    std::string t = reasons.empty() ? "fail" : reasons.front();
    if (reasons.size() > 1) t += " (+" + std::to_string(reasons.size() - 1) + ")";
    return t;
}

std::string seconds(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

std::string milliseconds(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.0f ms", v * 1000);
    return text;
}

bool runJob(Cell& cell, const std::string& what, const std::string& args, CommandResult* result) {
    const CommandResult r = run("timeout -s KILL 60 " + std::string(TOVAMIX_CLI_PATH) + " " + args);
    if (result) *result = r;
    if (r.exitCode == 137) {
        cell.fail("hung", what + ": still running after 60 s (killed): tovamix-cli " + args);
        return false;
    }
    if (r.exitCode != 0) {
        const std::string said = lastLine(r.err);
        cell.fail("exit " + std::to_string(r.exitCode) + ": " + said.substr(0, 60),
                  what + ": exit code " + std::to_string(r.exitCode) + ": " + said +
                      "\n      tovamix-cli " + args);
        return false;
    }
    return true;
}

void checkDecodes(Cell& cell, const std::string& what, const std::string& path,
                  const Facts& facts) {
    // ffmpeg's own muxer may complain about the timestamps it made up for a picture stream
    // that carries few (MPEG program streams): that is no decoding error.
    std::istringstream lines(facts.decodeErrors);
    std::string said;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.find("to muxer") == std::string::npos) said += line + "\n";
    if (!said.empty())
        cell.fail(what + " decode errors",
                  what + ": ffmpeg decoding " + path + " says: " + said.substr(0, said.find('\n')));
}

void checkXvidMp3(Cell& cell, const std::string& what, const Facts& out, bool video, bool audio,
                  int width, int height) {
    if (video) {
        if (out.videoCodec != "mpeg4" || out.videoTag != "XVID")
            cell.fail(what + " picture " + out.videoCodec + "/" + out.videoTag,
                      what + ": picture is " + out.videoCodec + " tagged " + out.videoTag +
                          ", expected mpeg4 tagged XVID");
        if (out.rate != "25/1")
            cell.fail(what + " rate " + out.rate,
                      what + ": frame rate " + out.rate + ", expected 25/1");
        // libxvidcore codes even sides only: an odd column or row is cropped.
        width &= ~1;
        height &= ~1;
        if (width > 0 && (out.width != width || out.height != height))
            cell.fail(what + " size " + std::to_string(out.width) + "x" +
                          std::to_string(out.height),
                      what + ": picture is " + std::to_string(out.width) + "x" +
                          std::to_string(out.height) + ", expected " + std::to_string(width) + "x" +
                          std::to_string(height));
    } else if (!out.videoCodec.empty()) {
        cell.fail(what + " has a picture",
                  what + ": holds a " + out.videoCodec + " picture stream");
    }
    if (audio && out.audioCodec != "mp3")
        cell.fail(what + " sound " + (out.audioCodec.empty() ? "missing" : out.audioCodec),
                  what + ": sound is " + (out.audioCodec.empty() ? "missing" : out.audioCodec) +
                      ", expected mp3");
    if (!audio && !out.audioCodec.empty())
        cell.fail(what + " has sound", what + ": holds a " + out.audioCodec + " sound stream");
}

std::vector<int> nominalFrames(const Facts& source, double from, double to) {
    std::vector<int> numbers;
    const int total = int(source.frames.size());
    for (int n = 0; n < total; ++n)
        if (n * FrameSeconds >= from - 1e-6 && n * FrameSeconds < to - 1e-6) numbers.push_back(n);
    return numbers;
}

std::vector<int> timedFrames(const Facts& source, double from, double to) {
    std::vector<int> numbers;
    for (const NumberedFrame& f : source.frames)
        if (f.time >= from - 1e-6 && f.time < to - 1e-6) numbers.push_back(f.number);
    return numbers;
}

int nominalFrameAt(const Facts& source, double at) {
    const int n = int(std::floor(at / FrameSeconds + 1e-6));
    return std::min(n, int(source.frames.size()) - 1);
}

int timedFrameAt(const Facts& source, double at) {
    int shown = source.frames.empty() ? -1 : source.frames.front().number;
    for (const NumberedFrame& f : source.frames)
        if (f.time <= at + 1e-6) shown = f.number;
    return shown;
}

std::string runsText(const std::vector<int>& n) {
    if (n.empty()) return "none";
    std::string text;
    for (size_t i = 0; i < n.size();) {
        size_t j = i + 1;
        std::string part;
        if (j < n.size() && n[j] == n[i]) {
            while (j < n.size() && n[j] == n[i])
                ++j;
            part = std::to_string(n[i]) + "x" + std::to_string(j - i);
        } else {
            while (j < n.size() && n[j] == n[j - 1] + 1 && (j + 1 >= n.size() || n[j + 1] != n[j]))
                ++j;
            part = j - i >= 3 ? std::to_string(n[i]) + ".." + std::to_string(n[j - 1])
                              : std::to_string(n[i]);
            if (j - i == 2) j = i + 1;
        }
        text += (text.empty() ? "" : ",") + part;
        i = j;
    }
    return text;
}

std::string framesDiagnosis(const std::vector<int>& got, const std::vector<int>& want) {
    if (got.empty() || want.empty()) return "";
    auto frames = [](size_t n) {
        return std::to_string(n) + (n == 1 ? " frame" : " frames") + " (" +
               seconds(double(n) * FrameSeconds) + " s)";
    };
    size_t repeats = 1;
    while (repeats < got.size() && got[repeats] == got[0])
        ++repeats;
    if (repeats > 1 && got[0] <= want[0] + 1)
        return "the first picture is shown " + std::to_string(repeats) +
               " times: the picture starts " + frames(repeats - 1) +
               " late (a start offset kept, or the sound's earlier start taken for the picture's)";
    if (got.size() == want.size()) {
        const int shift = got[0] - want[0];
        bool shifted = true;
        for (size_t i = 0; i < got.size(); ++i)
            shifted = shifted && got[i] - want[i] == shift;
        if (shifted)
            return "every picture is the one " + frames(size_t(std::abs(shift))) +
                   (shift < 0 ? " earlier" : " later") + " than asked: the stretch starts at " +
                   std::to_string(got[0]) + " instead of " + std::to_string(want[0]);
    }
    if (got.size() == 1)
        return "the picture at that moment is frame " + std::to_string(got[0]) + ", " +
               frames(size_t(std::abs(got[0] - want[0]))) + (got[0] < want[0] ? " early" : " late");
    size_t tail = 1;
    while (tail < got.size() && got[got.size() - 1 - tail] == got.back())
        ++tail;
    if (tail > 1 && got.size() > want.size())
        return "the last picture is repeated: " + std::to_string(got.size() - want.size()) +
               " picture(s) too many at the end";
    if (got.size() > want.size() && got[0] != want[0])
        return "the stretch starts at frame " + std::to_string(got[0]) + ", " +
               frames(size_t(std::abs(got[0] - want[0]))) + (got[0] < want[0] ? " early" : " late");
    if (got.size() < want.size())
        return std::to_string(want.size() - got.size()) + " picture(s) missing";
    return "";
}

void checkFrames(Cell& cell, const std::string& what, const std::vector<int>& got,
                 const std::vector<std::vector<int>>& expected) {
    for (const std::vector<int>& e : expected)
        if (got == e) return;
    const std::vector<int>& nominal = expected.front();
    std::string detail = what + ": frames " + runsText(got) + ", expected " + runsText(nominal);
    for (size_t i = 1; i < expected.size(); ++i)
        if (std::find(expected.begin(), expected.begin() + long(i), expected[i]) ==
            expected.begin() + long(i))
            detail += " (or " + runsText(expected[i]) + " by the source's timestamps)";
    for (size_t i = 0; i < std::max(got.size(), nominal.size()); ++i) {
        const int g = i < got.size() ? got[i] : -1, e = i < nominal.size() ? nominal[i] : -1;
        if (g != e) {
            detail += "; first wrong at picture " + std::to_string(i) + ": " +
                      (g < 0 ? "missing" : std::to_string(g)) + " for " +
                      (e < 0 ? "nothing" : std::to_string(e));
            break;
        }
    }
    const std::string why = framesDiagnosis(got, nominal);
    if (!why.empty()) detail += "\n      diagnosis: " + why;
    cell.fail("frames " + runsText(got), detail);
}

void checkLength(Cell& cell, const std::string& what, double got,
                 const std::vector<double>& expected, double longer) {
    std::string wanted;
    for (double e : expected) {
        if (got >= e - Tolerance - 1e-6 && got <= e + Tolerance + longer + 1e-6) return;
        const std::string text = seconds(e);
        if (wanted.find(text) == std::string::npos) wanted += (wanted.empty() ? "" : " or ") + text;
    }
    cell.fail(what + " " + (got < 0 ? std::string("missing") : seconds(got) + " s"),
              what + " lasts " + (got < 0 ? std::string("(none)") : seconds(got) + " s") +
                  ", expected " + wanted + " s");
}

std::vector<double> soundMarks(const Facts& facts) {
    std::vector<double> beeps = facts.marks.beeps;
    // An MP3 file of its own carries the encoder's delay in its header and ffmpeg takes it
    // off; MP3 in another container keeps it.
    if (facts.audioCodec == "mp3" && facts.format != "mp3")
        for (double& b : beeps)
            b -= Mp3Delay;
    return beeps;
}

namespace {
std::string delayNote(const Facts& out) {
    return out.audioCodec == "mp3" && out.format != "mp3" ? " (MP3's delay taken off)" : "";
}
} // namespace

void checkMarks(Cell& cell, const std::string& what, const Facts& out,
                const std::vector<Segment>& segments) {
    // Offsets are measured to the 2.5 ms of the sound's windows: a limit of 40 ms holds 40.
    const double limit = Tolerance + 0.001;
    const std::vector<double> beeps = soundMarks(out);
    std::vector<double> wantFlashes, wantBeeps;
    for (const Segment& s : segments) {
        const Facts& source = *s.source;
        if (s.pictures)
            for (double t : placed(source.marks.flashes, s))
                wantFlashes.push_back(t);
        if (!s.sound) continue;
        if (source.marks.flashes.empty()) {
            for (double t : placed(soundMarks(source), s))
                wantBeeps.push_back(t);
            continue;
        }
        // Every clip was made with its beeps at its flashes: a beep belongs at each flash the
        // source has a beep near, however far off the source's own reading puts it (ffmpeg
        // reads its own ASF files with the sound 94 ms early).
        for (double t : source.marks.flashes)
            if (std::fabs(nearest(soundMarks(source), t)) < 0.2)
                for (double p : placed({t}, s))
                    wantBeeps.push_back(p);
    }
    // Every flash of the output with its beep within 40 ms, where a beep belongs.
    for (double f : out.marks.flashes) {
        if (std::fabs(nearest(wantBeeps, f)) > 0.2) continue;
        const double off = nearest(beeps, f);
        if (std::isinf(off) || std::fabs(off) > limit) {
            cell.fail(
                std::isinf(off) ? "no beep" : "beep " + milliseconds(off),
                what + ": the flash at " + seconds(f) + " s has " +
                    (std::isinf(off) ? "no beep" : "its beep " + milliseconds(off) + " after it") +
                    delayNote(out));
            break;
        }
    }
    for (double w : wantFlashes) {
        const double off = nearest(out.marks.flashes, w);
        if (std::fabs(off) > limit) {
            cell.fail(std::isinf(off) ? "no flashes" : "flash " + milliseconds(off),
                      what + ": the flash due at " + seconds(w) + " s " +
                          (std::isinf(off) ? "is missing (no flashes at all)"
                                           : "comes " + milliseconds(off) + " off"));
            break;
        }
    }
    for (double w : wantBeeps) {
        const double off = nearest(beeps, w);
        if (std::fabs(off) > limit) {
            cell.fail(std::isinf(off) ? "no beeps" : "sound " + milliseconds(off),
                      what + ": the beep due at " + seconds(w) + " s " +
                          (std::isinf(off) ? "is missing (no beeps at all)"
                                           : "comes " + milliseconds(off) + " off") +
                          delayNote(out));
            break;
        }
    }
}

} // namespace conformance
