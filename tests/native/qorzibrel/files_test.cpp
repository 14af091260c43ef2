// The library's own files: read whole when they are regular files within
// their limit, refused unread otherwise; and its diagnostic lines, which stay
// one line whatever a file put into them.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/bounded_file.h"
#include "base/report.h"

namespace navtest {
namespace {

using zibrel::qorzibrel::read_bounded_file;

class BoundedFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "bounded_file_" + std::to_string(::getpid());
        ::mkdir(dir_.c_str(), 0700);
    }
    void TearDown() override {
        for (const auto& p : made_) std::remove(p.c_str());
        if (socket_ >= 0) ::close(socket_);
        ::rmdir(dir_.c_str());
    }
    std::string path(const char* name) {
        made_.push_back(dir_ + "/" + name);
        return made_.back();
    }
    std::string file(const char* name, const std::string& content) {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string fifo() {
        const std::string p = path("fifo");
        EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
        return p;
    }
    std::string listening_socket() {
        const std::string p = path("socket");
        socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        p.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(socket_, 1), 0);
        return p;
    }

    std::string dir_;
    std::vector<std::string> made_;
    int socket_ = -1;
};

TEST_F(BoundedFileTest, OnlyRegularFilesWithinTheLimitAreRead) {
    struct case_t {
        const char* what;
        std::function<std::string()> make;
        std::optional<std::string> content;  // read, or refused with `why`
        std::string why;
    };
    const std::string nul_inside("a\0b", 3);
    const std::vector<case_t> cases{
        {"small file", [&] { return file("small", "abc\n"); }, "abc\n", ""},
        {"empty file", [&] { return file("empty", ""); }, "", ""},
        {"NUL bytes are content", [&] { return file("nul", nul_inside); }, nul_inside, ""},
        {"exactly the limit", [&] { return file("at", std::string(16, 'x')); }, std::string(16, 'x'), ""},
        {"one byte over the limit", [&] { return file("over", std::string(17, 'x')); }, std::nullopt,
         "is larger than 16 bytes"},
        {"directory", [&] { return dir_; }, std::nullopt, "is not a regular file (a directory)"},
        {"FIFO nobody writes", [&] { return fifo(); }, std::nullopt, "is not a regular file (a FIFO)"},
        {"/dev/zero", [] { return std::string("/dev/zero"); }, std::nullopt,
         "is not a regular file (a character device)"},
        {"socket", [&] { return listening_socket(); }, std::nullopt, "is not a regular file (a socket)"},
        {"missing", [&] { return dir_ + "/missing"; }, std::nullopt, "cannot be read (No such file or directory)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string why;
        const auto content = read_bounded_file(c.make(), 16, why);
        EXPECT_EQ(content, c.content);
        EXPECT_EQ(why, c.why);
    }
}

TEST(ReportTest, ALineStaysOneLineWhateverItHolds) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"plain", "zibrel: plain\n"},
        {std::string("cut\0here", 8), "zibrel: cut\\x00here\n"},
        {"two\nlines\r", "zibrel: two\\x0alines\\x0d\n"},
        {"tab\tand \x7f", "zibrel: tab\\x09and \\x7f\n"},
        {"caf\xc3\xa9", "zibrel: caf\xc3\xa9\n"},  // UTF-8 goes through
    };
    for (const auto& [line, shown] : cases) {
        testing::internal::CaptureStderr();
        zibrel::qorzibrel::report(line);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), shown);
    }
}

}  // namespace
}  // namespace navtest
