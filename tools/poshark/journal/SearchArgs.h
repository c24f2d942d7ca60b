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
  // The head office's database (a postgresql:// url or libpq keywords)
  // instead of a journal, and the store whose receipts are searched there.
  std::string db;
  std::optional<std::string> store;
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
  // Set by RarestFirst: even the rarest word is on many lines, so receipts
  // are taken newest first and checked one by one.
  bool common_words = false;
  // Set by RarestFirst: each word as the index is asked for it (a prefix
  // resolved into the words of the journal it begins); else Phrase(word).
  std::vector<std::string> match;
};

// The FTS5 expression of word i of the query.
std::string MatchOf(const SearchQuery& query, size_t i);

// Words a prefix may stand for in one query; a prefix that begins more
// words of the journal is refused (UsageError): each word costs a look-up
// per line checked.
inline constexpr int kMaxPrefixWords = 64;

// Throws UsageError naming the argument.
SearchQuery ParseSearchArgs(int argc, char** argv);

// Words of one query, and bytes of one word: each word costs the index a
// look-up, and a longer query finds nothing more.
inline constexpr size_t kMaxSearchWords = 16;
inline constexpr size_t kMaxSearchWordBytes = 256;

// The one rule for words on the command line and on the page: at most
// kMaxSearchWords, each at most kMaxSearchWordBytes, without a NUL byte,
// and holding a letter or digit (a word of punctuation alone, `*` or `""`
// has nothing to find). "" when the words are good, else what was expected.
std::string CheckWords(const std::vector<std::string>& words);

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
// Puts the rarest word first. When it is on few lines, the query looks it
// up in the whole index once and checks the other words only on the lines
// of the receipts it found; else (common_words) it walks the receipts
// newest first and checks every word on each receipt's own lines, so that
// a limited query stops as soon as it has enough. Either way each word
// costs a look-up per line checked, never a pass over the whole index per
// receipt.
// Resolves every prefix once, for the whole query. Throws UsageError for a
// prefix of more than kMaxPrefixWords words.
void RarestFirst(Database& db, SearchQuery& query);

// A query of the numbers of the lines of one receipt (`receipt`, an SQL
// expression) that hold the FTS5 expression of parameter `match`: one walk
// of the index over the range of line numbers the receipt spans, never
// over the whole index.
std::string LinesMatching(const std::string& receipt, const std::string& match);

}  // namespace poshark::tool
