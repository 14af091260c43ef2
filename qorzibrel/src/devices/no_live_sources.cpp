// Live device sources on a platform that has none yet (Windows): device files
// and the control functions still deliver input, so a connection works.
#include <atomic>

#include "base/report.h"
#include "devices/sources.h"

namespace zibrel::qorzibrel {

bool attach_live_sources(const std::shared_ptr<input_sink>&, const settings& s, bool other_input) {
    static std::atomic<bool> notice_written{false};
    const bool live = s.has_source(source_kind::auto_detect) || s.has_source(source_kind::hid) ||
                      s.has_source(source_kind::spacenavd);
    if (live && !other_input && !notice_written.exchange(true))
        report("no 3D mouse found for navigation (device = " + s.device_text +
               "): live devices are not supported on this platform yet; a device file (file:PATH) still works. "
               "Set ZIBREL_DEVICE=none to turn device input and this notice off.");
    return false;
}

void live_sources_listeners_changed() {}  // no live readers to let go
void live_sources_frame_begins(const input_sink*, bool) {}
void live_sources_frame_ends(const input_sink*, bool) {}

}  // namespace zibrel::qorzibrel
