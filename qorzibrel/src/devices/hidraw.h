// The direct HID source: Linux hidraw devices whose report descriptor
// declares a multi-axis controller, found and read without a daemon.
//
// Devices are found as $ZIBREL_HID_ROOT/sys/class/hidraw/hidrawN (the
// descriptor in device/report_descriptor) and read from
// $ZIBREL_HID_ROOT/dev/hidrawN, which tests may make a FIFO (reports back to
// back, framed by their described length) or a SOCK_SEQPACKET socket (one
// report per packet). The library's one thread reads every device; inotify
// tells it of devices coming and going (a slow rescan where inotify cannot).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zibrel::qorzibrel {

class input_sink;

// ZIBREL_HID_ROOT, or "/".
std::string hid_root();
// Where devices are looked for and read, for messages: "<root>/dev/hidraw*".
std::string hid_node_pattern(const std::string& root);

struct hid_device_report {
    std::string name;  // from the device's uevent, else "multi-axis controller hidrawN"
    std::string node;  // the file reports are read from
    int axes = 0;
    int buttons = 0;
    bool connected = true;  // present; it may still be unusable (problem)
    std::string problem;    // empty when it can be read: a full sentence otherwise
};

// Every multi-axis controller under `root` now, with what stops it from
// being read (a refused descriptor, a permission, a node of the wrong kind).
std::vector<hid_device_report> hid_probe(const std::string& root);

// Feed every multi-axis controller under `root` to `sink` while it wants input.
void hid_attach(const std::shared_ptr<input_sink>& sink, const std::string& root);
// A sink stopped wanting input: with none left the reader lets its devices go.
void hid_listeners_changed();
// Application-timed frames for `sink`, its only listener, read the devices on
// the application's thread while the view moves (see live_sources_frame_begins).
void hid_frame_begins(const input_sink* sink, bool moving);
void hid_frame_ends(const input_sink* sink, bool more);

}  // namespace zibrel::qorzibrel
