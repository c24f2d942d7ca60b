#include "platform/Files.h"

#include "platform/Retry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace poshark::platform {

std::string ErrnoText(const char* pszWhat, int nErr) {
  char szBuf[128];
  return std::string(pszWhat) + ": " + strerror_r(nErr, szBuf, sizeof szBuf);
}

namespace {

std::mutex g_freeSourceLock;
std::function<bool(const std::string&, uint64_t*)> g_freeSource;

// writev until everything is out.
bool WriteAll(int fd, iovec* pIov, int nCount) {
  while (nCount > 0) {
    ssize_t nDone = RetryOnEintr([&] { return ::writev(fd, pIov, nCount); });
    if (nDone < 0) {
      return false;
    }
    size_t nLeft = static_cast<size_t>(nDone);
    while (nCount > 0 && nLeft >= pIov->iov_len) {
      nLeft -= pIov->iov_len;
      ++pIov;
      --nCount;
    }
    if (nCount > 0) {
      pIov->iov_base = static_cast<char*>(pIov->iov_base) + nLeft;
      pIov->iov_len -= nLeft;
    }
  }
  return true;
}

}  // namespace

bool AppendToExistingFile(const std::string& path, const void* pHead, size_t nHead,
                          const void* pData, size_t nData) {
  int fd = RetryOnEintr([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC); });
  if (fd < 0) {
    return false;
  }
  iovec iov[2] = {{const_cast<void*>(pHead), nHead}, {const_cast<void*>(pData), nData}};
  bool bOk = WriteAll(fd, iov, 2);
  if (::close(fd) != 0 && errno != EINTR) {
    bOk = false;
  }
  return bOk;
}

bool CreateFileIfMissing(const std::string& path) {
  int fd = RetryOnEintr(
      [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  if (errno != EEXIST) {
    return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) {
    return true;
  }
  struct stat st {};
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GetFreeBytes(const std::string& path, uint64_t* pFree) {
  {
    std::lock_guard<std::mutex> lock(g_freeSourceLock);
    if (g_freeSource) {
      return g_freeSource(path, pFree);
    }
  }
  struct statvfs vfs {};
  int nRc = RetryOnEintr([&] { return ::statvfs(path.c_str(), &vfs); });
  if (nRc != 0) {
    return false;
  }
  *pFree = static_cast<uint64_t>(vfs.f_bfree) * static_cast<uint64_t>(vfs.f_frsize);
  return true;
}

void SetFreeBytesSourceForTesting(std::function<bool(const std::string&, uint64_t*)> source) {
  std::lock_guard<std::mutex> lock(g_freeSourceLock);
  g_freeSource = std::move(source);
}

}  // namespace poshark::platform
