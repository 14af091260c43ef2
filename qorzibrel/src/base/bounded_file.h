// Reading the library's own files (settings, device files) on the
// application's thread without ever blocking it or growing without bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zibrel::qorzibrel {

inline constexpr size_t settings_file_limit = size_t{1} << 20;      // 1 MiB
inline constexpr size_t device_file_limit = size_t{16} << 20;       // 16 MiB

// The whole content of the regular file at `path`, at most `limit` bytes.
// Anything else is refused without reading from it: a FIFO or a device could
// block or never end. The path is opened non-blocking, so even a FIFO swapped
// in after the check cannot hold the caller. On failure returns nothing and
// sets `why` to the reason, to follow the file's name in a message:
// "is not a regular file (a directory)", "cannot be read (No such file or
// directory)", "is larger than 1 MiB".
std::optional<std::string> read_bounded_file(const std::string& path, size_t limit, std::string& why);

}  // namespace zibrel::qorzibrel
