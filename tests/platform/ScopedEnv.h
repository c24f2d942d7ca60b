// Sets or clears one environment variable for the life of the object.
#pragma once

#include <cstdlib>
#include <string>

class ScopedEnv {
 public:
  ScopedEnv(const char* pszName, const char* pszValue) : name_(pszName) {
    const char* pszOld = std::getenv(pszName);
    had_ = pszOld != nullptr;
    if (had_) old_ = pszOld;
    if (pszValue)
      setenv(pszName, pszValue, 1);
    else
      unsetenv(pszName);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};
