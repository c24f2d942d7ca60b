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

// Version 3. A receipt's lines move into its own row: `lines`, the array of
// their JSON rows, and `words`, their texts joined by newlines, which
// carries the trigram index. A search then probes one row a receipt instead
// of one a line, and the collector writes one row a receipt: the index of
// every line's trigrams was most of the server's work at ingest. `lines`
// stays as a view with the columns of the table it replaces, for reports
// written against it.
constexpr char kVersion3[] = R"sql(
ALTER TABLE receipts ADD COLUMN lines jsonb NOT NULL DEFAULT '[]',
                     ADD COLUMN words text NOT NULL DEFAULT '';
UPDATE receipts r SET lines = l.lines, words = l.words
FROM (SELECT store, channel, receipt, start_time, jsonb_agg(doc ORDER BY n) AS lines,
             string_agg(text, E'\n' ORDER BY n) AS words
      FROM lines GROUP BY 1, 2, 3, 4) l
WHERE r.store = l.store AND r.channel = l.channel AND r.id = l.receipt
  AND r.start_time = l.start_time;
ALTER TABLE receipts ALTER COLUMN lines DROP DEFAULT, ALTER COLUMN words DROP DEFAULT;
DROP TABLE lines;
CREATE INDEX receipts_words ON receipts USING gin (words gin_trgm_ops);
CREATE VIEW lines AS
SELECT r.store, r.channel, r.id AS receipt, r.start_time, l.n::integer AS n,
       (l.doc->>'time')::timestamptz AS time, l.doc->>'event' AS event,
       l.doc->>'text' AS text, l.doc
FROM receipts r CROSS JOIN LATERAL jsonb_array_elements(r.lines) WITH ORDINALITY AS l(doc, n);
)sql";

std::string MonthStart(int month) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-01 00:00:00+00", month / 100, month % 100);
  return text;
}

}  // namespace

const std::vector<std::string>& SchemaSteps() {
  static const std::vector<std::string> steps = {kVersion1, kVersion2, kVersion3};
  return steps;
}

std::string PartitionName(const char* table, int month) {
  return std::string(table) + "_p" + std::to_string(month);
}

std::string MonthPartitionsSql(int month) {
  const int next = month % 100 == 12 ? (month / 100 + 1) * 100 + 1 : month + 1;
  const std::string range =
      " FOR VALUES FROM ('" + MonthStart(month) + "') TO ('" + MonthStart(next) + "');\n";
  return "CREATE TABLE IF NOT EXISTS " + PartitionName("receipts", month) +
         " PARTITION OF receipts" + range;
}

}  // namespace poshark::tool
