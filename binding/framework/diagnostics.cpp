#include "framework/diagnostics.h"

namespace zibrel {

std::mutex& diagnostic_mutex() {
    static std::mutex* instance = new std::mutex;
    return *instance;
}

}  // namespace zibrel
