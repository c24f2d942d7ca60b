#include "forward/Outbox.h"

#include <algorithm>

namespace poshark::tool {

namespace {

const char* ScanSql(MessageKind kind) {
  switch (kind) {
    case MessageKind::kReceipt:
      return "SELECT id, stop_ms IS NOT NULL FROM receipts WHERE id > ?1 ORDER BY id LIMIT ?2";
    case MessageKind::kLine:
      return "SELECT id, 1 FROM lines WHERE id > ?1 ORDER BY id LIMIT ?2";
    case MessageKind::kAlarm:
      break;
  }
  return "SELECT DISTINCT line, 1 FROM alarms WHERE line > ?1 ORDER BY line LIMIT ?2";
}

}  // namespace

const char* KindName(MessageKind kind) {
  switch (kind) {
    case MessageKind::kReceipt:
      return "receipts";
    case MessageKind::kLine:
      return "lines";
    case MessageKind::kAlarm:
      break;
  }
  return "alarms";
}

Outbox::Outbox(Database& db, MessageKind kind, int64_t position)
    : kind_(kind),
      scan_(db, ScanSql(kind)),
      closed_(db, "SELECT stop_ms IS NOT NULL FROM receipts WHERE id = ?1"),
      scanned_(position) {}

bool Outbox::StillOpen(int64_t id, bool& gone) {
  gone = !closed_.Bind(1, id).Step();
  const bool open = !gone && closed_.Int(0) == 0;
  closed_.Reset();
  return open;
}

std::vector<int64_t> Outbox::Next(size_t room) {
  std::vector<int64_t> ids;
  // Receipts that were open when passed go first: a channel's next receipt
  // cannot close before them.
  for (auto it = waiting_.begin(); it != waiting_.end() && ids.size() < room;) {
    bool gone = false;
    if (StillOpen(*it, gone)) {
      ++it;
      continue;
    }
    if (!gone) {
      ids.push_back(*it);
      pending_.insert(*it);
    }
    it = waiting_.erase(it);
  }
  if (ids.size() >= room || waiting_.size() >= kMaxWaitingReceipts) return ids;
  // Open receipts take no room: the scan reaches past them.
  const size_t most = room - ids.size() + kMaxWaitingReceipts - waiting_.size();
  scan_.Bind(1, scanned_).Bind(2, static_cast<int64_t>(most));
  while (ids.size() < room && waiting_.size() < kMaxWaitingReceipts && scan_.Step()) {
    scanned_ = scan_.Int(0);
    if (scan_.Int(1) == 0) {
      waiting_.insert(scanned_);
    } else {
      ids.push_back(scanned_);
      pending_.insert(scanned_);
    }
  }
  scan_.Reset();
  return ids;
}

void Outbox::Acked(int64_t id) { pending_.erase(id); }

void Outbox::Rewind() {
  scanned_ = Position();
  pending_.clear();
  waiting_.clear();
}

int64_t Outbox::Position() const {
  int64_t first = scanned_ + 1;
  if (!pending_.empty()) first = std::min(first, *pending_.begin());
  if (!waiting_.empty()) first = std::min(first, *waiting_.begin());
  return first - 1;
}

}  // namespace poshark::tool
