#include "library/loader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

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
// What went wrong in the last failed load, in the loader's own words.
std::string& failure_text() {
    static std::string* text = new std::string;
    return *text;
}

std::string loader_message() {
    const char* message = dlerror();
    return message != nullptr ? message : "no message from the loader";
}

// The package's folder for the library, relative to the object holding this code.
constexpr const char* library_folder = ZIBREL_LIBRARY_FOLDER;

// The normal search order, then the package's folder beside the object holding
// this code: what its $ORIGIN run path means, for callers whose dlopen is
// intercepted (a sanitizer runtime) and so searched with the interceptor's run
// path instead. On failure the loader's message is left in failure_text(): that
// of the normal search, or of the file in the package's folder when there is one.
void* open_library(const char* file) {
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) return library;
    failure_text() = loader_message();
    if (std::strchr(file, '/') != nullptr) return nullptr;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&open_library), &self) == 0 || self.dli_fname == nullptr) return nullptr;
    std::string path = self.dli_fname;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return nullptr;
    path.replace(slash + 1, std::string::npos, library_folder);
    path += '/';
    path += file;
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const std::string beside = loader_message();
        if (access(path.c_str(), F_OK) == 0) failure_text() = beside;
    }
    return library;
}

std::string path_of(void* library, const char* file) {
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != '\0')
        return map->l_name;
    return file;
}

template <typename F>
bool look_up(void* library, const char* name, F& slot, const char*& missing) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (slot == nullptr) missing = name;
    return slot != nullptr;
}

}  // namespace

int32_t failure_code_from_os_error(int e) noexcept {
    if (e <= 0) return e;
    return static_cast<int32_t>((static_cast<uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

int32_t load_navigation_library(const char* file) {
    entries = {};
    failure_text().clear();
    void* library = open_library(file);
    if (library == nullptr) {
        failure_text() = "the navigation library could not be loaded: " + failure_text();
        return recorded_result = failure_code_from_os_error(library_not_loadable);
    }

    entry_points found;
    const char* missing = nullptr;
    const bool complete = look_up(library, "ZbCreate", found.create, missing) &&
                          look_up(library, "ZbClose", found.close, missing) &&
                          look_up(library, "ZbReadValue", found.read, missing) &&
                          look_up(library, "ZbWriteValue", found.write, missing) &&
                          look_up(library, "ZbGetType", found.get_type, missing);
    if (!complete) {
        failure_text() = "the navigation library " + path_of(library, file) + " lacks the entry point " + missing;
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

std::string load_failure_text() {
    if (recorded_result == 0) return {};
    return failure_text();
}

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
