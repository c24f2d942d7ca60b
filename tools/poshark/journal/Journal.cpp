#include "journal/Journal.h"

#include <algorithm>

#include "base/Log.h"
#include "journal/JournalStore.h"

namespace poshark::tool {

namespace {

size_t SizeOf(const LineRecord& line) {
  size_t n = sizeof line + line.raw.size() + line.text.size() + line.channel.size();
  for (const auto& c : line.findings.captures) n += sizeof c + c.name.size() + c.data.size();
  for (const auto& a : line.findings.alarms) n += sizeof a + a.name.size() + a.data.size();
  for (const auto& r : line.findings.ranges) n += sizeof r + r.name.size();
  return n;
}

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Journal::Journal(const std::string& path, Keep keep)
    : lock_(path), store_(std::make_unique<JournalStore>(path, keep)), path_(path) {
  thread_ = std::thread([this] { Run(); });
}

Journal::~Journal() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    close_by_ = Clock::now() + kCloseDrain;
  }
  wake_.notify_all();
  thread_.join();
  if (dropped_ > 0) {
    Log(LogLevel::kWarning,
        "journal " + path_ + ": " + std::to_string(dropped_) + " lines in all were not journaled");
  }
}

void Journal::Add(LineRecord&& line) {
  const size_t size = SizeOf(line);
  uint64_t gap_ended = 0;
  bool gap_began = false;
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kJournalQueueLines || queued_bytes_ + size > kJournalQueueBytes) {
      gap_began = gap_++ == 0;
      ++dropped_;
    } else {
      gap_ended = gap_;
      gap_ = 0;
      queued_bytes_ += size;
      queue_.push_back(std::move(line));
      queued = true;
    }
  }
  if (queued) wake_.notify_one();
  if (gap_began) {
    Log(LogLevel::kWarning,
        "journal " + path_ + ": the writer is behind; lines are not journaled until it catches up");
  } else if (gap_ended > 0) {
    Log(LogLevel::kWarning, "journal " + path_ + ": writing again; " + std::to_string(gap_ended) +
                                " lines were not journaled");
  }
}

uint64_t Journal::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

uint64_t Journal::WatchCommits(std::function<void()> committed) {
  std::lock_guard lock(watchers_mutex_);
  watchers_.emplace(++last_watcher_, std::move(committed));
  return last_watcher_;
}

void Journal::UnwatchCommits(uint64_t watch) {
  std::lock_guard lock(watchers_mutex_);
  watchers_.erase(watch);
}

void Journal::SetPosition(const std::string& forward, const std::string& kind, int64_t position) {
  {
    std::lock_guard lock(mutex_);
    positions_[{forward, kind}] = position;
  }
  wake_.notify_one();
}

int64_t Journal::PrunedUnsent(const std::string& forward) const {
  std::lock_guard lock(mutex_);
  auto it = pruned_unsent_.find(forward);
  return it == pruned_unsent_.end() ? 0 : it->second;
}

JournalStats Journal::Stats() const {
  JournalStats stats;
  stats.commits = commits_;
  stats.commit_micros = commit_micros_;
  stats.disk_errors = disk_errors_;
  std::lock_guard lock(mutex_);
  stats.queued_lines = queue_.size();
  stats.dropped = dropped_;
  return stats;
}

void Journal::Run() {
  try {
    Loop();
  } catch (const std::exception& e) {
    Log(LogLevel::kError, std::string(e.what()) + "; journaling stopped");
  } catch (...) {
    Log(LogLevel::kError, "journal " + path_ + ": unknown failure; journaling stopped");
  }
}

// Waits for lines until `until`, takes up to kWriteChunk of them. False once
// the journal is closing and nothing is left to write.
bool Journal::Take(std::deque<LineRecord>& batch, Positions& positions, Clock::time_point until) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, until, [&] { return !queue_.empty() || !positions_.empty() || closing_; });
  positions.swap(positions_);
  if (closing_ && Clock::now() > close_by_ && !queue_.empty()) {
    dropped_ += queue_.size();
    queue_.clear();
    queued_bytes_ = 0;
  }
  while (!queue_.empty() && batch.size() < kWriteChunk) {
    queued_bytes_ -= SizeOf(queue_.front());
    batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return !(closing_ && queue_.empty());
}

void Journal::WriteBatch(std::deque<LineRecord>& batch, bool& in_transaction,
                         Clock::time_point& commit_at) {
  uncommitted_ += static_cast<int64_t>(batch.size());
  if (!in_transaction) {
    store_->Begin();
    in_transaction = true;
    commit_at = Clock::now() + kCommitEvery;
  }
  for (const auto& line : batch) store_->Write(line);
  batch.clear();
}

// One pruning step; a receipt removed before a forward sent it is logged.
void Journal::Prune(bool& in_transaction, Clock::time_point& commit_at,
                    Clock::time_point& prune_at) {
  const auto now = Clock::now();
  prune_at = now + kPruneEvery;  // also after a failed step
  std::deque<LineRecord> none;
  WriteBatch(none, in_transaction, commit_at);
  const auto before = store_->PrunedUnsent();
  if (store_->PruneStep(WallMs()) == kPruneReceipts) prune_at = now + kPruneAgain;
  if (store_->PrunedUnsent() == before) return;
  for (const auto& [forward, count] : store_->PrunedUnsent()) {
    auto was = before.find(forward);
    const int64_t now_count = count - (was == before.end() ? 0 : was->second);
    if (now_count == 0) continue;
    Log(LogLevel::kWarning, "journal " + path_ + ": keep removed " + std::to_string(now_count) +
                                " receipts that forward " + forward + " had not sent (" +
                                std::to_string(count) + " in all)");
  }
  std::lock_guard lock(mutex_);
  pruned_unsent_ = store_->PrunedUnsent();
}

void Journal::Loop() {
  std::deque<LineRecord> batch;
  Positions positions;
  bool in_transaction = false;
  auto commit_at = Clock::now();
  auto prune_at = Clock::now();
  for (bool more = true; more;) {
    more = Take(batch, positions, in_transaction ? std::min(commit_at, prune_at) : prune_at);
    try {
      if (!batch.empty() || !positions.empty()) WriteBatch(batch, in_transaction, commit_at);
      for (const auto& [key, position] : positions)
        store_->SavePosition(key.first, key.second, position);
      positions.clear();
      const auto now = Clock::now();
      if (now >= prune_at && more) Prune(in_transaction, commit_at, prune_at);
      if (!more) store_->CloseAll();
      if (in_transaction && (now >= commit_at || !more)) {
        in_transaction = false;
        const auto began = Clock::now();
        store_->Commit();
        commit_micros_ += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count());
        ++commits_;
        uncommitted_ = 0;
        {
          std::lock_guard watching(watchers_mutex_);
          for (const auto& [watch, committed] : watchers_) committed();
        }
        if (failing_) {
          Log(LogLevel::kInfo, "journal " + path_ + ": writing again; " + std::to_string(lost_) +
                                   " lines were lost");
        }
        failing_ = false;
        lost_ = 0;
      }
    } catch (const JournalError& e) {
      // The lines of the failed transaction are lost; the next ones are tried.
      ++disk_errors_;
      batch.clear();
      positions.clear();  // stored again with the forward's next acknowledgement
      in_transaction = false;
      store_->Rollback();
      lost_ += uncommitted_;
      if (!failing_) {
        Log(LogLevel::kError, std::string(e.what()) + "; " + std::to_string(uncommitted_) +
                                  " lines lost (and the next ones until it writes again)");
      }
      uncommitted_ = 0;
      failing_ = true;
    }
  }
  if (failing_)
    Log(LogLevel::kError, "journal " + path_ + ": " + std::to_string(lost_) + " lines lost");
}

}  // namespace poshark::tool
