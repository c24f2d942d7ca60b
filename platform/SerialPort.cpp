// termios serial ports: exclusive open, raw mode, blocking reads that end at
// a full buffer or after 100 ms of quiet, comm events from the driver's
// interrupt counters, and lost-port detection.
#include "platform/SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Event.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Retry.h"
#include "platform/ThreadAnnotations.h"

namespace poshark::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kWriteTimeoutMs = 1000;
constexpr const char* kPortMapFile = "ComPorts.ini";

Mutex g_openerLock;
SerialPortOpener g_opener GUARDED_BY(g_openerLock);

bool IsLostErrno(int nErr) { return nErr == EIO || nErr == ENXIO || nErr == ENODEV; }

int Ioctl(int nFd, unsigned long nRequest, void* pArg) {
  return RetryOnEintr([&] { return ::ioctl(nFd, nRequest, pArg); });
}

// Milliseconds from now to when, rounded up so that a wait of that length
// never ends before it; 0 once it is past.
int MsUntil(SteadyClock::time_point when) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

speed_t BaudConstant(int nBaud) {
  switch (nBaud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    default:
      return B0;
  }
}

// UNIX98 pseudo-terminal slaves: their driver keeps no interrupt counters.
bool IsPseudoTerminal(int nFd) {
  struct stat st {};
  if (::fstat(nFd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    return false;
  }
  unsigned nMajor = major(st.st_rdev);
  return nMajor >= 136 && nMajor <= 143;
}

class TermiosPort final : public SerialPort {
 public:
  TermiosPort(int nFd, std::string path) : fd_(nFd), path_(std::move(path)) {
    MutexLock lock(mu_);
    if (!IsPseudoTerminal(fd_)) {
      serial_icounter_struct counters{};
      bCounters_ = Ioctl(fd_, TIOCGICOUNT, &counters) == 0;
      if (bCounters_) {
        counters_ = counters;
      }
    }
    int nLines = 0;
    bModemLines_ = Ioctl(fd_, TIOCMGET, &nLines) == 0;
    nLastLines_ = nLines;
  }

  ~TermiosPort() override {
    // Clear the exclusive flag: a pseudo-terminal's tty outlives this
    // descriptor while its master is open, and would refuse the next opener.
    Ioctl(fd_, TIOCNXCL, nullptr);
    ::close(fd_);
  }

  bool Configure(const SerialSettings& s) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0 || !MakeSerialTermios(s, &tio)) {
      return false;
    }
    return RetryOnEintr([&] { return ::tcsetattr(fd_, TCSANOW, &tio); }) == 0;
  }

  void SetDtr(bool bOn) override { SetLine(TIOCM_DTR, bOn); }
  void SetRts(bool bOn) override { SetLine(TIOCM_RTS, bOn); }

  SerialRead Read(unsigned char* pBuf, int nSize, int* pnRead, int nTimeoutMs,
                  Event* pBreak) override {
    *pnRead = 0;
    if (bLost_ || !pBuf || nSize < 1) {
      return SerialRead::kLost;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(nTimeoutMs);
    SteadyClock::time_point quietAt{};  // kSerialReadIntervalMs after the last byte
    int nFill = 0;
    for (;;) {
      if (pBreak && pBreak->TryConsume()) {
        return SerialRead::kBreak;
      }
      const int nWaitMs = nFill > 0 ? MsUntil(quietAt) : nTimeoutMs < 0 ? -1 : MsUntil(deadline);
      pollfd fds[2] = {{pBreak ? pBreak->fd() : -1, POLLIN, 0}, {fd_, POLLIN, 0}};
      const int nRc = RetryOnEintr([&] { return ::poll(fds, 2, nWaitMs); });
      if (nRc < 0) {
        break;  // cannot wait (no memory): ends as at a time-out
      }
      if (fds[1].revents != 0) {
        const int nBefore = nFill;
        Input in = TakeInput(pBuf, nSize, &nFill);
        if (in == Input::kWaiting && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
          bLost_ = true;
          in = Input::kGone;
        }
        if (in != Input::kWaiting) {
          break;
        }
        if (nFill > nBefore) {
          quietAt = SteadyClock::now() + std::chrono::milliseconds(kSerialReadIntervalMs);
        }
      } else if (nRc == 0 && (nFill > 0 || nTimeoutMs >= 0) &&
                 MsUntil(nFill > 0 ? quietAt : deadline) == 0) {
        break;
      }
    }
    *pnRead = nFill;
    if (nFill > 0) {
      return SerialRead::kData;
    }
    return bLost_ ? SerialRead::kLost : SerialRead::kTimeout;
  }

  int Write(const unsigned char* pData, int nLen) override {
    int nDone = 0;
    while (nDone < nLen && !bLost_) {
      const ssize_t nPut = RetryOnEintr(
          [&] { return ::write(fd_, pData + nDone, static_cast<size_t>(nLen - nDone)); });
      if (nPut > 0) {
        nDone += static_cast<int>(nPut);
        continue;
      }
      if (nPut < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd out = {fd_, POLLOUT, 0};
        if (RetryOnEintr([&] { return ::poll(&out, 1, kWriteTimeoutMs); }) > 0 &&
            !(out.revents & (POLLHUP | POLLERR | POLLNVAL))) {
          continue;
        }
      }
      if (nPut == 0 || IsLostErrno(errno)) {
        bLost_ = true;
      }
      break;
    }
    return nDone;
  }

  void Purge() override { ::tcflush(fd_, TCIOFLUSH); }

  bool GetModemStatus(uint32_t* pdwStatus) override {
    *pdwStatus = 0;
    int nLines = 0;
    if (!bModemLines_ || !GetLines(&nLines)) {
      return false;
    }
    *pdwStatus = ((nLines & TIOCM_CTS) ? kMsCtsOn : 0) | ((nLines & TIOCM_DSR) ? kMsDsrOn : 0) |
                 ((nLines & TIOCM_RI) ? kMsRingOn : 0) | ((nLines & TIOCM_CD) ? kMsRlsdOn : 0);
    return true;
  }

  uint32_t TakeCommEvents(uint32_t dwMask) override {
    MutexLock lock(mu_);
    PollCountersLocked();
    uint32_t dwTaken = dwEvents_ & dwMask;
    dwEvents_ &= ~dwMask;
    return dwTaken;
  }

  bool ClearError(uint32_t* pdwErrors) override {
    MutexLock lock(mu_);
    PollCountersLocked();
    *pdwErrors = dwErrors_;
    dwErrors_ = 0;
    return !bLost_;
  }

  std::string DevicePath() const override { return path_; }

 private:
  enum class Input { kWaiting, kFull, kGone };

  // Non-blocking reads into pBuf until it is full, the driver has nothing
  // more, or the port is gone.
  Input TakeInput(unsigned char* pBuf, int nSize, int* pnFill) {
    while (*pnFill < nSize) {
      const ssize_t nGot = RetryOnEintr(
          [&] { return ::read(fd_, pBuf + *pnFill, static_cast<size_t>(nSize - *pnFill)); });
      if (nGot > 0) {
        *pnFill += static_cast<int>(nGot);
        continue;
      }
      if (nGot < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return Input::kWaiting;
      }
      // 0 is a hang-up (VMIN is 1), EIO/ENXIO/ENODEV an unplugged device;
      // after any other error the port is no use either.
      bLost_ = true;
      return Input::kGone;
    }
    return Input::kFull;
  }

  void SetLine(int nLine, bool bOn) {
    Ioctl(fd_, bOn ? TIOCMBIS : TIOCMBIC, &nLine);  // pseudo-terminals have no lines
  }

  // TIOCMGET; a failure that says the device is gone marks the port lost.
  bool GetLines(int* pnLines) {
    if (Ioctl(fd_, TIOCMGET, pnLines) == 0) {
      return true;
    }
    if (IsLostErrno(errno)) {
      bLost_ = true;
    }
    return false;
  }

  // Turns changes of the interrupt counters (or of the modem lines, where
  // the driver keeps no counters) into comm events and line errors.
  void PollCountersLocked() REQUIRES(mu_) {
    if (bLost_) {
      return;
    }
    if (bCounters_) {
      serial_icounter_struct now{};
      if (Ioctl(fd_, TIOCGICOUNT, &now) != 0) {
        if (IsLostErrno(errno)) {
          bLost_ = true;
        }
        return;
      }
      uint32_t dwErr = 0;
      if (now.frame != counters_.frame) dwErr |= kCeFrame;
      if (now.parity != counters_.parity) dwErr |= kCeRxParity;
      if (now.overrun != counters_.overrun) dwErr |= kCeOverrun;
      if (now.buf_overrun != counters_.buf_overrun) dwErr |= kCeRxOver;
      if (now.brk != counters_.brk) dwErr |= kCeBreak;
      uint32_t dwEv = 0;
      if (dwErr & (kCeFrame | kCeRxParity | kCeOverrun)) dwEv |= kEvErr;
      if (dwErr & kCeBreak) dwEv |= kEvBreak;
      if (now.cts != counters_.cts) dwEv |= kEvCts;
      if (now.dsr != counters_.dsr) dwEv |= kEvDsr;
      if (now.dcd != counters_.dcd) dwEv |= kEvRlsd;
      if (now.rng != counters_.rng) dwEv |= kEvRing;
      counters_ = now;
      dwErrors_ |= dwErr;
      dwEvents_ |= dwEv;
      return;
    }
    int nLines = 0;
    if (bModemLines_ && GetLines(&nLines)) {
      int nChanged = nLines ^ nLastLines_;
      nLastLines_ = nLines;
      if (nChanged & TIOCM_CTS) dwEvents_ |= kEvCts;
      if (nChanged & TIOCM_DSR) dwEvents_ |= kEvDsr;
      if (nChanged & TIOCM_CD) dwEvents_ |= kEvRlsd;
      if ((nChanged & TIOCM_RI) && !(nLines & TIOCM_RI)) dwEvents_ |= kEvRing;  // trailing edge
    }
  }

  const int fd_;
  const std::string path_;
  std::atomic<bool> bLost_{false};
  bool bCounters_ = false;    // set by the constructor only
  bool bModemLines_ = false;  // set by the constructor only
  Mutex mu_;
  serial_icounter_struct counters_ GUARDED_BY(mu_){};
  int nLastLines_ GUARDED_BY(mu_) = 0;
  uint32_t dwEvents_ GUARDED_BY(mu_) = 0;  // events not yet taken
  uint32_t dwErrors_ GUARDED_BY(mu_) = 0;  // line errors not yet cleared
};

// Makes nFd an exclusively held terminal, or closes it.
std::unique_ptr<SerialPort> TakeTerminal(int nFd, std::string path, std::string* pstrError) {
  auto fail = [&](const char* pszWhat, int nErr) -> std::unique_ptr<SerialPort> {
    if (pstrError) {
      *pstrError = ErrnoText(pszWhat, nErr);
    }
    ::close(nFd);
    return nullptr;
  };
  termios tio{};
  if (::tcgetattr(nFd, &tio) != 0) {
    return fail("not a terminal", errno);
  }
  // flock also refuses a second opener that is root, whom TIOCEXCL lets in.
  if (RetryOnEintr([&] { return ::flock(nFd, LOCK_EX | LOCK_NB); }) != 0) {
    return fail("port in use", errno);
  }
  if (Ioctl(nFd, TIOCEXCL, nullptr) != 0) {
    return fail("TIOCEXCL", errno);
  }
  int nFlags = ::fcntl(nFd, F_GETFL);
  if (nFlags < 0 || ::fcntl(nFd, F_SETFL, nFlags | O_NONBLOCK) != 0) {
    Ioctl(nFd, TIOCNXCL, nullptr);
    return fail("fcntl", errno);
  }
  ::fcntl(nFd, F_SETFD, ::fcntl(nFd, F_GETFD) | FD_CLOEXEC);
  return std::make_unique<TermiosPort>(nFd, std::move(path));
}

}  // namespace

bool MakeSerialTermios(const SerialSettings& s, termios* pTio) {
  speed_t speed = BaudConstant(s.nBaud);
  if (speed == B0) {
    return false;  // rates without a B constant are refused
  }
  termios& tio = *pTio;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  switch (s.nDataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  // termios knows one or two stop bits; one and a half becomes two, which a
  // receiver set to one and a half reads without error.
  if (s.nStopBits == 1 || s.nStopBits == 2) {
    tio.c_cflag |= CSTOPB;
  }
  switch (s.nParity) {
    case 1:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      tio.c_cflag |= PARENB;
      break;
    case 3:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.nParity >= 1 && s.nParity <= 4) {
    tio.c_iflag |= INPCK;
  } else {
    tio.c_iflag &= ~INPCK;
  }
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR);
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  // VMIN 1 with O_NONBLOCK: an empty read answers EAGAIN, and 0 means hang-up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return ::cfsetispeed(&tio, speed) == 0 && ::cfsetospeed(&tio, speed) == 0;
}

std::string SerialPortMapEntry(int nPort) {
  if (nPort < 1) {
    return {};
  }
  char szKey[32];
  std::snprintf(szKey, sizeof szKey, "COM%d", nPort);
  char szPath[kProfileValueSize] = {};
  GetPrivateProfileStringA("Ports", szKey, "", szPath, sizeof szPath, kPortMapFile);
  return szPath;
}

std::string SerialPortPath(int nPort) {
  if (nPort < 1) {
    return {};
  }
  std::string path = SerialPortMapEntry(nPort);
  if (!path.empty()) {
    return path;
  }
  return "/dev/ttyS" + std::to_string(nPort - 1);
}

std::unique_ptr<SerialPort> OpenSerialPath(const std::string& path, std::string* pstrError) {
  if (path.empty()) {
    if (pstrError) {
      *pstrError = "no device path";
    }
    return nullptr;
  }
  const int nFd = RetryOnEintr(
      [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (nFd < 0) {
    if (pstrError) {
      *pstrError = ErrnoText(path.c_str(), errno);
    }
    return nullptr;
  }
  return TakeTerminal(nFd, path, pstrError);
}

std::unique_ptr<SerialPort> OpenSerialPort(int nPort, std::string* pstrError) {
  SerialPortOpener opener;
  {
    MutexLock lock(g_openerLock);
    opener = g_opener;
  }
  if (opener) {
    return opener(nPort);
  }
  if (nPort < 1) {
    if (pstrError) {
      *pstrError = "no such port";
    }
    return nullptr;
  }
  return OpenSerialPath(SerialPortPath(nPort), pstrError);
}

std::unique_ptr<SerialPort> AdoptSerialPort(int nFd, std::string* pstrError) {
  if (nFd < 0 || ::fcntl(nFd, F_GETFD) < 0) {
    if (pstrError) {
      *pstrError = "not an open descriptor";
    }
    return nullptr;
  }
  char szLink[64];
  std::snprintf(szLink, sizeof szLink, "/proc/self/fd/%d", nFd);
  char szPath[4096];
  ssize_t nLen = ::readlink(szLink, szPath, sizeof szPath - 1);
  std::string path = nLen > 0 ? std::string(szPath, static_cast<size_t>(nLen)) : std::string();
  return TakeTerminal(nFd, std::move(path), pstrError);
}

void SetSerialPortOpenerForTesting(SerialPortOpener opener) {
  MutexLock lock(g_openerLock);
  g_opener = std::move(opener);
}

}  // namespace poshark::platform
