// Lines handed over by the listeners' writer threads to the one thread that
// writes the output.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "Output.h"

namespace poshark::tool {

// Lines waiting for the output thread. A writer thread blocks while this many
// are waiting (it must not lose them); an output that keeps up never lets
// them pile up this far.
inline constexpr size_t kMaxWaitingLines = 100000;

class LineSink {
 public:
  // Blocks while the sink is full, unless the sink is closed or the line's
  // channel is stopping (its writer must be able to finish).
  void Push(DeliveredLine&& line, const std::atomic<bool>& stopping);

  // Takes every waiting line; false when none arrived within the timeout or
  // Wake was called.
  bool PopAll(std::deque<DeliveredLine>& out, std::chrono::milliseconds timeout);

  size_t Backlog() const { return backlog_; }

  // Wakes a waiting PopAll (signal, end of input, channel event).
  void Wake();
  // Lets blocked Push calls look again at their channel's stopping flag.
  void WakeWriters();
  // From now on Push never blocks.
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable items_;
  std::condition_variable space_;
  std::deque<DeliveredLine> lines_;
  bool closing_ = false;
  bool woken_ = false;
  std::atomic<size_t> backlog_{0};
};

}  // namespace poshark::tool
