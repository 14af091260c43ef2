#include "interface/application_settings.h"

#include <utility>

namespace zibrel::qorzibrel {
namespace {

struct pending_settings {
    std::string profile, text;
};
thread_local pending_settings pending;

}  // namespace

void give_application_settings(std::string_view profile, std::string text) {
    pending = {std::string(profile), std::move(text)};
}

std::string take_application_settings(std::string_view profile) {
    if (pending.text.empty() || pending.profile != profile) return {};
    pending.profile.clear();
    return std::exchange(pending.text, {});
}

}  // namespace zibrel::qorzibrel
