// Events over eventfd. The counter is the signal: a manual-reset event stays
// readable until Reset drains it; an auto-reset event is taken by the one
// waiter whose non-blocking read gets the counter first, so several Sets
// before a wait let exactly one wait through.
#include "platform/Event.h"

#include "platform/Retry.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace poshark::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until deadline, never negative; kInfinite stays.
int RemainingMs(bool bInfinite, SteadyClock::time_point deadline) {
  if (bInfinite) {
    return kInfinite;
  }
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// poll(2) with EINTR retried against the same deadline. Answers poll's
// result (0 on time-out, -1 on a real error).
int PollUntil(pollfd* pFds, nfds_t nCount, bool bInfinite, SteadyClock::time_point deadline) {
  return RetryOnEintr([&] { return ::poll(pFds, nCount, RemainingMs(bInfinite, deadline)); });
}

SteadyClock::time_point DeadlineFor(int nTimeoutMs) {
  return SteadyClock::now() + std::chrono::milliseconds(nTimeoutMs < 0 ? 0 : nTimeoutMs);
}

}  // namespace

Event::Event(Kind kind, bool bInitiallySet) : kind_(kind), bSignalled_(bInitiallySet) {
  fd_ = ::eventfd(bInitiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
}

Event::~Event() { ::close(fd_); }

void Event::Set() {
  nSetCount_.fetch_add(1, std::memory_order_release);
  if (bSignalled_.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  uint64_t nOne = 1;
  // EAGAIN only when the counter is near 2^64: the event is set anyway.
  RetryOnEintr([&] { return ::write(fd_, &nOne, sizeof nOne); });
}

void Event::Reset() {
  uint64_t nValue = 0;
  RetryOnEintr([&] { return ::read(fd_, &nValue, sizeof nValue); });
  bSignalled_.store(false, std::memory_order_release);
}

bool Event::TryConsume() {
  if (kind_ == kManualReset) {
    pollfd pfd{fd_, POLLIN, 0};
    if (PollUntil(&pfd, 1, false, SteadyClock::now()) == 1 && (pfd.revents & POLLIN)) {
      nSetCount_.load(std::memory_order_acquire);
      return true;
    }
    return false;
  }
  uint64_t nValue = 0;
  if (RetryOnEintr([&] { return ::read(fd_, &nValue, sizeof nValue); }) !=
      static_cast<ssize_t>(sizeof nValue)) {
    return false;
  }
  // Acquires what a Set merged into this signal published before it.
  bSignalled_.exchange(false, std::memory_order_acq_rel);
  nSetCount_.load(std::memory_order_acquire);
  return true;
}

bool Event::Wait(int nTimeoutMs) { return WaitForAny({this}, nTimeoutMs) == 0; }

int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs) {
  constexpr size_t kInline = 8;
  pollfd inlineFds[kInline];
  std::vector<pollfd> heapFds;
  pollfd* pFds = inlineFds;
  if (events.size() > kInline) {
    heapFds.resize(events.size());
    pFds = heapFds.data();
  }
  size_t i = 0;
  for (Event* pEvent : events) {
    // poll ignores negative descriptors, which is how null entries are skipped.
    pFds[i++] = pollfd{pEvent ? pEvent->fd() : -1, POLLIN, 0};
  }

  const bool bInfinite = nTimeoutMs < 0;
  const auto deadline = DeadlineFor(nTimeoutMs);
  for (;;) {
    for (size_t k = 0; k < events.size(); ++k) {
      pFds[k].revents = 0;
    }
    int nRc = PollUntil(pFds, events.size(), bInfinite, deadline);
    if (nRc < 0) {
      return kWaitTimeout;  // EFAULT/EINVAL/ENOMEM: nothing to wait on sensibly
    }
    if (nRc > 0) {
      size_t k = 0;
      for (Event* pEvent : events) {
        if (pEvent && (pFds[k].revents & POLLIN) && pEvent->TryConsume()) {
          return static_cast<int>(k);
        }
        ++k;
      }
      // Another waiter took an auto-reset signal first: wait on with the time left.
    }
    if (!bInfinite && SteadyClock::now() >= deadline) {
      return kWaitTimeout;
    }
  }
}

}  // namespace poshark::platform
