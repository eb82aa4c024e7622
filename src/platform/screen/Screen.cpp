#include "Screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::screen {

const char* const ArrowPicture::Rows[ArrowPicture::Height] = {
    "B...........", "BB..........", "BWB.........", "BWWB........", "BWWWB.......",
    "BWWWWB......", "BWWWWWB.....", "BWWWWWWB....", "BWWWWWWWB...", "BWWWWWWWWB..",
    "BWWWWWWWWWB.", "BWWWWWWBBBBB", "BWWWBWWB....", "BWWBBWWB....", "BWB..BWWB...",
    "BB...BWWB...", "B.....BWWB..", "......BWWB..", ".......BB...",
};

namespace {

// X reports protocol errors through one process-wide handler. Ours records the last error
// code so that a refused grab or shared-memory attach turns into a return value instead of
// ending the process, which is what Xlib's default handler would do.
std::atomic<int> lastXError{0};
int recordXError(Display*, XErrorEvent* e) {
    lastXError.store(e->error_code);
    return 0;
}
void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(recordXError); });
}

struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
    uint8_t expand(uint32_t pixel) const {
        if (!bits) return 0;
        uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return uint8_t(v >> (bits - 8));
        // Replicate the top bits so that full scale maps to 255.
        uint32_t out = v << (8 - bits);
        for (int filled = bits; filled < 8; filled += bits)
            out |= out >> bits;
        return uint8_t(out);
    }
};

Channel channelOf(unsigned long mask) {
    Channel c;
    c.mask = uint32_t(mask);
    if (mask) {
        c.shift = std::countr_zero(uint32_t(mask));
        c.bits = std::popcount(uint32_t(mask));
    }
    return c;
}

inline uint32_t readPixel(const uint8_t* row, int x, int bpp) {
    switch (bpp) {
    case 32: {
        uint32_t v;
        std::memcpy(&v, row + 4 * x, 4);
        return v;
    }
    case 24:
        return row[3 * x] | (row[3 * x + 1] << 8) | (uint32_t(row[3 * x + 2]) << 16);
    case 16: {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        return v;
    }
    case 8:
        return row[x];
    default:
        return 0;
    }
}

inline void writePixel(uint8_t* row, int x, int bpp, uint32_t v) {
    switch (bpp) {
    case 32:
        std::memcpy(row + 4 * x, &v, 4);
        break;
    case 24:
        row[3 * x] = uint8_t(v);
        row[3 * x + 1] = uint8_t(v >> 8);
        row[3 * x + 2] = uint8_t(v >> 16);
        break;
    case 16: {
        uint16_t s = uint16_t(v);
        std::memcpy(row + 2 * x, &s, 2);
        break;
    }
    case 8:
        row[x] = uint8_t(v);
        break;
    }
}

// Copies a row of 32-bit pixels, clearing their unused top bytes.
void copyClearingTopBytes(const uint8_t* src, uint8_t* dst, int pixels) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i keep = _mm_set1_epi32(0x00FFFFFF);
    for (; x + 4 <= pixels; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * x), _mm_and_si128(v, keep));
    }
#endif
    for (; x < pixels; ++x) {
        uint32_t v;
        std::memcpy(&v, src + 4 * x, 4);
        v &= 0x00FFFFFF;
        std::memcpy(dst + 4 * x, &v, 4);
    }
}

} // namespace

struct ScreenConnection::Impl {
    Display* dpy = nullptr;
    int screen = 0;
    Window root = 0;
    Visual* visual = nullptr;
    ScreenMetrics metrics;
    bool trueColour = true;
    Channel red, green, blue;
    bool fixes = false;

    bool shmAvailable = false;
    XImage* shmImage = nullptr;
    XShmSegmentInfo shmInfo{};
    std::vector<uint8_t> own; // pixels of a grab that did not go through shared memory

    void freeShm() {
        if (!shmImage) return;
        XShmDetach(dpy, &shmInfo);
        XSync(dpy, False);
        XDestroyImage(shmImage);
        shmdt(shmInfo.shmaddr);
        shmImage = nullptr;
    }

    bool ensureShm(int w, int h) {
        if (shmImage && shmImage->width == w && shmImage->height == h) return true;
        freeShm();
        XImage* img = XShmCreateImage(dpy, visual, unsigned(metrics.depth), ZPixmap, nullptr,
                                      &shmInfo, unsigned(w), unsigned(h));
        if (!img) return false;
        shmInfo.shmid =
            shmget(IPC_PRIVATE, size_t(img->bytes_per_line) * size_t(h), IPC_CREAT | 0600);
        if (shmInfo.shmid < 0) {
            XDestroyImage(img);
            return false;
        }
        shmInfo.shmaddr = img->data = static_cast<char*>(shmat(shmInfo.shmid, nullptr, 0));
        // Marked for removal now: the segment goes away with the last detach, even if this
        // process dies.
        shmctl(shmInfo.shmid, IPC_RMID, nullptr);
        if (shmInfo.shmaddr == reinterpret_cast<char*>(-1)) {
            img->data = nullptr;
            XDestroyImage(img);
            return false;
        }
        shmInfo.readOnly = False;
        lastXError.store(0);
        XShmAttach(dpy, &shmInfo);
        XSync(dpy, False);
        if (lastXError.load() != 0) {
            // The server cannot reach our memory (a remote display): use plain grabs.
            shmdt(shmInfo.shmaddr);
            img->data = nullptr;
            XDestroyImage(img);
            shmAvailable = false;
            return false;
        }
        shmImage = img;
        return true;
    }

    ~Impl() {
        if (dpy) {
            freeShm();
            XCloseDisplay(dpy);
        }
    }
};

ScreenConnection::ScreenConnection(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
ScreenConnection::~ScreenConnection() = default;

std::unique_ptr<ScreenConnection> ScreenConnection::open(std::string* error,
                                                         const char* displayName) {
    installErrorHandler();
    auto impl = std::make_unique<Impl>();
    impl->dpy = XOpenDisplay(displayName);
    if (!impl->dpy) {
        const char* name = displayName ? displayName : std::getenv("DISPLAY");
        if (error)
            *error = std::string("cannot open X display \"") + (name ? name : "") +
                     "\" (is DISPLAY set and the X server running?)";
        return nullptr;
    }
    Impl& d = *impl;
    d.screen = DefaultScreen(d.dpy);
    d.root = RootWindow(d.dpy, d.screen);
    d.visual = DefaultVisual(d.dpy, d.screen);
    d.metrics.width = DisplayWidth(d.dpy, d.screen);
    d.metrics.height = DisplayHeight(d.dpy, d.screen);
    d.metrics.depth = DefaultDepth(d.dpy, d.screen);
    d.metrics.bitsPerPixel = d.metrics.depth;
    int count = 0;
    if (XPixmapFormatValues* formats = XListPixmapFormats(d.dpy, &count)) {
        for (int i = 0; i < count; ++i)
            if (formats[i].depth == d.metrics.depth)
                d.metrics.bitsPerPixel = formats[i].bits_per_pixel;
        XFree(formats);
    }
    d.trueColour = d.visual->c_class == TrueColor || d.visual->c_class == DirectColor;
    d.red = channelOf(d.visual->red_mask);
    d.green = channelOf(d.visual->green_mask);
    d.blue = channelOf(d.visual->blue_mask);
    int major = 0, minor = 0;
    Bool pixmaps = False;
    d.shmAvailable = XShmQueryVersion(d.dpy, &major, &minor, &pixmaps) == True;
    int eventBase = 0, errorBase = 0;
    d.fixes = XFixesQueryExtension(d.dpy, &eventBase, &errorBase) == True;
    return std::unique_ptr<ScreenConnection>(new ScreenConnection(std::move(impl)));
}

ScreenMetrics ScreenConnection::metrics() const {
    return d->metrics;
}
bool ScreenConnection::usesSharedMemory() const {
    return d->shmAvailable;
}
void* ScreenConnection::nativeDisplay() const {
    return d->dpy;
}

bool ScreenConnection::grab(const Rect& r, ScreenImage& out, std::string* error) {
    if (r.w <= 0 || r.h <= 0) {
        if (error) *error = "empty rectangle";
        return false;
    }
    const int sx0 = std::max(r.x, 0), sy0 = std::max(r.y, 0);
    const int sx1 = std::min(r.x + r.w, d->metrics.width);
    const int sy1 = std::min(r.y + r.h, d->metrics.height);
    const bool inside = sx0 == r.x && sy0 == r.y && sx1 == r.x + r.w && sy1 == r.y + r.h;
    const int bpp = d->metrics.bitsPerPixel;

    if (inside && d->shmAvailable && d->ensureShm(r.w, r.h)) {
        lastXError.store(0);
        if (XShmGetImage(d->dpy, d->root, d->shmImage, r.x, r.y, AllPlanes) && lastXError == 0) {
            out = {reinterpret_cast<uint8_t*>(d->shmImage->data), r.w, r.h,
                   d->shmImage->bytes_per_line, d->shmImage->bits_per_pixel};
            return true;
        }
    }

    // Plain grab into our own buffer; the parts outside the screen stay zero.
    const int stride = ((r.w * bpp + 31) / 32) * 4;
    d->own.assign(size_t(stride) * size_t(r.h), 0);
    out = {d->own.data(), r.w, r.h, stride, bpp};
    if (sx1 <= sx0 || sy1 <= sy0) return true;
    lastXError.store(0);
    XImage* img = XGetImage(d->dpy, d->root, sx0, sy0, unsigned(sx1 - sx0), unsigned(sy1 - sy0),
                            AllPlanes, ZPixmap);
    if (!img) {
        if (error)
            *error = "XGetImage refused " + std::to_string(r.w) + "x" + std::to_string(r.h) + "+" +
                     std::to_string(r.x) + "+" + std::to_string(r.y) + " (X error " +
                     std::to_string(lastXError.load()) + ")";
        return false;
    }
    const int bytesPerPixel = img->bits_per_pixel / 8;
    for (int y = sy0; y < sy1; ++y) {
        const uint8_t* src =
            reinterpret_cast<uint8_t*>(img->data) + size_t(y - sy0) * size_t(img->bytes_per_line);
        uint8_t* dst = d->own.data() + size_t(y - r.y) * size_t(stride) +
                       size_t(sx0 - r.x) * size_t(bytesPerPixel);
        std::memcpy(dst, src, size_t(sx1 - sx0) * size_t(bytesPerPixel));
    }
    XDestroyImage(img);
    return true;
}

bool ScreenConnection::cursorPosition(int& x, int& y) {
    Window rootReturn = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    return XQueryPointer(d->dpy, d->root, &rootReturn, &child, &x, &y, &wx, &wy, &mask) == True;
}

bool ScreenConnection::cursorHotSpot(int& x, int& y) {
    if (!d->fixes) return false;
    XFixesCursorImage* cursor = XFixesGetCursorImage(d->dpy);
    if (!cursor) return false;
    x = cursor->xhot;
    y = cursor->yhot;
    XFree(cursor);
    return true;
}

void ScreenConnection::drawArrow(ScreenImage& image, int x, int y) const {
    const uint32_t black = uint32_t(BlackPixel(d->dpy, d->screen));
    const uint32_t white = uint32_t(WhitePixel(d->dpy, d->screen));
    for (int row = 0; row < ArrowPicture::Height; ++row) {
        const int iy = y + row;
        if (iy < 0 || iy >= image.height) continue;
        uint8_t* line = image.data + size_t(iy) * size_t(image.stride);
        for (int col = 0; col < ArrowPicture::Width; ++col) {
            const int ix = x + col;
            const char c = ArrowPicture::Rows[row][col];
            if (ix < 0 || ix >= image.width || c == '.') continue;
            writePixel(line, ix, image.bitsPerPixel, c == 'B' ? black : white);
        }
    }
}

std::vector<RgbQuad> ScreenConnection::colourTable(int entries) const {
    entries = std::clamp(entries, 0, 256);
    std::vector<RgbQuad> table(static_cast<size_t>(entries));
    if (d->trueColour) {
        // A true-colour screen has no palette; a 3-3-2 cube stands in for it.
        for (int i = 0; i < entries; ++i) {
            table[size_t(i)] = {uint8_t(((i & 3) * 255) / 3), uint8_t((((i >> 2) & 7) * 255) / 7),
                                uint8_t((((i >> 5) & 7) * 255) / 7), 0};
        }
        return table;
    }
    const int mapped = std::min(entries, d->visual->map_entries);
    std::vector<XColor> colours(static_cast<size_t>(mapped));
    for (int i = 0; i < mapped; ++i)
        colours[size_t(i)].pixel = unsigned(i);
    XQueryColors(d->dpy, DefaultColormap(d->dpy, d->screen), colours.data(), mapped);
    for (int i = 0; i < mapped; ++i)
        table[size_t(i)] = {uint8_t(colours[size_t(i)].blue >> 8),
                            uint8_t(colours[size_t(i)].green >> 8),
                            uint8_t(colours[size_t(i)].red >> 8), 0};
    return table;
}

int ScreenConnection::toDib(const ScreenImage& image, PackedDib& dib) {
    const int bitCount = dib.header().biBitCount;
    if (bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32) return 0;
    const int w = std::min(image.width, int(dib.header().biWidth));
    const int h = std::min(image.height, int(dib.header().biHeight));
    const int sbpp = image.bitsPerPixel;
    const Impl& s = *d;
    const bool std32 = sbpp == 32 && s.trueColour && s.red.mask == 0xFF0000 &&
                       s.green.mask == 0xFF00 && s.blue.mask == 0xFF;
    const bool rgb565 = sbpp == 16 && s.trueColour && s.red.mask == 0xF800 &&
                        s.green.mask == 0x07E0 && s.blue.mask == 0x001F;

    std::vector<RgbQuad> palette;
    if (!s.trueColour) palette = colourTable(256);
    if (bitCount == 8) {
        std::vector<RgbQuad> table = palette.empty() ? colourTable(256) : palette;
        std::copy(table.begin(), table.end(), dib.colourTable());
    }

    for (int y = 0; y < h; ++y) {
        const uint8_t* src = image.data + size_t(y) * size_t(image.stride);
        uint8_t* dst = dib.rowFromTop(y);
        if (std32 && bitCount == 32) {
            copyClearingTopBytes(src, dst, w);
            continue;
        }
        if (std32 && bitCount == 24) {
            for (int x = 0; x < w; ++x) {
                dst[3 * x] = src[4 * x];
                dst[3 * x + 1] = src[4 * x + 1];
                dst[3 * x + 2] = src[4 * x + 2];
            }
            continue;
        }
        if (rgb565 && bitCount == 16) {
            for (int x = 0; x < w; ++x) {
                uint16_t p;
                std::memcpy(&p, src + 2 * x, 2);
                const uint16_t q = uint16_t(((p >> 1) & 0x7FE0) | (p & 0x001F));
                std::memcpy(dst + 2 * x, &q, 2);
            }
            continue;
        }
        if (!s.trueColour && sbpp == 8 && bitCount == 8) {
            std::memcpy(dst, src, size_t(w));
            continue;
        }
        for (int x = 0; x < w; ++x) {
            const uint32_t p = readPixel(src, x, sbpp);
            uint8_t r, g, b;
            if (s.trueColour) {
                r = s.red.expand(p);
                g = s.green.expand(p);
                b = s.blue.expand(p);
            } else {
                const RgbQuad q = p < palette.size() ? palette[p] : RgbQuad{};
                r = q.red;
                g = q.green;
                b = q.blue;
            }
            switch (bitCount) {
            case 32:
                writePixel(dst, x, 32, uint32_t(b) | (uint32_t(g) << 8) | (uint32_t(r) << 16));
                break;
            case 24:
                writePixel(dst, x, 24, uint32_t(b) | (uint32_t(g) << 8) | (uint32_t(r) << 16));
                break;
            case 16:
                writePixel(dst, x, 16, uint32_t((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3)));
                break;
            case 8: // a true-colour source into the 3-3-2 stand-in palette
                writePixel(dst, x, 8, uint32_t((b >> 6) | ((g >> 5) << 2) | ((r >> 5) << 5)));
                break;
            }
        }
    }
    return h;
}

} // namespace platform::screen
