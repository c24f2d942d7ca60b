// The writing side of the journal, used by its writer thread only: groups
// each channel's lines into receipts, stores them with their findings, and
// removes the oldest receipts beyond the limits a few at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "journal/JournalDb.h"
#include "output/LineRecord.h"
#include "settings/JournalKeep.h"

namespace poshark::tool {

// Receipts removed by one pruning step (each with its lines, a few hundred
// rows in all), so that a step never holds the writer up for long.
inline constexpr int kPruneReceipts = 16;

class JournalStore {
 public:
  // Opens the journal (JournalError naming the file when it is refused) and
  // closes the receipts that a previous run left open.
  JournalStore(const std::string& path, Keep keep);
  ~JournalStore();

  void Begin();
  void Commit();
  // Undoes the open transaction; the receipts it opened are forgotten.
  void Rollback();
  // Stores one line in its channel's receipt: a START opens a transaction
  // (closing what was open), a STOP closes it (an empty STOP, a cut or the
  // idle stop, is not stored), a VOID marks it voided; lines outside a
  // transaction form a group that the next STOP or START closes.
  void Write(const LineRecord& line);
  // Closes every open receipt at its last line.
  void CloseAll();
  // Removes up to kPruneReceipts of the oldest closed receipts that are
  // older than the age limit, or while the journal is larger than the size
  // limit. Answers how many it removed.
  // A forward of this run has every receipt, line or alarm (kind) up to
  // `position` acknowledged; stored with the open transaction. Receipts
  // that pruning removes beyond a forward's receipt position are counted
  // as unsent for it.
  void SavePosition(const std::string& forward, const std::string& kind, int64_t position);
  // Receipts removed before the forward's broker acknowledged them.
  const std::map<std::string, int64_t>& PrunedUnsent() const { return pruned_unsent_; }
  int PruneStep(int64_t now_ms);
  const std::string& Path() const { return db_->Path(); }

 private:
  struct OpenReceipt {
    int64_t id = 0;
    int64_t last_ms = 0;
  };
  struct Statements;

  void Open(OpenReceipt& open, const LineRecord& line, int64_t time_ms);
  void Close(OpenReceipt& open);
  void StoreFindings(int64_t receipt, int64_t line, const Findings& findings);
  void Remove(int64_t receipt);
  int64_t UsedBytes();

  std::unique_ptr<Database> db_;
  std::unique_ptr<Statements> st_;
  Keep keep_;
  std::map<std::string, OpenReceipt> open_;           // by channel
  std::map<std::string, int64_t> receipt_positions_;  // by forward, this run's
  std::map<std::string, int64_t> pruned_unsent_;      // by forward
};

}  // namespace poshark::tool
