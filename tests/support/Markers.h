// Clips that carry timing marks, and reading the marks back from any file a job wrote.
//
// A marker clip is black with a white flash of FlashSeconds at every whole second from 1 s,
// and silent with a 1 kHz beep of the same length at the same instants, so a file made from it
// shows whether its picture and sound kept in step: every flash should have its beep at the
// same time. Every picture also carries its own frame number, drawn as ten black or white
// boxes across the top eighth of the picture (bit 0 on the left), so a file made from the
// clip shows which source frames it holds. The generator is ffmpeg (the clips are other
// programs' media, made at test time).
#pragma once

#include <string>
#include <vector>

namespace testsupport {

constexpr double FlashSeconds = 0.12;

struct MarkerClipForm {
    std::string name;      // the file's name, with the extension ffmpeg picks the container by
    std::string codecs;    // ffmpeg's codec options ("-c:v mpeg4 -c:a libmp3lame")
    double seconds = 5;    // the picture's length
    double soundFrom = 0;  // where the sound starts (later: silence-free gap before it)
    double soundUntil = 0; // where the sound ends (0: with the picture)
    int width = 320, height = 240;
    int rate = 25;
};

// Makes the clip once under scratchDir(dir) (shared by the test programs, as sharedClip);
// empty when ffmpeg fails.
std::string markerClip(const std::string& dir, const MarkerClipForm& form);

struct Marks {
    std::vector<double> flashes; // seconds at which the picture turns white
    std::vector<double> beeps;   // seconds at which a beep begins
    double videoSeconds = -1, audioSeconds = -1;
};

// Decodes a file's first picture and sound stream with ffmpeg and finds where flashes and beeps
// begin, on the file's own time line (its first frame at 0).
Marks readMarks(const std::string& path);

// The source frame number each picture of a file's first picture stream carries, in the
// order the pictures are shown, with each picture's time on the file's own time line.
struct NumberedFrame {
    int number = -1;
    double time = 0;
};
std::vector<NumberedFrame> readFrameNumbers(const std::string& path);

// Both of the above, read with one decoding of the file (and one ffprobe), for checks that
// read many files: the marks (flashes from the mean brightness of the picture below the
// number band), the numbered pictures, and what ffmpeg said while decoding every picture and
// every piece of sound (empty: a clean decode). More of ffprobe's format and stream fields
// ("format_name", "codec_name,width") may be asked for: its answer is kept, in its compact
// form ("stream|index=0|codec_name=h264|..."), for the caller to read.
struct MarkedFile {
    Marks marks;
    std::vector<NumberedFrame> frames;
    std::string decodeErrors;
    double soundSeconds = -1; // the sound as decoded (where a header's length is a guess)
    std::string probed;       // ffprobe's answer about the format and the streams
};
MarkedFile readMarkedFile(const std::string& path, const std::string& formatEntries = "",
                          const std::string& streamEntries = "");

// The numbers alone, as a list ("50 51 52 ... 124"), for messages.
std::string numbersText(const std::vector<NumberedFrame>& frames);
// The numbers alone.
std::vector<int> numbersOf(const std::vector<NumberedFrame>& frames);

// For every flash, how far its nearest beep lies after it (negative: before), in seconds.
std::vector<double> beepOffsets(const Marks& marks);

// A copy of the AVI `from` whose picture is declared top-down (a negative height in its
// format): the same bytes, read the other way up. A clip made upside down (ffmpeg's vflip)
// shows the right way up in such a copy. Returns `to`, or empty when `from` has no picture
// format.
std::string topDownCopy(const std::string& from, const std::string& to);

} // namespace testsupport
