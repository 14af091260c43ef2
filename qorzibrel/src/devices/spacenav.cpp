#include "devices/spacenav.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <functional>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/library_thread.h"
#include "base/report.h"
#include "base/unwind.h"
#include "devices/input_sink.h"
#include "devices/spacenav_events.h"

namespace zibrel::qorzibrel {
namespace {

using clock = std::chrono::steady_clock;

struct spnav_api {
    int (*open)();
    int (*close)();
    int (*fd)();
    int (*poll_event)(spnav_event*);
    // libspnav 1.0's device queries; absent in older libraries.
    int (*protocol)();
    int (*dev_name)(char*, int);
    int (*dev_axes)();
    int (*dev_buttons)();
};

constexpr auto retry_interval = std::chrono::seconds(2);
// A daemon that keeps closing the connection is retried less and less often,
// up to this; once a connection has lasted `stable_after`, a loss is news again.
constexpr auto max_retry_interval = std::chrono::seconds(30);
constexpr auto stable_after = std::chrono::seconds(10);
class reader final : public loop_task {
public:
    static reader& instance() {
        // Never destroyed: the library thread may run it while the process exits.
        static reader* const r = new reader;
        return *r;
    }

    void attach(const std::shared_ptr<input_sink>& sink, const std::string& library,
                std::function<void(const std::string&)> without_device) {
        std::lock_guard lock(mutex_);
        if (library_.empty()) library_ = library;
        if (without_device) without_device_ = std::move(without_device);
        sinks_.add(sink);
        ++attaches_;
        if (on_thread_) {
            library_thread::wake(this);
            return;
        }
        // Never destroyed, so the thread's reference owns nothing.
        if (library_thread::add(std::shared_ptr<loop_task>(this, [](loop_task*) {}), steady_clock::now())) {
            on_thread_ = true;
        } else {
            report("spacenavd input is off: the library's thread cannot be started");
        }
    }

    // A sink may have closed: the reader lets the daemon go when nobody listens.
    void poke() {
        std::lock_guard lock(mutex_);
        if (on_thread_) library_thread::wake(this);
    }

    steady_clock::time_point run(steady_clock::time_point now) override {
        try {
            return round(now);
        } catch (...) {
            // Nothing may end the reader but the end of the process.
            if (foreign_exception()) throw;
            told_("failure", "the spacenavd reader met an unexpected error; it starts over in two seconds");
            close_daemon();
            retry_at_ = now + retry_interval;
            return retry_at_;
        }
    }

    void ready(int fd, uint32_t events) override {
        if (fd != fd_) return;
        std::vector<std::shared_ptr<input_sink>> receivers;
        {
            std::lock_guard lock(mutex_);
            receivers = sinks_.receivers();
        }
        if (!read_events(events, receivers)) {
            close_daemon();
            lost();
            library_thread::wake(this);
        }
    }

    spacenavd_status probe(const std::string& library) {
        spacenavd_status s;
        s.socket = spacenavd_socket_path();
        {
            std::lock_guard lock(mutex_);
            if (library_.empty()) library_ = library;
        }
        std::string problem;
        if (!load(problem)) {
            s.problem = problem;
            return s;
        }
        std::lock_guard lock(spnav_mutex_);
        if (connected_ && connected_socket_ == s.socket) {
            fill(s);
            return s;
        }
        if (connected_) {
            // libspnav keeps one connection per process: no second one to ask.
            s.problem = "This process is connected to spacenavd at " + connected_socket_ + ", not " + s.socket + ".";
            return s;
        }
        struct stat st{};
        if (::stat(s.socket.c_str(), &st) != 0) {
            s.problem = "No spacenavd socket at " + s.socket + " (start spacenavd, or set SPNAV_SOCKET).";
            return s;
        }
        if (api_.open() == -1) {
            s.problem = "No daemon answers at " + s.socket + " (start spacenavd, or set SPNAV_SOCKET).";
            return s;
        }
        query_device();
        fill(s);
        api_.close();
        return s;
    }

private:
    // The cached answers of the daemon; requires spnav_mutex_.
    void fill(spacenavd_status& s) const {
        s.answered = true;
        s.queries = queries_;
        s.has_device = has_device_;
        s.name = name_;
        s.axes = axes_;
        s.buttons = buttons_;
        if (queries_ && !has_device_) s.problem = "spacenavd at " + s.socket + " answers but has no device.";
    }

    // Asks the daemon about its device; requires spnav_mutex_ and a connection.
    void query_device() {
        queries_ = api_.protocol != nullptr && api_.dev_name != nullptr && api_.protocol() >= 1;
        has_device_ = false;
        name_.clear();
        axes_ = buttons_ = 0;
        if (!queries_) {
            // An older daemon only sends events: it may well have a device.
            has_device_ = true;
            name_ = "spacenavd device (the daemon does not answer device queries)";
            axes_ = 6;
            return;
        }
        char name[256] = {};
        const int n = api_.dev_name(name, sizeof name);
        if (n > 0) {
            name_.assign(name, std::min<size_t>(static_cast<size_t>(n), sizeof name - 1));
            for (char& c : name_) {
                if (static_cast<unsigned char>(c) < 0x20) c = '?';
            }
        }
        axes_ = api_.dev_axes != nullptr ? std::max(api_.dev_axes(), 0) : 0;
        buttons_ = api_.dev_buttons != nullptr ? std::max(api_.dev_buttons(), 0) : 0;
        has_device_ = n > 0;
        if (!has_device_) axes_ = buttons_ = 0;
    }

    bool load(std::string& problem) {
        std::lock_guard lock(spnav_mutex_);
        if (loaded_) {
            problem = load_problem_;
            return api_.open != nullptr;
        }
        loaded_ = true;
        std::string name;
        {
            std::lock_guard names(mutex_);
            name = library_;
        }
        void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            load_problem_ = "spacenavd input is off: " + name + " cannot be loaded (" + (why ? why : "unknown reason") +
                            "); install libspnav0 for the 3D mouse. Other device sources still work.";
            problem = load_problem_;
            return false;
        }
        spnav_api api{};
        const auto symbol = [&](const char* n) { return dlsym(handle, n); };
        api.open = reinterpret_cast<int (*)()>(symbol("spnav_open"));
        api.close = reinterpret_cast<int (*)()>(symbol("spnav_close"));
        api.fd = reinterpret_cast<int (*)()>(symbol("spnav_fd"));
        api.poll_event = reinterpret_cast<int (*)(spnav_event*)>(symbol("spnav_poll_event"));
        api.protocol = reinterpret_cast<int (*)()>(symbol("spnav_protocol"));
        api.dev_name = reinterpret_cast<int (*)(char*, int)>(symbol("spnav_dev_name"));
        api.dev_axes = reinterpret_cast<int (*)()>(symbol("spnav_dev_axes"));
        api.dev_buttons = reinterpret_cast<int (*)()>(symbol("spnav_dev_buttons"));
        if (!api.open || !api.close || !api.fd || !api.poll_event) {
            load_problem_ = "spacenavd input is off: " + name + " lacks the spnav_open, spnav_close, spnav_fd or "
                            "spnav_poll_event functions. Other device sources still work.";
            problem = load_problem_;
            return false;  // kept loaded: unloading a library that ran nothing gains nothing
        }
        api_ = api;
        return true;
    }

    void close_daemon() {
        std::lock_guard lock(spnav_mutex_);
        if (fd_ >= 0) library_thread::unwatch(fd_);
        if (!connected_) return;
        api_.close();
        connected_ = false;
        fd_ = -1;
    }

    steady_clock::time_point round(steady_clock::time_point now) {
        uint64_t attaches;
        bool listened;
        {
            std::lock_guard lock(mutex_);
            listened = !sinks_.receivers().empty();
            if (!listened) on_thread_ = false;
            attaches = attaches_;
        }
        if (!listened) {
            // Nobody listens: let go of the daemon, and tell the next user afresh.
            close_daemon();
            told_.forget();
            lost_told_ = false;
            retry_delay_ = retry_interval;
            retry_at_ = {};
            return done;
        }
        if (attaches != seen_attaches_) {
            // A new listener: try at once, and tell it what goes wrong.
            seen_attaches_ = attaches;
            retry_delay_ = retry_interval;
            retry_at_ = {};
            lost_told_ = false;
            told_.forget();
        }
        std::string problem;
        if (!load(problem)) {
            if (!load_told_) report(problem);  // once per process: it will not change
            load_told_ = true;
            return idle;
        }
        if (fd_ >= 0 && connected_socket_ != spacenavd_socket_path()) {
            // A new listener came with another daemon socket (SPNAV_SOCKET).
            close_daemon();
        }
        if (fd_ < 0) {
            if (now < retry_at_) return retry_at_;
            if (!connect()) {
                retry_at_ = now + retry_interval;
                return retry_at_;
            }
            library_thread::watch(this, fd_);
            tell_if_without_device();
        }
        return idle;
    }

    bool connect() {
        std::lock_guard lock(spnav_mutex_);
        const std::string socket = spacenavd_socket_path();
        // A daemon that accepts but never answers libspnav's version request
        // costs libspnav 300 ms here; a real one answers at once.
        if (api_.open() == -1) {
            told_("missing", "spacenavd input is off: no daemon answers at " + socket +
                                 " (start spacenavd, or set SPNAV_SOCKET). Other device sources still work; "
                                 "retrying every 2 s.");
            return false;
        }
        fd_ = api_.fd();
        if (fd_ < 0) {
            api_.close();
            return false;
        }
        connected_ = true;
        connected_socket_ = socket;
        connected_at_ = clock::now();
        query_device();
        told_.forget();
        return true;
    }

    // A daemon that answers but has no device gives no input: the hook decides
    // whether that is worth a notice (nothing else gives input either).
    void tell_if_without_device() {
        std::string socket;
        {
            std::lock_guard lock(spnav_mutex_);
            if (!queries_ || has_device_) return;
            socket = connected_socket_;
        }
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = without_device_;
        }
        if (hook) hook(socket);
    }

    // The daemon closed the connection: told once until a connection has
    // lasted a while, and retried later and later while it keeps closing.
    void lost() {
        if (clock::now() - connected_at_ >= stable_after) {
            retry_delay_ = retry_interval;
            lost_told_ = false;
        }
        if (!lost_told_) {
            lost_told_ = true;
            report("spacenavd closed the connection; retrying in 2 s, then less often while it keeps closing "
                   "(at most every 30 s)");
        }
        retry_at_ = clock::now() + retry_delay_;
        retry_delay_ = std::min<clock::duration>(retry_delay_ * 2, max_retry_interval);
    }

    // False when the daemon has gone.
    bool read_events(uint32_t revents, const std::vector<std::shared_ptr<input_sink>>& receivers) {
        char probe;
        const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        std::vector<spnav_event> events;
        {
            std::lock_guard lock(spnav_mutex_);
            spnav_event ev{};
            // Bounded: a daemon that floods is read again next round.
            while (events.size() < 4096 && api_.poll_event(&ev) != 0) {
                if (ev.type == spnav_event_dev) query_device();
                else events.push_back(ev);
            }
        }
        for (const auto& sink : receivers) {
            for (const spacenavd_input& in : spacenavd_inputs(events, sink->full_scale())) {
                if (in.kind == spacenavd_input::sample) sink->sample(in.deflection);
                else sink->button(in.button_number, in.pressed);
            }
        }
        return true;
    }

    std::mutex mutex_;  // guards sinks_, library_, on_thread_, attaches_, without_device_
    sink_list sinks_;
    std::function<void(const std::string&)> without_device_;
    std::string library_;
    bool on_thread_ = false;
    uint64_t attaches_ = 0;

    std::mutex spnav_mutex_;  // every libspnav call, and what it answered
    bool loaded_ = false;
    std::string load_problem_;
    spnav_api api_{};
    bool connected_ = false;
    std::string connected_socket_;
    bool queries_ = false;
    bool has_device_ = false;
    std::string name_;
    int axes_ = 0, buttons_ = 0;

    // Used on the library thread only.
    int fd_ = -1;  // written under spnav_mutex_ too
    uint64_t seen_attaches_ = 0;
    clock::time_point connected_at_{};
    clock::duration retry_delay_ = retry_interval;
    clock::time_point retry_at_{};  // no connection is tried before
    bool lost_told_ = false;
    bool load_told_ = false;
    report_once told_;
};

}  // namespace

std::string spacenavd_socket_path() {
    const char* path = std::getenv("SPNAV_SOCKET");
    return path != nullptr && *path != '\0' ? path : "/var/run/spnav.sock";
}

void spacenavd_attach(const std::shared_ptr<input_sink>& sink, const std::string& library,
                      std::function<void(const std::string&)> without_device) {
    reader::instance().attach(sink, library, std::move(without_device));
}

spacenavd_status spacenavd_probe(const std::string& library) { return reader::instance().probe(library); }

void spacenavd_listeners_changed() { reader::instance().poke(); }

}  // namespace zibrel::qorzibrel
