// `poshark search --db`: the search of every store's receipts in the head
// office's database, in the forms of the journal's search.
#include <cstdio>

#include "base/Usage.h"
#include "cli/Search.h"
#include "collect/CentralSearch.h"

namespace poshark::tool {

namespace {

std::string ReceiptRow(const CentralReceipt& r) {
  char head[512];
  std::snprintf(
      head, sizeof head, "%-19s  %-10s %-12s %4lld  %-18s #%lld\n", ShownTime(r.start_ms).c_str(),
      r.store.c_str(), r.channel.c_str(), static_cast<long long>(r.pos),
      SearchFlags(r.voided, r.alarms, r.transaction).c_str(), static_cast<long long>(r.id));
  std::string out = head;
  for (const auto& text : r.shown) out += kSearchIndent + text + "\n";
  return out;
}

}  // namespace

int RunCentralSearch(const SearchQuery& q) {
  long long found = 0;
  bool written = true;
  try {
    CentralSearch db(q.db);
    if (!q.json) {
      std::printf("%-19s  %-10s %-12s %4s  %-18s %s\n", "START", "STORE", "CHANNEL", "POS", "FLAGS",
                  "RECEIPT");
    }
    db.Search(q, 0, q.json, kSearchShownLines, [&](const CentralReceipt& r) {
      const std::string out = q.json ? r.Json() + "\n" : ReceiptRow(r);
      written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
      ++found;
      return written;
    });
  } catch (const CentralError& e) {
    std::fprintf(stderr, "poshark: %s\n", e.what());
    return kExitFailure;
  }
  if (!written) return kExitFailure;
  if (!q.json) std::printf("%lld receipts\n", found);
  return std::fflush(stdout) == 0 ? 0 : kExitFailure;
}

}  // namespace poshark::tool
