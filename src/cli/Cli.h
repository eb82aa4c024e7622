// What the subcommands of tovamix-cli share: how a bad use ends, the Qt application made on
// first need, and the loop that stands in for the user-interface thread. main() dispatches;
// each subcommand lives in its own file and registers itself through its add function.
//
// Everything here runs on the main thread, which plays the user-interface thread: it drains
// the default event queue (the recording worker's end handler arrives there) and Qt's events
// (the media graphs' notifications); message boxes go to standard error.
#pragma once

#include "platform/vfw/AviFile.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QApplication;
class QCoreApplication;
namespace platform::screen {
class PackedDib;
}

namespace cli {

// A name (a path, a device's line) as it goes into a result line: a backslash and every control
// character are written as C escapes (\\, \n, \r, \t, \xHH), so no name can end the line or
// forge another. Other names come through as they are.
std::string resultText(const std::string& name);

// The exit code of a bad use: an unknown option, a bad value, a display or file that cannot
// be had.
constexpr int ExitBadUse = 2;

// What a subcommand does once its arguments are parsed and checked; returns the exit code.
using Run = std::function<int()>;

// Registers a subcommand on app. When the command line chooses it, its parse callback checks
// the arguments (throwing a CLI::ParseError with the reason for a bad use) and sets run.
CLI::App* addRecordScreen(CLI::App& app, Run& run);
CLI::App* addDevices(CLI::App& app, Run& run);
CLI::App* addGrabFrame(CLI::App& app, Run& run);
CLI::App* addView(CLI::App& app, Run& run);
CLI::App* addCut(CLI::App& app, Run& run);
CLI::App* addPlay(CLI::App& app, Run& run);
CLI::App* addSnapshot(CLI::App& app, Run& run);
CLI::App* addCaptureVideo(CLI::App& app, Run& run);
CLI::App* addCaptureAudio(CLI::App& app, Run& run);
CLI::App* addMerge(CLI::App& app, Run& run);
CLI::App* addSplit(CLI::App& app, Run& run);
CLI::App* addLink(CLI::App& app, Run& run);
CLI::App* addImages(CLI::App& app, Run& run);
CLI::App* addInfo(CLI::App& app, Run& run);
CLI::App* addConvert(CLI::App& app, Run& run);
CLI::App* addDvdInfo(CLI::App& app, Run& run);
CLI::App* addDvdPlay(CLI::App& app, Run& run);
CLI::App* addRecover(CLI::App& app, Run& run);

// The picture file shows at atSeconds, through a graph that shows and sounds nothing (no
// display needed), and the position it was taken at. 0 when had; else the exit code, the
// reason written: a bad use for a file that cannot be played, has no video or is shorter.
int grabPicture(const std::string& file, double atSeconds, platform::screen::PackedDib& dib,
                int64_t& position);

// Compresses the recordings video (and audio when withVoice and it holds sound) into output
// as the Record Screen window does, with XviD and MP3, showing the progress on standard error.
// 0 on success; 1 (with the reason told) on failure, the recordings kept. A failed merge
// removes output only when it had begun writing it; an output it never reached is untouched.
// Needs a Qt application for the graph's events.
int mergeRecording(const std::string& output, const std::string& video, const std::string& audio,
                   bool withVoice);

// A number of seconds from 0 given to option; a CLI::ValidationError naming the option when
// it is not one.
double parseSeconds(const std::string& value, const std::string& option);

// A media time (100-nanosecond units) as seconds with three decimals ("7.300").
std::string secondsText(int64_t units);

// Reads back the headers of an AVI a job has written, for its summary line; false, with the
// reason on standard error, when they cannot be read.
bool readBack(const std::string& path, platform::vfw::AviSummary* summary);

// Writes "tovamix-cli: message" to standard error and returns ExitBadUse.
int fail(const std::string& message);

// 0 when the X display can be reached; else ExitBadUse, with "<job> needs an X display" and
// the reason told (the windows' toolkit would end the program where no display answers).
int needDisplay(const std::string& job);

// The Qt application that the area selection and the media graphs' events need; made once.
QApplication* application();

// A Qt core application for the jobs that need Qt's events but no windows (the media graphs'
// notifications), made when none exists yet and freed with the returned pointer; null when one
// exists already.
std::unique_ptr<QCoreApplication> coreApplication();

// Runs the worker's posted end handlers and Qt's events until done() holds.
void runUntil(const std::function<bool()>& done);

} // namespace cli
