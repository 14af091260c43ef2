#include "library/loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

#ifdef _WIN32
using library_handle = HMODULE;
using os_error = DWORD;

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

std::wstring widen(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(size > 1 ? size - 1 : 0, L'\0');
    if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    return out;
}

// The system's text for an error number, without its line end.
std::string system_message(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    if (text.empty()) return "error " + std::to_string(error);
    return narrow(text) + " (error " + std::to_string(error) + ")";
}

std::wstring folder_of(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring module_path(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool absolute(const std::wstring& folder) {
    return (folder.size() >= 3 && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/')) ||
           folder.rfind(L"\\\\", 0) == 0;
}

// Where the library is looked for, in order: the default search order of
// LoadLibraryW without the current folder (the application's folder, the
// system folders, the absolute folders on PATH), then the folder of the module
// holding this code. A library dropped into the current folder is never
// loaded: that is the well-known way of planting code in another program.
std::vector<std::wstring> search_folders() {
    std::vector<std::wstring> folders;
    folders.push_back(folder_of(module_path(nullptr)));
    wchar_t buffer[MAX_PATH];
    if (const UINT n = GetSystemDirectoryW(buffer, MAX_PATH); n > 0 && n < MAX_PATH) folders.emplace_back(buffer, n);
    if (const UINT n = GetWindowsDirectoryW(buffer, MAX_PATH); n > 0 && n < MAX_PATH) folders.emplace_back(buffer, n);
    if (const DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0); n > 0) {
        std::wstring path(n, L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", path.data(), n));
        size_t begin = 0;
        while (begin <= path.size()) {
            const size_t end = std::min(path.find(L';', begin), path.size());
            std::wstring folder = path.substr(begin, end - begin);
            if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
                folder = folder.substr(1, folder.size() - 2);
            // A relative entry (".", "bin") names a folder below the current one.
            if (absolute(folder)) folders.push_back(folder);
            begin = end + 1;
        }
    }
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&search_folders), &self))
        folders.push_back(folder_of(module_path(self)));
    return folders;
}

// The first folder that holds `file` and loads it wins. On failure the text
// and number are those of a file that was there but would not load, else
// those of not finding it.
library_handle open_library(const char* file, os_error& error) {
    const std::wstring name = widen(file);
    bool tried_a_file = false;
    error = ERROR_MOD_NOT_FOUND;
    failure_text() = std::string(file) + ": " + system_message(ERROR_MOD_NOT_FOUND) +
                     " (looked in the application's folder, the system folders, the folders on PATH and the "
                     "module's folder; never in the current folder)";
    for (const auto& folder : search_folders()) {
        if (folder.empty()) continue;
        const std::wstring path = folder + L"\\" + name;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        // Its own dependencies come from its folder and the system, never the current folder.
        HMODULE library =
            LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        if (library != nullptr) return library;
        if (!tried_a_file) {
            tried_a_file = true;
            error = GetLastError();
            failure_text() = narrow(path) + ": " + system_message(error);
        }
    }
    return nullptr;
}

std::string path_of(library_handle library, const char* file) {
    const std::wstring path = module_path(library);
    return path.empty() ? file : narrow(path);
}

template <typename F>
bool look_up(library_handle library, const char* name, F& slot, const char*& missing, os_error& error) {
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    if (slot == nullptr) {
        missing = name;
        error = GetLastError();
    }
    return slot != nullptr;
}

void close_library(library_handle library) { FreeLibrary(library); }

#else
using library_handle = void*;
using os_error = int;

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
// dlopen gives no error number: a failed load counts as a missing file.
library_handle open_library(const char* file, os_error& error) {
    error = library_not_loadable;
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

std::string path_of(library_handle library, const char* file) {
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != '\0')
        return map->l_name;
    return file;
}

template <typename F>
bool look_up(library_handle library, const char* name, F& slot, const char*& missing, os_error& error) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (slot == nullptr) {
        missing = name;
        error = entry_point_missing;
    }
    return slot != nullptr;
}

void close_library(library_handle library) { dlclose(library); }
#endif

}  // namespace

int32_t failure_code_from_os_error(int e) noexcept {
    if (e <= 0) return e;
    return static_cast<int32_t>((static_cast<uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

int32_t load_navigation_library(const char* file) {
    entries = {};
    failure_text().clear();
    os_error error = library_not_loadable;
    library_handle library = open_library(file, error);
    if (library == nullptr) {
        failure_text() = "the navigation library could not be loaded: " + failure_text();
        return recorded_result = failure_code_from_os_error(static_cast<int>(error));
    }

    entry_points found;
    const char* missing = nullptr;
    const bool complete = look_up(library, "ZbCreate", found.create, missing, error) &&
                          look_up(library, "ZbClose", found.close, missing, error) &&
                          look_up(library, "ZbReadValue", found.read, missing, error) &&
                          look_up(library, "ZbWriteValue", found.write, missing, error) &&
                          look_up(library, "ZbGetType", found.get_type, missing, error);
    if (!complete) {
        failure_text() = "the navigation library " + path_of(library, file) + " lacks the entry point " + missing;
        close_library(library);
        return recorded_result = failure_code_from_os_error(static_cast<int>(error));
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
