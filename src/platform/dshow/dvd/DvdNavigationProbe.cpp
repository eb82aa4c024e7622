// The navigation probe of DvdNavigationCheck.h. The child is forked from a process that may
// run many threads (Qt's, GStreamer's): it touches nothing but libdvdnav, libdvdread and the C
// library, and ends with _exit, so no handler of the parent's runs in it. What libdvdnav
// prints there goes nowhere; the parent reads only how the child ended.
#include "platform/dshow/dvd/DvdNavigationCheck.h"

#include <dvdnav/dvdnav.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Where a sanitizer writes its reports (a sanitized build has it; a normal one does not).
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace platform::dshow {

namespace {

void quietNavigation(void*, dvdnav_logger_level_t, const char*, va_list) {}
const dvdnav_logger_cb QuietNavigationLogger{&quietNavigation};

// Blocks read in one walk at most; the walk skips ahead a chapter at every cell, so this
// reaches the end of any title's chain and the commands after it.
constexpr int WalkBlocks = 6000;
// How deep menus are followed into menus through their buttons.
constexpr int ButtonDepth = 2;

class Prober {
  public:
    // Follows the navigation from where nav stands: stills and waits skipped, every cell of a
    // title left for the next chapter, every button of a menu not seen before pressed in a
    // copy of the machine.
    void walk(dvdnav_t* nav, int depth) {
        uint8_t block[DVD_VIDEO_LB_LEN];
        for (int i = 0; i < WalkBlocks; ++i) {
            int32_t event = 0, len = 0;
            if (dvdnav_get_next_block(nav, block, &event, &len) != DVDNAV_STATUS_OK) return;
            switch (event) {
            case DVDNAV_STOP:
                return;
            case DVDNAV_STILL_FRAME:
                pressButtons(nav, depth);
                dvdnav_still_skip(nav);
                break;
            case DVDNAV_WAIT:
                dvdnav_wait_skip(nav);
                break;
            case DVDNAV_NAV_PACKET:
                pressButtons(nav, depth);
                break;
            case DVDNAV_CELL_CHANGE:
                if (dvdnav_is_domain_vts(nav)) dvdnav_next_pg_search(nav);
                break;
            default:
                break;
            }
        }
    }

  private:
    void pressButtons(dvdnav_t* nav, int depth) {
        if (depth >= ButtonDepth || dvdnav_is_domain_vts(nav)) return;
        pci_t* pci = dvdnav_get_current_nav_pci(nav);
        if (!pci) return;
        const int buttons = pci->hli.hl_gi.btn_ns & 0x3F;
        if (buttons == 0) return;
        int32_t title = 0, part = 0;
        dvdnav_current_title_info(nav, &title, &part);
        // A menu is known by its first sector and its buttons.
        const uint64_t key = uint64_t(pci->pci_gi.nv_pck_lbn) << 8 | unsigned(buttons);
        if (!pressed_.insert(key).second) return;
        for (int b = 1; b <= buttons; ++b) {
            dvdnav_t* copy = nullptr;
            if (dvdnav_dup(&copy, nav) != DVDNAV_STATUS_OK || !copy) return;
            pci_t* copyPci = dvdnav_get_current_nav_pci(copy);
            if (copyPci && dvdnav_button_select_and_activate(copy, copyPci, b) == DVDNAV_STATUS_OK)
                walk(copy, depth + 1);
            dvdnav_free_dup(copy);
        }
    }

    std::set<uint64_t> pressed_;
};

// The child's whole work.
[[noreturn]] void probeChild(const std::string& volume) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        // In a sanitized build a fault of libdvdread or libdvdnav here ends the child with a
        // report and exit code 1 instead of a signal: the report is the child's own business
        // (it is there to meet such faults), the exit code tells the parent.
        if (__sanitizer_set_report_fd)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(null)));
    }
    dvdnav_t* nav = nullptr;
    if (dvdnav_open2(&nav, nullptr, &QuietNavigationLogger, volume.c_str()) != DVDNAV_STATUS_OK ||
        !nav)
        _exit(0); // what cannot be opened plays nothing: the graph says so itself
    Prober prober;
    prober.walk(nav, 0);
    int32_t titles = 0;
    if (dvdnav_get_number_of_titles(nav, &titles) == DVDNAV_STATUS_OK)
        for (int32_t t = 1; t <= titles && t <= 99; ++t)
            if (dvdnav_title_play(nav, t) == DVDNAV_STATUS_OK) prober.walk(nav, ButtonDepth - 1);
    dvdnav_close(nav);
    _exit(0);
}

std::string signalText(int sig) {
    const char* name = strsignal(sig);
    return std::string(name ? name : "a signal") + ", signal " + std::to_string(sig);
}

} // namespace

std::string probeDvdNavigation(const std::string& volume, const std::string& discId,
                               int timeLimitMs) {
    static std::mutex lock;
    static std::map<std::string, std::string> known;
    {
        std::lock_guard guard(lock);
        const auto it = known.find(discId);
        if (it != known.end()) return it->second;
    }
    const pid_t child = fork();
    if (child < 0) return {}; // no child to spare: the disc is played unprobed
    if (child == 0) probeChild(volume);
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child || (r < 0 && errno != EINTR)) {
            ended = r == child;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string fault;
    if (!ended) {
        // Still walking (a long disc, a menu that loops): what it has walked did no harm.
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (WIFSIGNALED(status)) {
        fault = "following its navigation ends the player (" + signalText(WTERMSIG(status)) + ")";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        // The child ends with 0 by itself; anything else is a fault a sanitizer caught.
        fault = "following its navigation ends the player (exit code " +
                std::to_string(WEXITSTATUS(status)) + ")";
    }
    std::lock_guard guard(lock);
    known[discId] = fault;
    return fault;
}

} // namespace platform::dshow
