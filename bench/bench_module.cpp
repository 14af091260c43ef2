// _zibrel_bench: native loops over the paths by which our library reaches a
// Python model, timed in native code so that no Python call is counted.
//
// It shares the process with the installed _pyzibrel and must not start a
// second copy of anything that module owns:
// - the library is the instance _pyzibrel loaded, found among the loaded
//   objects and opened again with RTLD_NOLOAD (never loaded a second time);
// - a ZibrelNavigationModel is accepted as NavigationModel& because pybind11
//   keeps one type registry per interpreter for every extension built with the
//   same compiler and pybind11 version; the virtual call then goes through the
//   object's own vtable, into _pyzibrel's trampoline.
// The core is linked only for NavigationModel's type information; nothing here
// runs its start-up, touches its sink registry or constructs a model.
#include <dlfcn.h>
#include <link.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "model/navigation_model.h"
#include "values/value.h"

namespace py = pybind11;

namespace {

using clock_type = std::chrono::steady_clock;

int64_t since(clock_type::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start).count();
}

constexpr const char* library_file = "libQorZibrel.so";
constexpr const char* camera_property = "view.affine";

struct library {
    std::string path;
    uint64_t (*last_connection)() = nullptr;
    int32_t (*get)(uint64_t, const char*, void*) = nullptr;
    uint64_t (*call_threads)(uint64_t, const char*, int, const void*, int, int, int32_t*) = nullptr;
};

int find_loaded(dl_phdr_info* info, size_t, void* data) {
    const char* name = info->dlpi_name;
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    const size_t suffix = std::strlen(library_file);
    if (length > suffix && name[length - suffix - 1] == '/' && std::strcmp(name + length - suffix, library_file) == 0) {
        *static_cast<std::string*>(data) = name;
        return 1;
    }
    return 0;
}

template <typename F>
void look_up(void* handle, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(handle, name));
    if (slot == nullptr) throw std::runtime_error(std::string("the loaded library has no ") + name);
}

const library& loaded_library() {
    static const library lib = [] {
        library found;
        dl_iterate_phdr(find_loaded, &found.path);
        if (found.path.empty()) throw std::runtime_error("libQorZibrel.so is not loaded: import _pyzibrel first");
        void* handle = dlopen(found.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr) throw std::runtime_error("cannot open the loaded library again: " + found.path);
        look_up(handle, "zbctl_last_connection", found.last_connection);
        look_up(handle, "zbctl_get", found.get);
        look_up(handle, "zbctl_call_threads", found.call_threads);
        return found;
    }();
    return lib;
}

void check(uint64_t failures, int32_t first_failure) {
    if (failures == 0) return;
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<uint32_t>(first_failure));
    throw std::runtime_error(std::to_string(failures) + " calls failed, the first with 0x" + code);
}

// n getter calls on this thread. With the interpreter lock released around the
// loop each callback takes it back; held, the callbacks run as they do when the
// library calls back from inside a call that keeps the lock.
// Runs a timed loop with the interpreter lock held, or released so that every
// call has to take it back, as a callback from the library does.
template <typename Loop>
int64_t run_maybe_unlocked(Loop& loop, bool release_lock) {
    if (!release_lock) return loop();
    py::gil_scoped_release release;
    return loop();
}

int64_t get_loop(uint64_t conn, int64_t n, bool release_lock) {
    const library& lib = loaded_library();
    uint64_t failures = 0;
    int32_t first_failure = 0;
    zibrel::value record(zibrel::matrix_type);
    auto loop = [&] {
        const auto start = clock_type::now();
        for (int64_t i = 0; i < n; ++i) {
            const int32_t result = lib.get(conn, camera_property, &record);
            if (result != 0 && failures++ == 0) first_failure = result;
        }
        return since(start);
    };
    const int64_t elapsed = run_maybe_unlocked(loop, release_lock);
    check(failures, first_failure);
    // The model's camera is affine: anything else did not come from the override.
    if (record.type != zibrel::matrix_type || record.m.m33 != 1.0) throw std::runtime_error("the getter wrote no camera");
    return elapsed;
}

// n getter calls from each of `threads` new library threads, counting their start and join.
int64_t thread_loop(uint64_t conn, int calls, int threads) {
    const library& lib = loaded_library();
    uint64_t failures = 0;
    int32_t first_failure = 0;
    int64_t elapsed = 0;
    {
        py::gil_scoped_release release;
        const zibrel::value record(zibrel::matrix_type);
        const auto start = clock_type::now();
        failures = lib.call_threads(conn, camera_property, 0, &record, threads, calls, &first_failure);
        elapsed = since(start);
    }
    check(failures, first_failure);
    return elapsed;
}

// n override calls through the NavigationModel pointer: no library, registry or
// record. With the lock released each call takes it, as a callback does.
int64_t override_loop(const NavigationModel& model, int64_t n, bool release_lock) {
    int64_t missing = 0;
    auto loop = [&] {
        const auto start = clock_type::now();
        for (int64_t i = 0; i < n; ++i) {
            if (!model._get_camera_matrix().has_value()) ++missing;
        }
        return since(start);
    };
    const int64_t elapsed = run_maybe_unlocked(loop, release_lock);
    if (missing != 0) throw std::runtime_error("the override returned no matrix");
    return elapsed;
}

}  // namespace

PYBIND11_MODULE(_zibrel_bench, m) {
    m.def("library_path", [] { return loaded_library().path; });
    m.def("last_connection", [] { return loaded_library().last_connection(); });
    m.def("get_loop", &get_loop, py::arg("conn"), py::arg("n"), py::arg("release_lock"));
    m.def("thread_loop", &thread_loop, py::arg("conn"), py::arg("calls"), py::arg("threads") = 1);
    m.def("override_loop", &override_loop, py::arg("model"), py::arg("n"), py::arg("release_lock"));
}
