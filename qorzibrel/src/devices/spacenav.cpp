#include "devices/spacenav.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <functional>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/detached_thread.h"
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
// How long probe() waits for an exchange of the reader to end: one connection
// and its device queries, each bounded by the answer limit.
constexpr std::chrono::milliseconds probe_wait = 3 * spacenavd_answer_limit;

std::string milliseconds_text(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

// True when the daemon has closed the connection and nothing is left to read:
// libspnav then loops on select and read for ever inside a device query.
bool closed_by_daemon(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// libspnav writes to the daemon with write(): one that has gone would end a
// host that does not ignore SIGPIPE (Python does, a C or C++ host may not).
// While this lives, a SIGPIPE of the calling thread is held and then dropped.
class sigpipe_held {
public:
    sigpipe_held() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~sigpipe_held() {
        if (!was_pending_) {
            const timespec now{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    sigpipe_held(const sigpipe_held&) = delete;
    sigpipe_held& operator=(const sigpipe_held&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
};

// Ends a libspnav exchange that outlives its deadline. libspnav finishes a
// reply it has begun with blocking reads, and loops on a connection the
// daemon has closed; so the socket's descriptor number is given an eventfd
// that is never readable and refuses every write, on which libspnav's next
// call fails at once, and the socket is shut down for reading, which ends a
// read already waiting on it. libspnav's spnav_close then closes the eventfd.
// The eventfd goes in first: libspnav's next write then fails quietly, where
// a shut-down socket would raise SIGPIPE. Made with the system calls
// themselves: a thread sanitizer's descriptor tracking takes replacing a
// descriptor another thread is blocked on (inside libspnav, which it does not
// see) for a race, and ending that call is the point.
void cut_connection(int fd) {
    const long socket = ::syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 0);
    const int dead = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (dead >= 0) {
        ::syscall(SYS_dup3, dead, fd, O_CLOEXEC);
        ::close(dead);
    }
    if (socket >= 0) {
        ::syscall(SYS_shutdown, socket, SHUT_RD);  // a read waiting on it returns
        ::syscall(SYS_close, socket);
    }
}

// A mutex whose lock can give up at a deadline. std::timed_mutex would do,
// but its timed lock (pthread_mutex_clocklock) is one the thread sanitizer
// does not see, so it would report every unlock.
class deadline_mutex {
public:
    void lock() {
        std::unique_lock lock(mutex_);
        free_.wait(lock, [&] { return !held_; });
        held_ = true;
    }
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
        std::unique_lock lock(mutex_);
        if (!free_.wait_for(lock, wait, [&] { return !held_; })) return false;
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;
};

class exchange_watch {
public:
    // An exchange begins on the connection whose descriptor `fd` gives.
    void begin(clock::duration limit, int (*fd)()) {
        std::lock_guard lock(mutex_);
        active_ = true;
        cut_ = false;
        ++exchange_;
        deadline_ = clock::now() + limit;
        fd_ = fd;
        if (!started_ && !failed_) {
            try {
                start_detached([this] { run(); });
                started_ = true;
            } catch (const std::exception&) {
                failed_ = true;
                report("spacenavd exchanges have no time limit: their watch thread cannot be started");
            }
        }
        // Woken only from its idle wait: a wait for an earlier deadline ends by
        // itself and moves on to this one, so a stream of events costs no wake-ups.
        if (idle_) changed_.notify_all();
    }

    // The exchange was cut (so far).
    bool cut() {
        std::lock_guard lock(mutex_);
        return cut_;
    }

    // The exchange ended; true when it was cut. Never while a cut is under way.
    bool end() {
        std::lock_guard lock(mutex_);
        active_ = false;
        return std::exchange(cut_, false);
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            idle_ = true;
            // Exchanges come in bursts (a connection, a stream of events): between
            // them the process keeps no thread of ours but the library's own.
            if (!changed_.wait_for(lock, linger_, [&] { return active_ && !cut_; })) {
                started_ = false;
                idle_ = false;
                return;
            }
            idle_ = false;
            const uint64_t exchange = exchange_;
            if (changed_.wait_until(lock, deadline_, [&] { return !active_ || exchange_ != exchange; })) continue;
            const int fd = fd_ != nullptr ? fd_() : -1;
            if (fd < 0) {  // the socket is not made yet: look again soon
                deadline_ = clock::now() + std::chrono::milliseconds(20);
                continue;
            }
            cut_connection(fd);
            cut_ = true;
        }
    }

    static constexpr auto linger_ = std::chrono::seconds(2);

    std::mutex mutex_;  // a leaf: held while cutting, never while calling libspnav
    std::condition_variable changed_;
    bool started_ = false;
    bool failed_ = false;
    bool idle_ = false;
    bool active_ = false;
    bool cut_ = false;
    uint64_t exchange_ = 0;
    clock::time_point deadline_{};
    int (*fd_)() = nullptr;
};

// What the daemon said about its device.
struct daemon_answers {
    bool queries = false;
    bool has_device = false;
    std::string name;
    int axes = 0, buttons = 0;
};

enum class exchange_end { answered, silent, closed };

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
        if (library_thread::add(std::shared_ptr<loop_task>(this, [](loop_task*) {}), clock::now())) {
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

    clock::time_point run(clock::time_point now) override {
        try {
            return round(now);
        } catch (...) {
            // Nothing may end the reader but the end of its thread.
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
        switch (read_events(events, receivers)) {
        case exchange_end::answered: return;
        case exchange_end::closed:
            close_daemon();
            lost();
            break;
        case exchange_end::silent:
            close_daemon();
            failed(too_long(spacenavd_answer_limit));
            break;
        }
        library_thread::wake(this);  // to connect again when the back-off is over
    }

    spacenavd_status probe(const std::string& library, std::chrono::milliseconds limit) {
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
        // The reader's connection answers without a word to the daemon.
        if (from_reader(s)) return s;
        struct stat st{};
        if (::stat(s.socket.c_str(), &st) != 0) {
            s.problem = "No spacenavd socket at " + s.socket + " (start spacenavd, or set SPNAV_SOCKET).";
            return s;
        }
        // Bounded: the reader's exchanges are, and a probe never waits on one for long.
        const sigpipe_held quiet;
        std::unique_lock lock(spnav_mutex_, std::defer_lock);
        if (!lock.try_lock_for(probe_wait)) {
            s.problem = not_answering(s.socket, "an exchange with it has not ended after " +
                                                    milliseconds_text(probe_wait)) + "; restart spacenavd.";
            return s;
        }
        if (from_reader(s)) return s;  // connected meanwhile
        watch_.begin(limit, api_.fd);
        const int opened = api_.open();
        if (watch_.end()) {
            api_.close();
            s.problem = not_answering(s.socket, too_long(limit)) + "; restart spacenavd.";
            return s;
        }
        if (opened == -1) {
            s.problem = "No daemon answers at " + s.socket + " (start spacenavd, or set SPNAV_SOCKET).";
            return s;
        }
        daemon_answers answers;
        const exchange_end how = ask_device(answers, limit);
        api_.close();
        if (how != exchange_end::answered) {
            s.problem = not_answering(s.socket, how == exchange_end::silent ? too_long(limit) : closed_early) +
                        "; restart spacenavd.";
            return s;
        }
        fill(s, answers);
        return s;
    }

private:
    static constexpr const char* closed_early = "it closed the connection before answering";

    static std::string too_long(std::chrono::milliseconds limit) {
        return "an exchange with it took longer than " + milliseconds_text(limit);
    }

    static std::string not_answering(const std::string& socket, const std::string& why) {
        return "spacenavd at " + socket + " does not answer: " + why;
    }

    static void fill(spacenavd_status& s, const daemon_answers& a) {
        s.answered = true;
        s.queries = a.queries;
        s.has_device = a.has_device;
        s.name = a.name;
        s.axes = a.axes;
        s.buttons = a.buttons;
        if (a.queries && !a.has_device) s.problem = "spacenavd at " + s.socket + " answers but has no device.";
    }

    // What the reader's connection knows, when it is one to that socket; true when `s` is complete.
    bool from_reader(spacenavd_status& s) {
        std::lock_guard lock(state_mutex_);
        if (!connected_) return false;
        if (connected_socket_ == s.socket) {
            fill(s, answers_);
        } else {
            // libspnav keeps one connection per process: no second one to ask.
            s.problem = "This process is connected to spacenavd at " + connected_socket_ + ", not " + s.socket + ".";
        }
        return true;
    }

    // Asks the daemon about its device; requires spnav_mutex_ and a connection.
    exchange_end ask_device(daemon_answers& a, clock::duration limit) {
        a = {};
        a.queries = api_.protocol != nullptr && api_.dev_name != nullptr && api_.protocol() >= 1;
        if (!a.queries) {
            // An older daemon only sends events: it may well have a device.
            a.has_device = true;
            a.name = "spacenavd device (the daemon does not answer device queries)";
            a.axes = 6;
            return exchange_end::answered;
        }
        const int fd = api_.fd();
        // Checked before each query, as libspnav would loop on a closed connection
        // (the watch ends that too, when the daemon closes in the middle of one).
        if (closed_by_daemon(fd)) return exchange_end::closed;
        watch_.begin(limit, api_.fd);
        char name[256] = {};
        const int n = api_.dev_name(name, sizeof name);
        int axes = 0, buttons = 0;
        if (api_.dev_axes != nullptr && !watch_.cut() && !closed_by_daemon(fd)) axes = api_.dev_axes();
        if (api_.dev_buttons != nullptr && !watch_.cut() && !closed_by_daemon(fd)) buttons = api_.dev_buttons();
        if (watch_.end()) return exchange_end::silent;
        if (closed_by_daemon(fd)) return exchange_end::closed;
        if (n > 0) {
            a.name.assign(name, std::min<size_t>(static_cast<size_t>(n), sizeof name - 1));
            for (char& c : a.name) {
                if (static_cast<unsigned char>(c) < 0x20) c = '?';
            }
        }
        a.has_device = n > 0;
        a.axes = a.has_device ? std::max(axes, 0) : 0;
        a.buttons = a.has_device ? std::max(buttons, 0) : 0;
        return exchange_end::answered;
    }

    bool load(std::string& problem) {
        std::lock_guard lock(load_mutex_);
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
        if (fd_ < 0) return;
        library_thread::unwatch(fd_);
        api_.close();
        fd_ = -1;
        std::lock_guard state(state_mutex_);
        connected_ = false;
    }

    clock::time_point round(clock::time_point now) {
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
            std::string why;
            if (!connect(why)) {
                if (why.empty()) retry_at_ = clock::now() + retry_interval;
                else failed(why);
                return retry_at_;
            }
            library_thread::watch(this, fd_);
            tell_if_without_device();
        }
        return idle;
    }

    // False when there is no connection; `why` is empty when no daemon answers at
    // all, and says what went wrong when one began to answer.
    bool connect(std::string& why) {
        std::lock_guard lock(spnav_mutex_);
        const std::string socket = spacenavd_socket_path();
        // A daemon that accepts but never answers libspnav's version request
        // costs libspnav 300 ms here; a real one answers at once.
        watch_.begin(spacenavd_answer_limit, api_.fd);
        const int opened = api_.open();
        if (watch_.end()) {
            api_.close();
            why = too_long(spacenavd_answer_limit);
            return false;
        }
        if (opened == -1) {
            told_("missing", "spacenavd input is off: no daemon answers at " + socket +
                                 " (start spacenavd, or set SPNAV_SOCKET). Other device sources still work; "
                                 "retrying every 2 s.");
            return false;
        }
        const int fd = api_.fd();
        if (fd < 0) {
            api_.close();
            return false;
        }
        daemon_answers answers;
        const exchange_end how = ask_device(answers, spacenavd_answer_limit);
        if (how != exchange_end::answered) {
            api_.close();
            why = how == exchange_end::silent ? too_long(spacenavd_answer_limit) : closed_early;
            return false;
        }
        fd_ = fd;
        connected_at_ = clock::now();
        {
            std::lock_guard state(state_mutex_);
            connected_ = true;
            connected_socket_ = socket;
            answers_ = std::move(answers);
        }
        told_.forget();
        return true;
    }

    // A daemon that answers but has no device gives no input: the hook decides
    // whether that is worth a notice (nothing else gives input either).
    void tell_if_without_device() {
        std::string socket;
        {
            std::lock_guard state(state_mutex_);
            if (!answers_.queries || answers_.has_device) return;
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
        back_off();
    }

    // The daemon began to answer and did not finish: told once until a
    // connection works, and retried as one that keeps closing.
    void failed(const std::string& why) {
        told_("silent", not_answering(spacenavd_socket_path(), why) +
                            "; retrying in 2 s, then less often while it keeps failing (at most every 30 s)");
        back_off();
    }

    void back_off() {
        retry_at_ = clock::now() + retry_delay_;
        retry_delay_ = std::min<clock::duration>(retry_delay_ * 2, max_retry_interval);
    }

    exchange_end read_events(uint32_t revents, const std::vector<std::shared_ptr<input_sink>>& receivers) {
        char probe;
        const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return exchange_end::closed;
        if (n < 0) return exchange_end::answered;  // nothing to read after all
        std::vector<spnav_event> events;
        {
            std::lock_guard lock(spnav_mutex_);
            bool device_changed = false;
            spnav_event ev{};
            watch_.begin(spacenavd_answer_limit, api_.fd);
            // Bounded: a daemon that floods is read again next round.
            while (events.size() < 4096 && api_.poll_event(&ev) != 0) {
                if (ev.type == spnav_event_dev) device_changed = true;
                else events.push_back(ev);
            }
            if (watch_.end()) return exchange_end::silent;
            if (device_changed) {
                daemon_answers answers;
                const exchange_end how = ask_device(answers, spacenavd_answer_limit);
                if (how != exchange_end::answered) return how;
                std::lock_guard state(state_mutex_);
                answers_ = std::move(answers);
            }
        }
        for (const auto& sink : receivers) {
            for (const spacenavd_input& in : spacenavd_inputs(events, sink->full_scale())) {
                if (in.kind == spacenavd_input::sample) sink->sample(in.deflection);
                else sink->button(in.button_number, in.pressed);
            }
        }
        return exchange_end::answered;
    }

    std::mutex mutex_;  // guards sinks_, library_, on_thread_, attaches_, without_device_
    sink_list sinks_;
    std::function<void(const std::string&)> without_device_;
    std::string library_;
    bool on_thread_ = false;
    uint64_t attaches_ = 0;

    std::mutex load_mutex_;  // loading libspnav
    bool loaded_ = false;
    std::string load_problem_;
    spnav_api api_{};

    // Every libspnav call after loading. Each exchange under it is bounded by
    // the watch, so nobody waits on it for long.
    deadline_mutex spnav_mutex_;
    exchange_watch watch_;

    std::mutex state_mutex_;  // a leaf: what the reader's connection knows
    bool connected_ = false;
    std::string connected_socket_;  // read without it by the reader, its only writer
    daemon_answers answers_;

    // Used on the library thread only (written under spnav_mutex_, so that a
    // probe between two exchanges sees them settled).
    int fd_ = -1;
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

spacenavd_status spacenavd_probe(const std::string& library, std::chrono::milliseconds answer_limit) {
    return reader::instance().probe(library, answer_limit);
}

void spacenavd_listeners_changed() { reader::instance().poke(); }

}  // namespace zibrel::qorzibrel
