// Events with Win32 semantics: manual-reset events stay set until Reset,
// auto-reset events let exactly one wait through and clear themselves.
// Each event is an eventfd, so a waiter can poll a device and its events at
// once (the serial reader waits on its port and its break event).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace poshark::platform {

inline constexpr int kInfinite = -1;
inline constexpr int kWaitTimeout = -1;

class Event {
 public:
  enum Kind { kManualReset, kAutoReset };
  // Throws std::system_error when no eventfd can be had (descriptor limit).
  explicit Event(Kind kind, bool bInitiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until the event is set or nTimeoutMs pass (kInfinite: no limit).
  // True when signalled; an auto-reset event is consumed.
  bool Wait(int nTimeoutMs = kInfinite);
  bool IsManualReset() const { return kind_ == kManualReset; }
  // Readable while the event is set. For poll(2) only; use TryConsume to take it.
  int fd() const { return fd_; }
  // Takes the signal if the event is set now: true when taken (manual-reset
  // events stay set). Used after poll reported fd() readable.
  bool TryConsume();

 private:
  Kind kind_;
  int fd_;
  // Bumped (release) by Set and read (acquire) by every successful wait, so
  // what the setter wrote before Set is visible to the woken thread also in
  // the language's memory model (and to ThreadSanitizer, which does not see
  // a poll as synchronisation).
  std::atomic<uint64_t> nSetCount_{0};
  // True from a Set until the signal is taken (auto-reset) or reset, so that
  // a Set on an event already set costs no system call. Cleared only after
  // the counter was drained: a Set that finds it still true merges into the
  // signal being taken, whose waiter has not returned yet.
  std::atomic<bool> bSignalled_;
};

// Waits until one of the events is set or nTimeoutMs pass. Answers the index
// of the signalled event (the lowest index when several are set; an
// auto-reset event is consumed), or kWaitTimeout. Null entries are skipped.
// Interrupted polls are resumed with the time left; a signal taken by another
// waiter first does not end the wait early.
int WaitForAny(std::initializer_list<Event*> events, int nTimeoutMs);

}  // namespace poshark::platform
