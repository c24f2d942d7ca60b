// The lines of one profile file, edited in place: every line a change does
// not concern stays as it was, with its own line break.
#pragma once

#include "platform/ProfileLines.h"

#include <cstddef>
#include <string>
#include <vector>

namespace poshark::platform::profile {

class Document {
 public:
  explicit Document(std::vector<Line> lines);

  std::string Serialize() const;

  // The first section of that name receives the key; a new section is
  // appended when there is none.
  void SetKey(const std::string& section, const std::string& key, const std::string& value);
  void DeleteKey(const std::string& section, const std::string& key);
  // Every section of that name goes, so that no later duplicate surfaces.
  void DeleteSection(const std::string& section);
  void ReplaceSection(const std::string& section, const std::vector<std::string>& entries);

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t FindSection(const std::string& section) const;
  size_t SectionEnd(size_t header) const;
  // The last line of the section that is not blank (the header when none).
  size_t LastContentLine(size_t header, size_t end) const;
  void InsertLines(size_t at, const std::vector<std::string>& texts);
  void AppendSection(const std::string& section, const std::vector<std::string>& entries);
  std::vector<Line>::iterator LineAt(size_t i) {
    return lines_.begin() + static_cast<std::ptrdiff_t>(i);
  }

  std::vector<Line> lines_;
  std::string eol_ = "\n";  // the file's first line break, for new lines
};

}  // namespace poshark::platform::profile
