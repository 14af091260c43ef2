// The loader and its stubs, run by ctest once per situation: the search path
// pointing at no library, at a library without ZbGetType, at our library; our
// library beside the test program; and a library planted in the current folder
// that must not be loaded.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "framework/errors.h"

#include "library/loader.h"

using namespace zibrel;

namespace {

std::string expectation() {
    const char* e = std::getenv("ZIBREL_EXPECT_LIBRARY");
    return e != nullptr ? e : "";
}

#ifdef _WIN32
bool library_still_loaded() { return GetModuleHandleW(L"QorZibrel.dll") != nullptr; }

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
#else
bool library_still_loaded() { return dlopen(navigation_library_file, RTLD_NOW | RTLD_NOLOAD) != nullptr; }
#endif

// Every stub but ZbGetType answers with the recorded failure code.
void expect_stubs_fail_with(int32_t code) {
    connection_handle handle = 0;
    const property_accessor accessor{"view.affine", nullptr, nullptr, 1};
    const create_options options{12, false, 0};
    EXPECT_EQ(ZbCreate(&handle, "profile", &accessor, 1, &options), code);
    EXPECT_EQ(handle, 0u);
    value record;
    EXPECT_EQ(ZbReadValue(1, "view.affine", &record), code);
    EXPECT_EQ(ZbWriteValue(1, "view.affine", &record), code);
    EXPECT_EQ(ZbClose(1), code);
    EXPECT_EQ(ZbGetType("view.affine"), -1);
}

// The refusal an enable raises: the documented beginning, the number, and what happened.
std::system_error refusal(int32_t result) {
    return std::system_error(make_error_code(result & 0xFFFF), "Cannot create a connection to the 3ZEdizo.");
}

}  // namespace

TEST(FailureCode, FromOperatingSystemErrors) {
    const struct {
        int e;
        uint32_t code;
    } cases[] = {{126, 0x8007007E}, {127, 0x8007007F}, {0, 0}, {-3, static_cast<uint32_t>(-3)}, {0x12345, 0x80072345}};
    for (const auto& c : cases) EXPECT_EQ(static_cast<uint32_t>(failure_code_from_os_error(c.e)), c.code) << c.e;
}

TEST(Loader, LoadsOnceAndStubsFollowTheResult) {
    const std::string expect = expectation();
    if (expect.empty()) GTEST_SKIP() << "run through ctest, which sets ZIBREL_EXPECT_LIBRARY and the search path";

    EXPECT_EQ(load_result(), 0) << "nothing recorded before the load";
    const int32_t result = load_navigation_library_once();
    EXPECT_EQ(load_result(), result);
    EXPECT_EQ(load_navigation_library_once(), result) << "the load runs once";

    if (expect == "absent" || expect == "planted") {
        EXPECT_EQ(static_cast<uint32_t>(result), 0x8007007Eu);
        expect_stubs_fail_with(result);
#ifdef _WIN32
        const std::string text = load_failure_text();
        EXPECT_EQ(text.rfind("the navigation library could not be loaded: QorZibrel.dll: ", 0), 0u) << text;
        EXPECT_NE(text.find("(error 126)"), std::string::npos) << text;
        EXPECT_NE(text.find("never in the current folder"), std::string::npos) << text;
#else
        const std::string text = "the navigation library could not be loaded: libQorZibrel.so: cannot open shared "
                                 "object file: No such file or directory";
        EXPECT_EQ(load_failure_text(), text);
#endif
        EXPECT_EQ(refusal(result).code().value(), 126);
        EXPECT_EQ(std::string(refusal(result).what()), "Cannot create a connection to the 3ZEdizo.: " + text);
        if (expect == "planted") {
            std::FILE* announced = std::fopen("planted-library-was-loaded", "r");
            EXPECT_EQ(announced, nullptr) << "the library planted in the current folder was loaded";
            if (announced != nullptr) std::fclose(announced);
        }
    } else if (expect == "no_gettype") {
        EXPECT_EQ(static_cast<uint32_t>(result), 0x8007007Fu);
        // The fixture's own entry points would answer 0x80040202: none may be reached.
        expect_stubs_fail_with(result);
        EXPECT_FALSE(library_still_loaded()) << "the library was unloaded";
        const std::string text = load_failure_text();
#ifdef _WIN32
        EXPECT_EQ(text.rfind("the navigation library ", 0), 0u) << text;
        EXPECT_TRUE(ends_with(text, "no_gettype\\QorZibrel.dll lacks the entry point ZbGetType")) << text;
#else
        EXPECT_EQ(text, "the navigation library " + std::string(std::getenv("LD_LIBRARY_PATH")) +
                            "/libQorZibrel.so lacks the entry point ZbGetType");
#endif
        EXPECT_EQ(refusal(result).code().value(), 127);
        EXPECT_EQ(std::string(refusal(result).what()), "Cannot create a connection to the 3ZEdizo.: " + text);
    } else if (expect == "ours" || expect == "beside") {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(load_failure_text(), "");
        // A library's own refusal with these numbers is not blamed on the loader's platform texts.
        EXPECT_EQ(make_error_code(126).message(), "the navigation library could not be loaded");
        EXPECT_EQ(make_error_code(127).message(), "the navigation library lacks an entry point");
        EXPECT_EQ(ZbGetType("view.affine"), matrix_type);
        EXPECT_EQ(ZbGetType("no.such.property"), -1);
        connection_handle handle = 0;
        const create_options options{12, false, 0};
        ASSERT_EQ(ZbCreate(&handle, "loader test", nullptr, 0, &options), 0);
        EXPECT_NE(handle, 0u);
        EXPECT_EQ(ZbClose(handle), 0);
    } else {
        FAIL() << "unknown expectation " << expect;
    }
}
