#include "TFilterGraph.h"

#include "platform/dshow/graph/Graph.h"
#include "platform/dshow/elements/OverlayMixer.h"
#include "platform/dshow/graph/WaitStep.h"
#include "platform/storage/CompoundFile.h"
#include "ui/UiThread.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace media {

namespace {
constexpr QEvent::Type WM_GRAPHNOTIFY = QEvent::Type(QEvent::User + 1);

std::string hexUpper(HRESULT h) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", uint32_t(h));
    return text;
}

// Whether path is a folder (not a link to one) that belongs to this user and that no one else
// may enter.
bool isPrivateFolder(const std::filesystem::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & 077) == 0;
}

// Makes path a private folder of this user: created with mode 0700 when missing, an own
// folder that others may enter is closed to them. False for anything else there (another
// user's folder, a link, a file): nothing is written through it.
bool makePrivateFolder(const std::filesystem::path& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
        return false;
    if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

// The folder for the drawings of active graphs: "tovamix-graphs" in the user's runtime folder
// when that is a private one, else in "runtime-<uid>" of the temporary folder. Empty when no
// private folder can be had.
std::filesystem::path drawingFolder() {
    std::filesystem::path base;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && isPrivateFolder(runtime)) {
        base = runtime;
    } else {
        std::error_code ec;
        std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
        if (ec || temp.empty()) temp = "/tmp";
        base = temp / ("runtime-" + std::to_string(getuid()));
        if (!makePrivateFolder(base)) return {};
    }
    const std::filesystem::path dir = base / "tovamix-graphs";
    return makePrivateFolder(dir) ? dir : std::filesystem::path();
}
} // namespace

EDirectShowException::EDirectShowException(HRESULT code)
    : std::runtime_error(GraphErrorText(code) + " ($" + hexUpper(code) + ")."), ErrorCode(code) {}

std::string GraphErrorText(HRESULT h) {
    return graphErrorText(h).substr(0, 255);
}

HRESULT CheckGraphResult(HRESULT h) {
    if (FAILED(h)) throw EDirectShowException(h);
    return h;
}

namespace {
// Orders a notification event made on a streaming thread before its delivery on the
// user-interface thread in a way the thread sanitizer sees: Qt's posted-event queue is
// guarded by a futex-based QMutex it does not know. Held only to make and post, and to start
// reading, an event.
std::mutex notificationHandOver;
} // namespace

// Lets the streaming threads post to the notifier for as long as the graph is active.
struct TFilterGraph::NotifyTarget {
    std::mutex mutex;
    QObject* receiver = nullptr; // protected by mutex
    void post() {
        std::lock_guard lock(mutex);
        if (!receiver) return;
        std::lock_guard handOver(notificationHandOver);
        QCoreApplication::postEvent(receiver, new QEvent(WM_GRAPHNOTIFY));
    }
};

// The hidden window that receives the graph's notifications on the user-interface thread.
class TFilterGraph::Notifier : public QObject {
  public:
    explicit Notifier(TFilterGraph* graph) : QObject(graph), graph_(graph) {}
    bool event(QEvent* e) override {
        { std::lock_guard handOver(notificationHandOver); }
        if (e->type() != WM_GRAPHNOTIFY) return QObject::event(e);
        graph_->drainEvents();
        return true;
    }

  private:
    TFilterGraph* graph_;
};

namespace {
// What the graph layer's filters tell the windows (the overlay mixer's callback) reaches the
// user-interface thread through Qt's queue, or through the program's posting seam where no
// Qt application runs.
void installDispatcher() {
    static std::once_flag once;
    std::call_once(once, [] {
        setUserInterfaceDispatcher([](std::function<void()> task) {
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
            else
                ui::uiThread().post(std::move(task));
        });
    });
}
} // namespace

TFilterGraph::TFilterGraph(QObject* owner) : QObject(owner), notifier_(new Notifier(this)) {
    installDispatcher();
    initializeMediaServices();
}

TFilterGraph::~TFilterGraph() {
    setActive(false);
    // Those attached forget the graph; the lists are emptied first, so one that detaches
    // itself meanwhile changes nothing.
    const auto providers = std::exchange(providers_, {});
    const auto listeners = std::exchange(listeners_, {});
    for (IGraphFilterProvider* p : providers)
        p->GraphDestroyed(this);
    for (IGraphListener* l : listeners)
        l->GraphDestroyed(this);
}

void TFilterGraph::formLoaded() {
    if (AutoCreate) setActive(true);
}

void TFilterGraph::setActive(bool active) {
    if (active == active_) return;
    if (active) {
        switch (mode_) {
        case gmNormal:
            graph_ = createFilterGraph();
            break;
        case gmCapture:
            builder_ = createCaptureGraphBuilder();
            graph_ = createFilterGraph();
            if (builder_) builder_->SetFiltergraph(graph_);
            break;
        case gmDVD:
            dvd_ = createDvdGraphBuilder();
            if (dvd_) dvd_->GetFiltergraph(&graph_);
            break;
        }
        active_ = true;
        events_ = query<IMediaEventEx>();
        if (events_) {
            notifyTarget_ = std::make_shared<NotifyTarget>();
            notifyTarget_->receiver = notifier_;
            events_->SetNotifyFlags(0);
            events_->SetNotifyWindow([target = notifyTarget_] { target->post(); });
        }
        if (graphEdit_) registerDrawing();
        for (IGraphFilterProvider* p : providers_)
            addProviderFilter(p);
        controlNotify(ccActivation, 1);
    } else {
        controlNotify(ccActivation, 0);
        for (IGraphFilterProvider* p : providers_)
            removeProviderFilter(p);
        if (events_) {
            events_->SetNotifyFlags(1);
            events_->SetNotifyWindow(nullptr);
            events_.reset();
        }
        if (notifyTarget_) {
            // Notifications still on their way find no receiver, and the drain finds no
            // queue: nothing reaches the windows from a released graph.
            std::lock_guard lock(notifyTarget_->mutex);
            notifyTarget_->receiver = nullptr;
        }
        notifyTarget_.reset();
        revokeDrawing();
        if (auto control = query<IMediaControl>()) control->Stop();
        builder_.reset();
        // The DVD builder goes first: its navigator stops watching the graph.
        dvd_.reset();
        graph_.reset();
        active_ = false;
    }
}

void TFilterGraph::setMode(TGraphMode mode) {
    if (mode == mode_) return;
    const bool wasActive = active_;
    setActive(false);
    mode_ = mode;
    setActive(wasActive);
}

void TFilterGraph::setGraphEdit(bool on) {
    if (on && active_ && drawingPath_.empty()) registerDrawing();
    if (!on) revokeDrawing();
    graphEdit_ = on;
}

void TFilterGraph::setLinearVolume(bool on) {
    if (on == linearVolume_) return;
    linearVolume_ = on;
    setVolume(volume_);
    setBalance(balance_);
}

namespace {
// The linear volume scale: 0..10000 maps onto the attenuation of -10000..0 (hundredths of a
// decibel) as ln(v + 1) * k - 10000, where k = 10000 / ln 10001 (1085.7366, used to two
// decimals) brings the top of the scale to 0.
constexpr double LinearVolumeScale = 1085.73;
} // namespace

void TFilterGraph::setVolume(int v) {
    volume_ = std::clamp(v, 0, 10000);
    auto audio = query<IBasicAudio>();
    if (!audio) return;
    if (linearVolume_)
        audio->put_Volume(long(std::nearbyint(std::log(volume_ + 1) * LinearVolumeScale)) - 10000);
    else
        audio->put_Volume(volume_ - 10000);
}

void TFilterGraph::setBalance(int b) {
    balance_ = std::clamp(b, -10000, 10000);
    auto audio = query<IBasicAudio>();
    if (!audio) return;
    if (linearVolume_) {
        const long x = long(std::nearbyint(std::log(std::abs(balance_) + 1) * LinearVolumeScale));
        audio->put_Balance(balance_ < 0 ? x : -x);
    } else {
        audio->put_Balance(balance_);
    }
}

void TFilterGraph::setRate(double r) {
    rate_ = r;
    if (auto seeking = query<IMediaSeeking>()) seeking->SetRate(r);
}

void TFilterGraph::ApplyAudioSettings() {
    setVolume(volume_);
    setBalance(balance_);
    setRate(rate_);
}

bool TFilterGraph::Play() {
    auto control = query<IMediaControl>();
    if (!control) return false;
    controlNotify(ccPlay, 0);
    const HRESULT h = CheckGraphResult(control->Run());
    if (!drawingPath_.empty()) refreshGraphDrawing();
    return SUCCEEDED(h);
}

bool TFilterGraph::Pause() {
    auto control = query<IMediaControl>();
    if (!control) return false;
    controlNotify(ccPause, 0);
    return CheckGraphResult(control->Pause()) == S_OK;
}

bool TFilterGraph::Stop() {
    auto control = query<IMediaControl>();
    if (!control) return false;
    controlNotify(ccStop, 0);
    return CheckGraphResult(control->Stop()) == S_OK;
}

int TFilterGraph::State() {
    auto control = query<IMediaControl>();
    if (!control) return 0;
    FILTER_STATE s = State_Stopped;
    control->GetState(0, &s);
    switch (s) {
    case State_Stopped:
        return 1;
    case State_Paused:
        return 2;
    case State_Running:
        return 3;
    }
    return 0;
}

HRESULT TFilterGraph::RenderFile(const std::string& fileName) {
    auto builder = query<IGraphBuilder>();
    if (!builder) return S_FALSE;
    controlNotify(ccRenderFile, 0);
    HRESULT rendered;
    {
        std::optional<platform::dshow::ScopedWaitStep> step;
        if (waitStep_) step.emplace(waitStep_);
        rendered = builder->RenderFile(fileName);
    }
    const HRESULT h = CheckGraphResult(rendered);
    ApplyAudioSettings();
    controlNotify(ccFileRendered, 0);
    if (!drawingPath_.empty()) refreshGraphDrawing();
    return h;
}

HRESULT TFilterGraph::RenderDvd(AM_DVD_RENDERSTATUS* status, const std::string& path, int flags) {
    if (!active_ || mode_ != gmDVD || !dvd_) return VFW_E_DVD_RENDERFAIL;
    controlNotify(ccRenderDvd, flags);
    AM_DVD_RENDERSTATUS st;
    const HRESULT h = CheckGraphResult(dvd_->RenderDvdVideoVolume(path, uint32_t(flags), &st));
    if (status) *status = st;
    if (h == S_OK || h == S_FALSE) {
        controlNotify(ccDvdRendered, flags);
        ApplyAudioSettings();
    }
    if (!drawingPath_.empty()) refreshGraphDrawing();
    return h;
}

namespace {
constexpr const char* BookmarkStream = "BookMark";
}

void TFilterGraph::DvdSaveBookmark(const std::string& fileName) {
    if (!active_ || mode_ != gmDVD) return;
    auto info = query<IDvdInfo2>();
    if (!info) return;
    DvdStatePtr state;
    // Only a place in a title can be saved; in a menu there is nothing to save.
    if (info->GetState(&state) != S_OK || !state) return;
    auto persist = queryInterface<IPersistStream>(state);
    std::string bytes;
    if (!persist || persist->Save(&bytes) != S_OK) return;
    const std::string error =
        platform::storage::writeCompoundStream(fileName, BookmarkStream, bytes);
    if (!error.empty()) throw std::runtime_error("The bookmark cannot be saved: " + error);
}

void TFilterGraph::DvdRestoreBookmark(const std::string& fileName) {
    auto control = query<IDvdControl2>();
    if (!control) return;
    std::string bytes, error;
    switch (platform::storage::readCompoundStream(fileName, BookmarkStream, &bytes, &error)) {
    case platform::storage::ReadStatus::Ok:
        break;
    case platform::storage::ReadStatus::NoFile:
        return;
    case platform::storage::ReadStatus::Unreadable:
        throw std::runtime_error("The bookmark cannot be read: " + error);
    case platform::storage::ReadStatus::Foreign:
        throw EDirectShowException(VFW_E_DVD_STATE_CORRUPT);
    }
    DvdStatePtr state;
    CheckGraphResult(loadDvdState(bytes, &state));
    DvdCmdPtr cmd;
    // A navigator that could not reach the saved place says so, rather than leaving playback
    // where it was as if the bookmark had been restored.
    if (SUCCEEDED(CheckGraphResult(control->SetState(state, 0, &cmd))) && cmd)
        CheckGraphResult(cmd->WaitForEnd());
}

void TFilterGraph::DisconnectFilters() {
    auto graph = query<IFilterGraph2>();
    if (!graph) return;
    for (const FilterPtr& f : graph->EnumFilters())
        for (const PinPtr& p : f->pins())
            if (p->connectedTo()) CheckGraphResult(p->Disconnect());
}

void TFilterGraph::ClearGraph() {
    auto graph = query<IFilterGraph2>();
    if (!graph) return;
    Stop();
    DisconnectFilters();
    std::vector<FilterPtr> filters = graph->EnumFilters();
    for (IGraphFilterProvider* p : providers_) {
        FilterPtr own = p->GetFilter();
        filters.erase(std::remove(filters.begin(), filters.end(), own), filters.end());
    }
    for (const FilterPtr& f : filters)
        CheckGraphResult(graph->RemoveFilter(f));
}

void TFilterGraph::addProviderFilter(IGraphFilterProvider* p) {
    p->NotifyFilter(foAdding);
    if (FilterPtr f = p->GetFilter(); f && graph_) graph_->AddFilter(f, p->GetName());
    p->NotifyFilter(foAdded);
}

void TFilterGraph::removeProviderFilter(IGraphFilterProvider* p) {
    p->NotifyFilter(foRemoving);
    if (FilterPtr f = p->GetFilter(); f && graph_) graph_->RemoveFilter(f);
    p->NotifyFilter(foRemoved);
}

void TFilterGraph::attachProvider(IGraphFilterProvider* p) {
    providers_.push_back(p);
    if (active_) addProviderFilter(p);
}

void TFilterGraph::detachProvider(IGraphFilterProvider* p) {
    auto it = std::find(providers_.begin(), providers_.end(), p);
    if (it == providers_.end()) return;
    providers_.erase(it);
    if (active_) removeProviderFilter(p);
}

void switchGraph(TFilterGraph*& current, TFilterGraph* next, IGraphFilterProvider* provider,
                 IGraphListener* listener) {
    if (next == current) return;
    if (current) {
        current->detachListener(listener);
        current->detachProvider(provider);
    }
    current = next;
    if (current) {
        current->attachProvider(provider);
        current->attachListener(listener);
    }
}

void TFilterGraph::attachListener(IGraphListener* l) {
    listeners_.push_back(l);
}

void TFilterGraph::detachListener(IGraphListener* l) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), l), listeners_.end());
}

void TFilterGraph::controlNotify(int code, int param) {
    for (IGraphListener* l : std::vector<IGraphListener*>(listeners_))
        l->ControlNotify(code, param);
}

void TFilterGraph::drainEvents() {
    try {
        long code;
        intptr_t p1, p2;
        while (events_ && events_->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            // A handler may deactivate the graph; keep the queue alive for this event.
            auto queue = events_;
            DoEvent(code, p1, p2);
            queue->FreeEventParams(code, p1, p2);
        }
    } catch (const std::exception& e) {
        // What is left in the queue is drained at the next notification.
        ui::reportError(e.what());
    }
}

void TFilterGraph::DoEvent(long event, intptr_t param1, intptr_t param2) {
    for (IGraphListener* l : std::vector<IGraphListener*>(listeners_))
        l->GraphNotify(event, param1, param2);
    if (OnDSEvent) OnDSEvent(this, event, param1, param2);
    switch (event) {
    case EC_COMPLETE:
        if (OnGraphComplete) OnGraphComplete(this, HRESULT(param1), rendererOf(param2));
        break;
    case EC_DVD_TITLE_CHANGE:
        if (OnDVDTitleChange) OnDVDTitleChange(this, int(param1));
        break;
    case EC_DVD_CHAPTER_START:
        if (OnDVDChapterStart) OnDVDChapterStart(this, int(param1));
        break;
    case EC_DVD_CURRENT_HMSF_TIME:
        if (OnDVDCurrentHMSFTime) {
            const auto v = uint32_t(param1);
            OnDVDCurrentHMSFTime(this,
                                 {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)},
                                 unpackDvdTimeCode(uint32_t(param2)));
        }
        break;
    }
}

FilterPtr TFilterGraph::rendererOf(intptr_t param) const {
    // The value is only compared: a renderer taken out of the graph meanwhile is not found.
    if (param == 0) return nullptr;
    if (auto graph = query<IFilterGraph2>())
        for (const FilterPtr& f : graph->EnumFilters())
            if (reinterpret_cast<intptr_t>(f.get()) == param) return f;
    return nullptr;
}

// An outside graph viewer finds the active graphs as DOT drawings in the user's runtime
// folder, one file per graph named after the graph and the process. The graph's address is
// written as the platform writes pointers: upper-case hexadecimal digits, all of them, no
// "0x".
void TFilterGraph::registerDrawing() {
    if (!graph_) return;
    const std::filesystem::path dir = drawingFolder();
    if (dir.empty()) return;
    char item[64];
    std::snprintf(item, sizeof item, "FilterGraph %0*" PRIXPTR " pid %x", int(2 * sizeof(void*)),
                  reinterpret_cast<uintptr_t>(graph_.get()), unsigned(getpid()));
    drawingPath_ = (dir / (std::string(item) + ".dot")).string();
    refreshGraphDrawing();
}

void TFilterGraph::refreshGraphDrawing() {
    if (drawingPath_.empty() || !graph_) return;
    std::ofstream out(drawingPath_, std::ios::trunc);
    out << graphDrawing(graph_);
    if (!out) drawingPath_.clear();
}

void TFilterGraph::revokeDrawing() {
    if (drawingPath_.empty()) return;
    std::error_code ec;
    std::filesystem::remove(drawingPath_, ec);
    drawingPath_.clear();
}

} // namespace media
