// What one forward has yet to send of one kind of message, read from the
// journal in the order it was written: receipts once they are closed,
// lines as they are committed, the lines that raised alarms. Owned and used
// by the forward's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "journal/JournalDb.h"

namespace poshark::tool {

enum class MessageKind { kReceipt, kLine, kAlarm };

// "receipts", "lines" or "alarms": the kind's name in the journal's
// forwards table and in the log.
const char* KindName(MessageKind kind);

// Receipts passed while still open, held to be sent when they close; one
// per channel at most, so this bound is never reached by a sound journal
// (scanning pauses when it is).
inline constexpr size_t kMaxWaitingReceipts = 256;

class Outbox {
 public:
  // Everything numbered above `position` is still to be sent.
  Outbox(Database& db, MessageKind kind, int64_t position);

  MessageKind Kind() const { return kind_; }
  // Up to `room` numbers to send now, in the journal's order per channel;
  // each is pending until Acked or Rewind. Throws JournalError.
  std::vector<int64_t> Next(size_t room);
  void Acked(int64_t id);
  // The connection was lost: whatever was not acknowledged is sent again.
  void Rewind();
  // Every number up to this one is acknowledged (or was never there).
  int64_t Position() const;
  size_t Pending() const { return pending_.size(); }

 private:
  bool StillOpen(int64_t id, bool& gone);

  MessageKind kind_;
  Statement scan_;             // id, closed: the rows after ?1, at most ?2
  Statement closed_;           // receipts: whether ?1 is closed; no row once gone
  int64_t scanned_;            // the last number scanned
  std::set<int64_t> pending_;  // sent, not yet acknowledged
  std::set<int64_t> waiting_;  // receipts scanned while open
};

}  // namespace poshark::tool
