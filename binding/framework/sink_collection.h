// The process-wide registry through which library callbacks find their accessor
// object: a cookie maps to a weak reference, never to a pointer the library holds.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "framework/accessors.h"
#include "zibrel/library_interface.h"

namespace Qor::Kinemo {

using Navigation3D::IAccessors;
using Navigation3D::IEvents;
using Navigation3D::IHit;
using Navigation3D::IModel;
using Navigation3D::IPivot;
using Navigation3D::ISpace3D;
using Navigation3D::IState;
using Navigation3D::IView;
using zibrel::sink_cookie;

// A locked accessor object: keeps it alive while the handle exists.
class AccessorInterface {
public:
    virtual ~AccessorInterface() = default;
    virtual ISpace3D* GetISpace3D() { return nullptr; }
    virtual IView* GetIView() { return nullptr; }
    virtual IModel* GetIModel() { return nullptr; }
    virtual IPivot* GetIPivot() { return nullptr; }
    virtual IHit* GetIHit() { return nullptr; }
    virtual IEvents* GetIEvents() { return nullptr; }
    virtual IState* GetIState() { return nullptr; }
};

class IWeakPtr {
public:
    virtual ~IWeakPtr() = default;
    virtual std::unique_ptr<AccessorInterface> lock() = 0;
};

template <typename T>
class WeakAccessorPtr;

template <>
class WeakAccessorPtr<IAccessors> : public IWeakPtr {
public:
    class Accessors : public AccessorInterface {
    public:
        explicit Accessors(std::shared_ptr<IAccessors> accessors) : accessors_(std::move(accessors)) {}

        // Every callback makes one handle and drops it before the next; each
        // thread reuses its last block instead of a heap round trip per call.
        static void* operator new(std::size_t size) {
            void*& spare = spare_block().block;
            if (size == sizeof(Accessors) && spare != nullptr) return std::exchange(spare, nullptr);
            return ::operator new(size);
        }
        static void operator delete(void* block, std::size_t size) noexcept {
            void*& spare = spare_block().block;
            if (size == sizeof(Accessors) && spare == nullptr)
                spare = block;
            else
                ::operator delete(block);
        }
        ISpace3D* GetISpace3D() override { return accessors_.get(); }
        IView* GetIView() override { return accessors_.get(); }
        IModel* GetIModel() override { return accessors_.get(); }
        IPivot* GetIPivot() override { return accessors_.get(); }
        IHit* GetIHit() override { return accessors_.get(); }
        IEvents* GetIEvents() override { return accessors_.get(); }
        IState* GetIState() override { return accessors_.get(); }

    private:
        struct spare {
            void* block = nullptr;
            ~spare() { ::operator delete(block); }
        };
        static spare& spare_block() {
            static thread_local spare instance;
            return instance;
        }

        std::shared_ptr<IAccessors> accessors_;
    };

    explicit WeakAccessorPtr(const std::shared_ptr<IAccessors>& accessors) : accessors_(accessors) {}

    std::unique_ptr<AccessorInterface> lock() override { return std::make_unique<Accessors>(accessors_.lock()); }

private:
    std::weak_ptr<IAccessors> accessors_;
};

template <typename Owner, typename Sink>
class StaticSinkCollection {
public:
    // One registration as callbacks see it. These records are never freed, only
    // reused for a later registration once no callback is inside them, so a
    // callback holding a stale pointer reads a cookie that no longer matches,
    // never freed memory. Cookies never repeat, so a match is never stale.
    // A cache line of its own: every callback thread writes its count, which
    // must not share a line with whatever the allocator put beside it.
    struct alignas(64) registration {
        std::atomic<sink_cookie> cookie{0};  // 0 while not registered
        // Callbacks inside (and, for a moment, lookups that found a stale hint).
        std::atomic<int> calls{0};
        // Set when the owner withdraws for good: callbacks that get in are refused.
        std::atomic<bool> refused{false};
        // The accessors a callback calls without locking the sink: set for
        // registrations whose owner waits for the calls inside before its
        // accessors go (insert_direct), null for every other sink.
        std::atomic<IAccessors*> direct{nullptr};
        // Under the registry mutex: the registered sink, and whether an owner
        // still holds the record (then it is reused after release, not after erase).
        std::shared_ptr<Sink> sink;
        bool owned = false;
    };

    // Returns a cookie never handed out before in this process (0 for an empty sink).
    static sink_cookie insert(std::shared_ptr<Sink> sink) {
        if (!sink) return 0;
        std::lock_guard<std::mutex> lock(state().mutex);
        return register_locked(std::move(sink), nullptr, false)->cookie.load(std::memory_order_relaxed);
    }

    // Registers sink and lets callbacks reach `direct` through the returned
    // record without locking the sink. The caller owns the record: it counts
    // its own calls there, must withdraw its accessors (refuse, erase, wait for
    // the calls inside) before they go, and hands the record back with release().
    static registration* insert_direct(std::shared_ptr<Sink> sink, IAccessors* direct) {
        if (!sink || direct == nullptr) return nullptr;
        std::lock_guard<std::mutex> lock(state().mutex);
        return register_locked(std::move(sink), direct, true);
    }

    static std::shared_ptr<Sink> at(sink_cookie cookie) {
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto found = s.sinks.find(cookie);
        if (found == s.sinks.end()) throw std::out_of_range("Cookie does not exist in the Collection");
        return found->second->sink;
    }

    static void erase(sink_cookie cookie) {
        std::shared_ptr<Sink> released;
        {
            auto& s = state();
            std::lock_guard<std::mutex> lock(s.mutex);
            auto found = s.sinks.find(cookie);
            if (found == s.sinks.end()) return;
            registration* e = found->second;
            s.sinks.erase(found);
            e->cookie.store(0);
            released = std::move(e->sink);
            if (!e->owned) s.spare.push_back(e);
        }
        // The sink's destructor runs outside the registry lock.
    }

    // The owner of a record from insert_direct is done with it (its cookie is
    // erased if it was not yet); the record is reused once no call is inside.
    static void release(registration* e) {
        if (e == nullptr) return;
        erase(e->cookie.load());
        std::lock_guard<std::mutex> lock(state().mutex);
        e->owned = false;
        state().spare.push_back(e);
    }

    // For a callback: the record of cookie's direct registration, with the call
    // counted in it (the caller must leave() it), or null when cookie has none.
    // Lock-free while the cookie is among the hints, which hold the most recent
    // direct registrations; otherwise it asks the map under the lock.
    static registration* find_direct(sink_cookie cookie) {
        // 0 is never a cookie, but it is what every unused record holds.
        if (cookie == 0) return nullptr;
        auto& s = state();
        const std::size_t first = hint_index(cookie);
        for (std::size_t k = 0; k < hint_probes; ++k) {
            registration* e = s.hints[(first + k) & hint_mask].load(std::memory_order_acquire);
            if (e == nullptr || e->cookie.load(std::memory_order_relaxed) != cookie) continue;
            // Counted first, then checked again (both sequentially consistent):
            // an erase in between is seen here, or the record's reuse sees this call.
            e->calls.fetch_add(1);
            if (e->cookie.load() == cookie && e->direct.load(std::memory_order_relaxed) != nullptr) return e;
            leave(*e);
            break;
        }
        return find_direct_locked(cookie);
    }

    // A call counted by find_direct (or by its owner) is over. A waiting owner
    // has refused new calls first and may wait for a count other than zero (its
    // own thread's calls stay in), so once refused every change wakes it.
    static void leave(registration& e) noexcept {
        e.calls.fetch_sub(1);
        if (e.refused.load()) e.calls.notify_all();
    }

    // Constructs the registry; start-up calls it before the library is loaded.
    static void initialize() { state(); }

    // Held across fork(), so that a child never inherits it locked by a thread it does not have.
    static void lock_for_fork() { state().mutex.lock(); }
    static void unlock_after_fork() { state().mutex.unlock(); }

private:
    // The cookie is not among the hints (they were full where it would go):
    // the map has it, and the lock keeps it there while the call is counted.
    static registration* find_direct_locked(sink_cookie cookie) {
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto found = s.sinks.find(cookie);
        if (found == s.sinks.end() || found->second->direct.load(std::memory_order_relaxed) == nullptr) return nullptr;
        found->second->calls.fetch_add(1);
        return found->second;
    }

    // Where callbacks look a cookie up without the lock: a few places per
    // cookie in a fixed table of records, taken over by later registrations.
    static constexpr std::size_t hint_bits = 8;
    static constexpr std::size_t hint_mask = (std::size_t{1} << hint_bits) - 1;
    static constexpr std::size_t hint_probes = 4;
    static std::size_t hint_index(sink_cookie cookie) {
        return static_cast<std::size_t>((cookie * 0x9E3779B97F4A7C15ull) >> (64 - hint_bits));
    }

    struct registry {
        std::mutex mutex;
        std::map<sink_cookie, registration*> sinks;
        sink_cookie last = 0;
        // Records no registration holds; some may still have a call inside.
        std::vector<registration*> spare;
        std::array<std::atomic<registration*>, hint_mask + 1> hints{};
    };

    // A record with no call inside, a spare one or a new one.
    static registration* unused_record(registry& s) {
        // A spare record with a call still inside (its owner went away from
        // within one of its own callbacks) waits for a later registration.
        for (std::size_t i = s.spare.size(), tries = 0; i > 0 && tries < 4; --i, ++tries) {
            registration* e = s.spare[i - 1];
            if (e->calls.load() != 0) continue;
            s.spare.erase(s.spare.begin() + static_cast<std::ptrdiff_t>(i - 1));
            return e;
        }
        return new registration;
    }

    static registration* register_locked(std::shared_ptr<Sink> sink, IAccessors* direct, bool owned) {
        auto& s = state();
        sink_cookie cookie;
        do {
            cookie = static_cast<sink_cookie>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::steady_clock::now().time_since_epoch())
                                                  .count());
            // A cookie once erased may come round again only if the clock stood still; never reuse it.
            if (cookie <= s.last) cookie = s.last + 1;
        } while (s.sinks.count(cookie) != 0);
        s.last = cookie;
        registration* e = unused_record(s);
        s.sinks.emplace(cookie, e);
        e->sink = std::move(sink);
        e->owned = owned;
        e->refused.store(false, std::memory_order_relaxed);
        e->direct.store(direct, std::memory_order_relaxed);
        // Published last: a callback that sees the cookie sees the rest.
        e->cookie.store(cookie);
        if (direct != nullptr) {
            const std::size_t first = hint_index(cookie);
            for (std::size_t k = 0; k < hint_probes; ++k) {
                std::atomic<registration*>& hint = s.hints[(first + k) & hint_mask];
                const registration* held = hint.load(std::memory_order_relaxed);
                if (held == nullptr || held == e || held->cookie.load(std::memory_order_relaxed) == 0) {
                    hint.store(e, std::memory_order_release);
                    break;
                }
            }
        }
        return e;
    }

    // Never destroyed: library threads may still call back while the process exits.
    static registry& state() {
        static registry* instance = new registry;
        return *instance;
    }
};

}  // namespace Qor::Kinemo
