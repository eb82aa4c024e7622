// The overlay mixer: a pass-through filter put between the video's decoder and a video
// renderer that owns a window, so that the picture's colours (brightness, contrast, hue,
// saturation), its aspect within the renderer's window and a colour key can be set the way a
// display overlay offers them. Its first input pin offers the settings (IMixerPinConfig2);
// the filter takes a callback object that learns the colour key and the video's size and
// display aspect (IDDrawExclModeVideo).
//
// Colours go to the renderer's sink when it has colour-balance channels for them (an Xv port),
// else to the mixer's own balance element. The colour key is the sink's where the Xv port
// has one, else RGB(16, 0, 16): a window painted in it under the video is covered by the
// picture.
//
// Threads: the interfaces belong to the user-interface thread. The callback object is always
// called on the user-interface thread, through the dispatcher set with
// setUserInterfaceDispatcher (without one, on the thread that learnt the change).
#pragma once

#include "platform/dshow/base/DShow.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform::dshow {

extern const GUID CLSID_OverlayMixer;
extern const GUID CLSID_OverlayMixer2;
extern const GUID CLSID_VideoMixingRenderer;

// How the picture fits the renderer's window.
enum AM_ASPECT_RATIO_MODE {
    AM_ARMODE_STRETCHED = 0,            // fills the window, aspect not kept
    AM_ARMODE_LETTER_BOX = 1,           // the caller places the window over the fitted area
    AM_ARMODE_CROP = 2,                 // trimmed to the window's aspect, then fills it
    AM_ARMODE_STRETCHED_AS_PRIMARY = 3, // as stretched
};

// The colour settings of an overlay surface: 40 bytes, all 32-bit.
struct DDCOLORCONTROL {
    uint32_t dwSize = sizeof(DDCOLORCONTROL);
    uint32_t dwFlags = 0; // which of the values are valid (DDCOLOR_*)
    int32_t lBrightness = 0;
    int32_t lContrast = 0;
    int32_t lHue = 0;
    int32_t lSaturation = 0;
    int32_t lSharpness = 0;
    int32_t lGamma = 0;
    int32_t lColorEnable = 0;
    uint32_t dwReserved1 = 0;
};
static_assert(sizeof(DDCOLORCONTROL) == 40);

constexpr uint32_t DDCOLOR_BRIGHTNESS = 0x01;
constexpr uint32_t DDCOLOR_CONTRAST = 0x02;
constexpr uint32_t DDCOLOR_HUE = 0x04;
constexpr uint32_t DDCOLOR_SATURATION = 0x08;
constexpr uint32_t DDCOLOR_SHARPNESS = 0x10;
constexpr uint32_t DDCOLOR_GAMMA = 0x20;
constexpr uint32_t DDCOLOR_COLORENABLE = 0x40;

// A colour key: the colour in which the area where the video shows is painted.
constexpr uint32_t CK_NOCOLORKEY = 0;
constexpr uint32_t CK_INDEX = 1;
constexpr uint32_t CK_RGB = 2;
struct COLORKEY {
    uint32_t KeyType = CK_RGB;
    uint32_t PaletteIndex = 0;
    uint32_t LowColorValue = 0;  // 0x00BBGGRR
    uint32_t HighColorValue = 0; // 0x00BBGGRR
};
// 0x00BBGGRR, as colour keys and window colours hold it.
constexpr uint32_t rgbColor(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16;
}

// On the overlay mixer's first input pin.
class IMixerPinConfig2 : public virtual IUnknown {
  public:
    virtual HRESULT SetAspectRatioMode(AM_ASPECT_RATIO_MODE mode) = 0;
    virtual HRESULT GetAspectRatioMode(AM_ASPECT_RATIO_MODE* mode) = 0;
    // Only CK_RGB keys are taken (E_INVALIDARG otherwise).
    virtual HRESULT SetColorKey(const COLORKEY* key) = 0;
    // The key, and the colour it stands for on the screen (0x00BBGGRR); either may be null.
    virtual HRESULT GetColorKey(COLORKEY* key, uint32_t* color) = 0;
    // E_INVALIDARG for a record whose size is not 40, or with a flagged value out of its
    // range (brightness 0..10000, contrast and saturation 0..20000, hue -180..180); then
    // nothing is taken. Only the values whose flag is set are taken. Sharpness and gamma have
    // no stand-in: their flags are refused with E_INVALIDARG when they come alone, otherwise
    // their values are only kept and given back. Settings made before the renderer is known
    // are applied once it is, and again each time the graph pauses.
    virtual HRESULT SetOverlaySurfaceColorControls(const DDCOLORCONTROL* colors) = 0;
    // The current values, read from where they live (the sink's channels or the mixer's own
    // balance); a value set comes back exactly. The flags tell which of them the overlay can
    // change. E_INVALIDARG for a record whose size is not 40.
    virtual HRESULT GetOverlaySurfaceColorControls(DDCOLORCONTROL* colors) = 0;
    // S_OK while the overlay is active: the mixer's output is linked to a video renderer
    // that draws into an owner window, and the graph is paused or running. S_FALSE otherwise.
    virtual HRESULT IsOverlayActive() = 0;
};

// What the overlay mixer tells its user, on the user-interface thread.
class IDDrawExclModeVideoCallback {
  public:
    virtual ~IDDrawExclModeVideoCallback() = default;
    // The picture's place changed; nothing to do for a window that follows its own area.
    virtual HRESULT OnUpdateOverlay(bool before, uint32_t flags, bool oldVisible,
                                    bool newVisible) = 0;
    // The colour key in use; color is the screen colour it stands for (0x00BBGGRR).
    virtual HRESULT OnUpdateColorKey(const COLORKEY* key, uint32_t color) = 0;
    // The video's size in pixels and its display aspect (720 x 576 at pixel aspect 16:15
    // gives 4:3).
    virtual HRESULT OnUpdateSize(long width, long height, long arWidth, long arHeight) = 0;
};

// On the overlay mixer.
class IDDrawExclModeVideo : public virtual IUnknown {
  public:
    // Sets (null: removes) the callback object. When the video's size is known already the
    // callback learns the key and the size at once (queued to the user-interface thread).
    // A callback that has been removed is never called afterwards.
    virtual HRESULT SetCallbackInterface(std::shared_ptr<IDDrawExclModeVideoCallback> callback,
                                         uint32_t flags) = 0;
    // The video's size and display aspect; VFW_E_NOT_CONNECTED before a picture's format is
    // known.
    virtual HRESULT GetNativeVideoProps(long* width, long* height, long* arWidth,
                                        long* arHeight) = 0;
};

// A new overlay mixer (class CLSID_OverlayMixer), pins "Input0" and "Output".
FilterPtr createOverlayMixer();

// How work reaches the user-interface thread: the media layer gives a function that queues a
// task there. Until one is given, tasks run at once on the calling thread.
void setUserInterfaceDispatcher(std::function<void(std::function<void()>)> dispatch);
// Runs task on the user-interface thread (queued) through the dispatcher.
void runOnUserInterfaceThread(std::function<void()> task);

} // namespace platform::dshow
