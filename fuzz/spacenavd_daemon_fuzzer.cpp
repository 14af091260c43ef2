// A spacenavd daemon that says anything: our library's device information
// (zbx_device_info) talks to it through libspnav on SPNAV_SOCKET. Whatever
// the daemon sends, however little of a reply, and whether it then falls
// silent or closes, the answer comes within a bound and is one JSON object.
//
// Input: one byte of flags (bit 0: close after the last reply, else hold the
// connection without a word more), then the replies, each after one byte of
// its length. The first reply answers libspnav's 4-byte version request, each
// further one its next 32-byte request (a device query).
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/check.h"
#include "zibrel_extras.h"

namespace {

struct daemon_script {
    bool closes = false;
    std::vector<std::string> replies;
};

daemon_script read_script(const uint8_t* data, size_t size) {
    daemon_script s;
    if (size == 0) return s;
    s.closes = (data[0] & 1) != 0;
    for (size_t at = 1; at < size;) {
        const size_t n = std::min<size_t>(data[at], size - at - 1);
        s.replies.emplace_back(reinterpret_cast<const char*>(data + at + 1), n);
        at += 1 + n;
    }
    return s;
}

int listener = -1;
bool have_libspnav = false;  // without it nothing talks to the daemon

// Serves one connection by the script; returns once the client has gone (or
// after a while, should it stay or never come).
void serve(const daemon_script& script) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    timeval wait{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    bool talking = true;
    for (size_t i = 0; i < script.replies.size() && talking; ++i) {
        char request[32];
        talking = ::recv(client, request, i == 0 ? 4 : 32, MSG_WAITALL) > 0 &&
                  ::send(client, script.replies[i].data(), script.replies[i].size(), MSG_NOSIGNAL) >= 0;
    }
    if (!script.closes) {
        char rest[64];
        while (::recv(client, rest, sizeof rest, 0) > 0) {
        }
    }
    ::close(client);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/zibrel-fuzz-spnav-XXXXXX";
    FUZZ_CHECK(::mkdtemp(dir) != nullptr);
    const std::string path = std::string(dir) + "/spnav.sock";
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    FUZZ_CHECK(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(::listen(listener, 4) == 0);
    have_libspnav = ::dlopen("libspnav.so.0", RTLD_NOW | RTLD_LOCAL) != nullptr;
    ::setenv("SPNAV_SOCKET", path.c_str(), 1);
    ::setenv("ZIBREL_DEVICE", "spacenavd", 1);
    ::unsetenv("ZIBREL_CONFIG");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!have_libspnav) return 0;
    const daemon_script script = read_script(data, size);
    std::thread daemon([&] { serve(script); });
    std::string info(1 << 16, '\0');
    const auto start = std::chrono::steady_clock::now();
    const size_t n = zbx_device_info(info.data(), info.size());
    const auto took = std::chrono::steady_clock::now() - start;
    daemon.join();
    // A connection and its device queries, each within the answer limit (500 ms).
    FUZZ_CHECK(took < std::chrono::seconds(3));
    FUZZ_CHECK(n > 0 && n < info.size());
    info.resize(n);
    FUZZ_CHECK(info.front() == '{' && info.back() == '}');
    FUZZ_CHECK(info.find("\"source\": \"spacenavd\"") != std::string::npos);
    for (const char c : info) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
    return 0;
}
