// Shared pieces of the listener tests: a poshark home and work folder of the
// test's own, a sink for the host's line callback, bounded waits, thread,
// descriptor and CPU figures read from /proc, a capture of the debug strings,
// and a probe that runs the intake and the writer on their own.
#pragma once

#include <poshark/RCPosHark.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestAccess.h"
#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/LineIntake.h"
#include "listener/RCDataQueue.h"
#include "platform/Debug.h"
#include "platform/Event.h"

namespace kit {

// A temporary folder made POSHARK_HOME and POSHARK_WORKDIR for the life of
// the object.
class Home {
 public:
  Home() {
    char szTemplate[] = "/tmp/poshark-listener-XXXXXX";
    path_ = ::mkdtemp(szTemplate) ? szTemplate : "";
    ::setenv("POSHARK_HOME", path_.c_str(), 1);
    ::setenv("POSHARK_WORKDIR", path_.c_str(), 1);
  }
  ~Home() {
    ::unsetenv("POSHARK_HOME");
    ::unsetenv("POSHARK_WORKDIR");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;

  std::string Path(const std::string& rel = "") const {
    return rel.empty() ? path_ : path_ + "/" + rel;
  }
  std::string Write(const std::string& rel, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path());
    std::ofstream(Path(rel), std::ios::binary | std::ios::trunc) << content;
    return Path(rel);
  }
  std::string Read(const std::string& rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void CommandSet(const std::string& file, const std::string& content) const {
    Write("Printer Commands/" + file, content);
  }
  // Maps COM<n> to a device path in ComPorts.ini (the whole map is rewritten).
  void MapPorts(const std::map<int, std::string>& ports, int nSettleMs = -1) const {
    std::ostringstream out;
    out << "[Ports]\n";
    for (const auto& [nPort, path] : ports) out << "COM" << nPort << "=" << path << "\n";
    if (nSettleMs >= 0) out << "[Resume]\nSettleTime=" << nSettleMs << "\n";
    Write("ComPorts.ini", out.str());
  }

 private:
  std::string path_;
};

struct Line {
  std::string text;
  int nEvent;
  bool bDST;
  int nPOSNo;
  std::string extra;
  SYSTEMTIME time;
};

// What the line callback hands over. One sink per process; tests reset it.
class Sink {
 public:
  static Sink& Get() {
    static Sink sink;
    return sink;
  }
  static unsigned short Callback(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo,
                                 int nEvent, char* pExtra) {
    Sink& sink = Get();
    std::lock_guard<std::mutex> lock(sink.mutex_);
    sink.lines_.push_back({pszText ? pszText : "", nEvent, bDST, nPOSNo, pExtra ? pExtra : "",
                           pTime ? *pTime : SYSTEMTIME{}});
    sink.changed_.notify_all();
    return 0;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Waits (bounded) until pred holds for the lines; answers a copy of them.
  std::vector<Line> WaitUntil(const std::function<bool(const std::vector<Line>&)>& pred,
                              int nMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return pred(lines_); });
    return lines_;
  }
  std::vector<Line> WaitFor(size_t n, int nMs = 10000) {
    return WaitUntil([n](const std::vector<Line>& l) { return l.size() >= n; }, nMs);
  }
  // Waits for a line with this text after the first nSkip lines.
  std::vector<Line> WaitForText(const std::string& text, size_t nSkip = 0, int nMs = 10000) {
    return WaitUntil(
        [&](const std::vector<Line>& l) {
          for (size_t i = nSkip; i < l.size(); ++i) {
            if (l[i].text == text) return true;
          }
          return false;
        },
        nMs);
  }

  // Serial tests do not know how the reads group the bytes into lines; they
  // look for tokens (none part of another) in all texts joined by '|'.
  static int Count(const std::vector<Line>& lines, const std::string& token) {
    std::string all;
    for (const Line& l : lines) all += l.text + "|";
    int n = 0;
    for (size_t pos = all.find(token); pos != std::string::npos; pos = all.find(token, pos + 1))
      ++n;
    return n;
  }
  int Count(const std::string& token) { return Count(Lines(), token); }
  bool WaitForToken(const std::string& token, int nMs = 10000) {
    return Count(WaitUntil([&](const std::vector<Line>& l) { return Count(l, token) > 0; }, nMs),
                 token) > 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

// Polls pred every 2 ms for up to nMaxMs.
inline bool WaitUntil(const std::function<bool()>& pred, int nMaxMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline int CountEntries(const char* pszDir) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(pszDir, ec);
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}
inline int CountFds() { return CountEntries("/proc/self/fd"); }

// Threads of this process by the name the kernel lists ("pos<N>.<role>" for
// a listener's workers): exactly name, or every name starting with it when
// it ends in '.', or all threads when it is empty. Sanitizer runtimes start
// threads of their own, so most checks count by name.
inline int Threads(const std::string& name = "") {
  if (name.empty()) return CountEntries("/proc/self/task");
  bool bPrefix = name.back() == '.';
  int n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && (bPrefix ? line.rfind(name, 0) == 0 : line == name)) ++n;
  }
  return n;
}

// A joined thread may stay listed for an instant while the kernel reaps it:
// answers the count once it equals nWant, or the last count after ~3 s.
inline int SettledThreads(const std::string& name, int nWant) {
  WaitUntil([&] { return Threads(name) == nWant; }, 3000);
  return Threads(name);
}

// The thread count once the process is quiet: one thread started and joined
// first, so that a sanitizer runtime's lazily started helpers are up.
inline int QuietThreadCount() {
  std::thread([] {}).join();
  int n = Threads();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int nNow = Threads();
    if (nNow == n) break;
    n = nNow;
  }
  return n;
}

// CPU seconds used so far by the workers of listener nPos ("pos<N>.<role>"),
// from /proc/self/task/*/schedstat: other tests' threads do not count.
inline double ListenerCpuSeconds(int nPos) {
  const std::string prefix = "pos" + std::to_string(nPos) + ".";
  double dNs = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::ifstream sched(entry.path() / "schedstat");
    std::string name;
    double dTaskNs = 0;
    if (std::getline(comm, name) && name.rfind(prefix, 0) == 0 && sched >> dTaskNs) dNs += dTaskNs;
  }
  return dNs / 1e9;
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

inline void Feed(RCPosHark& listener, std::string bytes) {
  listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
}

// Reaches the intake's state and queues, and runs the writer on its own.
class PipelineProbe : public RCPosHark {
 public:
  explicit PipelineProbe(int nPos = 3) : RCPosHark(nPos) {}
  ~PipelineProbe() override { StopWriter(); }

  // Loads the set and prepares what ListenStart prepares for a host feed.
  RCCmdSet* UseSet(const std::string& iniPath) {
    auto pSet = std::make_unique<RCCmdSet>();
    pSet->Load(iniPath);
    RCPosHarkTestAccess::SetCmdSet(*this, std::move(pSet));
    RCPosHarkTestAccess::Intake(*this).Prepare(Set()->bGraphMode);
    return Set();
  }
  RCCmdSet* Set() { return CurSet(); }
  int LineFill() { return RCPosHarkTestAccess::Intake(*this).LineFill(); }

  std::vector<std::string> TakeChunks() {
    std::vector<std::string> chunks;
    unsigned char byBuf[4001];
    for (;;) {
      int nLen = sizeof byBuf;
      if (!m_AnalyzeQueue->GetAt(&nLen, byBuf, nullptr, nullptr, nullptr, nullptr, 0, true)) {
        return chunks;
      }
      chunks.emplace_back(reinterpret_cast<char*>(byBuf), static_cast<size_t>(nLen));
    }
  }

  void StartWriter() {
    CreateMyEvent();
    pfnLineOut = &Sink::Callback;
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
    SYSTEMTIME st{};
    st.wYear = 2026;
    st.wMonth = 3;
    st.wDay = 4;
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
