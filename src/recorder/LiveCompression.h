// The live compression of a screen recording: while the engine writes "VideoTemp.avi" and the
// voice graph "AudioTemp.avi", the frames the engine stores and the sound the voice graph
// writes are also encoded, as they come, into the final form (XviD video, MP3 voice, one AVI)
// in a hidden file of the folder of temporary recordings. At the stop only the tail is left to
// encode, and the file is then moved to the name the user chose: no long wait for a merge.
// The frames are encoded from the grabbed pictures, not from the MS Video 1 file, so they lose
// one generation less.
//
// Threads: frame() runs on the engine's worker, the sound tap on the voice graph's streaming
// thread; both only queue and return (the grabber's pacing comes first). The encoding runs on
// a thread of its own at a lower priority. Everything else belongs to the thread that made the
// object (the user-interface thread). When the encoder falls behind, what waits beyond the
// memory limit goes to a queue file beside the live file (written by a thread of its own at
// the program's priority, read back in order by the encoder), so memory stays bounded and
// the grabber never waits on the disk. Only when the queue file also outgrows its limit, or
// cannot be written, is the live file given up: the recording is then saved by the merge of
// the temporary files, as without live compression; nothing recorded is lost either way.
#pragma once

#include "MoveIntoPlace.h"

#include "platform/dshow/base/DShow.h"
#include "platform/screen/Dib.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace recorder {

struct LiveSettings {
    std::string path;       // the hidden file, in the folder of temporary recordings
    int playbackRate = 0;   // frames per second in the file, as the engine's stream says
    int recordInterval = 0; // milliseconds of screen time between grabbed frames (0: unknown)
    bool voice = false;     // a voice is recorded beside the screen
    int voiceRate = 0;      // its format: sample frames a second and channels
    int voiceChannels = 0;
    size_t memoryLimit = size_t(256) << 20; // bytes waiting in memory before the queue file
    uint64_t diskLimit = uint64_t(8) << 30; // bytes waiting in the queue file at most
    // Where the frames came from: each one goes back once encoded or written to the queue
    // file, and frames read back from that file are taken from it. None: plain allocations.
    std::shared_ptr<platform::screen::DibPool> framePool;
};

class LiveCompression {
  public:
    explicit LiveCompression(LiveSettings settings);
    // Abandons an unfinished file (it is removed) and ends the encoding thread.
    ~LiveCompression();
    LiveCompression(const LiveCompression&) = delete;
    LiveCompression& operator=(const LiveCompression&) = delete;

    // Engine worker: a stored frame at its slot.
    void frame(int64_t slot, platform::screen::PackedDib&& dib);
    // The tap to set on the voice graph's capture pin.
    std::shared_ptr<platform::dshow::SoundTap> soundTap();
    // Where the first stored frame lies in the voice, in 100-nanosecond units of the voice's
    // run (negative: the voice began after it). The sound before it is cut; silence fills in
    // for a voice that began late. Sound waits in the queue until this is known.
    void setVoiceAtFirstFrame(int64_t time);

    // No more input: the thread encodes what is left and finishes the file. Waits until it is
    // done, running whileWaiting every 50 ms, as long as the encoding moves on (a thread that
    // stands still for `stall` gives up). True when the file is complete; why otherwise.
    bool finish(const std::function<void()>& whileWaiting, std::chrono::milliseconds stall,
                std::string* why);
    // Gives the live file up (the merge then saves the recording).
    void abandon(const std::string& why) { giveUp(why); }
    // Whether the live file has been given up (why says why).
    bool failed(std::string* why = nullptr) const;
    const std::string& path() const { return settings_.path; }
    bool hasVoice() const { return settings_.voice; }

    // Figures of the encoding so far. Any thread.
    struct Figures {
        int64_t frames = 0;        // pictures encoded
        double voiceSeconds = 0;   // sound encoded
        size_t queuedBytes = 0;    // waiting to be encoded, in memory
        uint64_t spooledBytes = 0; // waiting to be encoded, in the queue file
        uint64_t spilledBytes = 0; // ever written to the queue file
    };
    Figures figures() const;

    // For tests: ends the encoding thread as a crash of the encoder would (the file is then
    // given up and finish() says so).
    void killEncoderForTest();
    // For tests: holds the encoder before its next piece while `held` (an encoder far
    // behind).
    void holdEncoderForTest(bool held);
    // The queue file's name.
    std::string queuePath() const { return settings_.path + ".queue"; }

  private:
    struct Item {
        enum Kind { Frame, Sound } kind = Frame;
        int64_t slot = 0; // a frame's slot, or the sound's first sample frame
        platform::screen::PackedDib dib;
        std::vector<uint8_t> pcm;
    };
    // A piece in the queue file: its kind and place, where its bytes lie, and whether the
    // spill thread has written them yet.
    struct Spooled {
        Item::Kind kind = Item::Frame;
        int64_t slot = 0;
        int width = 0, height = 0, bitCount = 0; // a frame's picture
        uint64_t offset = 0;
        size_t bytes = 0;
        bool written = false;
    };
    class Tap;
    struct Encoder;
    void pushSound(const platform::dshow::SoundPiece& piece);
    void push(Item&& item, size_t bytes);
    void giveUp(const std::string& why);
    void run();
    void spill();
    // The encoder's next piece, from the queue file or from memory; false when the thread is
    // to end (ok says whether all went well).
    bool next(Item* item, bool* placed, int64_t* voiceAt, bool* ok);
    bool readSpooled(const Spooled& from, int fd, Item* item, std::string* why);
    bool sizeChecked_ = false; // the grabbing thread's: the first frame's size was judged
    struct EncoderSpeed {
        int frames = 0;
        double cpuMs = 0;
        bool judged = false;
    };
    // False (and why) when the frames measured so far show the encoder cannot follow the
    // grabber even with a core to itself.
    bool keepsUp(EncoderSpeed& speed, double frameCpuMs, std::string* why) const;
    // Gives a frame's bitmap back to the frame pool, when there is one.
    void recycle(Item& item);
    void dropWaiting(); // m_ held
    bool encode(Encoder& e, Item& item, std::string* why);

    LiveSettings settings_;
    mutable std::mutex m_;
    // -- All the following fields are protected by m_.
    std::condition_variable changed_;
    // The pieces waiting, in order: those in the queue file first, then those in memory.
    std::deque<Spooled> spooled_;
    std::deque<Item> queue_;
    size_t queuedBytes_ = 0;
    uint64_t spoolEnd_ = 0; // where the next piece goes in the queue file
    uint64_t spooledBytes_ = 0;
    uint64_t spoolGeneration_ = 0; // counts the drops of everything waiting
    int spoolFd_ = -1;
    bool held_ = false;
    bool ended_ = false;    // no more input
    bool done_ = false;     // the thread has finished (or given up)
    bool complete_ = false; // the file is whole
    bool killed_ = false;
    std::string failure_;
    bool voiceAtFirstFrameKnown_ = false;
    int64_t voiceAtFirstFrame_ = 0;
    Figures figures_;
    // -- Set once; the thread itself.
    std::shared_ptr<Tap> tap_;
    std::thread thread_;
    std::thread spillThread_;
};

} // namespace recorder
