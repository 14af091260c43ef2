#include "library/loader.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

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

// The normal search order, then the directory of the object holding this code:
// what an $ORIGIN run path means, for callers whose dlopen is intercepted (a
// sanitizer runtime) and so searched with the interceptor's run path instead.
void* open_library(const char* file) {
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr || std::strchr(file, '/') != nullptr) return library;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&open_library), &self) == 0 || self.dli_fname == nullptr) return nullptr;
    std::string path = self.dli_fname;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return nullptr;
    path.replace(slash + 1, std::string::npos, file);
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

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
    void* library = open_library(file);
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
