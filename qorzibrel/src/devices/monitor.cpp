#include "devices/monitor.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "base/settings.h"
#include "devices/device_input.h"
#include "devices/hidraw.h"
#include "devices/input_sink.h"
#include "devices/sources.h"
#include "devices/spacenav.h"

namespace zibrel::qorzibrel {
namespace {

using clock = std::chrono::steady_clock;

// Events a monitor keeps until they are read; the oldest go beyond it.
constexpr size_t monitor_queue_limit = 4096;
// A device file's held deflection is reported this often (ms), as a device
// reporting at 125 Hz does.
constexpr double replay_report_ms = 8.0;
constexpr double infinity = std::numeric_limits<double>::infinity();

// A sentence ends with a full stop.
std::string sentence(std::string s) {
    if (!s.empty() && s.back() != '.') s += '.';
    return s;
}

// JSON text of a string: UTF-8 kept, anything else replaced, controls escaped.
void json_string(std::string& out, const std::string& s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = n > 0 && i + n <= s.size();
        for (size_t k = 1; valid && k < n; ++k) valid = (static_cast<unsigned char>(s[i + k]) >> 6) == 2;
        if (!valid) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(s, i, n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    out += '"';
}

void json_text_or_null(std::string& out, const std::string& s) {
    if (s.empty()) out += "null";
    else json_string(out, s);
}

struct device_entry {
    std::string name, path;
    int axes = 0, buttons = 0;
    bool connected = true;
    std::string problem;
};

struct source_entry {
    std::string source, path;
    bool available = false;
    std::string problem;
    std::vector<device_entry> devices;
};

int script_buttons(const device_script& script) {
    int n = 0;
    for (const auto& ev : script.events) {
        if (ev.kind == script_event::press || ev.kind == script_event::release) n = std::max(n, ev.button + 1);
    }
    return n;
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool usable(const std::vector<source_entry>& sources) {
    return std::any_of(sources.begin(), sources.end(), [](const source_entry& e) {
        return e.available && std::any_of(e.devices.begin(), e.devices.end(),
                                          [](const device_entry& d) { return d.connected && d.problem.empty(); });
    });
}

// What every configured source sees now.
std::vector<source_entry> survey(const settings& s, std::vector<std::string>& problems) {
    std::vector<source_entry> out;
    const bool automatic = s.has_source(source_kind::auto_detect);
    if (automatic || s.has_source(source_kind::spacenavd)) {
        source_entry e;
        e.source = "spacenavd";
        const auto st = spacenavd_probe(s.spnav_library);
        e.path = st.socket;
        e.available = st.answered;
        e.problem = sentence(st.problem);
        if (st.answered && st.has_device) {
            e.devices.push_back({st.name.empty() ? "spacenavd device" : st.name, st.socket, st.axes, st.buttons, true, {}});
        }
        out.push_back(std::move(e));
    }
    if (automatic || s.has_source(source_kind::hid)) {
        source_entry e;
        e.source = "hid";
        const std::string root = hid_root();
        e.path = hid_node_pattern(root);
        for (auto& d : hid_probe(root)) {
            e.available = e.available || d.problem.empty();
            e.devices.push_back({d.name, d.node, d.axes, d.buttons, d.connected, d.problem});
        }
        if (e.devices.empty()) e.problem = "No multi-axis controller among " + e.path + ".";
        else if (!e.available) e.problem = "No HID multi-axis controller can be read.";
        out.push_back(std::move(e));
    }
    bool have_file = false;
    for (const auto& src : s.sources) {
        if (src.kind != source_kind::file) continue;
        source_entry e;
        e.source = "file";
        e.path = src.path;
        if (have_file) {
            e.problem = "Device file " + src.path + " is ignored: only one device file replays at a time.";
        } else {
            have_file = true;
            std::string error;
            if (auto script = load_device_script(src.path, error)) {
                e.available = true;
                e.devices.push_back({"device file " + base_name(src.path), src.path, axis_count, script_buttons(*script),
                                     true, {}});
            } else {
                e.problem = sentence("The virtual device is off: " + error);
            }
        }
        out.push_back(std::move(e));
    }
    // With auto, a live source that is simply not there (no daemon, no HID
    // device) is no problem while another one delivers.
    const bool absent_is_fine = automatic && usable(out);
    for (const auto& e : out) {
        const bool live = e.source == "spacenavd" || e.source == "hid";
        if (!e.problem.empty() && !(absent_is_fine && live)) problems.push_back(e.problem);
        for (const auto& d : e.devices) {
            if (!d.problem.empty()) problems.push_back(d.problem);
        }
    }
    return out;
}

}  // namespace

std::string device_info_json(const std::string& library_path) {
    std::vector<std::string> problems;
    const settings s = load_settings(&problems);
    for (auto& p : problems) p = sentence(p);
    const auto sources = survey(s, problems);
    std::string out = "{\"library\": ";
    json_text_or_null(out, library_path);
    out += ", \"settings_file\": ";
    const char* config = std::getenv("ZIBREL_CONFIG");
    json_text_or_null(out, config != nullptr ? config : "");
    out += ", \"device_setting\": ";
    json_string(out, s.device_text);
    out += ", \"usable\": ";
    out += usable(sources) ? "true" : "false";
    out += ", \"problems\": [";
    for (size_t i = 0; i < problems.size(); ++i) {
        if (i > 0) out += ", ";
        json_string(out, problems[i]);
    }
    out += "], \"sources\": [";
    for (size_t i = 0; i < sources.size(); ++i) {
        const auto& e = sources[i];
        if (i > 0) out += ", ";
        out += "{\"source\": ";
        json_string(out, e.source);
        out += ", \"path\": ";
        json_string(out, e.path);
        out += ", \"available\": ";
        out += e.available ? "true" : "false";
        out += ", \"problem\": ";
        json_text_or_null(out, e.problem);
        out += ", \"devices\": [";
        for (size_t k = 0; k < e.devices.size(); ++k) {
            const auto& d = e.devices[k];
            if (k > 0) out += ", ";
            out += "{\"name\": ";
            json_string(out, d.name);
            out += ", \"path\": ";
            json_string(out, d.path);
            out += ", \"axes\": " + std::to_string(d.axes) + ", \"buttons\": " + std::to_string(d.buttons);
            out += ", \"connected\": ";
            out += d.connected ? "true" : "false";
            out += ", \"problem\": ";
            json_text_or_null(out, d.problem);
            out += "}";
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

std::string settings_json(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> problems;
    settings s = load_settings(&problems);
    std::vector<std::string> refused;
    for (const auto& [key, value] : extra) {
        std::string error;
        apply_setting(key, value, "", s, error);  // a relative file: path counts from the working directory
        refused.push_back(std::move(error));
    }
    const auto list = [](const std::vector<std::string>& texts, bool empty_is_null) {
        std::string out = "[";
        for (size_t i = 0; i < texts.size(); ++i) {
            if (i > 0) out += ", ";
            if (empty_is_null) json_text_or_null(out, texts[i]);
            else json_string(out, texts[i]);
        }
        return out + "]";
    };
    std::string out = "{\"settings_file\": ";
    const char* config = std::getenv("ZIBREL_CONFIG");
    json_text_or_null(out, config != nullptr ? config : "");
    char number[32];
    const auto end = std::to_chars(number, number + sizeof number, s.motion_timeout_ms).ptr;
    out += ", \"motion_timeout_ms\": " + std::string(number, end);
    out += ", \"problems\": " + list(problems, false);
    out += ", \"refused\": " + list(refused, true) + "}";
    return out;
}

class monitor final : public input_sink {
public:
    explicit monitor(double full_scale) : full_scale_(full_scale), t0_(clock::now()) {}

    bool wants_input() const override { return !closed_.load(); }
    bool exclusive() const override { return false; }
    double full_scale() const override { return full_scale_; }
    void sample(const axes& deflection) override {
        zbx_event e{now_ms(), 0, 0, {}};
        for (size_t i = 0; i < deflection.size(); ++i) e.axes[i] = std::clamp(deflection[i], -1.0, 1.0);
        push(e);
    }
    void button(int number, bool pressed) override { push({now_ms(), pressed ? 1 : 2, number, {}}); }

    void replay(device_script script) { script_ = std::move(script); }

    int read(zbx_event* events, int max_events, int timeout_ms) {
        if (closed_.load() || events == nullptr || max_events < 0) return -1;
        const auto deadline = clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
        std::unique_lock lock(mutex_);
        for (;;) {
            auto wake = deadline;
            if (script_) {
                const double due = replay(now_ms());
                // Only a time before the deadline becomes a time point: no
                // conversion of a far time can overflow the clock.
                if (due < std::chrono::duration<double, std::milli>(deadline - t0_).count()) {
                    wake = std::min(wake, t0_ + std::chrono::duration_cast<clock::duration>(
                                                    std::chrono::duration<double, std::milli>(due)));
                }
            }
            if (!queue_.empty() || closed_.load() || max_events == 0) break;
            if (clock::now() >= deadline) return 0;
            ready_.wait_until(lock, wake);
        }
        if (closed_.load()) return -1;
        int n = 0;
        while (n < max_events && !queue_.empty()) {
            events[n++] = queue_.front();
            queue_.pop_front();
        }
        return n;
    }

    void close() {
        closed_.store(true);
        std::lock_guard lock(mutex_);
        ready_.notify_all();
    }

private:
    double now_ms() const { return std::chrono::duration<double, std::milli>(clock::now() - t0_).count(); }

    // Queues a device file's events due by `now` (ms since the monitor opened)
    // and returns when the next one is due (infinity when none is). A held
    // virtual cap reports every `replay_report_ms`, as a device does while
    // deflected: a recorder must not take it for a silent one. Requires mutex_.
    double replay(double now) {
        const auto& ev = script_->events;
        size_t repeats = 0;
        for (;;) {
            const double next_event = next_ < ev.size() ? ev[next_].t_ms : infinity;
            const double next_report = is_zero(held_) ? infinity : last_report_ + replay_report_ms;
            if (std::min(next_event, next_report) > now) return std::min(next_event, next_report);
            if (next_report < next_event) {
                // After a long wait the queue keeps only the newest anyway.
                if (++repeats > monitor_queue_limit) {
                    last_report_ = std::max(last_report_, std::min(next_event, now) - replay_report_ms);
                }
                last_report_ += replay_report_ms;
                zbx_event e{last_report_, 0, 0, {}};
                std::copy(held_.begin(), held_.end(), e.axes);
                queue(e);
                continue;
            }
            const script_event& s = ev[next_++];
            if (s.kind == script_event::motion) {
                held_ = s.deflection;
                last_report_ = s.t_ms;
            } else if (s.kind == script_event::end) {
                held_ = {};
                continue;
            }
            zbx_event e{s.t_ms, s.kind == script_event::motion ? 0 : s.kind == script_event::press ? 1 : 2, s.button,
                        {}};
            std::copy(s.deflection.begin(), s.deflection.end(), e.axes);
            queue(e);
        }
    }

    static bool is_zero(const axes& a) {
        return std::all_of(a.begin(), a.end(), [](double v) { return v == 0.0; });
    }

    void queue(const zbx_event& e) {  // requires mutex_
        if (queue_.size() >= monitor_queue_limit) queue_.pop_front();
        queue_.push_back(e);
    }
    void push(const zbx_event& e) {
        std::lock_guard lock(mutex_);
        queue(e);
        ready_.notify_all();
    }

    const double full_scale_;
    const clock::time_point t0_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<zbx_event> queue_;
    std::optional<device_script> script_;  // guarded by mutex_ once reading
    size_t next_ = 0;
    axes held_{};             // the replay's deflection now
    double last_report_ = 0;  // when the replay last reported it
};

std::shared_ptr<monitor> open_monitor(std::string& error) {
    std::vector<std::string> problems;
    const settings s = load_settings(&problems);
    if (s.sources.empty()) {
        error = "No device source is configured (device = " + s.device_text +
                "); set ZIBREL_DEVICE to auto, spacenavd, hid or file:PATH.";
        return nullptr;
    }
    auto m = std::make_shared<monitor>(s.full_scale);
    const auto sources = survey(s, problems);
    if (!usable(sources)) {
        error = "No device can deliver input now (device = " + s.device_text + ").";
        for (const auto& p : problems) error += " " + p;
        return nullptr;
    }
    for (const auto& e : sources) {
        if (!e.available) continue;
        if (e.source == "spacenavd") spacenavd_attach(m, s.spnav_library);
        else if (e.source == "hid") hid_attach(m, hid_root());
        else if (e.source == "file") {
            std::string ignored;
            if (auto script = load_device_script(e.path, ignored)) m->replay(std::move(*script));
        }
    }
    return m;
}

int read_monitor(monitor& m, zbx_event* events, int max_events, int timeout_ms) {
    return m.read(events, max_events, timeout_ms);
}

void close_monitor(monitor& m) {
    m.close();
    live_sources_listeners_changed();
}

}  // namespace zibrel::qorzibrel
