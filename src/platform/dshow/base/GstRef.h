// References to GStreamer objects that free themselves, and visits of a bin's elements and an
// element's pads that hold their own references. Internal to the platform layer.
//
// GstRef<T> owns one reference to a GstObject (element, pad, bus, clock ...) or to a reference
// counted mini object (caps, message, event, buffer, query) and drops it in its destructor, so no
// return path needs an unref of its own. The constructor takes over a reference the caller
// already owns (what a "transfer full" call gives back); GstRef<T>::ref() adds a reference to
// an object borrowed from elsewhere. Not thread-safe by itself, like a plain pointer.
#pragma once

#include <gst/gst.h>

#include <functional>
#include <type_traits>
#include <utility>

namespace platform::dshow {

template <class T> struct GstRefTraits {
    // Caps, messages, events, buffers and queries are mini objects with a count of their own.
    static constexpr bool mini = std::is_same_v<T, GstCaps> || std::is_same_v<T, GstMessage> ||
                                 std::is_same_v<T, GstEvent> || std::is_same_v<T, GstBuffer> ||
                                 std::is_same_v<T, GstQuery>;
    static void unref(T* p) {
        if constexpr (mini)
            gst_mini_object_unref(GST_MINI_OBJECT_CAST(p));
        else
            gst_object_unref(p);
    }
    static T* ref(T* p) {
        if constexpr (mini)
            return reinterpret_cast<T*>(gst_mini_object_ref(GST_MINI_OBJECT_CAST(p)));
        else
            return static_cast<T*>(gst_object_ref(p));
    }
};

template <class T> class GstRef {
  public:
    GstRef() = default;
    // Takes over the caller's reference to p (may be null).
    explicit GstRef(T* p) : p_(p) {}
    // Adds a reference to p (may be null), which the caller keeps its own reference to.
    static GstRef ref(T* p) { return GstRef(p ? GstRefTraits<T>::ref(p) : nullptr); }

    GstRef(const GstRef& o) : p_(o.p_ ? GstRefTraits<T>::ref(o.p_) : nullptr) {}
    GstRef(GstRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GstRef& operator=(GstRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~GstRef() { reset(); }

    T* get() const { return p_; }
    // Used where GStreamer asks for the object itself; the reference stays here.
    operator T*() const { return p_; }
    T* operator->() const { return p_; }

    // Gives the reference to the caller, who then owns it.
    T* release() { return std::exchange(p_, nullptr); }
    // Drops the reference held and takes over the caller's reference to p.
    void reset(T* p = nullptr) {
        if (T* old = std::exchange(p_, p)) GstRefTraits<T>::unref(old);
    }

  private:
    T* p_ = nullptr;
};

// The same for a plain GObject that is no GstObject (a discoverer and what it found, a GES
// layer or clip). The constructor takes over a reference the caller owns; a floating
// reference is sunk first, so the holder owns it either way.
template <class T> class GObjectRef {
  public:
    GObjectRef() = default;
    explicit GObjectRef(T* p) : p_(p) {
        if (p_ && g_object_is_floating(p_)) g_object_ref_sink(p_);
    }
    static GObjectRef ref(T* p) {
        return GObjectRef(p ? static_cast<T*>(g_object_ref(p)) : nullptr);
    }
    GObjectRef(const GObjectRef& o) : p_(o.p_ ? static_cast<T*>(g_object_ref(o.p_)) : nullptr) {}
    GObjectRef(GObjectRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GObjectRef& operator=(GObjectRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~GObjectRef() {
        if (p_) g_object_unref(p_);
    }
    T* get() const { return p_; }
    operator T*() const { return p_; }
    T* operator->() const { return p_; }

  private:
    T* p_ = nullptr;
};

using ElementRef = GstRef<GstElement>;
using PadRef = GstRef<GstPad>;
using CapsRef = GstRef<GstCaps>;

// Which elements of a bin a visit sees.
enum class BinElements {
    All,    // every element directly in the bin
    Sorted, // every element, the sinks first and the sources last
    Sinks,  // the elements that end a stream
};

// Calls visit for each element of bin (directly in it, not inside bins within it) until visit
// returns false. The elements are taken first, so visit may change the bin; each one is held
// while it is visited.
void forEachElement(GstBin* bin, BinElements which, const std::function<bool(GstElement*)>& visit);
// The same for an element's pads: those of one direction, or all with GST_PAD_UNKNOWN.
void forEachPad(GstElement* element, GstPadDirection direction,
                const std::function<bool(GstPad*)>& visit);

} // namespace platform::dshow
