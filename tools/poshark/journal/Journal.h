// The transaction journal of `poshark serve`: every delivered line, grouped
// into receipts, in an SQLite file. The output loop hands lines over and
// never waits for the disk; one writer thread stores them and commits at
// most kCommitEvery after a line came, and prunes the oldest receipts
// beyond the configured limits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "journal/JournalLock.h"
#include "output/LineRecord.h"
#include "settings/JournalKeep.h"

namespace poshark::tool {

// Lines and bytes that may wait for the writer; a line that finds either
// full is not journaled (counted, and logged once per gap).
inline constexpr size_t kJournalQueueLines = 65536;
inline constexpr size_t kJournalQueueBytes = 64 * 1024 * 1024;
// A line is committed at most this long after the writer took it (a killed
// service loses at most the lines of the last 200 ms).
inline constexpr auto kCommitEvery = std::chrono::milliseconds(100);
// Lines the writer takes from the queue at a time, so that a commit is
// never held back by a long queue.
inline constexpr size_t kWriteChunk = 1024;
// Pruning steps: this often while nothing is beyond the limits, sooner
// while something is.
inline constexpr auto kPruneEvery = std::chrono::milliseconds(1000);
inline constexpr auto kPruneAgain = std::chrono::milliseconds(20);
// On close, what still waits is written for at most this long.
inline constexpr auto kCloseDrain = std::chrono::milliseconds(500);

class JournalStore;

// What the journal counts, for /metrics.
struct JournalStats {
  uint64_t commits = 0;        // transactions committed
  uint64_t commit_micros = 0;  // time spent in those commits, in microseconds
  uint64_t disk_errors = 0;    // writes or commits that failed (their lines are lost)
  uint64_t queued_lines = 0;   // lines waiting for the writer now
  uint64_t dropped = 0;        // lines not journaled because the queue was full
};

class Journal {
 public:
  // Locks the journal for this process (JournalLock), opens or creates it
  // and starts the writer. Throws JournalError naming the file when another
  // service holds it, or it cannot be opened or is refused.
  Journal(const std::string& path, Keep keep);
  // Writes what waits (for at most kCloseDrain), closes the open receipts,
  // commits.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Queues a line; never waits.
  void Add(LineRecord&& line);
  // Lines not journaled because the queue was full.
  uint64_t Dropped() const;
  // A forward's acknowledged position for one kind of message, stored with
  // the next commit (within kCommitEvery); a later call for the same pair
  // replaces one not yet stored. Never waits for the disk.
  void SetPosition(const std::string& forward, const std::string& kind, int64_t position);
  // Receipts that keep removed before the forward's broker acknowledged them.
  int64_t PrunedUnsent(const std::string& forward) const;
  // The counts so far; any thread.
  JournalStats Stats() const;
  // Calls `committed` on the writer thread after every commit (it must not
  // wait), until its number is given to UnwatchCommits, which returns once
  // no call is under way: what is committed is then read without waiting
  // for a poll.
  uint64_t WatchCommits(std::function<void()> committed);
  void UnwatchCommits(uint64_t watch);

 private:
  using Clock = std::chrono::steady_clock;
  void Run();
  void Loop();
  using Positions = std::map<std::pair<std::string, std::string>, int64_t>;
  bool Take(std::deque<LineRecord>& batch, Positions& positions, Clock::time_point until);
  void Prune(bool& in_transaction, Clock::time_point& commit_at, Clock::time_point& prune_at);
  void WriteBatch(std::deque<LineRecord>& batch, bool& in_transaction,
                  Clock::time_point& commit_at);

  JournalLock lock_;                     // first: held before the file is opened
  std::unique_ptr<JournalStore> store_;  // the writer thread's once it runs
  const std::string path_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<LineRecord> queue_;
  size_t queued_bytes_ = 0;
  bool closing_ = false;
  Clock::time_point close_by_{};
  uint64_t dropped_ = 0;
  uint64_t gap_ = 0;                              // lines dropped since the queue was last full
  Positions positions_;                           // by forward and kind, to be stored
  std::map<std::string, int64_t> pruned_unsent_;  // by forward
  bool failing_ = false;                          // writer thread only: the last write failed
  int64_t uncommitted_ = 0;    // writer thread only: lines written since the last commit
  int64_t lost_ = 0;           // writer thread only: lines lost since writes began to fail
  std::mutex watchers_mutex_;  // held while a watcher is called
  std::map<uint64_t, std::function<void()>> watchers_;  // guarded by watchers_mutex_
  uint64_t last_watcher_ = 0;                           // guarded by watchers_mutex_
  std::atomic<uint64_t> commits_{0};
  std::atomic<uint64_t> commit_micros_{0};
  std::atomic<uint64_t> disk_errors_{0};
  std::thread thread_;
};

}  // namespace poshark::tool
