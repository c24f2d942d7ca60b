#include "collect/CentralSchema.h"

#include <cstdio>

namespace poshark::tool {

namespace {

// Version 1. Receipts and their lines are partitioned by the month of the
// receipt's start (UTC), which every message carries and which never
// changes when a store sends a receipt again: so the partition key is in
// every unique key and ON CONFLICT drops a duplicate. Line text is searched
// through trigrams (pg_trgm): it works in every script, with or without
// spaces between words.
constexpr char kVersion1[] = R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE TABLE stores (
  store text PRIMARY KEY,
  status text,
  status_time timestamptz,
  seen timestamptz NOT NULL DEFAULT now());
CREATE TABLE channels (
  store text NOT NULL REFERENCES stores,
  channel text NOT NULL,
  pos integer NOT NULL,
  last_receipt timestamptz,
  PRIMARY KEY (store, channel));
CREATE TABLE receipts (
  store text NOT NULL,
  channel text NOT NULL,
  id bigint NOT NULL,
  pos integer NOT NULL,
  start_time timestamptz NOT NULL,
  stop_time timestamptz,
  transaction boolean NOT NULL,
  void boolean NOT NULL,
  alarms integer NOT NULL,
  doc jsonb NOT NULL,
  PRIMARY KEY (store, channel, id, start_time)
) PARTITION BY RANGE (start_time);
CREATE INDEX receipts_time ON receipts (start_time);
CREATE INDEX receipts_pos ON receipts (store, pos, start_time);
CREATE INDEX receipts_channel ON receipts (store, channel, start_time);
CREATE INDEX receipts_void ON receipts (start_time) WHERE void;
CREATE INDEX receipts_alarms ON receipts (start_time) WHERE alarms > 0;
CREATE TABLE lines (
  store text NOT NULL,
  channel text NOT NULL,
  receipt bigint NOT NULL,
  start_time timestamptz NOT NULL,
  n integer NOT NULL,
  time timestamptz NOT NULL,
  event text,
  text text NOT NULL,
  doc jsonb NOT NULL,
  PRIMARY KEY (store, channel, receipt, start_time, n)
) PARTITION BY RANGE (start_time);
CREATE INDEX lines_text ON lines USING gin (text gin_trgm_ops);
CREATE INDEX lines_time ON lines (time);
CREATE TABLE alarms (
  store text NOT NULL,
  channel text NOT NULL,
  id bigint NOT NULL,
  receipt bigint NOT NULL,
  pos integer NOT NULL,
  time timestamptz NOT NULL,
  doc jsonb NOT NULL,
  PRIMARY KEY (store, channel, id));
CREATE INDEX alarms_time ON alarms (time);
CREATE INDEX alarms_store ON alarms (store, time);
)sql";

// Version 2. A receipt by its store and number, as search results and the
// page link it: the primary key starts with the channel, so without this a
// look-up walked every receipt of the store.
constexpr char kVersion2[] = R"sql(
CREATE INDEX receipts_id ON receipts (store, id);
)sql";

std::string MonthStart(int month) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-01 00:00:00+00", month / 100, month % 100);
  return text;
}

}  // namespace

const std::vector<std::string>& SchemaSteps() {
  static const std::vector<std::string> steps = {kVersion1, kVersion2};
  return steps;
}

std::string PartitionName(const char* table, int month) {
  return std::string(table) + "_p" + std::to_string(month);
}

std::string MonthPartitionsSql(int month) {
  const int next = month % 100 == 12 ? (month / 100 + 1) * 100 + 1 : month + 1;
  const std::string range =
      " FOR VALUES FROM ('" + MonthStart(month) + "') TO ('" + MonthStart(next) + "');\n";
  std::string sql;
  for (const char* table : {"receipts", "lines"})
    sql += "CREATE TABLE IF NOT EXISTS " + PartitionName(table, month) + " PARTITION OF " + table +
           range;
  return sql;
}

}  // namespace poshark::tool
