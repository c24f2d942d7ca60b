// The journal's SQLite file: a small owner of the connection and its
// statements, the schema, and the checks that refuse a file that is not a
// poshark journal or that a newer poshark wrote.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace poshark::tool {

// Written into the file's header: "PSHJ", and the layout of its tables.
// Version 2 adds the forwards' positions; an older poshark refuses it, since
// its pruning would remove receipts a forward has not sent without a word.
inline constexpr int64_t kJournalApplicationId = 0x5053484A;
inline constexpr int64_t kJournalVersion = 2;
// How long a statement waits for another connection's lock.
inline constexpr int kJournalBusyMs = 5000;
// How the search index cuts line texts into words and folds them (case,
// accents); a search folds its prefixes the same way. A macro: the schema
// is written as literals.
#define POSHARK_LINE_TOKENIZER "unicode61 remove_diacritics 2"

// Prepared statements a connection keeps for reuse (reading receipts back
// prepares the same few for each receipt).
inline constexpr size_t kCachedStatements = 16;

// Every failure; the message names the file.
struct JournalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Database;

// One prepared statement; reset before every use by Bind... callers.
class Statement {
 public:
  Statement(Database& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters count from 1.
  Statement& Bind(int i, int64_t value);
  Statement& Bind(int i, std::string_view text);
  Statement& BindBlob(int i, std::string_view bytes);
  Statement& BindNull(int i);
  // True while there is a row; throws on an error.
  bool Step();
  // Runs to the end and makes the statement ready for new parameters.
  void Run();
  void Reset();
  int64_t Int(int column) const;
  bool IsNull(int column) const;
  std::string Text(int column) const;

 private:
  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Database {
 public:
  // Opens the file for reading, or for writing (created when missing).
  Database(const std::string& path, bool write);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Exec(const std::string& sql);
  // The first column of the first row of a query.
  int64_t Value(const std::string& sql);
  int64_t LastId() const;
  // A statement prepared once and kept for the next use of the same SQL,
  // reset and ready for parameters; valid until a later call prepares
  // another (at most kCachedStatements are kept).
  Statement& Cached(const std::string& sql);
  const std::string& Path() const { return path_; }
  sqlite3* Handle() { return db_; }
  // "journal FILE: " and SQLite's latest error.
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Statement>> cached_;
};

// Opens a journal and checks that it is one this program reads; for
// writing, creates the tables in a new or empty file and turns on
// write-ahead logging. Throws JournalError naming the file.
std::unique_ptr<Database> OpenJournal(const std::string& path, bool write);

}  // namespace poshark::tool
