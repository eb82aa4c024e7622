// The checks of one cell of the conformance matrix: a job's run, its outputs' decoding, the
// source frames they hold, their lengths and whether their flashes and beeps are in step and
// where they belong.
#pragma once

#include "Forms.h"
#include "support/TestSupport.h"

#include <limits>
#include <string>
#include <vector>

namespace conformance {

constexpr double FrameSeconds = 0.04; // 25 pictures a second
constexpr double Tolerance = 0.040;   // a length or a mark may be off by one frame
// The MP3 encoder's constant delay: its sound begins 1,105 samples (at 44.1 kHz) after the
// moment it was given, in every MP3 that carries no gapless-playback note (MP3 in AVI).
constexpr double Mp3Delay = 1105.0 / 44100.0;
constexpr double Forever = std::numeric_limits<double>::infinity();

// One cell's verdict: the table's short text and the details printed below the table.
struct Cell {
    enum State { Pass, Fail, NotApplicable, Outside };
    State state = Pass;
    std::vector<std::string> reasons; // short, for the table
    std::vector<std::string> details; // longer, one a line
    void fail(const std::string& reason, const std::string& detail = "");
    void note(const std::string& detail) { details.push_back(detail); }
    bool failed() const { return state == Fail; }
    std::string text() const; // "pass", "n/a", or the first reason (and how many more)
};

// Runs tovamix-cli with args, killed after the hard limit; a kill is "hung", an exit code
// other than 0 fails with the program's last line of standard error. False when it failed.
bool runJob(Cell& cell, const std::string& what, const std::string& args,
            testsupport::CommandResult* result = nullptr);

// ffmpeg decoded every packet of a file (read with readFacts) without a word.
void checkDecodes(Cell& cell, const std::string& what, const std::string& path, const Facts& facts);

// The picture of an output written as XviD and MP3 in AVI at 25 pictures a second, of the
// given size less an odd column and row (0: unchecked), as ffprobe reads it.
void checkXvidMp3(Cell& cell, const std::string& what, const Facts& out, bool video, bool audio,
                  int width = 0, int height = 0);

// The source frames a file stretch [from, to) of a form holds, by two readings: frame N
// starts at N/25 after the file's start ("nominal"), or at the time its own timestamp gives
// (the source's frames as read back). The two differ where a file's picture starts later than
// its sound. A cut passes with either.
std::vector<int> nominalFrames(const Facts& source, double from, double to);
std::vector<int> timedFrames(const Facts& source, double from, double to);
// The source frame a moment shows, by the same two readings.
int nominalFrameAt(const Facts& source, double at);
int timedFrameAt(const Facts& source, double at);

// A list of frame numbers in short: runs of one number ("65x29"), rising runs ("66..110").
std::string runsText(const std::vector<int>& numbers);

// A one-line guess at what went wrong when a list of frame numbers is not the one wanted
// (empty: no guess).
std::string framesDiagnosis(const std::vector<int>& got, const std::vector<int>& want);

// The output's frame numbers are one of the expected lists (the first is the one named when
// none is; the others are readings by the source's own timestamps).
void checkFrames(Cell& cell, const std::string& what, const std::vector<int>& got,
                 const std::vector<std::vector<int>>& expected);

// A length within Tolerance of one of the expected values, or up to `longer` more.
void checkLength(Cell& cell, const std::string& what, double got,
                 const std::vector<double>& expected, double longer = 0);

// How much longer than its sound an MP3 stream may last: its last frame of 1,152 samples is
// filled up with silence.
constexpr double Mp3Frame = 1152.0 / 44100.0;

// A stretch [from, to) of a source placed at `at` on an output's time line, with the kinds of
// marks the output takes from it.
struct Segment {
    const Facts* source = nullptr;
    double from = 0, to = Forever, at = 0;
    bool pictures = true, sound = true;
};
// Every flash and beep of the segments lies where it belongs in the output, and every flash
// of the output has its beep (MP3's delay taken off the beeps of MP3 sound).
void checkMarks(Cell& cell, const std::string& what, const Facts& out,
                const std::vector<Segment>& segments);

// The beep times of a file with the MP3 encoder's delay taken off when its sound is MP3.
std::vector<double> soundMarks(const Facts& facts);

std::string seconds(double v);      // "1.234"
std::string milliseconds(double v); // "+530 ms"

} // namespace conformance
