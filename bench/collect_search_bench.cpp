// A word search over the head office's database as collect's page asks it
// (the newest kPageResults receipts that hold the word, each with its lines
// that hold it), over one million receipts of ten lines in Debian's
// PostgreSQL 15, started here in a temporary cluster. Yardstick: one
// receipt by its key through the same connection (the cheapest question
// the database is asked, a round trip and a primary-key look-up).
// POSHARK_BENCH_RECEIPTS sets another number of receipts.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "collect/CentralDb.h"
#include "collect/CentralSchema.h"
#include "collect/CentralSearch.h"
#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "support/PgCluster.h"
#include "support/TempHome.h"

namespace {

using namespace poshark::tool;

constexpr int kDefaultReceipts = 1000000;
constexpr int kLinesPerReceipt = 10;
constexpr int kPageResults = 100;  // as collect's page asks
constexpr int kShownLines = 3;
constexpr int kRounds = 200;  // searches per benchmark: the 99th percentile of 200

// The filling: receipts over three months, lines of an item from a
// vocabulary of 200 names, an article number of six digits (each in about
// ten receipts) and a price.
constexpr char kFill[] = R"sql(
CREATE TEMP TABLE vocab AS SELECT i, w FROM unnest(
  ARRAY['MILK','BREAD','BUTTER','CHEESE','YOGHURT','APPLES','BANANAS','COFFEE','TEA','SUGAR',
        'RICE','PASTA','TOMATOES','ONIONS','POTATOES','CHICKEN','BEEF','FISH','EGGS','WATER'])
  WITH ORDINALITY AS v(w, i);
CREATE TEMP TABLE words AS SELECT (a.i - 1) * 10 + s AS k, a.w || ' ' || b.w AS w
  FROM vocab a CROSS JOIN generate_series(0, 9) s JOIN vocab b ON b.i = s + 1;
DROP INDEX receipts_words;
INSERT INTO stores (store) SELECT 's' || s FROM generate_series(1, 20) s;
INSERT INTO channels (store, channel, pos) SELECT 's' || s, 't' || t, t
  FROM generate_series(1, 20) s, generate_series(1, 5) t;
INSERT INTO receipts (store, channel, id, pos, start_time, stop_time, transaction, void, alarms, doc,
                      lines, words)
SELECT 's' || (g % 20 + 1), 't' || (g / 20 % 5 + 1), g, g / 20 % 5 + 1, start,
       start + interval '1 minute', true, g % 100 = 0, (g % 100 = 0)::int,
       jsonb_build_object('store', 's' || (g % 20 + 1), 'id', g), l.lines, l.words
FROM generate_series(1::bigint, %RECEIPTS%) g
CROSS JOIN LATERAL (SELECT timestamptz '2026-01-01 00:00Z' + g * (interval '90 days' / %RECEIPTS%)
                    AS start) t
CROSS JOIN LATERAL (
  SELECT jsonb_agg(jsonb_build_object('time', start, 'pos', 1, 'text', x.text) ORDER BY n) lines,
         string_agg(x.text, E'\n' ORDER BY n) words
  FROM (SELECT n, w.w || ' A' || lpad(((g * 7919 + n * 104729) % %RECEIPTS%)::text, 6, '0')
                  || '  ' || ((g + n) % 5000 / 100.0)::text AS text
        FROM generate_series(1, 10) n JOIN words w ON w.k = (g * 31 + n * 17) % 200) x) l;
SET maintenance_work_mem = '1GB';
CREATE INDEX receipts_words ON receipts USING gin (words gin_trgm_ops);
)sql";

struct Cluster {
  Cluster() {
    const char* wanted = std::getenv("POSHARK_BENCH_RECEIPTS");
    receipts = wanted != nullptr ? std::max(1000, std::atoi(wanted)) : kDefaultReceipts;
    const int port = poshark::testing::FreeLoopbackPort();
    std::string error = poshark::testing::InitPgCluster(dir.Path());
    if (error.empty())
      server = poshark::testing::StartPgServer(dir.Path(), port,
                                               {"fsync=off", "shared_buffers=512MB"}, error);
    if (!server) {
      std::fprintf(stderr, "postgresql: %s\n", error.c_str());
      std::exit(1);
    }
    url = poshark::testing::PgSocketConninfo(dir.Path(), port, "postgres");
    Fill();
  }
  ~Cluster() {
    server->Signal(SIGINT);
    server->Wait();
  }
  void Fill() {
    DatabaseSettings settings;
    settings.url = url;
    CentralDb db(settings);
    db.Open();  // the schema
    std::string sql;
    for (int month : {202601, 202602, 202603, 202604}) sql += MonthPartitionsSql(month);
    sql += kFill;
    for (size_t at; (at = sql.find("%RECEIPTS%")) != std::string::npos;)
      sql.replace(at, 10, std::to_string(receipts));
    const auto start = std::chrono::steady_clock::now();
    PGconn* c = PQconnectdb(url.c_str());
    for (const std::string& step : {sql, std::string("VACUUM ANALYZE")}) {
      PGresult* r = PQexec(c, step.c_str());
      if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) {
        std::fprintf(stderr, "fill: %s\n", PQerrorMessage(c));
        server->Signal(SIGINT);
        server->Wait();
        std::exit(1);
      }
      PQclear(r);
    }
    PQfinish(c);
    std::fprintf(stderr, "filled %d receipts in %.0f s\n", receipts,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  poshark::testing::TempHome dir{poshark::testing::TempHome::Env::kLeave};
  std::string url;
  int receipts = 0;
  std::unique_ptr<poshark::testing::ChildProcess> server;
};

Cluster& Shared() {
  static Cluster cluster;
  return cluster;
}

// Each iteration one question; the 50th and 99th percentiles in ms.
template <typename Ask>
void Timed(benchmark::State& state, Ask ask) {
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    ask();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  state.counters["worst_ms"] = ms.back();
}

void Search(benchmark::State& state, const std::string& word) {
  CentralSearch db(Shared().url);
  SearchQuery q;
  q.words = {word};
  int64_t found = 0;
  Timed(state, [&] {
    found = 0;
    db.Search(q, kPageResults, false, kShownLines, [&](const CentralReceipt&) {
      ++found;
      return true;
    });
  });
  state.counters["found"] = static_cast<double>(found);
}

// An article number: on about ten receipts of all.
void RareWord(benchmark::State& state) { Search(state, "A012345"); }
// An item on one line in twenty: the newest hundred receipts that hold it.
void CommonWord(benchmark::State& state) { Search(state, "COFFEE"); }
// An item pair on one line in two hundred (about one receipt in twenty).
void MidWord(benchmark::State& state) { Search(state, "MILK BREAD"); }

void KeyLookup(benchmark::State& state) {
  CentralSearch db(Shared().url);
  int64_t id = 0;
  Timed(state, [&] {
    id = id % Shared().receipts + 1;
    benchmark::DoNotOptimize(db.ReceiptById("s" + std::to_string(id % 20 + 1), id));
  });
}

BENCHMARK(KeyLookup)->Iterations(kRounds)->Unit(benchmark::kMillisecond);
BENCHMARK(RareWord)->Iterations(kRounds)->Unit(benchmark::kMillisecond);
BENCHMARK(CommonWord)->Iterations(kRounds)->Unit(benchmark::kMillisecond);
BENCHMARK(MidWord)->Iterations(kRounds)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
