#include "LineSink.h"

namespace poshark::tool {

void LineSink::Push(DeliveredLine&& line, const std::atomic<bool>& stopping) {
  std::unique_lock lock(mutex_);
  space_.wait(lock, [&] { return closing_ || stopping || lines_.size() < kMaxWaitingLines; });
  lines_.push_back(std::move(line));
  backlog_ = lines_.size();
  items_.notify_one();
}

bool LineSink::PopAll(std::deque<DeliveredLine>& out, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!items_.wait_for(lock, timeout, [&] { return !lines_.empty() || woken_; })) return false;
  // A wake that comes with lines stays due: the caller looks at why it was
  // woken once it has taken them.
  if (lines_.empty()) {
    woken_ = false;
    return false;
  }
  out.swap(lines_);
  backlog_ = 0;
  space_.notify_all();
  return true;
}

void LineSink::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  items_.notify_all();
}

void LineSink::WakeWriters() {
  std::lock_guard lock(mutex_);
  space_.notify_all();
}

void LineSink::Close() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  space_.notify_all();
}

}  // namespace poshark::tool
