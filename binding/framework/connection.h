// The connection between an application's navigation model and the library:
// CZibrelImpl is what the model holds, CZibrelInterface the inner layer that
// registers the model, opens the library connection and serves its callbacks.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "framework/accessors.h"
#include "framework/sink_collection.h"
#include "zibrel/library_interface.h"
#include "values/value.h"

namespace Qor::Kinemo::Navigation3D {

using zibrel::connection_handle;
using zibrel::create_options;
using zibrel::sink_cookie;
using zibrel::value;
using zibrel::zbOptions;

class IZibrelProperty {
public:
    virtual ~IZibrelProperty() = default;
    virtual int32_t Write(const std::string& name, const value& value) = 0;
    virtual int32_t Read(const std::string& name, std::string& text) = 0;
    virtual int32_t Read(const std::string& name, value& value) = 0;
};

class IZibrel : public IZibrelProperty {
public:
    virtual void Close() = 0;
    virtual void Open(std::string profile) = 0;
    virtual void Open() = 0;
};

class CZibrelInterface;

// The registry of accessor objects that the library's callbacks look up.
using SinkRegistry = Qor::Kinemo::StaticSinkCollection<class CZibrelInterface, IWeakPtr>;

class CZibrelImpl : public IZibrel, private IAccessors, public std::enable_shared_from_this<CZibrelImpl> {
public:
    static std::shared_ptr<CZibrelImpl> CreateInstance(IAccessors* accessors, bool multiThreaded, zbOptions options);
    static std::shared_ptr<CZibrelImpl> CreateInstance(IAccessors* accessors, bool multiThreaded, bool option);

    ~CZibrelImpl() override;

    int32_t Write(const std::string& name, const value& value) override;
    int32_t Read(const std::string& name, std::string& text) override;
    int32_t Read(const std::string& name, value& value) override;
    void Close() override;
    void Open(std::string profile) override;
    void Open() override;

    // Withdraws the application's accessors before they are destroyed: closes the
    // connection, removes the cookie from the registry and refuses every later
    // accessor call. Callbacks already inside an accessor go on; WaitForCallbacks
    // waits for them (other than those the calling thread is itself inside), and
    // must be called without any lock those callbacks take.
    void Detach();
    void WaitForCallbacks();

    // In the child of a fork, where only the forking thread lives on: counts
    // only its own calls as in progress, so that nothing waits for the others.
    void ForgetCallsOfOtherThreads();

protected:
    explicit CZibrelImpl(IAccessors* accessors);

private:
    void RefuseIfDetached() const;

    // Every accessor of the table, forwarded to the application's accessors.
#define ZIBREL_FORWARDING(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, int32_t getter(accessor_output<T>& value) override;)                               \
    ZIBREL_IF_SERVED(sk, int32_t setter(accessor_input<T> value) override;)
    ZIBREL_SERVED_PROPERTIES(ZIBREL_FORWARDING)
#undef ZIBREL_FORWARDING

    IAccessors* accessors_;
    std::unique_ptr<IZibrel> interface_;
    // The registration through which callbacks reach accessors_ directly: it
    // counts the accessor calls in progress and refuses new ones once detached.
    SinkRegistry::registration* entry_ = nullptr;
};

class CZibrelInterface : public IZibrel, private Qor::Kinemo::StaticSinkCollection<CZibrelInterface, IWeakPtr> {
public:
    CZibrelInterface(std::shared_ptr<IAccessors> accessors, bool multiThreaded, zbOptions options);
    // Registers accessors so that callbacks call `direct` without locking them;
    // the owner of `direct` takes the registry entry (Entry()) and releases it.
    CZibrelInterface(std::shared_ptr<IAccessors> accessors, IAccessors* direct, bool multiThreaded,
                     zbOptions options);
    ~CZibrelInterface() override;

    int32_t Write(const std::string& name, const value& value) override;
    int32_t Read(const std::string& name, std::string& text) override;
    int32_t Read(const std::string& name, value& value) override;
    void Close() override;
    void Open(std::string profile) override;
    void Open() override;

    // Removes the cookie from the registry now rather than at destruction.
    void Withdraw();
    // The direct registration's entry (null for the other constructor).
    SinkRegistry::registration* Entry() const { return entry_; }

    static int32_t ReadValue(connection_handle handle, const char* name, value* value);
    static int32_t WriteValue(connection_handle handle, const char* name, const value* value);

    template <typename F>
    static int32_t GetValue(sink_cookie cookie, const char* property, value* value, F call);
    template <typename F>
    static int32_t SetValue(sink_cookie cookie, const char* property, const value* value, F call);

    // The library's callbacks, one per accessor method.
#define ZIBREL_CALLBACKS(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, static int32_t getter(sink_cookie cookie, const char* property, value* value);)    \
    ZIBREL_IF_SERVED(sk, static int32_t setter(sink_cookie cookie, const char* property, const value* value);)
    ZIBREL_SERVED_PROPERTIES(ZIBREL_CALLBACKS)
#undef ZIBREL_CALLBACKS

private:
    connection_handle handle_ = 0;
    std::mutex mutex_;
    // Set while Open runs, so that an Open from inside it is refused instead of deadlocking.
    std::atomic<bool> opening_{false};
    sink_cookie cookie_ = 0;
    SinkRegistry::registration* entry_ = nullptr;
    std::string profile_;
    create_options options_;
};

}  // namespace Qor::Kinemo::Navigation3D
