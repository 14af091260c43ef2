// Settings an application gives for the connection it opens next
// (zbx_application_settings): held per thread, so they reach exactly the
// ZbCreate that the same thread makes next with the same profile hint.
#pragma once

#include <string>
#include <string_view>

namespace zibrel::qorzibrel {

void give_application_settings(std::string_view profile, std::string text);
// The settings given for `profile` on this thread ("" for none); taking them withdraws them.
std::string take_application_settings(std::string_view profile);

}  // namespace zibrel::qorzibrel
