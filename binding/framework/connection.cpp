#include "framework/connection.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/diagnostics.h"
#include "framework/errors.h"
#include "framework/forced_unwind.h"
#include "framework/properties.h"
#include "library/loader.h"
#include "values/format.h"

namespace Qor::Kinemo::Navigation3D {

using namespace zibrel;

// ---------------------------------------------------------------- CZibrelImpl

namespace {

// A callback refused because its model is being destroyed. The library is told
// what it would be told a moment later, once the cookie is withdrawn.
class refused_call : public std::out_of_range {
public:
    refused_call() : std::out_of_range("Cookie does not exist in the Collection") {}
};

using registration = SinkRegistry::registration;

// An accessor call in progress, counted in its registry entry; refused once the
// model is detached. The guards of one thread form a list through the stack,
// innermost first: a model may be destroyed from inside one of its own
// callbacks (an override dropping the last reference), and its destructor must
// not wait for that call.
class call_guard {
public:
    // Enters a call that SinkRegistry::find_direct has already counted.
    explicit call_guard(registration& e) : entry_(e) {
        if (entry_.refused.load()) {
            SinkRegistry::leave(entry_);
            // To the library a model being destroyed is already gone.
            throw refused_call();
        }
        outer_ = innermost;
        innermost = this;
    }
    struct count_it {};
    // Counts the call first.
    call_guard(registration& e, count_it) : call_guard((e.calls.fetch_add(1), e)) {}
    ~call_guard() {
        innermost = outer_;
        SinkRegistry::leave(entry_);
    }
    call_guard(const call_guard&) = delete;
    call_guard& operator=(const call_guard&) = delete;

    // How many calls of e the calling thread is inside.
    static int on_this_thread(const registration* e) {
        int n = 0;
        for (const call_guard* g = innermost; g != nullptr; g = g->outer_) n += &g->entry_ == e;
        return n;
    }

private:
    static thread_local const call_guard* innermost;

    registration& entry_;
    const call_guard* outer_ = nullptr;
};

thread_local const call_guard* call_guard::innermost = nullptr;

}  // namespace

CZibrelImpl::CZibrelImpl(IAccessors* accessors) : accessors_(accessors) {}

CZibrelImpl::~CZibrelImpl() {
    // Callbacks reach the application's accessors without holding this object,
    // so none may get in from here on; the cookie goes with the interface, and
    // the entry is reused once the calls still inside it are over.
    if (entry_ != nullptr) entry_->refused.store(true);
    interface_.reset();
    SinkRegistry::release(entry_);
}

std::shared_ptr<CZibrelImpl> CZibrelImpl::CreateInstance(IAccessors* accessors, bool multiThreaded,
                                                         zbOptions options) {
    if (accessors == nullptr) throw std::logic_error("The accessor interface is null");
    struct make_shared_enabler : CZibrelImpl {
        explicit make_shared_enabler(IAccessors* accessors) : CZibrelImpl(accessors) {}
    };
    std::shared_ptr<CZibrelImpl> impl = std::make_shared<make_shared_enabler>(accessors);
    // The registry refers to this object's own accessor part, which forwards to the application.
    std::shared_ptr<IAccessors> own(impl, static_cast<IAccessors*>(impl.get()));
    // Callbacks go straight to the application's accessors, counted in the entry.
    auto interface = std::make_unique<CZibrelInterface>(std::move(own), accessors, multiThreaded, options);
    impl->entry_ = interface->Entry();
    impl->interface_ = std::move(interface);
    return impl;
}

std::shared_ptr<CZibrelImpl> CZibrelImpl::CreateInstance(IAccessors* accessors, bool multiThreaded, bool option) {
    return CreateInstance(accessors, multiThreaded, option ? zb_creation_option : zb_no_options);
}

int32_t CZibrelImpl::Write(const std::string& name, const value& value) { return interface_->Write(name, value); }
int32_t CZibrelImpl::Read(const std::string& name, std::string& text) { return interface_->Read(name, text); }
int32_t CZibrelImpl::Read(const std::string& name, value& value) { return interface_->Read(name, value); }
void CZibrelImpl::Close() { interface_->Close(); }
void CZibrelImpl::Open(std::string profile) {
    RefuseIfDetached();
    interface_->Open(std::move(profile));
}
void CZibrelImpl::Open() {
    RefuseIfDetached();
    interface_->Open();
}

void CZibrelImpl::RefuseIfDetached() const {
    if (entry_->refused.load())
        throw std::runtime_error("The navigation model has been detached from the library for good; it cannot connect "
                                 "again.");
}

void CZibrelImpl::Detach() {
    entry_->refused.store(true);
    interface_->Close();
    static_cast<CZibrelInterface&>(*interface_).Withdraw();
}

void CZibrelImpl::WaitForCallbacks() {
    std::atomic<int>& calls = entry_->calls;
    const int own = call_guard::on_this_thread(entry_);
    for (int active = calls.load(); active > own; active = calls.load()) calls.wait(active);
}

void CZibrelImpl::ForgetCallsOfOtherThreads() { entry_->calls.store(call_guard::on_this_thread(entry_)); }

#define ZIBREL_FORWARD(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, int32_t CZibrelImpl::getter(accessor_output<T>& value) {                         \
        call_guard guard(*entry_, call_guard::count_it{});                                                  \
        return accessors_->getter(value);                                                                   \
    })                                                                                                      \
    ZIBREL_IF_SERVED(sk, int32_t CZibrelImpl::setter(accessor_input<T> value) {                           \
        call_guard guard(*entry_, call_guard::count_it{});                                                  \
        return accessors_->setter(std::move(value));                                                        \
    })
ZIBREL_SERVED_PROPERTIES(ZIBREL_FORWARD)
#undef ZIBREL_FORWARD

// ----------------------------------------------------------- CZibrelInterface

CZibrelInterface::CZibrelInterface(std::shared_ptr<IAccessors> accessors, bool multiThreaded, zbOptions options)
    : options_{sizeof(create_options), multiThreaded, static_cast<uint32_t>(options)} {
    cookie_ = SinkRegistry::insert(std::make_shared<WeakAccessorPtr<IAccessors>>(accessors));
}

CZibrelInterface::CZibrelInterface(std::shared_ptr<IAccessors> accessors, IAccessors* direct, bool multiThreaded,
                                   zbOptions options)
    : options_{sizeof(create_options), multiThreaded, static_cast<uint32_t>(options)} {
    entry_ = SinkRegistry::insert_direct(std::make_shared<WeakAccessorPtr<IAccessors>>(accessors), direct);
    if (entry_ == nullptr) throw std::logic_error("The accessor interface is null");
    cookie_ = entry_->cookie.load();
}

CZibrelInterface::~CZibrelInterface() {
    // The cookie goes first, so a callback arriving while the library closes finds nothing.
    Withdraw();
    if (handle_ != 0) ZbClose(handle_);
}

void CZibrelInterface::Withdraw() {
    if (cookie_ != 0) SinkRegistry::erase(cookie_);
    cookie_ = 0;
}

namespace {

// The accessor entries the connection registers, in the table's order: each
// property with its getter and setter callbacks, and whether the locked accessor
// handle has the interface that serves it.
struct entry {
    const char* const* name;
    property_getter getter;
    property_setter setter;
    bool (*served)(AccessorInterface& accessors);
};

using I = CZibrelInterface;

constexpr entry entries[] = {
#define ZIBREL_ENTRY(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    {&id, ZIBREL_OR_NULL(gk, &I::getter), ZIBREL_OR_NULL(sk, &I::setter),                              \
     [](AccessorInterface& accessors) { return accessors.Get##iface() != nullptr; }},
    ZIBREL_SERVED_PROPERTIES(ZIBREL_ENTRY)
#undef ZIBREL_ENTRY
};

}  // namespace

void CZibrelInterface::Open(std::string profile) {
    if (profile.empty()) throw std::invalid_argument("The text for the profile is empty.");
    // A library may call back while it creates the connection, and a callback
    // may try to enable again, on this thread or on one the library waits for.
    // Waiting for the mutex would wait forever; refuse at once instead.
    if (opening_.exchange(true))
        throw std::runtime_error(
            "Cannot enable navigation while its connection is being created (as from a callback made during the "
            "creation).");
    struct opening_done {
        std::atomic<bool>& flag;
        ~opening_done() { flag.store(false); }
    } done{opening_};
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ != 0)
        throw std::system_error(make_error_code(already_connected), "Connection to the library is already open.");

    std::unique_ptr<AccessorInterface> accessors = SinkRegistry::at(cookie_)->lock();
    std::vector<property_accessor> array;
    array.reserve(std::size(entries));
    for (const entry& e : entries) {
        if (e.served(*accessors)) array.push_back({*e.name, e.getter, e.setter, cookie_});
    }

    connection_handle handle = 0;
    const int32_t result = ZbCreate(&handle, profile.c_str(), array.data(), array.size(), &options_);
    if (result != 0)
        throw std::system_error(make_error_code(result & 0xFFFF), "Cannot create a connection to the 3ZEdizo.");
    handle_ = handle;
    profile_ = std::move(profile);
}

void CZibrelInterface::Open() { Open(std::string(profile_)); }

void CZibrelInterface::Close() {
    if (handle_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ != 0) {
        const connection_handle handle = handle_;
        // Cleared before the call, so a re-entrant Close from a callback does nothing.
        handle_ = 0;
        ZbClose(handle);
    }
}

int32_t CZibrelInterface::Read(const std::string& name, value& value) {
    if (handle_ == 0) return result_from_error(operation_not_permitted);
    return ReadValue(handle_, name.c_str(), &value);
}

int32_t CZibrelInterface::Write(const std::string& name, const value& value) {
    if (handle_ == 0) return result_from_error(operation_not_permitted);
    return WriteValue(handle_, name.c_str(), &value);
}

int32_t CZibrelInterface::Read(const std::string& name, std::string& text) {
    if (handle_ == 0) return result_from_error(operation_not_permitted);
    value record(text.data(), text.size());
    int32_t result = ReadValue(handle_, name.c_str(), &record);
    if ((result & 0xFFFF) == no_buffer_space) {
        // The library asks for room; more than any text needs is not given.
        if (record.type != string_type || record.s.length > max_text_length) return result;
        text.resize(record.s.length);
        record = value(text.data(), text.size());
        result = ReadValue(handle_, name.c_str(), &record);
    }
    if (result == 0) {
        // A library that claims more than the buffer held is refused, never read past.
        if (record.type != string_type || record.s.length > text.size()) return result_from_error(no_buffer_space);
        text.resize(record.s.length);
    }
    return result;
}

namespace {

void write_null_or(std::ostream& out, const value* record) {
    if (record != nullptr)
        out << *record;
    else
        out << "nullptr";
}

const char* name_or_null(const char* property) { return property != nullptr ? property : "nullptr"; }

// The guarded library call: a throwing library must not take the process down.
template <typename Call>
int32_t guarded_library_call(const char* entry, connection_handle handle, const char* name, const value* record,
                             Call call) {
    const char* what = nullptr;
    try {
        return call();
    } catch (const std::exception& e) {
        what = e.what();
        std::lock_guard<std::mutex> lock(diagnostic_mutex());
        std::cerr << "exception thrown in " << entry << "(0x" << std::hex << handle << std::dec << ", "
                  << name_or_null(name) << ", value)\n";
        write_null_or(std::cerr, record);
        std::cerr << " " << what << std::endl;
    } catch (...) {
        // A thread being ended (the interpreter's shutdown, pthread_exit) must be allowed to unwind.
        if (foreign_exception()) throw;
        std::lock_guard<std::mutex> lock(diagnostic_mutex());
        std::cerr << "exception thrown in " << entry << "(0x" << std::hex << handle << std::dec << ", "
                  << name_or_null(name) << ", value)\n";
        write_null_or(std::cerr, record);
        std::cerr << " unknown exception" << std::endl;
    }
    return result_from_error(io_error);
}

}  // namespace

int32_t CZibrelInterface::ReadValue(connection_handle handle, const char* name, value* value) {
    return guarded_library_call("ZbReadValue", handle, name, value, [&] { return ZbReadValue(handle, name, value); });
}

int32_t CZibrelInterface::WriteValue(connection_handle handle, const char* name, const value* value) {
    return guarded_library_call("ZbWriteValue", handle, name, value,
                                [&] { return ZbWriteValue(handle, name, value); });
}

// ------------------------------------------------------------------ callbacks

namespace {

enum class direction { get, set };

void line_a(direction d, sink_cookie cookie, const char* property, const value* record, const char* what) {
    std::lock_guard<std::mutex> lock(diagnostic_mutex());
    std::cerr << "std::out_of_range exception thrown in " << (d == direction::get ? "GetValue" : "SetValue") << "(0x"
              << std::hex << cookie << std::dec << ", " << name_or_null(property) << ", value)\n";
    write_null_or(std::cerr, record);
    std::cerr << what << std::endl;
}

void line_b(direction d, sink_cookie cookie, const char* property, const value* record, const char* what) {
    std::lock_guard<std::mutex> lock(diagnostic_mutex());
    if (d == direction::get) {
        std::cerr << "Uncaught exception thrown in GetValue(0x" << std::hex << cookie << std::dec << ", "
                  << name_or_null(property) << ", value)\n";
        write_null_or(std::cerr, record);
        std::cerr << what << std::endl;
    } else {
        std::cerr << "Uncaught exception thrown in SetValue(0x" << std::hex << cookie << std::dec << ", "
                  << name_or_null(property) << ",";
        write_null_or(std::cerr, record);
        std::cerr << ")\n" << what << std::endl;
    }
}

// Shared by GetValue and SetValue: the lookup, the call, and every way it can fail.
template <typename Record, typename F>
int32_t dispatch(direction d, sink_cookie cookie, const char* property, Record* record, F& call) {
    if (record == nullptr || property == nullptr) {
        line_b(d, cookie, property, record, "The property name or the value record is null");
        return result_from_error(zibrel::invalid_argument);
    }
    // A getter's conversion tags an untyped record before the model can refuse
    // the call; a refused record goes back as it came.
    const value_type arrived_as = record->type;
    try {
        // A model's own registration: its accessors are called directly, kept
        // from going by the count of calls inside that their owner waits for.
        if (registration* e = SinkRegistry::find_direct(cookie)) {
            call_guard guard(*e);
            return call(*e->direct.load(std::memory_order_relaxed));
        }
        // Any other sink is locked for the call.
        std::unique_ptr<AccessorInterface> handle = SinkRegistry::at(cookie)->lock();
        return call(*handle);
    } catch (const refused_call& e) {
        if constexpr (!std::is_const_v<Record>) record->type = arrived_as;
        line_a(d, cookie, property, record, e.what());
        return result_from_error(zibrel::invalid_argument);
    } catch (const std::out_of_range& e) {
        line_a(d, cookie, property, record, e.what());
        return result_from_error(zibrel::invalid_argument);
    } catch (const std::exception& e) {
        line_b(d, cookie, property, record, e.what());
        return result_from_error(io_error);
    } catch (...) {
        // A thread being ended (the interpreter's shutdown, pthread_exit) must be allowed to unwind.
        if (foreign_exception()) throw;
        line_b(d, cookie, property, record, "unknown exception");
        return result_from_error(io_error);
    }
}

// The interface of a locked handle; an accessor object already gone is reported
// like an unknown cookie, without calling through null.
template <typename Interface>
Interface& live(Interface* i) {
    if (i == nullptr) throw std::out_of_range("The accessor object no longer exists");
    return *i;
}

template <typename Interface>
Interface& live(AccessorInterface& handle) {
    if constexpr (std::is_same_v<Interface, ISpace3D>) return live(handle.GetISpace3D());
    if constexpr (std::is_same_v<Interface, IView>) return live(handle.GetIView());
    if constexpr (std::is_same_v<Interface, IModel>) return live(handle.GetIModel());
    if constexpr (std::is_same_v<Interface, IPivot>) return live(handle.GetIPivot());
    if constexpr (std::is_same_v<Interface, IHit>) return live(handle.GetIHit());
    if constexpr (std::is_same_v<Interface, IEvents>) return live(handle.GetIEvents());
    if constexpr (std::is_same_v<Interface, IState>) return live(handle.GetIState());
}

// A direct registration's accessors serve every interface.
template <typename Interface>
Interface& live(IAccessors& accessors) {
    return accessors;
}

// A command id: a null text is an empty id. A text is never read past the
// length its record gives (a cstr's counts the NUL); a record claiming more
// than any command id holds is refused unread.
std::string command_id(const value& record) {
    const char* text = static_cast<const char*>(record);
    std::string id;
    if (text != nullptr) {
        const uint64_t length = record.type == string_type ? record.s.length : record.cs.length;
        if (length > max_text_length)
            throw conversion_error("The command id's record claims " + std::to_string(length) +
                                   " bytes, more than the " + std::to_string(max_text_length) + " a text may hold");
        id.assign(text, strnlen(text, static_cast<std::size_t>(length)));
    }
    return id;
}

// A setter's argument, converted from the library's record.
template <typename T>
decltype(auto) setter_argument(const value& record) {
    if constexpr (std::is_same_v<T, std::string>)
        return command_id(record);
    else
        return static_cast<accessor_input<T>>(record);
}

}  // namespace

template <typename F>
int32_t CZibrelInterface::GetValue(sink_cookie cookie, const char* property, value* value, F call) {
    return dispatch(direction::get, cookie, property, value, call);
}

template <typename F>
int32_t CZibrelInterface::SetValue(sink_cookie cookie, const char* property, const value* value, F call) {
    return dispatch(direction::set, cookie, property, value, call);
}

// Each callable takes the accessors it is given: a locked handle
// (AccessorInterface&) or a model's own accessors (IAccessors&).
#define ZIBREL_CALLBACK(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn)      \
    ZIBREL_IF_SERVED(gk, int32_t CZibrelInterface::getter(sink_cookie cookie, const char* property, value* value) {   \
        return GetValue(cookie, property, value, [value](auto& accessors) {                                            \
            return live<iface>(accessors).getter(static_cast<accessor_output<T>&>(*value));                            \
        });                                                                                                            \
    })                                                                                                                 \
    ZIBREL_IF_SERVED(sk, int32_t CZibrelInterface::setter(sink_cookie cookie, const char* property, const value* value) { \
        return SetValue(cookie, property, value, [value](auto& accessors) {                                            \
            return live<iface>(accessors).setter(setter_argument<T>(*value));                                          \
        });                                                                                                            \
    })
ZIBREL_SERVED_PROPERTIES(ZIBREL_CALLBACK)
#undef ZIBREL_CALLBACK

}  // namespace Qor::Kinemo::Navigation3D
