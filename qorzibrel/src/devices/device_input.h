// Device input of one connection: samples and button events from every source,
// coalesced into one deflection per frame.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace zibrel::qorzibrel {

using axes = std::array<double, axis_count>;

// A virtual device's session, as read from a device file. Times in ms from the
// start of the replay, non-decreasing.
struct script_event {
    enum kind_t { motion, press, release, end } kind;
    double t_ms;
    axes deflection{};  // motion
    int button = 0;     // press, release
};

struct device_script {
    std::vector<script_event> events;
};

// Parse a device file's text; on the first fault returns nothing and sets
// `error` to a message naming the line.
std::optional<device_script> parse_device_script(std::string_view text, std::string& error);
// Read and parse a file; the error names the file and the line.
std::optional<device_script> load_device_script(const std::string& path, std::string& error);

struct button_event {
    double t_ms;
    int button;
    bool pressed;
};

struct frame_input {
    axes deflection{};  // shaped: dead zone and inversion applied, within [-1, 1]
    bool deflected = false;
    std::vector<button_event> buttons;
};

class device_input {
public:
    explicit device_input(const settings& s);

    void attach_script(device_script script);
    // A sample of deflections (fractions of full deflection). t_ms < 0: a live
    // sample, taken as arrived just before the next frame. A sample with a
    // non-finite value is refused (false); values beyond full deflection are clamped.
    bool push_sample(double t_ms, const axes& deflection);
    void push_button(double t_ms, int button, bool pressed);

    // Everything due at frame time T (ms).
    frame_input consume(double T);
    // Something is queued, replaying or still held: frames must go on.
    bool busy() const;
    // Samples, buttons or a replay wait for a frame to consume them (a held
    // deflection that has been consumed does not count).
    bool waiting() const;
    // The replay starts again at the next frame.
    void restart_replay();

private:
    struct sample {
        double t_ms;
        bool live;
        axes deflection;
    };

    void replay_until(double T);  // requires mutex_
    axes shape(const axes& raw) const;

    const std::array<double, axis_count> dead_zone_;
    const std::array<bool, axis_count> invert_;
    const coalescing coalesce_;
    const double timeout_ms_;

    mutable std::mutex mutex_;
    // Made at the first input: a deque allocates its first block (over half a
    // kilobyte) when it is made, and most open connections never get input.
    std::optional<std::deque<sample>> samples_;
    std::optional<std::deque<button_event>> buttons_;
    axes held_{};
    double held_t_ = 0;
    bool holding_ = false;

    std::optional<device_script> script_;
    size_t script_next_ = 0;
    bool replay_started_ = false;
    double replay_t0_ = 0;
    axes replay_held_{};
};

}  // namespace zibrel::qorzibrel
