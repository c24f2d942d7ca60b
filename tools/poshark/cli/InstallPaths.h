// Where an installed poshark finds what it ships with: the folder of the
// running executable (/proc/self/exe) and, relative to it, the data folder
// (the command sets, the example files). Nothing here depends on the prefix
// the build was configured with, so `cmake --install --prefix P` and the
// Debian package give a tool that finds its files wherever it was put.
#pragma once

#include <string>

namespace poshark::tool {

// Folder of the running executable; empty when /proc/self/exe cannot be read.
std::string ExecutableDir();

// The data folder: DATADIR/poshark reached from the executable's folder by
// the relative path between the configured bin and data folders (for
// P/bin/poshark that is P/share/poshark). When that folder does not exist
// (the tool was copied elsewhere), the configured absolute folder.
std::string InstalledDataDir();

}  // namespace poshark::tool
