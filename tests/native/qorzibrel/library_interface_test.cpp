// What the library shows to the application that loads it: the property types
// and the exported names, and the same for the fixture without ZbGetType.
#include <dlfcn.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qorzibrel_test_support.h"
#include "zibrel/property_table.h"

namespace navtest {
namespace {

TEST(PropertyTypeTest, EveryPropertyOfTheSharedTableHasItsType) {
    struct row {
        const char* name;
        zibrel::value_type type;
    };
    const std::vector<row> table{
#define ZIBREL_ROW(pos, id, text, type, ...) {text, zibrel::type},
        ZIBREL_PROPERTIES(ZIBREL_ROW, ZIBREL_ROW)
#undef ZIBREL_ROW
    };
    ASSERT_FALSE(table.empty());
    for (const auto& [name, type] : table) {
        EXPECT_EQ(ZbGetType(name), type) << name;
        // The type comes from the name's text, not from its address, and from all of it.
        EXPECT_EQ(ZbGetType(std::string(name).c_str()), type) << name;
        EXPECT_EQ(ZbGetType((std::string(name) + ".").c_str()), -1) << name;
        EXPECT_EQ(ZbGetType(std::string(name).substr(0, std::strlen(name) - 1).c_str()), -1) << name;
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
