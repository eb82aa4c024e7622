// What a media file holds, as the convert window shows it before a conversion: for its video
// stream the media type, duration, FourCC, frame size, bit depth and a readable codec name;
// for its sound stream the media type, format name, sample rate, bit rate and channel count.
// Read through the media detector and turned into text with two fixed tables (FourCC to codec
// name, wave format tag to format name). Shows nothing itself.
//
// Any thread that may use the media detector (the user-interface thread in the program).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace avi {

// The record of one file's information; every field empty until set.
struct EnumVid {
    std::string VideoMajorType; // "Video"; "FILE NOT FOUND" or "ERROR" when unreadable
    std::string Duration;       // mm:ss, or hh:mm:ss from one hour on
    std::string VideoFourCC;
    std::string VideoWidth, VideoHeight, VideoBitDepth;
    std::string VideoCodecName;
    std::string AudioMajorType; // "Audio"
    std::string AudioFormatName;
    std::string AudioSampleRate;
    std::string AudioBitRate; // average bytes per second x 8
    std::string AudioChannels;
};

inline constexpr const char* FileNotFoundText = "FILE NOT FOUND";
inline constexpr const char* ErrorText = "ERROR";

// The file's information. A missing file gives VideoMajorType "FILE NOT FOUND", one the
// detector cannot read "ERROR". With several streams of one kind the last one wins; Duration
// is the last stream's length whose length could be read (a stream of rate 0, or longer than
// 2^31 - 1 seconds, leaves it as it was).
EnumVid ReadMediaInfo(const std::string& fileName);

// The codec name of a FourCC text (compared in lower case, in table order), else
// "Unknown Codec".
std::string CodecNameFromFourCC(const std::string& fourCC);
// The name of a wave format tag, else "Unknown".
std::string WaveFormatName(uint16_t tag);
// Whole seconds as mm:ss below an hour, else hh:mm:ss (each part at least two digits).
std::string FormatDuration(int32_t seconds);
// The text of a bitmap header's compression field: 0 "RGB", 1 "RLE8", 2 "RLE4",
// 3 "BITFIELDS", else its four bytes in memory order, those outside printable ASCII (and the
// backslash) written \xNN so that no terminal control reaches a screen.
std::string FourCCText(uint32_t compression);

// The codec table's keys and names, in table order (for the tests and for listing).
const std::vector<std::pair<const char*, const char*>>& CodecTable();
const std::vector<std::pair<uint16_t, const char*>>& WaveFormatTable();

// The record as the window's groups show it: "Video Info", then its labels with their
// values ("Media Major Type : Video"), then "Audio Info" and its labels; a line each.
std::string MediaInfoText(const EnumVid& info);
// The record as one JSON object keyed by field name, every value a string.
std::string MediaInfoJson(const EnumVid& info);

} // namespace avi
