#include "journal/JournalLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Log.h"
#include "base/Usage.h"
#include "journal/JournalDb.h"

namespace poshark::tool {

namespace {

constexpr char kLockSuffix[] = ".lock";
constexpr mode_t kLockMode = 0640;
// Room for a process id and its newline.
constexpr size_t kPidText = 32;

// The process id the holder wrote, or 0 when there is none.
long HolderPid(int fd) {
  char text[kPidText] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  std::string_view line(text, static_cast<size_t>(n));
  line = line.substr(0, line.find('\n'));
  long pid = 0;
  return ParseNumberIn(line, 1, INT32_MAX, pid) ? pid : 0;
}

}  // namespace

JournalLock::JournalLock(const std::string& journal_path) {
  const std::string side = journal_path + kLockSuffix;
  fd_ = open(side.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockMode);
  if (fd_ < 0) {
    throw JournalError("journal " + journal_path + ": cannot open its lock file " + side + ": " +
                       std::strerror(errno));
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    const long pid = HolderPid(fd_);
    close(fd_);
    fd_ = -1;
    if (error != EWOULDBLOCK) {
      throw JournalError("journal " + journal_path + ": cannot lock " + side + ": " +
                         std::strerror(error));
    }
    throw JournalError("journal " + journal_path + ": in use by another poshark serve" +
                       (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                       "; one service per journal");
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd_, 0) != 0 ||
      pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds without the id; a refused second service cannot name this one.
    Log(LogLevel::kDebug, "journal " + journal_path + ": cannot write the process id into " + side +
                              ": " + std::strerror(errno));
  }
}

JournalLock::~JournalLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace poshark::tool
