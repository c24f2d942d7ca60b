#include "page/PageQueries.h"

#include <limits>

#include "base/JsonText.h"
#include "base/Log.h"
#include "base/Usage.h"
#include "journal/JournalDb.h"
#include "journal/Receipts.h"
#include "journal/SearchArgs.h"

namespace poshark::tool {

namespace {

PageAnswer Bad(const std::string& name, const std::string& expected) {
  return BadParam(name, expected);
}

bool ParseWhole(const std::string& text, long& n) {
  return ParseNumberIn(text, 0, std::numeric_limits<long>::max(), n);
}

std::string JsonString(const std::string& text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

// The journal could not be read: the log says why (its path and SQLite's
// words are no business of a browser's).
PageAnswer Unavailable(const JournalError& e) {
  Log(LogLevel::kWarning, std::string("page: ") + e.what());
  return {503, "the journal cannot be read now (the service's log says why)"};
}

std::unique_ptr<Database> Open(const std::string& journal) {
  if (journal.empty()) throw JournalError("no journal: [service] journal is off");
  return OpenJournal(journal, false);
}

}  // namespace

PageAnswer BadParam(const std::string& name, const std::string& expected) {
  return {400, "parameter " + name + ": expected " + expected};
}

PageSource JournalPages(const std::string& journal) {
  return {[journal](const PageParam& p) { return SearchPage(journal, p); },
          [journal](const PageParam& p) { return ReceiptPage(journal, p); },
          {}};
}

PageAnswer ReadSearchParams(const PageParam& param, SearchQuery& q) {
  if (auto words = param("q")) {
    // Split at most a little past the limit: a longer query is refused anyway.
    q.words = SplitWords(words->substr(0, kMaxSearchWords * (kMaxSearchWordBytes + 3) + 1));
    if (std::string bad = CheckWords(q.words); !bad.empty()) return Bad("q", bad);
  }
  if (auto channel = param("channel"); channel && !channel->empty()) q.channel = *channel;
  if (auto pos = param("pos"); pos && !pos->empty()) {
    long n = 0;
    if (!ParseNumberIn(*pos, 0, 9999, n)) return Bad("pos", "a POS number from 0 to 9999");
    q.pos = static_cast<int>(n);
  }
  for (const char* name : {"since", "until"}) {
    auto text = param(name);
    if (!text || text->empty()) continue;
    int64_t ms = 0;
    const bool until = name[0] == 'u';
    if (!ParseSearchTime(*text, until, ms)) return Bad(name, "YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]");
    (until ? q.until_ms : q.since_ms) = ms;
  }
  q.voided = param("void").value_or("") == "1";
  q.alarms = param("alarms").value_or("") == "1";
  return {};
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool begun = false;  // a word, or quotes, even empty ones
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      begun = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (begun) words.push_back(word);
      word.clear();
      begun = false;
    } else {
      word += c;
      begun = true;
    }
  }
  if (begun) words.push_back(word);
  return words;
}

PageAnswer SearchPage(const std::string& journal, const PageParam& param) {
  SearchQuery q;
  if (PageAnswer bad = ReadSearchParams(param, q); bad.status != 200) return bad;
  try {
    auto db = Open(journal);
    RarestFirst(*db, q);
    Statement s(*db, ReceiptQuery(q) + " LIMIT " + std::to_string(kPageResults));
    BindQuery(s, q);
    std::string body = "[";
    while (s.Step()) {
      Receipt r = ReadReceipt(s);
      std::string head = ReceiptHeadJson(r);
      head.pop_back();  // the closing brace: the lines follow
      head += ",\"lines\":[";
      bool first = true;
      for (const auto& text : MatchingLines(*db, r.id, q, kPageResultLines)) {
        if (!first) head += ',';
        head += JsonString(text);
        first = false;
      }
      body += (body.size() > 1 ? "," : "") + head + "]}";
    }
    return {200, body + "]"};
  } catch (const JournalError& e) {
    return Unavailable(e);
  } catch (const UsageError& e) {  // a prefix of too many words
    return Bad("q", e.message.substr(e.message.find("expected ") + 9));
  }
}

PageAnswer ReceiptPage(const std::string& journal, const PageParam& param) {
  auto id = param("id");
  auto channel = param("channel");
  auto time = param("time");
  long number = 0;
  if (id) {
    if (!ParseWhole(*id, number)) return Bad("id", "a receipt number");
  } else if (!channel || !time || !ParseWhole(*time, number)) {
    return Bad("id", "a receipt number, or channel and time (milliseconds since 1970)");
  }
  try {
    auto db = Open(journal);
    auto r = id ? ReceiptById(*db, number) : ReceiptAt(*db, *channel, number);
    if (!r) return {404, "no such receipt in the journal"};
    return {200, ReceiptJson(*db, *r)};
  } catch (const JournalError& e) {
    return Unavailable(e);
  }
}

}  // namespace poshark::tool
