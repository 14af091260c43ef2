#include "model/navigation_model.h"

#include <type_traits>

#include "framework/errors.h"

using namespace zibrel;
using Base = Qor::Kinemo::Navigation3D::CNavigation3D;
using Qor::Kinemo::Navigation3D::accessor_input;
using Qor::Kinemo::Navigation3D::accessor_output;

NavigationModel::NavigationModel(bool multiThreaded, int options) : CNavigation3D(multiThreaded, options != 0) {}

NavigationModel::~NavigationModel() = default;

// ------------------------------------------------------------------ defaults

namespace {

// The native default of an overridable getter: the base accessor's answer, or
// no value when it fails.
template <typename T, typename Output, typename Call>
std::optional<T> base_answer(Call call) {
    Output output{};
    if (call(output) != 0) return std::nullopt;
    if constexpr (std::is_same_v<Output, flag>)
        return output != 0;
    else
        return output;
}

}  // namespace

// The base accessor is called by its qualified name: a virtual call would come
// back here.
#define ZIBREL_DEFAULT_GETTER(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_DEFAULT(gk, std::optional<M> NavigationModel::get() const {                                       \
        return base_answer<M, accessor_output<T>>(                                                               \
            [this](accessor_output<T>& output) { return const_cast<NavigationModel*>(this)->Base::getter(output); }); \
    })
ZIBREL_SERVED_PROPERTIES(ZIBREL_DEFAULT_GETTER)
#undef ZIBREL_DEFAULT_GETTER

int NavigationModel::_get_frame_timing_source() { return static_cast<int>(GetFrameTimingSource()); }

void NavigationModel::_put_frame_timing_source(int source) {
    PutFrameTimingSource(static_cast<Qor::Kinemo::Navigation3D::FrameTimingSource>(source));
}

// ----------------------------------------------------------------- accessors

namespace {

template <typename T>
int32_t answer(const std::optional<T>& result, T& output) {
    if (!result) return result_from_error(function_not_supported);
    output = *result;
    return 0;
}

int32_t answer(const std::optional<bool>& result, flag& output) {
    bool b = false;
    if (!result) return result_from_error(function_not_supported);
    b = *result;
    output = b ? 1 : 0;
    return 0;
}

// The model's copy of a setter's argument; "hit.direction" arrives as a vector
// and reaches the model as a point.
template <typename M, typename A>
M model_argument(const A& argument) {
    if constexpr (std::is_same_v<M, A>)
        return argument;
    else
        return M{argument.x, argument.y, argument.z};
}

}  // namespace

#define ZIBREL_ACCESSOR(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, int32_t NavigationModel::getter(accessor_output<T>& output) {                    \
        return answer(get(), output);                                                                       \
    })                                                                                                      \
    ZIBREL_IF_SERVED(sk, int32_t NavigationModel::setter(accessor_input<T> input) {                       \
        return set(model_argument<M>(input)), 0;                                                            \
    })
ZIBREL_SERVED_PROPERTIES(ZIBREL_ACCESSOR)
#undef ZIBREL_ACCESSOR

// ----------------------------------------------------------- command builder

void NavigationModel::_begin_command_set(std::string id, std::string label) {
    if (setOpen_) throw builder_state_error{};
    commandSet_ = Qor::Kinemo::CCommandSet(std::move(id), std::move(label));
    setOpen_ = true;
}

void NavigationModel::_begin_command_category(std::string id, std::string label) {
    if (!setOpen_) throw builder_state_error{};
    categories_.emplace_back(std::move(id), std::move(label));
}

void NavigationModel::_create_command(std::string id, std::string label, std::string description) {
    if (!setOpen_) throw builder_state_error{};
    Qor::Kinemo::CCommand command(std::move(id), std::move(label), std::move(description));
    if (categories_.empty())
        commandSet_.push_back(std::move(command));
    else
        categories_.back().push_back(std::move(command));
}

void NavigationModel::_end_command_category() {
    if (categories_.empty()) throw builder_state_error{};
    Qor::Kinemo::CCategory category = std::move(categories_.back());
    categories_.pop_back();
    if (categories_.empty())
        commandSet_.push_back(std::move(category));
    else
        categories_.back().push_back(std::move(category));
}

void NavigationModel::_end_command_set() {
    if (!setOpen_) throw builder_state_error{};
    while (!categories_.empty()) _end_command_category();
    PublishCommandSet(commandSet_);
    setOpen_ = false;
}
