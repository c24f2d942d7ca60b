// Test support for the byte-to-line pipeline: temporary homes and work
// folders, a listener probe that reaches the intake's queue and buffers, and
// a line sink for the host callback.
#pragma once

#include <poshark/RCPosHark.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/RCCmdSet.h"
#include "listener/RCDataQueue.h"
#include "platform/Event.h"

namespace pipeline_test {

// A temporary folder tree, removed with the object.
class TempTree {
 public:
  TempTree() {
    char szTemplate[] = "/tmp/poshark-pipeline-XXXXXX";
    root_ = ::mkdtemp(szTemplate);
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string Path(const std::string& rel = "") const { return rel.empty() ? root_ : root_ + "/" + rel; }
  std::string Write(const std::string& rel, const std::string& content) const {
    std::string file = Path(rel);
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::string Read(const std::string& rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string root_;
};

// Points POSHARK_HOME and POSHARK_WORKDIR at fresh folders for one test.
class ScopedPlaces {
 public:
  ScopedPlaces() {
    ::setenv("POSHARK_HOME", home.Path().c_str(), 1);
    ::setenv("POSHARK_WORKDIR", work.Path().c_str(), 1);
  }
  ~ScopedPlaces() {
    ::unsetenv("POSHARK_HOME");
    ::unsetenv("POSHARK_WORKDIR");
  }
  // A command-set file in the work path's "Printer Commands" folder.
  void CommandSet(const std::string& file, const std::string& content) const {
    work.Write("Printer Commands/" + file, content);
  }

  TempTree home;
  TempTree work;
};

// CPU seconds used so far by the worker threads of listener nPos (named
// "pos<N>.<role>"), read from /proc/self/task/*/stat: other tests' threads
// do not count.
inline double ListenerCpuSeconds(int nPos) {
  const std::string prefix = "pos" + std::to_string(nPos) + ".";
  double dTicks = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name.rfind(prefix, 0) != 0) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    size_t nParen = text.rfind(')');
    if (nParen == std::string::npos) continue;
    std::istringstream fields(text.substr(nParen + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) dTicks += std::stod(field);  // utime, stime
    }
  }
  return dTicks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Line {
  std::string text;
  int nEvent;
  bool bDST;
  int nPOSNo;
  std::string extra;
  SYSTEMTIME time;
};

// Collects what the line callback hands over. One sink per process; each
// test resets it.
class LineSink {
 public:
  static LineSink& Get() {
    static LineSink sink;
    return sink;
  }
  static unsigned short Callback(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo,
                                 int nEvent, char* pExtra) {
    LineSink& sink = Get();
    std::lock_guard<std::mutex> lock(sink.mutex_);
    sink.lines_.push_back({pszText, nEvent, bDST, nPOSNo, pExtra, *pTime});
    sink.changed_.notify_all();
    return 0;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Waits until at least n lines arrived or the time is up; answers a copy.
  std::vector<Line> WaitFor(size_t n, int nMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return lines_.size() >= n; });
    return lines_;
  }
  // Waits until a line with this text arrived after the first nSkip lines.
  std::vector<Line> WaitForText(const std::string& text, size_t nSkip, int nMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(nMs), [&] {
      for (size_t i = nSkip; i < lines_.size(); ++i) {
        if (lines_[i].text == text) return true;
      }
      return false;
    });
    return lines_;
  }
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

// Reaches the listener's intake state and queues, and runs single workers.
class PipelineProbe : public RCPosHark {
 public:
  explicit PipelineProbe(int nPos = 3) : RCPosHark(nPos) {}
  ~PipelineProbe() override { StopWriter(); }

  RCCmdSet* UseSet(const std::string& iniPath) {
    pCurCmdSet = std::make_unique<RCCmdSet>();
    pCurCmdSet->Load(iniPath);
    m_WriteQueue->pCmdSet = pCurCmdSet.get();
    return pCurCmdSet.get();
  }
  RCCmdSet* Set() { return pCurCmdSet.get(); }

  // What ListenStart prepares for a host that feeds bytes itself.
  void PrepareIntake() {
    pLineBuf.reset(new unsigned char[4001]());
    nLineFill = 0;
    if (pCurCmdSet && pCurCmdSet->bGraphMode) {
      pGraphBuf.reset(new unsigned char[50001]());
    }
  }
  int LineFill() const { return nLineFill; }
  void SetDecode(bool bOn) { bSenderDecode = bOn; }

  std::vector<std::string> TakeChunks() {
    std::vector<std::string> chunks;
    unsigned char byBuf[4001];
    for (;;) {
      int nLen = sizeof byBuf;
      int nEvent = 0;
      if (!m_AnalyzeQueue->GetAt(&nLen, byBuf, nullptr, nullptr, nullptr, &nEvent, 0, true)) {
        return chunks;
      }
      chunks.emplace_back(reinterpret_cast<char*>(byBuf), static_cast<size_t>(nLen));
    }
  }

  // The writer thread alone, delivering to the sink.
  void StartWriter() {
    CreateMyEvent();
    hStopEvent->Reset();
    pfnLineOut = &LineSink::Callback;
    bWriteRun = true;
    writer_ = std::thread([this] { WriteThread(); });
  }
  void StopWriter() {
    if (writer_.joinable()) {
      hStopEvent->Set();
      bWriteRun = false;
      writer_.join();
    }
  }
  void PushLine(const std::string& text, int nEvent, bool bDST = false) {
    SYSTEMTIME st{};
    st.wYear = 2026;
    st.wMonth = 3;
    st.wDay = 4;
    m_WriteQueue->Push(reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                       static_cast<int>(text.size()), &st, bDST, 0, nEvent);
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

}  // namespace pipeline_test
