// `poshark search`: finds receipts in the journal, newest first.
#pragma once

#include <cstdint>
#include <string>

namespace poshark::tool {

// Exit status: 0, 1 when the journal cannot be read, 2 for bad arguments
// (thrown as UsageError).
int RunSearch(int argc, char** argv);

struct SearchQuery;

// The same search in the head office's database (--db): the receipts of
// every store, or of --store. Exit status 1 when the database cannot be
// reached or refuses the login (with the server's reason).
int RunCentralSearch(const SearchQuery& query);

// Lines shown under a receipt in the table.
inline constexpr int kSearchShownLines = 3;
inline constexpr char kSearchIndent[] = "    ";
// "2024-03-14 09:41:02" of a time, local.
std::string ShownTime(int64_t ms);
// VOID, ALARM and NO-TRAN, as they apply, separated by commas.
std::string SearchFlags(bool voided, int64_t alarms, bool transaction);

}  // namespace poshark::tool
