// Where a media file's own time line starts.
//
// Some containers stamp their first picture and sound well after zero: an MPEG program or
// system stream (and so a DVD's VOB) at about half a second, an MPEG transport stream at
// whatever its clock read when it began. GStreamer's readers keep those stamps in the stream
// time they report and seek by, while every user of the file (and every other program) counts
// from the earliest start of its streams. Every place that turns a moment of the file into a
// position in a graph goes through this one offset: the cut's stretch, the player's position
// and seeks, the snapshot and the frame grab.
#pragma once

#include <gst/gst.h>

#include <string>

namespace platform::dshow {

struct StreamStart {
    // The stream time at which the earliest picture or sound stream of the file starts.
    GstClockTime zero = 0;
    // Where the first picture lies on the file's own time line, and the picture rate; a rate
    // of 0 when the file has no picture or does not say its rate.
    GstClockTime firstPicture = 0;
    int rateNum = 0, rateDen = 1;
    // The file's reader does not know its length but estimates it from the stamps it meets
    // first and last (an MPEG program, system or transport stream): the estimate may leave
    // out the last picture, or run two pictures past it.
    bool lengthEstimated = false;

    // The start of the first picture that starts at or after `moment` (both on the file's own
    // time line), so that a stretch from there holds exactly the pictures that start in it;
    // `moment` itself before the first picture or where the rate is unknown.
    GstClockTime firstFrameFrom(GstClockTime moment) const;
    // The start of the picture whose time span holds `moment`; `moment` itself before the
    // first picture or where the rate is unknown.
    GstClockTime pictureHolding(GstClockTime moment) const;
};

// What the file says of its start: a zero of 0 for a file that starts at zero, for one that
// cannot be read, and when finding out takes longer than a short bound (the answer is then the
// one every reader of that kind gave before). Remembered per file (its name, size and time of
// change): asking again costs nothing.
StreamStart streamStartOf(const std::string& path);

// The file's length from its zero to where its latest stream ends, measured by decoding its
// last seconds, for a file whose reader only estimates its length (above); 0 for any other
// file, for one that cannot be read, and when the measure takes longer than a short bound:
// the reader's own length holds then. Remembered per file as the start is.
GstClockTime measuredLengthOf(const std::string& path);

} // namespace platform::dshow
