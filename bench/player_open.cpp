// Benchmark: how long the player takes from Open to the first picture on the screen, against
// how long gst-discoverer-1.0 takes to read the same file, on a 1920x1080x24 Xvfb of its own
// and a generated 5 s 1080p30 H.264/AAC clip. Each of our runs is a child process with a new
// player window: the time is taken inside it, from TFrmPlay's Open (the file's name given)
// until the video area shows the clip (the renderer's first picture, drawn when the graph
// prerolls); the time until the renderer counts its first picture played is printed beside. The
// discoverer's time is the wall time of its whole process (it reads the file's streams and prerolls
// its decoders, drawing nothing). The child's whole wall time is printed beside, for comparison.
// The last line is
//   ours_ms=<median> discoverer_ms=<median> ratio=<ours/discoverer>
//
//   player_open [RUNS]   (default 5)
#include "player/untPlay.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QScreen>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform::dshow;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// The child's part: opens clip in a new player window and prints the milliseconds from Open
// to the first picture drawn. 1 when no picture came within 30 s or the file did not open.
int openOnce(int argc, char** argv, const char* clip) {
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    player::TFrmPlay form;
    form.show();
    const auto visibleBy = Clock::now() + std::chrono::seconds(10);
    while (!form.isVisible() && Clock::now() < visibleBy)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    try {
        form.OpenFile(clip);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot open %s: %s\n", clip, e.what());
        return 1;
    }
    auto quality = queryInterface<IQualProp>(form.VideoWindow1->GetFilter());
    if (!quality) {
        std::fprintf(stderr, "the player has no video renderer\n");
        return 1;
    }
    // The first picture is on the screen when the middle of the video area shows the clip's
    // colours instead of the black ground (a paused picture is drawn there too, which the
    // renderer's count of pictures played leaves out).
    QScreen* screen = QGuiApplication::primaryScreen();
    const auto shown = [&] {
        const QPoint middle = form.VideoWindow1->mapToGlobal(form.VideoWindow1->rect().center());
        const QImage spot = screen->grabWindow(0, middle.x() - 2, middle.y() - 2, 4, 4).toImage();
        const QRgb c = spot.isNull() ? 0 : spot.pixel(1, 1);
        return qRed(c) > 60 || qGreen(c) > 60 || qBlue(c) > 60;
    };
    double ms = -1, playedMs = -1;
    int drawn = 0;
    while ((ms < 0 || playedMs < 0) && clock.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (ms < 0 && shown()) ms = double(clock.nsecsElapsed()) / 1e6;
        if (playedMs < 0 && quality->get_FramesDrawn(&drawn) == S_OK && drawn > 0)
            playedMs = double(clock.nsecsElapsed()) / 1e6;
    }
    form.FilterGraph1.Stop();
    if (ms < 0 || playedMs < 0) {
        std::fprintf(stderr, "no picture within 30 s\n");
        return 1;
    }
    std::printf("%.1f %.1f\n", ms, playedMs);
    return 0;
}
struct ChildRun {
    bool ok = false;
    double wallMs = 0;
    std::string out;
};

// Runs args (standard error discarded) and keeps its standard output.
ChildRun runChild(const std::vector<std::string>& args) {
    ChildRun r;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return r;
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(pipeFds[0]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        r.out.append(buffer, size_t(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.wallMs = milliseconds(Clock::now() - t0);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--open") == 0) return openOnce(1, argv, argv[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    Xvfb xvfb("1920x1080x24");
    if (!xvfb.ok()) return 1;
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    const std::string dir = scratchDir("bench-player-open");
    const std::string clip = dir + "/clip1080p30.mp4";
    if (!fileExists(clip)) {
        const std::string temp = dir + "/making.mp4";
        if (run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i "
                "sine=f=440:r=48000 -t 5 -c:v libx264 -preset medium -crf 23 -pix_fmt yuv420p "
                "-c:a aac -shortest '" +
                temp + "'")
                    .exitCode != 0 ||
            std::rename(temp.c_str(), clip.c_str()) != 0) {
            std::fprintf(stderr, "cannot make the test clip\n");
            return 1;
        }
    }
    std::printf("clip: %s\n",
                run("ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate:"
                    "format=duration -of compact=p=0 '" +
                    clip + "' | tr '\\n' ' '")
                    .out.c_str());

    // One run of each first, not counted: both then read a file and plug-ins the system has
    // in its caches.
    runChild({selfPath(), "--open", clip});
    runChild({"gst-discoverer-1.0", clip});
    std::vector<double> ours, oursPlayed, oursWall, discoverer;
    for (int i = 0; i < runs; ++i) {
        const ChildRun o = runChild({selfPath(), "--open", clip});
        const ChildRun d = runChild({"gst-discoverer-1.0", clip});
        if (!o.ok || !d.ok) {
            std::fprintf(stderr, "a run failed: ours %d gst-discoverer-1.0 %d\n", o.ok, d.ok);
            return 1;
        }
        double onScreen = 0, played = 0;
        if (std::sscanf(o.out.c_str(), "%lf %lf", &onScreen, &played) != 2) {
            std::fprintf(stderr, "our run printed no times\n");
            return 1;
        }
        ours.push_back(onScreen);
        oursPlayed.push_back(played);
        oursWall.push_back(o.wallMs);
        discoverer.push_back(d.wallMs);
        std::printf("run %d: Open to first picture %.0f ms (first played %.0f ms, whole process "
                    "%.0f ms), gst-discoverer-1.0 %.0f ms\n",
                    i + 1, onScreen, played, o.wallMs, d.wallMs);
    }
    const double a = median(ours), b = median(discoverer);
    std::printf("ours: first picture played %.0f ms, whole process %.0f ms (medians)\n",
                median(oursPlayed), median(oursWall));
    std::printf("ours_ms=%.0f discoverer_ms=%.0f ratio=%.2f\n", a, b, b > 0 ? a / b : 0.0);
    return 0;
}
