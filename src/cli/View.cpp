// tovamix-cli view: plays a media file for a while in a bare window made of the overlay video
// window and the seek bar on one graph with a sample grabber, as the player shows it, and
// says what was shown. Prints one line:
//   position=S duration=D video=WxH rect=X,Y,W,H source=X,Y,W,H sink=NAME shown=FRAMES
// rect is where the video shows in the window, source the part of the picture shown, sink the
// element that draws, shown the pictures drawn. --screenshot writes the window's area of the
// screen (the whole screen in full screen) as PNG before the window closes.
#include "Cli.h"

#include "dvd/DSVideoWindowEx2.h"
#include "controls/TDSTrackBar.h"
#include "media/TFilterGraph.h"
#include "media/TSampleGrabber.h"
#include "platform/vfw/OutputFile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>

namespace cli {

namespace {

using namespace platform::dshow;

struct ViewArgs {
    std::string file;
    double seconds = 2;
    int width = 320, height = 240;
    bool fullScreen = false;
    dvd::TRatioModes aspect = dvd::rmLetterBox;
    int zoom = 0;
    std::optional<std::array<int, 4>> colours;
    std::string screenshot;
};

std::string rectText(const QRect& r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + "," + std::to_string(r.width()) +
           "," + std::to_string(r.height());
}

int view(const ViewArgs& a) {
    if (const int code = needDisplay("view")) return code;
    std::string why;
    if (!a.screenshot.empty() && !platform::vfw::checkWritable(a.screenshot, &why))
        return fail("cannot write " + a.screenshot + ": " + why);
    application();

    QWidget form;
    form.setObjectName("ViewForm");
    form.setWindowTitle("tovamix view");
    auto* layout = new QVBoxLayout(&form);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* video = new dvd::TDSVideoWindowEx2(&form);
    video->setFixedSize(a.width, a.height);
    auto* bar = new media::TDSTrackBar(&form);
    layout->addWidget(video);
    layout->addWidget(bar);

    media::TFilterGraph graph;
    media::TSampleGrabber grabber;
    grabber.setFilterGraph(&graph);
    video->setFilterGraph(&graph);
    bar->setFilterGraph(&graph);
    struct Detach {
        media::TFilterGraph& g;
        media::TSampleGrabber& s;
        dvd::TDSVideoWindowEx2* v;
        media::TDSTrackBar* b;
        ~Detach() {
            b->setFilterGraph(nullptr);
            v->setFilterGraph(nullptr);
            s.setFilterGraph(nullptr);
        }
    } detach{graph, grabber, video, bar};

    // The settings are checked before anything plays: a bad one is a bad use.
    try {
        video->setAspectRatio(a.aspect);
        video->setDigitalZoom(a.zoom);
        if (a.colours) {
            dvd::TColorControl* c = video->ColorControl();
            c->setBrightness((*a.colours)[0]);
            c->setContrast((*a.colours)[1]);
            c->setHue((*a.colours)[2]);
            c->setSaturation((*a.colours)[3]);
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    form.show();
    try {
        graph.setActive(true);
        graph.RenderFile(a.file);
    } catch (const std::exception& e) {
        return fail("cannot play " + a.file + ": " + e.what());
    }
    bool completed = false;
    graph.OnGraphComplete = [&completed](media::TFilterGraph*, HRESULT, FilterPtr) {
        completed = true;
    };
    try {
        graph.Play();
        if (a.fullScreen) video->StartFullScreen();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tovamix-cli: cannot play %s: %s\n", a.file.c_str(), e.what());
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const qint64 wanted = qint64(a.seconds * 1000);
    runUntil([&] { return completed || clock.elapsed() >= wanted; });

    auto seeking = graph.query<IMediaSeeking>();
    int64_t position = 0, duration = 0;
    if (seeking) {
        seeking->GetCurrentPosition(&position);
        seeking->GetDuration(&duration);
    }
    // The video's own size: the mixer's input, before crop mode trims it.
    long vw = 0, vh = 0, arw = 0, arh = 0;
    auto native = queryInterface<IDDrawExclModeVideo>(video->OverlayMixer());
    if (!native || FAILED(native->GetNativeVideoProps(&vw, &vh, &arw, &arh)))
        if (auto basic = graph.query<IBasicVideo>()) basic->GetVideoSize(&vw, &vh);
    int shown = 0;
    if (auto quality = queryInterface<IQualProp>(video->GetFilter()))
        quality->get_FramesDrawn(&shown);
    const std::string sink = video->VideoWindow() ? video->VideoWindow()->sinkName() : "none";
    const QRect rect = video->VideoRect();
    const QRect source = video->SourceRect();

    int code = 0;
    if (!a.screenshot.empty()) {
        QScreen* screen = video->screen() ? video->screen() : QGuiApplication::primaryScreen();
        const QPoint at = video->mapToGlobal(QPoint(0, 0)) - screen->geometry().topLeft();
        const QPixmap shot = screen->grabWindow(0, at.x(), at.y(), video->width(), video->height());
        if (shot.isNull() || !shot.save(QString::fromStdString(a.screenshot), "PNG")) {
            std::fprintf(stderr, "tovamix-cli: cannot write %s\n", a.screenshot.c_str());
            code = 1;
        }
    }
    if (a.fullScreen) video->NormalPlayback();
    graph.Stop();
    graph.setActive(false);
    std::printf("position=%s duration=%s video=%ldx%ld rect=%s source=%s sink=%s shown=%d\n",
                secondsText(position).c_str(), secondsText(duration).c_str(), vw, vh,
                rectText(rect).c_str(), rectText(source).c_str(), sink.c_str(), shown);
    return code;
}

int parseInt(const std::string& v, const std::string& option) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || errno || n < INT32_MIN || n > INT32_MAX)
        throw CLI::ValidationError(option + " needs whole numbers, not \"" + v + "\"");
    return int(n);
}

} // namespace

CLI::App* addView(CLI::App& app, Run& run) {
    auto args = std::make_shared<ViewArgs>();
    ViewArgs& g = *args;
    CLI::App* sub = app.add_subcommand(
        "view", "Plays a media file for a while in a window, as the player shows it.");
    sub->footer("Prints position=S duration=D video=WxH rect=X,Y,W,H source=X,Y,W,H sink=NAME\n"
                "shown=FRAMES on standard output. Needs an X display.");
    sub->add_option("FILE", g.file, "The media file")->required()->type_name("");
    sub->add_option_function<std::string>(
           "--seconds",
           [&g](const std::string& v) {
               char* end = nullptr;
               const double s = std::strtod(v.c_str(), &end);
               if (v.empty() || *end || !std::isfinite(s) || s <= 0 || s > 86400)
                   throw CLI::ValidationError(
                       "--seconds needs a number of seconds above 0, not \"" + v + "\"");
               g.seconds = s;
           },
           "How long to play (default 2)")
        ->type_name("S");
    sub->add_option_function<std::string>(
           "--size",
           [&g](const std::string& v) {
               const size_t x = v.find('x');
               if (x == std::string::npos)
                   throw CLI::ValidationError("--size needs WxH, not \"" + v + "\"");
               const int w = parseInt(v.substr(0, x), "--size");
               const int h = parseInt(v.substr(x + 1), "--size");
               if (w < 16 || h < 16 || w > 8192 || h > 8192)
                   throw CLI::ValidationError("--size needs a width and height of 16 to 8192");
               g.width = w;
               g.height = h;
           },
           "The video window's size (default 320x240)")
        ->type_name("WxH");
    sub->add_flag("--full-screen", g.fullScreen, "Plays full screen");
    sub->add_option_function<std::string>(
           "--aspect",
           [&g](const std::string& v) {
               if (v == "stretched")
                   g.aspect = dvd::rmStretched;
               else if (v == "letterbox")
                   g.aspect = dvd::rmLetterBox;
               else if (v == "crop")
                   g.aspect = dvd::rmCrop;
               else
                   throw CLI::ValidationError(
                       "--aspect needs stretched, letterbox or crop, not \"" + v + "\"");
           },
           "How the picture fits the window (default letterbox)")
        ->type_name("MODE");
    sub->add_option_function<std::string>(
           "--zoom", [&g](const std::string& v) { g.zoom = parseInt(v, "--zoom"); },
           "Digital zoom, 0 to 99")
        ->type_name("Z");
    sub->add_option_function<std::string>(
           "--colours",
           [&g](const std::string& v) {
               std::array<int, 4> c{};
               std::stringstream in(v);
               std::string part;
               int n = 0;
               while (std::getline(in, part, ',')) {
                   if (n == 4) throw CLI::ValidationError("--colours needs four numbers: B,C,H,S");
                   c[size_t(n++)] = parseInt(part, "--colours");
               }
               if (n != 4) throw CLI::ValidationError("--colours needs four numbers: B,C,H,S");
               g.colours = c;
           },
           "Brightness, contrast, hue and saturation")
        ->type_name("B,C,H,S");
    sub->add_option("--screenshot", g.screenshot, "Writes the window's area of the screen as PNG")
        ->type_name("OUT.png");
    sub->callback([args, &run] { run = [args] { return view(*args); }; });
    return sub;
}

} // namespace cli
