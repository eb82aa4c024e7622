// The DVD-Video volumes the DVD tests play, made once at test time by make_dvd.sh and shared
// by the test programs (each is built under a private name and renamed into place).
#pragma once

#include <string>

namespace testsupport {

struct DvdVolumes {
    // Folders holding VIDEO_TS. Disc 1: title 1 (30 s, chapters at 0, 10, 20 s, AC-3),
    // title 2 (12 s, chapters at 0, 6 s, MP2), a menu with two buttons (button N plays title
    // N; at (96,196)-(304,304) and (416,196)-(624,304) of the 720 x 576 picture). Disc 2: one
    // title of 8 s.
    std::string disc1, disc2;
    std::string iso; // an image of disc 1
    bool ok() const { return !disc1.empty() && !disc2.empty() && !iso.empty(); }
};

// Makes them on first use; empty paths when a tool failed.
const DvdVolumes& dvdVolumes();

} // namespace testsupport
