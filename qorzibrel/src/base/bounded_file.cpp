#include "base/bounded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace zibrel::qorzibrel {
namespace {

#ifdef _WIN32
// No sockets among files, no controlling terminal, no inheritance across exec;
// text mode would rewrite line ends, so the bytes read would not match the size.
#define S_ISSOCK(mode) false
constexpr int open_flags = O_RDONLY | O_BINARY;
#else
constexpr int open_flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#endif

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "of an unknown kind";
}

std::string size_text(size_t bytes) {
    return bytes % (size_t{1} << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
}

std::string cannot_read(int error) { return std::string("cannot be read (") + std::strerror(error) + ")"; }

struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::optional<std::string> read_bounded_file(const std::string& path, size_t limit, std::string& why) {
    // stat first: a socket cannot be opened at all, and a FIFO is better not opened.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = cannot_read(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = std::string("is not a regular file (") + kind_of(st.st_mode) + ")";
        return std::nullopt;
    }
    const descriptor file{::open(path.c_str(), open_flags)};
    if (file.fd < 0) {
        why = cannot_read(errno);
        return std::nullopt;
    }
    // Checked again on what was opened: the path may have changed in between.
    if (::fstat(file.fd, &st) != 0) {
        why = cannot_read(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = std::string("is not a regular file (") + kind_of(st.st_mode) + ")";
        return std::nullopt;
    }
    const auto too_large = [&] {
        why = "is larger than " + size_text(limit);
        return std::nullopt;
    };
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > limit) return too_large();
    // The size is only a hint: the file may grow while it is read, so reading
    // stops one byte past the limit.
    std::string content(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (used > limit) return too_large();
            content.resize(std::min(limit + 1, std::max(content.size() * 2, size_t{4096})));
        }
        const ssize_t n = ::read(file.fd, content.data() + used, content.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            why = cannot_read(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (used > limit) return too_large();
    content.resize(used);
    return content;
}

}  // namespace zibrel::qorzibrel
