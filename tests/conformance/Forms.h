// The forms of test media the conformance matrix runs the jobs on: marker clips (see
// support/Markers.h) in many containers and codecs, made by ffmpeg at run time, and what was
// read back from each made clip, which the jobs' outputs are measured against.
#pragma once

#include "support/Markers.h"

#include <string>
#include <vector>

namespace conformance {

// How a made clip is turned into the form's file.
enum class Copy {
    None,    // the clip as ffmpeg wrote it
    TopDown, // the AVI's picture header says top-down (negative height), rows reversed
    Cram,    // the MS Video 1 AVI retagged CRAM, the FourCC older programs wrote
};

struct Form {
    std::string id; // the table's row name
    testsupport::MarkerClipForm clip;
    std::vector<std::string> encoders; // ffmpeg encoders the form needs
    Copy copy = Copy::None;
    bool video = true, audio = true;
    bool avi = false;
    // The FourCCs `info` may name for the picture (empty: no picture).
    std::vector<std::string> fourCCs;
    std::string audioName; // what `info` names the sound's wave format ("" : not checked)
};

// Every form, in the table's order.
const std::vector<Form>& forms();
// The plain MP4 that the link jobs put before and after a form, and the clip whose sound ends
// two seconds before its picture, which the link jobs put first.
const Form& plainForm();
const Form& shortSoundForm();
// The sounds the merge jobs put beside an AVI's picture.
const Form& wavSound();
const Form& mp3Sound();

// The encoders of a form this machine's ffmpeg lacks (empty: it has them all).
std::vector<std::string> missingEncoders(const Form& form);

// Makes the form's file once under the shared scratch area; empty when ffmpeg fails.
std::string makeForm(const Form& form);

// What a made file holds, as ffprobe and the marker readers see it; every time is on the
// file's own time line (zero: the format's start).
struct Facts {
    std::vector<testsupport::NumberedFrame> frames;
    testsupport::Marks marks;
    std::string videoCodec, videoTag, audioCodec;
    std::string rate;   // the picture's frame rate as ffprobe gives it ("25/1")
    std::string format; // the container as ffprobe names it ("avi", "mp3")
    int width = 0, height = 0, sampleRate = 0;
    double videoStart = -1, videoSeconds = -1, audioStart = -1, audioSeconds = -1;
    double formatSeconds = -1;
    double soundDecoded = -1; // the sound's length as decoded
    std::string decodeErrors; // what ffmpeg said while decoding it (not saved)
    double videoEnd() const { return videoStart + videoSeconds; }
    double audioEnd() const { return audioStart + audioSeconds; }
};
// Everything: streams, the frame numbers and the marks, and what decoding it said.
Facts readFacts(const std::string& path);

// Facts saved to and loaded from a text file (the runner reads a form's facts once and hands
// them to every job of the form).
void saveFacts(const Facts& facts, const std::string& path);
bool loadFacts(Facts& facts, const std::string& path);

} // namespace conformance
