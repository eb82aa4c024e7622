#include "GlobalHotKey.h"

#include <QSocketNotifier>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <vector>

namespace platform::shell {

struct GlobalHotKey::Impl {
    xcb_connection_t* conn = nullptr;
    xcb_window_t root = 0;
    std::vector<xcb_keycode_t> keycodes;
    std::vector<uint16_t> masks;
    QSocketNotifier* notifier = nullptr;

    ~Impl() {
        if (!conn) return;
        for (xcb_keycode_t code : keycodes)
            for (uint16_t m : masks)
                xcb_ungrab_key(conn, code, root, m);
        xcb_flush(conn);
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
    std::vector<xcb_void_cookie_t> cookies;
    for (xcb_keycode_t code : d->keycodes)
        for (uint16_t m : d->masks)
            cookies.push_back(xcb_grab_key_checked(d->conn, 1, d->root, m, code,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    bool taken = false, failed = false;
    for (auto cookie : cookies) {
        if (xcb_generic_error_t* e = xcb_request_check(d->conn, cookie)) {
            (e->error_code == XCB_ACCESS ? taken : failed) = true;
            free(e);
        }
    }
    if (taken || failed) {
        for (xcb_keycode_t code : d->keycodes)
            for (uint16_t m : d->masks)
                xcb_ungrab_key(d->conn, code, d->root, m);
        xcb_flush(d->conn);
        d->keycodes.clear();
        if (error)
            *error = taken ? "another program holds the Ctrl key combination"
                           : "the X server refused the key grab";
        result = taken ? Result::Taken : Result::Failed;
        return;
    }
    d->notifier =
        new QSocketNotifier(xcb_get_file_descriptor(d->conn), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, &GlobalHotKey::readEvents);
    result = Result::Registered;
}

GlobalHotKey::~GlobalHotKey() = default;

void GlobalHotKey::readEvents() {
    int presses = 0;
    while (xcb_generic_event_t* e = xcb_poll_for_event(d->conn)) {
        if ((e->response_type & ~0x80) == XCB_KEY_PRESS) ++presses;
        free(e);
    }
    for (int i = 0; i < presses; ++i)
        emit activated();
}

} // namespace platform::shell
