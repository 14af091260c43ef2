// The navigation engine of one connection: turns device input into camera
// motion through the application's accessors, frame by frame.
//
// Frames come from the library's one thread (timing source 0, the default),
// at the frame rate while there is motion and at once for input that finds the
// last frame a period old, or, when the application writes "frame.timingSource" 1, from each
// "frame.time" write, on the writing thread, inside ZbWriteValue. No library
// lock is held while the application is called, and nothing ever waits for a
// frame in progress: a frame that cannot start (one is running) is skipped.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/library_thread.h"
#include "base/report.h"
#include "base/settings.h"
#include "devices/device_input.h"
#include "engine/application.h"
#include "engine/geometry.h"

namespace zibrel::qorzibrel {

class input_sink;

enum class timing_source : int32_t { library = 0, application = 1 };

class engine : public loop_task, public std::enable_shared_from_this<engine> {
public:
    // Asks `app` once which of the properties it uses the application answers.
    engine(std::unique_ptr<const application> app, settings s);
    ~engine();

    // After the connection is registered: load the device file, join the
    // spacenavd reader, start the timer when a source is configured.
    void start();
    // The connection closed: no more callbacks; it leaves the library thread.
    void shutdown();

    void set_timing_source(int32_t source);
    // A "frame.time" write (ms): one frame when the application drives the timing.
    void application_frame(double t_ms);

    // Input from the control interface and the spacenavd reader; t_ms < 0 for
    // "now". A sample arms the engine and asks for a frame.
    bool push_sample(double t_ms, const axes& deflection);
    void push_button(double t_ms, int button, bool pressed);

    uint64_t frames() const { return frames_.load(); }
    // Still open: device input for it is worth delivering.
    bool accepts_input() const { return !closed_.load(); }
    double full_scale() const { return settings_.full_scale; }
    bool in_motion() const { return motion_.load(); }
    bool application_timed() const { return timing_.load() == static_cast<int32_t>(timing_source::application); }

private:
    struct camera_state;
    enum class prop : int;

    void arm();
    void signal_input();
    void input_queued();
    // Library timing: served by the library thread.
    void ensure_task();
    steady_clock::time_point run(steady_clock::time_point now) override;
    double period_ms() const { return 1000.0 / settings_.frame_rate; }

    void run_frame(double t_ms);
    void frame_body(double t_ms);
    void handle_button(const button_event& b);
    bool start_motion();
    void end_motion();
    void move(const axes& d, double dt_s);
    void run_view_command(view_command command);
    vec3 read_world_up();

    bool alive() const;
    bool get(prop p, value& v);
    void put(prop p, const value& v);
    bool read_camera(camera_state& cam);
    std::optional<box> read_box(prop p);
    void write_camera(const camera_state& before, const camera_state& after, bool pose_changed);

    const settings settings_;
    const std::unique_ptr<const application> app_;
    // Which of the properties this engine uses the application reads and writes, asked once.
    std::bitset<last_property_position> readable_, writable_;
    device_input input_;
    report_once told_;

    std::atomic<bool> closed_{false};
    std::atomic<bool> armed_{false};
    std::atomic<int32_t> timing_{static_cast<int32_t>(timing_source::library)};
    std::atomic<bool> in_frame_{false};
    std::atomic<bool> motion_{false};
    std::atomic<uint64_t> frames_{0};
    // The live readers' sink of this engine (for their identity only), once started.
    std::atomic<const input_sink*> live_sink_{nullptr};
    // The thread whose application frame is reading the devices (no thread_local:
    // a library loaded at run time would give each thread's copy to the loader's allocator).
    std::atomic<std::thread::id> frame_reader_{};

    // The library thread's task: a leaf lock, never held while calling out
    // (but around adding and removing the task, which call out to nothing).
    std::mutex wake_mutex_;
    bool clock_changed_ = false;
    std::atomic<bool> task_added_{false};  // written under wake_mutex_
    bool ever_added_ = false;
    bool started_ = false;
    // Input came since the last run; the task is due at a time (not idle), so
    // input needs no wake. Sequentially consistent: one of the two sides sees the other.
    std::atomic<bool> woken_{false};
    std::atomic<bool> scheduled_{false};
    // Used by the library thread only.
    steady_clock::time_point next_frame_{};

    // Touched only by the thread running a frame (in_frame_ held).
    bool have_prev_ = false;
    double prev_t_ = 0;
    double last_deflected_t_ = 0;
    vec3 pivot_{};
    double min_distance_ = 1e-6;
    // Navigation feel: the speed buttons' steps, and the world's up axis for lock-horizon.
    int speed_steps_ = 0;
    vec3 world_up_{0, 1, 0};
    double frame_t_ = 0;  // the time of the frame running
    // An accessor that failed is not called again before retry_at (frame
    // clock, ms); the back-off doubles with each failure in a row.
    // Kept small and inside the engine: one per property and direction, for
    // every connection. The back-offs (whole seconds, doubled up to a minute)
    // are exact as floats.
    struct call_fault {
        double failed_at = 0;
        float backoff_ms = 0;  // 0: not failing
        bool failing() const { return backoff_ms > 0; }
        double retry_at() const { return failed_at + backoff_ms; }
    };
    static constexpr double backoff_first_ms = 1000, backoff_max_ms = 60000;
    std::array<call_fault, last_property_position> getter_faults_{}, setter_faults_{};
    bool backing_off(const call_fault& fault) const;
    void note_result(call_fault& fault, bool ok);
};

}  // namespace zibrel::qorzibrel
