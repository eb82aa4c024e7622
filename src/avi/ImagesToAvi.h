// The job of the images-to-AVI window without its window, shared with tovamix-cli: pictures
// loaded in list order, each becoming one frame of an XviD AVI written by TAviWriter_2. Also the
// picture loading and the list of picture files offered. User-interface thread (or the one
// thread of the command-line job); needs no display.
#pragma once

#include "AviWriter_2.h"

#include <QImage>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace avi {

struct ImagesSettings {
    std::vector<std::string> pictures; // in frame order
    std::string output;
    int width = 400, height = 300; // rounded down to multiples of 16 by the writer
    int frameTime = 1000;          // milliseconds per picture
    bool stretch = true;
    TPixelFormat pixelFormat = TPixelFormat::pf24bit;
};

// The picture file types QImageReader reads here (vector pictures and metafiles left out), as
// lower-case extensions: "bmp", "gif", "jpeg", "jpg", "png", ...
std::vector<std::string> pictureExtensions();
// The open dialog's filter: "All pictures (*.bmp;*.gif;...)|*.bmp;*.gif;...", then one entry
// per extension ("BMP (*.bmp)|*.bmp").
std::string pictureFilter();

// The picture in path, with QImageReader's allocation limit; throws EAviWriter naming the
// file and the reason when it cannot be read.
QImage loadPicture(const std::string& path);
// The frame a picture becomes: the picture at its own size on black, 24 bits a pixel (what it
// leaves transparent comes out black).
QImage pictureFrame(const QImage& picture);

// Why output must not be written over: it names one of the pictures (however written). Empty
// when it may be.
std::string refuseOutput(const std::vector<std::string>& pictures, const std::string& output);

// Writes the AVI: the writer's size, the compressor "XVID" (asked about that size), frame time
// and stretch from settings, then every picture in order, drawn at its own size on black
// (transparent areas come out black) and added as a frame; progress(frames done) after each.
// With stop set (read before each picture, from any thread) the file is ended after the frames
// written so far, as a whole AVI. Returns the frames written. Throws EAviWriter with the
// message at the first failure; the file then holds the frames written, closed. Runs on any one
// thread at a time: nothing in it touches a window.
int writeImages(TAviWriter_2& writer, const ImagesSettings& settings,
                const std::function<void(int done)>& progress = {},
                const std::atomic<bool>* stop = nullptr);

} // namespace avi
