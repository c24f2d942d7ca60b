// The sources of a channel's bytes. Each runs on threads of its own and
// hands what it reads to Channel::Give; Stop ends those threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "settings/ChannelSettings.h"

namespace poshark::tool {

class Channel;

// A request to stop that the sleeping thread of a source waits on.
class StopSignal {
 public:
  void Request() {
    {
      std::lock_guard lock(mutex_);
      requested_ = true;
    }
    wake_.notify_all();
  }
  bool Requested() {
    std::lock_guard lock(mutex_);
    return requested_;
  }
  // Sleeps until the time comes or a stop is requested; true for a stop.
  bool WaitUntil(std::chrono::steady_clock::time_point when) {
    std::unique_lock lock(mutex_);
    return wake_.wait_until(lock, when, [&] { return requested_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
};

class Source {
 public:
  virtual ~Source() = default;
  // Opens what can fail (file, socket, port) and starts the source's
  // threads. False with a message naming the file, address or port.
  virtual bool Start(std::string& error) = 0;
  // Ends the threads; bytes already given stay with the listener.
  virtual void Stop() = 0;
  virtual std::string Where() const = 0;
  // The input is exhausted (feed only).
  virtual bool Done() const { return false; }
  virtual std::string Error() const { return ""; }
};

std::unique_ptr<Source> MakeFeedSource(Channel& channel);
std::unique_ptr<Source> MakeNetSource(Channel& channel);  // tcp and tap
std::unique_ptr<Source> MakeSerialSource(Channel& channel);

}  // namespace poshark::tool
