// Native figures, printed as one JSON object on standard output.
//
//   zibrel_bench_native callbacks [rounds] [calls]
//       our library calling the "view.affine" getter of a native model, and the
//       two halves of that path measured alone: the library with a bare getter
//       (no framework), the framework's callback called without the library, and
//       the registry lookup inside that callback.
//   zibrel_bench_native trees [rounds] [nodes]
//       building and destroying a command set with one category of `nodes` commands.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands/action_node.h"
#include "framework/connection.h"
#include "framework/startup.h"
#include "library/loader.h"
#include "model/navigation_model.h"
#include "values/value.h"
#include "zibrel_test_control.h"

using namespace zibrel;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr const char* camera_property = "view.affine";
constexpr matrix camera{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5, -2, 10, 1};

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A native application model: answers the camera, nothing else.
class NativeModel final : public NavigationModel {
public:
    NativeModel() : NavigationModel(false, 0) {}
    ~NativeModel() override { EnableNavigation(false); }

    std::optional<matrix> _get_camera_matrix() const override { return camera; }
    std::optional<point> _get_pointer_position() const override { return std::nullopt; }
    std::optional<box> _get_view_extents() const override { return std::nullopt; }
    std::optional<double> _get_view_fov() const override { return std::nullopt; }
    std::optional<frustum> _get_view_frustum() const override { return std::nullopt; }
    std::optional<bool> _get_is_view_perspective() const override { return std::nullopt; }
    std::optional<box> _get_selection_extents() const override { return std::nullopt; }
    std::optional<matrix> _get_selection_transform() const override { return std::nullopt; }
    std::optional<bool> _get_is_selection_empty() const override { return std::nullopt; }
    std::optional<bool> _get_pivot_visible() const override { return std::nullopt; }
    std::optional<box> _get_model_extents() const override { return std::nullopt; }
    std::optional<point> _get_pivot_position() const override { return std::nullopt; }
    std::optional<point> _get_hit_look_at() const override { return std::nullopt; }
    std::optional<bool> _is_user_pivot() const override { return std::nullopt; }
    void _set_camera_matrix(matrix) override {}
    void _set_view_extents(box) override {}
    void _set_view_fov(double) override {}
    void _set_view_frustum(frustum) override {}
    void _set_selection_transform(matrix) override {}
    void _set_pivot_position(point) override {}
    void _set_pivot_visible(bool) override {}
    void _set_hit_aperture(double) override {}
    void _set_hit_direction(point) override {}
    void _set_hit_look_from(point) override {}
    void _set_hit_selection_only(bool) override {}
    void _set_active_command(std::string) override {}
};

// The library's own share: a getter that only copies the camera.
int32_t bare_getter(sink_cookie, const char*, value* record) {
    record->type = matrix_type;
    record->m = camera;
    return 0;
}

// Nanoseconds per call of `call` over n calls, checking every result.
template <typename Call>
double per_call_ns(int64_t n, Call call) {
    value record(matrix_type);
    int64_t failures = 0;
    const auto start = clock_type::now();
    for (int64_t i = 0; i < n; ++i) failures += call(record) != 0;
    const double elapsed = seconds_since(start);
    if (failures != 0 || record.m.m30 != camera.m30) throw std::runtime_error("a getter call failed");
    return elapsed * 1e9 / static_cast<double>(n);
}

void print_figure(const char* name, const std::vector<double>& runs, const char* unit, bool last = false) {
    std::printf("  \"%s\": {\"unit\": \"%s\", \"median\": %.6g, \"runs\": [", name, unit, median(runs));
    for (size_t i = 0; i < runs.size(); ++i) std::printf("%s%.6g", i ? ", " : "", runs[i]);
    std::printf("]}%s\n", last ? "" : ",");
}

int callbacks(int rounds, int64_t calls) {
    if (const int32_t loaded = initialize_process(); loaded != 0)
        throw std::runtime_error("the navigation library did not load");

    NativeModel model;
    model.PutProfileHint("bench-native");
    model.EnableNavigation(true);
    const uint64_t conn = zbctl_last_connection();
    if (conn == 0) throw std::runtime_error("the model's connection is not in the linked library");

    // The model's cookie, to call the framework's callback without the library.
    sink_cookie cookie = 0;
    for (int i = 0, n = zbctl_accessor_count(conn); i < n; ++i) {
        const char* name = nullptr;
        int getter = 0;
        uint64_t entry_cookie = 0;
        if (zbctl_accessor_at(conn, i, &name, &getter, nullptr, &entry_cookie) == 0 &&
            std::string(name) == camera_property && getter) {
            cookie = entry_cookie;
            break;
        }
    }
    if (cookie == 0) throw std::runtime_error("the model registered no camera getter");

    connection_handle bare = 0;
    const property_accessor bare_entry{camera_property, &bare_getter, nullptr, 1};
    const create_options options{sizeof(create_options), false, 0};
    if (ZbCreate(&bare, "bench-bare", &bare_entry, 1, &options) != 0) throw std::runtime_error("ZbCreate failed");

    // What every callback does first: find the cookie's registration and count
    // the call in it, and at the end leave it.
    auto registry_lookup = [cookie](value& r) {
        using Qor::Kinemo::Navigation3D::SinkRegistry;
        auto* found = SinkRegistry::find_direct(cookie);
        if (found == nullptr) return 1;
        r.m = camera;
        SinkRegistry::leave(*found);
        return 0;
    };

    std::vector<double> native, library_only, framework_only, registry_only;
    // One round unmeasured, so that caches and the allocator are warm.
    for (int round = -1; round < rounds; ++round) {
        const double a = per_call_ns(calls, [&](value& r) { return zbctl_get(conn, camera_property, &r); });
        const double l = per_call_ns(calls, [&](value& r) { return zbctl_get(bare, camera_property, &r); });
        const double f = per_call_ns(calls, [&](value& r) {
            return Qor::Kinemo::Navigation3D::CZibrelInterface::GetCameraMatrix(cookie, camera_property, &r);
        });
        const double r = per_call_ns(calls, registry_lookup);
        if (round < 0) continue;
        native.push_back(a);
        library_only.push_back(l);
        framework_only.push_back(f);
        registry_only.push_back(r);
    }
    ZbClose(bare);

    std::printf("{\"calls_per_run\": %lld, \"figures\": {\n", static_cast<long long>(calls));
    print_figure("native_get", native, "ns/call");
    print_figure("native_get_library_only", library_only, "ns/call");
    print_figure("native_get_framework_only", framework_only, "ns/call");
    print_figure("native_registry_lookup", registry_only, "ns/call", true);
    std::printf("}}\n");
    return 0;
}

// A set with one category of n commands, linked in order. CCommandTree::push_back
// walks the sibling chain to its end on every call, so n appends would cost n²/2
// steps; the chain is linked through the last node instead.
std::unique_ptr<Qor::Kinemo::CCommandSet> build_tree(int64_t n) {
    auto set = std::make_unique<Qor::Kinemo::CCommandSet>("bench.set", "Bench");
    auto category = std::make_unique<Qor::Kinemo::CCategory>("bench.category", "Category");
    Qor::CActionNode* last = nullptr;
    for (int64_t i = 0; i < n; ++i) {
        const std::string number = std::to_string(i);
        std::string id("c"), label("Command ");
        auto command = std::make_unique<Qor::Kinemo::CCommand>(id.append(number), label.append(number), std::string());
        if (last == nullptr) {
            category->PutChild(std::move(command));
            last = category->GetChild();
        } else {
            last->PutNext(std::move(command));
            last = last->GetNext();
        }
    }
    set->push_back(std::move(category));
    return set;
}

int trees(int rounds, int64_t nodes) {
    std::vector<double> build, destroy;
    for (int round = -1; round < rounds; ++round) {
        auto start = clock_type::now();
        auto set = build_tree(nodes);
        const double built = seconds_since(start);
        start = clock_type::now();
        set.reset();
        const double destroyed = seconds_since(start);
        if (round < 0) continue;
        build.push_back(built * 1e3);
        destroy.push_back(destroyed * 1e3);
    }
    std::printf("{\"nodes\": %lld, \"figures\": {\n", static_cast<long long>(nodes + 2));
    print_figure("tree_build_linked", build, "ms");
    print_figure("tree_destroy", destroy, "ms", true);
    std::printf("}}\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string family = argc > 1 ? argv[1] : "";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
    try {
        if (family == "callbacks") return callbacks(rounds, argc > 3 ? std::atoll(argv[3]) : 200000);
        if (family == "trees") return trees(rounds, argc > 3 ? std::atoll(argv[3]) : 1000000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zibrel_bench_native: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: zibrel_bench_native callbacks|trees [rounds] [calls|nodes]\n");
    return 2;
}
