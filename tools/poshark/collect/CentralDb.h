// The connection to the head office's PostgreSQL database through libpq:
// the schema brought up to date at each connection, and batches of store
// messages written in one transaction each, duplicates dropped by key.
// One thread uses an object at a time (the collector's own).
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "collect/CentralMessage.h"
#include "collect/CollectConfig.h"

struct pg_conn;
struct pg_result;

namespace poshark::tool {

class CentralError : public std::runtime_error {
 public:
  explicit CentralError(const std::string& what, bool bad_data = false)
      : std::runtime_error(what), bad_data_(bad_data) {}
  // The server refused the rows themselves (SQLSTATE class 22 or 23): the
  // same batch would fail again.
  bool BadData() const { return bad_data_; }

 private:
  bool bad_data_;
};

// What a batch brought that was not there yet.
struct WriteCount {
  int64_t receipts = 0;
  int64_t alarms = 0;
};

class CentralDb {
 public:
  explicit CentralDb(const DatabaseSettings& settings);
  ~CentralDb();
  CentralDb(const CentralDb&) = delete;
  CentralDb& operator=(const CentralDb&) = delete;

  // Connects when not connected and brings the schema to this version.
  // Throws CentralError with libpq's reason (a refused login, a server
  // that cannot be reached, a schema of a newer poshark).
  void Open();
  bool IsOpen() const { return conn_ != nullptr; }
  // Writes the batch in one transaction (making its months' partitions
  // first). Throws CentralError: nothing of the batch is written then, and
  // a broken connection is closed (Open makes a new one).
  WriteCount Write(const std::vector<CentralMessage>& batch);
  // Drops the months' partitions that end before now minus keep's age;
  // answers how many months went. Throws CentralError.
  int DropExpired();

 private:
  void Close();
  void Run(const std::string& sql);
  int64_t RunWith(const std::string& sql, const std::string& json_param);
  // COPY of rows in text form into table ("name (columns)").
  void Copy(const std::string& table, const std::string& rows);
  void Upgrade();
  void MakePartitions(const std::vector<CentralMessage>& batch);
  [[noreturn]] void Fail(const std::string& what, const pg_result* result = nullptr);

  const DatabaseSettings settings_;
  pg_conn* conn_ = nullptr;
  std::set<int> months_;  // partitions known to be there
};

}  // namespace poshark::tool
