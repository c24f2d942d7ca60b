// One writer per journal: `poshark serve` holds an exclusive lock on a side
// file beside the journal (JOURNAL.lock) for as long as it writes, with its
// process id in it. A second service on the same journal is refused, naming
// the journal and the holder. Readers (`poshark search`, the page) take no
// lock; SQLite's own locking keeps their reads consistent.
//
// The lock is flock(2) on the side file, so it ends with the process
// however it ends, and a stale side file left behind locks nothing.
#pragma once

#include <string>

namespace poshark::tool {

class JournalLock {
 public:
  // Takes the lock of the journal at journal_path. Throws JournalError
  // naming the journal: held by another process (with its id when it wrote
  // one), or the side file cannot be opened (with the system's reason).
  explicit JournalLock(const std::string& journal_path);
  ~JournalLock();
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace poshark::tool
