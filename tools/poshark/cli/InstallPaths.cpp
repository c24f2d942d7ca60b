#include "cli/InstallPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

// Set by the build: the data folder relative to the executable's folder
// (e.g. "../share/poshark"), and the absolute data folder of the configured
// prefix as a last resort.
#ifndef POSHARK_TOOL_DATADIR_FROM_BIN
#define POSHARK_TOOL_DATADIR_FROM_BIN "../share/poshark"
#endif
#ifndef POSHARK_TOOL_DATADIR
#define POSHARK_TOOL_DATADIR "/usr/local/share/poshark"
#endif

namespace poshark::tool {

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string InstalledDataDir() {
  std::string beside = ExecutableDir();
  if (!beside.empty()) {
    std::string relative = beside + "/" + POSHARK_TOOL_DATADIR_FROM_BIN;
    char real[PATH_MAX];
    struct stat st {};
    if (realpath(relative.c_str(), real) != nullptr && stat(real, &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      return real;
    }
  }
  return POSHARK_TOOL_DATADIR;
}

}  // namespace poshark::tool
