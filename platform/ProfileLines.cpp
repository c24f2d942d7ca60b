#include "platform/ProfileLines.h"

namespace poshark::platform::profile {
namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsTrimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsTrimmed(s.back())) s.remove_suffix(1);
  return s;
}

std::string LowerCopy(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

ParsedLine ParseLine(std::string_view text) {
  ParsedLine p;
  // Text after a NUL byte does not count, as in a C string.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return p;
  if (t.front() == '[') {
    t.remove_prefix(1);
    size_t close = t.find(']');
    p.kind = LineKind::kSection;
    p.name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
    return p;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = LineKind::kKey;
  p.name = Trim(t.substr(0, eq));
  std::string_view v = Trim(t.substr(eq + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  p.value = v;
  return p;
}

std::vector<Line> SplitLines(const std::string& data) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    Line line;
    if (nl == std::string::npos) {
      line.text = data.substr(pos);
      pos = data.size();
    } else {
      size_t end = nl;
      if (end > pos && data[end - 1] == '\r') --end;
      line.text = data.substr(pos, end - pos);
      line.eol = data.substr(end, nl + 1 - end);
      pos = nl + 1;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

bool HasLineBreak(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

bool ValidSection(std::string_view s) {
  return !Trim(s).empty() && !HasLineBreak(s) && s.find(']') == std::string_view::npos;
}

bool ValidKey(std::string_view s) {
  std::string_view t = Trim(s);
  return !t.empty() && !HasLineBreak(s) && s.find('=') == std::string_view::npos &&
         t.front() != '[' && t.front() != ';';
}

bool ValidEntry(std::string_view s) {
  std::string_view t = Trim(s);
  return !HasLineBreak(s) && (t.empty() || t.front() != '[');
}

}  // namespace poshark::platform::profile
