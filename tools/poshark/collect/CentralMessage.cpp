#include "collect/CentralMessage.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <regex>

#include "settings/ForwardSettings.h"

namespace poshark::tool {

namespace {

using nlohmann::json;

bool IsText(const json& j, const char* key, size_t most) {
  return j.contains(key) && j[key].is_string() && !j[key].get_ref<const std::string&>().empty() &&
         j[key].get_ref<const std::string&>().size() <= most;
}

// A number from 0; the database keeps POS numbers and counts as integers.
bool IsCount(const json& j, const char* key, int64_t most = INT64_MAX) {
  return j.contains(key) && j[key].is_number_integer() && j[key].get<int64_t>() >= 0 &&
         j[key].get<int64_t>() <= most;
}

bool IsTime(const json& j, const char* key, int& month) {
  return j.contains(key) && j[key].is_string() && ReadMessageTime(j[key], month);
}

// A receipt: its number, times, flags and lines, each line with its time.
bool CheckReceipt(const json& j, CentralMessage& m, std::string& why) {
  int unused = 0;
  why = "a receipt needs id, pos, start, stop, transaction, void, alarms and lines";
  if (!IsCount(j, "id") || !IsCount(j, "pos", INT32_MAX) || !IsCount(j, "alarms", INT32_MAX))
    return false;
  if (!IsTime(j, "start", m.month)) return false;
  if (!j.contains("stop") || !(j["stop"].is_null() || IsTime(j, "stop", unused))) return false;
  if (!j.contains("transaction") || !j["transaction"].is_boolean()) return false;
  if (!j.contains("void") || !j["void"].is_boolean()) return false;
  if (!j.contains("lines") || !j["lines"].is_array()) return false;
  why = "every line of a receipt needs its time and text";
  for (const auto& line : j["lines"]) {
    if (!line.is_object() || !IsTime(line, "time", unused) || !line.contains("text") ||
        !line["text"].is_string())
      return false;
  }
  return true;
}

// A line or an alarm: its number, its receipt's, its time, its text.
bool CheckLine(const json& j, std::string& why) {
  int unused = 0;
  why = "a line needs id, receipt, pos, time and text";
  return IsCount(j, "id") && IsCount(j, "receipt") && IsCount(j, "pos", INT32_MAX) &&
         IsTime(j, "time", unused) && j.contains("text") && j["text"].is_string();
}

bool KindOf(const std::string& topic, CentralKind& kind) {
  const std::string last = topic.substr(topic.rfind('/') + 1);
  if (last == "receipt")
    kind = CentralKind::kReceipt;
  else if (last == "alarm")
    kind = CentralKind::kAlarm;
  else if (last == "line")
    kind = CentralKind::kLine;
  else if (last == "status")
    kind = CentralKind::kStatus;
  else
    return false;
  return true;
}

}  // namespace

bool ReadMessageTime(const std::string& text, int& month) {
  static const std::regex kForm(
      R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{1,6})?(Z|([+-])(\d{2}):(\d{2})))");
  std::smatch m;
  if (!std::regex_match(text, m, kForm)) return false;
  auto n = [&](int i) { return std::atoi(m[i].str().c_str()); };
  using namespace std::chrono;
  const year_month_day date{year{n(1)}, std::chrono::month{static_cast<unsigned>(n(2))},
                            day{static_cast<unsigned>(n(3))}};
  if (!date.ok() || n(4) > 23 || n(5) > 59 || n(6) > 60) return false;
  int offset = 0;
  if (m[8] != "Z") {
    if (n(10) > 23 || n(11) > 59) return false;
    offset = (m[9] == "-" ? -1 : 1) * (n(10) * 60 + n(11));
  }
  const auto utc = sys_days(date) + hours(n(4)) + minutes(n(5) - offset);
  const year_month_day utc_date{floor<days>(utc)};
  month = static_cast<int>(utc_date.year()) * 100 +
          static_cast<int>(static_cast<unsigned>(utc_date.month()));
  return true;
}

bool ReadCentralMessage(const std::string& topic, const std::string& payload, CentralMessage& m,
                        std::string& why) {
  if (!KindOf(topic, m.kind)) {
    why = "a topic ending in /receipt, /line, /alarm or /status";
    return false;
  }
  if (m.kind == CentralKind::kStatus) {
    const size_t end = topic.rfind('/');
    const size_t start = topic.rfind('/', end - 1);
    m.store = end == std::string::npos || end == 0 ? "" : topic.substr(start + 1, end - start - 1);
    why = "a status of online or offline under the store's topic";
    if (!ValidStore(m.store) || (payload != "online" && payload != "offline")) return false;
    m.doc = json{{"status", payload}};
    return true;
  }
  m.doc = json::parse(payload, nullptr, false);
  why = "a JSON object with store and channel";
  if (!m.doc.is_object() || !IsText(m.doc, "store", kMaxStoreBytes) ||
      !IsText(m.doc, "channel", kMaxChannelBytes) || !ValidStore(m.doc["store"]))
    return false;
  m.store = m.doc["store"];
  m.channel = m.doc["channel"];
  if (m.kind == CentralKind::kReceipt ? !CheckReceipt(m.doc, m, why) : !CheckLine(m.doc, why))
    return false;
  m.id = m.doc["id"].get<int64_t>();
  return true;
}

}  // namespace poshark::tool
