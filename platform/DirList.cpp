#include "platform/DirList.h"

#include "platform/Text.h"

#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cstring>

namespace poshark::platform {

std::vector<DirEntry> ListDirectory(const std::string& folder) {
  std::vector<DirEntry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return entries;
  while (struct dirent* de = ::readdir(dir)) {
    if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
    DirEntry entry{de->d_name, false};
    if (de->d_type == DT_DIR) {
      entry.bDirectory = true;
    } else if (de->d_type == DT_LNK || de->d_type == DT_UNKNOWN) {
      struct stat st {};
      std::string full = folder + "/" + entry.name;
      entry.bDirectory = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return LessNoCase(a.name, b.name); });
  return entries;
}

}  // namespace poshark::platform
