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
    if (pszValue)
      ::setenv(pszName, pszValue, 1);
    else
      ::unsetenv(pszName);
  }
  ~EnvGuard() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace poshark::testing
