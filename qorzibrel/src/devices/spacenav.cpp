#include "devices/spacenav.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "interface/callers.h"
#include "engine/engine.h"
#include "interface/report.h"

namespace zibrel::qorzibrel {
namespace {

// The few libspnav declarations used, as libspnav 1.0 defines them.
constexpr int spnav_event_motion = 1;
constexpr int spnav_event_button = 2;

union spnav_event {
    int type;
    struct {
        int type;
        int x, y, z;
        int rx, ry, rz;
        unsigned int period;
        int* data;
    } motion;
    struct {
        int type;
        int press;
        int bnum;
    } button;
    char room[128];  // larger than any event of the library
};

struct spnav_api {
    int (*open)();
    int (*close)();
    int (*fd)();
    int (*poll_event)(spnav_event*);
};

constexpr auto retry_interval = std::chrono::seconds(2);
constexpr int poll_timeout_ms = 50;

class reader {
public:
    static reader& instance() {
        // Never destroyed: its detached thread may run while the process exits.
        static reader* const r = new reader;
        return *r;
    }

    void attach(const std::shared_ptr<engine>& target, const std::string& library) {
        std::lock_guard lock(mutex_);
        if (library_.empty()) library_ = library;
        targets_.push_back(target);
        if (!started_) {
            watch_process_exit();
            try {
                std::thread([this] { run(); }).detach();
                started_ = true;
            } catch (const std::exception&) {
                report("spacenavd input is off: its reader thread cannot be started");
            }
        }
        attached_.notify_all();
    }

private:
    // The newest attached engine still open; forgets the closed ones.
    std::shared_ptr<engine> target() {
        std::lock_guard lock(mutex_);
        std::erase_if(targets_, [](const std::weak_ptr<engine>& w) {
            auto e = w.lock();
            return e == nullptr || !e->accepts_input();
        });
        return targets_.empty() ? nullptr : targets_.back().lock();
    }

    bool load() {
        if (loaded_) return api_.open != nullptr;
        loaded_ = true;
        std::string name;
        {
            std::lock_guard lock(mutex_);
            name = library_;
        }
        void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            report("spacenavd input is off: " + name + " cannot be loaded (" + (why ? why : "unknown reason") +
                   "); install libspnav0 for the 3D mouse. Other device sources still work.");
            return false;
        }
        spnav_api api{};
        api.open = reinterpret_cast<int (*)()>(dlsym(handle, "spnav_open"));
        api.close = reinterpret_cast<int (*)()>(dlsym(handle, "spnav_close"));
        api.fd = reinterpret_cast<int (*)()>(dlsym(handle, "spnav_fd"));
        api.poll_event = reinterpret_cast<int (*)(spnav_event*)>(dlsym(handle, "spnav_poll_event"));
        if (!api.open || !api.close || !api.fd || !api.poll_event) {
            report("spacenavd input is off: " + name + " lacks the spnav_open, spnav_close, spnav_fd or "
                   "spnav_poll_event functions. Other device sources still work.");
            return false;  // kept loaded: unloading a library that ran nothing gains nothing
        }
        api_ = api;
        return true;
    }

    static std::string socket_path() {
        const char* path = std::getenv("SPNAV_SOCKET");
        return path != nullptr && *path != '\0' ? path : "/var/run/spnav.sock";
    }

    // Wait for an attach (or a while); false when the process exits.
    bool idle_wait(std::chrono::steady_clock::duration d) {
        std::unique_lock lock(mutex_);
        const size_t known = targets_.size();
        attached_.wait_for(lock, d, [&] { return targets_.size() != known || process_exiting(); });
        return !process_exiting();
    }

    void close_daemon() {
        if (fd_ < 0) return;
        std::lock_guard lock(spnav_mutex_);
        api_.close();
        fd_ = -1;
    }

    void run() {
        while (!process_exiting()) {
            auto dest = target();
            if (dest == nullptr) {
                // Nobody listens: let go of the daemon, and tell the next user afresh.
                close_daemon();
                told_.forget();
                idle_wait(std::chrono::seconds(1));
                continue;
            }
            if (!load()) {
                idle_wait(std::chrono::seconds(1));
                continue;
            }
            if (fd_ >= 0 && connected_for_.lock() != dest) {
                // A new listener may come with another daemon socket (SPNAV_SOCKET).
                close_daemon();
            }
            if (fd_ < 0 && !connect(dest)) {
                idle_wait(retry_interval);
                continue;
            }
            read_events(*dest);
        }
        close_daemon();
    }

    bool connect() {
        std::lock_guard lock(spnav_mutex_);
        // A daemon that accepts but never answers libspnav's version request
        // costs libspnav 300 ms here; a real one answers at once.
        if (api_.open() == -1) {
            told_("missing", "spacenavd input is off: no daemon answers at " + socket_path() +
                                 " (start spacenavd, or set SPNAV_SOCKET). Other device sources still work; "
                                 "retrying every 2 s.");
            return false;
        }
        fd_ = api_.fd();
        if (fd_ < 0) {
            api_.close();
            return false;
        }
        told_.forget();
        return true;
    }

    bool connect(const std::shared_ptr<engine>& dest) {
        if (!connect()) return false;
        connected_for_ = dest;
        return true;
    }

    void read_events(engine& dest) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, poll_timeout_ms);
        if (ready <= 0) return;
        char probe;
        const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
            close_daemon();
            told_("lost", "spacenavd closed the connection; retrying every 2 s");
            return;
        }
        std::vector<spnav_event> events;
        {
            std::lock_guard lock(spnav_mutex_);
            spnav_event ev{};
            while (api_.poll_event(&ev) != 0) events.push_back(ev);
        }
        const double full = dest.full_scale();
        for (const auto& ev : events) {
            if (ev.type == spnav_event_motion) {
                const auto& m = ev.motion;
                dest.push_sample(-1, {m.x / full, m.y / full, m.z / full, m.rx / full, m.ry / full, m.rz / full});
            } else if (ev.type == spnav_event_button) {
                dest.push_button(-1, ev.button.bnum, ev.button.press != 0);
            }
        }
    }

    std::mutex mutex_;  // guards targets_, library_, started_
    std::condition_variable attached_;
    std::vector<std::weak_ptr<engine>> targets_;
    std::string library_;
    bool started_ = false;

    // Used by the reader thread only.
    std::mutex spnav_mutex_;  // every libspnav call
    bool loaded_ = false;
    spnav_api api_{};
    int fd_ = -1;
    std::weak_ptr<engine> connected_for_;
    report_once told_;
};

}  // namespace

void spacenavd_attach(const std::shared_ptr<engine>& target, const std::string& library) {
    reader::instance().attach(target, library);
}

}  // namespace zibrel::qorzibrel
