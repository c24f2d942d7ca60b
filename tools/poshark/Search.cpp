#include "Search.h"

#include <poshark/Home.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <optional>

#include "Cli.h"
#include "JournalDb.h"
#include "Output.h"
#include "SearchArgs.h"
#include "Text.h"

namespace poshark::tool {

namespace {

using Json = nlohmann::ordered_json;

// Lines shown under a receipt in the table.
constexpr int kShownLines = 3;
const char kIndent[] = "    ";

struct Receipt {
  int64_t id, pos, start_ms, alarms;
  std::optional<int64_t> stop_ms;
  std::string channel;
  bool voided, transaction;
};

Receipt ReadReceipt(const Statement& s) {
  Receipt r{s.Int(0),     s.Int(2),  s.Int(3),      s.Int(6),
            std::nullopt, s.Text(1), s.Int(5) != 0, s.Int(7) != 0};
  if (!s.IsNull(4)) r.stop_ms = s.Int(4);
  return r;
}

// What the catchers found on the receipt's lines, by line.
struct LineFindings {
  Json captures = Json::array(), alarms = Json::array(), ranges = Json::array();
};

std::map<int64_t, LineFindings> FindingsOf(Database& db, int64_t receipt) {
  std::map<int64_t, LineFindings> by_line;
  Statement c(db, "SELECT line, name, mdb_type, mdb_id, data FROM captures WHERE receipt = ?");
  for (c.Bind(1, receipt); c.Step();) {
    by_line[c.Int(0)].captures.push_back(
        {{"name", c.Text(1)}, {"mdb_type", c.Int(2)}, {"mdb_id", c.Int(3)}, {"data", c.Text(4)}});
  }
  Statement a(db, "SELECT line, name, key_index, source, data FROM alarms WHERE receipt = ?");
  for (a.Bind(1, receipt); a.Step();) {
    by_line[a.Int(0)].alarms.push_back(
        {{"name", a.Text(1)}, {"key_index", a.Int(2)}, {"source", a.Int(3)}, {"data", a.Text(4)}});
  }
  Statement r(db,
              "SELECT line, name, start_byte, end_byte, color, value1, value2 FROM ranges"
              " WHERE receipt = ?");
  for (r.Bind(1, receipt); r.Step();) {
    char color[8];
    auto rgb = static_cast<uint32_t>(r.Int(4));
    std::snprintf(color, sizeof color, "#%02x%02x%02x", rgb & 0xFF, (rgb >> 8) & 0xFF,
                  (rgb >> 16) & 0xFF);
    by_line[r.Int(0)].ranges.push_back({{"name", r.Text(1)},
                                        {"start", r.Int(2)},
                                        {"end", r.Int(3)},
                                        {"color", color},
                                        {"value1", r.Int(5)},
                                        {"value2", r.Int(6)}});
  }
  return by_line;
}

std::string ReceiptJson(Database& db, const Receipt& r) {
  Json j = Json::object();
  j["id"] = r.id;
  j["channel"] = r.channel;
  j["pos"] = r.pos;
  j["start"] = IsoTime(r.start_ms);
  j["stop"] = r.stop_ms ? Json(IsoTime(*r.stop_ms)) : Json();
  j["transaction"] = r.transaction;
  j["void"] = r.voided;
  j["alarms"] = r.alarms;
  j["lines"] = Json::array();
  auto findings = FindingsOf(db, r.id);
  Statement s(db, "SELECT id, time_ms, event, text, raw FROM lines WHERE receipt = ? ORDER BY id");
  for (s.Bind(1, r.id); s.Step();) {
    std::string event = EventName(static_cast<int>(s.Int(2)));
    LineFindings& f = findings[s.Int(0)];
    j["lines"].push_back({{"time", IsoTime(s.Int(1))},
                          {"event", event.empty() ? Json() : Json(event)},
                          {"text", s.Text(3)},
                          {"raw", Base64(s.Text(4))},
                          {"captures", f.captures},
                          {"alarms", f.alarms},
                          {"ranges", f.ranges}});
  }
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// "2024-03-14 09:41:02" of a time.
std::string Shown(int64_t ms) {
  std::string iso = IsoTime(ms).substr(0, 19);
  iso[10] = ' ';
  return iso;
}

std::string ReceiptRow(Database& db, const Receipt& r, const SearchQuery& q) {
  std::string flags = r.voided ? "VOID" : "";
  if (r.alarms > 0) flags += std::string(flags.empty() ? "" : ",") + "ALARM";
  if (!r.transaction) flags += std::string(flags.empty() ? "" : ",") + "NO-TRAN";
  char head[160];
  std::snprintf(head, sizeof head, "%-19s  %-12s %4lld  %-18s #%lld\n", Shown(r.start_ms).c_str(),
                r.channel.c_str(), static_cast<long long>(r.pos), flags.c_str(),
                static_cast<long long>(r.id));
  std::string out = head;
  // The lines that hold one of the words; without words, the first lines.
  std::string sql = "SELECT text FROM lines WHERE receipt = ? AND text <> ''";
  std::string any;
  for (const auto& w : q.words) any += (any.empty() ? "" : " OR ") + Phrase(w);
  if (!any.empty()) sql += " AND id IN (SELECT rowid FROM lines_fts WHERE lines_fts MATCH ?)";
  Statement s(db, sql + " ORDER BY id LIMIT " + std::to_string(kShownLines));
  s.Bind(1, r.id);
  if (!any.empty()) s.Bind(2, any);
  while (s.Step()) out += kIndent + s.Text(0) + "\n";
  return out;
}

}  // namespace

int RunSearch(int argc, char** argv) {
  SearchQuery q = ParseSearchArgs(argc, argv);
  if (q.help) {
    std::fputs(
        "Usage: poshark search [--journal FILE] [--channel NAME] [--pos N] [--since TIME]\n"
        "                      [--until TIME] [--void] [--alarms] [--json] [WORDS]\n"
        "Receipts of the journal (default: journal.sqlite in the poshark home), newest\n"
        "first, that hold every word (a quoted argument is a phrase; word* a prefix).\n"
        "TIME is local: a date YYYY-MM-DD or a date and time YYYY-MM-DDTHH:MM[:SS];\n"
        "--since takes receipts that start at or after it, --until those that start\n"
        "before it (a date alone: before the next day). --json: one receipt with its\n"
        "lines per output line.\n",
        stdout);
    return 0;
  }
  const std::string path =
      q.journal.empty() ? poshark::HomeFolder() + "/journal.sqlite" : q.journal;
  try {
    auto db = OpenJournal(path, false);
    RarestFirst(*db, q);
    Statement s(*db, ReceiptQuery(q));
    BindQuery(s, q);
    long long found = 0;
    if (!q.json)
      std::printf("%-19s  %-12s %4s  %-18s %s\n", "START", "CHANNEL", "POS", "FLAGS", "RECEIPT");
    while (s.Step()) {
      Receipt r = ReadReceipt(s);
      std::string out = q.json ? ReceiptJson(*db, r) + "\n" : ReceiptRow(*db, r, q);
      if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return kExitFailure;
      ++found;
    }
    if (!q.json) std::printf("%lld receipts\n", found);
  } catch (const JournalError& e) {
    std::fprintf(stderr, "poshark: %s\n", e.what());
    return kExitFailure;
  }
  return std::fflush(stdout) == 0 ? 0 : kExitFailure;
}

}  // namespace poshark::tool
