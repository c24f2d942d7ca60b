#include "journal/SearchArgs.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <tuple>
#include <utility>

#include "base/Usage.h"
#include "journal/JournalDb.h"

namespace poshark::tool {

namespace {

// '0' a digit, 'T' a T or a space, anything else itself.
constexpr std::string_view kTimeShape = "0000-00-00T00:00:00";
constexpr size_t kDateLength = 10;
constexpr size_t kMinuteLength = 16;

bool Shaped(std::string_view text) {
  if (text.size() != kDateLength && text.size() != kMinuteLength &&
      text.size() != kTimeShape.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    char want = kTimeShape[i], c = text[i];
    bool ok = want == '0' ? c >= '0' && c <= '9' : want == 'T' ? c == 'T' || c == ' ' : c == want;
    if (!ok) return false;
  }
  return true;
}

int Field(std::string_view text, size_t at, size_t length) {
  if (at + length > text.size()) return 0;
  int n = 0;
  for (size_t i = at; i < at + length; ++i) n = n * 10 + (text[i] - '0');
  return n;
}

const char* const kUsageTime =
    ": expected a date YYYY-MM-DD or a date and time YYYY-MM-DDTHH:MM[:SS]";

int64_t TimeArgument(const std::string& option, const std::string& value, bool end) {
  int64_t ms = 0;
  if (!ParseSearchTime(value, end, ms)) Usage(option + " " + value + kUsageTime);
  return ms;
}

// Options as getopt_long reads them: `--journal FILE` and `--journal=FILE`
// alike; words may come before, between or after them.
const option kSearchOptions[] = {
    {"journal", required_argument, nullptr, 'j'}, {"channel", required_argument, nullptr, 'c'},
    {"pos", required_argument, nullptr, 'p'},     {"since", required_argument, nullptr, 's'},
    {"until", required_argument, nullptr, 'u'},   {"void", no_argument, nullptr, 'v'},
    {"alarms", no_argument, nullptr, 'a'},        {"json", no_argument, nullptr, 'J'},
    {"help", no_argument, nullptr, 'h'},          {"db", required_argument, nullptr, 'd'},
    {"store", required_argument, nullptr, 'S'},   {nullptr, 0, nullptr, 0}};

// The longest --db url, as [database] url takes it.
constexpr size_t kMaxDbUrlBytes = 1024;

void Option(int c, const std::string& given, SearchQuery& q) {
  switch (c) {
    case 'j':
      q.journal = optarg;
      if (q.journal.empty()) Usage("search: --journal: empty file name");
      break;
    case 'd':
      q.db = optarg;
      if (q.db.empty() || q.db.size() > kMaxDbUrlBytes)
        Usage("search: --db: expected a postgresql:// url or libpq keywords of at most " +
              std::to_string(kMaxDbUrlBytes) + " bytes");
      break;
    case 'S':
      q.store = optarg;
      if (q.store->empty()) Usage("search: --store: empty store name");
      break;
    case 'c':
      q.channel = optarg;
      break;
    case 'p':
      q.pos = static_cast<int>(ParseNumber("--pos", optarg, 0, 9999));
      break;
    case 's':
      q.since_ms = TimeArgument("--since", optarg, false);
      break;
    case 'u':
      q.until_ms = TimeArgument("--until", optarg, true);
      break;
    case 'v':
      q.voided = true;
      break;
    case 'a':
      q.alarms = true;
      break;
    case 'J':
      q.json = true;
      break;
    case 'h':
      q.help = true;
      break;
    case ':':
      Usage("search: option " + given + " needs an argument");
    default:
      Usage("search: unknown option " + given);
  }
}

}  // namespace

bool ParseSearchTime(std::string_view text, bool end_of_range, int64_t& ms) {
  if (!Shaped(text)) return false;
  std::tm tm{};
  tm.tm_year = Field(text, 0, 4) - 1900;
  tm.tm_mon = Field(text, 5, 2) - 1;
  tm.tm_mday = Field(text, 8, 2);
  tm.tm_hour = Field(text, 11, 2);
  tm.tm_min = Field(text, 14, 2);
  tm.tm_sec = Field(text, 17, 2);
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 59) {
    return false;
  }
  const int day = tm.tm_mday;
  tm.tm_isdst = -1;
  std::tm check = tm;
  if (std::mktime(&check) == -1 || check.tm_mday != day) return false;  // 30 February
  if (end_of_range && text.size() == kDateLength) ++tm.tm_mday;
  ms = static_cast<int64_t>(std::mktime(&tm)) * 1000;
  return true;
}

SearchQuery ParseSearchArgs(int argc, char** argv) {
  SearchQuery q;
  optind = 0;  // a fresh scan (GNU), also when called again in one process
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":h", kSearchOptions, nullptr)) != -1) {
    Option(c, optind >= 1 && optind <= argc ? argv[optind - 1] : "", q);
    if (q.help) return q;
  }
  for (int i = optind; i < argc; ++i) q.words.emplace_back(argv[i]);
  if (std::string bad = CheckWords(q.words); !bad.empty()) Usage("search: WORDS: expected " + bad);
  if (q.store && q.db.empty()) Usage("search: --store: needs --db (a journal is one store's)");
  if (!q.db.empty() && !q.journal.empty())
    Usage("search: --db and --journal: expected one of them");
  if (q.since_ms && q.until_ms && *q.until_ms <= *q.since_ms) {
    Usage("search: --until: expected a time after --since");
  }
  return q;
}

std::string CheckWords(const std::vector<std::string>& words) {
  if (words.size() > kMaxSearchWords)
    return "at most " + std::to_string(kMaxSearchWords) + " words or phrases";
  for (const std::string& w : words) {
    if (w.size() > kMaxSearchWordBytes)
      return "words or phrases of at most " + std::to_string(kMaxSearchWordBytes) + " bytes";
    if (w.find('\0') != std::string::npos) return "words without a NUL byte";
    // Bytes from 0x80 on belong to letters of other scripts.
    bool searchable = std::any_of(w.begin(), w.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
             static_cast<unsigned char>(c) >= 0x80;
    });
    if (!searchable) return "a word or a phrase with a letter or digit, not \"" + w + "\"";
  }
  return "";
}

// A word as an FTS5 phrase: quoted, so that no character of it is taken as
// query syntax; a closing * keeps its meaning of a prefix.
std::string Phrase(const std::string& word) {
  const bool prefix = word.size() > 1 && word.back() == '*';
  std::string quoted = "\"";
  for (size_t i = 0; i < word.size() - (prefix ? 1 : 0); ++i) {
    quoted += word[i] == '"' ? std::string("\"\"") : std::string(1, word[i]);
  }
  return quoted + (prefix ? "\" *" : "\"");
}

// The rare first word finds the candidate receipts through the index; every
// other word is looked up on the lines of each candidate receipt only.
constexpr char kDriving[] =
    " AND id IN (SELECT receipt FROM lines WHERE id IN"
    " (SELECT rowid FROM lines_fts WHERE lines_fts MATCH ?))";
// Lines counted per word to tell a rare word from a common one.
constexpr int kRarityProbe = 10000;

std::string Checked() { return " AND EXISTS (" + LinesMatching("receipts.id", "?") + ")"; }

std::string LinesMatching(const std::string& receipt, const std::string& match) {
  const std::string of = " FROM lines WHERE receipt = " + receipt + ")";
  return "SELECT rowid FROM lines_fts WHERE lines_fts MATCH " + match +
         " AND rowid BETWEEN (SELECT min(id)" + of + " AND (SELECT max(id)" + of +
         " AND (SELECT receipt FROM lines WHERE id = lines_fts.rowid) = " + receipt;
}

std::string ReceiptQuery(const SearchQuery& q) {
  std::string sql =
      "SELECT id, channel, pos, start_ms, stop_ms, voided, alarms, transact FROM receipts"
      " WHERE 1";
  if (q.channel) sql += " AND channel = ?";
  if (q.pos) sql += " AND pos = ?";
  if (q.since_ms) sql += " AND start_ms >= ?";
  if (q.until_ms) sql += " AND start_ms < ?";
  if (q.voided) sql += " AND voided <> 0";
  if (q.alarms) sql += " AND alarms > 0";
  for (size_t i = 0; i < q.words.size(); ++i)
    sql += i == 0 && !q.common_words ? kDriving : Checked();
  return sql + " ORDER BY start_ms DESC, id DESC";
}

std::string MatchOf(const SearchQuery& q, size_t i) {
  return i < q.match.size() ? q.match[i] : Phrase(q.words[i]);
}

namespace {

// The words of a text as the index keeps them, in their order: cut and
// folded by the index's own tokenizer, so that a prefix in any script, or
// the last word of a phrase, is looked up as the index holds it.
std::vector<std::string> IndexWords(Database& db, const std::string& text) {
  db.Exec(
      "CREATE VIRTUAL TABLE IF NOT EXISTS temp.fold USING fts5(t, tokenize='" POSHARK_LINE_TOKENIZER
      "')");
  db.Exec(
      "CREATE VIRTUAL TABLE IF NOT EXISTS temp.fold_words USING fts5vocab(temp, fold, instance)");
  db.Exec("DELETE FROM temp.fold");
  db.Cached("INSERT INTO temp.fold(t) VALUES (?)").Bind(1, text).Run();
  std::vector<std::string> words;
  for (Statement& s = db.Cached("SELECT term FROM temp.fold_words ORDER BY offset"); s.Step();)
    words.push_back(s.Text(0));
  return words;
}

// A word or phrase that ends in a prefix, as one FTS5 expression of exact
// words or phrases, one for each word of the index that begins with the
// prefix: each is a cheap look-up, where a prefix query gathers the lines
// of every such word each time it is asked. The word itself otherwise.
std::string ResolvePrefix(Database& db, const std::string& word) {
  if (word.size() < 2 || word.back() != '*') return Phrase(word);
  std::vector<std::string> words = IndexWords(db, word.substr(0, word.size() - 1));
  if (words.empty()) return Phrase(word);
  const std::string stem = words.back();
  words.pop_back();
  std::string head;
  for (const auto& w : words) head += w + " ";
  db.Exec(
      "CREATE VIRTUAL TABLE IF NOT EXISTS temp.lines_terms USING fts5vocab(main, lines_fts, row)");
  Statement& terms =
      db.Cached("SELECT term FROM temp.lines_terms WHERE term >= ? AND term < ? LIMIT " +
                std::to_string(kMaxPrefixWords + 1));
  std::string end = stem;
  end.back() = static_cast<char>(end.back() + 1);  // a UTF-8 text never ends in 0xFF
  terms.Bind(1, stem).Bind(2, end);
  std::string any;
  int count = 0;
  for (; terms.Step(); ++count) any += (any.empty() ? "" : " OR ") + Phrase(head + terms.Text(0));
  if (count > kMaxPrefixWords) {
    Usage("search: WORDS: expected a prefix of at most " + std::to_string(kMaxPrefixWords) +
          " words of the journal, not \"" + word + "\" (give more letters)");
  }
  return count == 0 ? "\"\"" : "(" + any + ")";  // "" finds nothing
}

}  // namespace

void RarestFirst(Database& db, SearchQuery& q) {
  if (q.words.empty()) return;
  q.match.clear();
  for (const auto& w : q.words) q.match.push_back(ResolvePrefix(db, w));
  Statement count(db,
                  "SELECT count(*) FROM (SELECT rowid FROM lines_fts WHERE lines_fts MATCH ?"
                  " LIMIT " +
                      std::to_string(kRarityProbe) + ")");
  std::vector<std::tuple<int64_t, std::string, std::string>> ranked;
  for (size_t i = 0; i < q.words.size(); ++i) {
    count.Bind(1, q.match[i]);
    ranked.emplace_back(count.Step() ? count.Int(0) : 0, q.words[i], q.match[i]);
    count.Reset();
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
  for (size_t i = 0; i < ranked.size(); ++i)
    std::tie(std::ignore, q.words[i], q.match[i]) = ranked[i];
  q.common_words = std::get<0>(ranked.front()) >= kRarityProbe;
}

void BindQuery(Statement& s, const SearchQuery& q) {
  int i = 0;
  if (q.channel) s.Bind(++i, *q.channel);
  if (q.pos) s.Bind(++i, static_cast<int64_t>(*q.pos));
  if (q.since_ms) s.Bind(++i, *q.since_ms);
  if (q.until_ms) s.Bind(++i, *q.until_ms);
  for (size_t w = 0; w < q.words.size(); ++w) s.Bind(++i, MatchOf(q, w));
}

}  // namespace poshark::tool
