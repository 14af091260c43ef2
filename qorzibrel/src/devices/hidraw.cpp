#include "devices/hidraw.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "base/library_thread.h"
#include "base/report.h"
#include "base/unwind.h"
#include "devices/hid_descriptor.h"
#include "devices/input_sink.h"

namespace zibrel::qorzibrel {
namespace {

using clock = std::chrono::steady_clock;


// Where inotify cannot tell of devices coming and going, the reader looks this often.
constexpr auto fallback_scan = std::chrono::seconds(10);
// Reads of one device per round: a device that floods cannot starve the others,
// and what it sends in one round becomes one sample.
constexpr int reads_per_round = 64;
// How long devices left to the application's frames stay unwatched without a
// frame: then the library's thread reads them again (an application that
// stalls, or stops ticking mid-motion, must not leave input unread). Frames
// push a timer on, so the library's thread wakes only when they stop.
constexpr auto frame_reading_grace = std::chrono::milliseconds(100);
// A device that sends only what its descriptor does not describe (a node that
// is /dev/zero, say) is left alone after this many in a row, until it is
// plugged in again: it would keep the reader busy for nothing.
constexpr uint32_t malformed_limit = 10000;
// A node that ends every read at once (a socket that accepts and closes, a
// node that reads as end of file) is opened again after this, then twice as
// long each time, up to `max_reopen_delay`; a device that sent a report, or
// stayed open for `stable_after`, is opened again at once when it comes back.
constexpr auto first_reopen_delay = std::chrono::milliseconds(500);
constexpr auto max_reopen_delay = std::chrono::seconds(30);
constexpr auto stable_after = std::chrono::seconds(2);

std::string join(const std::string& root, const std::string& path) {
    if (root.empty() || root == "/") return path;
    return (root.back() == '/' ? root.substr(0, root.size() - 1) : root) + path;
}

// A small file read whole without ever blocking: only a regular file (sysfs
// attributes are), at most `limit` bytes. Missing: false with an empty error.
bool read_small_file(const std::string& path, size_t limit, std::string& out, std::string& error) {
    out.clear();
    error.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) error = std::string("cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "is not a regular file";
        return false;
    }
    char buf[4096];
    while (out.size() <= limit) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot be read (") + std::strerror(errno) + ")";
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

struct candidate {
    std::string sysname;  // hidrawN
    std::string node;
    std::string name;
    std::string hid_id;  // bus:vendor:product from the uevent, may be empty
    hid_descriptor_result parsed;
    std::string read_error;  // the descriptor could not be read
};

std::string uevent_field(const std::string& uevent, const std::string& key) {
    size_t at = 0;
    while (at < uevent.size()) {
        const size_t end = std::min(uevent.find('\n', at), uevent.size());
        const std::string_view line(uevent.data() + at, end - at);
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == '=') {
            return std::string(line.substr(key.size() + 1));
        }
        at = end + 1;
    }
    return {};
}

// What a name may hold in a message: printable bytes, and not too many.
std::string printable(std::string s) {
    if (s.size() > 100) s.resize(100);
    for (char& c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return s;
}

std::vector<candidate> discover(const std::string& root) {
    std::vector<candidate> found;
    const std::string dir = join(root, "/sys/class/hidraw");
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return found;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n.starts_with("hidraw") && n.size() > 6 && n.size() < 20 &&
            n.find_first_not_of("0123456789", 6) == std::string::npos) {
            names.push_back(n);
        }
        if (names.size() >= 1024) break;
    }
    ::closedir(d);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const auto& n : names) {
        candidate c;
        c.sysname = n;
        c.node = join(root, "/dev/" + n);
        std::string text, error;
        const bool have = read_small_file(dir + "/" + n + "/device/report_descriptor", hid_max_descriptor_bytes, text,
                                          error);
        if (!have && error.empty()) continue;  // not a device (yet)
        if (!have) {
            c.read_error = "its report descriptor " + error;
        } else {
            c.parsed = parse_hid_descriptor(
                std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
            if (!c.parsed.multi_axis) continue;  // a keyboard, a mouse: none of ours
        }
        std::string uevent;
        if (read_small_file(dir + "/" + n + "/device/uevent", 8192, uevent, error)) {
            c.name = printable(uevent_field(uevent, "HID_NAME"));
            c.hid_id = uevent_field(uevent, "HID_ID");
        }
        if (c.name.empty()) c.name = "multi-axis controller " + n;
        found.push_back(std::move(c));
    }
    return found;
}

std::string describe(const candidate& c) { return "HID device " + c.node + " (" + c.name + ")"; }

// A udev rule that lets the logged-in user read this device (or every hidraw
// multi-axis controller when the device's ids are unknown).
std::string udev_rule(const std::string& hid_id) {
    unsigned bus = 0, vendor = 0, product = 0;
    char tail = 0;
    if (std::sscanf(hid_id.c_str(), "%x:%x:%x%c", &bus, &vendor, &product, &tail) == 3 && vendor <= 0xFFFF &&
        product <= 0xFFFF) {
        char rule[160];
        std::snprintf(rule, sizeof rule, "KERNEL==\"hidraw*\", KERNELS==\"*:%04X:%04X.*\", TAG+=\"uaccess\"", vendor,
                      product);
        return rule;
    }
    return "KERNEL==\"hidraw*\", TAG+=\"uaccess\"";
}

std::string owner_text(const struct stat& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "mode %04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string text = buf;
    std::vector<char> scratch(16384);
    passwd pw{};
    passwd* pwp = nullptr;
    if (::getpwuid_r(st.st_uid, &pw, scratch.data(), scratch.size(), &pwp) == 0 && pwp != nullptr) {
        text += std::string(", owner ") + pw.pw_name;
    } else {
        text += ", owner " + std::to_string(st.st_uid);
    }
    group gr{};
    group* grp = nullptr;
    if (::getgrgid_r(st.st_gid, &gr, scratch.data(), scratch.size(), &grp) == 0 && grp != nullptr) {
        text += std::string(", group ") + gr.gr_name;
    } else {
        text += ", group " + std::to_string(st.st_gid);
    }
    return text;
}

std::string permission_problem(const candidate& c, const struct stat& st) {
    return describe(c) + " cannot be read: permission denied (" + owner_text(st) +
           "). Let your user read it with a udev rule: put the line  " + udev_rule(c.hid_id) +
           "  into /etc/udev/rules.d/70-zibrel-3d-mouse.rules, run  sudo udevadm control --reload-rules && "
           "sudo udevadm trigger  and plug the device in again.";
}

enum class node_kind { device, fifo, socket };

struct opened {
    int fd = -1;
    node_kind kind = node_kind::device;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string problem;  // when fd < 0
    bool present = true;
};

// Opens a device node without blocking. With `probe_only` a FIFO or socket
// is only checked, not opened: opening would disturb whoever writes it.
opened open_node(const candidate& c, bool probe_only) {
    opened o;
    struct stat st{};
    if (::stat(c.node.c_str(), &st) != 0) {
        o.present = errno != ENOENT;
        o.problem = describe(c) + " cannot be read: " +
                    (errno == ENOENT ? std::string("the device node is missing") : std::strerror(errno)) + ".";
        return o;
    }
    o.dev = st.st_dev;
    o.ino = st.st_ino;
    if (S_ISCHR(st.st_mode)) o.kind = node_kind::device;
    else if (S_ISFIFO(st.st_mode)) o.kind = node_kind::fifo;
    else if (S_ISSOCK(st.st_mode)) o.kind = node_kind::socket;
    else {
        o.problem = describe(c) + " cannot be read: it is not a device, FIFO or socket.";
        return o;
    }
    if (probe_only && o.kind != node_kind::device) {
        if (::access(c.node.c_str(), R_OK) != 0) {
            o.problem = errno == EACCES ? permission_problem(c, st)
                                        : describe(c) + " cannot be read: " + std::strerror(errno) + ".";
        }
        return o;
    }
    if (o.kind == node_kind::socket) {
        sockaddr_un addr{};
        if (c.node.size() >= sizeof addr.sun_path) {
            o.problem = describe(c) + " cannot be read: its path is too long for a socket.";
            return o;
        }
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, c.node.c_str(), c.node.size() + 1);
        o.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (o.fd >= 0 && ::connect(o.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
            errno != EINPROGRESS) {
            const int err = errno;
            ::close(o.fd);
            o.fd = -1;
            errno = err;
        }
    } else {
        o.fd = ::open(c.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (o.fd < 0) {
        o.problem = errno == EACCES || errno == EPERM ? permission_problem(c, st)
                                                      : describe(c) + " cannot be read: " + std::strerror(errno) + ".";
        return o;
    }
    if (probe_only) {
        ::close(o.fd);
        o.fd = -1;
    }
    return o;
}

bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A device being read.
struct device {
    candidate info;
    opened node;
    std::vector<uint8_t> stream;  // a FIFO's bytes not yet framed into a report
    axes state{};                 // every axis as last reported
    std::bitset<hid_max_buttons> buttons;
    bool told_length = false;
    uint32_t malformed = 0;  // reports (or stream bytes) in a row that no descriptor entry fits
    clock::time_point opened_at = clock::now();
    bool delivered = false;  // it sent a report its descriptor describes

    ~device() {
        if (node.fd >= 0) ::close(node.fd);
    }
};

// What one round of reads of a device gave: a flood becomes one sample, the
// device's state after its last report (the cap's position, all axes).
struct round_input {
    axes latest{};
    bool moved = false;
    std::vector<std::pair<int, bool>> buttons;
    bool lost = false;
};

class reader final : public loop_task {
public:
    static reader& instance() {
        // Never destroyed: the library thread may run it while the process exits.
        static reader* const r = new reader;
        return *r;
    }

    void attach(const std::shared_ptr<input_sink>& sink, const std::string& root) {
        std::lock_guard lock(mutex_);
        sinks_.add(sink);
        root_ = root;
        rescan_ = true;
        listeners_changed_ = true;
        serve();
    }

    // A sink may have closed: the reader lets its devices go when nobody listens.
    void poke() {
        std::lock_guard lock(mutex_);
        listeners_changed_ = true;
        if (on_thread_) library_thread::wake(this);
    }

    // On the application's thread, before a frame of `sink`. While the view
    // moves and `sink` is the only listener, its frames read the devices and the
    // library's thread stops watching them; reports are then read once per
    // frame, where they are used, instead of waking a thread each.
    void frame_begins(const input_sink* sink, bool moving) {
        if (!moving && !frame_reading_.load()) return;
        // Never wait for the library's thread: it delivers what it is reading.
        std::unique_lock devices(devices_mutex_, std::try_to_lock);
        if (!devices.owns_lock()) return;
        if (!frame_reading_.load()) {
            if (!hand_to_frames(sink)) return;
        } else if (sink != frame_sink_) {
            return;
        }
        last_frame_read_ = steady_clock::now();
        // Pushed on every few frames, not each: one system call per grace's half.
        if (grace_due_ - last_frame_read_ < frame_reading_grace / 2) arm_grace(last_frame_read_ + frame_reading_grace);
        for (auto& d : devices_) {
            const round_input in = read_device(*d, 0);
            deliver(in, frame_receivers_);
            // A device that went or talks nonsense is the library thread's to handle.
            if (in.lost || d->malformed >= malformed_limit) {
                take_back();
                library_thread::wake(this);
                return;
            }
        }
    }

    // After that frame: when frames stop (`more` false), the library's thread
    // watches the devices again, so the next touch wakes a waiting application.
    void frame_ends(const input_sink* sink, bool more) {
        if (more || !frame_reading_.load()) return;
        // Busy: the library's thread takes it back itself within the grace period.
        std::unique_lock devices(devices_mutex_, std::try_to_lock);
        if (devices.owns_lock() && frame_reading_.load() && sink == frame_sink_) take_back();
    }

    steady_clock::time_point run(steady_clock::time_point now) override {
        std::lock_guard devices(devices_mutex_);
        try {
            return round(now);
        } catch (...) {
            if (foreign_exception()) throw;
            told_("failure", "the HID reader met an unexpected error; it starts over in a second");
            close_all();
            return now + std::chrono::seconds(1);
        }
    }

    void ready(int fd, uint32_t events) override {
        std::lock_guard devices(devices_mutex_);
        if (fd == grace_fd_) {
            uint64_t expirations = 0;
            while (::read(grace_fd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
            }
            const auto back_at = last_frame_read_ + frame_reading_grace;
            if (steady_clock::now() >= back_at) {
                take_back();
            } else {
                arm_grace(back_at);
            }
            return;
        }
        if (fd == inotify_fd_) {
            if (hot_plug_news()) library_thread::wake(this);
            return;
        }
        const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d->node.fd == fd; });
        if (it == devices_.end()) return;
        std::vector<std::shared_ptr<input_sink>> receivers;
        {
            std::lock_guard lock(mutex_);
            receivers = sinks_.receivers();
        }
        device& d = **it;
        round_input in = read_device(d, static_cast<short>(events & (POLLIN | POLLHUP | POLLERR)));
        deliver(in, receivers);
        bool gone = false;
        if (in.lost) {
            lost(d);
            gone = true;
        } else if (d.malformed >= malformed_limit) {
            report(describe(d.info) + " sends nothing its report descriptor describes; it is left alone until "
                                      "it is plugged in again. Other devices keep working.");
            ignored_[d.info.sysname] = {d.node.dev, d.node.ino};
            gone = true;
        }
        if (gone) {
            close_device(d);
            devices_.erase(it);
            // A read error is how a device usually goes: look again soon.
            next_scan_ = std::min(next_scan_, steady_clock::now() + std::chrono::milliseconds(100));
            library_thread::wake(this);
        }
    }

private:
    // Requires devices_mutex_. True when `sink`, application-timed, is the only
    // listener: the devices are left to its frames.
    bool hand_to_frames(const input_sink* sink) {
        if (devices_.empty()) return false;
        std::vector<std::shared_ptr<input_sink>> receivers;
        {
            std::lock_guard lock(mutex_);
            if (!on_thread_) return false;
            receivers = sinks_.receivers();
            listeners_changed_ = false;
        }
        if (receivers.size() != 1 || receivers.front().get() != sink || !receivers.front()->reads_on_frames()) {
            return false;
        }
        // The grace timer: without it the devices stay with the library's thread.
        grace_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (grace_fd_ < 0) return false;
        library_thread::watch(this, grace_fd_);
        grace_due_ = {};
        for (const auto& d : devices_) library_thread::unwatch(d->node.fd);
        frame_receivers_ = std::move(receivers);
        frame_sink_ = sink;
        frame_reading_.store(true);
        return true;
    }

    // Requires devices_mutex_: the grace timer fires at `due` (steady_clock is
    // CLOCK_MONOTONIC here, as the timer's clock).
    void arm_grace(steady_clock::time_point due) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        itimerspec at{};
        at.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        at.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        if (::timerfd_settime(grace_fd_, TFD_TIMER_ABSTIME, &at, nullptr) == 0) grace_due_ = due;
    }

    // Requires devices_mutex_: the library's thread reads the devices again.
    void take_back() {
        if (!frame_reading_.load()) return;
        for (const auto& d : devices_) {
            if (d->node.fd >= 0) library_thread::watch(this, d->node.fd);
        }
        frame_reading_.store(false);
        frame_sink_ = nullptr;
        frame_receivers_.clear();
        library_thread::unwatch(grace_fd_);
        ::close(grace_fd_);
        grace_fd_ = -1;
    }

    // Requires mutex_: the library thread serves the reader while it has listeners.
    void serve() {
        if (on_thread_) {
            library_thread::wake(this);
            return;
        }
        // Never destroyed, so the thread's reference owns nothing.
        if (library_thread::add(std::shared_ptr<loop_task>(this, [](loop_task*) {}), steady_clock::now())) {
            on_thread_ = true;
        } else {
            report("HID input is off: the library's thread cannot be started");
        }
    }

    steady_clock::time_point round(steady_clock::time_point now) {
        std::string root;
        bool rescan = false;
        bool listeners_changed = false;
        {
            std::unique_lock lock(mutex_);
            listeners_changed = std::exchange(listeners_changed_, false);
            if (sinks_.receivers().empty()) {
                // Nobody listens: let the devices go, and tell the next user afresh.
                on_thread_ = false;
                lock.unlock();
                close_all();
                told_.forget();
                return done;
            }
            root = root_;
            rescan = std::exchange(rescan_, false);
        }
        if (frame_reading_.load()) {
            if (!listeners_changed && !rescan && !hot_plugged_ && now < next_scan_ && root == active_root_) {
                return next_scan_ == steady_clock::time_point::max() ? idle : next_scan_;
            }
            take_back();
        }
        if (root != active_root_ || inotify_fd_ < 0) {
            close_all();
            active_root_ = root;
            watch_hot_plug();
            rescan = true;
        }
        if (rescan || hot_plugged_ || now >= next_scan_) {
            hot_plugged_ = false;
            scan();
            // With inotify a rescan is only the fallback for a device that went
            // while its node stayed; without it, hot-plug is found this often.
            next_scan_ = inotify_fd_ >= 0 && watching_dev_ ? steady_clock::time_point::max() : now + fallback_scan;
            // A node waiting to be opened again is looked at when its wait is over.
            for (const auto& [name, wait] : reopen_) {
                if (wait.not_before > now) next_scan_ = std::min(next_scan_, wait.not_before);
            }
        }
        return next_scan_ == steady_clock::time_point::max() ? idle : next_scan_;
    }

    // inotify on <root>/dev (and the class directory where it is a plain
    // directory, as under tests); on <root> while dev does not exist yet.
    void watch_hot_plug() {
        inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_fd_ < 0) return;
        constexpr uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF;
        watching_dev_ = ::inotify_add_watch(inotify_fd_, join(active_root_, "/dev").c_str(), mask) >= 0;
        if (!watching_dev_) ::inotify_add_watch(inotify_fd_, active_root_.c_str(), IN_CREATE | IN_MOVED_TO);
        ::inotify_add_watch(inotify_fd_, join(active_root_, "/sys/class/hidraw").c_str(), mask);
        library_thread::watch(this, inotify_fd_);
    }

    // Drains the inotify queue; true when something of ours changed.
    bool hot_plug_news() {
        alignas(inotify_event) char buf[4096];
        bool news = false;
        for (;;) {
            const ssize_t n = ::read(inotify_fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                const std::string_view name = ev->len > 0 ? std::string_view(ev->name) : std::string_view{};
                if (name.empty() || name.starts_with("hidraw")) news = true;
                if (name == "dev" && !watching_dev_) {
                    // The device directory appeared: watch it from now on.
                    constexpr uint32_t mask =
                        IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF;
                    watching_dev_ = ::inotify_add_watch(inotify_fd_, join(active_root_, "/dev").c_str(), mask) >= 0;
                    news = true;
                }
                if ((ev->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) {
                    // A watched directory went: start over, watching afresh.
                    stop_hot_plug();
                    news = true;
                    return news;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (news) hot_plugged_ = true;
        return news;
    }

    void stop_hot_plug() {
        if (inotify_fd_ < 0) return;
        library_thread::unwatch(inotify_fd_);
        ::close(inotify_fd_);
        inotify_fd_ = -1;
        watching_dev_ = false;
    }

    void close_device(device& d) {
        if (d.node.fd < 0) return;
        library_thread::unwatch(d.node.fd);
        ::close(d.node.fd);
        d.node.fd = -1;
    }

    void close_all() {
        take_back();
        for (auto& d : devices_) close_device(*d);
        devices_.clear();
        stop_hot_plug();
        active_root_.clear();
        next_scan_ = {};
    }

    void scan() {
        auto found = discover(active_root_);
        // Devices gone, or whose node is another file now (unplugged and back), are closed.
        std::erase_if(devices_, [&](const std::unique_ptr<device>& d) {
            struct stat st{};
            const bool same = std::any_of(found.begin(), found.end(), [&](const candidate& c) {
                return c.sysname == d->info.sysname;
            }) && ::stat(d->info.node.c_str(), &st) == 0 && st.st_dev == d->node.dev && st.st_ino == d->node.ino;
            if (!same) {
                lost(*d);
                close_device(*d);
            }
            return !same;
        });
        for (auto& c : found) {
            if (std::any_of(devices_.begin(), devices_.end(),
                            [&](const auto& d) { return d->info.sysname == c.sysname; })) {
                continue;
            }
            if (const auto it = ignored_.find(c.sysname); it != ignored_.end()) {
                struct stat st{};
                if (::stat(c.node.c_str(), &st) == 0 && st.st_dev == it->second.first &&
                    st.st_ino == it->second.second) {
                    continue;
                }
                ignored_.erase(it);  // another node: plugged in again
            }
            if (const auto it = reopen_.find(c.sysname); it != reopen_.end()) {
                struct stat st{};
                const bool same = ::stat(c.node.c_str(), &st) == 0 && st.st_dev == it->second.dev &&
                                  st.st_ino == it->second.ino;
                if (same && clock::now() < it->second.not_before) continue;
                if (!same) reopen_.erase(it);  // another node: plugged in again
            }
            if (!c.read_error.empty() || !c.parsed.ok) {
                const std::string why = !c.read_error.empty() ? c.read_error : c.parsed.error;
                told_("refused " + c.node + why, describe(c) + " is refused: " + why + ". Other devices keep working.");
                continue;
            }
            opened o = open_node(c, false);
            if (o.fd < 0) {
                told_("problem " + c.node + o.problem, o.problem);
                continue;
            }
            auto d = std::make_unique<device>();
            d->info = std::move(c);
            d->node = o;
            library_thread::watch(this, d->node.fd);
            devices_.push_back(std::move(d));
        }
    }

    // Told once until the device has worked again; one that never did is
    // opened again later and later.
    void lost(device& d) {
        if (d.delivered || clock::now() - d.opened_at >= stable_after) {
            lost_told_.erase(d.info.node);
            reopen_.erase(d.info.sysname);
        } else {
            auto& r = reopen_[d.info.sysname];
            r.delay = r.delay == clock::duration::zero() ? clock::duration(first_reopen_delay)
                                                          : std::min<clock::duration>(r.delay * 2, max_reopen_delay);
            r.not_before = clock::now() + r.delay;
            r.dev = d.node.dev;
            r.ino = d.node.ino;
        }
        if (lost_told_.insert(d.info.node).second) {
            report(describe(d.info) + " is gone; it is used again when it comes back.");
        }
    }

    round_input read_device(device& d, short revents) {
        round_input in;
        uint8_t buf[hid_max_report_bytes + 2];
        for (int n = 0; n < reads_per_round; ++n) {
            const ssize_t got = ::read(d.node.fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (n == 0 && (revents & (POLLHUP | POLLERR | POLLNVAL))) in.lost = true;
                break;
            }
            if (got == 0 && d.node.kind == node_kind::socket && !hung_up(d.node.fd)) {
                take_report(d, {}, in);  // an empty packet: no report
                continue;
            }
            if (got <= 0) {  // an error, or the writer of a FIFO or socket is gone
                in.lost = true;
                break;
            }
            const std::span<const uint8_t> bytes(buf, static_cast<size_t>(got));
            if (d.node.kind == node_kind::fifo) {
                frame_stream(d, bytes, in);
            } else {
                take_report(d, bytes, in);
            }
        }
        return in;
    }

    // A FIFO carries reports back to back: each is as long as its descriptor says.
    void frame_stream(device& d, std::span<const uint8_t> bytes, round_input& in) {
        d.stream.insert(d.stream.end(), bytes.begin(), bytes.end());
        size_t at = 0;
        while (at < d.stream.size()) {
            const size_t len = hid_stream_report_length(d.info.parsed.layout, d.stream[at]);
            if (len == 0) {  // no report begins here: skip to the next byte
                ++at;
                ++d.malformed;
                continue;
            }
            if (d.stream.size() - at < len) break;
            take_report(d, std::span<const uint8_t>(d.stream.data() + at, len), in);
            at += len;
        }
        d.stream.erase(d.stream.begin(), d.stream.begin() + static_cast<std::ptrdiff_t>(at));
    }

    void take_report(device& d, std::span<const uint8_t> raw, round_input& in) {
        hid_report_values v;
        const auto result = decode_hid_report(d.info.parsed.layout, raw, v);
        if (result != hid_decode_result::ok) ++d.malformed;
        if (result == hid_decode_result::wrong_length) {
            if (!d.told_length) {
                d.told_length = true;
                report(describe(d.info) + " sent a report of " + std::to_string(raw.size()) +
                            " bytes that its descriptor does not describe; such reports are dropped.");
            }
            return;
        }
        if (result != hid_decode_result::ok) return;
        d.malformed = 0;
        d.delivered = true;
        bool moved = false;
        for (size_t a = 0; a < v.axes.size(); ++a) {
            if (v.has_axis[a]) {
                d.state[a] = v.axes[a];
                moved = true;
            }
        }
        if (moved) {
            in.latest = d.state;
            in.moved = true;
        }
        for (size_t b = 0; b < hid_max_buttons; ++b) {
            if (!v.covered.test(b) || v.pressed.test(b) == d.buttons.test(b)) continue;
            d.buttons.set(b, v.pressed.test(b));
            // Bounded: a flood of presses keeps the newest.
            if (in.buttons.size() >= 1024) in.buttons.erase(in.buttons.begin());
            in.buttons.emplace_back(static_cast<int>(b), v.pressed.test(b));
        }
    }

    static void deliver(const round_input& in, const std::vector<std::shared_ptr<input_sink>>& receivers) {
        for (const auto& sink : receivers) {
            if (in.moved) sink->sample(in.latest);
            for (const auto& [b, pressed] : in.buttons) sink->button(b, pressed);
        }
    }

    std::mutex mutex_;  // guards sinks_, root_, rescan_, listeners_changed_, on_thread_
    sink_list sinks_;
    std::string root_;
    bool rescan_ = false;
    bool listeners_changed_ = false;
    bool on_thread_ = false;

    // Held by the library thread while it serves the reader and by an
    // application's frame while it reads the devices: everything below.
    std::mutex devices_mutex_;
    std::atomic<bool> frame_reading_{false};  // the devices are left to frame_sink_'s frames
    const input_sink* frame_sink_ = nullptr;  // for its identity only
    std::vector<std::shared_ptr<input_sink>> frame_receivers_;
    steady_clock::time_point last_frame_read_{};
    int grace_fd_ = -1;                  // a timerfd, while frames read
    steady_clock::time_point grace_due_{};  // when it fires

    std::string active_root_;
    std::vector<std::unique_ptr<device>> devices_;
    steady_clock::time_point next_scan_{};
    int inotify_fd_ = -1;
    bool watching_dev_ = false;
    bool hot_plugged_ = false;
    report_once told_;
    std::set<std::string> lost_told_;  // told gone, not working again yet
    std::map<std::string, std::pair<dev_t, ino_t>> ignored_;  // hidrawN: the node left alone
    struct reopen_wait {
        clock::duration delay{};
        clock::time_point not_before{};
        dev_t dev = 0;
        ino_t ino = 0;
    };
    std::map<std::string, reopen_wait> reopen_;  // hidrawN: a node that ended at once, opened again later
};

}  // namespace

std::string hid_root() {
    const char* root = std::getenv("ZIBREL_HID_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

std::string hid_node_pattern(const std::string& root) { return join(root, "/dev/hidraw*"); }

std::vector<hid_device_report> hid_probe(const std::string& root) {
    std::vector<hid_device_report> out;
    for (const auto& c : discover(root)) {
        hid_device_report r;
        r.name = c.name;
        r.node = c.node;
        if (!c.read_error.empty() || !c.parsed.ok) {
            r.problem = describe(c) + " is refused: " + (!c.read_error.empty() ? c.read_error : c.parsed.error) + ".";
        } else {
            r.axes = c.parsed.layout.axis_count;
            r.buttons = c.parsed.layout.button_count;
            const opened o = open_node(c, true);
            r.connected = o.present;
            r.problem = o.problem;
        }
        out.push_back(std::move(r));
    }
    return out;
}

void hid_attach(const std::shared_ptr<input_sink>& sink, const std::string& root) {
    reader::instance().attach(sink, root);
}

void hid_listeners_changed() { reader::instance().poke(); }

void hid_frame_begins(const input_sink* sink, bool moving) { reader::instance().frame_begins(sink, moving); }

void hid_frame_ends(const input_sink* sink, bool more) { reader::instance().frame_ends(sink, more); }

}  // namespace zibrel::qorzibrel
