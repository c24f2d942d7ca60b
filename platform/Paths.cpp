#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace poshark::platform {

namespace {

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace

std::string PosharkHome() {
  const char* pszHome = std::getenv("POSHARK_HOME");
  if (pszHome && *pszHome) {
    return WithoutTrailingSlash(pszHome);
  }
  return kDefaultHome;
}

std::string WorkPath() {
  const char* pszWork = std::getenv("POSHARK_WORKDIR");
  if (pszWork && *pszWork) {
    return WithoutTrailingSlash(pszWork);
  }
  char szExe[4096];
  ssize_t nLen = ::readlink("/proc/self/exe", szExe, sizeof szExe - 1);
  if (nLen <= 0) {
    return ".";
  }
  std::string exe(szExe, static_cast<size_t>(nLen));
  size_t nSlash = exe.rfind('/');
  if (nSlash == std::string::npos) {
    return ".";
  }
  return nSlash == 0 ? std::string("/") : exe.substr(0, nSlash);
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) {
    return b;
  }
  if (b.empty()) {
    return a;
  }
  bool bASlash = a.back() == '/';
  bool bBSlash = b.front() == '/';
  if (bASlash && bBSlash) {
    return a + b.substr(1);
  }
  if (bASlash || bBSlash) {
    return a + b;
  }
  return a + "/" + b;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace poshark::platform
