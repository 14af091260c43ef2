// The input signal: one eventfd, readable while any connection has device
// input that no frame has consumed yet, so an idle application can wait on it.
#pragma once

#include <functional>

namespace zibrel::qorzibrel {

// Input arrived for `owner` (an engine); call after the input is queued.
void input_arrived(const void* owner);
// A frame of `owner` consumed input: `still_waiting` (called under the signal's
// lock, after any input_arrived that raced with it) says whether some is left.
void input_consumed(const void* owner, const std::function<bool()>& still_waiting);
// `owner` goes away: its input no longer counts.
void input_forget(const void* owner);
// The descriptor, made on first use; -1 when the system gives none.
int input_signal_fd();

}  // namespace zibrel::qorzibrel
