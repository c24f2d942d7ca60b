// Serial ports for tests: pseudo-terminal "adapters" that can be unplugged
// and plugged back behind a mapped path, and a scripted port for what a
// pseudo-terminal cannot do (line errors, a failing driver).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace poshark::testing {

// A pseudo-terminal; the test keeps the master, the port object opens the
// slave, through a symbolic link when one is named. Closing the master is an
// unplug; Plug makes a new pair and points the link at it.
class Pty {
 public:
  explicit Pty(std::string link = "") : link_(std::move(link)) {}
  ~Pty() { Unplug(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Plug() {
    Unplug();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char szName[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, szName, sizeof szName) != 0) {
      return false;
    }
    slave_ = szName;
    std::string temp = link_ + ".new";
    ::unlink(temp.c_str());
    return link_.empty() || (::symlink(slave_.c_str(), temp.c_str()) == 0 &&
                             ::rename(temp.c_str(), link_.c_str()) == 0);
  }
  void Unplug() {
    if (!link_.empty()) ::unlink(link_.c_str());
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  bool Write(const std::string& bytes) const {
    for (size_t nDone = 0; nDone < bytes.size();) {
      ssize_t n = ::write(master_, bytes.data() + nDone, bytes.size() - nDone);
      if (n < 0 && errno != EINTR) return false;
      nDone += static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
    return true;
  }
  const std::string& SlavePath() const { return slave_; }
  const std::string& Link() const { return link_; }

 private:
  std::string link_;
  std::string slave_;
  int master_ = -1;
};

// A scripted port: the test pushes steps, each read of the reader takes the
// next one. A comm event (dwMask not 0) ends its read as a time-out would,
// so the reader takes the event before the next block, as it does when an
// event comes while the line is quiet.
struct Script {
  struct Step {
    std::string bytes;
    uint32_t dwMask = 0;
    bool bThrow = false;  // the read throws
  };
  void Push(Step step) {
    std::lock_guard<std::mutex> lock(mutex);
    steps.push_back(std::move(step));
    wake.Set();
  }
  std::mutex mutex;
  std::deque<Step> steps;  // guarded by mutex
  uint32_t dwEvents = 0;   // guarded by mutex: comm events not yet taken
  poshark::platform::Event wake{poshark::platform::Event::kAutoReset};
  std::atomic<int> nErrorPolls{0};
};

class FakePort final : public poshark::platform::SerialPort {
 public:
  using SerialRead = poshark::platform::SerialRead;
  explicit FakePort(std::shared_ptr<Script> script) : s_(std::move(script)) {}

  bool Configure(const poshark::platform::SerialSettings&) override { return true; }
  void SetDtr(bool) override {}
  void SetRts(bool) override {}
  SerialRead Read(unsigned char* pBuf, int nSize, int* pnRead, int nTimeoutMs,
                  poshark::platform::Event* pBreak) override {
    *pnRead = 0;
    for (;;) {
      if (pBreak && pBreak->TryConsume()) return SerialRead::kBreak;
      std::unique_lock<std::mutex> lock(s_->mutex);
      if (!s_->steps.empty()) {
        Script::Step step = std::move(s_->steps.front());
        s_->steps.pop_front();
        if (step.bThrow) throw std::runtime_error("scripted port failure");
        s_->dwEvents |= step.dwMask;
        *pnRead = std::min<int>(nSize, static_cast<int>(step.bytes.size()));
        std::memcpy(pBuf, step.bytes.data(), static_cast<size_t>(*pnRead));
        return step.dwMask ? SerialRead::kTimeout : SerialRead::kData;
      }
      lock.unlock();
      if (poshark::platform::WaitForAny({pBreak, &s_->wake}, nTimeoutMs) ==
          poshark::platform::kWaitTimeout) {
        return SerialRead::kTimeout;
      }
    }
  }
  int Write(const unsigned char*, int nLen) override { return nLen; }
  void Purge() override {}
  bool GetModemStatus(uint32_t* pdwStatus) override {
    *pdwStatus = poshark::platform::kMsCtsOn | poshark::platform::kMsDsrOn;
    return true;
  }
  uint32_t TakeCommEvents(uint32_t dwMask) override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    uint32_t dwTaken = s_->dwEvents & dwMask;
    s_->dwEvents &= ~dwMask;
    return dwTaken;
  }
  bool ClearError(uint32_t* pdwErrors) override {
    ++s_->nErrorPolls;
    *pdwErrors = 0;
    return true;
  }
  std::string DevicePath() const override { return "fake"; }

 private:
  std::shared_ptr<Script> s_;
};

}  // namespace poshark::testing
