// Test fixture pieces: a fresh poshark home per test and a fake local clock.
#pragma once

#include <poshark/KeyRecords.h>

#include "platform/Clock.h"
#include "platform/Profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

namespace poshark::testing {

inline SYSTEMTIME MakeTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(y);
  st.wMonth = static_cast<uint16_t>(mo);
  st.wDay = static_cast<uint16_t>(d);
  st.wHour = static_cast<uint16_t>(h);
  st.wMinute = static_cast<uint16_t>(mi);
  st.wSecond = static_cast<uint16_t>(s);
  return st;
}

// Points POSHARK_HOME at a new empty folder for the life of the object.
class TempHome {
 public:
  TempHome() {
    char szTemplate[] = "/tmp/poshark-kw-XXXXXX";
    const char* pszDir = mkdtemp(szTemplate);
    EXPECT_NE(pszDir, nullptr);
    dir_ = pszDir ? pszDir : "/tmp";
    setenv("POSHARK_HOME", dir_.c_str(), 1);
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string FilterPath() const { return dir_ + "/POSKeyFilter.ini"; }
  std::string ReadFilterFile() const {
    std::ifstream f(FilterPath());
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }
  void WriteFilterFile(const std::string& text) const { std::ofstream(FilterPath()) << text; }
  // A value of the filter file as it is now; def when the key is missing.
  std::string Value(const char* pszSection, const char* pszKey, const char* pszDef = "") const {
    return platform::ProfileReader(FilterPath().c_str()).GetString(pszSection, pszKey, pszDef);
  }

 private:
  std::string dir_;
};

// Drives platform::GetLocalTime for the life of the object.
class FakeClock {
 public:
  FakeClock() {
    platform::SetLocalTimeSourceForTesting([this] {
      std::lock_guard<std::mutex> guard(lock_);
      return now_;
    });
  }
  ~FakeClock() { platform::SetLocalTimeSourceForTesting({}); }
  void Set(const SYSTEMTIME& st) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ = st;
  }

 private:
  std::mutex lock_;
  SYSTEMTIME now_{};
};

}  // namespace poshark::testing
