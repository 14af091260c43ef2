// Run-time loading of the navigation library and the entry stubs through which
// the rest of the system calls it. With the library absent every stub returns
// the recorded failure code, so the module works without it.
#pragma once

#include <cstdint>
#include <string>

#include "zibrel/library_interface.h"

namespace zibrel {

#ifdef _WIN32
// The file the library is loaded from: the folders of LoadLibraryW's default
// search order except the current one (the application's, the system's, those
// on PATH), then the module's own folder.
inline constexpr const char* navigation_library_file = "QorZibrel.dll";
#else
// The file the library is loaded from, by the platform's normal search order
// (LD_LIBRARY_PATH, then the module's run path: the pyzibrel package's folder
// for it, then the system's).
inline constexpr const char* navigation_library_file = "libQorZibrel.so";
#endif

// Error numbers that mirror the platform codes the result codes are documented with.
inline constexpr int library_not_loadable = 126;  // gives 0x8007007E
inline constexpr int entry_point_missing = 127;   // gives 0x8007007F

// Facility-7 failure code of an operating-system error number: e itself when
// e <= 0, else 0x80070000 | (e & 0xFFFF).
int32_t failure_code_from_os_error(int e) noexcept;

// Loads `file` and looks up the five entry points in order; on any failure
// unloads it and clears every address. Returns 0 or the failure code, and
// records it as load_result(). Normally run once, at module load.
int32_t load_navigation_library(const char* file = navigation_library_file);

// Runs the load the first time it is called; later calls return its result.
int32_t load_navigation_library_once();

// 0 before the load and after a successful one, else the failure code.
int32_t load_result() noexcept;

// What made the load fail, for messages: the library's file and the loader's
// message, or the library's path and the missing entry point. Empty unless the
// load failed.
std::string load_failure_text();

// The stubs: forward to the library when its entry point was found, otherwise
// return load_result() (ZbGetType: -1).
int32_t ZbCreate(connection_handle* handle, const char* profile, const property_accessor* accessors, size_t count,
                 const create_options* options);
int32_t ZbClose(connection_handle handle);
int32_t ZbReadValue(connection_handle handle, const char* property, value* value);
int32_t ZbWriteValue(connection_handle handle, const char* property, const value* value);
int32_t ZbGetType(const char* property);

}  // namespace zibrel
