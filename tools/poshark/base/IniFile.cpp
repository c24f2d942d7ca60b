#include "base/IniFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/Usage.h"

namespace poshark::tool {

namespace {
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
}  // namespace

bool ReadIniFile(const std::string& path, std::vector<IniSection>& sections, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = path + ": a folder; expected a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  sections.clear();
  std::string line;
  size_t total = 0;
  for (int number = 1; std::getline(in, line); ++number) {
    total += line.size() + 1;
    std::string where = path + ", line " + std::to_string(number) + ": ";
    if (total > kMaxIniBytes) {
      error = where + "the file is larger than " + std::to_string(kMaxIniBytes) + " bytes";
      return false;
    }
    // Editors on Windows begin a UTF-8 file with a byte-order mark.
    if (number == 1 && line.rfind(kUtf8Bom, 0) == 0) line.erase(0, sizeof kUtf8Bom - 1);
    if (line.find('\0') != std::string::npos) {
      error = where + "expected text, found a NUL byte";
      return false;
    }
    std::string_view text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text[0] == '[') {
      if (text.back() != ']') {
        error = where + "expected a section name between [ and ]";
        return false;
      }
      sections.push_back({std::string(Trim(text.substr(1, text.size() - 2))), number, {}});
      continue;
    }
    size_t eq = text.find('=');
    if (eq == std::string_view::npos || Trim(text.substr(0, eq)).empty()) {
      error = where + "expected KEY = VALUE, a [section] or a comment";
      return false;
    }
    if (sections.empty()) {
      error = where + "expected a [section] before the first key";
      return false;
    }
    sections.back().entries.push_back(
        {std::string(Trim(text.substr(0, eq))), std::string(Trim(text.substr(eq + 1))), number});
  }
  return true;
}

}  // namespace poshark::tool
