// What the PulseAudio sound server says about one of its sources (a microphone, a line input,
// a monitor): its description, its input ports and the active one, and switching the active
// port. Each call opens its own short connection and waits for the answer (at most two
// seconds), so it may be used from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::dshow {

struct PulsePort {
    std::string name;
    std::string description;
};

struct PulseSourceInfo {
    std::string name;
    std::string description;
    std::vector<PulsePort> ports; // in the server's order; empty for a source without ports
    std::string activePort;       // name of the active port; empty when there are no ports
};

// Nothing (with the reason) when no server answers or it has no source of that name.
std::optional<PulseSourceInfo> pulseSourceInfo(const std::string& source,
                                               std::string* error = nullptr);
// Makes port the source's active port.
bool pulseSetSourcePort(const std::string& source, const std::string& port,
                        std::string* error = nullptr);

// What answers the two calls above: the sound server itself unless something stands in for it.
// A stand-in plays sources no server here has, such as a source with several input ports
// (no virtual PulseAudio source has ports); the tests use it that way.
struct PulseServer {
    std::function<std::optional<PulseSourceInfo>(const std::string& source, std::string* error)>
        sourceInfo;
    std::function<bool(const std::string& source, const std::string& port, std::string* error)>
        setSourcePort;
};
// Puts server in place (empty functions: the real server again) and returns the one before.
PulseServer replacePulseServer(PulseServer server);

} // namespace platform::dshow
