#include "TRecordAVIThread.h"

#include "TScreenCam.h"
#include "ui/UiThread.h"

#include <string>

namespace recorder {

TRecordAVIThread::TRecordAVIThread(TScreenCam* engine, CaptureAreaSource* area,
                                   std::string fileName, std::weak_ptr<int> engineAlive,
                                   uint64_t generation)
    : engine_(engine), area_(area), fileName_(std::move(fileName)),
      engineAlive_(std::move(engineAlive)), generation_(generation) {
    thread_ = std::thread([this] { execute(); });
}

TRecordAVIThread::~TRecordAVIThread() {
    join();
}

void TRecordAVIThread::join() {
    if (thread_.joinable()) thread_.join();
}

void TRecordAVIThread::execute() {
    // Nothing may escape the thread (that would end the program); whatever record() throws
    // is shown to the user and the recording ends as a failed one.
    int result = 0;
    std::string failure;
    try {
        result = engine_->record(area_, fileName_);
    } catch (const std::exception& e) {
        failure = e.what();
        if (failure.empty()) failure = "The screen recording stopped on an unexpected error.";
    } catch (...) {
        failure = "The screen recording stopped on an unexpected error.";
    }
    if (!failure.empty()) {
        try {
            engine_->reportFailure(failure);
        } catch (...) {
            // The message could not be shown; the failed result still reaches the engine.
        }
    }
    // The end handler runs on the user-interface thread; if the engine is gone by then, its
    // destructor has already joined and freed this worker.
    ui::uiThread().post([engine = engine_, alive = engineAlive_, generation = generation_, result] {
        if (alive.lock()) engine->workerEnded(generation, result);
    });
}

} // namespace recorder
