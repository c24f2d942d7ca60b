#include "collect/CopyRows.h"

namespace poshark::tool {

namespace {

using nlohmann::json;

// Text with COPY's special characters escaped: backslash, tab, newline,
// carriage return. The runs between them go in whole.
void AppendText(const std::string& text, std::string& out) {
  static constexpr char kSpecial[] = "\\\t\n\r";
  size_t from = 0;
  for (size_t at; (at = text.find_first_of(kSpecial, from)) != std::string::npos; from = at + 1) {
    out.append(text, from, at - from);
    out += '\\';
    out += text[at] == '\\' ? '\\' : text[at] == '\t' ? 't' : text[at] == '\n' ? 'n' : 'r';
  }
  out.append(text, from, std::string::npos);
}

// A value as `->>` gives it: a string's text, NULL for null or missing,
// else the JSON text (numbers, booleans).
void AppendValue(const json& j, const char* key, std::string& out) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null())
    out += "\\N";
  else if (it->is_string())
    AppendText(it->get_ref<const std::string&>(), out);
  else
    AppendText(it->dump(), out);
}

void AppendColumns(const json& j, std::initializer_list<const char*> keys, std::string& out) {
  for (const char* key : keys) {
    AppendValue(j, key, out);
    out += '\t';
  }
}

// The object without one key, as JSON text.
std::string DumpWithout(const json& j, const std::string& left_out) {
  std::string doc = "{";
  for (const auto& [key, value] : j.items()) {
    if (key == left_out) continue;
    if (doc.size() > 1) doc += ',';
    doc += json(key).dump() + ':' + value.dump();
  }
  return doc + '}';
}

}  // namespace

void AppendReceiptRow(const json& receipt, std::string& rows) {
  AppendColumns(receipt,
                {"store", "channel", "id", "pos", "start", "stop", "transaction", "void", "alarms"},
                rows);
  AppendText(DumpWithout(receipt, "lines"), rows);
  rows += '\t';
  const json& lines = receipt.at("lines");
  AppendText(lines.dump(), rows);
  rows += '\t';
  std::string words;
  for (const auto& line : lines) {
    if (!words.empty()) words += '\n';
    words += line.at("text").get_ref<const std::string&>();
  }
  AppendText(words, rows);
  rows += '\n';
}

}  // namespace poshark::tool
