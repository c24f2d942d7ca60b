#include "platform/LockedFile.h"

#include "platform/Retry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>

namespace poshark::platform {
namespace {

constexpr size_t kReadChunk = 65536;
// How often a bounded lock wait tries again.
constexpr auto kLockRetryInterval = std::chrono::milliseconds(10);

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = RetryOnEintr([&] { return ::write(fd, data.data() + done, data.size() - done); });
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int OpenLockFile(const std::string& path) {
  return RetryOnEintr([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); });
}

}  // namespace

bool ReadFileBounded(const std::string& path, size_t nMaxBytes, std::string* pData,
                     bool* pTruncated) {
  pData->clear();
  *pTruncated = false;
  int fd = RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  std::string buf(kReadChunk, '\0');
  bool ok = true;
  for (;;) {
    ssize_t n = RetryOnEintr([&] { return ::read(fd, buf.data(), buf.size()); });
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    size_t room = nMaxBytes - pData->size();
    if (static_cast<size_t>(n) > room) {
      pData->append(buf, 0, room);
      *pTruncated = true;
      break;
    }
    pData->append(buf, 0, static_cast<size_t>(n));
  }
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

bool ReplaceFile(const std::string& target, const std::string& data, mode_t mode) {
  std::string tmp = target + ".tmp";
  int fd = RetryOnEintr(
      [&] { return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode); });
  if (fd < 0) return false;
  ::fchmod(fd, mode);
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

FileLock::FileLock(const std::string& path, std::chrono::milliseconds maxWait)
    : fd_(OpenLockFile(path)) {
  if (fd_ < 0) return;
  const bool bBounded = maxWait.count() >= 0;
  const int nOp = bBounded ? LOCK_EX | LOCK_NB : LOCK_EX;
  const auto deadline = std::chrono::steady_clock::now() + maxWait;
  for (;;) {
    if (RetryOnEintr([&] { return ::flock(fd_, nOp); }) == 0) return;
    if (!bBounded || errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kLockRetryInterval);
  }
  ::close(fd_);
  fd_ = -1;
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

}  // namespace poshark::platform
