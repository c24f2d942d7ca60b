// termios serial ports: exclusive open, raw mode, reads that complete at a
// full buffer or after 100 ms of quiet, comm events from the driver's
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

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/Event.h"
#include "platform/Profile.h"

namespace poshark::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kReadIntervalMs = 100;
constexpr const char* kPortMapFile = "ComPorts.ini";

std::mutex g_openerLock;
SerialPortOpener g_opener;  // guarded by g_openerLock

std::string ErrnoText(const char* pszWhat, int nErr) {
  return std::string(pszWhat) + ": " + std::strerror(nErr);
}

bool IsLostErrno(int nErr) { return nErr == EIO || nErr == ENXIO || nErr == ENODEV; }

int IoctlRetry(int nFd, unsigned long nRequest, void* pArg) {
  int nRc;
  do {
    nRc = ::ioctl(nFd, nRequest, pArg);
  } while (nRc < 0 && errno == EINTR);
  return nRc;
}

speed_t BaudConstant(int nBaud) {
  switch (nBaud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    default: return B0;
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
    if (!IsPseudoTerminal(fd_)) {
      serial_icounter_struct counters {};
      bCounters_ = IoctlRetry(fd_, TIOCGICOUNT, &counters) == 0;
      if (bCounters_) {
        counters_ = counters;
      }
    }
    int nLines = 0;
    bModemLines_ = IoctlRetry(fd_, TIOCMGET, &nLines) == 0;
    nLastLines_ = nLines;
  }

  ~TermiosPort() override {
    // Clear the exclusive flag: a pseudo-terminal's tty outlives this
    // descriptor while its master is open, and would refuse the next opener.
    IoctlRetry(fd_, TIOCNXCL, nullptr);
    ::close(fd_);
  }

  bool Configure(const SerialSettings& s) override {
    std::lock_guard<std::mutex> lock(lock_);
    termios tio {};
    if (::tcgetattr(fd_, &tio) != 0 || !MakeSerialTermios(s, &tio)) {
      return false;
    }
    return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
  }

  void SetDtr(bool bOn) override { SetLine(TIOCM_DTR, bOn); }
  void SetRts(bool bOn) override { SetLine(TIOCM_RTS, bOn); }

  SerialIo StartRead(unsigned char* pBuf, int nSize, int* pnRead) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (bLost_ || !pBuf || nSize < 1) {
      return SerialIo::kFailed;
    }
    pReadBuf_ = pBuf;
    nReadSize_ = nSize;
    nReadFill_ = 0;
    bReading_ = true;
    bReadDone_ = false;
    FillReadLocked();
    if (bReadDone_ && nReadFill_ > 0) {
      bReading_ = false;
      *pnRead = nReadFill_;
      return SerialIo::kComplete;
    }
    if (bLost_) {
      bReading_ = false;
      return SerialIo::kFailed;
    }
    return SerialIo::kPending;
  }

  SerialIo StartWaitCommEvent(uint32_t dwMask, uint32_t* pdwMask) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (bLost_) {
      return SerialIo::kFailed;
    }
    PollCountersLocked();
    dwWaitMask_ = dwMask;
    if (dwEvents_ & dwMask) {
      *pdwMask = dwEvents_ & dwMask;
      dwEvents_ = 0;
      return SerialIo::kComplete;
    }
    bWaiting_ = true;
    return SerialIo::kPending;
  }

  SerialWake Wait(Event* pBreak, int nTimeoutMs) override {
    const bool bInfinite = nTimeoutMs < 0;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(bInfinite ? 0 : nTimeoutMs);
    for (;;) {
      if (pBreak && pBreak->TryConsume()) {
        return SerialWake::kBreak;
      }
      pollfd fds[2];
      int nPollMs;
      {
        std::lock_guard<std::mutex> lock(lock_);
        auto now = SteadyClock::now();
        if (bReading_ && !bReadDone_ && nReadFill_ > 0 &&
            now - lastByte_ >= std::chrono::milliseconds(kReadIntervalMs)) {
          bReadDone_ = true;
        }
        if (bReading_ && bReadDone_) {
          return SerialWake::kRead;
        }
        if (bWaiting_ && (bLost_ || (dwEvents_ & dwWaitMask_))) {
          return SerialWake::kCommEvent;
        }
        if (!bInfinite && now >= deadline) {
          PollCountersLocked();
          if (bWaiting_ && (dwEvents_ & dwWaitMask_)) {
            return SerialWake::kCommEvent;
          }
          return SerialWake::kTimeout;
        }
        long nLeft = bInfinite ? -1
                               : std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (bReading_ && nReadFill_ > 0) {
          long nQuiet = std::chrono::ceil<std::chrono::milliseconds>(
                            lastByte_ + std::chrono::milliseconds(kReadIntervalMs) - now)
                            .count();
          nQuiet = nQuiet < 0 ? 0 : nQuiet;
          nLeft = nLeft < 0 ? nQuiet : std::min(nLeft, nQuiet);
        }
        nPollMs = static_cast<int>(nLeft);
        fds[0] = pollfd{pBreak ? pBreak->fd() : -1, POLLIN, 0};
        // A lost port is not polled again (it would report hang-up forever);
        // nothing is under way on it either.
        bool bWatchPort = !bLost_ && (bReading_ || bWaiting_);
        short nEvents = bReading_ && nReadFill_ < nReadSize_ ? POLLIN : 0;
        fds[1] = pollfd{bWatchPort ? fd_ : -1, nEvents, 0};
      }
      int nRc = ::poll(fds, 2, nPollMs);
      if (nRc < 0 && errno != EINTR) {
        return SerialWake::kTimeout;
      }
      if (nRc > 0 && fds[1].revents) {
        std::lock_guard<std::mutex> lock(lock_);
        if (bReading_ && !bReadDone_) {
          FillReadLocked();
        }
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
          if (bReading_ && !bReadDone_) {
            FillReadLocked();  // take what is left before calling it lost
          }
          MarkLostLocked();
        }
        PollCountersLocked();
      }
    }
  }

  bool GetReadResult(int* pnRead) override {
    std::lock_guard<std::mutex> lock(lock_);
    bool bOk = bReadDone_ && nReadFill_ > 0;
    *pnRead = bOk ? nReadFill_ : 0;
    bReading_ = false;
    bReadDone_ = false;
    nReadFill_ = 0;
    pReadBuf_ = nullptr;
    return bOk;
  }

  bool GetCommEventResult(uint32_t* pdwMask) override {
    std::lock_guard<std::mutex> lock(lock_);
    bWaiting_ = false;
    *pdwMask = dwEvents_ & dwWaitMask_;
    dwEvents_ &= ~dwWaitMask_;
    return !bLost_ || *pdwMask != 0;
  }

  void CancelIo() override {
    std::lock_guard<std::mutex> lock(lock_);
    bReading_ = false;
    bReadDone_ = false;
    nReadFill_ = 0;
    pReadBuf_ = nullptr;
    bWaiting_ = false;
  }

  void Purge() override {
    std::lock_guard<std::mutex> lock(lock_);
    ::tcflush(fd_, TCIOFLUSH);
    if (bReading_ && !bReadDone_) {
      nReadFill_ = 0;
    }
  }

  bool GetModemStatus(uint32_t* pdwStatus) override {
    std::lock_guard<std::mutex> lock(lock_);
    *pdwStatus = 0;
    if (!bModemLines_) {
      return false;
    }
    int nLines = 0;
    if (IoctlRetry(fd_, TIOCMGET, &nLines) != 0) {
      if (IsLostErrno(errno)) {
        MarkLostLocked();
      }
      return false;
    }
    *pdwStatus = ((nLines & TIOCM_CTS) ? kMsCtsOn : 0) | ((nLines & TIOCM_DSR) ? kMsDsrOn : 0) |
                 ((nLines & TIOCM_RI) ? kMsRingOn : 0) | ((nLines & TIOCM_CD) ? kMsRlsdOn : 0);
    return true;
  }

  bool ClearError(uint32_t* pdwErrors) override {
    std::lock_guard<std::mutex> lock(lock_);
    PollCountersLocked();
    *pdwErrors = dwErrors_;
    dwErrors_ = 0;
    return !bLost_;
  }

  std::string DevicePath() const override { return path_; }

 private:
  void SetLine(int nLine, bool bOn) {
    std::lock_guard<std::mutex> lock(lock_);
    IoctlRetry(fd_, bOn ? TIOCMBIS : TIOCMBIC, &nLine);  // pseudo-terminals have no lines
  }

  void MarkLostLocked() {
    bLost_ = true;
    if (bReading_) {
      bReadDone_ = true;  // completes, with the bytes already in or as a failure
    }
  }

  // Non-blocking reads into the read under way until it is full, the driver
  // has nothing more, or the port is gone.
  void FillReadLocked() {
    while (nReadFill_ < nReadSize_) {
      ssize_t nGot = ::read(fd_, pReadBuf_ + nReadFill_, static_cast<size_t>(nReadSize_ - nReadFill_));
      if (nGot > 0) {
        nReadFill_ += static_cast<int>(nGot);
        lastByte_ = SteadyClock::now();
        continue;
      }
      if (nGot < 0 && errno == EINTR) {
        continue;
      }
      if (nGot < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      }
      // 0 is a hang-up (VMIN is 1); EIO/ENXIO/ENODEV an unplugged device.
      MarkLostLocked();
      break;
    }
    if (nReadFill_ >= nReadSize_) {
      bReadDone_ = true;
    }
    PollCountersLocked();
  }

  // Turns changes of the interrupt counters (or of the modem lines, where
  // the driver keeps no counters) into comm events and line errors.
  void PollCountersLocked() {
    if (bLost_) {
      return;
    }
    if (bCounters_) {
      serial_icounter_struct now {};
      if (IoctlRetry(fd_, TIOCGICOUNT, &now) != 0) {
        if (IsLostErrno(errno)) {
          MarkLostLocked();
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
    if (bModemLines_) {
      int nLines = 0;
      if (IoctlRetry(fd_, TIOCMGET, &nLines) != 0) {
        if (IsLostErrno(errno)) {
          MarkLostLocked();
        }
        return;
      }
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
  std::mutex lock_;  // guards everything below
  bool bCounters_ = false;
  bool bModemLines_ = false;
  serial_icounter_struct counters_ {};
  int nLastLines_ = 0;
  bool bLost_ = false;
  unsigned char* pReadBuf_ = nullptr;
  int nReadSize_ = 0;
  int nReadFill_ = 0;
  bool bReading_ = false;
  bool bReadDone_ = false;
  SteadyClock::time_point lastByte_ {};
  bool bWaiting_ = false;
  uint32_t dwWaitMask_ = 0;
  uint32_t dwEvents_ = 0;  // events not yet reported
  uint32_t dwErrors_ = 0;  // line errors not yet cleared
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
  termios tio {};
  if (::tcgetattr(nFd, &tio) != 0) {
    return fail("not a terminal", errno);
  }
  // flock also refuses a second opener that is root, whom TIOCEXCL lets in.
  int nRc;
  do {
    nRc = ::flock(nFd, LOCK_EX | LOCK_NB);
  } while (nRc < 0 && errno == EINTR);
  if (nRc != 0) {
    return fail("port in use", errno);
  }
  if (IoctlRetry(nFd, TIOCEXCL, nullptr) != 0) {
    return fail("TIOCEXCL", errno);
  }
  int nFlags = ::fcntl(nFd, F_GETFL);
  if (nFlags < 0 || ::fcntl(nFd, F_SETFL, nFlags | O_NONBLOCK) != 0) {
    IoctlRetry(nFd, TIOCNXCL, nullptr);
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
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
  }
  // termios knows one or two stop bits; one and a half becomes two, which a
  // receiver set to one and a half reads without error.
  if (s.nStopBits == 1 || s.nStopBits == 2) {
    tio.c_cflag |= CSTOPB;
  }
  switch (s.nParity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
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
  int nFd;
  do {
    nFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (nFd < 0 && errno == EINTR);
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
    std::lock_guard<std::mutex> lock(g_openerLock);
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
  std::lock_guard<std::mutex> lock(g_openerLock);
  g_opener = std::move(opener);
}

}  // namespace poshark::platform
