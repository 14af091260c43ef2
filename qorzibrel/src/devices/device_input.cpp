#include "devices/device_input.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/bounded_file.h"

namespace zibrel::qorzibrel {
namespace {

// More than this many queued events means nobody runs frames: the oldest go.
constexpr size_t queue_limit = 4096;

// A queue made on first use.
template <typename T>
std::deque<T>& made(std::optional<std::deque<T>>& queue) {
    if (!queue) queue.emplace();
    return *queue;
}

// Whether a queue holds anything.
template <typename T>
bool holds_items(const std::optional<std::deque<T>>& queue) {
    return queue && !queue->empty();
}

bool is_zero(const axes& a) {
    return std::all_of(a.begin(), a.end(), [](double v) { return v == 0.0; });
}

// The latest time a device file may name, in seconds (about 31 years): far
// within what a steady-clock deadline holds, so that no replay time overflows one.
constexpr double max_script_seconds = 1e9;

std::optional<double> parse_number(std::string_view word) {
    // from_chars: no locale, no allocation, and several times faster than
    // strtod on the hundreds of thousands of numbers of a long recording.
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    double v = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || end != word.data() + word.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // Too small for a double is a number all the same: it is zero. Too
        // large is not one; strtod tells the two apart (and is rarely needed).
        const double again = std::strtod(std::string(word).c_str(), nullptr);
        if (!std::isfinite(again)) return std::nullopt;
        return again;
    }
    if (error != std::errc()) return std::nullopt;
    return v;
}

// Split at blanks; at most `max` words are kept, a further one sets `more`.
size_t split_words(std::string_view line, std::string_view* words, size_t max, bool& more) {
    size_t n = 0;
    more = false;
    for (size_t i = 0; i < line.size();) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i == line.size()) break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (n == max) {
            more = true;
            break;
        }
        words[n++] = line.substr(i, j - i);
        i = j;
    }
    return n;
}

}  // namespace

std::optional<device_script> parse_device_script(std::string_view text, std::string& error) {
    device_script script;
    script.events.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    int line_number = 0;
    double last_t = 0;
    bool ended = false;
    constexpr size_t max_words = 8;  // a motion line: time, "motion", six axes
    std::string_view words[max_words];
    while (!text.empty()) {
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++line_number;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(line_number) + ": " + why;
            return std::nullopt;
        };
        // A NUL would end the line early wherever it is shown as a C text.
        if (line.find('\0') != std::string_view::npos) return fail("the line holds a NUL byte");
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        bool more = false;
        const size_t count = split_words(line, words, max_words, more);
        if (count == 0) continue;
        // Built by append: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
        const auto quoted = [](std::string_view w) { return std::string("'").append(w).append("'"); };

        if (ended) return fail("nothing may follow 'end'");
        const auto t = parse_number(words[0]);
        if (!t || !(*t >= 0 && *t <= max_script_seconds))
            return fail(quoted(words[0]) + " is not a time in seconds from 0 to 1000000000");
        if (*t * 1000.0 < last_t) return fail("time " + std::string(words[0]) + " is earlier than the line before");
        if (count < 2) return fail("a time must be followed by motion, press, release or end");
        script_event ev{script_event::end, *t * 1000.0};
        const std::string_view what = words[1];
        if (what == "motion") {
            if (count != 8 || more) return fail("motion takes six numbers: x y z rx ry rz");
            ev.kind = script_event::motion;
            for (int i = 0; i < axis_count; ++i) {
                const std::string_view w = words[static_cast<size_t>(i) + 2];
                const auto v = parse_number(w);
                if (!v || !std::isfinite(*v) || std::fabs(*v) > 1.0)
                    return fail(quoted(w) + " is not a deflection from -1 to 1 (axis " +
                                std::string(axis_names[static_cast<size_t>(i)]) + ")");
                ev.deflection[static_cast<size_t>(i)] = *v;
            }
        } else if (what == "press" || what == "release") {
            if (count != 3) return fail(std::string(what) + " takes one button number");
            const auto b = parse_number(words[2]);
            if (!b || *b < 0 || *b > 255 || *b != std::floor(*b))
                return fail(quoted(words[2]) + " is not a button number from 0 to 255");
            ev.kind = what == "press" ? script_event::press : script_event::release;
            ev.button = static_cast<int>(*b);
        } else if (what == "end") {
            if (count != 2) return fail("end takes nothing more");
            ended = true;
        } else {
            return fail("unknown event " + quoted(what) + " (use motion, press, release or end)");
        }
        last_t = ev.t_ms;
        script.events.push_back(ev);
    }
    if (script.events.empty()) {
        error = line_number == 0 ? "is empty" : "line " + std::to_string(line_number) + ": the file holds no events";
        return std::nullopt;
    }
    return script;
}

std::optional<device_script> load_device_script(const std::string& path, std::string& error) {
    std::string why;
    const auto content = read_bounded_file(path, device_file_limit, why);
    if (!content) {
        error = "device file " + path + " " + why;
        return std::nullopt;
    }
    auto script = parse_device_script(*content, error);
    if (!script) error = "device file " + path + " " + error;
    return script;
}

device_input::device_input(const settings& s)
    : dead_zone_(s.dead_zone), invert_(s.invert), coalesce_(s.coalesce), timeout_ms_(s.motion_timeout_ms) {}

void device_input::attach_script(device_script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
    script_next_ = 0;
    replay_started_ = false;
    replay_held_ = {};
}

void device_input::restart_replay() {
    std::lock_guard lock(mutex_);
    script_next_ = 0;
    replay_started_ = false;
    replay_held_ = {};
}

bool device_input::push_sample(double t_ms, const axes& deflection) {
    axes clamped{};
    for (size_t i = 0; i < clamped.size(); ++i) {
        if (!std::isfinite(deflection[i])) return false;
        clamped[i] = std::clamp(deflection[i], -1.0, 1.0);
    }
    if (!std::isfinite(t_ms)) return false;
    std::lock_guard lock(mutex_);
    auto& samples = made(samples_);
    if (samples.size() >= queue_limit) samples.pop_front();
    samples.push_back({t_ms, t_ms < 0, clamped});
    return true;
}

void device_input::push_button(double t_ms, int button, bool pressed) {
    if (!std::isfinite(t_ms)) return;
    std::lock_guard lock(mutex_);
    auto& buttons = made(buttons_);
    if (buttons.size() >= queue_limit) buttons.pop_front();
    buttons.push_back({t_ms, button, pressed});
}

void device_input::replay_until(double T) {
    if (!script_) return;
    if (!replay_started_) {
        replay_started_ = true;
        replay_t0_ = T;
    }
    const auto& events = script_->events;
    for (; script_next_ < events.size(); ++script_next_) {
        const script_event& ev = events[script_next_];
        const double t = replay_t0_ + ev.t_ms;
        if (t > T) break;
        switch (ev.kind) {
        case script_event::motion:
            replay_held_ = ev.deflection;
            made(samples_).push_back({t, false, ev.deflection});
            break;
        case script_event::press:
        case script_event::release:
            made(buttons_).push_back({t, ev.button, ev.kind == script_event::press});
            break;
        case script_event::end:
            replay_held_ = {};
            made(samples_).push_back({t, false, replay_held_});
            break;
        }
    }
    // A deflected virtual device reports every frame, as a held cap does.
    if (!is_zero(replay_held_)) made(samples_).push_back({T, false, replay_held_});
}

axes device_input::shape(const axes& raw) const {
    axes out{};
    for (size_t i = 0; i < raw.size(); ++i) {
        const double dz = dead_zone_[i];
        const double magnitude = std::fabs(raw[i]);
        // The dead zone is cut out and the rest stretched, so full deflection stays full.
        double v = magnitude <= dz ? 0.0 : std::copysign((magnitude - dz) / (1.0 - dz), raw[i]);
        if (invert_[i]) v = -v;
        out[i] = v;
    }
    return out;
}

frame_input device_input::consume(double T) {
    std::lock_guard lock(mutex_);
    replay_until(T);
    frame_input in;
    axes sum{};
    axes latest{};
    double latest_t = -1;
    int count = 0;
    if (samples_) {
        for (auto it = samples_->begin(); it != samples_->end();) {
            if (it->live || it->t_ms <= T) {
                const double t = it->live ? T : it->t_ms;
                for (size_t i = 0; i < sum.size(); ++i) sum[i] += it->deflection[i];
                if (t >= latest_t) {
                    latest_t = t;
                    latest = it->deflection;
                }
                ++count;
                it = samples_->erase(it);
            } else {
                ++it;
            }
        }
    }
    if (count > 0) {
        if (coalesce_ == coalescing::average) {
            for (auto& v : sum) v /= count;
            held_ = sum;
        } else {
            held_ = latest;
        }
        held_t_ = latest_t;
        holding_ = true;
    } else if (holding_ && T - held_t_ > timeout_ms_) {
        // A device sends nothing while left alone: silence ends the deflection.
        held_ = {};
        holding_ = false;
    }
    in.deflection = shape(held_);
    in.deflected = !is_zero(in.deflection);
    if (buttons_) {
        for (auto it = buttons_->begin(); it != buttons_->end();) {
            if (it->t_ms < 0 || it->t_ms <= T) {
                in.buttons.push_back(*it);
                it = buttons_->erase(it);
            } else {
                ++it;
            }
        }
    }
    std::stable_sort(in.buttons.begin(), in.buttons.end(),
                     [](const button_event& a, const button_event& b) { return a.t_ms < b.t_ms; });
    return in;
}

bool device_input::busy() const {
    std::lock_guard lock(mutex_);
    const bool replaying = script_ && (script_next_ < script_->events.size() || !is_zero(replay_held_));
    return holds_items(samples_) || holds_items(buttons_) || replaying || holding_;
}

bool device_input::waiting() const {
    std::lock_guard lock(mutex_);
    const bool replaying = script_ && (script_next_ < script_->events.size() || !is_zero(replay_held_));
    return holds_items(samples_) || holds_items(buttons_) || replaying;
}

}  // namespace zibrel::qorzibrel
