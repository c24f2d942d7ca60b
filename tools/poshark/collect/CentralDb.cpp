#include "collect/CentralDb.h"

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "collect/CentralSchema.h"
#include "collect/CopyRows.h"
#include "collect/PgResult.h"

namespace poshark::tool {

namespace {

using nlohmann::json;

using Result = PgResult;

// Receipts go through a table of the session's own, filled by COPY and
// emptied at every commit or rollback, so that the server reads plain rows
// rather than one large JSON document. Made (when missing) in every batch's
// transaction, so that a pool handing each transaction a different server
// session still finds it; its name is new with the receipts' present
// columns, so that a session an older collector left behind in such a pool
// never offers a table of the former ones.
constexpr char kBeginWithStageTable[] =
    "BEGIN;\n"
    "SET LOCAL client_min_messages = warning;\n"
    "CREATE TEMP TABLE IF NOT EXISTS stage_receipt_rows (LIKE receipts) ON COMMIT DELETE ROWS;";
// Room for a batch's COPY rows: its messages' size and this fraction more.
constexpr size_t kRowRoomDivisor = 4;
// COPY data goes to the server in pieces of at most this many bytes.
constexpr size_t kCopyChunk = size_t{1} << 20;

// The staged receipts new to the database; a resent one is there already.
std::string InsertStagedSql() {
  const std::string r = kReceiptColumns;
  return "INSERT INTO receipts (" + r + ") SELECT " + r +
         " FROM stage_receipt_rows ON CONFLICT DO NOTHING";
}

constexpr char kInsertAlarms[] = R"sql(
INSERT INTO alarms (store, channel, id, receipt, pos, time, doc)
SELECT a->>'store', a->>'channel', (a->>'id')::bigint, (a->>'receipt')::bigint,
       (a->>'pos')::integer, (a->>'time')::timestamptz, a
FROM jsonb_array_elements($1::jsonb) a
ON CONFLICT DO NOTHING)sql";

constexpr char kInsertStores[] = R"sql(
INSERT INTO stores (store)
SELECT s FROM jsonb_array_elements_text($1::jsonb) s ORDER BY 1
ON CONFLICT DO NOTHING)sql";

constexpr char kInsertChannels[] = R"sql(
INSERT INTO channels (store, channel, pos)
SELECT c->>0, c->>1, (c->>2)::integer FROM jsonb_array_elements($1::jsonb) c ORDER BY 1, 2
ON CONFLICT DO NOTHING)sql";

constexpr char kSetStatus[] = R"sql(
UPDATE stores SET status = s->>1, status_time = now()
FROM jsonb_array_elements($1::jsonb) s WHERE store = s->>0)sql";

// The batch split by table, each part a JSON array for one statement.
struct Parts {
  std::string receipts;  // COPY rows
  json alarms = json::array(), stores = json::array();
  json channels = json::array(), statuses = json::array();
};

// A message sent twice in one batch goes in once (a receipt twice would
// bring its lines twice); of a store's statuses the last one counts.
Parts Split(const std::vector<CentralMessage>& batch) {
  Parts p;
  std::set<std::string> stores;
  std::map<std::string, std::string> statuses;
  std::set<std::pair<std::string, std::string>> channels;
  std::set<std::tuple<CentralKind, std::string, std::string, int64_t>> seen;
  // A receipt's row is about its message's size (its lines as they came,
  // their texts again, less the keys): room made at once, not by doubling.
  size_t bytes = 0;
  for (const auto& m : batch) bytes += m.bytes;
  p.receipts.reserve(bytes + bytes / kRowRoomDivisor);
  for (const auto& m : batch) {
    stores.insert(m.store);
    if (m.kind == CentralKind::kStatus) {
      statuses[m.store] = m.doc["status"];
      continue;
    }
    if (!seen.emplace(m.kind, m.store, m.channel, m.id).second) continue;
    if (channels.emplace(m.store, m.channel).second)
      p.channels.push_back(json::array({m.store, m.channel, m.doc["pos"]}));
    if (m.kind == CentralKind::kReceipt) AppendReceiptRow(m.doc, p.receipts);
    if (m.kind == CentralKind::kAlarm) p.alarms.push_back(m.doc);
  }
  for (const auto& s : stores) p.stores.push_back(s);
  for (const auto& [store, status] : statuses) p.statuses.push_back(json::array({store, status}));
  return p;
}

}  // namespace

CentralDb::CentralDb(const DatabaseSettings& settings) : settings_(settings) {}

CentralDb::~CentralDb() { Close(); }

void CentralDb::Close() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
  months_.clear();
}

void CentralDb::Fail(const std::string& what, const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const bool bad_data =
      state != nullptr && (std::strncmp(state, "22", 2) == 0 || std::strncmp(state, "23", 2) == 0);
  std::string why = conn_ != nullptr ? PQerrorMessage(conn_) : "no connection";
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
  if (conn_ != nullptr && PQstatus(conn_) != CONNECTION_OK) {
    Close();
  } else if (conn_ != nullptr && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
    Result(PQexec(conn_, "ROLLBACK"));
  }
  throw CentralError(what + ": " + why, bad_data);
}

void CentralDb::Run(const std::string& sql) {
  Result r(PQexec(conn_, sql.c_str()));
  const auto status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail("database", r.get());
}

int64_t CentralDb::RunWith(const std::string& sql, const std::string& json_param) {
  const char* values[] = {json_param.c_str()};
  Result r(PQexecParams(conn_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
  const auto status = PQresultStatus(r.get());
  if (status == PGRES_TUPLES_OK && PQntuples(r.get()) == 1)
    return std::stoll(PQgetvalue(r.get(), 0, 0));
  if (status == PGRES_COMMAND_OK) return std::stoll("0" + std::string(PQcmdTuples(r.get())));
  Fail("database", r.get());
}

void CentralDb::Copy(const std::string& table, const std::string& rows) {
  Result start(PQexec(conn_, ("COPY " + table + " FROM STDIN").c_str()));
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) Fail("database", start.get());
  for (size_t at = 0; at < rows.size(); at += kCopyChunk) {
    const size_t size = std::min(kCopyChunk, rows.size() - at);
    if (PQputCopyData(conn_, rows.data() + at, static_cast<int>(size)) != 1) Fail("database");
  }
  if (PQputCopyEnd(conn_, nullptr) != 1) Fail("database");
  Result end(PQgetResult(conn_));
  while (Result(PQgetResult(conn_))) {
  }
  if (PQresultStatus(end.get()) != PGRES_COMMAND_OK) Fail("database", end.get());
}

void CentralDb::Open() {
  if (conn_ != nullptr) return;
  // The url as dbname (expand_dbname): a postgresql:// url or keywords.
  std::vector<const char*> keys = {"dbname", "application_name"};
  std::vector<const char*> values = {settings_.url.c_str(), "poshark collect"};
  if (!settings_.password_file.empty()) {
    keys.push_back("password");
    values.push_back(settings_.password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectdbParams(keys.data(), values.data(), 1);
  if (conn_ == nullptr) throw CentralError("database: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) Fail("database");
  Run("SET client_min_messages = warning");
  Upgrade();
}

void CentralDb::Upgrade() {
  const auto& steps = SchemaSteps();
  Run("BEGIN");
  Run("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")");
  Run("CREATE TABLE IF NOT EXISTS poshark_schema (version integer NOT NULL)");
  Result r(PQexec(conn_, "SELECT max(version) FROM poshark_schema"));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("database");
  const size_t version = PQgetisnull(r.get(), 0, 0) ? 0 : std::stoul(PQgetvalue(r.get(), 0, 0));
  if (version > steps.size()) {
    Run("ROLLBACK");
    throw CentralError("database: its schema is version " + std::to_string(version) +
                       ", made by a newer poshark (this one knows up to " +
                       std::to_string(steps.size()) + ")");
  }
  for (size_t v = version; v < steps.size(); ++v) Run(steps[v]);
  if (version < steps.size()) {
    Run("DELETE FROM poshark_schema");
    Run("INSERT INTO poshark_schema VALUES (" + std::to_string(steps.size()) + ")");
  }
  Run("COMMIT");
}

void CentralDb::MakePartitions(const std::vector<CentralMessage>& batch) {
  std::set<int> missing;
  for (const auto& m : batch)
    if (m.kind == CentralKind::kReceipt && !months_.count(m.month)) missing.insert(m.month);
  if (missing.empty()) return;
  std::string sql =
      "BEGIN;\nSELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ");\n";
  for (int month : missing) sql += MonthPartitionsSql(month);
  Run(sql + "COMMIT;");
  months_.insert(missing.begin(), missing.end());
}

WriteCount CentralDb::Write(const std::vector<CentralMessage>& batch) {
  Open();
  MakePartitions(batch);
  const Parts p = Split(batch);
  WriteCount count;
  Run(kBeginWithStageTable);
  RunWith(kInsertStores, p.stores.dump());
  if (!p.channels.empty()) RunWith(kInsertChannels, p.channels.dump());
  if (!p.receipts.empty()) {
    Copy("stage_receipt_rows (" + std::string(kReceiptColumns) + ")", p.receipts);
    Result r(PQexec(conn_, InsertStagedSql().c_str()));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("database", r.get());
    count.receipts = std::stoll("0" + std::string(PQcmdTuples(r.get())));
  }
  if (!p.alarms.empty()) count.alarms = RunWith(kInsertAlarms, p.alarms.dump());
  if (!p.statuses.empty()) RunWith(kSetStatus, p.statuses.dump());
  Run("COMMIT");
  return count;
}

int CentralDb::DropExpired() {
  if (settings_.keep.age_ms == 0) return 0;
  Open();
  // Months whose end is before the oldest time kept, oldest first.
  const std::string sql =
      "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
      "JOIN pg_class p ON p.oid = i.inhparent WHERE p.relname = 'receipts' "
      "AND c.relname ~ '_p[0-9]{6}$' AND "
      "(to_date(right(c.relname, 6), 'YYYYMM')::timestamp AT TIME ZONE 'UTC') "
      "+ interval '1 month' <= now() - " +
      std::to_string(settings_.keep.age_ms / 1000) + " * interval '1 second' ORDER BY 1";
  Result r(PQexec(conn_, sql.c_str()));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("database");
  std::set<std::string> months;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    const std::string name = PQgetvalue(r.get(), i, 0);
    Run("DROP TABLE IF EXISTS " + name);
    months.insert(name.substr(name.size() - 6));
    months_.erase(std::stoi(name.substr(name.size() - 6)));
  }
  return static_cast<int>(months.size());
}

}  // namespace poshark::tool
