#include "devices/sources.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "base/report.h"
#include "devices/hidraw.h"
#include "devices/input_sink.h"
#include "devices/spacenav.h"

namespace zibrel::qorzibrel {
namespace {

std::atomic<bool> notice_written{false};

bool socket_exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

bool attach_live_sources(const std::shared_ptr<input_sink>& target, const settings& s, bool other_input) {
    const auto named = [&](source_kind k) { return s.has_source(k); };
    const bool automatic = named(source_kind::auto_detect);
    const bool hid = automatic || named(source_kind::hid);
    const std::string socket = spacenavd_socket_path();
    const bool have_socket = socket_exists(socket);
    const bool spacenavd = named(source_kind::spacenavd) || (automatic && have_socket);
    if (!spacenavd && !hid) return false;

    const std::string root = hid_root();
    std::function<void(const std::string&)> without_device;
    if (spacenavd && !other_input) {
        // Told once the reader has asked the daemon, off the application's thread.
        without_device = [hid, root, device = s.device_text](const std::string& at) {
            if (notice_written.load()) return;
            std::vector<hid_device_report> devices;
            if (hid) devices = hid_probe(root);
            if (std::any_of(devices.begin(), devices.end(), [](const auto& d) { return d.problem.empty(); })) return;
            if (notice_written.exchange(true)) return;
            std::string tried = "spacenavd at " + at + " answers but has no device";
            if (hid) {
                tried += "; HID: ";
                if (devices.empty()) tried += "no multi-axis controller among " + hid_node_pattern(root);
                for (const auto& d : devices) tried += d.problem + " ";
                while (!tried.empty() && (tried.back() == ' ' || tried.back() == '.')) tried.pop_back();
            }
            report("no 3D mouse found for navigation (device = " + device + "): " + tried +
                   ". To fix it: plug the device in (spacenavd picks it up), and check that spacenavd may read it "
                   "(its log says). Set ZIBREL_DEVICE=none to turn device input and this notice off.");
        };
    }
    if (spacenavd) spacenavd_attach(target, s.spnav_library, std::move(without_device));
    if (hid) hid_attach(target, root);

    if (!hid || other_input || (spacenavd && have_socket) || notice_written.load()) return true;
    const auto devices = hid_probe(root);
    if (std::any_of(devices.begin(), devices.end(), [](const auto& d) { return d.problem.empty(); })) return true;
    if (notice_written.exchange(true)) return true;

    std::string tried;
    if (automatic) tried += "spacenavd: no socket at " + socket + "; ";
    tried += "HID: ";
    if (devices.empty()) {
        tried += "no multi-axis controller among " + hid_node_pattern(root) + ".";
    } else {
        for (const auto& d : devices) tried += d.problem + " ";
        tried.pop_back();
    }
    const bool permission = std::any_of(devices.begin(), devices.end(), [](const auto& d) {
        return d.problem.find("permission denied") != std::string::npos;
    });
    report("no 3D mouse found for navigation (device = " + s.device_text + "). Tried " + tried +
           " To fix it: plug the device in" + (automatic ? ", or start spacenavd (or set SPNAV_SOCKET to its socket)" : "") +
           (permission ? "; install the udev rule given above for a device your user may not read" : "") +
           ". Set ZIBREL_DEVICE=none to turn device input and this notice off.");
    return true;
}

void live_sources_listeners_changed() {
    spacenavd_listeners_changed();
    hid_listeners_changed();
}

void live_sources_frame_begins(const input_sink* sink, bool moving) { hid_frame_begins(sink, moving); }
void live_sources_frame_ends(const input_sink* sink, bool more) { hid_frame_ends(sink, more); }

}  // namespace zibrel::qorzibrel
