#include "platform/DynLib.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <utility>

namespace poshark::platform {

DynLib::DynLib(DynLib&& other) noexcept
    : pHandle_(std::exchange(other.pHandle_, nullptr)), strError_(std::move(other.strError_)) {}

DynLib& DynLib::operator=(DynLib&& other) noexcept {
  if (this != &other) {
    Close();
    pHandle_ = std::exchange(other.pHandle_, nullptr);
    strError_ = std::move(other.strError_);
  }
  return *this;
}

bool DynLib::Open(const std::string& path) {
  Close();
  strError_.clear();
  if (path.empty()) {
    strError_ = "empty library path";
    return false;
  }
  pHandle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!pHandle_) {
    const char* pszError = ::dlerror();
    strError_ = pszError ? pszError : "dlopen failed";
    return false;
  }
  return true;
}

void DynLib::Close() {
  if (pHandle_) {
    ::dlclose(pHandle_);
    pHandle_ = nullptr;
  }
}

void* DynLib::Symbol(const char* pszName) const {
  if (!pHandle_ || !pszName) {
    return nullptr;
  }
  return ::dlsym(pHandle_, pszName);
}

std::string DynLib::FolderOf(const void* pAddress) {
  Dl_info info{};
  if (!::dladdr(pAddress, &info) || !info.dli_fname || !*info.dli_fname) {
    return {};
  }
  // The main program is reported by the name it was started under, which
  // may be relative or bare.
  std::string path = info.dli_fname;
  if (path.front() != '/') {
    char szReal[PATH_MAX];
    if (::realpath(path.c_str(), szReal)) {
      path = szReal;
    } else {
      ssize_t nLen = ::readlink("/proc/self/exe", szReal, sizeof szReal - 1);
      if (nLen <= 0) {
        return {};
      }
      path.assign(szReal, static_cast<size_t>(nLen));
    }
  }
  size_t nSlash = path.rfind('/');
  if (nSlash == std::string::npos) {
    return {};
  }
  return nSlash == 0 ? std::string("/") : path.substr(0, nSlash);
}

}  // namespace poshark::platform
