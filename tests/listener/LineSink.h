// A line callback for the serial tests: collects every delivered text so a
// test can wait for a token to arrive. Tokens are chosen so that none is part
// of another, so the check holds however the pipeline groups the bytes.
#pragma once

#include <poshark/RCPosHark.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace line_sink {

inline std::mutex g_lock;
inline std::string g_text;  // every delivered text, each followed by '|'
inline int g_nCalls = 0;

inline unsigned short Collect(char* pszText, SYSTEMTIME*, bool, int, int, char*) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_text += pszText ? pszText : "";
  g_text += '|';
  ++g_nCalls;
  return 0;
}

inline void Clear() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_text.clear();
  g_nCalls = 0;
}

inline std::string Text() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_text;
}

inline bool Has(const std::string& token) { return Text().find(token) != std::string::npos; }

inline int Occurrences(const std::string& token) {
  std::string text = Text();
  int n = 0;
  for (size_t pos = text.find(token); pos != std::string::npos; pos = text.find(token, pos + 1)) {
    ++n;
  }
  return n;
}

// Waits up to nMaxMs for token to be delivered.
inline bool WaitFor(const std::string& token, int nMaxMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
  while (!Has(token)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace line_sink
