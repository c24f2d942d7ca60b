#include "platform/TrustedPath.h"

#include "platform/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace poshark::platform {

namespace {

constexpr uid_t kRootUser = 0;
constexpr pid_t kManagerPid = 1;

// Why one file or folder may not be trusted; empty when it may.
std::string WhyNotTrustedEntry(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return ErrnoText(path.c_str(), errno);
  if (st.st_uid != kRootUser) return path + " is not owned by root";
  bool sticky_folder = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  if (sticky_folder) return {};
  if ((st.st_mode & S_IWGRP) != 0) return path + " is writable by its group";
  if ((st.st_mode & S_IWOTH) != 0) return path + " is writable by others";
  return {};
}

}  // namespace

bool PluginFilesMustBeTrusted() {
  const char* invocation = std::getenv("INVOCATION_ID");
  const bool service = invocation != nullptr && *invocation != '\0' && ::getppid() == kManagerPid;
  return ::geteuid() == kRootUser || service;
}

std::string WhyNotTrusted(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) return ErrnoText(path.c_str(), errno);
  std::string entry = real;
  while (true) {
    std::string why = WhyNotTrustedEntry(entry);
    if (!why.empty()) return why;
    if (entry == "/") return {};
    size_t slash = entry.rfind('/');
    entry = slash == 0 ? "/" : entry.substr(0, slash);
  }
}

}  // namespace poshark::platform
