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

std::string ReceiptRow(Database& db, const Receipt& r, const SearchQuery& q) {
  char head[160];
  std::snprintf(head, sizeof head, "%-19s  %-12s %4lld  %-18s #%lld\n",
                ShownTime(r.start_ms).c_str(), r.channel.c_str(), static_cast<long long>(r.pos),
                SearchFlags(r.voided, r.alarms, r.transaction).c_str(),
                static_cast<long long>(r.id));
  std::string out = head;
  for (const auto& text : MatchingLines(db, r.id, q, kSearchShownLines))
    out += kSearchIndent + text + "\n";
  return out;
}

}  // namespace

std::string ShownTime(int64_t ms) {
  std::string iso = IsoTimeOf(ms).substr(0, 19);
  iso[10] = ' ';
  return iso;
}

std::string SearchFlags(bool voided, int64_t alarms, bool transaction) {
  std::string flags = voided ? "VOID" : "";
  if (alarms > 0) flags += std::string(flags.empty() ? "" : ",") + "ALARM";
  if (!transaction) flags += std::string(flags.empty() ? "" : ",") + "NO-TRAN";
  return flags;
}

int RunSearch(int argc, char** argv) {
  SearchQuery q = ParseSearchArgs(argc, argv);
  if (q.help) {
    std::fputs(
        "Usage: poshark search [--journal FILE | --db URL [--store ID]] [--channel NAME]\n"
        "                      [--pos N] [--since TIME] [--until TIME] [--void] [--alarms]\n"
        "                      [--json] [WORDS]\n"
        "Receipts of the journal (default: journal.sqlite in the poshark home), newest\n"
        "first, that hold every word (a quoted argument is a phrase; word* a prefix).\n"
        "--db: the head office's PostgreSQL database (a postgresql:// url or libpq\n"
        "keywords; the password from PGPASSFILE or ~/.pgpass) with every store's\n"
        "receipts, --store: one store's; a word there matches anywhere in a line.\n"
        "TIME is local: a date YYYY-MM-DD or a date and time YYYY-MM-DDTHH:MM[:SS];\n"
        "--since takes receipts that start at or after it, --until those that start\n"
        "before it (a date alone: before the next day). --json: one receipt with its\n"
        "lines per output line.\n",
        stdout);
    return 0;
  }
  if (!q.db.empty()) return RunCentralSearch(q);
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
