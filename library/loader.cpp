#include "library/loader.h"

#include <dlfcn.h>

namespace zibrel {
namespace {

// Written once during module load, read without locking afterwards.
struct entry_points {
    ZbCreate_t create = nullptr;
    ZbClose_t close = nullptr;
    ZbReadValue_t read = nullptr;
    ZbWriteValue_t write = nullptr;
    ZbGetType_t get_type = nullptr;
};

constinit entry_points entries{};
constinit int32_t recorded_result = 0;

template <typename F>
bool look_up(void* library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    return slot != nullptr;
}

}  // namespace

int32_t failure_code_from_os_error(int e) noexcept {
    if (e <= 0) return e;
    return static_cast<int32_t>((static_cast<uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

int32_t load_navigation_library(const char* file) {
    entries = {};
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return recorded_result = failure_code_from_os_error(library_not_loadable);

    entry_points found;
    const bool complete = look_up(library, "ZbCreate", found.create) && look_up(library, "ZbClose", found.close) &&
                          look_up(library, "ZbReadValue", found.read) &&
                          look_up(library, "ZbWriteValue", found.write) &&
                          look_up(library, "ZbGetType", found.get_type);
    if (!complete) {
        dlclose(library);
        return recorded_result = failure_code_from_os_error(entry_point_missing);
    }
    // The library stays loaded for the life of the process; its handle is not kept.
    entries = found;
    return recorded_result = 0;
}

int32_t load_navigation_library_once() {
    static const int32_t result = load_navigation_library();
    return result;
}

int32_t load_result() noexcept { return recorded_result; }

int32_t ZbCreate(connection_handle* handle, const char* profile, const property_accessor* accessors, size_t count,
                 const create_options* options) {
    if (entries.create == nullptr) return recorded_result;
    return entries.create(handle, profile, accessors, count, options);
}

int32_t ZbClose(connection_handle handle) {
    if (entries.close == nullptr) return recorded_result;
    return entries.close(handle);
}

int32_t ZbReadValue(connection_handle handle, const char* property, value* value) {
    if (entries.read == nullptr) return recorded_result;
    return entries.read(handle, property, value);
}

int32_t ZbWriteValue(connection_handle handle, const char* property, const value* value) {
    if (entries.write == nullptr) return recorded_result;
    return entries.write(handle, property, value);
}

int32_t ZbGetType(const char* property) {
    if (entries.get_type == nullptr) return -1;
    return entries.get_type(property);
}

}  // namespace zibrel
