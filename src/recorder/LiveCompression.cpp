#include "LiveCompression.h"

#include "platform/vfw/AviMuxer.h"
#include "platform/vfw/Mp3Encoder.h"
#include "platform/vfw/XvidCore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace recorder {

namespace vfw = platform::vfw;
using platform::dshow::SoundPiece;

namespace {

// The same as the merge's encoders, so a live file and a merged one look alike.
constexpr int XvidBitrate = 1500;    // kbit/s
constexpr int XvidKeyInterval = 250; // pictures
constexpr int Mp3Bitrate = 128;      // kbit/s
// How much lower the encoding thread runs than the program (nice steps).
constexpr int EncoderNice = 10;
// The encoder's processor time for this many frames after the first tells whether it can follow
// the grabber at all; it cannot when a frame takes more than TooSlowFactor intervals.
constexpr int SpeedSampleFrames = 5;
constexpr double TooSlowFactor = 1.5;
// Above this many pixels a second one encoder thread cannot follow the grabber on an ordinary
// machine (1920x1080 at 30 a second takes about 40% of a core): the frames would pile up in
// memory and in the queue file, at 1 GB a second at 3840x2160, costing the grabber its slots
// until the live compression gave up anyway. Such recordings are compressed after the stop.
constexpr double MaxPixelsPerSecond = 1920.0 * 1080.0 * 60.0;

// Processor time of the calling thread in milliseconds: what encoding costs, not how long the
// thread waited for a core.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

} // namespace

// The sound tap: forwards to the live compression while it exists. The voice graph may hold
// it a moment longer than the live compression lives.
class LiveCompression::Tap : public platform::dshow::SoundTap {
  public:
    explicit Tap(LiveCompression* owner) : owner_(owner) {}
    void sound(const SoundPiece& piece) override {
        std::lock_guard lock(m_);
        if (owner_) owner_->pushSound(piece);
    }
    void detach() {
        std::lock_guard lock(m_);
        owner_ = nullptr;
    }

  private:
    std::mutex m_;
    LiveCompression* owner_; // guarded by m_
};

// What the encoding thread builds as the first frame comes. Used by that thread only.
struct LiveCompression::Encoder {
    std::unique_ptr<vfw::AviMuxer> mux;
    int videoStream = -1, audioStream = -1;
    vfw::XvidEncoder xvid;
    vfw::XvidLayout layout = vfw::XvidLayout::Bgr24;
    int width = 0, height = 0, bitCount = 0; // of the pictures that come
    // An odd side is made even with a black column or row (XviD codes whole chroma samples),
    // as the merge does: the picture is copied top-down into this buffer first.
    bool padded = false;
    std::vector<uint8_t> pad;
    int padStride = 0;
    std::unique_ptr<vfw::Mp3Encoder> mp3;
    int64_t lastSlot = -1;      // of the last frame encoded
    int64_t mp3Frames = 0;      // MP3 frames written
    int64_t voiceOut = 0;       // sample frames of voice handed to the MP3 encoder
    int64_t voiceCut = 0;       // sample frames cut from the voice's start (negative: silence)
    bool voicePlaced = false;   // voiceCut is known
    std::deque<Item> heldSound; // until the voice's place is known
};

LiveCompression::LiveCompression(LiveSettings settings) : settings_(std::move(settings)) {
    tap_ = std::make_shared<Tap>(this);
    if (!settings_.voice) voiceAtFirstFrameKnown_ = true;
    thread_ = std::thread([this] { run(); });
    spillThread_ = std::thread([this] { spill(); });
}

LiveCompression::~LiveCompression() {
    tap_->detach();
    {
        std::lock_guard lock(m_);
        ended_ = true;
        if (!done_) {
            if (failure_.empty()) failure_ = "the recording was given up";
            done_ = true;
        }
        dropWaiting();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (spillThread_.joinable()) spillThread_.join();
    if (spoolFd_ >= 0) ::close(spoolFd_);
    // A file that was not moved to its name (given up, or its save cancelled) goes.
    std::error_code ec;
    std::filesystem::remove(settings_.path, ec);
    std::filesystem::remove(queuePath(), ec);
}

void LiveCompression::recycle(Item& item) {
    if (settings_.framePool && item.kind == Item::Frame)
        settings_.framePool->give(std::move(item.dib));
}

void LiveCompression::dropWaiting() {
    for (Item& item : queue_)
        recycle(item);
    queue_.clear();
    queuedBytes_ = 0;
    spooled_.clear();
    spooledBytes_ = 0;
    ++spoolGeneration_;
}

std::shared_ptr<platform::dshow::SoundTap> LiveCompression::soundTap() {
    return tap_;
}

void LiveCompression::frame(int64_t slot, platform::screen::PackedDib&& dib) {
    if (!dib.valid()) return;
    if (!sizeChecked_) {
        // Only the grabbing thread calls this.
        sizeChecked_ = true;
        const auto& h = dib.header();
        const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
        const double perSecond = settings_.recordInterval > 0
                                     ? 1000.0 / settings_.recordInterval
                                     : double(std::max(settings_.playbackRate, 1));
        if (double(h.biWidth) * height * perSecond > MaxPixelsPerSecond) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "%d x %d pictures at %.0f frames a second are too many to compress while "
                          "recording",
                          int(h.biWidth), height, perSecond);
            giveUp(text);
            if (settings_.framePool) settings_.framePool->give(std::move(dib));
            return;
        }
    }
    Item item;
    item.kind = Item::Frame;
    item.slot = slot;
    const size_t bytes = dib.imageSize();
    item.dib = std::move(dib);
    push(std::move(item), bytes);
}

void LiveCompression::pushSound(const SoundPiece& piece) {
    if (!settings_.voice || piece.bytes == 0) return;
    if (!piece.s16 || piece.rate != settings_.voiceRate ||
        piece.channels != settings_.voiceChannels) {
        giveUp("the voice came as " + std::to_string(piece.rate) + " Hz, " +
               std::to_string(piece.channels) + " channels" + (piece.s16 ? "" : ", not 16-bit") +
               ", not as the recording was set up");
        return;
    }
    Item item;
    item.kind = Item::Sound;
    item.slot = int64_t(piece.at);
    item.pcm.assign(piece.data, piece.data + piece.bytes);
    push(std::move(item), piece.bytes);
}

void LiveCompression::push(Item&& item, size_t bytes) {
    {
        std::lock_guard lock(m_);
        if (ended_ || done_) {
            recycle(item); // the grabber takes it again instead of a fresh allocation
            return;
        }
        if (queuedBytes_ + bytes > 2 * settings_.memoryLimit) {
            // Twice the memory limit: the queue file cannot take the pieces as fast as they
            // come either. The merge of the temporary files saves the recording instead.
            failure_ = "the live compression fell " +
                       std::to_string(queue_.size() + spooled_.size()) + " pieces behind (" +
                       std::to_string(queuedBytes_ >> 20) + " MB waiting in memory, " +
                       std::to_string(spooledBytes_ >> 20) + " MB on disk)";
            dropWaiting();
            recycle(item);
            done_ = true;
        } else {
            queue_.push_back(std::move(item));
            queuedBytes_ += bytes;
        }
    }
    changed_.notify_all();
}

void LiveCompression::giveUp(const std::string& why) {
    {
        std::lock_guard lock(m_);
        if (failure_.empty()) failure_ = why;
        dropWaiting();
        done_ = true;
    }
    changed_.notify_all();
}

void LiveCompression::setVoiceAtFirstFrame(int64_t time) {
    {
        std::lock_guard lock(m_);
        voiceAtFirstFrame_ = time;
        voiceAtFirstFrameKnown_ = true;
    }
    changed_.notify_all();
}

bool LiveCompression::failed(std::string* why) const {
    std::lock_guard lock(m_);
    if (why) *why = failure_;
    return !failure_.empty();
}

LiveCompression::Figures LiveCompression::figures() const {
    std::lock_guard lock(m_);
    Figures f = figures_;
    f.queuedBytes = queuedBytes_;
    f.spooledBytes = spooledBytes_;
    return f;
}

void LiveCompression::holdEncoderForTest(bool held) {
    {
        std::lock_guard lock(m_);
        held_ = held;
    }
    changed_.notify_all();
}

void LiveCompression::killEncoderForTest() {
    {
        std::lock_guard lock(m_);
        killed_ = true;
    }
    changed_.notify_all();
}

bool LiveCompression::finish(const std::function<void()>& whileWaiting,
                             std::chrono::milliseconds stall, std::string* why) {
    {
        std::lock_guard lock(m_);
        ended_ = true;
    }
    changed_.notify_all();
    Figures last = figures();
    auto lastMove = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return done_; }))
                break;
        }
        if (whileWaiting) whileWaiting();
        const Figures now = figures();
        if (now.frames != last.frames || now.voiceSeconds != last.voiceSeconds ||
            now.queuedBytes != last.queuedBytes || now.spooledBytes != last.spooledBytes) {
            last = now;
            lastMove = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastMove > stall) {
            giveUp("the live compression stood still");
            break;
        }
    }
    if (thread_.joinable()) thread_.join();
    if (spillThread_.joinable()) spillThread_.join();
    std::lock_guard lock(m_);
    if (why) *why = failure_;
    return complete_;
}

bool LiveCompression::keepsUp(EncoderSpeed& speed, double frameCpuMs, std::string* why) const {
    // The first frame (a key frame, and the encoder's set-up) is not typical: the next ones
    // tell the encoder's pace.
    if (settings_.recordInterval <= 0 || ++speed.frames == 1 || speed.judged) return true;
    speed.cpuMs += frameCpuMs;
    if (speed.frames < 1 + SpeedSampleFrames) return true;
    speed.judged = true;
    const double perFrame = speed.cpuMs / SpeedSampleFrames;
    if (perFrame <= TooSlowFactor * settings_.recordInterval) return true;
    // Even with a core to itself the encoder could not follow: the queue would only grow until
    // the memory and the queue file give out, taking the grabber's time for its frames all
    // the while. The merge after the stop does the work instead.
    char text[160];
    std::snprintf(text, sizeof text,
                  "the live compression needs %.0f ms for a frame, more than the %d ms between "
                  "frames",
                  perFrame, settings_.recordInterval);
    *why = text;
    return false;
}

void LiveCompression::run() {
    // Below the grabber and the user interface: the frames wait, the pacing does not.
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), EncoderNice);
    Encoder e;
    EncoderSpeed speed;
    std::string why;
    bool ok = true;
    for (;;) {
        Item item;
        bool placed = false;
        int64_t voiceAt = 0;
        if (!next(&item, &placed, &voiceAt, &ok)) break;
        if (placed && !e.voicePlaced) {
            e.voicePlaced = true;
            e.voiceCut = voiceAt * int64_t(std::max(settings_.voiceRate, 1)) / 10000000;
        }
        const bool isFrame = item.kind == Item::Frame;
        const double cpuBefore = isFrame ? threadCpuMs() : 0;
        ok = encode(e, item, &why);
        recycle(item);
        if (!ok) break;
        if (isFrame && !keepsUp(speed, threadCpuMs() - cpuBefore, &why)) {
            ok = false;
            break;
        }
    }
    if (ok) {
        // The end: sound still held (the voice's place never came: it starts with the video),
        // the encoders' tails, the index.
        if (!e.voicePlaced) {
            e.voicePlaced = true;
            e.voiceCut = 0;
        }
        Item none;
        none.kind = Item::Sound;
        ok = encode(e, none, &why);
        auto mp3Sink = [&](const uint8_t* data, size_t size, std::string* err) {
            return e.mux->writePacket(e.audioStream, e.mp3Frames++, data, size, 1, true, err);
        };
        // The stop came during the last frame, which stands until its end: the voice is
        // filled with silence to there, so both streams end together.
        if (ok && e.mp3 && e.lastSlot >= 0) {
            const int64_t videoEnd = (e.lastSlot + 1) * int64_t(settings_.voiceRate) /
                                     int64_t(std::max(settings_.playbackRate, 1));
            if (videoEnd > e.voiceOut) {
                const std::vector<int16_t> silence(
                    size_t(videoEnd - e.voiceOut) * size_t(settings_.voiceChannels), 0);
                ok = e.mp3->encode(silence.data(), size_t(videoEnd - e.voiceOut), mp3Sink, &why);
                e.voiceOut = videoEnd;
            }
        }
        if (ok && e.mp3) ok = e.mp3->finish(mp3Sink, &why);
        if (ok && !e.mux) {
            ok = false;
            why = "no picture was recorded";
        }
        if (ok) ok = e.mux->finish(&why);
    }
    if (e.mux && !ok) {
        std::string ignored;
        e.mux->close(&ignored);
    }
    std::lock_guard lock(m_);
    if (!ok && failure_.empty()) failure_ = why.empty() ? "the live compression failed" : why;
    // What still waits is of no use now: the frames go back to the grabber.
    if (!ok) dropWaiting();
    complete_ = ok;
    done_ = true;
    changed_.notify_all();
}

bool LiveCompression::next(Item* item, bool* placed, int64_t* voiceAt, bool* ok) {
    Spooled from;
    int fd = -1;
    {
        std::unique_lock lock(m_);
        changed_.wait(lock, [this] {
            if (killed_ || done_) return true;
            if (held_) return false;
            // The queue file's pieces come first, each once it is written.
            if (!spooled_.empty()) return spooled_.front().written;
            return !queue_.empty() || ended_;
        });
        if (killed_) {
            failure_ = "the live encoder ended unexpectedly";
            *ok = false;
            return false;
        }
        if (done_) {
            *ok = false; // given up from another thread
            return false;
        }
        *placed = voiceAtFirstFrameKnown_;
        *voiceAt = voiceAtFirstFrame_;
        if (spooled_.empty()) {
            if (queue_.empty()) return false; // ended, all encoded
            *item = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= item->kind == Item::Frame ? item->dib.imageSize() : item->pcm.size();
            return true;
        }
        from = spooled_.front();
        spooled_.pop_front();
        fd = spoolFd_;
    }
    std::string why;
    const bool read = readSpooled(from, fd, item, &why);
    std::lock_guard lock(m_);
    if (!read) {
        if (failure_.empty()) failure_ = why;
        *ok = false;
        return false;
    }
    spooledBytes_ -= from.bytes;
    // Nothing waits on disk and nothing is being written (a piece being written is listed):
    // the next piece goes to the file's start again.
    if (spooled_.empty()) spoolEnd_ = 0;
    return true;
}

bool LiveCompression::readSpooled(const Spooled& from, int fd, Item* item, std::string* why) {
    item->kind = from.kind;
    item->slot = from.slot;
    uint8_t* to = nullptr;
    if (from.kind == Item::Frame) {
        item->dib =
            settings_.framePool
                ? settings_.framePool->take(from.width, from.height, from.bitCount)
                : platform::screen::PackedDib::create(from.width, from.height, from.bitCount);
        if (!item->dib.valid() || item->dib.size() != from.bytes) {
            *why = "no memory for a picture read back from the queue file";
            return false;
        }
        to = item->dib.data();
    } else {
        item->pcm.resize(from.bytes);
        to = item->pcm.data();
    }
    for (size_t done = 0; done < from.bytes;) {
        const ssize_t n = ::pread(fd, to + done, from.bytes - done, off_t(from.offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "cannot read the queue file \"" + queuePath() +
                   "\": " + (n < 0 ? std::strerror(errno) : "it ends early");
            return false;
        }
        done += size_t(n);
    }
    return true;
}

void LiveCompression::spill() {
    // Below the grabber too: the frames waiting in memory may grow, the pacing may not suffer.
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), EncoderNice);
    std::unique_lock lock(m_);
    for (;;) {
        changed_.wait(lock,
                      [this] { return done_ || ended_ || queuedBytes_ > settings_.memoryLimit; });
        // At the end nothing more comes: what is in memory stays there.
        if (done_ || ended_) return;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        const bool isFrame = item.kind == Item::Frame;
        queuedBytes_ -= isFrame ? item.dib.imageSize() : item.pcm.size();
        Spooled s;
        s.kind = item.kind;
        s.slot = item.slot;
        if (isFrame) {
            const auto& h = item.dib.header();
            s.width = h.biWidth;
            s.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
            s.bitCount = h.biBitCount;
        }
        s.bytes = isFrame ? item.dib.size() : item.pcm.size();
        if (spooledBytes_ + s.bytes > settings_.diskLimit) {
            failure_ = "the live compression fell behind by more than the queue file may hold (" +
                       std::to_string(settings_.diskLimit >> 20) + " MB)";
            dropWaiting();
            done_ = true;
            changed_.notify_all();
            return;
        }
        s.offset = spoolEnd_;
        spoolEnd_ += s.bytes;
        spooledBytes_ += s.bytes;
        figures_.spilledBytes += s.bytes;
        spooled_.push_back(s);
        // The entry stays in place until it is marked written (the encoder waits for that),
        // unless everything waiting is dropped: the generation tells.
        Spooled& listed = spooled_.back();
        const uint64_t generation = spoolGeneration_;
        int fd = spoolFd_;
        lock.unlock();

        std::string why;
        if (fd < 0) {
            fd = ::open(queuePath().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0)
                why = "cannot make the queue file \"" + queuePath() + "\": " + std::strerror(errno);
        }
        const uint8_t* bytes = isFrame ? item.dib.data() : item.pcm.data();
        for (size_t done = 0; fd >= 0 && why.empty() && done < s.bytes;) {
            const ssize_t n = ::pwrite(fd, bytes + done, s.bytes - done, off_t(s.offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                why = "cannot write the queue file \"" + queuePath() +
                      "\": " + std::strerror(n < 0 ? errno : ENOSPC);
            else
                done += size_t(n);
        }
        recycle(item);

        lock.lock();
        spoolFd_ = fd;
        if (!why.empty()) {
            if (failure_.empty()) failure_ = why;
            dropWaiting();
            done_ = true;
            changed_.notify_all();
            return;
        }
        if (generation == spoolGeneration_) listed.written = true;
        changed_.notify_all();
    }
}

// Encodes one frame or one piece of sound (an empty piece: the held sound only).
bool LiveCompression::encode(Encoder& e, Item& item, std::string* why) {
    if (item.kind == Item::Frame) {
        const auto& h = item.dib.header();
        if (!e.mux) {
            // The first frame decides the picture; the header is written with it.
            e.width = h.biWidth;
            e.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
            e.bitCount = h.biBitCount;
            if (e.bitCount != 24 && e.bitCount != 32) {
                *why = "pictures of " + std::to_string(e.bitCount) + " bits are not encoded live";
                return false;
            }
            e.layout = e.bitCount == 24 ? vfw::XvidLayout::Bgr24 : vfw::XvidLayout::Bgrx32;
            e.padded = e.width % 2 || e.height % 2;
            const int evenWidth = e.width + e.width % 2, evenHeight = e.height + e.height % 2;
            if (e.padded) {
                e.padStride = evenWidth * (e.bitCount / 8);
                e.pad.assign(size_t(e.padStride) * size_t(evenHeight), 0);
            }
            vfw::XvidSettings xs;
            xs.width = evenWidth;
            xs.height = evenHeight;
            xs.frameNum = 1;
            xs.frameDen = std::max(settings_.playbackRate, 1);
            xs.bitrate = XvidBitrate;
            xs.maxKeyInterval = XvidKeyInterval;
            if (!e.xvid.open(xs, why)) return false;
            e.mux = vfw::AviMuxer::toFile(settings_.path, why);
            if (!e.mux) return false;
            vfw::AviVideoFormat vf;
            vf.fourcc = vfw::fourccXVID;
            vf.width = evenWidth;
            vf.height = evenHeight;
            vf.bitCount = 24;
            vf.rateNum = std::max(settings_.playbackRate, 1);
            vf.rateDen = 1;
            vf.bitRate = int64_t(XvidBitrate) * 1000;
            e.videoStream = e.mux->addVideo(vf, why);
            if (e.videoStream < 0) return false;
            if (settings_.voice) {
                e.mp3 = vfw::Mp3Encoder::open(settings_.voiceRate, settings_.voiceChannels,
                                              Mp3Bitrate, why);
                if (!e.mp3) return false;
                vfw::AviAudioFormat af;
                af.waveTag = vfw::waveTagMP3;
                af.rate = settings_.voiceRate;
                af.channels = settings_.voiceChannels;
                af.frameSize = e.mp3->frameSize();
                af.bitRate = int64_t(Mp3Bitrate) * 1000;
                e.audioStream = e.mux->addAudio(af, why);
                if (e.audioStream < 0) return false;
            }
            if (!e.mux->writeHeader(why)) return false;
        }
        const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
        if (h.biWidth != e.width || height != e.height || h.biBitCount != e.bitCount) {
            *why = "the picture changed its size while recording";
            return false;
        }
        vfw::XvidPicture picture;
        picture.layout = e.layout;
        picture.plane[0] = item.dib.bits();
        picture.stride[0] = int(item.dib.imageSize() / size_t(std::max(height, 1)));
        picture.bottomUp = h.biHeight > 0;
        if (e.padded) {
            const size_t rowBytes = size_t(e.width) * size_t(e.bitCount / 8);
            for (int y = 0; y < height; ++y) {
                const int from = picture.bottomUp ? height - 1 - y : y;
                std::memcpy(e.pad.data() + size_t(y) * size_t(e.padStride),
                            item.dib.bits() + size_t(from) * size_t(picture.stride[0]), rowBytes);
            }
            picture.plane[0] = e.pad.data();
            picture.stride[0] = e.padStride;
            picture.bottomUp = false;
        }
        vfw::XvidFrame out;
        if (!e.xvid.encode(picture, false, out, why)) return false;
        if (out.size > 0 &&
            !e.mux->writePacket(e.videoStream, item.slot, out.data, out.size, 1, out.keyFrame, why))
            return false;
        e.lastSlot = item.slot;
        std::lock_guard lock(m_);
        ++figures_.frames;
        return true;
    }

    // Sound: held until the header is written and the voice's place is known.
    if (!item.pcm.empty()) e.heldSound.push_back(std::move(item));
    if (!e.mux || !e.voicePlaced || !e.mp3) return true;
    const int channels = settings_.voiceChannels;
    const size_t frameBytes = size_t(channels) * 2;
    auto mp3Sink = [&](const uint8_t* data, size_t size, std::string* err) {
        return e.mux->writePacket(e.audioStream, e.mp3Frames++, data, size, 1, true, err);
    };
    while (!e.heldSound.empty()) {
        Item piece = std::move(e.heldSound.front());
        e.heldSound.pop_front();
        int64_t frames = int64_t(piece.pcm.size() / frameBytes);
        // Where this piece lies in the file's voice: its place in the run less the cut.
        int64_t at = piece.slot - e.voiceCut;
        const auto* pcm = reinterpret_cast<const int16_t*>(piece.pcm.data());
        if (at < e.voiceOut) {
            const int64_t skip = std::min(frames, e.voiceOut - at);
            pcm += skip * channels;
            frames -= skip;
            at += skip;
        }
        if (frames <= 0) continue;
        if (at > e.voiceOut) {
            // The voice began after the first frame (or skipped): silence up to this piece.
            const std::vector<int16_t> silence(size_t(at - e.voiceOut) * size_t(channels), 0);
            if (!e.mp3->encode(silence.data(), size_t(at - e.voiceOut), mp3Sink, why)) return false;
            e.voiceOut = at;
        }
        if (!e.mp3->encode(pcm, size_t(frames), mp3Sink, why)) return false;
        e.voiceOut += frames;
    }
    std::lock_guard lock(m_);
    figures_.voiceSeconds = double(e.voiceOut) / double(std::max(settings_.voiceRate, 1));
    return true;
}

} // namespace recorder
