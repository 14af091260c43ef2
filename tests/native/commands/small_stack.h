// Runs a piece of work on a thread with a deliberately small stack, so that
// work whose stack use grows with its input crashes instead of passing.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <system_error>

namespace zibrel_test {

inline constexpr std::size_t small_stack_size = 64 * 1024;

// The work must not throw: nothing on that thread could catch it.
inline void RunOnSmallStack(const std::function<void()>& work, std::size_t stackSize = small_stack_size) {
    pthread_attr_t attributes;
    if (int error = pthread_attr_init(&attributes); error != 0) throw std::system_error(error, std::generic_category());
    int error = pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread{};
    if (error == 0) {
        auto entry = [](void* argument) -> void* {
            (*static_cast<const std::function<void()>*>(argument))();
            return nullptr;
        };
        error = pthread_create(&thread, &attributes, entry, const_cast<std::function<void()>*>(&work));
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category(), "small-stack thread");
    pthread_join(thread, nullptr);
}

}  // namespace zibrel_test
