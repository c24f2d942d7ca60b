// Receipts read back from the journal, for `poshark search` and the live
// page: the row of a receipt, its lines with what the catchers found, and
// the lines that hold the words of a search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace poshark::tool {

class Database;
class Statement;
struct SearchQuery;

struct Receipt {
  int64_t id, pos, start_ms, alarms;
  std::optional<int64_t> stop_ms;
  std::string channel;
  bool voided, transaction;
};

// The receipt of a row of the columns ReceiptQuery selects.
Receipt ReadReceipt(const Statement& s);

// How long after a receipt closed a time still finds it: a camera's clock
// may be that far ahead of the till's.
inline constexpr int64_t kReceiptAtSlackMs = 10 * 1000;

// The receipt with that number, or the one of that channel that was open at
// that time (the latest that started at or before it, unless it closed more
// than kReceiptAtSlackMs before it); nullopt when none, and for a time more
// than kReceiptAtSlackMs after now.
std::optional<Receipt> ReceiptById(Database& db, int64_t id);
std::optional<Receipt> ReceiptAt(Database& db, const std::string& channel, int64_t time_ms);

// One JSON object: the receipt with every line and its findings.
std::string ReceiptJson(Database& db, const Receipt& r);
// The receipt without its lines, JSON.
std::string ReceiptHeadJson(const Receipt& r);

// One line of the journal: its receipt and its JSON row (with its channel),
// as the receipt document holds it.
struct LineRow {
  Receipt receipt;
  std::string json;
};
// The line with that number; nullopt once it is gone.
std::optional<LineRow> LineRowById(Database& db, int64_t line);

// Up to `limit` texts of the receipt's lines that hold one of the words of
// the query; without words, its first lines.
std::vector<std::string> MatchingLines(Database& db, int64_t receipt, const SearchQuery& q,
                                       int limit);

}  // namespace poshark::tool
