// Device information and raw input without a connection: what
// zbx_device_info and zbx_monitor_* give tools (status, monitor, record).
#pragma once

#include <memory>
#include <string>

#include "zibrel_extras.h"

namespace zibrel::qorzibrel {

// The JSON text of zbx_device_info, for the environment's settings now.
std::string device_info_json(const std::string& library_path);

class monitor;

// Null and `error` set when no source is configured or none can deliver input now.
std::shared_ptr<monitor> open_monitor(std::string& error);
// zbx_monitor_read: -1 when the monitor is closed.
int read_monitor(monitor& m, zbx_event* events, int max_events, int timeout_ms);
void close_monitor(monitor& m);

}  // namespace zibrel::qorzibrel
