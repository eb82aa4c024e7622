// The filter graph component every media window owns: it builds one media graph in one of
// three modes, runs, pauses and stops it, keeps the audio settings, and turns the graph's
// event stream into ordinary events on the user-interface thread. Components that contribute
// a filter (providers) and controls that follow the graph (listeners) attach to it.
//
// User-interface thread only. The graph's streaming threads reach it only through a posted
// notification event (QEvent::User + 1) to its hidden notifier object, which drains the
// event queue and dispatches every event in turn.
#pragma once

#include "platform/dshow/dvd/DvdInterfaces.h"
#include "platform/dshow/base/DShow.h"

#include <QObject>
#include <array>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace media {

using namespace platform::dshow;

enum TGraphMode { gmNormal = 0, gmCapture = 1, gmDVD = 2 };

// A failed graph call: the text of the result code, then " ($<code in upper-case hex>).".
class EDirectShowException : public std::runtime_error {
  public:
    explicit EDirectShowException(HRESULT code);
    HRESULT ErrorCode;
};

std::string GraphErrorText(HRESULT h);
// Raises EDirectShowException for a failure code; returns success codes unchanged.
HRESULT CheckGraphResult(HRESULT h);
// A fixed description of an event code, for event logs.
std::string GraphEventText(long code);

class TFilterGraph;

// Filter operations told to providers.
enum TFilterOperation { foAdding = 0, foAdded = 1, foRemoving = 2, foRemoved = 3, foRefresh = 4 };

class IGraphFilterProvider {
  public:
    virtual ~IGraphFilterProvider() = default;
    virtual FilterPtr GetFilter() = 0;
    virtual std::string GetName() = 0;
    virtual void NotifyFilter(TFilterOperation operation, int param = 0) = 0;
    // The graph component is being destroyed (after it has taken the provider's filter out):
    // a provider that keeps a pointer to it must forget it here, and not call it again.
    virtual void GraphDestroyed(TFilterGraph* graph) = 0;
};

// Control notification codes told to listeners.
enum TControlCode {
    ccPlay = 0,
    ccPause = 1,
    ccStop = 2,
    ccRenderFile = 3,
    ccFileRendered = 4,
    ccRenderDvd = 5,
    ccDvdRendered = 6,
    ccActivation = 7
};

class IGraphListener {
  public:
    virtual ~IGraphListener() = default;
    virtual void GraphNotify(long event, intptr_t param1, intptr_t param2) = 0;
    virtual void ControlNotify(int code, int param) = 0;
    // The graph component is being destroyed: forget it, as a provider does.
    virtual void GraphDestroyed(TFilterGraph* graph) = 0;
};

// Moves a component that puts a filter into its graph and follows its events from the graph
// it is attached to (current, null: none) to next (null: none), and sets current.
void switchGraph(TFilterGraph*& current, TFilterGraph* next, IGraphFilterProvider* provider,
                 IGraphListener* listener);

// The nine fields of a DVD time code, most significant first.
using TDVDTimeCode = std::array<uint8_t, 9>;
TDVDTimeCode unpackDvdTimeCode(uint32_t value);

class TFilterGraph : public QObject {
  public:
    explicit TFilterGraph(QObject* owner = nullptr);
    // Deactivates, then tells every attached provider and listener that the graph is going
    // (GraphDestroyed), so none of them calls into it afterwards.
    ~TFilterGraph() override;

    bool Active() const { return active_; }
    void setActive(bool active);
    // When true, the graph becomes active once its form has loaded (formLoaded()).
    bool AutoCreate = false;
    void formLoaded();
    TGraphMode Mode() const { return mode_; }
    void setMode(TGraphMode mode);
    bool GraphEdit() const { return graphEdit_; }
    void setGraphEdit(bool on);
    bool LinearVolume() const { return linearVolume_; }
    void setLinearVolume(bool on);
    int Volume() const { return volume_; }
    void setVolume(int v);
    int Balance() const { return balance_; }
    void setBalance(int b);
    double Rate() const { return rate_; }
    void setRate(double r);

    // The graph objects of the current mode that answer an interface; null when inactive or
    // when none has it.
    template <class I> std::shared_ptr<I> query() const {
        if (!active_) return nullptr;
        if (mode_ == gmCapture)
            if (auto i = std::dynamic_pointer_cast<I>(builder_)) return i;
        if (mode_ == gmDVD && dvd_) {
            if (auto i = std::dynamic_pointer_cast<I>(dvd_)) return i;
            std::shared_ptr<I> i;
            if (dvd_->GetDvdInterface(&i) == S_OK) return i;
        }
        return std::dynamic_pointer_cast<I>(graph_);
    }
    // Like query(), but a refusal raises the no-such-interface failure.
    template <class I> std::shared_ptr<I> as() const {
        auto i = query<I>();
        if (!i) throw EDirectShowException(E_NOINTERFACE);
        return i;
    }

    bool Play();
    bool Pause();
    bool Stop();
    // 0 none, 1 stopped, 2 paused, 3 running.
    int State();
    HRESULT RenderFile(const std::string& fileName);
    // A step RenderFile runs about every 10 ms while the render waits for its first pictures
    // (a window's event processing, so that it keeps repainting); it must not call back into
    // this graph's building. None by default: the wait then blocks.
    void setWaitStep(std::function<void()> step) { waitStep_ = std::move(step); }
    void ClearGraph();
    void DisconnectFilters();
    void ApplyAudioSettings();
    // Builds the graph for a DVD volume (empty path: the first drive holding a disc); needs
    // the DVD graph builder of gmDVD, else VFW_E_DVD_RENDERFAIL. S_FALSE: status says what
    // could not be done. A failure the builder reports raises EDirectShowException.
    HRESULT RenderDvd(AM_DVD_RENDERSTATUS* status, const std::string& path, int flags);
    // Saves the navigator's place (in a title) to a compound file with one stream
    // "BookMark"; written to a temporary file renamed over the old one, so an old bookmark
    // survives a failure. Does nothing unless active in gmDVD with a place to save (a menu has
    // none). A file that cannot be written raises std::runtime_error naming it and the reason.
    void DvdSaveBookmark(const std::string& fileName);
    // Resumes the place saved in the file, waiting (at most 5 s) until it is reached. No file:
    // nothing happens. A file that is no bookmark of ours, a damaged one or one of another disc
    // raises EDirectShowException (VFW_E_DVD_STATE_CORRUPT, VFW_E_DVD_STATE_WRONG_DISC) and
    // playback stays as it was; one that cannot be read raises std::runtime_error.
    void DvdRestoreBookmark(const std::string& fileName);

    void attachProvider(IGraphFilterProvider* p);
    void detachProvider(IGraphFilterProvider* p);
    void attachListener(IGraphListener* l);
    void detachListener(IGraphListener* l);

    // -- Events, raised on the user-interface thread.
    std::function<void(TFilterGraph*, long event, intptr_t param1, intptr_t param2)> OnDSEvent;
    std::function<void(TFilterGraph*, HRESULT result, FilterPtr renderer)> OnGraphComplete;
    std::function<void(TFilterGraph*, int title)> OnDVDTitleChange;
    std::function<void(TFilterGraph*, int chapter)> OnDVDChapterStart;
    std::function<void(TFilterGraph*, std::array<uint8_t, 4> hmsf, TDVDTimeCode timeCode)>
        OnDVDCurrentHMSFTime;

    // Where the drawing of the active graph is kept for outside viewers (empty when none): a
    // file named "FilterGraph <graph address> pid <process id>.dot" in a folder of the user's
    // own (the runtime folder's "tovamix-graphs", else one under the temporary folder).
    std::string graphDrawingPath() const { return drawingPath_; }
    // Rewrites that drawing with the graph as it is now.
    void refreshGraphDrawing();

  protected:
    // Dispatches one graph event: listeners, OnDSEvent, then the event of its code.
    // EC_COMPLETE's param2 names the renderer that finished; OnGraphComplete gets that filter
    // when it is still in the graph, else null.
    virtual void DoEvent(long event, intptr_t param1, intptr_t param2);

  private:
    class Notifier;
    struct NotifyTarget;
    void drainEvents();
    void controlNotify(int code, int param);
    void addProviderFilter(IGraphFilterProvider* p);
    void removeProviderFilter(IGraphFilterProvider* p);
    FilterPtr rendererOf(intptr_t param) const;
    void registerDrawing();
    void revokeDrawing();

    bool active_ = false;
    TGraphMode mode_ = gmNormal;
    bool graphEdit_ = false;
    bool linearVolume_ = true;
    int volume_ = 10000;
    int balance_ = 0;
    double rate_ = 1.0;
    std::shared_ptr<IFilterGraph2> graph_;
    std::shared_ptr<ICaptureGraphBuilder2> builder_;
    std::shared_ptr<IDvdGraphBuilder> dvd_;
    std::shared_ptr<IMediaEventEx> events_;
    std::shared_ptr<NotifyTarget> notifyTarget_;
    std::vector<IGraphFilterProvider*> providers_;
    std::vector<IGraphListener*> listeners_;
    Notifier* notifier_;
    std::string drawingPath_;
    std::function<void()> waitStep_;
};

} // namespace media
