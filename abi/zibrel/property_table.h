// Every property the binding and a navigation library exchange, declared once.
// Both sides generate what they need from these rows: the library its type
// table, the binding its name constants, its catalogue, the accessor interfaces,
// the connection's forwarding and callbacks, the accessor array it registers,
// and the model's overridable methods with their Python bindings. Adding a
// property is one row here, plus its behaviour.
#pragma once

#include <cstdint>

#include "zibrel/value_record.h"

namespace zibrel {

// Seen from the library: write_access means the library writes the property.
enum property_access : int32_t {
    no_access = 0,
    write_access = 1,
    read_access = 2,
    read_write_access = 3,
};

}  // namespace zibrel

// Columns every row starts with:
//   pos     its place in the catalogue (1-based; the catalogue lists the rows by it)
//   id      the name of its constant in namespace zibrel
//   text    the name the library knows
//   type    its value_type
//   access  its property_access code
//
// A property that the application's accessors serve has more columns, which
// only the binding reads:
//   iface   the accessor interface that serves it
//   T       the accessor's value type, as named in namespace zibrel (a bool
//           getter fills a flag)
//   M       the type the model's overridable methods exchange
//   getter  the interface's getter method, or none
//   get     the model's overridable getter, also its Python name, or none
//   gk      pure, default (the model falls back on CNavigation3D's answer) or none
//   gn      the getter's place among the model's overridable methods, the order
//           Python lists them in (1-based; 0 for none)
//   setter, set, sk, sn: the same for the setter (a default setter does nothing)
//
// Within an interface the rows are in the order the connection registers their
// accessors with the library; the interfaces come in the order of
// ZIBREL_SERVED_PROPERTIES.

// Properties that no accessor serves.
#define ZIBREL_UNSERVED_PROPERTIES(P)                                   \
    P(1,  active,              "active",             bool_type,       no_access)   \
    P(2,  focus,               "focus",              bool_type,       no_access)   \
    P(5,  device_present,      "device.present",     bool_type,       no_access)   \
    P(9,  frame_time,          "frame.time",         double_type,     read_access) \
    P(10, frame_timing_source, "frame.timingSource", long_type,       read_access) \
    P(36, commands_tree,       "commands.tree",      actionnode_type, no_access)   \
    P(37, commands_active_set, "commands.activeSet", string_type,     no_access)   \
    P(39, images,              "images",             imagearray_type, no_access)   \
    P(40, settings,            "settings",           string_type,     no_access)

//  pos id                      text                      type          access             iface  T            M            getter                    get                            gk       gn  setter                 set                        sk       sn
#define ZIBREL_IEVENTS_PROPERTIES(A, iface)                                                                                                                                                                                                                    \
    A(38, commands_active_command, "commands.activeCommand", string_type,  write_access,      iface, std::string, std::string, none,                     none,                          none,    0,  SetActiveCommand,      _set_active_command,       pure,    34) \
    A(6,  events_key_press,        "events.keyPress",        long_type,    write_access,      iface, int32_t,     int32_t,     none,                     none,                          none,    0,  SetKeyPress,           _set_key_press,            default, 37) \
    A(7,  events_key_release,      "events.keyRelease",      long_type,    write_access,      iface, int32_t,     int32_t,     none,                     none,                          none,    0,  SetKeyRelease,         _set_key_release,          default, 38) \
    A(41, settings_changed,        "settings.changed",       long_type,    write_access,      iface, int32_t,     int32_t,     none,                     none,                          none,    0,  SetSettingsChanged,    _set_settings_changed,     default, 36)

#define ZIBREL_ISPACE3D_PROPERTIES(A, iface)                                                                                                                                                                                                                   \
    A(4,  coordinate_system,       "coordinateSystem",       matrix_type,  read_access,       iface, matrix,      matrix,      GetCoordinateSystem,      _get_coordinate_system,        default, 15, none,                  none,                      none,    0)  \
    A(20, views_front,             "views.front",            matrix_type,  read_access,       iface, matrix,      matrix,      GetFrontView,             _get_front_view,               default, 16, none,                  none,                      none,    0)

#define ZIBREL_ISTATE_PROPERTIES(A, iface)                                                                                                                                                                                                                     \
    A(3,  motion,                  "motion",                 bool_type,    write_access,      iface, bool,        bool,        none,                     none,                          none,    0,  SetMotionFlag,         _set_motion_flag,          default, 35) \
    A(8,  transaction,             "transaction",            long_type,    write_access,      iface, int32_t,     int32_t,     none,                     none,                          none,    0,  SetTransaction,        _set_transaction,          default, 39)

#define ZIBREL_IVIEW_PROPERTIES(A, iface)                                                                                                                                                                                                                      \
    A(11, view_affine,             "view.affine",            matrix_type,  read_write_access, iface, matrix,      matrix,      GetCameraMatrix,          _get_camera_matrix,            pure,    10, SetCameraMatrix,       _set_camera_matrix,        pure,    23) \
    A(12, view_construction_plane, "view.constructionPlane", plane_type,   read_access,       iface, plane,       plane,       GetViewConstructionPlane, _get_view_construction_plane,  default, 20, none,                  none,                      none,    0)  \
    A(13, view_extents,            "view.extents",           box_type,     read_write_access, iface, box,         box,         GetViewExtents,           _get_view_extents,             pure,    2,  SetViewExtents,        _set_view_extents,         pure,    24) \
    A(19, view_focus_distance,     "view.focusDistance",     float_type,   read_access,       iface, double,      double,      GetViewFocusDistance,     _get_view_focus_distance,      default, 22, none,                  none,                      none,    0)  \
    A(14, view_fov,                "view.fov",               float_type,   read_write_access, iface, double,      double,      GetViewFOV,               _get_view_fov,                 pure,    3,  SetViewFOV,            _set_view_fov,             pure,    25) \
    A(15, view_frustum,            "view.frustum",           frustum_type, read_access,       iface, frustum,     frustum,     GetViewFrustum,           _get_view_frustum,             pure,    4,  SetViewFrustum,        _set_view_frustum,         pure,    26) \
    A(16, view_perspective,        "view.perspective",       bool_type,    read_access,       iface, bool,        bool,        GetIsViewPerspective,     _get_is_view_perspective,      pure,    5,  none,                  none,                      none,    0)  \
    A(18, view_target,             "view.target",            point_type,   read_access,       iface, point,       point,       GetCameraTarget,          _get_camera_target,            default, 19, SetCameraTarget,       _set_camera_target,        default, 40) \
    A(17, view_rotatable,          "view.rotatable",         bool_type,    read_access,       iface, bool,        bool,        GetIsViewRotatable,       _get_is_view_rotatable,        default, 21, none,                  none,                      none,    0)  \
    A(35, pointer_position,        "pointer.position",       point_type,   read_access,       iface, point,       point,       GetPointerPosition,       _get_pointer_position,         pure,    1,  SetPointerPosition,    _set_pointer_position,     default, 41)

#define ZIBREL_IPIVOT_PROPERTIES(A, iface)                                                                                                                                                                                                                     \
    A(21, pivot_position,          "pivot.position",         point_type,   read_write_access, iface, point,       point,       GetPivotPosition,         _get_pivot_position,           pure,    12, SetPivotPosition,      _set_pivot_position,       pure,    28) \
    A(22, pivot_user,              "pivot.user",             bool_type,    no_access,         iface, bool,        bool,        IsUserPivot,              _is_user_pivot,                pure,    14, none,                  none,                      none,    0)  \
    A(23, pivot_visible,           "pivot.visible",          bool_type,    write_access,      iface, bool,        bool,        GetPivotVisible,          _get_pivot_visible,            pure,    9,  SetPivotVisible,       _set_pivot_visible,        pure,    29)

// "hit.direction" reaches the model as a point.
#define ZIBREL_IHIT_PROPERTIES(A, iface)                                                                                                                                                                                                                       \
    A(24, hit_lookfrom,            "hit.lookfrom",           point_type,   write_access,      iface, point,       point,       none,                     none,                          none,    0,  SetHitLookFrom,        _set_hit_look_from,        pure,    32) \
    A(25, hit_direction,           "hit.direction",          vector_type,  write_access,      iface, vector,      point,       none,                     none,                          none,    0,  SetHitDirection,       _set_hit_direction,        pure,    31) \
    A(26, hit_aperture,            "hit.aperture",           float_type,   write_access,      iface, double,      double,      none,                     none,                          none,    0,  SetHitAperture,        _set_hit_aperture,         pure,    30) \
    A(27, hit_lookat,              "hit.lookat",             point_type,   read_access,       iface, point,       point,       GetHitLookAt,             _get_hit_look_at,              pure,    13, none,                  none,                      none,    0)  \
    A(28, hit_selection_only,      "hit.selectionOnly",      bool_type,    write_access,      iface, bool,        bool,        none,                     none,                          none,    0,  SetHitSelectionOnly,   _set_hit_selection_only,   pure,    33)

#define ZIBREL_IMODEL_PROPERTIES(A, iface)                                                                                                                                                                                                                     \
    A(32, model_extents,           "model.extents",          box_type,     read_access,       iface, box,         box,         GetModelExtents,          _get_model_extents,            pure,    11, none,                  none,                      none,    0)  \
    A(30, selection_empty,         "selection.empty",        bool_type,    read_access,       iface, bool,        bool,        GetIsSelectionEmpty,      _get_is_selection_empty,       pure,    8,  none,                  none,                      none,    0)  \
    A(31, selection_extents,       "selection.extents",      box_type,     read_access,       iface, box,         box,         GetSelectionExtents,      _get_selection_extents,        pure,    6,  none,                  none,                      none,    0)  \
    A(29, selection_affine,        "selection.affine",       matrix_type,  read_write_access, iface, matrix,      matrix,      GetSelectionTransform,    _get_selection_transform,      pure,    7,  SetSelectionTransform, _set_selection_transform,  pure,    27) \
    A(34, model_units_to_meters,   "model.unitsToMeters",    float_type,   read_access,       iface, double,      double,      GetUnitsToMeters,         _get_units_to_meters,          default, 17, none,                  none,                      none,    0)  \
    A(33, model_floor_plane,       "model.floorPlane",       plane_type,   read_access,       iface, plane,       plane,       GetFloorPlane,            _get_floor_plane,              default, 18, none,                  none,                      none,    0)

// The served properties, interface by interface in registration order.
#define ZIBREL_SERVED_PROPERTIES(A)        \
    ZIBREL_IEVENTS_PROPERTIES(A, IEvents)   \
    ZIBREL_ISPACE3D_PROPERTIES(A, ISpace3D) \
    ZIBREL_ISTATE_PROPERTIES(A, IState)     \
    ZIBREL_IVIEW_PROPERTIES(A, IView)       \
    ZIBREL_IPIVOT_PROPERTIES(A, IPivot)     \
    ZIBREL_IHIT_PROPERTIES(A, IHit)         \
    ZIBREL_IMODEL_PROPERTIES(A, IModel)

// Every property: P(pos, id, text, type, access) for those no accessor serves,
// A(pos, id, text, type, access, iface, ...) for the others. A user of the first
// five columns only can pass one variadic macro for both.
#define ZIBREL_PROPERTIES(P, A) ZIBREL_UNSERVED_PROPERTIES(P) ZIBREL_SERVED_PROPERTIES(A)
