// Benchmark: encodes a generated 1920x1080 desktop sequence (a gradient wallpaper with icons,
// a text editor being typed into, a picture viewer, a task bar, and a window dragged across
// it all) with our MS Video 1 compressor and with libavcodec's msvideo1 in the same run, and
// prints the CPU time per frame of each, the PSNR of each file as FFmpeg decodes it against
// the source, and the sizes. The last line is
//   speedup=<ours vs ffmpeg, x> psnr_delta_db=<ours minus ffmpeg> size_ratio=<ours / ffmpeg>
//
//   msvc_encoder [FRAMES] [KEY_EVERY]      (default 80 frames, a key frame every 5)
//
// libavcodec's encoder divides the squared error by a fixed 24 before weighing it against
// bytes; our quality 6550 gives the same divisor, so both code at matching quality.
#include "platform/vfw/AviFile.h"
#include "platform/vfw/Compressor.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

using namespace platform;
using namespace testsupport;

namespace {

constexpr int Width = 1920, Height = 1080;
constexpr int OurQuality = 6550;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// ---- The generated desktop --------------------------------------------------------------

struct Rgb {
    int r, g, b;
};

uint32_t pack(Rgb c) {
    auto clamp = [](int v) { return uint32_t(std::clamp(v, 0, 255)); };
    return clamp(c.b) | clamp(c.g) << 8 | clamp(c.r) << 16;
}

Rgb mix(Rgb a, Rgb b, int t, int scale) { // a + (b - a) * t / scale
    return {a.r + (b.r - a.r) * t / scale, a.g + (b.g - a.g) * t / scale,
            a.b + (b.b - a.b) * t / scale};
}

// Text-like glyphs: a random 5x7 bitmap per letter, drawn into an 8x14 cell at a scale that
// does not divide the pixel grid, so their edges come out anti-aliased (coverage 0..16).
class Font {
  public:
    static constexpr int CellW = 8, CellH = 14;
    Font() {
        uint32_t seed = 2024;
        for (int c = 0; c < 26; ++c) {
            bool bits[7][5];
            for (auto& row : bits)
                for (bool& b : row) {
                    seed = seed * 1664525u + 1013904223u;
                    b = (seed >> 24) % 100 < 45;
                }
            for (int y = 0; y < CellH; ++y)
                for (int x = 0; x < CellW; ++x) {
                    int cover = 0;
                    for (int sy = 0; sy < 4; ++sy)
                        for (int sx = 0; sx < 4; ++sx) {
                            // The glyph spans 6.5 x 10 pixels from (1, 2) of the cell.
                            const double gx = (x + (sx + 0.5) / 4 - 1) * 5 / 6.5;
                            const double gy = (y + (sy + 0.5) / 4 - 2) * 7 / 10.0;
                            if (gx >= 0 && gx < 5 && gy >= 0 && gy < 7 && bits[int(gy)][int(gx)])
                                ++cover;
                        }
                    coverage_[c][y][x] = uint8_t(cover);
                }
        }
    }
    int cover(int letter, int x, int y) const { return coverage_[letter % 26][y][x]; }

  private:
    uint8_t coverage_[26][CellH][CellW];
};

// A top-down 0x00RRGGBB canvas.
struct Canvas {
    int w, h;
    std::vector<uint32_t> px;
    Canvas(int w, int h) : w(w), h(h), px(size_t(w) * size_t(h)) {}
    void fill(int x0, int y0, int ww, int hh, Rgb c) {
        for (int y = std::max(0, y0); y < std::min(h, y0 + hh); ++y)
            for (int x = std::max(0, x0); x < std::min(w, x0 + ww); ++x)
                px[size_t(y) * size_t(w) + size_t(x)] = pack(c);
    }
    Rgb at(int x, int y) const {
        const uint32_t v = px[size_t(y) * size_t(w) + size_t(x)];
        return {int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)};
    }
    void text(const Font& font, int x0, int y0, const std::string& s, Rgb ink) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == ' ') continue;
            const int cx = x0 + int(i) * Font::CellW;
            for (int y = 0; y < Font::CellH; ++y)
                for (int x = 0; x < Font::CellW; ++x) {
                    const int X = cx + x, Y = y0 + y;
                    const int c = font.cover(s[i] - 'a', x, y);
                    if (c == 0 || X < 0 || Y < 0 || X >= w || Y >= h) continue;
                    px[size_t(Y) * size_t(w) + size_t(X)] = pack(mix(at(X, Y), ink, c, 16));
                }
        }
    }
};

std::string words(uint32_t seed, int letters) {
    std::string s;
    while (int(s.size()) < letters) {
        seed = seed * 1103515245u + 12345u;
        const int len = 2 + int((seed >> 16) % 8);
        for (int i = 0; i < len && int(s.size()) < letters; ++i) {
            seed = seed * 1103515245u + 12345u;
            s += char('a' + (seed >> 16) % 26);
        }
        s += ' ';
    }
    return s.substr(0, size_t(letters));
}

void window(Canvas& c, const Font& font, int x, int y, int w, int h, uint32_t seed) {
    c.fill(x - 1, y - 1, w + 2, h + 2, {60, 60, 64}); // border
    for (int i = 0; i < w; ++i)
        c.fill(x + i, y, 1, 26, mix({30, 70, 170}, {90, 150, 230}, i, w)); // title bar
    c.text(font, x + 10, y + 6, words(seed, 24), {255, 255, 255});
    c.fill(x, y + 26, w, h - 26, {246, 246, 246});
    for (int line = 0; 40 + line * 18 + Font::CellH < h; ++line)
        c.text(font, x + 12, y + 36 + line * 18, words(seed + 77 * uint32_t(line), (w - 24) / 8),
               {24, 24, 28});
}

// The parts that never move: wallpaper, desktop icons, task bar, a picture viewer, an editor.
Canvas background(const Font& font) {
    Canvas c(Width, Height);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            c.px[size_t(y) * Width + size_t(x)] =
                pack({20 + 40 * y / Height, 60 + 50 * y / Height + 12 * x / Width,
                      120 + 60 * y / Height});
    for (int i = 0; i < 7; ++i) { // icons with labels
        const int x = 24, y = 24 + i * 100;
        for (int k = 0; k < 48; ++k)
            c.fill(x + k, y, 1, 48, mix({200, 80 + 20 * i, 40}, {250, 200, 60 + 25 * i}, k, 48));
        c.text(font, x - 8, y + 54, words(900 + uint32_t(i), 8), {255, 255, 255});
    }
    c.fill(0, Height - 40, Width, 40, {32, 32, 36}); // task bar
    for (int i = 0; i < 12; ++i)
        for (int k = 0; k < 28; ++k)
            c.fill(60 + i * 44 + k, Height - 34, 1, 28,
                   mix({40 + 15 * i, 120, 200 - 12 * i}, {240, 240, 240}, k, 40));
    c.text(font, Width - 90, Height - 27, "nine five", {230, 230, 230});
    // Picture viewer: a smooth photo-like picture.
    window(c, font, 1300, 140, 560, 460, 31);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 528; ++x) {
            const double v = std::sin(x * 0.021) + std::cos(y * 0.017) + std::sin((x + y) * 0.011);
            const double u = std::cos(x * 0.013 - y * 0.008);
            c.fill(1316 + x, 182 + y, 1, 1,
                   {int(120 + 60 * v), int(110 + 50 * u + 20 * v), int(90 + 70 * u)});
        }
    window(c, font, 260, 60, 960, 700, 7); // editor
    return c;
}

// Frame i: the background, text typed into the editor, and a window dragged across.
class Sequence {
  public:
    Sequence() : base_(background(font_)), frame_(Width, Height) {}

    // Writes frame i into dib (32 bits, rows bottom-up).
    void render(int i, screen::PackedDib& dib) {
        frame_.px = base_.px;
        const std::string typed = words(4242, 2 + i);
        frame_.fill(272, 60 + 36 + 38 * 18 - 2, 940, 18, {246, 246, 246});
        frame_.text(font_, 272, 60 + 36 + 38 * 18, typed, {24, 24, 28});
        if (i / 8 % 2 == 0) // caret
            frame_.fill(272 + int(typed.size()) * 8, 60 + 36 + 38 * 18 - 1, 2, 16, {0, 0, 0});
        window(frame_, font_, 180 + 11 * i, 260 + 5 * i, 700, 420, 99);
        for (int y = 0; y < Height; ++y) {
            uint8_t* row = dib.rowFromTop(y);
            std::memcpy(row, frame_.px.data() + size_t(y) * Width, size_t(Width) * 4);
        }
    }

  private:
    Font font_;
    Canvas base_, frame_;
};

// ---- Encoding ---------------------------------------------------------------------------

struct Result {
    std::string path;
    double seconds = 0, keySeconds = 0, slowest = 0;
    int keyFrames = 0;
    size_t bytes = 0;
    double psnr = 0;
    long decoded = 0;
};

// Passes pictures to a compressor and adds up the CPU time it takes.
class Timed final : public vfw::VideoCompressor {
  public:
    Timed(std::unique_ptr<vfw::VideoCompressor> inner, Result& result)
        : inner_(std::move(inner)), result_(result) {}
    uint32_t fourcc() const override { return inner_->fourcc(); }
    int outputBitCount() const override { return inner_->outputBitCount(); }
    bool accepts(const screen::BitmapInfoHeader& in, std::string* error) const override {
        return inner_->accepts(in, error);
    }
    bool begin(const screen::BitmapInfoHeader& in, const screen::RgbQuad* palette,
               const vfw::CompressorSettings& settings, std::string* error) override {
        return inner_->begin(in, palette, settings, error);
    }
    bool compress(const uint8_t* bits, vfw::CompressedSample& out, std::string* error) override {
        const double t0 = cpuSeconds();
        const bool ok = inner_->compress(bits, out, error);
        const double t = cpuSeconds() - t0;
        result_.seconds += t;
        result_.slowest = std::max(result_.slowest, t);
        if (out.keyFrame) {
            result_.keySeconds += t;
            ++result_.keyFrames;
        }
        result_.bytes += out.data.size();
        return ok;
    }

  private:
    std::unique_ptr<vfw::VideoCompressor> inner_;
    Result& result_;
};

std::shared_ptr<vfw::AviStream> openStream(const std::string& path, int keyEvery,
                                           std::unique_ptr<vfw::VideoCompressor> codec,
                                           std::shared_ptr<vfw::AviFile>& file,
                                           const screen::PackedDib& format) {
    std::string error;
    file = vfw::AviFile::open(path, vfw::OF_WRITE | vfw::OF_CREATE, &error);
    if (!file) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    vfw::AviStreamInfo info;
    info.fccType = vfw::streamtypeVIDEO;
    info.scale = 1;
    info.rate = 10;
    info.frame = {0, 0, Width, Height};
    auto plain = file->createStream(info, &error);
    vfw::AviCompressOptions o;
    o.fccType = vfw::streamtypeVIDEO;
    o.fccHandler = vfw::makeFourCC('M', 'S', 'V', 'C');
    o.keyFrameEvery = uint32_t(keyEvery);
    o.quality = OurQuality;
    auto stream = plain ? vfw::makeCompressedStream(plain, o, std::move(codec), &error) : nullptr;
    if (!stream || !stream->setFormat(format.data(), format.formatSize(), &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return stream;
}

// Decodes path with FFmpeg and compares every frame with the source: PSNR over R, G and B.
void measurePsnr(Result& r, Sequence& seq, int frames, screen::PackedDib& dib) {
    const std::string cmd =
        "ffmpeg -v error -i '" + r.path + "' -f rawvideo -pix_fmt bgr0 - 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return;
    std::vector<uint8_t> decoded(size_t(Width) * Height * 4);
    double se = 0;
    long samples = 0;
    for (int i = 0; i < frames; ++i) {
        if (std::fread(decoded.data(), 1, decoded.size(), pipe) != decoded.size()) break;
        ++r.decoded;
        seq.render(i, dib);
        for (int y = 0; y < Height; ++y) {
            const uint8_t* src = dib.rowFromTop(y);
            const uint8_t* dec = decoded.data() + size_t(y) * Width * 4;
            for (int x = 0; x < Width * 4; ++x) {
                if ((x & 3) == 3) continue;
                const int d = int(src[x]) - int(dec[x]);
                se += d * d;
            }
        }
        samples += long(Width) * Height * 3;
    }
    pclose(pipe);
    const double mse = samples ? se / double(samples) : 0;
    r.psnr = mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // keep our lines after any library messages
    const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 80;
    const int keyEvery = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string dir = scratchDir("bench-msvc");
    Sequence seq;
    screen::PackedDib dib = screen::PackedDib::create(Width, Height, 32);

    Result ours, theirs;
    ours.path = dir + "/ours.avi";
    theirs.path = dir + "/ffmpeg.avi";
    {
        std::shared_ptr<vfw::AviFile> fa, fb;
        auto a =
            openStream(ours.path, keyEvery,
                       std::make_unique<Timed>(
                           vfw::VideoCompressor::find(vfw::makeFourCC('M', 'S', 'V', 'C')), ours),
                       fa, dib);
        auto b = openStream(theirs.path, keyEvery,
                            std::make_unique<Timed>(vfw::makeLibavMsVideo1(), theirs), fb, dib);
        std::string error;
        for (int i = 0; i < frames; ++i) {
            seq.render(i, dib);
            if (!a->write(i, dib.bits(), dib.imageSize(), 0, &error) ||
                !b->write(i, dib.bits(), dib.imageSize(), 0, &error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
    }
    for (Result* r : {&ours, &theirs}) {
        measurePsnr(*r, seq, frames, dib);
        const auto probe = probeVideo(r->path);
        auto get = [&](const char* k) { return probe.count(k) ? probe.at(k) : std::string("?"); };
        const CommandResult clean = decodeAll(r->path);
        std::printf("%s: %s (%s) %sx%s at %s fps, %s s, %s frames; decode %s\n", r->path.c_str(),
                    get("codec_name").c_str(), get("codec_tag_string").c_str(),
                    get("width").c_str(), get("height").c_str(), get("r_frame_rate").c_str(),
                    get("duration").c_str(), get("nb_read_frames").c_str(),
                    clean.exitCode == 0 && clean.err.empty() ? "clean"
                                                             : ("FAILED: " + clean.err).c_str());
    }
    std::printf("%d frames of %dx%d, a key frame every %d; ours at quality %d (error divisor "
                "24), ffmpeg msvideo1 at its fixed divisor 24\n",
                frames, Width, Height, keyEvery, OurQuality);
    const double oursMs = ours.seconds * 1000 / frames, theirsMs = theirs.seconds * 1000 / frames;
    for (const Result* r : {&ours, &theirs})
        std::printf("%-7s %7.2f ms CPU/frame (key frames %.2f, slowest %.2f)  PSNR %.3f dB  "
                    "%zu bytes\n",
                    r == &ours ? "ours:" : "ffmpeg:", r->seconds * 1000 / frames,
                    r->keyFrames ? r->keySeconds * 1000 / r->keyFrames : 0.0, r->slowest * 1000,
                    r->psnr, r->bytes);
    if (ours.decoded != frames || theirs.decoded != frames)
        std::printf("warning: ffmpeg decoded %ld and %ld of %d frames\n", ours.decoded,
                    theirs.decoded, frames);
    std::printf("speedup=%.2f psnr_delta_db=%.3f size_ratio=%.3f\n", theirsMs / oursMs,
                ours.psnr - theirs.psnr, double(ours.bytes) / double(theirs.bytes));
    return 0;
}
