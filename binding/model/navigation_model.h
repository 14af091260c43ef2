// NavigationModel turns the typed accessor interfaces into overridable methods
// named as Python sees them, and builds command trees from five calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/action_node.h"
#include "framework/navigation3d.h"
#include "values/value.h"

class NavigationModel : public Qor::Kinemo::Navigation3D::CNavigation3D {
public:
    NavigationModel(bool multiThreaded, int options);
    ~NavigationModel() override;

    // The table's types, as the generated declarations below name them.
    using box = zibrel::box;
    using flag = zibrel::flag;
    using frustum = zibrel::frustum;
    using matrix = zibrel::matrix;
    using plane = zibrel::plane;
    using point = zibrel::point;
    using vector = zibrel::vector;

    // The overridable methods, one per accessor: a pure one has no native
    // answer; a default getter answers what CNavigation3D answers, a default
    // setter does nothing. Python binds them in the table's gn and sn order.
#define ZIBREL_OVERRIDABLE(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, virtual std::optional<M> get() const ZIBREL_IF_PURE(gk, = 0);)                       \
    ZIBREL_IF_SERVED(sk, virtual void set(M) ZIBREL_IF_PURE(sk, = 0;) ZIBREL_IF_DEFAULT(sk, {}))
    ZIBREL_SERVED_PROPERTIES(ZIBREL_OVERRIDABLE)
#undef ZIBREL_OVERRIDABLE

    int _get_frame_timing_source();
    void _put_frame_timing_source(int source);

    // The command builder.
    void _begin_command_set(std::string id, std::string label);
    void _begin_command_category(std::string id, std::string label);
    void _create_command(std::string id, std::string label, std::string description);
    void _end_command_category();
    void _end_command_set();

    // The accessors, each answered by the matching virtual above.
#define ZIBREL_ACCESSOR(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn)             \
    ZIBREL_IF_SERVED(gk, int32_t getter(Qor::Kinemo::Navigation3D::accessor_output<T>& value) override;) \
    ZIBREL_IF_SERVED(sk, int32_t setter(Qor::Kinemo::Navigation3D::accessor_input<T> value) override;)
    ZIBREL_SERVED_PROPERTIES(ZIBREL_ACCESSOR)
#undef ZIBREL_ACCESSOR

    // A precondition of the command builder failed. Deliberately not derived
    // from std::exception: Python sees "Caught an unknown exception!".
    struct builder_state_error {};

private:
    Qor::Kinemo::CCommandSet commandSet_;
    std::vector<Qor::Kinemo::CCategory> categories_;
    bool setOpen_ = false;
};
