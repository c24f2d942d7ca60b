// Collects what a listener hands to the host's line callback, with bounded
// waits. The callback is a plain function, so one collector at a time is the
// current one: it receives every line from its construction to its end.
#pragma once

#include <poshark/RCPosHark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace poshark::testing {

struct Line {
  std::string text;
  int nEvent = 0;
  bool bDST = false;
  std::string extra;
  SYSTEMTIME time{};
};

class LineCollector {
 public:
  LineCollector() {
    std::lock_guard<std::mutex> lock(s_currentLock);
    s_current = this;
  }
  ~LineCollector() {
    std::lock_guard<std::mutex> lock(s_currentLock);
    if (s_current == this) s_current = nullptr;
  }
  LineCollector(const LineCollector&) = delete;
  LineCollector& operator=(const LineCollector&) = delete;

  // Pass this to ListenStart.
  static unsigned short Callback(char* pszText, SYSTEMTIME* pTime, bool bDST, int, int nEvent,
                                 char* pExtra) {
    std::lock_guard<std::mutex> current(s_currentLock);
    if (!s_current) return 0;
    std::lock_guard<std::mutex> lock(s_current->mutex_);
    s_current->lines_.push_back({pszText ? pszText : "", nEvent, bDST, pExtra ? pExtra : "",
                                 pTime ? *pTime : SYSTEMTIME{}});
    s_current->changed_.notify_all();
    return 0;
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<Line> Lines() {
    return WaitUntil([](const std::vector<Line>&) { return true; });
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const Line& line : Lines()) texts.push_back(line.text);
    return texts;
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
  // Waits for a line with exactly this text after the first nSkip lines.
  std::vector<Line> WaitForText(const std::string& text, size_t nSkip = 0) {
    return WaitUntil([&](const std::vector<Line>& l) {
      return std::any_of(l.begin() + std::min(nSkip, l.size()), l.end(),
                         [&](const Line& line) { return line.text == text; });
    });
  }

  // How often a token stands in all texts joined by '|': for streams whose
  // split into lines depends on how reads group the bytes.
  static int Count(const std::vector<Line>& lines, const std::string& token) {
    std::string all;
    for (const Line& l : lines) all += l.text + "|";
    int n = 0;
    for (size_t pos = all.find(token); pos != std::string::npos; pos = all.find(token, pos + 1))
      ++n;
    return n;
  }
  int Count(const std::string& token) { return Count(Lines(), token); }
  bool WaitForToken(const std::string& token) {
    return Count(WaitUntil([&](const std::vector<Line>& l) { return Count(l, token) > 0; }),
                 token) > 0;
  }

 private:
  static inline std::mutex s_currentLock;
  static inline LineCollector* s_current = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

// Hands bytes to a listener as its host would.
inline void Feed(RCPosHark& listener, std::string bytes) {
  listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
}

// Polls pred every 2 ms for up to nMaxMs, for states no callback announces.
inline bool WaitUntil(const std::function<bool()>& pred, int nMaxMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace poshark::testing
