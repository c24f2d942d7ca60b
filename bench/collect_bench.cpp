// The head office's ingest on loopback: receipt messages of two stores, as
// their forwards write them (12 lines each), published with QoS 1 to
// Debian's mosquitto, and two `poshark collect` processes sharing the
// subscription into one PostgreSQL 15 database (a temporary cluster, fsync
// on, default settings), timed from the first publish until every receipt
// is committed. Yardstick: the very same rows (receipts with their lines) loaded
// with a plain COPY into the same server's same tables in the same run.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poshark/RCPosHark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "collect/CentralSchema.h"
#include "collect/CopyRows.h"
#include "forward/ForwardMessage.h"
#include "forward/Forwarder.h"
#include "journal/JournalStore.h"
#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "support/PgCluster.h"
#include "support/TempHome.h"

namespace {

using namespace poshark::tool;
using poshark::testing::ChildProcess;
using Clock = std::chrono::steady_clock;

constexpr int kReceipts = 20000;  // a store's half each
constexpr int kItems = 10;        // item lines per receipt, besides its head and total
constexpr int kCollectors = 2;
constexpr auto kGiveUp = std::chrono::seconds(120);
constexpr auto kPoll = std::chrono::milliseconds(50);  // counting takes the server ~1 ms
constexpr int kMonth = 202311;  // the receipts' start times are in November 2023
// The broker as docs/CENTRAL.md asks a head office to set it up.
constexpr char kBrokerSettings[] =
    "allow_anonymous true\nmax_queued_messages 0\npersistence true\nuser root\n";

// A store's journal of n closed receipts on two channels; their messages.
std::vector<ForwardMessage> StoreMessages(const std::string& dir, const std::string& store, int n) {
  const std::string path = dir + "/" + store + ".sqlite";
  {
    JournalStore journal(path, Keep{});
    journal.Begin();
    for (int i = 0; i < n; ++i) {
      LineRecord r;
      r.channel = i % 2 ? "till1" : "till2";
      r.pos = i % 2 + 1;
      r.time_ms = 1700000000000 + i * 1000;
      r.event = POSHARK_EVENT_START;
      journal.Write((r.raw = r.text = "CORNER SHOP receipt " + std::to_string(i), r));
      r.event = -1;
      for (int k = 0; k < kItems; ++k)
        journal.Write((r.raw = r.text = "coffee " + std::to_string(k) + " x 2.90", r));
      r.event = POSHARK_EVENT_STOP;
      journal.Write((r.raw = r.text = "TOTAL 29.00", r));
    }
    journal.Commit();
  }
  auto db = OpenJournal(path, false);
  std::vector<ForwardMessage> messages;
  for (int id = 1; id <= n; ++id)
    messages.push_back(*BuildMessage(*db, MessageKind::kReceipt, id, kDefaultTopic, store));
  return messages;
}

// The broker, the database, the collectors and the messages, for the run.
struct Fixture {
  Fixture() {
    broker_port = poshark::testing::FreeLoopbackPort();
    pg_port = poshark::testing::FreeLoopbackPort();
    std::ofstream(dir / "m.conf") << "listener " << broker_port << " 127.0.0.1\n"
                                  << kBrokerSettings << "persistence_location " << dir.Path()
                                  << "/\n";
    broker = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"/usr/sbin/mosquitto", "-c", dir / "m.conf"}});
    error = poshark::testing::InitPgCluster(pg_dir.Path());
    if (error.empty()) pg = poshark::testing::StartPgServer(pg_dir.Path(), pg_port, {}, error);
    if (!error.empty()) return;
    Sql("CREATE DATABASE central", "postgres");
    for (const char* store : {"north", "south"})
      for (auto& m : StoreMessages(dir.Path(), store, kReceipts / 2)) messages.push_back(m);
    for (int i = 0; i < kCollectors && error.empty(); ++i) StartCollector(i);
  }
  ~Fixture() {
    for (auto& c : collectors) c->Signal(SIGTERM), c->Wait();
    if (pg) pg->Signal(SIGINT), pg->Wait();
    broker->Signal(SIGTERM);
    broker->Wait();
  }
  void StartCollector(int i) {
    const std::string ini = dir / ("collect" + std::to_string(i) + ".ini");
    std::ofstream(ini) << "[service]\nlog = info\n[broker]\nurl = mqtt://127.0.0.1:" << broker_port
                       << "\nclient_id = bench-collect-" << i
                       << "\ngroup = hq\n[database]\nurl = " << Conninfo("central") << "\n";
    collectors.push_back(std::make_unique<ChildProcess>(
        ChildProcess::Options{{POSHARK_TOOL_PATH, "collect", "--config", ini}}));
    if (!collectors.back()->WaitForErr("broker: subscribed"))
      error = "a collector did not subscribe: " + collectors.back()->Err();
  }
  std::string Conninfo(const std::string& db) const {
    return poshark::testing::PgSocketConninfo(pg_dir.Path(), pg_port, db);
  }
  // The first column of the rows; errors noted in `error`.
  std::vector<std::string> Sql(const std::string& sql, const std::string& db = "central") {
    std::vector<std::string> rows;
    if (!poshark::testing::PgQuery(Conninfo(db), sql, rows, error)) return {};
    return rows;
  }
  // Empty tables with the month's partitions there, as before a day's ingest.
  void Empty() {
    Sql("SET client_min_messages = warning; BEGIN;\n" + MonthPartitionsSql(kMonth) +
        "TRUNCATE receipts; COMMIT;");
  }

  poshark::testing::TempHome dir{poshark::testing::TempHome::Env::kLeave};
  poshark::testing::TempHome pg_dir{poshark::testing::TempHome::Env::kLeave};  // the server's
  int broker_port = 0, pg_port = 0;
  std::string error;
  std::unique_ptr<ChildProcess> broker, pg;
  std::vector<std::unique_ptr<ChildProcess>> collectors;
  std::vector<ForwardMessage> messages;
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

// A store's forward: its messages published with QoS 1, the library
// keeping at most the broker's receive maximum in flight.
class Publisher {
 public:
  explicit Publisher(int port) {
    m_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(m_, [](mosquitto*, void* self, int rc) {
      static_cast<Publisher*>(self)->connected_ = rc == 0;
    });
    mosquitto_connect(m_, "127.0.0.1", port, 30);
    mosquitto_loop_start(m_);
    for (auto end = Clock::now() + std::chrono::seconds(10); !connected_ && Clock::now() < end;)
      std::this_thread::sleep_for(kPoll);
  }
  ~Publisher() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
  }
  bool Connected() const { return connected_; }
  void Publish(const std::vector<ForwardMessage>& messages, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
      mosquitto_publish(m_, nullptr, messages[i].topic.c_str(),
                        static_cast<int>(messages[i].payload.size()), messages[i].payload.data(), 1,
                        false);
  }

 private:
  mosquitto* m_ = nullptr;
  std::atomic<bool> connected_{false};
};

// Waits until receipts holds `want` rows (polled); false after kGiveUp.
bool WaitForReceipts(PGconn* c, int want) {
  for (const auto end = Clock::now() + kGiveUp; Clock::now() < end;) {
    PGresult* r = PQexec(c, "SELECT count(*) FROM receipts");
    const int have = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    if (have == want) return true;
    std::this_thread::sleep_for(kPoll);
  }
  return false;
}

// CPU time (user and system) a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  // Fields 14 and 15 (utime, stime); the second, the name in parentheses,
  // is "(poshark)" here, without spaces.
  for (int i = 1; i <= 15 && stat >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The collectors' CPU time so far, in seconds.
double CollectorsCpu(const Fixture& f) {
  double seconds = 0;
  for (const auto& c : f.collectors) seconds += CpuSeconds(c->Pid());
  return seconds;
}

double Rate(double seconds) { return seconds > 0 ? kReceipts / seconds : 0; }
double collect_rate = 0;  // receipts/s of the last BM_CollectIngest

// Every message published by its store's publisher; timed until the last
// receipt is committed by one of the collectors.
void BM_CollectIngest(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  PGconn* c = PQconnectdb(f.Conninfo("central").c_str());
  Publisher north(f.broker_port), south(f.broker_port);
  if (!north.Connected() || !south.Connected()) return state.SkipWithError("no broker");
  double seconds = 0;
  const double cpu_before = CollectorsCpu(f);
  for (auto _ : state) {
    f.Empty();
    const auto start = Clock::now();
    north.Publish(f.messages, 0, kReceipts / 2);
    south.Publish(f.messages, kReceipts / 2, kReceipts);
    if (!WaitForReceipts(c, kReceipts)) {
      PQfinish(c);
      return state.SkipWithError("not every receipt arrived");
    }
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
  }
  // What the collectors cost whatever else runs beside them.
  state.counters["collect_cpu_us_per_receipt"] =
      (CollectorsCpu(f) - cpu_before) * 1e6 / static_cast<double>(state.iterations()) / kReceipts;
  const auto lines = f.Sql("SELECT count(*) FROM lines");
  if (lines.empty() || std::stoi(lines[0]) != kReceipts * (kItems + 2))
    state.SkipWithError("lines missing");
  PQfinish(c);
  collect_rate = Rate(seconds / static_cast<double>(state.iterations()));
  state.counters["receipts_per_s"] = collect_rate;
}

// The rows the collector writes for the messages, in COPY's text form.
std::string RowsOf(const std::vector<ForwardMessage>& messages) {
  std::string rows;
  for (const auto& m : messages) AppendReceiptRow(nlohmann::json::parse(m.payload), rows);
  return rows;
}

// One COPY of rows into table; false with the server's reason.
bool Copy(PGconn* c, const std::string& table, const std::string& rows, std::string& error) {
  PGresult* r = PQexec(c, ("COPY " + table + " FROM STDIN").c_str());
  const bool started = PQresultStatus(r) == PGRES_COPY_IN;
  PQclear(r);
  bool ok = started && PQputCopyData(c, rows.data(), static_cast<int>(rows.size())) == 1 &&
            PQputCopyEnd(c, nullptr) == 1;
  r = PQgetResult(c);
  ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  while ((r = PQgetResult(c)) != nullptr) PQclear(r);
  if (!ok) error = PQerrorMessage(c);
  return ok;
}

void BM_PlainCopy(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  const std::string rows = RowsOf(f.messages);
  PGconn* c = PQconnectdb(f.Conninfo("central").c_str());
  std::string error;
  double seconds = 0;
  for (auto _ : state) {
    f.Empty();
    const auto start = Clock::now();
    PQclear(PQexec(c, "BEGIN"));
    if (!Copy(c, "receipts (" + std::string(kReceiptColumns) + ")", rows, error)) {
      PQfinish(c);
      return state.SkipWithError(error.c_str());
    }
    PQclear(PQexec(c, "COMMIT"));
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
  }
  PQfinish(c);
  const double copy_rate = Rate(seconds / static_cast<double>(state.iterations()));
  state.counters["receipts_per_s"] = copy_rate;
  if (collect_rate > 0) state.counters["collect_ratio"] = collect_rate / copy_rate;
}

BENCHMARK(BM_CollectIngest)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
