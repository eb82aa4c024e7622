// DVD playback: the DVD graph builder, the navigator (IDvdControl2, IDvdInfo2) and its saved
// states, beside the graph's interfaces. Implemented over rsndvdbin in DvdGraph.cpp.
//
// Threads: as the graph's (DShow.h): every call belongs to the user-interface thread.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::dshow {

// Where the navigator is.
enum DVD_DOMAIN {
    DVD_DOMAIN_FirstPlay = 1,
    DVD_DOMAIN_VideoManagerMenu = 2,
    DVD_DOMAIN_VideoTitleSetMenu = 3,
    DVD_DOMAIN_Title = 4,
    DVD_DOMAIN_Stop = 5,
};
enum DVD_MENU_ID { DVD_MENU_Title = 2, DVD_MENU_Root = 3 };
// Navigator options (SetOption).
enum DVD_OPTION_FLAG {
    DVD_ResetOnStop = 1,
    DVD_NotifyParentalLevelChange = 2,
    DVD_HMSF_TimeCodeEvents = 3,
};
// Param2 of EC_DVD_CURRENT_HMSF_TIME: the picture rate the frames count in.
constexpr long DVD_TC_FLAG_25fps = 1;
constexpr long DVD_TC_FLAG_30fps = 2;

struct DVD_HMSF_TIMECODE {
    uint8_t bHours = 0, bMinutes = 0, bSeconds = 0, bFrames = 0;
};
struct DVD_PLAYBACK_LOCATION2 {
    unsigned long TitleNum = 0;
    unsigned long ChapterNum = 0;
    DVD_HMSF_TIMECODE TimeCode;
    unsigned long TimeCodeFlags = 0;
};

// What RenderDvdVideoVolume could not do (it then answers S_FALSE).
constexpr uint32_t AM_DVD_STREAM_VIDEO = 0x01;
constexpr uint32_t AM_DVD_STREAM_AUDIO = 0x02;
constexpr uint32_t AM_DVD_STREAM_SUBPIC = 0x04;
struct AM_DVD_RENDERSTATUS {
    HRESULT hrVPEStatus = S_OK;  // no video-port path here: always 0
    bool bDvdVolInvalid = false; // the path given is no DVD-Video volume
    bool bDvdVolUnknown = false; // no path given and no drive holds a DVD-Video disc
    bool bNoLine21In = false;    // no closed-caption path here: never set
    bool bNoLine21Out = false;
    int iNumStreams = 0;              // streams tried
    int iNumStreamsFailed = 0;        // of those, the ones that could not be decoded
    uint32_t dwFailedStreamsFlag = 0; // AM_DVD_STREAM_* of the failed ones
    // With bDvdVolInvalid: what is wrong with a volume that was found but cannot be played
    // safely (a damaged IFO file, navigation that would stop the player); empty for a path
    // that leads to no volume.
    std::string damage;
};
constexpr uint32_t AM_DVD_HWDEC_PREFER = 0x01;
constexpr uint32_t AM_DVD_SWDEC_PREFER = 0x02;

// A command given to the navigator, still on its way.
class IDvdCmd : public virtual IUnknown {
  public:
    // Waits (at most 5 s) until the command has taken effect; VFW_E_TIMEOUT if it did not.
    virtual HRESULT WaitForEnd() = 0;
};
using DvdCmdPtr = std::shared_ptr<IDvdCmd>;

// A saved place on a disc: the disc's id, a title and a time in it.
class IDvdState : public virtual IUnknown {
  public:
    // The 16 bytes that name the disc (libdvdread's disc id).
    virtual HRESULT GetDiscID(std::array<uint8_t, 16>* id) = 0;
};
using DvdStatePtr = std::shared_ptr<IDvdState>;

// An object that writes itself to bytes and reads itself back.
class IPersistStream : public virtual IUnknown {
  public:
    virtual HRESULT Save(std::string* bytes) = 0;
};
// Reads a saved DVD state; VFW_E_DVD_STATE_CORRUPT for bytes that are not one (short, of
// another kind or of another version).
HRESULT loadDvdState(const std::string& bytes, DvdStatePtr* state);

// The navigator's commands. Each answers VFW_E_DVD_INVALIDDOMAIN where the disc's place does
// not allow it (a chapter skip in a menu), changing nothing; cmd (may be null) gets the
// command on its way.
class IDvdControl2 : public virtual IUnknown {
  public:
    virtual HRESULT PlayForwards(double speed, uint32_t flags, DvdCmdPtr* cmd) = 0;
    virtual HRESULT PlayBackwards(double speed, uint32_t flags, DvdCmdPtr* cmd) = 0;
    virtual HRESULT PlayNextChapter(uint32_t flags, DvdCmdPtr* cmd) = 0;
    virtual HRESULT PlayPrevChapter(uint32_t flags, DvdCmdPtr* cmd) = 0;
    // From a menu's still picture the menu's current button is pressed first (a seek alone
    // cannot leave the still); the command ends once the title (and chapter) play.
    virtual HRESULT PlayTitle(unsigned long title, uint32_t flags, DvdCmdPtr* cmd) = 0;
    virtual HRESULT PlayChapterInTitle(unsigned long title, unsigned long chapter, uint32_t flags,
                                       DvdCmdPtr* cmd) = 0;
    virtual HRESULT ShowMenu(DVD_MENU_ID menu, uint32_t flags, DvdCmdPtr* cmd) = 0;
    // A point in the video renderer's window (its client pixels); the navigator undoes the
    // window's scaling, the source rectangle (zoom) and an overlay mixer's crop to find the
    // picture's pixel. Only in a menu. Placing the renderer's window over the letter box is
    // its owner's business, so the owner gives points of that window.
    virtual HRESULT SelectAtPosition(long x, long y) = 0;
    virtual HRESULT ActivateAtPosition(long x, long y) = 0;
    virtual HRESULT SetOption(DVD_OPTION_FLAG flag, bool on) = 0;
    // Resumes a saved state: VFW_E_DVD_STATE_WRONG_DISC for a state of another disc (nothing
    // changes).
    virtual HRESULT SetState(const DvdStatePtr& state, uint32_t flags, DvdCmdPtr* cmd) = 0;
};

class IDvdInfo2 : public virtual IUnknown {
  public:
    virtual HRESULT GetCurrentDomain(DVD_DOMAIN* domain) = 0;
    virtual HRESULT GetCurrentLocation(DVD_PLAYBACK_LOCATION2* location) = 0;
    // Only in a title (else VFW_E_DVD_INVALIDDOMAIN): the place, as a state object that
    // offers IPersistStream.
    virtual HRESULT GetState(DvdStatePtr* state) = 0;
    virtual HRESULT GetOption(DVD_OPTION_FLAG flag, bool* on) = 0;
    // The volume playing (the folder holding VIDEO_TS, an image or a device).
    virtual HRESULT GetDVDDirectory(std::string* path) = 0;
};

class IDvdGraphBuilder : public virtual IUnknown {
  public:
    virtual HRESULT GetFiltergraph(std::shared_ptr<IGraphBuilder>* graph) = 0;
    // The objects of the DVD graph that answer interfaces: the navigator, then the video
    // renderer in use.
    virtual std::vector<UnknownPtr> GetDvdInterfaces() = 0;
    template <class I> HRESULT GetDvdInterface(std::shared_ptr<I>* out) {
        for (const UnknownPtr& o : GetDvdInterfaces())
            if (auto i = std::dynamic_pointer_cast<I>(o)) {
                *out = i;
                return S_OK;
            }
        return E_NOINTERFACE;
    }
    // Builds the graph for a volume (empty: the first drive holding a DVD-Video disc): the
    // navigator, subpictures drawn over the video, the renderers. S_OK; S_FALSE with the
    // reason in status; VFW_E_DVD_RENDERFAIL when nothing could be built.
    virtual HRESULT RenderDvdVideoVolume(const std::string& path, uint32_t flags,
                                         AM_DVD_RENDERSTATUS* status) = 0;
};
std::shared_ptr<IDvdGraphBuilder> createDvdGraphBuilder();

} // namespace platform::dshow
