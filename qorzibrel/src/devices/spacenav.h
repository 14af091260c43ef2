// The spacenavd source: libspnav, loaded at run time, read by one thread of
// the library. libspnav keeps one daemon connection per process in global
// state, so every call into it is made by that thread under one mutex.
#pragma once

#include <memory>
#include <string>

namespace zibrel::qorzibrel {

class engine;

// Feed the spacenavd device to `target` while it lives (the newest attached
// engine gets the input). The first call loads `library` (normally
// "libspnav.so.0"); a missing library or daemon is reported once on standard
// error, and the reader keeps trying to reach the daemon every two seconds.
void spacenavd_attach(const std::shared_ptr<engine>& target, const std::string& library);

}  // namespace zibrel::qorzibrel
