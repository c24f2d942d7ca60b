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

// Threads whose name is exactly name, or (bPrefix) starts with it. Sanitizer
// runtimes start helper threads of their own, so tests count by name.
inline int Count(const std::string& name, bool bPrefix = false) {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) &&
        (bPrefix ? line.compare(0, name.size(), name) == 0 : line == name)) {
      ++n;
    }
  }
  return n;
}

// Every thread of the process.
inline int CountAll() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

// The thread count once the process is quiet: starts and joins one thread
// first, so that a sanitizer runtime's lazily started helper threads are up,
// then waits until two counts 50 ms apart agree.
inline int BaselineCountAll() {
  std::thread([] {}).join();
  int n = CountAll();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int nNow = CountAll();
    if (nNow == n) {
      break;
    }
    n = nNow;
  }
  return n;
}

// A joined thread may stay listed for an instant while the kernel reaps it;
// answers the count once it equals nWant, or the last count after ~3 s.
inline int SettledCountAll(int nWant) {
  int n = CountAll();
  for (int i = 0; i < 300 && n != nWant; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = CountAll();
  }
  return n;
}

inline int SettledCount(const std::string& name, int nWant, bool bPrefix = false) {
  int n = Count(name, bPrefix);
  for (int i = 0; i < 300 && n != nWant; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = Count(name, bPrefix);
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
