// Directory listing in a stable order.
#pragma once

#include <string>
#include <vector>

namespace poshark::platform {

struct DirEntry {
  std::string name;  // file name, without the folder
  bool bDirectory;   // a directory (after following a symbolic link)
};

// The entries of a folder except "." and "..", sorted by name comparing
// ASCII letters case-insensitively (LessNoCase: names equal that way keep byte order),
// so that numbering by position is the same from run to run. Empty when the
// folder is missing or unreadable.
std::vector<DirEntry> ListDirectory(const std::string& folder);

}  // namespace poshark::platform
