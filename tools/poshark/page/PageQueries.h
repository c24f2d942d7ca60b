// What the live page asks of the journal: a search (the query of
// `poshark search`) and one receipt. The journal is opened read-only for
// each question; nothing the page asks can change it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace poshark::tool {

// Receipts a search answers, newest first.
inline constexpr int kPageResults = 100;
// Lines shown under a receipt found.
inline constexpr int kPageResultLines = 3;

// A request parameter by name; nullopt when absent.
using PageParam = std::function<std::optional<std::string>(const char* name)>;

struct PageAnswer {
  int status = 200;  // 200 with JSON, else a message
  std::string body;
};

// What the page asks and where it is answered: a journal (serve) or the
// head office's database (collect). Called on the request threads.
struct PageSource {
  using Question = std::function<PageAnswer(const PageParam&)>;
  Question search;   // /api/search
  Question receipt;  // /api/receipt
  Question stores;   // /api/stores, the stores' health; empty for a journal
};

// The questions asked of a journal (SearchPage and ReceiptPage).
PageSource JournalPages(const std::string& journal);

struct SearchQuery;
// Fills the query from the search's parameters (below); an answer other
// than 200 names a bad one.
PageAnswer ReadSearchParams(const PageParam& param, SearchQuery& q);
// A 400 answer naming the parameter and what was expected.
PageAnswer BadParam(const std::string& name, const std::string& expected);

// Parameters q (words; "quoted words" a phrase), channel, pos, since,
// until (times as `poshark search` takes them), void, alarms (1 or
// absent). Answers a JSON array of at most kPageResults receipts, newest
// first, each with "lines": the texts of up to kPageResultLines lines that
// hold a word.
PageAnswer SearchPage(const std::string& journal, const PageParam& param);

// Parameters id, or channel and time (milliseconds since the epoch: the
// receipt open then). Answers the receipt with every line, JSON.
PageAnswer ReceiptPage(const std::string& journal, const PageParam& param);

// The words of a search box: blanks separate them, double quotes hold a
// phrase together; quotes around nothing make an empty word.
std::vector<std::string> SplitWords(const std::string& text);

}  // namespace poshark::tool
