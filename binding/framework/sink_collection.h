// The process-wide registry through which library callbacks find their accessor
// object: a cookie maps to a weak reference, never to a pointer the library holds.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

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
    // Returns a cookie never handed out before in this process (0 for an empty sink).
    static sink_cookie insert(std::shared_ptr<Sink> sink) {
        if (!sink) return 0;
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        sink_cookie cookie;
        do {
            cookie = static_cast<sink_cookie>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::steady_clock::now().time_since_epoch())
                                                  .count());
            // A cookie once erased may come round again only if the clock stood still; never reuse it.
            if (cookie <= s.last) cookie = s.last + 1;
        } while (s.sinks.count(cookie) != 0);
        s.last = cookie;
        s.sinks.emplace(cookie, std::move(sink));
        return cookie;
    }

    static std::shared_ptr<Sink> at(sink_cookie cookie) {
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto found = s.sinks.find(cookie);
        if (found == s.sinks.end()) throw std::out_of_range("Cookie does not exist in the Collection");
        return found->second;
    }

    static void erase(sink_cookie cookie) {
        std::shared_ptr<Sink> released;
        {
            auto& s = state();
            std::lock_guard<std::mutex> lock(s.mutex);
            auto found = s.sinks.find(cookie);
            if (found == s.sinks.end()) return;
            released = std::move(found->second);
            s.sinks.erase(found);
        }
        // The sink's destructor runs outside the registry lock.
    }

    // Constructs the registry; start-up calls it before the library is loaded.
    static void initialize() { state(); }

    // Held across fork(), so that a child never inherits it locked by a thread it does not have.
    static void lock_for_fork() { state().mutex.lock(); }
    static void unlock_after_fork() { state().mutex.unlock(); }

private:
    struct registry {
        std::mutex mutex;
        std::map<sink_cookie, std::shared_ptr<Sink>> sinks;
        sink_cookie last = 0;
    };

    // Never destroyed: library threads may still call back while the process exits.
    static registry& state() {
        static registry* instance = new registry;
        return *instance;
    }
};

}  // namespace Qor::Kinemo
