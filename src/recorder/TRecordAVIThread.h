// The recording worker: one std::thread per recording that runs the engine's record routine
// once, then posts the engine's end handler to the user-interface thread, which forgets the
// worker and frees it. Created by TScreenCam::startRecording() on the user-interface thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace recorder {

class TScreenCam;
class CaptureAreaSource;

class TRecordAVIThread {
  public:
    // Starts running at once, at the default priority.
    // generation tells the end handler which start of the engine this worker belongs to.
    TRecordAVIThread(TScreenCam* engine, CaptureAreaSource* area, std::string fileName,
                     std::weak_ptr<int> engineAlive, uint64_t generation);
    // Joins the thread; the caller makes sure it has ended or is about to.
    ~TRecordAVIThread();

    void join();

  private:
    void execute();

    TScreenCam* engine_;
    CaptureAreaSource* area_;
    const std::string fileName_;
    std::weak_ptr<int> engineAlive_;
    const uint64_t generation_;
    std::thread thread_;
};

} // namespace recorder
