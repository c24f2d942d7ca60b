#include "output/LineSink.h"

namespace poshark::tool {

DeliveredLine& LineBatch::Add() {
  if (count_ == slots_.size()) slots_.emplace_back();
  return slots_[count_++];
}

void LineBatch::clear() {
  // A slot keeps its reader: the next line of the same channel then costs
  // no count of references, which the writer and the output thread would
  // otherwise pass between them for every line.
  for (size_t i = 0; i < count_; ++i) {
    DeliveredLine& line = slots_[i];
    if (line.text.capacity() > kKeptTextRoom) std::string().swap(line.text);
    if (line.extra.capacity() > kKeptTextRoom) std::string().swap(line.extra);
  }
  if (slots_.size() > kKeptSlots) slots_.resize(kKeptSlots);
  count_ = 0;
}

void LineBatch::swap(LineBatch& other) noexcept {
  slots_.swap(other.slots_);
  std::swap(count_, other.count_);
}

bool LineSink::PopAll(LineBatch& out, std::chrono::milliseconds timeout) {
  out.clear();
  std::unique_lock lock(mutex_);
  if (!items_.wait_for(lock, timeout, [&] { return !lines_.empty() || woken_; })) return false;
  if (!woken_ && lines_.size() < kWakeBatch) {
    items_.wait_for(lock, kGatherTime, [&] { return lines_.size() >= kWakeBatch || woken_; });
  }
  // A wake that comes with lines stays due: the caller looks at why it was
  // woken once it has taken them.
  if (lines_.empty()) {
    woken_ = false;
    return false;
  }
  out.swap(lines_);
  backlog_.store(0, std::memory_order_relaxed);
  lock.unlock();
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
