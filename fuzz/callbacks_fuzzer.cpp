// Every getter and setter callback the framework registers with the library,
// called as a hostile library would: fuzzed records of every tag (texts without
// their NUL, absurd lengths, image arrays, cyclic command trees), every property
// name and made-up ones, null pointers, live, withdrawn, detached, expired and
// unknown cookies, and an accessor object that answers anything, fails or throws.
// A callback must read only what the record holds, return a result code rather
// than throw, leave a setter's record and a refused getter's record untouched,
// and keep its diagnostic lines bounded.
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "framework/accessors.h"
#include "framework/connection.h"
#include "framework/properties.h"
#include "fuzz/check.h"
#include "fuzz/records.h"
#include "zibrel/library_interface.h"

using namespace Qor::Kinemo::Navigation3D;
using zibrel::value;
using zibrel::value_type;

namespace {

FuzzedDataProvider* input = nullptr;  // of the current run
uint64_t reached = 0;                 // accessor methods reached so far
int depth = 0;                        // callbacks the current one is nested in
void one_call();                      // a callback, as the library would make it
void drop_model();                    // the application lets go of its model

// Answers, fails or throws as the input says.
class fuzzed_accessors : public IAccessors {
public:
    int32_t GetCoordinateSystem(matrix& m) override { return get(m); }
    int32_t GetFrontView(matrix& m) override { return get(m); }
    int32_t GetCameraMatrix(matrix& m) override { return get(m); }
    int32_t GetCameraTarget(point& p) override { return get(p); }
    int32_t GetPointerPosition(point& p) override { return get(p); }
    int32_t GetViewConstructionPlane(plane& p) override { return get(p); }
    int32_t GetViewExtents(box& b) override { return get(b); }
    int32_t GetViewFocusDistance(double& d) override { return get(d); }
    int32_t GetViewFOV(double& d) override { return get(d); }
    int32_t GetViewFrustum(frustum& f) override { return get(f); }
    int32_t GetIsViewPerspective(flag& f) override { return get(f); }
    int32_t GetIsViewRotatable(flag& f) override { return get(f); }
    int32_t SetCameraMatrix(const matrix& m) override { return set(m); }
    int32_t SetCameraTarget(const point& p) override { return set(p); }
    int32_t SetPointerPosition(const point& p) override { return set(p); }
    int32_t SetViewExtents(const box& b) override { return set(b); }
    int32_t SetViewFOV(double d) override { return set(d); }
    int32_t SetViewFrustum(const frustum& f) override { return set(f); }
    int32_t GetModelExtents(box& b) override { return get(b); }
    int32_t GetSelectionExtents(box& b) override { return get(b); }
    int32_t GetSelectionTransform(matrix& m) override { return get(m); }
    int32_t GetIsSelectionEmpty(flag& f) override { return get(f); }
    int32_t SetSelectionTransform(const matrix& m) override { return set(m); }
    int32_t GetUnitsToMeters(double& d) override { return get(d); }
    int32_t GetFloorPlane(plane& p) override { return get(p); }
    int32_t GetPivotPosition(point& p) override { return get(p); }
    int32_t IsUserPivot(flag& f) override { return get(f); }
    int32_t SetPivotPosition(const point& p) override { return set(p); }
    int32_t GetPivotVisible(flag& f) override { return get(f); }
    int32_t SetPivotVisible(bool b) override { return set(b); }
    int32_t GetHitLookAt(point& p) override { return get(p); }
    int32_t SetHitAperture(double d) override { return set(d); }
    int32_t SetHitDirection(const vector& v) override { return set(v); }
    int32_t SetHitLookFrom(const point& p) override { return set(p); }
    int32_t SetHitSelectionOnly(bool b) override { return set(b); }
    int32_t SetActiveCommand(std::string id) override { return set(id); }
    int32_t SetSettingsChanged(int32_t n) override { return set(n); }
    int32_t SetKeyPress(int32_t n) override { return set(n); }
    int32_t SetKeyRelease(int32_t n) override { return set(n); }
    int32_t SetTransaction(int32_t n) override { return set(n); }
    int32_t SetMotionFlag(bool b) override { return set(b); }

private:
    static int32_t outcome() {
        ++reached;
        switch (input->ConsumeIntegralInRange<int>(0, 9)) {
        case 0: return input->ConsumeIntegral<int32_t>();
        case 1: throw std::out_of_range("fuzzed out_of_range");
        case 2: throw std::runtime_error("fuzzed runtime_error");
        case 3: throw 42;
        case 4:
            // The library calls back again from inside a callback.
            if (depth < 3) one_call();
            return 0;
        case 5:
            // The application drops its model from inside the model's own callback.
            drop_model();
            return 0;
        default: return 0;
        }
    }
    template <typename T>
    static int32_t get(T& output) {
        const int32_t result = outcome();
        if (result == 0) {
            const std::vector<uint8_t> bytes = input->ConsumeBytes<uint8_t>(sizeof output);
            fuzz::copy_in(&output, bytes, sizeof output);
        }
        return result;
    }
    template <typename T>
    static int32_t set(const T& argument) {
        // Read the whole argument, as an application would.
        std::vector<char> copy(sizeof argument);
        std::memcpy(copy.data(), &argument, sizeof argument);
        return outcome();
    }
    static int32_t set(const std::string& id) {
        FUZZ_CHECK(id.size() <= 1 << 20);  // no honest record holds that much
        return outcome();
    }
};

struct callback {
    zibrel::property_getter getter;
    zibrel::property_setter setter;
    value_type type;  // what the getter answers with
};

using I = CZibrelInterface;
const callback callbacks[] = {
    {&I::GetCoordinateSystem, nullptr, zibrel::matrix_type},
    {&I::GetFrontView, nullptr, zibrel::matrix_type},
    {&I::GetCameraMatrix, nullptr, zibrel::matrix_type},
    {&I::GetCameraTarget, nullptr, zibrel::point_type},
    {&I::GetPointerPosition, nullptr, zibrel::point_type},
    {&I::GetViewConstructionPlane, nullptr, zibrel::plane_type},
    {&I::GetViewExtents, nullptr, zibrel::box_type},
    {&I::GetViewFocusDistance, nullptr, zibrel::double_type},
    {&I::GetViewFOV, nullptr, zibrel::double_type},
    {&I::GetViewFrustum, nullptr, zibrel::frustum_type},
    {&I::GetIsViewPerspective, nullptr, zibrel::bool_type},
    {&I::GetIsViewRotatable, nullptr, zibrel::bool_type},
    {&I::GetModelExtents, nullptr, zibrel::box_type},
    {&I::GetSelectionExtents, nullptr, zibrel::box_type},
    {&I::GetSelectionTransform, nullptr, zibrel::matrix_type},
    {&I::GetIsSelectionEmpty, nullptr, zibrel::bool_type},
    {&I::GetUnitsToMeters, nullptr, zibrel::double_type},
    {&I::GetFloorPlane, nullptr, zibrel::plane_type},
    {&I::GetPivotPosition, nullptr, zibrel::point_type},
    {&I::IsUserPivot, nullptr, zibrel::bool_type},
    {&I::GetPivotVisible, nullptr, zibrel::bool_type},
    {&I::GetHitLookAt, nullptr, zibrel::point_type},
    {nullptr, &I::SetCameraMatrix, {}},
    {nullptr, &I::SetCameraTarget, {}},
    {nullptr, &I::SetPointerPosition, {}},
    {nullptr, &I::SetViewExtents, {}},
    {nullptr, &I::SetViewFOV, {}},
    {nullptr, &I::SetViewFrustum, {}},
    {nullptr, &I::SetSelectionTransform, {}},
    {nullptr, &I::SetPivotPosition, {}},
    {nullptr, &I::SetPivotVisible, {}},
    {nullptr, &I::SetHitAperture, {}},
    {nullptr, &I::SetHitDirection, {}},
    {nullptr, &I::SetHitLookFrom, {}},
    {nullptr, &I::SetHitSelectionOnly, {}},
    {nullptr, &I::SetActiveCommand, {}},
    {nullptr, &I::SetSettingsChanged, {}},
    {nullptr, &I::SetKeyPress, {}},
    {nullptr, &I::SetKeyRelease, {}},
    {nullptr, &I::SetTransaction, {}},
    {nullptr, &I::SetMotionFlag, {}},
};

// A cookie of an accessor object already gone.
zibrel::sink_cookie marker() {
    return SinkRegistry::insert(
        std::make_shared<Qor::Kinemo::WeakAccessorPtr<IAccessors>>(std::make_shared<fuzzed_accessors>()));
}

// The one cookie handed out between two markers: the model's own, which it
// does not show. Cookies grow with each one handed out (microseconds of the
// steady clock); 0 when the gap is too wide to search, as after the fuzzer
// was descheduled between the markers.
zibrel::sink_cookie cookie_between(zibrel::sink_cookie low, zibrel::sink_cookie high) {
    // Each miss costs a thrown exception, so only a short gap is searched.
    constexpr zibrel::sink_cookie searchable = 2000;
    for (zibrel::sink_cookie c = low + 1; c < high && c - low < searchable; ++c) {
        try {
            SinkRegistry::at(c);
            return c;
        } catch (const std::out_of_range&) {
        }
    }
    if (high - low < searchable) std::abort();  // the model registered no cookie
    return 0;
}

// Diagnostic lines of one input: counted, thrown away, bounded (a rendering
// that never ends is reported at once).
constexpr uint64_t diagnostic_limit = 4 << 20;

struct run_state {
    explicit run_state(FuzzedDataProvider& in) : arena(in) {}
    fuzz::arena arena;
    fuzzed_accessors application;
    std::shared_ptr<CZibrelImpl> model;
    zibrel::sink_cookie model_cookie = 0, direct_cookie = 0, gone_cookie = 0, withdrawn_cookie = 0;
};
run_state* state = nullptr;

void drop_model() {
    if (!state->model) return;
    // What the module's model does on destruction.
    state->model->Detach();
    state->model->WaitForCallbacks();
    state->model.reset();
}

void one_call() {
    FuzzedDataProvider& in = *input;
    const callback& c = in.PickValueInArray(callbacks);
    zibrel::sink_cookie cookie = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: cookie = state->model_cookie; break;
    case 1: cookie = state->direct_cookie; break;
    case 2: cookie = state->gone_cookie; break;
    case 3: cookie = state->withdrawn_cookie; break;
    case 4: cookie = 0; break;
    default: cookie = in.ConsumeIntegral<uint64_t>(); break;
    }
    const char* property = nullptr;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: property = state->arena.text_or_null(); break;
    case 1: property = nullptr; break;
    default:
        property = zibrel::property_table[in.ConsumeIntegralInRange<size_t>(0, zibrel::property_count - 1)].name;
        break;
    }
    value* record = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : state->arena.record();
    value before_call;
    if (record != nullptr) std::memcpy(static_cast<void*>(&before_call), record, sizeof before_call);
    auto unchanged = [&] { return std::memcmp(static_cast<void*>(&before_call), record, sizeof before_call) == 0; };

    const uint64_t reached_before = reached;
    ++depth;
    if (c.getter != nullptr) {
        const int32_t result = c.getter(cookie, property, record);
        const bool called = reached != reached_before;
        // A record no accessor saw is left as it came; a filled one carries the getter's type.
        FUZZ_CHECK(record == nullptr || called || unchanged());
        FUZZ_CHECK(result != 0 || record == nullptr || !called || depth != 1 || record->type == c.type);
    } else {
        c.setter(cookie, property, record);
        FUZZ_CHECK(record == nullptr || unchanged());
    }
    --depth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    input = &in;
    run_state run(in);
    state = &run;
    fuzz::bounded_sink sink(diagnostic_limit);
    std::streambuf* const saved = std::cerr.rdbuf(&sink);

    // The application's model as the module makes it: its connection registers
    // the cookie; it may already be detached (being destroyed).
    const bool multi_threaded = in.ConsumeBool(), option = in.ConsumeBool();
    do {
        if (run.withdrawn_cookie != 0) SinkRegistry::erase(run.withdrawn_cookie);
        run.model.reset();
        run.withdrawn_cookie = marker();
        run.model = CZibrelImpl::CreateInstance(&run.application, multi_threaded, option);
        const zibrel::sink_cookie high = marker();
        run.model_cookie = cookie_between(run.withdrawn_cookie, high);
        SinkRegistry::erase(high);
    } while (run.model_cookie == 0);
    SinkRegistry::erase(run.withdrawn_cookie);
    if (in.ConsumeBool()) run.model->Detach();
    // An accessor object registered directly, and one already gone behind its cookie.
    auto direct = std::make_shared<fuzzed_accessors>();
    run.direct_cookie = SinkRegistry::insert(std::make_shared<Qor::Kinemo::WeakAccessorPtr<IAccessors>>(direct));
    run.gone_cookie = marker();

    const int calls = in.ConsumeIntegralInRange<int>(1, 8);
    for (int i = 0; i < calls && in.remaining_bytes() > 0; ++i) one_call();

    drop_model();
    SinkRegistry::erase(run.direct_cookie);
    SinkRegistry::erase(run.gone_cookie);
    std::cerr.rdbuf(saved);
    state = nullptr;
    input = nullptr;
    return 0;
}
