// The spacenavd source: libspnav, loaded at run time, read by the library's
// one thread. libspnav keeps one daemon connection per process in global
// state, so every call into it is made under one mutex.
#pragma once

#include <functional>
#include <chrono>
#include <memory>
#include <string>

namespace zibrel::qorzibrel {

class input_sink;

// SPNAV_SOCKET, or libspnav's default /var/run/spnav.sock.
std::string spacenavd_socket_path();

// Feed the spacenavd device to `sink` while it wants input (the newest
// attached engine gets the input; monitors all do). The first call loads
// `library` (normally "libspnav.so.0"); a missing library or daemon is
// reported once on standard error, and the reader keeps trying to reach the
// daemon: every two seconds, less often while it keeps closing the connection
// or failing to answer. `without_device`, when given, is called on the reader's
// thread (with the socket) each time the reader connects to a daemon that answers
// but has no device; the newest attach's replaces the earlier one.
void spacenavd_attach(const std::shared_ptr<input_sink>& sink, const std::string& library,
                      std::function<void(const std::string& socket)> without_device = {});

// What the daemon says now, for device information.
struct spacenavd_status {
    std::string socket;
    bool answered = false;      // a daemon accepted libspnav's connection
    bool queries = false;       // it answers device queries (protocol 1 and later)
    bool has_device = false;    // it has a device open
    std::string name;           // of that device
    int axes = 0, buttons = 0;
    std::string problem;        // a full sentence when no device can be used through it
};
// Every exchange with the daemon (libspnav's version handshake, a batch of
// events, the device queries) ends within this; a daemon that takes longer
// loses its connection and is reported as not answering.
inline constexpr std::chrono::milliseconds spacenavd_answer_limit{500};

// Never waits longer than a few answer limits, whatever the daemon does and
// whatever the reader thread is doing with it.
spacenavd_status spacenavd_probe(const std::string& library,
                                 std::chrono::milliseconds answer_limit = spacenavd_answer_limit);

// A sink stopped wanting input: with none left the reader lets the daemon go.
void spacenavd_listeners_changed();

}  // namespace zibrel::qorzibrel
