#include "TRecordAVIThread.h"

#include "TScreenCam.h"
#include "ui/UiThread.h"

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
    int result = 0;
    try {
        result = engine_->record(area_, fileName_);
    } catch (const std::exception&) {
        result = 0;
    }
    // The end handler runs on the user-interface thread; if the engine is gone by then, its
    // destructor has already joined and freed this worker.
    ui::uiThread().post([engine = engine_, alive = engineAlive_, generation = generation_, result] {
        if (alive.lock()) engine->workerEnded(generation, result);
    });
}

} // namespace recorder
