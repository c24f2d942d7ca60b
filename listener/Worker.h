// Worker: one worker thread of a listener and its run flag.
//
// Contract: Start sets the run flag and starts the body on a thread named
// "pos<N>.<role>" (so that the threads of a listener can be told apart in
// /proc and in a debugger); an exception that escapes the body ends that
// worker only and is reported through the debug sink. A thread that cannot
// be created leaves the worker stopped. Stop sets the given stop event (the
// serial reader polls its flag instead), clears the run flag and joins.
//
// Threads: Start and Stop are called by the listener's lifecycle operations,
// which serialize them; the body polls bRun on its own thread. The members
// are public because the listener shows them to derived hosts under their
// own names (bWriteRun, hWriteThread, ...).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class Worker {
 public:
  Worker(int nPOSNo, const char* pszRole) : nPOSNo_(nPOSNo), role_(pszRole) {}
  ~Worker() = default;  // the owner stops it first
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // With pExit, that event is set as the body returns.
  void Start(std::function<void()> body, platform::Event* pExit = nullptr);
  // Nothing when not started.
  void Stop(platform::Event* pStop);
  bool Started() const { return thread.joinable(); }

  std::atomic<bool> bRun{false};
  std::thread thread;

 private:
  const int nPOSNo_;
  const std::string role_;
};

// A worker's event made at a listener's start: made when pEvent is null,
// else reset. False (pEvent null) when it cannot be made.
bool MakeOrResetEvent(std::unique_ptr<platform::Event>& pEvent, bool bAutoReset);

}  // namespace poshark::listener
