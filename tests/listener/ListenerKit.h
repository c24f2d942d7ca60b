// Pieces of the listener tests beyond the shared support: thread, descriptor
// and CPU figures read from /proc, a capture of the debug strings, the port
// registry as libKXComPort.so writes it, and a probe that runs the intake and
// the writer on their own.
#pragma once

#include <poshark/RCPosHark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestAccess.h"
#include "commands/RCCmdSet.h"
#include "listener/LineIntake.h"
#include "listener/RCLineQueue.h"
#include "platform/Debug.h"
#include "platform/Profile.h"
#include "support/FakeSerialPort.h"
#include "support/LineCollector.h"
#include "support/TempHome.h"

namespace kit {

using namespace poshark::testing;
using Access = RCPosHarkTestAccess;

inline int CountFds() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator()));
}

// The number of this process's threads whose kernel name is name, or starts
// with it when it ends in '.', or of all threads when it is empty.
inline int Threads(const std::string& name = "") {
  int n = 0;
  const bool bPrefix = !name.empty() && name.back() == '.';
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::string line;
    std::getline(std::ifstream(entry.path() / "comm"), line);
    n += name.empty() || (bPrefix ? line.rfind(name, 0) == 0 : line == name);
  }
  return n;
}
// A joined thread may stay listed for an instant: the count once it equals
// nWant, or the last count after ~3 s.
inline int SettledThreads(const std::string& name, int nWant) {
  WaitUntil([&] { return Threads(name) == nWant; }, 3000);
  return Threads(name);
}
// The thread count once the process is quiet (a sanitizer's helpers are up).
inline int QuietThreadCount() {
  std::thread([] {}).join();
  int n = Threads();
  for (int i = 0; i < 40 && WaitUntil([&] { return Threads() != n; }, 50); ++i) n = Threads();
  return n;
}
// Collects the debug strings while alive.
class DebugCapture {
 public:
  DebugCapture() {
    poshark::platform::SetDebugSink([this](const char* psz) {
      std::lock_guard<std::mutex> lock(lock_);
      texts_.emplace_back(psz ? psz : "");
    });
  }
  ~DebugCapture() { poshark::platform::SetDebugSink(nullptr); }
  int Count(const std::string& part) const {
    std::lock_guard<std::mutex> lock(lock_);
    int n = 0;
    for (const auto& text : texts_) n += text.find(part) != std::string::npos;
    return n;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> texts_;
};

// A listener with an empty command set selected and the gate open at once.
inline std::unique_ptr<RCPosHark> MakeListener(int nPOSNo, bool bIdleStop = false) {
  auto l = std::make_unique<RCPosHark>(nPOSNo);
  auto set = std::make_unique<RCCmdSet>();
  set->bStopEvent = bIdleStop;
  Access::SetCmdSet(*l, std::move(set));
  l->SetGateOpenTime(0);
  return l;
}

// The registry's entries by port: "State", "Name", "Pid", "Since".
inline std::map<int, std::map<std::string, std::string>> ReadRegistry(const std::string& home) {
  std::map<int, std::map<std::string, std::string>> reg;
  poshark::platform::ProfileReader in((home + "/ComPortRegistry.ini").c_str());
  for (const std::string& section : in.GetSectionNames())
    for (const std::string& key : in.GetKeyNames(section))
      reg[std::atoi(section.c_str() + 3)][key] = in.GetString(section, key, "");
  return reg;
}

// Reaches the intake's state and queues, and runs the writer on its own.
class PipelineProbe : public RCPosHark {
 public:
  explicit PipelineProbe(int nPos = 3) : RCPosHark(nPos) {}
  using RCPosHark::CurSet;
  using RCPosHark::WriteOut;
  ~PipelineProbe() override { StopWriter(); }

  // Loads the set and prepares what ListenStart prepares for a host feed.
  RCCmdSet* UseSet(const std::string& iniPath) {
    auto pSet = std::make_unique<RCCmdSet>();
    pSet->Load(iniPath);
    Access::SetCmdSet(*this, std::move(pSet));
    Access::Intake(*this).Prepare(CurSet()->bGraphMode);
    return CurSet();
  }
  int LineFill() { return Access::Intake(*this).LineFill(); }
  std::vector<std::string> TakeChunks() {
    std::vector<std::string> chunks;
    unsigned char byBuf[4001];
    for (int nLen = sizeof byBuf;
         m_AnalyzeQueue->GetAt(&nLen, byBuf, nullptr, nullptr, nullptr, nullptr, 0, true);
         nLen = sizeof byBuf)
      chunks.emplace_back(reinterpret_cast<char*>(byBuf), static_cast<size_t>(nLen));
    return chunks;
  }

  void StartWriter(LineOutFt pfn = &LineCollector::Callback) {
    CreateMyEvent();
    pfnLineOut = pfn;
    bWriteRun = true;
    writer_ = std::thread([this] { WriteThread(); });
  }
  void StopWriter() {
    if (!writer_.joinable()) return;
    hStopEvent->Set();
    bWriteRun = false;
    writer_.join();
  }
  void PushLine(const std::string& text, int nEvent) {
    SYSTEMTIME st{2026, 3, 0, 4, 0, 0, 0, 0};
    m_WriteQueue->Push(reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                       static_cast<int>(text.size()), &st, false, 0, nEvent);
    hWriteEvent->Set();
  }
  void SetGate(uint32_t dwOpenTickIn, bool bOpen) {
    dwOpenTick = dwOpenTickIn;
    bGateOpen = bOpen;
  }
  int Trim(char* psz) { return SpaceFilter(psz); }
  int WriteQueueCount() { return m_WriteQueue->GetCount(); }

 private:
  std::thread writer_;
};

}  // namespace kit
