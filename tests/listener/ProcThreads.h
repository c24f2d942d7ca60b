// Counts the process's threads as the kernel lists them in /proc/self/task,
// by their names ("pos<N>.<role>" for a listener's workers).
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace proc_threads {

// Threads whose name is exactly name; all threads when name is empty.
inline int Count(const std::string& name = "") {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    if (name.empty()) {
      ++n;
      continue;
    }
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) {
      ++n;
    }
  }
  return n;
}

// A joined thread may stay listed for an instant while the kernel reaps it;
// answers the count once it equals nWant, or the last count after ~3 s.
inline int SettledCount(const std::string& name, int nWant) {
  int n = Count(name);
  for (int i = 0; i < 300 && n != nWant; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = Count(name);
  }
  return n;
}

// Waits (bounded, ~5 s) until pred holds.
inline bool WaitFor(const std::function<bool()>& pred, int nMaxMs = 5000) {
  for (int i = 0; i < nMaxMs / 5; ++i) {
    if (pred()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace proc_threads
