// The DVD-Video volumes the DVD tests play, made once at test time by make_dvd.sh and shared
// by the test programs (each is built under a private name and renamed into place).
#pragma once

#include <array>
#include <string>

namespace testsupport {

struct DvdVolumes {
    // Folders holding VIDEO_TS. Disc 1: title 1 (30 s, chapters at 0, 10, 20 s, AC-3),
    // title 2 (12 s, chapters at 0, 6 s, MP2), a menu with two buttons (button N plays title
    // N; at (96,196)-(304,304) and (416,196)-(624,304) of the 720 x 576 picture). Disc 2: one
    // title of 8 s.
    std::string disc1, disc2;
    // Disc 3, "play all" without menus: title 1 (6 s, chapters at 0 and 2.8 s) goes on
    // seamlessly into title 2 (8 s, chapters at 0 and 4 s) by its last commands; 16:9 pictures,
    // MP2 sound. Each picture carries its number in its title: ten boxes of 72 x 72 pixels
    // across the top of the 720 x 576 picture, bit 0 on the left, white for a bit set.
    std::string disc3;
    std::string iso; // an image of disc 1
    bool ok() const { return !disc1.empty() && !disc2.empty() && !disc3.empty() && !iso.empty(); }
};

// Makes them on first use; empty paths when a tool failed.
const DvdVolumes& dvdVolumes();

// Copies of disc 1 under scratchDir("dvd-damage")/NAME, its IFO and BUP files copied and its
// VOB files linked: as it is; with the first-play program chain's first pre command replaced
// by command (in the IFO and its backup); or damaged the n-th way of a fixed random set (in
// one of the three IFO files and its backup alike, 1 to 8 bytes changed, anywhere or in the
// first sector, or the file cut short past its first sector).
std::string copyOfDisc1(const std::string& name);
std::string copyOfDisc1WithFirstPlayCommand(const std::string& name,
                                            const std::array<unsigned char, 8>& command);
std::string damagedCopyOfDisc1(int n);

} // namespace testsupport
