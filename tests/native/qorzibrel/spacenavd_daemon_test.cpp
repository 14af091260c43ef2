// Device information from daemons on SPNAV_SOCKET that begin to answer and
// fall silent, or close: libspnav would wait (or loop) for ever on each, so
// the library must end the exchange itself, and in time.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "zibrel_extras.h"

namespace navtest {
namespace {

// What the daemon sends: after the 4-byte version request the first reply,
// after each 32-byte request the next; then it holds the connection without a
// word more, or closes it.
struct daemon_case {
    const char* name;
    std::vector<std::string> replies;
    bool closes;
};

std::string le32(int32_t v) {
    std::string out(4, '\0');
    std::memcpy(out.data(), &v, 4);
    return out;
}

class silent_daemon {
public:
    silent_daemon(const std::string& path, daemon_case c) : case_(std::move(c)) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 16), 0);
        thread_ = std::thread([this] { serve(); });
    }

    ~silent_daemon() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
        for (int c : held_) ::close(c);
    }

    int accepts() const { return accepts_.load(); }

private:
    void serve() {
        while (!stop_) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++accepts_;
            timeval wait{2, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            bool answered = true;
            for (size_t i = 0; i < case_.replies.size() && answered; ++i) {
                char request[32];
                answered = ::recv(client, request, i == 0 ? 4 : 32, MSG_WAITALL) > 0 &&
                           ::send(client, case_.replies[i].data(), case_.replies[i].size(), MSG_NOSIGNAL) >= 0;
            }
            if (case_.closes || !answered) ::close(client);
            else held_.push_back(client);  // only this thread touches it until the destructor joins
        }
    }

    daemon_case case_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepts_{0};
    std::vector<int> held_;
};

std::string device_info() {
    std::string text(1 << 16, '\0');
    const size_t n = zbx_device_info(text.data(), text.size());
    text.resize(std::min(n, text.size() - 1));
    return text;
}

class SilentDaemonTest : public testing::TestWithParam<daemon_case> {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("zibrel-silent-" + std::to_string(::getpid()) + "-" + GetParam().name);
        std::filesystem::create_directories(dir_);
        socket_ = (dir_ / "spnav.sock").string();
        ::setenv("SPNAV_SOCKET", socket_.c_str(), 1);
        ::setenv("ZIBREL_DEVICE", "spacenavd", 1);
        ::unsetenv("ZIBREL_CONFIG");
    }
    void TearDown() override {
        ::setenv("ZIBREL_DEVICE", "none", 1);
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;
    std::string socket_;
};

TEST_P(SilentDaemonTest, DeviceInformationSaysItDoesNotAnswerAndComesInTime) {
    const silent_daemon daemon(socket_, GetParam());
    for (int round = 0; round < 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const std::string info = device_info();
        const auto took = std::chrono::steady_clock::now() - start;
        if (info.find("cannot be loaded") != std::string::npos) GTEST_SKIP() << "libspnav0 is not installed";
        EXPECT_LT(took, std::chrono::seconds(3)) << info;
        EXPECT_NE(info.find("\"problem\": \"spacenavd at " + socket_ + " does not answer: "), std::string::npos)
            << info;
        EXPECT_NE(info.find("\"available\": false"), std::string::npos) << info;
    }
    EXPECT_EQ(daemon.accepts(), 2);
}

const daemon_case silent_daemons[] = {
    {"one_byte_of_the_version", {std::string(1, '\x01')}, false},
    {"part_of_a_device_query_reply", {le32(1), std::string(8, '\0')}, false},
    {"closes_before_the_device_queries", {le32(1)}, true},
};

INSTANTIATE_TEST_SUITE_P(Daemons, SilentDaemonTest, testing::ValuesIn(silent_daemons),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace navtest
