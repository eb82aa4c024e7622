#include "platform/dshow/devices/PulseSources.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <mutex>

namespace platform::dshow {

namespace {

constexpr auto Timeout = std::chrono::seconds(2);

// One connection to the server, driven by a private main loop until a request is answered.
class Connection {
  public:
    Connection() {
        loop_ = pa_mainloop_new();
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "tovamix");
    }
    ~Connection() {
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_mainloop_free(loop_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connect(std::string* error) {
        if (!context_ || pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return fail(error);
        const bool ready = runUntil([this] {
            const pa_context_state_t s = pa_context_get_state(context_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        if (!ready || pa_context_get_state(context_) != PA_CONTEXT_READY) return fail(error);
        return true;
    }

    // Iterates the loop until done() holds or the time is up; false on time-out or failure.
    bool runUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + Timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            // One pass of the loop, waiting at most 50 ms for the server.
            if (pa_mainloop_prepare(loop_, 50000) < 0 || pa_mainloop_poll(loop_) < 0 ||
                pa_mainloop_dispatch(loop_) < 0)
                return false;
        }
        return true;
    }

    // Waits for an operation; false when it did not finish in time.
    bool wait(pa_operation* op) {
        if (!op) return false;
        const bool ok =
            runUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!ok) pa_operation_cancel(op);
        pa_operation_unref(op);
        return ok;
    }

    bool fail(std::string* error) {
        if (error) {
            const int e = context_ ? pa_context_errno(context_) : PA_ERR_INTERNAL;
            *error = std::string("the sound server does not answer: ") + pa_strerror(e);
        }
        return false;
    }

    pa_context* context() const { return context_; }

  private:
    pa_mainloop* loop_;
    pa_context* context_;
};

std::mutex standInLock;
PulseServer standIn;

// The stand-in's function f, copied under the lock, or an empty one.
template <class F> F standInFor(F PulseServer::*f) {
    std::lock_guard<std::mutex> lock(standInLock);
    return standIn.*f;
}

std::optional<PulseSourceInfo> askServerForSource(const std::string& source, std::string* error) {
    Connection c;
    if (!c.connect(error)) return std::nullopt;
    struct Answer {
        bool found = false;
        PulseSourceInfo info;
    } answer;
    pa_operation* op = pa_context_get_source_info_by_name(
        c.context(), source.c_str(),
        [](pa_context*, const pa_source_info* i, int eol, void* data) {
            auto* a = static_cast<Answer*>(data);
            if (eol || !i) return;
            a->found = true;
            a->info.name = i->name ? i->name : "";
            a->info.description = i->description ? i->description : a->info.name;
            for (uint32_t p = 0; p < i->n_ports; ++p)
                a->info.ports.push_back(
                    {i->ports[p]->name ? i->ports[p]->name : "",
                     i->ports[p]->description ? i->ports[p]->description : i->ports[p]->name});
            if (i->active_port && i->active_port->name) a->info.activePort = i->active_port->name;
        },
        &answer);
    if (!c.wait(op)) {
        if (error) *error = "the sound server did not answer in time";
        return std::nullopt;
    }
    if (!answer.found) {
        if (error) *error = "the sound server has no source \"" + source + "\"";
        return std::nullopt;
    }
    return answer.info;
}

bool askServerToSetPort(const std::string& source, const std::string& port, std::string* error) {
    Connection c;
    if (!c.connect(error)) return false;
    int success = 0;
    pa_operation* op = pa_context_set_source_port_by_name(
        c.context(), source.c_str(), port.c_str(),
        [](pa_context*, int ok, void* data) { *static_cast<int*>(data) = ok; }, &success);
    if (!c.wait(op)) {
        if (error) *error = "the sound server did not answer in time";
        return false;
    }
    if (!success && error)
        *error = "the sound server refused port \"" + port + "\" of \"" + source + "\"";
    return success != 0;
}

} // namespace

std::optional<PulseSourceInfo> pulseSourceInfo(const std::string& source, std::string* error) {
    if (const auto f = standInFor(&PulseServer::sourceInfo)) return f(source, error);
    return askServerForSource(source, error);
}

bool pulseSetSourcePort(const std::string& source, const std::string& port, std::string* error) {
    if (const auto f = standInFor(&PulseServer::setSourcePort)) return f(source, port, error);
    return askServerToSetPort(source, port, error);
}

PulseServer replacePulseServer(PulseServer server) {
    std::lock_guard<std::mutex> lock(standInLock);
    std::swap(standIn, server);
    return server;
}

} // namespace platform::dshow
