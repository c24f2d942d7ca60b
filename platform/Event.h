// Events with Win32 semantics: manual-reset events stay set until Reset,
// auto-reset events let exactly one wait through and clear themselves.
//
// A waiting thread sleeps on a futex of its own, and every event it waits
// on wakes it: a wake-up costs one system call on each side, and an event
// costs no descriptor. An event made pollable also keeps an eventfd that is
// readable while it is set, so that a thread can poll a device and the
// event at once (the serial reader waits on its port and its break event).
//
// Locking: the signal is an atomic; the list of waiting threads has the
// event's own lock, which Set takes only when a thread waits (a pollable
// event's Set and Reset take it always, to change the eventfd with the flag).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "platform/ThreadAnnotations.h"

namespace poshark::platform {

inline constexpr int kInfinite = -1;
inline constexpr int kWaitTimeout = -1;

class Event;
int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs);

class Event {
 public:
  enum Kind { kManualReset, kAutoReset };
  enum class Poll { kNo, kYes };
  // A pollable event is manual-reset; it throws std::system_error when no
  // eventfd can be had (descriptor limit), std::invalid_argument when
  // asked to reset itself.
  explicit Event(Kind kind, bool bInitiallySet = false, Poll poll = Poll::kNo);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until the event is set or nTimeoutMs pass (kInfinite: no limit).
  // True when signalled; an auto-reset event is consumed.
  bool Wait(int nTimeoutMs = kInfinite);
  bool IsManualReset() const { return kind_ == kManualReset; }
  // A pollable event's eventfd, readable while the event is set; -1 for
  // the others. For poll(2) only: TryConsume tells whether it is set.
  int fd() const { return fd_; }
  // Takes the signal if the event is set now: true when taken (manual-reset
  // events stay set).
  bool TryConsume();

 private:
  friend int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs);
  // A thread in WaitForAny, and its place in one event's list of them.
  struct Waiter;
  struct WaitLink {
    Waiter* pWaiter = nullptr;
    WaitLink* pPrev = nullptr;
    WaitLink* pNext = nullptr;
  };
  void Join(WaitLink* pLink);
  void Leave(WaitLink* pLink);
  bool SetPollable();
  void WakeWaiters();

  const Kind kind_;
  int fd_ = -1;
  std::atomic<bool> bSignalled_;
  std::atomic<int> nWaiters_{0};
  Mutex lock_;
  WaitLink* pFirst_ GUARDED_BY(lock_) = nullptr;
};

// Waits until one of the events is set or nTimeoutMs pass. Answers the index
// of the signalled event (the lowest index when several are set; an
// auto-reset event is consumed), or kWaitTimeout. Null entries are skipped.
// A signal taken by another waiter first does not end the wait early.
int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs);

}  // namespace poshark::platform
