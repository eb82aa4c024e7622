// DVD-Video volumes: finding one (a drive, or what a path leads to) and reading what its IFO
// files say (titles, chapters, lengths, sound and subpicture streams, the disc's id), over
// libdvdread. Any thread; each call opens the volume afresh.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace platform::dshow {

struct DvdAudioInfo {
    std::string format; // "ac3", "mpeg1", "mpeg2ext", "lpcm", "sdds", "dts"
    int channels = 0;
    std::string language; // two letters, "xx" when the disc names none
};

struct DvdTitleInfo {
    int number = 0;                    // 1-based, as the disc counts titles
    double duration = 0;               // seconds
    std::vector<double> chapterStarts; // seconds from the title's start, first 0
    std::vector<DvdAudioInfo> audio;
    std::vector<std::string> subtitles; // languages
    int framesPerSecond = 25;
};

using DvdDiscId = std::array<unsigned char, 16>;

struct DvdVolumeInfo {
    std::string volume;
    std::vector<DvdTitleInfo> titles;
    DvdDiscId discId{};
};

// The volume a path leads to: an .IFO file (its folder), a folder holding or being VIDEO_TS,
// an image file or a block device; then only if libdvdread opens it as DVD-Video. Empty when
// none; *reason says why.
std::string findDvdVolume(const std::string& path, std::string* reason = nullptr);
// The first drive (/dev/dvd, then /dev/sr0 .. /dev/sr9) holding a DVD-Video disc; empty when
// none does.
std::string findDvdDrive();
// Reads a volume's IFO files. False with *error set for a volume that cannot be read (a
// damaged IFO file among them); nothing is trusted that the files do not bound.
bool readDvdVolume(const std::string& volume, DvdVolumeInfo* info, std::string* error);
// The disc's id alone; false when the volume cannot be opened.
bool readDvdDiscId(const std::string& volume, DvdDiscId* id);
// "0123...": the id as 32 lower-case hexadecimal digits.
std::string discIdText(const DvdDiscId& id);

} // namespace platform::dshow
