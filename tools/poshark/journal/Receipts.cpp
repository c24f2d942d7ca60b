#include "journal/Receipts.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>

#include "base/Text.h"
#include "journal/JournalDb.h"
#include "journal/SearchArgs.h"
#include "output/JsonRow.h"
#include "output/LineRecord.h"

namespace poshark::tool {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kReceiptColumns[] =
    "SELECT id, channel, pos, start_ms, stop_ms, voided, alarms, transact FROM receipts";

void HeadInto(Json& j, const Receipt& r) {
  j["id"] = r.id;
  j["channel"] = r.channel;
  j["pos"] = r.pos;
  j["start"] = IsoTimeOf(r.start_ms);
  j["stop"] = r.stop_ms ? Json(IsoTimeOf(*r.stop_ms)) : Json();
  j["transaction"] = r.transaction;
  j["void"] = r.voided;
  j["alarms"] = r.alarms;
}

constexpr char kLineColumns[] = "SELECT id, time_ms, dst, event, text, raw, receipt FROM lines";

// The line of a row of kLineColumns, in receipt r.
LineRecord ReadLine(const Statement& s, const Receipt& r, Findings&& findings) {
  LineRecord line;
  line.channel = r.channel;
  line.pos = static_cast<int>(r.pos);
  line.time_ms = s.Int(1);
  LocalTimeOf(line.time_ms, line.time, line.dst);
  line.dst = s.Int(2) != 0;  // settles the hour that occurs twice
  line.event = static_cast<int>(s.Int(3));
  line.text = s.Text(4);
  line.raw = s.Text(5);
  line.findings = std::move(findings);
  return line;
}

// The first row's receipt; the statement is reset at once, so that a kept
// one holds no read transaction (and no snapshot of the journal) open.
std::optional<Receipt> First(Statement& s) {
  if (!s.Step()) return std::nullopt;
  Receipt r = ReadReceipt(s);
  s.Reset();
  return r;
}

// What the catchers found on the receipt's lines, by line.
std::map<int64_t, Findings> FindingsOf(Database& db, int64_t receipt) {
  std::map<int64_t, Findings> by_line;
  Statement& c =
      db.Cached("SELECT line, name, mdb_type, mdb_id, data FROM captures WHERE receipt = ?");
  for (c.Bind(1, receipt); c.Step();) {
    by_line[c.Int(0)].captures.push_back(
        {c.Text(1), static_cast<int>(c.Int(2)), static_cast<int>(c.Int(3)), c.Text(4)});
  }
  Statement& a =
      db.Cached("SELECT line, name, key_index, source, data FROM alarms WHERE receipt = ?");
  for (a.Bind(1, receipt); a.Step();) {
    by_line[a.Int(0)].alarms.push_back(
        {a.Text(1), static_cast<int>(a.Int(2)), static_cast<int>(a.Int(3)), a.Text(4)});
  }
  Statement& r = db.Cached(
      "SELECT line, name, start_byte, end_byte, color, value1, value2 FROM ranges"
      " WHERE receipt = ?");
  for (r.Bind(1, receipt); r.Step();) {
    by_line[r.Int(0)].ranges.push_back({r.Text(1), static_cast<int>(r.Int(2)),
                                        static_cast<int>(r.Int(3)), static_cast<uint32_t>(r.Int(4)),
                                        static_cast<uint32_t>(r.Int(5)),
                                        static_cast<uint32_t>(r.Int(6))});
  }
  return by_line;
}

}  // namespace

Receipt ReadReceipt(const Statement& s) {
  Receipt r{s.Int(0),     s.Int(2),  s.Int(3),      s.Int(6),
            std::nullopt, s.Text(1), s.Int(5) != 0, s.Int(7) != 0};
  if (!s.IsNull(4)) r.stop_ms = s.Int(4);
  return r;
}

std::optional<Receipt> ReceiptById(Database& db, int64_t id) {
  Statement& s = db.Cached(std::string(kReceiptColumns) + " WHERE id = ?");
  s.Bind(1, id);
  return First(s);
}

std::optional<Receipt> ReceiptAt(Database& db, const std::string& channel, int64_t time_ms) {
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  if (time_ms > now_ms + kReceiptAtSlackMs) return std::nullopt;  // a time yet to come
  Statement s(db,
              std::string(kReceiptColumns) +
                  " WHERE channel = ? AND start_ms <= ? ORDER BY start_ms DESC, id DESC LIMIT 1");
  s.Bind(1, channel).Bind(2, time_ms);
  // Receipts of one channel follow one another: when the latest that began
  // before the time had closed well before it, none was open then.
  auto r = First(s);
  if (r && r->stop_ms && *r->stop_ms + kReceiptAtSlackMs < time_ms) return std::nullopt;
  return r;
}

std::string ReceiptHeadJson(const Receipt& r) {
  Json j = Json::object();
  HeadInto(j, r);
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ReceiptJson(Database& db, const Receipt& r) {
  std::string doc = ReceiptHeadJson(r);
  doc.pop_back();  // the head's closing brace: the lines follow
  doc += R"(,"lines":[)";
  auto findings = FindingsOf(db, r.id);
  Statement& s = db.Cached(std::string(kLineColumns) + " WHERE receipt = ? ORDER BY id");
  bool first = true;
  for (s.Bind(1, r.id); s.Step(); first = false) {
    if (!first) doc += ',';
    AppendJsonRow(doc, ReadLine(s, r, std::move(findings[s.Int(0)])), true);
  }
  doc += "]}";
  return doc;
}

std::optional<LineRow> LineRowById(Database& db, int64_t id) {
  // Its own statement: the look-ups below take cached ones.
  Statement s(db, std::string(kLineColumns) + " WHERE id = ?");
  if (!s.Bind(1, id).Step()) return std::nullopt;
  auto r = ReceiptById(db, s.Int(6));
  if (!r) return std::nullopt;
  LineRow row{*r, {}};
  AppendJsonRow(row.json, ReadLine(s, *r, std::move(FindingsOf(db, r->id)[id])), true);
  return row;
}

std::vector<std::string> MatchingLines(Database& db, int64_t receipt, const SearchQuery& q,
                                       int limit) {
  std::string sql = "SELECT text FROM lines WHERE receipt = ?1 AND text <> ''";
  std::string any;
  for (size_t i = 0; i < q.words.size(); ++i) any += (any.empty() ? "" : " OR ") + MatchOf(q, i);
  if (!any.empty()) sql += " AND id IN (" + LinesMatching("?1", "?2") + ")";
  Statement& s = db.Cached(sql + " ORDER BY id LIMIT " + std::to_string(limit));
  s.Bind(1, receipt);
  if (!any.empty()) s.Bind(2, any);
  std::vector<std::string> texts;
  while (s.Step()) texts.push_back(s.Text(0));
  return texts;
}

}  // namespace poshark::tool
