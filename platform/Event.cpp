// Events over futexes. The atomic flag is the signal; a thread that waits
// joins the list of each event it waits on and sleeps on its own futex
// word, which a Set of any of them raises and wakes.
//
// No wake-up is lost: a waiter joins (raising the count under the lock)
// before it looks at the flags, and a setter raises its flag before it
// looks at the count, all sequentially consistent, so one of the two sees
// the other. A waiter clears its word before each look and sleeps only
// while the word is still clear.
#include "platform/Event.h"

#include "platform/Retry.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace poshark::platform {

struct Event::Waiter {
  std::atomic<uint32_t> nWord{0};
};

namespace {

using SteadyClock = std::chrono::steady_clock;

// Waiters of one event woken after its lock is released; more are woken
// under it.
constexpr int kWakeAfterUnlock = 8;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

uint32_t* FutexAddress(std::atomic<uint32_t>* pWord) { return reinterpret_cast<uint32_t*>(pWord); }

void FutexWake(std::atomic<uint32_t>* pWord) {
  ::syscall(SYS_futex, FutexAddress(pWord), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps while *pWord is 0, at most until deadline (none when bInfinite).
// Returns early on a wake-up, a signal or a word already raised; the caller
// looks again in every case.
void FutexWait(std::atomic<uint32_t>* pWord, bool bInfinite, SteadyClock::time_point deadline) {
  timespec left{};
  if (!bInfinite) {
    auto nNs = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now());
    if (nNs.count() <= 0) {
      return;
    }
    left.tv_sec = static_cast<time_t>(nNs.count() / 1000000000);
    left.tv_nsec = static_cast<long>(nNs.count() % 1000000000);
  }
  ::syscall(SYS_futex, FutexAddress(pWord), FUTEX_WAIT_PRIVATE, 0, bInfinite ? nullptr : &left,
            nullptr, 0);
}

void DrainEventFd(int fd) {
  uint64_t nValue = 0;
  RetryOnEintr([&] { return ::read(fd, &nValue, sizeof nValue); });
}

// The first event in the list that is set, taken; or kWaitTimeout.
int TakeFirstSet(std::initializer_list<Event*> events) {
  int k = 0;
  for (Event* pEvent : events) {
    if (pEvent && pEvent->TryConsume()) {
      return k;
    }
    ++k;
  }
  return kWaitTimeout;
}

}  // namespace

Event::Event(Kind kind, bool bInitiallySet, Poll poll) : kind_(kind), bSignalled_(bInitiallySet) {
  if (poll == Poll::kNo) {
    return;
  }
  if (kind != kManualReset) {
    throw std::invalid_argument("a pollable event is manual-reset");
  }
  fd_ = ::eventfd(bInitiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
}

Event::~Event() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void Event::Set() {
  if (fd_ >= 0 ? !SetPollable() : bSignalled_.exchange(true)) {
    return;  // set already: its waiters were woken then
  }
  if (nWaiters_.load() > 0) {
    WakeWaiters();
  }
}

// The flag and the eventfd change together, under the lock.
bool Event::SetPollable() {
  MutexLock guard(lock_);
  if (bSignalled_.load()) {
    return false;
  }
  bSignalled_.store(true);
  uint64_t nOne = 1;
  // EAGAIN only when the counter is near 2^64: readable anyway.
  RetryOnEintr([&] { return ::write(fd_, &nOne, sizeof nOne); });
  return true;
}

// The words are raised under the lock, while their waiters are still in
// the list; the wake-ups come after it, so that a woken waiter does not
// find the lock taken when it leaves. By then a waiter may have left and
// its word's memory serve another wait: a wake-up there is spurious, which
// every futex wait allows for (each one here looks again after waking).
void Event::WakeWaiters() {
  std::atomic<uint32_t>* apWords[kWakeAfterUnlock];
  int nWords = 0;
  {
    MutexLock guard(lock_);
    for (WaitLink* pLink = pFirst_; pLink; pLink = pLink->pNext) {
      std::atomic<uint32_t>* pWord = &pLink->pWaiter->nWord;
      pWord->store(1);
      if (nWords < kWakeAfterUnlock) {
        apWords[nWords++] = pWord;
      } else {
        FutexWake(pWord);
      }
    }
  }
  for (int i = 0; i < nWords; ++i) {
    FutexWake(apWords[i]);
  }
}

void Event::Reset() {
  if (fd_ < 0) {
    bSignalled_.store(false);
    return;
  }
  MutexLock guard(lock_);
  DrainEventFd(fd_);
  bSignalled_.store(false);
}

bool Event::TryConsume() {
  if (kind_ == kManualReset) {
    return bSignalled_.load();
  }
  bool bSet = true;
  return bSignalled_.load() && bSignalled_.compare_exchange_strong(bSet, false);
}

void Event::Join(WaitLink* pLink) {
  MutexLock guard(lock_);
  pLink->pPrev = nullptr;
  pLink->pNext = pFirst_;
  if (pFirst_) {
    pFirst_->pPrev = pLink;
  }
  pFirst_ = pLink;
  nWaiters_.fetch_add(1);
}

void Event::Leave(WaitLink* pLink) {
  MutexLock guard(lock_);
  (pLink->pPrev ? pLink->pPrev->pNext : pFirst_) = pLink->pNext;
  if (pLink->pNext) {
    pLink->pNext->pPrev = pLink->pPrev;
  }
  nWaiters_.fetch_sub(1);
}

bool Event::Wait(int nTimeoutMs) { return WaitForAny({this}, nTimeoutMs) == 0; }

int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs) {
  int nIndex = TakeFirstSet(events);
  if (nIndex != kWaitTimeout || nTimeoutMs == 0) {
    return nIndex;
  }
  const bool bInfinite = nTimeoutMs < 0;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(bInfinite ? 0 : nTimeoutMs);

  constexpr size_t kInline = 8;
  Event::WaitLink inlineLinks[kInline];
  std::vector<Event::WaitLink> heapLinks;
  Event::WaitLink* pLinks = inlineLinks;
  if (events.size() > kInline) {
    heapLinks.resize(events.size());
    pLinks = heapLinks.data();
  }
  Event::Waiter waiter;
  size_t k = 0;
  for (Event* pEvent : events) {
    pLinks[k].pWaiter = &waiter;
    if (pEvent) {
      pEvent->Join(&pLinks[k]);
    }
    ++k;
  }
  for (;;) {
    waiter.nWord.store(0);
    nIndex = TakeFirstSet(events);
    if (nIndex != kWaitTimeout || (!bInfinite && SteadyClock::now() >= deadline)) {
      break;
    }
    FutexWait(&waiter.nWord, bInfinite, deadline);
  }
  k = 0;
  for (Event* pEvent : events) {
    if (pEvent) {
      pEvent->Leave(&pLinks[k]);
    }
    ++k;
  }
  return nIndex;
}

}  // namespace poshark::platform
