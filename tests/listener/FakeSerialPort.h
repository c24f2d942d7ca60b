// A scripted serial port for what a pseudo-terminal cannot do (line errors):
// the test queues steps (a block of bytes, a comm event, a loss) and the port
// hands them to the reader in that order, each once its read or comm-event
// wait is under way.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace fake_serial {

using namespace poshark::platform;

struct Script {
  struct Step {
    enum Kind { kData, kComm, kLost } kind;
    std::string bytes;
    uint32_t dwMask = 0;
  };

  void Data(const std::string& bytes) { Push({Step::kData, bytes, 0}); }
  void Comm(uint32_t dwMask) { Push({Step::kComm, {}, dwMask}); }
  void Lost() { Push({Step::kLost, {}, 0}); }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex);
    return steps.empty();
  }

  void Push(Step step) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      steps.push_back(std::move(step));
    }
    wake.Set();
  }

  std::mutex mutex;
  std::deque<Step> steps;  // guarded by mutex
  Event wake{Event::kAutoReset};
  std::atomic<int> nPurges{0};
  std::atomic<int> nErrorPolls{0};
};

class FakePort final : public SerialPort {
 public:
  explicit FakePort(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  bool Configure(const SerialSettings&) override { return true; }
  void SetDtr(bool) override {}
  void SetRts(bool) override {}

  SerialIo StartRead(unsigned char* pBuf, int nSize, int*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bLost_) return SerialIo::kFailed;
    pBuf_ = pBuf;
    nSize_ = nSize;
    bReading_ = true;
    return SerialIo::kPending;
  }
  SerialIo StartWaitCommEvent(uint32_t, uint32_t*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bLost_) return SerialIo::kFailed;
    bWaiting_ = true;
    return SerialIo::kPending;
  }

  SerialWake Wait(Event* pBreak, int nTimeoutMs) override {
    for (;;) {
      if (pBreak && pBreak->TryConsume()) return SerialWake::kBreak;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::lock_guard<std::mutex> scriptLock(script_->mutex);
        if (!script_->steps.empty()) {
          Script::Step& step = script_->steps.front();
          if (step.kind == Script::Step::kLost) {
            bLost_ = true;
            script_->steps.pop_front();
          } else if (step.kind == Script::Step::kData && bReading_ && !bReadDone_) {
            nRead_ = std::min<int>(nSize_, static_cast<int>(step.bytes.size()));
            std::memcpy(pBuf_, step.bytes.data(), static_cast<size_t>(nRead_));
            bReadDone_ = true;
            script_->steps.pop_front();
          } else if (step.kind == Script::Step::kComm && bWaiting_ && !bCommDone_) {
            dwMask_ = step.dwMask;
            bCommDone_ = true;
            script_->steps.pop_front();
          }
        }
        if (bLost_ && bReading_) bReadDone_ = true;
        if (bLost_ && bWaiting_) bCommDone_ = true;
        if (bReading_ && bReadDone_) return SerialWake::kRead;
        if (bWaiting_ && bCommDone_) return SerialWake::kCommEvent;
      }
      if (WaitForAny({pBreak, &script_->wake}, nTimeoutMs) == kWaitTimeout) {
        return SerialWake::kTimeout;
      }
    }
  }

  bool GetReadResult(int* pnRead) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bReading_ = bReadDone_ = false;
    *pnRead = bLost_ ? 0 : nRead_;
    return !bLost_;
  }
  bool GetCommEventResult(uint32_t* pdwMask) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bWaiting_ = bCommDone_ = false;
    *pdwMask = bLost_ ? 0 : dwMask_;
    return !bLost_;
  }
  void CancelIo() override {
    std::lock_guard<std::mutex> lock(mutex_);
    bReading_ = bReadDone_ = bWaiting_ = bCommDone_ = false;
  }
  void Purge() override { ++script_->nPurges; }
  bool GetModemStatus(uint32_t* pdwStatus) override {
    *pdwStatus = kMsCtsOn | kMsDsrOn;
    return true;
  }
  bool ClearError(uint32_t* pdwErrors) override {
    ++script_->nErrorPolls;
    *pdwErrors = 0;
    return true;
  }
  std::string DevicePath() const override { return "fake"; }

 private:
  std::shared_ptr<Script> script_;
  std::mutex mutex_;
  bool bLost_ = false;
  unsigned char* pBuf_ = nullptr;
  int nSize_ = 0;
  int nRead_ = 0;
  bool bReading_ = false;
  bool bReadDone_ = false;
  bool bWaiting_ = false;
  bool bCommDone_ = false;
  uint32_t dwMask_ = 0;
};

}  // namespace fake_serial
