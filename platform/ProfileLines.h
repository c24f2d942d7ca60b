// The line model of profile (INI) files, shared by the reader and the
// writer: how a file splits into lines and what each line is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace poshark::platform::profile {

// One line of the file: its text and the line break that followed it.
struct Line {
  std::string text;
  std::string eol;
};

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes removed
};

// Blanks, tabs and carriage returns removed at both ends.
std::string_view Trim(std::string_view s);
std::string LowerCopy(std::string_view s);

ParsedLine ParseLine(std::string_view text);
std::vector<Line> SplitLines(const std::string& data);

// What a writer may store: no line breaks anywhere, no ']' in a section
// name, no '=' in a key, and nothing that would read back as a header or a
// comment.
bool HasLineBreak(std::string_view s);
bool ValidSection(std::string_view s);
bool ValidKey(std::string_view s);
bool ValidEntry(std::string_view s);

}  // namespace poshark::platform::profile
