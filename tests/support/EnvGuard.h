// Sets or clears one environment variable for the life of the object and
// puts back what was there before.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace poshark::testing {

class EnvGuard {
 public:
  // A null value clears the variable.
  EnvGuard(const char* pszName, const char* pszValue) : name_(pszName) {
    if (const char* pszOld = std::getenv(pszName)) old_ = pszOld;
    Set(pszValue);
  }
  ~EnvGuard() { Set(old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  void Set(const char* pszValue) {
    pszValue ? ::setenv(name_.c_str(), pszValue, 1) : ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace poshark::testing
