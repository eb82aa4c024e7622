// The DVD graph builder over rsndvdbin. The graph: rsndvdbin (reading the volume through
// libdvdnav, decoding inside) gives video, subpicture and sound pads once it prerolls; video
// and subpictures go into dvdspu, which draws the menu buttons and subtitles over the
// pictures, then into the graph's free video renderer (a window's) or a new one; sound goes to
// the graph's audio renderer. Once the graph has prerolled, a navigator takes over the volume.
// User-interface thread, except the pad handler (a streaming thread).
#include "platform/dshow/dvd/DvdImpl.h"
#include "platform/dshow/dvd/DvdNavigationCheck.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>

namespace platform::dshow {

namespace {

constexpr auto PrerollTimeout = std::chrono::seconds(20);
// How long the sound and subpicture streams may come after the pictures have prerolled.
constexpr auto StreamsTimeout = std::chrono::seconds(5);

enum StreamKind { VideoStream = 0, AudioStream = 1, SubpictureStream = 2 };
enum StreamState { NotSeen = 0, Linking, Linked, Failed };

class DvdGraphBuilder final : public IDvdGraphBuilder {
  public:
    DvdGraphBuilder() : graph_(std::make_shared<Graph>()) { graph_->sourceNavigates(); }
    ~DvdGraphBuilder() override {
        // The navigator's thread ends while the graph is still whole.
        if (navigator_) navigator_->shutdown();
    }

    HRESULT GetFiltergraph(std::shared_ptr<IGraphBuilder>* graph) override {
        if (!graph) return E_POINTER;
        *graph = graph_;
        return S_OK;
    }

    std::vector<UnknownPtr> GetDvdInterfaces() override {
        std::vector<UnknownPtr> out;
        if (navigator_) out.push_back(navigator_);
        for (const FilterPtr& f : graph_->EnumFilters()) {
            GUID clsid;
            if (f->GetClassID(&clsid) == S_OK && clsid == CLSID_VideoRenderer) out.push_back(f);
        }
        return out;
    }

    HRESULT RenderDvdVideoVolume(const std::string& path, uint32_t,
                                 AM_DVD_RENDERSTATUS* status) override {
        AM_DVD_RENDERSTATUS st;
        const auto finish = [&](HRESULT h) {
            if (status) *status = st;
            return h;
        };
        if (navigator_) {
            // One volume per graph; once the graph has been cleared of it, another may come.
            for (const FilterPtr& f : graph_->EnumFilters())
                if (f->native() == dvdBin_.get()) return finish(VFW_E_DVD_RENDERFAIL);
            navigator_->shutdown();
            navigator_.reset();
            dvdBin_ = {};
        }
        std::string volume;
        if (path.empty()) {
            volume = findDvdDrive();
            if (volume.empty()) {
                st.bDvdVolUnknown = true;
                return finish(S_FALSE);
            }
        } else {
            volume = findDvdVolume(path);
            if (volume.empty()) {
                st.bDvdVolInvalid = true;
                return finish(S_FALSE);
            }
        }
        DvdVolumeInfo info;
        std::string error;
        if (!readDvdVolume(volume, &info, &error)) {
            st.bDvdVolInvalid = true;
            st.damage = error;
            return finish(S_FALSE);
        }
        // What the checks of the IFO files cannot see: the navigation followed in a child
        // process, where an abort of libdvdnav ends only the child.
        const std::string fault = probeDvdNavigation(volume, discIdText(info.discId));
        if (!fault.empty()) {
            st.bDvdVolInvalid = true;
            st.damage = volume + ": " + fault;
            return finish(S_FALSE);
        }

        GstElement* dvd = gst_element_factory_make("rsndvdbin", nullptr);
        GstElement* spu = gst_element_factory_make("dvdspu", nullptr);
        if (!dvd || !spu) {
            if (dvd) gst_object_unref(gst_object_ref_sink(dvd));
            if (spu) gst_object_unref(gst_object_ref_sink(spu));
            return finish(VFW_E_DVD_RENDERFAIL);
        }
        g_object_set(dvd, "device", volume.c_str(), nullptr);
        const std::vector<FilterPtr> before = graph_->EnumFilters();
        graph_->buildStarted();
        graph_->addHelper(dvd, "DVD Navigator", FilterRole::None);
        graph_->addHelper(spu, "DVD Subpicture Mixer", FilterRole::None);
        const StillFlag sourceStill = watchSourceStills(dvd);
        const PadRef spuOut(gst_element_get_static_pad(spu, "src"));
        // The pictures with their buttons drawn go to the window's renderer, else a new one.
        if (!graph_->renderPad(spuOut)) return failBuild(before, finish);

        // What became of the video, sound and subpicture streams (rsndvdbin gives one pad of
        // each kind once its decoders run; a kind that does not decode gives none).
        auto streams = std::make_shared<std::array<std::atomic<int>, 3>>();
        Graph* g = graph_.get();
        // rsndvdbin makes its pads as it prerolls, and again after each restart.
        graph_->whenPadAdded(dvd, [g, spu, streams](GstPad* pad) {
            const gchar* name = GST_PAD_NAME(pad);
            if (g_str_has_prefix(name, "video") || g_str_has_prefix(name, "subpicture")) {
                const bool video = g_str_has_prefix(name, "video");
                std::atomic<int>& stream = (*streams)[video ? VideoStream : SubpictureStream];
                stream = Linking;
                const PadRef in(gst_element_get_static_pad(spu, video ? "video" : "subpicture"));
                if (in && gst_pad_is_linked(in)) {
                    const PadRef old(gst_pad_get_peer(in));
                    if (old) gst_pad_unlink(old, in);
                }
                stream = in && linkPads(pad, in) ? Linked : Failed;
                return true;
            }
            std::atomic<int>& stream = (*streams)[AudioStream];
            stream = Linking;
            // A renderer made here takes no part in prerolling from the start (see
            // Graph::addRenderer).
            stream = g->renderPad(pad) ? Linked : Failed;
            return true;
        });
        // The sound of a title may not decode (rsndvdbin decodes no MPEG audio after a title
        // with AC-3, and none at all on some discs): the pictures must not wait for it, so the
        // audio renderers already in the graph take no part in prerolling either.
        for (const FilterPtr& f : graph_->EnumFilters())
            if (roleOf(f) == FilterRole::AudioRenderer)
                forEachElement(GST_BIN(f->native()), BinElements::Sinks, [](GstElement* e) {
                    if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "async"))
                        g_object_set(e, "async", FALSE, nullptr);
                    return true;
                });

        const HRESULT pre = graph_->prerollBuilt(PrerollTimeout);
        if (FAILED(pre) || (*streams)[VideoStream] != Linked) {
            g_printerr("tovamix: the DVD volume %s could not be played (%s)\n", volume.c_str(),
                       graphErrorText(pre).c_str());
            return failBuild(before, finish);
        }
        // The pictures decide the preroll; sound and subpictures may come a moment later.
        const auto settled = [&streams] {
            return std::all_of(streams->begin(), streams->end(), [](const std::atomic<int>& s) {
                return s == Linked || s == Failed;
            });
        };
        for (const auto end = std::chrono::steady_clock::now() + StreamsTimeout;
             !settled() && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        static constexpr uint32_t Flags[3] = {AM_DVD_STREAM_VIDEO, AM_DVD_STREAM_AUDIO,
                                              AM_DVD_STREAM_SUBPIC};
        for (int i = 0; i < 3; ++i) {
            ++st.iNumStreams;
            if ((*streams)[size_t(i)] != Linked) {
                ++st.iNumStreamsFailed;
                st.dwFailedStreamsFlag |= Flags[i];
            }
        }
        navigator_ = createDvdNavigator(graph_, std::move(info), dvd, spu, sourceStill);
        dvdBin_ = ElementRef::ref(dvd);
        return finish(st.iNumStreamsFailed > 0 ? S_FALSE : S_OK);
    }

  private:
    // Takes the graph back to what it was: every filter the build added leaves.
    template <class F> HRESULT failBuild(const std::vector<FilterPtr>& before, const F& finish) {
        for (const FilterPtr& f : graph_->EnumFilters())
            if (std::find(before.begin(), before.end(), f) == before.end()) graph_->RemoveFilter(f);
        return finish(VFW_E_DVD_RENDERFAIL);
    }

    std::shared_ptr<Graph> graph_;
    std::shared_ptr<DvdNavigator> navigator_;
    ElementRef dvdBin_; // the rsndvdbin the navigator works on
};

} // namespace

std::shared_ptr<IDvdGraphBuilder> createDvdGraphBuilder() {
    ensureGstreamer();
    return std::make_shared<DvdGraphBuilder>();
}

} // namespace platform::dshow
