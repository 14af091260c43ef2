#include "base/detached_thread.h"

#include <exception>
#include <memory>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

namespace zibrel::qorzibrel {

#ifdef _WIN32
namespace {

DWORD WINAPI run_body(LPVOID body) {
    const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(body));
    try {
        (*owned)();
    } catch (...) {
        std::terminate();  // as an escaping exception does on a std::thread
    }
    return 0;
}

}  // namespace

// The system's own thread: the posix threads layer of the mingw-w64 toolchain
// sometimes loses a thread that is detached as soon as it is made (it never
// runs), which left library-timed frames and the test callers waiting forever.
void start_detached(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    const HANDLE thread = ::CreateThread(nullptr, 0, run_body, owned.get(), 0, nullptr);
    if (thread == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateThread");
    }
    owned.release();  // the thread owns it now
    ::CloseHandle(thread);
}
#else
void start_detached(std::function<void()> body) { std::thread(std::move(body)).detach(); }
#endif

}  // namespace zibrel::qorzibrel
