#include "cli/Search.h"

#include <poshark/Home.h>

#include <cstdio>

#include "base/Text.h"
#include "base/Usage.h"
#include "journal/JournalDb.h"
#include "journal/Receipts.h"
#include "journal/SearchArgs.h"

namespace poshark::tool {

namespace {

// Lines shown under a receipt in the table.
constexpr int kShownLines = 3;
const char kIndent[] = "    ";

// "2024-03-14 09:41:02" of a time.
std::string Shown(int64_t ms) {
  std::string iso = IsoTimeOf(ms).substr(0, 19);
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
  for (const auto& text : MatchingLines(db, r.id, q, kShownLines)) out += kIndent + text + "\n";
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
    // Every receipt found is listed: one pass over the index for the rarest
    // word costs less than checking every receipt of the journal in turn.
    q.common_words = false;
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
