// The arguments of `poshark search`, and the query they make.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace poshark::tool {

class Database;
class Statement;

struct SearchQuery {
  std::string journal;  // "" for journal.sqlite in the poshark home
  std::optional<std::string> channel;
  std::optional<int> pos;
  std::optional<int64_t> since_ms;  // receipts that start at or after
  std::optional<int64_t> until_ms;  // receipts that start before
  bool voided = false;
  bool alarms = false;
  bool json = false;
  bool help = false;
  // Each a word or a phrase that some line of the receipt holds; a word
  // ending in * also matches the words it begins.
  std::vector<std::string> words;
};

// Throws UsageError naming the argument.
SearchQuery ParseSearchArgs(int argc, char** argv);

// A local date (YYYY-MM-DD) or date and time (YYYY-MM-DDTHH:MM[:SS], T or a
// space between), as milliseconds since the epoch. A date alone is its
// midnight, or for the end of a range the next midnight, so that the day
// is included. False for anything else.
bool ParseSearchTime(std::string_view text, bool end_of_range, int64_t& ms);

// A word as an FTS5 phrase: quoted, so that no character of it is taken as
// query syntax; a closing * keeps its meaning of a prefix.
std::string Phrase(const std::string& word);

// The query of the receipts that answer, newest first (columns id, channel,
// pos, start_ms, stop_ms, voided, alarms, transact), and its parameters.
std::string ReceiptQuery(const SearchQuery& query);
void BindQuery(Statement& statement, const SearchQuery& query);
// Puts the rarest word first: the query looks the first word up in the whole
// index and the others only in the receipts it found.
void RarestFirst(Database& db, SearchQuery& query);

}  // namespace poshark::tool
