#include "platform/ProfileDocument.h"

#include "platform/Text.h"

namespace poshark::platform::profile {

Document::Document(std::vector<Line> lines) : lines_(std::move(lines)) {
  for (const Line& l : lines_) {
    if (!l.eol.empty()) {
      eol_ = l.eol;
      break;
    }
  }
}

std::string Document::Serialize() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

void Document::SetKey(const std::string& section, const std::string& key,
                      const std::string& value) {
  std::string text = key + "=" + value;
  size_t header = FindSection(section);
  if (header == kNone) {
    AppendSection(section, {text});
    return;
  }
  size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kKey && EqualNoCase(p.name, key)) {
      lines_[i].text = text;
      return;
    }
  }
  InsertLines(LastContentLine(header, end) + 1, {text});
}

void Document::DeleteKey(const std::string& section, const std::string& key) {
  size_t header = FindSection(section);
  if (header == kNone) return;
  size_t end = SectionEnd(header);
  for (size_t i = end; i-- > header + 1;) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kKey && EqualNoCase(p.name, key)) lines_.erase(LineAt(i));
  }
}

void Document::DeleteSection(const std::string& section) {
  for (size_t header; (header = FindSection(section)) != kNone;)
    lines_.erase(LineAt(header), LineAt(SectionEnd(header)));
}

void Document::ReplaceSection(const std::string& section, const std::vector<std::string>& entries) {
  size_t header = FindSection(section);
  if (header == kNone) {
    AppendSection(section, entries);
    return;
  }
  size_t end = SectionEnd(header);
  // Blank lines that separate it from the next section stay.
  size_t last = LastContentLine(header, end);
  lines_.erase(LineAt(header + 1), LineAt(last + 1));
  InsertLines(header + 1, entries);
}

size_t Document::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kSection && EqualNoCase(p.name, section)) return i;
  }
  return kNone;
}

size_t Document::SectionEnd(size_t header) const {
  for (size_t i = header + 1; i < lines_.size(); ++i)
    if (ParseLine(lines_[i].text).kind == LineKind::kSection) return i;
  return lines_.size();
}

size_t Document::LastContentLine(size_t header, size_t end) const {
  size_t last = header;
  for (size_t i = header + 1; i < end; ++i)
    if (!Trim(lines_[i].text).empty()) last = i;
  return last;
}

void Document::InsertLines(size_t at, const std::vector<std::string>& texts) {
  // The line before the new ones needs its own line break.
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol_;
  std::vector<Line> add;
  add.reserve(texts.size());
  for (const std::string& t : texts) add.push_back(Line{t, eol_});
  lines_.insert(LineAt(at), add.begin(), add.end());
}

void Document::AppendSection(const std::string& section, const std::vector<std::string>& entries) {
  if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
    if (lines_.back().eol.empty()) lines_.back().eol = eol_;
    lines_.push_back(Line{"", eol_});
  }
  std::vector<std::string> texts{"[" + section + "]"};
  texts.insert(texts.end(), entries.begin(), entries.end());
  InsertLines(lines_.size(), texts);
}

}  // namespace poshark::platform::profile
