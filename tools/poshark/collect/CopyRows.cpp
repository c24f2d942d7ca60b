#include "collect/CopyRows.h"

namespace poshark::tool {

namespace {

using nlohmann::json;

// Text with COPY's special characters escaped: backslash, tab, newline,
// carriage return.
void AppendText(const std::string& text, std::string& out) {
  for (char ch : text) {
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += ch;
    }
  }
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

void AppendReceiptRows(const json& receipt, std::string& receipts, std::string& lines) {
  AppendColumns(receipt,
                {"store", "channel", "id", "pos", "start", "stop", "transaction", "void", "alarms"},
                receipts);
  AppendText(DumpWithout(receipt, "lines"), receipts);
  receipts += '\n';
  std::string head;
  AppendColumns(receipt, {"store", "channel", "id", "start"}, head);
  int n = 0;
  for (const auto& line : receipt.at("lines")) {
    lines += head + std::to_string(++n) + '\t';
    AppendColumns(line, {"time", "event", "text"}, lines);
    AppendText(line.dump(), lines);
    lines += '\n';
  }
}

}  // namespace poshark::tool
