#include "output/TextRows.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace poshark::tool {

using namespace std::string_view_literals;

namespace {

const char kIndent[] = "        ";
// Width of a row's event column: the time stamps and the texts of all rows
// line up.
constexpr size_t kEventColumn = 8;

std::string ColourOn(uint32_t rgb) {
  unsigned r = rgb & 0xFF;
  unsigned g = (rgb >> 8) & 0xFF;
  unsigned b = (rgb >> 16) & 0xFF;
  // Dark text on light keys, light text on dark ones.
  bool light = r * 299 + g * 587 + b * 114 > 128000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "\x1b[48;2;%u;%u;%um\x1b[38;2;%s", r, g, b,
                light ? "0;0;0m" : "255;255;255m");
  return buf;
}

const char kColourOff[] = "\x1b[0m";

// Calls fn(start, end) for each printed line of a text: split at LF, CR
// dropped, no empty last line.
template <typename Fn>
void ForEachPrintedLine(const std::string& text, Fn&& fn) {
  bool any = false;
  for (size_t start = 0;;) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    size_t shown = end;
    while (shown > start && text[shown - 1] == '\r') --shown;
    if (lf == std::string::npos) {
      if (shown > start || !any) fn(start, shown);
      return;
    }
    fn(start, shown);
    any = true;
    start = lf + 1;
  }
}

// Starts a row: the time stamp and the event column, grown into the output
// at once. Answers where the row starts.
size_t BeginRow(std::string& out, std::string_view prefix, std::string_view event) {
  const size_t row = out.size();
  const size_t head = prefix.size() + std::max(event.size(), kEventColumn);
  out.resize(row + head);
  char* p = out.data() + row;
  std::memcpy(p, prefix.data(), prefix.size());
  std::memcpy(p + prefix.size(), event.data(), event.size());
  std::memset(p + prefix.size() + event.size(), ' ', head - prefix.size() - event.size());
  return row;
}

// Ends the row begun at `row`: spaces at its end dropped, then the newline.
void EndRow(std::string& out, size_t row) {
  size_t end = out.size();
  while (end > row && out[end - 1] == ' ') --end;
  if (end < out.size()) {
    out[end] = '\n';
    out.resize(end + 1);
  } else {
    out += '\n';
  }
}

// Colour of each byte of the line as printed: index into its ranges, or -1.
std::vector<int> PaintOf(const LineRecord& line) {
  std::vector<int> paint(line.raw.size(), -1);
  for (size_t i = 0; i < line.findings.ranges.size(); ++i) {
    const auto& r = line.findings.ranges[i];
    for (int k = std::max(0, r.start); k < r.end && k < static_cast<int>(paint.size()); ++k) {
      if (paint[static_cast<size_t>(k)] < 0) paint[static_cast<size_t>(k)] = static_cast<int>(i);
    }
  }
  return paint;
}

// Appends bytes start..end of the line's raw bytes, each run of one colour
// painted with it.
void AppendPainted(std::string& out, const LineRecord& line, const std::vector<int>& paint,
                   size_t start, size_t end, Decoder& decoder) {
  const std::string_view raw(line.raw);
  for (size_t k = start; k < end;) {
    const int c = paint[k];
    size_t j = k;
    while (j < end && paint[j] == c) ++j;
    if (c >= 0) out += ColourOn(line.findings.ranges[static_cast<size_t>(c)].color);
    decoder.AppendUtf8(out, raw.substr(k, j - k));
    if (c >= 0) out += kColourOff;
    k = j;
  }
}

void AppendFindings(std::string& out, const Findings& findings) {
  for (const auto& c : findings.captures) {
    out += kIndent;
    out += "capture " + c.name + " = ";
    AppendWithPictures(out, c.data);
    out += '\n';
  }
  for (const auto& a : findings.alarms) {
    out += kIndent;
    out += "ALARM   " + a.name;
    if (!a.data.empty()) {
      out += " = ";
      AppendWithPictures(out, a.data);
    }
    out += a.source == 2 ? " (colour key)\n" : "\n";
  }
}

}  // namespace

void AppendTextRows(std::string& out, const LineRecord& line, Decoder* paint) {
  char prefix[kLocalTimeRoom + 8];
  size_t prefix_len = WriteLocalTime(prefix, line.time);
  std::memcpy(prefix + prefix_len, line.dst ? " DST " : " std ", 5);
  prefix_len += 5;
  const std::string_view head(prefix, prefix_len);
  // Every row names its event: the named ones without building a string.
  std::string other_event;
  std::optional<std::string_view> named = NamedEvent(line.event);
  std::string_view event = named ? *named : std::string_view(other_event = EventName(line.event));
  const bool logical = !line.shown.empty();
  // Colour ranges count bytes as printed: a line in logical order is shown
  // without them.
  std::vector<int> painted;
  if (paint != nullptr && !logical && !line.findings.ranges.empty()) painted = PaintOf(line);
  // Painted rows are cut from the bytes, the others from the text: both
  // split at the same line feeds.
  const std::string& rows = !painted.empty() ? line.raw : logical ? line.shown : line.text;
  bool first = true;
  ForEachPrintedLine(rows, [&](size_t start, size_t end) {
    const std::string_view shown = first && !event.empty() ? event : "-"sv;
    first = false;
    const std::string_view piece = std::string_view(rows).substr(start, end - start);
    const size_t row = BeginRow(out, head, shown);
    if (!painted.empty()) {
      AppendPainted(out, line, painted, start, end, *paint);
    } else if (logical) {
      std::string pictured;
      AppendWithPictures(pictured, piece);
      out += LogicalOrder(pictured);
    } else {
      AppendWithPictures(out, piece);
    }
    EndRow(out, row);
  });
  AppendFindings(out, line.findings);
}

}  // namespace poshark::tool
