#include "GlobalHotKey.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::shell {

struct GlobalHotKey::Impl {
    xcb_connection_t* conn = nullptr;
    xcb_window_t root = 0;
    std::vector<xcb_keycode_t> keycodes;
    std::vector<uint16_t> masks;
    std::atomic<bool> consuming{false};
    int wake = -1; // an eventfd that ends the decision thread
    std::thread decider;

    void ungrab() {
        for (xcb_keycode_t code : keycodes)
            for (uint16_t m : masks)
                xcb_ungrab_key(conn, code, root, m);
        xcb_flush(conn);
    }

    // The decision thread: every press that the grab froze is either taken or replayed at once.
    void decide(GlobalHotKey* owner) {
        pollfd fds[2] = {{xcb_get_file_descriptor(conn), POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(conn)) {
                const uint8_t type = e->response_type & ~0x80;
                if (type == XCB_KEY_PRESS) {
                    const auto* press = reinterpret_cast<xcb_key_press_event_t*>(e);
                    const bool take = consuming.load();
                    xcb_allow_events(conn,
                                     take ? XCB_ALLOW_ASYNC_KEYBOARD : XCB_ALLOW_REPLAY_KEYBOARD,
                                     press->time);
                    xcb_flush(conn);
                    if (take)
                        QMetaObject::invokeMethod(
                            owner, [owner] { emit owner->activated(); }, Qt::QueuedConnection);
                } else if (type == XCB_KEY_RELEASE) {
                    // A release while the keyboard is still frozen (it should not be) thaws it.
                    const auto* release = reinterpret_cast<xcb_key_release_event_t*>(e);
                    xcb_allow_events(conn, XCB_ALLOW_ASYNC_KEYBOARD, release->time);
                    xcb_flush(conn);
                }
                free(e);
            }
            if (xcb_connection_has_error(conn)) return;
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents & POLLIN) return;
        }
    }

    ~Impl() {
        if (decider.joinable()) {
            const uint64_t one = 1;
            if (write(wake, &one, sizeof one) < 0) {
                // The thread then ends with the connection's error below.
            }
            decider.join();
        }
        if (wake >= 0) close(wake);
        if (!conn) return;
        ungrab();
        xcb_disconnect(conn);
    }
};

GlobalHotKey::GlobalHotKey(unsigned keysym, Result& result, std::string* error, QObject* parent)
    : QObject(parent), d(std::make_unique<Impl>()) {
    result = Result::Failed;
    d->conn = xcb_connect(nullptr, nullptr);
    if (!d->conn || xcb_connection_has_error(d->conn)) {
        if (error) {
            const char* name = std::getenv("DISPLAY");
            *error = std::string("cannot connect to X display \"") + (name ? name : "") + "\"";
        }
        if (d->conn) xcb_disconnect(d->conn);
        d->conn = nullptr;
        return;
    }
    d->root = xcb_setup_roots_iterator(xcb_get_setup(d->conn)).data->root;

    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(d->conn);
    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym)) {
        for (xcb_keycode_t* c = codes; *c != XCB_NO_SYMBOL; ++c)
            d->keycodes.push_back(*c);
        free(codes);
    }
    xcb_key_symbols_free(symbols);
    if (d->keycodes.empty()) {
        if (error) *error = "the keyboard has no key for keysym " + std::to_string(keysym);
        return;
    }

    // Lock (Caps Lock) and Mod2 (Num Lock, on every common layout) must not stop the key.
    const uint16_t control = XCB_MOD_MASK_CONTROL;
    d->masks = {control, uint16_t(control | XCB_MOD_MASK_LOCK), uint16_t(control | XCB_MOD_MASK_2),
                uint16_t(control | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2)};
    // Keyboard mode synchronous: the keyboard waits for our decision on each press.
    std::vector<xcb_void_cookie_t> cookies;
    for (xcb_keycode_t code : d->keycodes)
        for (uint16_t m : d->masks)
            cookies.push_back(xcb_grab_key_checked(d->conn, 1, d->root, m, code,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_SYNC));
    bool taken = false, failed = false;
    for (auto cookie : cookies) {
        if (xcb_generic_error_t* e = xcb_request_check(d->conn, cookie)) {
            (e->error_code == XCB_ACCESS ? taken : failed) = true;
            free(e);
        }
    }
    if (taken || failed) {
        d->ungrab();
        d->keycodes.clear();
        if (error)
            *error = taken ? "another program holds the Ctrl key combination"
                           : "the X server refused the key grab";
        result = taken ? Result::Taken : Result::Failed;
        return;
    }
    d->wake = eventfd(0, EFD_CLOEXEC);
    if (d->wake < 0) {
        d->ungrab();
        d->keycodes.clear();
        if (error) *error = "no event descriptor for the key's thread";
        return;
    }
    d->decider = std::thread([impl = d.get(), this] { impl->decide(this); });
    result = Result::Registered;
}

GlobalHotKey::~GlobalHotKey() = default;

void GlobalHotKey::setConsuming(bool consume) {
    d->consuming.store(consume);
}

bool GlobalHotKey::consuming() const {
    return d->consuming.load();
}

} // namespace platform::shell
