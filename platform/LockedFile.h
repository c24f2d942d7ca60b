// Whole-file access for files that several threads and processes rewrite:
// a bounded read, an exclusive advisory lock on a side file, and an atomic
// replacement (temporary file, fsync, rename) so that a reader sees the old
// or the new content, never a torn one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace poshark::platform {

// Reads at most nMaxBytes of path into *pData; *pTruncated tells whether more
// was there. False when the file cannot be opened or read (errno kept); a
// folder is refused with EISDIR.
bool ReadFileBounded(const std::string& path, size_t nMaxBytes, std::string* pData,
                     bool* pTruncated);

// The file a write replaces: a symbolic link is followed, so that the link
// stays and its target receives the new content.
std::string WriteTarget(const std::string& path);

// Writes data to "<target>.tmp" with the given mode, syncs it and renames it
// over target. False (and target untouched, no temporary left) on failure.
bool ReplaceFile(const std::string& target, const std::string& data, mode_t mode);

// A lock wait without bound.
inline constexpr std::chrono::milliseconds kWaitForever{-1};

// Exclusive flock(2) on a lock file (created when missing, left in place),
// held for the object's lifetime. With a wait bound, the lock is given up
// after about that long, so that a stuck process elsewhere cannot hang the
// caller.
class FileLock {
 public:
  explicit FileLock(const std::string& path, std::chrono::milliseconds maxWait = kWaitForever);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace poshark::platform
