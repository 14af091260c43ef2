// Device information, raw input and the settings in effect without a
// connection: what zbx_device_info, zbx_monitor_* and zbx_settings give tools
// (status, monitor, record).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zibrel_extras.h"

namespace zibrel::qorzibrel {

// The JSON text of zbx_device_info, for the environment's settings now.
std::string device_info_json(const std::string& library_path);

// The JSON text of zbx_settings: the environment's settings now, with `extra`
// (key, value) settings applied after them.
std::string settings_json(const std::vector<std::pair<std::string, std::string>>& extra);

class monitor;

// Null and `error` set when no source is configured or none can deliver input now.
std::shared_ptr<monitor> open_monitor(std::string& error);
// zbx_monitor_read: -1 when the monitor is closed.
int read_monitor(monitor& m, zbx_event* events, int max_events, int timeout_ms);
void close_monitor(monitor& m);

}  // namespace zibrel::qorzibrel
