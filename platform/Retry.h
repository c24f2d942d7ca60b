// The one place that retries a system call interrupted by a signal.
#pragma once

#include <cerrno>

namespace poshark::platform {

// Calls fn until it does not fail with EINTR; returns its last result.
// fn reports failure the POSIX way: a negative result with errno set.
template <class Fn>
auto RetryOnEintr(Fn&& fn) -> decltype(fn()) {
  for (;;) {
    auto result = fn();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

}  // namespace poshark::platform
