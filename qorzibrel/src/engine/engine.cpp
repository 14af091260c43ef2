#include "engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>

#include "base/input_signal.h"
#include "base/process_exit.h"
#include "base/result_codes.h"
#include "base/unwind.h"
#include "devices/sources.h"
#include "engine/feel.h"
#include "engine/views.h"
#include "zibrel/property_table.h"

namespace zibrel::qorzibrel {

// Every property of the shared table; the engine uses some of them.
enum class engine::prop : int {
#define ZIBREL_ENGINE_PROP(pos, id, ...) id,
    ZIBREL_PROPERTIES(ZIBREL_ENGINE_PROP, ZIBREL_ENGINE_PROP)
#undef ZIBREL_ENGINE_PROP
    count,
};

namespace {

// Each property's place in the shared table, as the application is asked by it.
constexpr int prop_positions[] = {
#define ZIBREL_ENGINE_PROP_POSITION(pos, ...) pos,
    ZIBREL_PROPERTIES(ZIBREL_ENGINE_PROP_POSITION, ZIBREL_ENGINE_PROP_POSITION)
#undef ZIBREL_ENGINE_PROP_POSITION
};

// Speeds at full deflection and sensitivity 1.
constexpr double rotation_rate = std::numbers::pi / 2;  // radians per second
constexpr double zoom_rate = std::numbers::ln2;         // distance (or extents) halves per second
// The hit-test cone: 2% of the view width, one unit in front of the eye.
constexpr double aperture_fraction = 0.02;

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

value flag_value(bool b) {
    value v(bool_type);
    v.b = b ? 1 : 0;
    return v;
}

value point_value(vec3 p) {
    value v(point_type);
    v.pt = to_point(p);
    return v;
}

}  // namespace

struct engine::camera_state : view_camera {};

engine::engine(std::unique_ptr<const application> app, settings s)
    : settings_(std::move(s)), app_(std::move(app)), input_(settings_) {
    // The per-property state is sized by the table's places, one each.
    static_assert(static_cast<int>(prop::count) == last_property_position);
    for (size_t i = 0; i < static_cast<size_t>(prop::count); ++i) {
        readable_[i] = app_->can_get(prop_positions[i]);
        writable_[i] = app_->can_put(prop_positions[i]);
    }
}

engine::~engine() { input_forget(this); }

namespace {

// The engine as the live device readers' sink. Held weakly: a reader keeps
// its sinks until it next has input, and a closed connection's engine must
// not wait for that to be freed.
class engine_sink final : public input_sink {
public:
    explicit engine_sink(const std::shared_ptr<engine>& e) : engine_(e), full_scale_(e->full_scale()) {}
    bool wants_input() const override {
        auto e = engine_.lock();
        return e != nullptr && e->accepts_input();
    }
    bool exclusive() const override { return true; }
    double full_scale() const override { return full_scale_; }
    void sample(const axes& deflection) override {
        if (auto e = engine_.lock()) e->push_sample(-1, deflection);
    }
    void button(int number, bool pressed) override {
        if (auto e = engine_.lock()) e->push_button(-1, number, pressed);
    }
    bool reads_on_frames() const override {
        auto e = engine_.lock();
        return e != nullptr && e->application_timed();
    }

private:
    std::weak_ptr<engine> engine_;
    double full_scale_;
};

}  // namespace

void engine::start() {
    {
        std::lock_guard lock(wake_mutex_);
        started_ = true;
    }
    bool have_source = false;
    bool have_file = false;
    for (const auto& source : settings_.sources) {
        if (source.kind != source_kind::file) continue;  // live sources: below
        // A source that cannot start is told and left out; the others and the
        // connection itself still work.
        try {
            if (have_file) {
                report("device file " + source.path + " ignored: only one device file replays at a time");
            } else {
                std::string error;
                if (auto script = load_device_script(source.path, error)) {
                    input_.attach_script(std::move(*script));
                    have_file = have_source = true;
                } else {
                    report(error + "; the virtual device is off");
                }
            }
        } catch (...) {
            if (foreign_exception()) throw;
            report("device file " + source.path + " cannot be used (out of memory); that source is off");
        }
    }
    try {
        const auto sink = std::make_shared<engine_sink>(shared_from_this());
        if (attach_live_sources(sink, settings_, have_file)) {
            have_source = true;
            live_sink_.store(sink.get());
        }
    } catch (...) {
        if (foreign_exception()) throw;
        report("the live device sources cannot be started (out of memory or threads); they are off");
    }
    if (have_file) input_arrived(this);  // the replay waits for its first frame
    if (have_source) arm();
}

void engine::shutdown() {
    closed_.store(true);
    live_sink_.store(nullptr);
    input_forget(this);
    {
        std::lock_guard lock(wake_mutex_);
        if (task_added_.load()) library_thread::remove(this);
        task_added_.store(false);
    }
    live_sources_listeners_changed();
}

void engine::arm() {
    armed_.store(true);
    if (!task_added_.load()) ensure_task();
}

void engine::ensure_task() {
    std::lock_guard lock(wake_mutex_);
    if (task_added_.load() || !started_ || closed_.load() || !armed_.load() ||
        timing_.load() != static_cast<int32_t>(timing_source::library)) {
        return;
    }
    auto first = steady_clock::now();
    if (!ever_added_) {
        // The first frame waits one period: an application that drives the
        // timing itself says so right after opening.
        first += std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double, std::milli>(period_ms()));
    }
    scheduled_.store(true);
    if (library_thread::add(shared_from_this(), first)) {
        task_added_.store(true);
        ever_added_ = true;
    } else {
        scheduled_.store(false);
        report("the library's thread cannot be started; frames come only from frame.time writes");
    }
}

void engine::set_timing_source(int32_t source) {
    const int32_t mode = static_cast<int32_t>(source == 1 ? timing_source::application : timing_source::library);
    if (timing_.exchange(mode) == mode) return;
    // Another clock: the replay and the frame step start afresh.
    input_.restart_replay();
    input_consumed(this, [this] { return input_.waiting(); });
    {
        std::lock_guard lock(wake_mutex_);
        clock_changed_ = true;
        // Application timing needs no thread of the library for frames.
        if (mode == static_cast<int32_t>(timing_source::application) && task_added_.load()) {
            library_thread::remove(this);
            task_added_.store(false);
        }
    }
    if (mode == static_cast<int32_t>(timing_source::library)) {
        ensure_task();
        // A reader that left its reading to this engine's frames takes it back.
        if (live_sink_.load() != nullptr) live_sources_listeners_changed();
    }
}

void engine::application_frame(double t_ms) {
    if (timing_.load() != static_cast<int32_t>(timing_source::application) || !armed_.load()) return;
    if (!std::isfinite(t_ms)) return;
    const input_sink* sink = live_sink_.load();
    if (sink == nullptr) {
        run_frame(t_ms);
        return;
    }
    // While the view moves, this thread reads the devices itself: the report
    // is read where it is used, and the library's thread sleeps.
    {
        // What it reads, this frame takes next: no descriptor to raise for it.
        struct reading {
            std::atomic<std::thread::id>& reader;
            explicit reading(std::atomic<std::thread::id>& r) : reader(r) { reader.store(std::this_thread::get_id()); }
            ~reading() { reader.store(std::thread::id()); }
        } const here(frame_reader_);
        live_sources_frame_begins(sink, motion_.load() || input_.waiting());
    }
    run_frame(t_ms);
    // A frame already in progress (this one was called from inside it) took nothing.
    if (input_.waiting()) signal_input();
    live_sources_frame_ends(sink, motion_.load() || input_.busy());
}

void engine::signal_input() {
    if (frame_reader_.load() == std::this_thread::get_id()) return;
    input_arrived(this);
    // A device thread may push while the connection closes: shutdown() marks it
    // closed before it forgets the input, so whichever comes second wins.
    if (closed_.load()) input_forget(this);
}

void engine::input_queued() {
    signal_input();
    arm();
    woken_.store(true);
    // While frames run at the frame rate the next one takes this input: no wake-up.
    if (!scheduled_.load()) library_thread::wake(this);
}

bool engine::push_sample(double t_ms, const axes& deflection) {
    if (closed_.load() || !input_.push_sample(t_ms, deflection)) return false;
    input_queued();
    return true;
}

void engine::push_button(double t_ms, int button, bool pressed) {
    if (closed_.load()) return;
    input_.push_button(t_ms, button, pressed);
    input_queued();
}

steady_clock::time_point engine::run(steady_clock::time_point now) {
    if (closed_.load() || timing_.load() != static_cast<int32_t>(timing_source::library)) return idle;
    const auto period =
        std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double, std::milli>(period_ms()));
    const bool woken = woken_.exchange(false);
    if (!woken && !motion_.load() && !input_.busy()) {
        scheduled_.store(false);
        // Input that came after the check above wakes the task itself, or is seen here.
        if (!woken_.load()) return idle;
        scheduled_.store(true);
        return now;
    }
    // A frame runs for input at once if the last one is a period old; else at the frame rate.
    if (now < next_frame_) {
        if (woken) woken_.store(true);
        return next_frame_;
    }
    run_frame(now_ms());
    // A late frame is not made up for: the step bound keeps the view steady.
    next_frame_ = now - next_frame_ < period ? next_frame_ + period : now + period;
    if (!motion_.load() && !input_.busy()) {
        scheduled_.store(false);
        if (!woken_.load()) return idle;
        scheduled_.store(true);
        return next_frame_;
    }
    return next_frame_;
}

bool engine::alive() const { return !closed_.load() && !process_exiting(); }

// An accessor that failed is left alone until its back-off has passed (or the
// clock went back): an application that reports each failure on standard
// error does so about once a second at most, not every frame.
bool engine::backing_off(const call_fault& fault) const {
    return fault.failing() && frame_t_ < fault.retry_at() && frame_t_ >= fault.failed_at;
}

void engine::note_result(call_fault& fault, bool ok) {
    if (ok) {
        fault = {};
        return;
    }
    fault.backoff_ms = static_cast<float>(fault.failing() ? std::min(2.0 * fault.backoff_ms, backoff_max_ms)
                                                          : backoff_first_ms);
    fault.failed_at = frame_t_;
}

bool engine::get(prop p, value& v) {
    const auto i = static_cast<size_t>(p);
    if (!readable_[i] || !alive()) return false;
    call_fault& fault = getter_faults_[i];
    if (backing_off(fault)) return false;
    v = value();
    const int32_t result = app_->get(prop_positions[i], v);
    // "No hit" and "no pointer over the view" are answers of the moment, not faults: the
    // next ask (the view's centre after a miss under the pointer) must still be made.
    const bool momentary = (p == prop::hit_lookat || p == prop::pointer_position) && result == result_not_supported;
    if (!momentary) note_result(fault, result == 0);
    return result == 0;
}

void engine::put(prop p, const value& v) {
    const auto i = static_cast<size_t>(p);
    if (!writable_[i] || !alive()) return;
    // A command is the user's one press: always delivered.
    const bool event = p == prop::commands_active_command;
    call_fault& fault = setter_faults_[i];
    if (!event && backing_off(fault)) return;
    const bool ok = app_->put(prop_positions[i], v) == 0;
    if (!event) note_result(fault, ok);
}

std::optional<box> engine::read_box(prop p) {
    value v;
    if (!get(p, v) || v.type != box_type) return std::nullopt;
    return v.bx;
}

void engine::run_frame(double t_ms) {
    bool idle = false;
    // Never wait for a frame in progress: it may be waiting for this thread.
    if (!in_frame_.compare_exchange_strong(idle, true)) return;
    struct frame_done {
        std::atomic<bool>& in_frame;
        ~frame_done() { in_frame.store(false); }
    } const done{in_frame_};
    try {
        frame_body(t_ms);
    } catch (...) {
        // No C++ exception may unwind into the application or end the library
        // thread; a forced unwind ending this thread must go on.
        if (foreign_exception()) throw;
    }
}

void engine::frame_body(double t_ms) {
    if (!alive()) return;
    frames_.fetch_add(1);
    {
        std::lock_guard lock(wake_mutex_);
        if (clock_changed_) {
            clock_changed_ = false;
            have_prev_ = false;
            // Back-offs were timed on the other clock.
            getter_faults_.fill({});
            setter_faults_.fill({});
        }
    }
    frame_t_ = t_ms;
    const double period = period_ms();
    double step = have_prev_ ? std::clamp(t_ms - prev_t_, 0.0, settings_.max_frame_step_ms) : period;
    if (have_prev_ && t_ms < prev_t_) last_deflected_t_ = std::min(last_deflected_t_, t_ms);
    have_prev_ = true;
    prev_t_ = t_ms;

    frame_input in = input_.consume(t_ms);
    input_consumed(this, [this] { return input_.waiting(); });
    // Only the axes the navigation feel lets move count: nothing else starts a motion.
    in.deflection = select_axes(in.deflection, settings_);
    in.deflected = std::any_of(in.deflection.begin(), in.deflection.end(), [](double v) { return v != 0; });
    for (const auto& b : in.buttons) {
        if (!alive()) return;
        handle_button(b);
    }
    if (in.deflected) {
        last_deflected_t_ = t_ms;
        if (!motion_.load()) {
            if (!start_motion()) return;
            // A motion starting after a pause moves by one frame at most.
            step = std::min(step, period);
        }
        if (alive()) move(in.deflection, step / 1000.0);
    } else if (motion_.load() && t_ms - last_deflected_t_ > settings_.motion_timeout_ms) {
        end_motion();
    }
}

void engine::handle_button(const button_event& b) {
    if (!b.pressed) return;
    const auto it = settings_.buttons.find(b.button);
    if (it == settings_.buttons.end()) return;
    if (it->second.speed) {
        speed_steps_ = next_speed_steps(speed_steps_, *it->second.speed);
    } else if (it->second.builtin) {
        run_view_command(it->second.view);
    } else {
        put(prop::commands_active_command, value(it->second.command));
    }
}

bool engine::read_camera(camera_state& cam) {
    value a;
    if (!get(prop::view_affine, a) || a.type != matrix_type) {
        told_("affine-missing", "the application gives no camera matrix (view.affine); the camera is left as it was");
        return false;
    }
    if (const matrix_fault fault = frame_from_matrix(a.m, cam.frame); fault != matrix_fault::none) {
        const char* what = fault == matrix_fault::not_finite ? "is not finite"
                           : fault == matrix_fault::singular ? "is singular"
                                                             : "is projective: its bottom row is not 0 0 0 1 (with "
                                                               "the eye there, it is transposed)";
        told_(std::string("affine-") + what,
              std::string("the application's camera matrix (view.affine) ") + what + "; the camera is left as it was");
        return false;
    }
    value p;
    cam.perspective = !(get(prop::view_perspective, p) && p.type == bool_type) || p.b != 0;
    if (cam.perspective) {
        bool known = false;
        // The frustum gives both angles; the field of view only the horizontal one.
        value fr;
        if (get(prop::view_frustum, fr) && fr.type == frustum_type) {
            const frustum& f = fr.fr;
            const double w = (f.right - f.left) / (2 * f.near_plane), h = (f.top - f.bottom) / (2 * f.near_plane);
            if (std::isfinite(w) && std::isfinite(h) && f.near_plane > 0 && w > 0 && h > 0) {
                cam.tan_half_w = w;
                cam.tan_half_h = h;
                known = true;
            }
        }
        if (!known) {
            value f;
            if (get(prop::view_fov, f)) {
                const double fov = read_number(f);
                if (!(std::isfinite(fov) && fov > 0 && fov < std::numbers::pi)) {
                    told_("fov-bad", "the application's field of view (view.fov) is not an angle between 0 and pi; "
                                     "the camera is left as it was");
                    return false;
                }
                cam.tan_half_w = cam.tan_half_h = std::tan(fov / 2);
                known = true;
            }
        }
        if (!known) told_("fov-missing", "the application gives neither view.fov nor view.frustum; "
                                         "a 45 degree view is assumed");
    } else {
        const auto e = read_box(prop::view_extents);
        if (!e || !finite(*e) || !(e->max.x > e->min.x) || !(e->max.y > e->min.y)) {
            told_("extents-bad", "the application's orthographic view extents (view.extents) are missing, empty or "
                                 "not finite; the camera is left as it was");
            return false;
        }
        cam.extents = *e;
    }
    return true;
}

bool engine::start_motion() {
    camera_state cam;
    if (!read_camera(cam)) return false;
    put(prop::motion, flag_value(true));
    motion_.store(true);

    const auto model = read_box(prop::model_extents);
    const bool model_ok = model && valid_box(*model);
    const double scene_size = model_ok ? length(to_vec(model->max) - to_vec(model->min)) : 0.0;
    min_distance_ = scene_size > 0 ? scene_size * 1e-4 : 1e-6;

    bool user = false;
    value u;
    if (get(prop::pivot_user, u) && u.type == bool_type && u.b != 0) {
        value pp;
        if (get(prop::pivot_position, pp) && pp.type == point_type && finite(to_vec(pp.pt))) {
            pivot_ = to_vec(pp.pt);
            user = true;
        }
    }
    if (!user) {
        value se;
        const bool selection = get(prop::selection_empty, se) && se.type == bool_type && se.b == 0;
        const double view_width_at_1 = cam.perspective ? 2 * cam.tan_half_w : cam.extents.max.x - cam.extents.min.x;
        const vec3 forward = cam.frame.forward();
        // The nearest hit along a ray, asked of the application.
        const auto hit_test = [&](vec3 from, vec3 along) -> std::optional<vec3> {
            put(prop::hit_lookfrom, point_value(from));
            value direction(vector_type);
            direction.v = {along.x, along.y, along.z};
            put(prop::hit_direction, direction);
            put(prop::hit_aperture, value(aperture_fraction * view_width_at_1));
            put(prop::hit_selection_only, flag_value(selection));
            value hit;
            if (get(prop::hit_lookat, hit) && hit.type == point_type && finite(to_vec(hit.pt))) return to_vec(hit.pt);
            return std::nullopt;
        };
        std::optional<vec3> hit;
        value pointer;
        if (settings_.pivot == pivot_mode::pointer && get(prop::pointer_position, pointer) &&
            pointer.type == point_type && finite(to_vec(pointer.pt))) {
            // "pointer.position" is a world point on the pointer's line of sight: from
            // the eye through it (perspective), or parallel to the view through it.
            const vec3 p = to_vec(pointer.pt);
            if (cam.perspective) {
                const vec3 along = p - cam.frame.eye;
                const double n = length(along);
                if (n > 0 && dot(along, forward) > 0) hit = hit_test(cam.frame.eye, along * (1.0 / n));
            } else {
                hit = hit_test(p - forward * dot(p - cam.frame.eye, forward), forward);
            }
        }
        // No pointer, or nothing under it: the hit at the view's centre.
        if (!hit) hit = hit_test(cam.frame.eye, forward);
        std::optional<box> selected;
        if (hit) {
            pivot_ = *hit;
        } else if (selection && (selected = read_box(prop::selection_extents)) && valid_box(*selected)) {
            pivot_ = centre(*selected);
        } else if (model_ok) {
            pivot_ = centre(*model);
        } else {
            told_("no-pivot", "no hit, selection or model extents to turn about; the pivot is put one unit in "
                              "front of the eye");
            pivot_ = cam.frame.eye + forward;
        }
        put(prop::pivot_position, point_value(pivot_));
    }
    put(prop::pivot_visible, flag_value(true));
    if (settings_.lock_horizon) world_up_ = read_world_up();
    return alive();
}

vec3 engine::read_world_up() {
    // "coordinateSystem"'s columns are the world's right, up and front axes; Y up when unanswered.
    value c;
    camera_frame axes_frame;
    if (get(prop::coordinate_system, c) && c.type == matrix_type && rotation_from_matrix(c.m, axes_frame))
        return axes_frame.up;
    return {0, 1, 0};
}

void engine::end_motion() {
    put(prop::pivot_visible, flag_value(false));
    put(prop::motion, flag_value(false));
    motion_.store(false);
}

void engine::move(const axes& d, double dt_s) {
    camera_state cam;
    if (!read_camera(cam)) return;
    camera_state next = cam;
    camera_frame& f = next.frame;
    const double s = settings_.sensitivity * speed_factor(speed_steps_);

    // Object-style: the model follows the cap, so the camera turns the other way about the pivot.
    const double turn = rotation_rate * s * settings_.rotation_sensitivity * dt_s;
    bool turned = false;
    if (settings_.lock_horizon) {
        // Screen-vertical turns go about the world's up axis, screen-horizontal ones tilt.
        turned = d[3] != 0 || d[4] != 0;
        if (turned) turn_level(f, pivot_, world_up_, -d[4] * turn, -d[3] * turn);
    } else {
        const vec3 axis = cam.frame.right * d[3] + cam.frame.up * d[4] + cam.frame.back * d[5];
        const double magnitude = length(axis);
        turned = magnitude > 0;
        if (turned) f.rotate_about(pivot_, axis * (1.0 / magnitude), -magnitude * turn);
    }

    // A full deflection crosses one view width per second at the pivot's depth.
    double width;
    if (cam.perspective) {
        double depth = -f.to_camera(pivot_).z;
        if (!(depth > min_distance_)) depth = std::max(length(pivot_ - f.eye), min_distance_);
        width = 2 * depth * cam.tan_half_w;
    } else {
        width = cam.extents.max.x - cam.extents.min.x;
    }
    const double pan = width * s * settings_.translation_sensitivity * dt_s;
    f.eye = f.eye - (f.right * d[0] + f.up * d[1]) * pan;

    // Pulling the cap toward the viewer brings the model closer.
    const double factor = std::exp(-d[2] * zoom_rate * s * settings_.zoom_sensitivity * dt_s);
    bool extents_changed = false;
    if (d[2] != 0 && cam.perspective) {
        const vec3 offset = f.eye - pivot_;
        const double distance = length(offset);
        if (distance > 0) {
            // Never onto or through the pivot.
            const double wanted = std::max(distance * factor, std::min(distance, min_distance_));
            f.eye = pivot_ + offset * (wanted / distance);
        }
    } else if (d[2] != 0) {
        box& e = next.extents;
        const double cx = (e.min.x + e.max.x) / 2, cy = (e.min.y + e.max.y) / 2;
        const double hw = (e.max.x - e.min.x) / 2 * factor, hh = (e.max.y - e.min.y) / 2 * factor;
        if (hw > 0 && hh > 0) {
            e.min.x = cx - hw;
            e.max.x = cx + hw;
            e.min.y = cy - hh;
            e.max.y = cy + hh;
            extents_changed = true;
        }
    }
    const bool pose_changed = turned || d[0] != 0 || d[1] != 0 || (d[2] != 0 && cam.perspective);
    if (!pose_changed && !extents_changed) return;
    write_camera(cam, next, pose_changed);
}

void engine::write_camera(const camera_state& before, const camera_state& after, bool pose_changed) {
    const matrix m = matrix_from_frame(after.frame);
    const bool extents_changed = !after.perspective && std::memcmp(&before.extents, &after.extents, sizeof(box)) != 0;
    if (!finite(m) || (extents_changed && !finite(after.extents))) {
        told_("result-bad", "a computed camera was not finite; the camera is left as it was");
        return;
    }
    put(prop::transaction, value(int32_t{1}));
    if (pose_changed) {
        value v(matrix_type);
        v.m = m;
        put(prop::view_affine, v);
    }
    if (extents_changed) {
        value v(box_type);
        v.bx = after.extents;
        put(prop::view_extents, v);
    }
    put(prop::transaction, value(int32_t{0}));
}

void engine::run_view_command(view_command command) {
    camera_state cam;
    if (!read_camera(cam)) return;
    camera_frame world;  // the world's right, up and front-facing axes: the identity unless answered
    std::optional<camera_frame> front;
    if (command != view_command::fit) {
        value c;
        if (!(get(prop::coordinate_system, c) && c.type == matrix_type && rotation_from_matrix(c.m, world)))
            world = camera_frame{};
        value fv;
        camera_frame relative;
        if (get(prop::views_front, fv) && fv.type == matrix_type && rotation_from_matrix(fv.m, relative))
            front = relative;
    }
    const auto model = read_box(prop::model_extents);
    const auto moved = model ? view_command_camera(command, cam, world, front, *model) : std::nullopt;
    if (!moved) {
        told_("model-extents-bad", "the application's model extents (model.extents) are missing or not finite; "
                                   "the view command does nothing");
        return;
    }
    camera_state next;
    static_cast<view_camera&>(next) = *moved;
    write_camera(cam, next, true);
}

}  // namespace zibrel::qorzibrel
