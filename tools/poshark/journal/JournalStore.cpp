#include "journal/JournalStore.h"

#include <poshark/RCPosHark.h>

#include <vector>

namespace poshark::tool {

struct JournalStore::Statements {
  explicit Statements(Database& db)
      : open(db, "INSERT INTO receipts(channel, pos, start_ms, transact) VALUES (?1, ?2, ?3, ?4)"),
        close(db, "UPDATE receipts SET stop_ms = ?2 WHERE id = ?1"),
        line(db,
             "INSERT INTO lines(receipt, time_ms, dst, event, text, raw)"
             " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
        voided(db, "UPDATE receipts SET voided = 1 WHERE id = ?1"),
        alarmed(db, "UPDATE receipts SET alarms = alarms + ?2 WHERE id = ?1"),
        capture(db, "INSERT INTO captures VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
        alarm(db, "INSERT INTO alarms VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
        range(db, "INSERT INTO ranges VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
        oldest(db, "SELECT id, stop_ms FROM receipts WHERE stop_ms IS NOT NULL ORDER BY id LIMIT " +
                       std::to_string(kPruneReceipts)),
        remove_captures(db, "DELETE FROM captures WHERE receipt = ?1"),
        remove_alarms(db, "DELETE FROM alarms WHERE receipt = ?1"),
        remove_ranges(db, "DELETE FROM ranges WHERE receipt = ?1"),
        remove_lines(db, "DELETE FROM lines WHERE receipt = ?1"),
        remove_receipt(db, "DELETE FROM receipts WHERE id = ?1"),
        position(db,
                 "INSERT INTO forwards(name, kind, position) VALUES (?1, ?2, ?3)"
                 " ON CONFLICT(name, kind) DO UPDATE SET position = excluded.position") {}

  Statement open, close, line, voided, alarmed, capture, alarm, range, oldest;
  Statement remove_captures, remove_alarms, remove_ranges, remove_lines, remove_receipt;
  Statement position;
};

JournalStore::JournalStore(const std::string& path, Keep keep)
    : db_(OpenJournal(path, true)), st_(std::make_unique<Statements>(*db_)), keep_(keep) {
  // A run that was stopped or killed mid-receipt left it open.
  db_->Exec(
      "UPDATE receipts SET stop_ms = coalesce((SELECT max(time_ms) FROM lines"
      " WHERE receipt = receipts.id), start_ms) WHERE stop_ms IS NULL");
}

JournalStore::~JournalStore() = default;

void JournalStore::Begin() { db_->Exec("BEGIN"); }

void JournalStore::Commit() { db_->Exec("COMMIT"); }

void JournalStore::Rollback() {
  open_.clear();
  try {
    db_->Exec("ROLLBACK");
  } catch (const JournalError&) {
    // No transaction was open any more: SQLite rolled it back itself.
  }
}

void JournalStore::Open(OpenReceipt& open, const LineRecord& line, int64_t time_ms) {
  bool transaction = line.event == POSHARK_EVENT_START || line.event == POSHARK_EVENT_STOP ||
                     line.event == POSHARK_EVENT_VOID;
  st_->open.Bind(1, line.channel).Bind(2, line.pos).Bind(3, time_ms).Bind(4, transaction ? 1 : 0);
  st_->open.Run();
  open.id = db_->LastId();
}

void JournalStore::Close(OpenReceipt& open) {
  st_->close.Bind(1, open.id).Bind(2, open.last_ms).Run();
  open = OpenReceipt{};
}

void JournalStore::Write(const LineRecord& line) {
  const int64_t time_ms = line.time_ms;
  OpenReceipt& open = open_[line.channel];
  if (line.event == POSHARK_EVENT_START && open.id != 0) Close(open);
  // A cut or the idle stop comes as an empty STOP: it only closes.
  if (line.event == POSHARK_EVENT_STOP && line.raw.empty()) {
    if (open.id != 0) {
      open.last_ms = time_ms;
      Close(open);
    }
    return;
  }
  if (open.id == 0) Open(open, line, time_ms);
  st_->line.Bind(1, open.id).Bind(2, time_ms).Bind(3, line.dst ? 1 : 0).Bind(4, line.event);
  st_->line.Bind(5, line.text).BindBlob(6, line.raw).Run();
  const int64_t line_id = db_->LastId();
  StoreFindings(open.id, line_id, line.findings);
  if (line.event == POSHARK_EVENT_VOID) st_->voided.Bind(1, open.id).Run();
  open.last_ms = time_ms;
  if (line.event == POSHARK_EVENT_STOP) Close(open);
}

void JournalStore::StoreFindings(int64_t receipt, int64_t line, const Findings& f) {
  for (const auto& c : f.captures) {
    st_->capture.Bind(1, receipt).Bind(2, line).Bind(3, c.name).Bind(4, c.mdb_type);
    st_->capture.Bind(5, c.mdb_id).Bind(6, c.data).Run();
  }
  for (const auto& a : f.alarms) {
    st_->alarm.Bind(1, receipt).Bind(2, line).Bind(3, a.name).Bind(4, a.key_index);
    st_->alarm.Bind(5, a.source).Bind(6, a.data).Run();
  }
  for (const auto& r : f.ranges) {
    st_->range.Bind(1, receipt).Bind(2, line).Bind(3, r.name).Bind(4, r.start).Bind(5, r.end);
    st_->range.Bind(6, r.color).Bind(7, r.value1).Bind(8, r.value2).Run();
  }
  if (!f.alarms.empty()) {
    st_->alarmed.Bind(1, receipt).Bind(2, static_cast<int64_t>(f.alarms.size())).Run();
  }
}

void JournalStore::CloseAll() {
  for (auto& [channel, open] : open_) {
    if (open.id != 0) Close(open);
  }
}

int64_t JournalStore::UsedBytes() {
  return (db_->Value("PRAGMA page_count") - db_->Value("PRAGMA freelist_count")) *
         db_->Value("PRAGMA page_size");
}

void JournalStore::Remove(int64_t receipt) {
  for (Statement* s : {&st_->remove_captures, &st_->remove_alarms, &st_->remove_ranges,
                       &st_->remove_lines, &st_->remove_receipt}) {
    s->Bind(1, receipt).Run();
  }
}

void JournalStore::SavePosition(const std::string& forward, const std::string& kind,
                                int64_t position) {
  st_->position.Bind(1, forward).Bind(2, kind).Bind(3, position).Run();
  if (kind == "receipts") receipt_positions_[forward] = position;
}

int JournalStore::PruneStep(int64_t now_ms) {
  if (keep_.age_ms == 0 && keep_.bytes == 0) return 0;
  const bool too_large = keep_.bytes != 0 && UsedBytes() > keep_.bytes;
  std::vector<int64_t> doomed;
  // Receipts are numbered as they open, so the lowest numbers are the oldest.
  while (st_->oldest.Step()) {
    bool too_old = keep_.age_ms != 0 && st_->oldest.Int(1) < now_ms - keep_.age_ms;
    if (!too_large && !too_old) break;
    doomed.push_back(st_->oldest.Int(0));
  }
  st_->oldest.Reset();
  for (int64_t id : doomed) {
    Remove(id);
    for (const auto& [forward, position] : receipt_positions_)
      if (id > position) ++pruned_unsent_[forward];
  }
  return static_cast<int>(doomed.size());
}

}  // namespace poshark::tool
