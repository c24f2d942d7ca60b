// Lines handed over by the listeners' writer threads to the one thread that
// writes the output.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <memory>
#include <string>

#include <poshark/KeyRecords.h>

namespace poshark::tool {

class LineReader;

// One line as the listener's callback delivered it.
struct DeliveredLine {
  std::string text;  // bytes of the configured code page
  SYSTEMTIME time{};
  bool dst = false;
  int pos = 0;
  int event = -1;
  std::string extra;                   // preprocess plug-in's block, "" when none
  std::shared_ptr<LineReader> reader;  // the channel's, as it was when the line came
};

// Lines waiting for the output thread. A writer thread blocks while this many
// are waiting (it must not lose them); an output that keeps up never lets
// them pile up this far.
inline constexpr size_t kMaxWaitingLines = 100000;
// Lines a woken output thread lets gather before it takes them, and how
// long it waits for them at most: waking it for every line of a busy
// channel would cost two system calls per line.
inline constexpr size_t kWakeBatch = 256;
inline constexpr auto kGatherTime = std::chrono::milliseconds(1);
// Slots an emptied batch keeps, and the text room a kept slot may hold on to:
// a fast feed's batches reach ten thousand lines, and a slot not kept costs an
// allocation on the writer's thread and a free on the output thread per line.
inline constexpr size_t kKeptSlots = 16384;
inline constexpr size_t kKeptTextRoom = 1024;

// Lines taken together. Emptying a batch keeps its slots and their texts'
// room, so that lines going back and forth between the writers and the
// output thread allocate nothing once texts of their length have passed.
class LineBatch {
 public:
  // The next slot; its fields still hold an earlier line's values.
  DeliveredLine& Add();
  DeliveredLine* begin() { return slots_.data(); }
  DeliveredLine* end() { return slots_.data() + count_; }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Lets go of room beyond the kept bounds.
  void clear();
  void swap(LineBatch& other) noexcept;

 private:
  std::vector<DeliveredLine> slots_;
  size_t count_ = 0;
};

class LineSink {
 public:
  // Fills the next waiting line with fill(DeliveredLine&). Blocks while the
  // sink is full, unless the sink is closed or the line's channel is
  // stopping (its writer must be able to finish).
  template <typename Fill>
  void Push(const std::atomic<bool>& stopping, Fill&& fill) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return closing_ || stopping || lines_.size() < kMaxWaitingLines; });
    fill(lines_.Add());
    backlog_.store(lines_.size(), std::memory_order_relaxed);
    const bool wake = lines_.size() == 1 || lines_.size() == kWakeBatch;
    // Woken after the unlock: a thread woken under the lock would only
    // block again on it, and its owner would then have to wake it twice.
    lock.unlock();
    if (wake) items_.notify_one();
  }

  // Empties out, then takes every waiting line into it; false when none
  // arrived within the timeout or Wake was called. Fewer than kWakeBatch
  // lines are given up to kGatherTime for more to come, also without a
  // timeout: an output thread that took a few lines at a time would contend
  // with the writers for the lock at nearly every line.
  bool PopAll(LineBatch& out, std::chrono::milliseconds timeout);

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
  LineBatch lines_;
  bool closing_ = false;
  bool woken_ = false;
  std::atomic<size_t> backlog_{0};
};

}  // namespace poshark::tool
