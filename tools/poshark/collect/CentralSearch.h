// Reads of the head office's database for `poshark search --db` and
// collect's page: receipts that hold words, the receipt a camera's time
// names, and the stores' health. Each object holds a read-only connection of
// its own (never the collector's writing one); one thread uses it at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collect/CentralDb.h"
#include "journal/SearchArgs.h"

namespace poshark::tool {

// A connection is made within this long, and each query answers within
// this long or is cancelled by the server.
inline constexpr int kCentralConnectSeconds = 5;
inline constexpr int kCentralQuerySeconds = 30;
// Receipts fetched from the server at a time while a search is read.
inline constexpr int kCentralFetchRows = 500;

// A receipt found: its head as the store sent it (store first) and either
// its lines' texts that hold a word or, with full lines, every line's JSON
// row.
struct CentralReceipt {
  std::string store, channel;
  int64_t id = 0, pos = 0, alarms = 0;
  int64_t start_ms = 0;
  std::optional<int64_t> stop_ms;
  bool voided = false, transaction = false;
  std::string head_json;           // {"store":..,"id":..,...,"alarms":..}
  std::vector<std::string> shown;  // texts of the lines that hold a word
  std::string lines_json;          // [...] of every line, with full lines
  // The receipt document: the head and its lines (full lines only).
  std::string Json() const;
};

struct StoreHealth {
  std::string store;
  std::string status;  // "online", "offline", "" before any status came
  std::optional<int64_t> status_ms;
};

struct ChannelHealth {
  std::string store, channel;
  int64_t pos = 0;
  std::optional<int64_t> last_receipt_ms;  // the start of its latest receipt
};

class CentralSearch {
 public:
  // Connects at once; throws CentralError with the server's reason (a
  // refused login, a server that cannot be reached), never the password.
  CentralSearch(const std::string& url, const std::string& password = "");
  ~CentralSearch();
  CentralSearch(const CentralSearch&) = delete;
  CentralSearch& operator=(const CentralSearch&) = delete;

  // Calls `each` for every receipt that answers the query (words, store,
  // channel, POS, times, void, alarms), newest first, at most `limit` (0:
  // all); fetched kCentralFetchRows at a time. full_lines: every line's
  // JSON, else up to `shown` texts of lines that hold a word. `each` answers
  // false to stop. Throws CentralError.
  void Search(const SearchQuery& query, int limit, bool full_lines, int shown,
              const std::function<bool(const CentralReceipt&)>& each);
  // The receipt of that store with that number, or the one of that store's
  // channel open at that time (the rule of ReceiptAt in the journal), with
  // every line. Throws CentralError.
  std::optional<CentralReceipt> ReceiptById(const std::string& store, int64_t id);
  std::optional<CentralReceipt> ReceiptAt(const std::string& store, const std::string& channel,
                                          int64_t time_ms);
  // Every store, and every channel with the start of its latest receipt.
  std::vector<StoreHealth> Stores();
  std::vector<ChannelHealth> Channels();

 private:
  struct Params;
  void Exec(const std::string& sql);
  std::optional<CentralReceipt> One(const std::string& where, Params& params);
  [[noreturn]] void Fail(const std::string& what);

  struct pg_conn* conn_ = nullptr;
};

}  // namespace poshark::tool
