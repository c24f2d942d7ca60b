// A small INI reader that keeps where each entry stood, so that the service
// configuration can name the line of a bad value. Keys and section names
// compare without regard to case.
#pragma once

#include <string>
#include <vector>

namespace poshark::tool {

struct IniEntry {
  std::string key;
  std::string value;
  int line = 0;
};

struct IniSection {
  std::string name;  // as written between the brackets, trimmed
  int line = 0;
  std::vector<IniEntry> entries;
};

// Largest configuration file read; a larger one is refused.
inline constexpr size_t kMaxIniBytes = 1024 * 1024;

// Reads the file. Lines are `[section]`, `key = value`, empty, or comments
// starting with `;` or `#`; a UTF-8 byte-order mark at the start is skipped.
// On failure (a folder, a NUL byte, a line of another form) answers false
// with `error` naming the file and the line.
bool ReadIniFile(const std::string& path, std::vector<IniSection>& sections, std::string& error);

}  // namespace poshark::tool
