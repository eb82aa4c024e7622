// Keeps a screen busy for benchmarks: a window-like panel with text-like rows slides across
// the root window and a few blocks bounce, redrawn 30 times a second until killed.
#include <X11/Xlib.h>

#include <chrono>
#include <thread>

int main() {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return 1;
    const int s = DefaultScreen(dpy);
    const Window root = RootWindow(dpy, s);
    const int w = DisplayWidth(dpy, s), h = DisplayHeight(dpy, s);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    auto colour = [&](unsigned short r, unsigned short g, unsigned short b) {
        XColor c{};
        c.red = r, c.green = g, c.blue = b;
        XAllocColor(dpy, DefaultColormap(dpy, s), &c);
        return c.pixel;
    };
    const unsigned long desk = colour(0x2800, 0x5a00, 0x8c00),
                        panel = colour(0xec00, 0xec00, 0xec00),
                        title = colour(0x1400, 0x3c00, 0xb400),
                        ink = colour(0x1400, 0x1400, 0x1400),
                        block = colour(0xff00, 0x8000, 0x2000);
    XSetForeground(dpy, gc, desk);
    XFillRectangle(dpy, root, gc, 0, 0, unsigned(w), unsigned(h));
    for (int frame = 0;; ++frame) {
        const int px = (frame * 6) % (w / 2), py = h / 6, pw = w / 2, ph = h / 2;
        XSetForeground(dpy, gc, desk);
        XFillRectangle(dpy, root, gc, px - 6 < 0 ? 0 : px - 6, py, 6, unsigned(ph));
        XSetForeground(dpy, gc, panel);
        XFillRectangle(dpy, root, gc, px, py, unsigned(pw), unsigned(ph));
        XSetForeground(dpy, gc, title);
        XFillRectangle(dpy, root, gc, px, py, unsigned(pw), 22);
        XSetForeground(dpy, gc, ink);
        for (int row = 0; row * 16 + 40 < ph; ++row) {
            char line[128];
            int n = 0;
            for (int k = 0; k < 80; ++k)
                line[n++] = char('a' + (row * 7 + k * 3 + frame / 10) % 26);
            XDrawString(dpy, root, gc, px + 8, py + 40 + row * 16, line, n);
        }
        for (int b = 0; b < 4; ++b) {
            const int bx = (frame * (5 + b * 3) + b * 300) % (w - 80);
            const int by = h - 200 + b * 40;
            XSetForeground(dpy, gc, desk);
            XFillRectangle(dpy, root, gc, 0, by, unsigned(w), 30);
            XSetForeground(dpy, gc, block);
            XFillRectangle(dpy, root, gc, bx, by, 60, 30);
        }
        XFlush(dpy);
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
}
