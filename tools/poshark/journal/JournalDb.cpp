#include "journal/JournalDb.h"

#include <cstring>

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace poshark::tool {

namespace {

// Receipt numbers are never given twice, also after pruning has emptied the
// table: a number kept in a link or a report names one receipt for good.
constexpr const char* kReceiptsTable =
    "CREATE TABLE receipts(id INTEGER PRIMARY KEY AUTOINCREMENT, channel TEXT NOT NULL,"
    " pos INTEGER NOT NULL, start_ms INTEGER NOT NULL, stop_ms INTEGER,"
    " voided INTEGER NOT NULL DEFAULT 0, alarms INTEGER NOT NULL DEFAULT 0,"
    " transact INTEGER NOT NULL)";
constexpr const char* kReceiptsIndex = "CREATE INDEX receipts_start ON receipts(start_ms)";
// Line numbers, like receipt numbers, are never given twice: a forward's
// position and a head office's duplicate check name lines by number.
constexpr const char* kLinesTable =
    "CREATE TABLE lines(id INTEGER PRIMARY KEY AUTOINCREMENT, receipt INTEGER NOT NULL,"
    " time_ms INTEGER NOT NULL, dst INTEGER NOT NULL, event INTEGER NOT NULL, text TEXT NOT NULL,"
    " raw BLOB NOT NULL)";
constexpr const char* kLinesIndex = "CREATE INDEX lines_receipt ON lines(receipt)";
constexpr const char* kLineAddedTrigger =
    "CREATE TRIGGER lines_added AFTER INSERT ON lines BEGIN"
    " INSERT INTO lines_fts(rowid, text) VALUES (new.id, new.text); END";
constexpr const char* kLineRemovedTrigger =
    "CREATE TRIGGER lines_removed AFTER DELETE ON lines BEGIN"
    " INSERT INTO lines_fts(lines_fts, rowid, text) VALUES ('delete', old.id, old.text); END";
// Version 2: how far each forward's broker has acknowledged each kind of
// message (receipts, lines, alarms), by number; and the alarms by line, in
// the order a forward sends them.
constexpr const char* kForwardsTable =
    "CREATE TABLE IF NOT EXISTS forwards(name TEXT NOT NULL, kind TEXT NOT NULL, position INTEGER "
    "NOT NULL,"
    " PRIMARY KEY(name, kind))";
constexpr const char* kAlarmsLineIndex = "CREATE INDEX IF NOT EXISTS alarms_line ON alarms(line)";

// Receipts (transactions, and groups of lines printed outside one), their
// lines, what the catchers found on each line, and the full-text index of
// the lines' text, kept in step with the lines by triggers.
constexpr const char* kSchema[] = {
    kReceiptsTable,
    kReceiptsIndex,
    kLinesTable,
    kLinesIndex,
    "CREATE TABLE captures(receipt INTEGER NOT NULL, line INTEGER NOT NULL, name TEXT NOT NULL,"
    " mdb_type INTEGER NOT NULL, mdb_id INTEGER NOT NULL, data TEXT NOT NULL)",
    "CREATE INDEX captures_receipt ON captures(receipt)",
    "CREATE TABLE alarms(receipt INTEGER NOT NULL, line INTEGER NOT NULL, name TEXT NOT NULL,"
    " key_index INTEGER NOT NULL, source INTEGER NOT NULL, data TEXT NOT NULL)",
    "CREATE INDEX alarms_receipt ON alarms(receipt)",
    kAlarmsLineIndex,
    kForwardsTable,
    "CREATE TABLE ranges(receipt INTEGER NOT NULL, line INTEGER NOT NULL, name TEXT NOT NULL,"
    " start_byte INTEGER NOT NULL, end_byte INTEGER NOT NULL, color INTEGER NOT NULL,"
    " value1 INTEGER NOT NULL, value2 INTEGER NOT NULL)",
    "CREATE INDEX ranges_receipt ON ranges(receipt)",
    "CREATE VIRTUAL TABLE lines_fts USING fts5(text, content='lines', content_rowid='id',"
    " tokenize='" POSHARK_LINE_TOKENIZER "')",
    kLineAddedTrigger,
    kLineRemovedTrigger,
};

void CreateTables(Database& db) {
  db.Exec("BEGIN IMMEDIATE");
  // Another writer may have created them meanwhile.
  if (db.Value("SELECT count(*) FROM sqlite_master") == 0) {
    for (const char* sql : kSchema) db.Exec(sql);
    db.Exec("PRAGMA application_id = " + std::to_string(kJournalApplicationId));
    db.Exec("PRAGMA user_version = " + std::to_string(kJournalVersion));
  }
  db.Exec("COMMIT");
}

// Journals written before receipt numbers were kept unique: the receipts
// table is rebuilt once with the same rows and numbers. Older readers read
// it as before.
void KeepReceiptNumbersUnique(Database& db) {
  const std::string kNumbered = "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'";
  if (db.Value(kNumbered) != 0) return;
  db.Exec("BEGIN IMMEDIATE");
  if (db.Value(kNumbered) == 0) {
    db.Exec("ALTER TABLE receipts RENAME TO receipts_unnumbered");
    db.Exec(kReceiptsTable);
    db.Exec("INSERT INTO receipts SELECT * FROM receipts_unnumbered");
    db.Exec("DROP TABLE receipts_unnumbered");
    db.Exec(kReceiptsIndex);
  }
  db.Exec("COMMIT");
}

// Journals written before line numbers were kept unique: the lines table is
// rebuilt once with the same rows and numbers (the text index, which names
// lines by number, stays as it is), and numbering goes on after the highest
// line a forward has sent, should pruning have removed it. Older poshark
// versions read and write the journal as before.
void KeepLineNumbersUnique(Database& db) {
  const std::string kNumbered =
      "SELECT count(*) FROM sqlite_master WHERE name = 'lines' AND sql LIKE '%AUTOINCREMENT%'";
  if (db.Value(kNumbered) != 0) return;
  db.Exec("BEGIN IMMEDIATE");
  if (db.Value(kNumbered) == 0) {
    db.Exec("DROP TRIGGER lines_added");
    db.Exec("DROP TRIGGER lines_removed");
    db.Exec("ALTER TABLE lines RENAME TO lines_unnumbered");
    db.Exec(kLinesTable);
    db.Exec("INSERT INTO lines SELECT * FROM lines_unnumbered");
    db.Exec("DROP TABLE lines_unnumbered");
    db.Exec(kLinesIndex);
    db.Exec(kLineAddedTrigger);
    db.Exec(kLineRemovedTrigger);
    const std::string sent = "(SELECT max(position) FROM forwards WHERE kind <> 'receipts')";
    db.Exec("UPDATE sqlite_sequence SET seq = max(seq, coalesce(" + sent +
            ", 0)) WHERE name = 'lines'");
    db.Exec("INSERT INTO sqlite_sequence(name, seq) SELECT 'lines', " + sent + " WHERE " + sent +
            " IS NOT NULL"
            " AND NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = 'lines')");
  }
  db.Exec("COMMIT");
}

// A version 1 journal gains the tables of version 2, once.
void AddForwardPositions(Database& db) {
  if (db.Value("PRAGMA user_version") >= 2) return;
  db.Exec("BEGIN IMMEDIATE");
  if (db.Value("PRAGMA user_version") < 2) {
    db.Exec(kForwardsTable);
    db.Exec(kAlarmsLineIndex);
    db.Exec("PRAGMA user_version = 2");
  }
  db.Exec("COMMIT");
}

}  // namespace

Statement::Statement(Database& db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
      SQLITE_OK) {
    db.Fail("preparing a statement");
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int i, int64_t value) {
  sqlite3_bind_int64(stmt_, i, value);
  return *this;
}

Statement& Statement::Bind(int i, std::string_view text) {
  sqlite3_bind_text64(stmt_, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}

Statement& Statement::BindBlob(int i, std::string_view bytes) {
  // Never NULL, also when empty.
  sqlite3_bind_blob64(stmt_, i, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindNull(int i) {
  sqlite3_bind_null(stmt_, i);
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  db_.Fail("a statement");
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string Statement::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
}

namespace {

// The system's reason behind SQLite's last error (": No such file or
// directory"), or "" when the error was not the system's.
std::string SystemReason(sqlite3* db) {
  const int error = sqlite3_system_errno(db);
  return error != 0 ? std::string(": ") + std::strerror(error) : std::string();
}

}  // namespace

Database::Database(const std::string& path, bool write) : path_(path) {
  int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    std::string why = db_ != nullptr ? sqlite3_errmsg(db_) + SystemReason(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw JournalError("journal " + path + ": cannot open (" + why + ")");
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kJournalBusyMs);
}

Database::~Database() {
  cached_.clear();
  sqlite3_close_v2(db_);
}

void Database::Exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
}

int64_t Database::Value(const std::string& sql) {
  Statement s(*this, sql);
  return s.Step() ? s.Int(0) : 0;
}

int64_t Database::LastId() const { return sqlite3_last_insert_rowid(db_); }

Statement& Database::Cached(const std::string& sql) {
  if (auto it = cached_.find(sql); it != cached_.end()) {
    it->second->Reset();
    return *it->second;
  }
  if (cached_.size() >= kCachedStatements) cached_.clear();
  auto made = std::make_unique<Statement>(*this, sql);
  return *cached_.emplace(sql, std::move(made)).first->second;
}

void Database::Fail(const std::string& what) const {
  throw JournalError("journal " + path_ + ": " + what + ": " + sqlite3_errmsg(db_) +
                     SystemReason(db_));
}

namespace {

// SQLite opens a file it may not write for reading without a word; the
// journal's writer says so at once, with the system's reason.
void RefuseReadOnly(Database& db) {
  if (sqlite3_db_readonly(db.Handle(), "main") != 1) return;
  const int why = access(db.Path().c_str(), W_OK) == 0 ? EROFS : errno;
  throw JournalError("journal " + db.Path() + ": cannot write (" +
                     std::generic_category().message(why) + ")");
}

}  // namespace

std::unique_ptr<Database> OpenJournal(const std::string& path, bool write) {
  auto db = std::make_unique<Database>(path, write);
  int64_t app = 0, version = 0, tables = 0;
  try {
    app = db->Value("PRAGMA application_id");
    version = db->Value("PRAGMA user_version");
    tables = db->Value("SELECT count(*) FROM sqlite_master");
  } catch (const JournalError& e) {
    // Only SQLite's own word that the file is no database says so; a file
    // that cannot be read (a read-only mount without the shared-memory file
    // of a journal in WAL mode, no permission) says what SQLite found.
    if (sqlite3_extended_errcode(db->Handle()) != SQLITE_NOTADB) throw;
    throw JournalError("journal " + path + ": not a poshark journal (not an SQLite file)");
  }
  if (app != kJournalApplicationId && (app != 0 || tables != 0)) {
    throw JournalError("journal " + path +
                       ": not a poshark journal (another program's SQLite file)");
  }
  if (version > kJournalVersion) {
    throw JournalError("journal " + path + ": written by a newer poshark (journal version " +
                       std::to_string(version) + "; this one reads version " +
                       std::to_string(kJournalVersion) + ")");
  }
  if (!write) {
    if (tables == 0) throw JournalError("journal " + path + ": empty, not a poshark journal yet");
    return db;
  }
  RefuseReadOnly(*db);
  db->Exec("PRAGMA journal_mode = WAL");
  // With write-ahead logging a commit survives the process being killed;
  // only a power loss may take the last ones back.
  db->Exec("PRAGMA synchronous = NORMAL");
  if (tables == 0) {
    CreateTables(*db);
  } else {
    KeepReceiptNumbersUnique(*db);
    AddForwardPositions(*db);
    KeepLineNumbersUnique(*db);
  }
  return db;
}

}  // namespace poshark::tool
