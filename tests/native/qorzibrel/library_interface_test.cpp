// What the library shows to the application that loads it: the property types
// and the exported names, and the same for the fixture without ZbGetType.
#include <dlfcn.h>

#include <utility>

#include "qorzibrel_test_support.h"

namespace navtest {
namespace {

TEST(PropertyTypeTest, EveryPropertyHasItsType) {
    using namespace zibrel;
    const std::vector<std::pair<const char*, value_type>> table{
        {"active", bool_type},
        {"focus", bool_type},
        {"motion", bool_type},
        {"coordinateSystem", matrix_type},
        {"device.present", bool_type},
        {"events.keyPress", long_type},
        {"events.keyRelease", long_type},
        {"transaction", long_type},
        {"frame.time", double_type},
        {"frame.timingSource", long_type},
        {"view.affine", matrix_type},
        {"view.constructionPlane", plane_type},
        {"view.extents", box_type},
        {"view.fov", float_type},
        {"view.frustum", frustum_type},
        {"view.perspective", bool_type},
        {"view.rotatable", bool_type},
        {"view.target", point_type},
        {"view.focusDistance", float_type},
        {"views.front", matrix_type},
        {"pivot.position", point_type},
        {"pivot.user", bool_type},
        {"pivot.visible", bool_type},
        {"hit.lookfrom", point_type},
        {"hit.direction", vector_type},
        {"hit.aperture", float_type},
        {"hit.lookat", point_type},
        {"hit.selectionOnly", bool_type},
        {"selection.affine", matrix_type},
        {"selection.empty", bool_type},
        {"selection.extents", box_type},
        {"model.extents", box_type},
        {"model.floorPlane", plane_type},
        {"model.unitsToMeters", float_type},
        {"pointer.position", point_type},
        {"commands.tree", actionnode_type},
        {"commands.activeSet", string_type},
        {"commands.activeCommand", string_type},
        {"images", imagearray_type},
        {"settings", string_type},
        {"settings.changed", long_type},
    };
    ASSERT_EQ(table.size(), 41u);
    for (const auto& [name, type] : table) {
        EXPECT_EQ(ZbGetType(name), type) << name;
        // The type comes from the name's text, not from its address.
        EXPECT_EQ(ZbGetType(std::string(name).c_str()), type) << name;
    }
}

TEST(PropertyTypeTest, UnknownNamesHaveNoType) {
    for (const char* name : {"", "view", "View.affine", "view.affine ", " view.affine", "view.affine.x",
                             "commands", "settings.", "view_affine"}) {
        EXPECT_EQ(ZbGetType(name), -1) << '"' << name << '"';
    }
    EXPECT_EQ(ZbGetType(nullptr), -1);
}

struct loaded_library {
    void* handle;
    explicit loaded_library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~loaded_library() {
        if (handle != nullptr) dlclose(handle);
    }
    bool exports(const char* name) const { return dlsym(handle, name) != nullptr; }
};

const std::vector<const char*> entry_points{"ZbCreate", "ZbClose", "ZbReadValue", "ZbWriteValue", "ZbGetType"};

TEST(ExportsTest, LibraryExportsTheEntryPointsAndTheControls) {
    loaded_library lib(QORZIBREL_PATH);
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    for (const char* name : entry_points) EXPECT_TRUE(lib.exports(name)) << name;
    for (const char* name : {"zbctl_reset", "zbctl_inject", "zbctl_hammer_start", "zbctl_hammer_threads", "zbctl_tree"}) {
        EXPECT_TRUE(lib.exports(name)) << name;
    }
    // Internals stay hidden: zibrel::qorzibrel::state() and zibrel::qorzibrel::property_type.
    for (const char* name : {"_ZN6zibrel6qorzibrel5stateEv", "_ZN6zibrel6qorzibrel13property_typeESt17basic_string_viewIcSt11char_traitsIcEE"}) {
        EXPECT_FALSE(lib.exports(name)) << name;
    }
}

TEST(ExportsTest, FixtureLacksOnlyGetType) {
    loaded_library lib(NO_GETTYPE_FIXTURE_PATH);
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    for (const char* name : entry_points) {
        EXPECT_EQ(lib.exports(name), std::string_view(name) != "ZbGetType") << name;
    }
    // Should it be called anyway, it refuses and leaves the handle alone.
    auto create = reinterpret_cast<zibrel::ZbCreate_t>(dlsym(lib.handle, "ZbCreate"));
    ASSERT_NE(create, nullptr);
    uint64_t handle = 0;
    const auto opts = options();
    EXPECT_EQ(create(&handle, "test", nullptr, 0, &opts), static_cast<int32_t>(0x80040202u));
    EXPECT_EQ(handle, 0u);
}

}  // namespace
}  // namespace navtest
