#include "collect/CentralMessage.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "settings/ForwardSettings.h"

namespace poshark::tool {

namespace {

using nlohmann::json;

// A time's fraction of a second has at most this many digits.
constexpr size_t kMaxFractionDigits = 6;

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
  // YYYY-MM-DDTHH:MM:SS, up to six digits of a second, then Z or +HH:MM:
  // read by position (a regular expression cost a tenth of the collector's
  // time, being asked for every line of every receipt).
  const char* t = text.c_str();
  auto digits = [&](size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (i >= text.size() || t[i] < '0' || t[i] > '9') return false;
      value = value * 10 + (t[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, unused = 0;
  if (text.size() < 20 || !digits(0, 4, y) || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' ||
      !digits(8, 2, d) || t[10] != 'T' || !digits(11, 2, h) || t[13] != ':' || !digits(14, 2, mi) ||
      t[16] != ':' || !digits(17, 2, sec))
    return false;
  size_t at = 19;
  if (t[at] == '.') {
    size_t end = at + 1;
    while (end < text.size() && end - at <= kMaxFractionDigits && digits(end, 1, unused)) ++end;
    if (end == at + 1 || (end < text.size() && t[end] >= '0' && t[end] <= '9')) return false;
    at = end;
  }
  int offset = 0, oh = 0, om = 0;
  if (at + 1 == text.size() && t[at] == 'Z') {
    offset = 0;
  } else if (at + 6 == text.size() && (t[at] == '+' || t[at] == '-') && digits(at + 1, 2, oh) &&
             t[at + 3] == ':' && digits(at + 4, 2, om)) {
    if (oh > 23 || om > 59) return false;
    offset = (t[at] == '-' ? -1 : 1) * (oh * 60 + om);
  } else {
    return false;
  }
  using namespace std::chrono;
  const year_month_day date{year{y}, std::chrono::month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok() || h > 23 || mi > 59 || sec > 60) return false;
  const auto utc = sys_days(date) + hours(h) + minutes(mi - offset);
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
  m.bytes = payload.size();
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
