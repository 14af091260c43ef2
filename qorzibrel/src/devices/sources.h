// Starting a connection's live device sources: spacenavd, the direct HID
// devices, and `auto` (spacenavd when its socket exists, plus every HID device).
#pragma once

#include <memory>

#include "base/settings.h"
#include "devices/input_sink.h"

namespace zibrel::qorzibrel {

// Joins the live sources of `s` for `target` (a connection's engine); true when one was started (its
// devices may come later). With auto or hid, nothing usable found now and no
// `other_input`, writes one notice per process naming what was tried and how
// to fix it.
bool attach_live_sources(const std::shared_ptr<input_sink>& target, const settings& s, bool other_input);
// A sink of the live readers closed: a reader nobody listens to any more lets
// its devices go and leaves the library thread.
void live_sources_listeners_changed();
// Around a frame on the application's thread for `sink` (application timing):
// before it (`moving`: it has input or a motion), readers may read their devices
// for it on this thread and stop waking the library's thread; after it
// (`more`: frames go on), they take the reading back when the frames stop.
void live_sources_frame_begins(const input_sink* sink, bool moving);
void live_sources_frame_ends(const input_sink* sink, bool more);

}  // namespace zibrel::qorzibrel
