// The head office's collector against real servers (Debian's mosquitto and
// PostgreSQL 15 on loopback): two stores' `serve` forward to one broker,
// two collectors share the subscription into one database, and every
// receipt is there exactly once through a collector killed mid-stream, the
// database and the broker restarted; a collector killed after reading but
// before its commit loses nothing; bad configuration and a refused login.
#include <gtest/gtest.h>

#include <regex>

#include "CollectKit.h"
#include "base/Usage.h"
#include "collect/CentralDb.h"
#include "collect/CentralMessage.h"
#include "collect/CollectConfig.h"

namespace poshark_test {
namespace {

// Two stores forward to one broker; two collectors write into one
// database, sharing a subscription (group) or each with its own.
struct Chain {
  explicit Chain(const std::string& group)
      : one("hq-1", broker.Port(), pg.Url(), group), two("hq-2", broker.Port(), pg.Url(), group) {
    broker.Start();
    one.Start();
    two.Start();
    north = std::make_unique<Store>("north", broker.Port());
    south = std::make_unique<Store>("south", broker.Port());
  }
  // A receipt on each channel of each store.
  void Round() {
    for (Store* s : {north.get(), south.get()}) {
      s->Print("a");
      s->Print("b");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // Every receipt once, with its lines once; every alarm once.
  void Check(int rounds) {
    const auto want = WaitForAll(pg, {north.get(), south.get()});
    EXPECT_EQ(Central(pg), want) << "one:\n" << one.Log() << "two:\n" << two.Log();
    EXPECT_EQ(want.size(), size_t(2 * 2 * rounds));
    EXPECT_EQ(pg.Central("SELECT count(*) FROM (SELECT DISTINCT store, receipt, n FROM lines) l"),
              pg.Central("SELECT count(*) FROM lines"));
    EXPECT_GT(std::stoi(pg.Central("SELECT count(*) FROM lines")[0]), 4 * rounds);
    EXPECT_EQ(std::stoi(pg.Central("SELECT count(*) FROM alarms")[0]),
              north->Alarms() + south->Alarms());
    EXPECT_EQ(pg.Central("SELECT string_agg(store || ':' || channel, ',' ORDER BY store, channel) "
                         "FROM channels"),
              std::vector<std::string>{"north:a,north:b,south:a,south:b"});
    // The stores' status topics: both online while they run.
    EXPECT_EQ(
        pg.Central("SELECT string_agg(store || ':' || status, ',' ORDER BY store) FROM stores"),
        std::vector<std::string>{"north:online,south:online"});
    one.Stop();
    two.Stop();
    north->Stop();
    south->Stop();
  }
  Postgres pg;
  Broker broker;
  Collect one, two;
  std::unique_ptr<Store> north, south;
};

TEST(Collect, SharedByTwoCollectorsEveryReceiptOnceThroughKilledCollectorsAndDatabaseRestarts) {
  Chain chain("hq");
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    chain.Round();
    if (round == 1 || round == 3) {
      Collect& c = round == 1 ? chain.one : chain.two;
      c.Kill();
      c.Start();
    } else if (round == 2) {
      chain.pg.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      chain.pg.Start();
    }
  }
  chain.Check(kRounds);
}

// mosquitto 2.0 does not keep a shared subscription over its own restart:
// what stores send before the collectors subscribe again is dropped. With a
// subscription each (duplicates dropped by key), nothing is lost.
TEST(Collect, EveryReceiptOnceThroughBrokerKilledAndRestarted) {
  Chain chain("");
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    chain.Round();
    if (round == 1 || round == 2) {
      chain.broker.Stop(round == 1 ? SIGKILL : SIGTERM);
      chain.broker.Start();
    }
  }
  chain.Check(kRounds);
}

// The receipts table locked by the test: the collector has read the
// messages and waits on its insert when it is killed. Nothing was
// acknowledged, so the broker sends them again to the collector restarted.
TEST(Collect, KilledBeforeItsCommitTheCollectorLosesNothing) {
  Postgres pg;
  Broker broker;
  broker.Start();
  Collect collect("hq-1", broker.Port(), pg.Url(), "");
  collect.Start();
  Store store("east", broker.Port());
  PGconn* lock = PQconnectdb(("host=127.0.0.1 port=" + std::to_string(pg.Port()) +
                              " user=poshark dbname=central password=" + kPgPassword)
                                 .c_str());
  PQclear(PQexec(lock, "BEGIN; LOCK TABLE receipts IN ACCESS EXCLUSIVE MODE"));
  store.Print("a");
  store.Print("b");
  ASSERT_TRUE(collect.Tool().WaitForErr("database: writing")) << collect.Tool().Err();
  collect.Kill();
  PQclear(PQexec(lock, "ROLLBACK"));
  PQfinish(lock);
  EXPECT_TRUE(Central(pg).empty());
  collect.Start();
  const auto want = WaitForAll(pg, {&store});
  EXPECT_EQ(Central(pg), want) << collect.Log();
  EXPECT_EQ(want.size(), 2u);
  collect.Stop();
  store.Stop();
}

// The month decides the partition: a wrong one would fail every batch
// holding the receipt.
TEST(Collect, MessagesAreCheckedAndFiledUnderTheirMonthInUtc) {
  using poshark::tool::ReadMessageTime;
  const std::pair<const char*, int> times[] = {
      {"2024-03-01T00:30:00.000+01:00", 202402}, {"2024-12-31T23:30:00.5-01:00", 202501},
      {"2024-02-29T12:00:00Z", 202402},          {"2023-12-31T23:59:59.999+00:00", 202312},
      {"2024-03-31T22:00:00.000-02:00", 202404}, {"2024-03-01T10:00:00.123456Z", 202403},
  };
  for (const auto& [text, month] : times) {
    int got = 0;
    EXPECT_TRUE(ReadMessageTime(text, got)) << text;
    EXPECT_EQ(got, month) << text;
  }
  int unused = 0;
  for (const char* bad :
       {"2024-02-30T00:00:00Z", "2024-03-01T24:00:00Z", "2024-03-01T10:00:00",
        "2024-03-01 10:00:00Z", "2024-03-01T10:00:00+1:00", "2024-03-01T10:00:00.Z",
        "2024-03-01T10:00:00.1234567Z", "2024-03-01T10:00:00+01:00x", "2024-03-01T10:00:00+24:00"})
    EXPECT_FALSE(ReadMessageTime(bad, unused)) << bad;

  poshark::tool::CentralMessage m;
  std::string why;
  const std::string receipt =
      R"({"store":"s-1","id":7,"channel":"a","pos":1,"start":"2024-03-14T09:41:02.123+01:00",)"
      R"("stop":null,"transaction":true,"void":false,"alarms":0,"lines":[{"time":)"
      R"("2024-03-14T09:41:02.123+01:00","text":"x"}]})";
  ASSERT_TRUE(ReadCentralMessage("poshark/s-1/a/receipt", receipt, m, why)) << why;
  EXPECT_EQ(m.store + "/" + m.channel + "/" + std::to_string(m.id) + "/" + std::to_string(m.month),
            "s-1/a/7/202403");
  // The largest POS number the database keeps, and one more.
  EXPECT_TRUE(ReadCentralMessage(
      "poshark/s-1/a/receipt",
      std::regex_replace(receipt, std::regex("\"pos\":1"), "\"pos\":2147483647"), m, why));
  const std::pair<std::string, std::string> refused[] = {
      {"poshark/s-1/a/other", receipt},
      {"poshark/s-1/a/receipt",
       std::regex_replace(receipt, std::regex("\"pos\":1"), "\"pos\":2147483648")},
      {"poshark/s-1/a/receipt", std::regex_replace(receipt, std::regex("\"s-1\""), "\"s/1\"")},
      {"poshark/s-1/a/receipt", std::regex_replace(receipt, std::regex(",\"id\":7"), "")},
      {"poshark/s-1/a/receipt",
       std::regex_replace(receipt, std::regex("\"text\":\"x\""), "\"t\":1")},
      {"poshark/s-1/a/receipt", receipt.substr(0, receipt.size() - 1)},
      {"poshark/s-1/status", "maybe"},
  };
  for (const auto& [topic, payload] : refused)
    EXPECT_FALSE(ReadCentralMessage(topic, payload, m, why)) << topic << " " << payload;
  ASSERT_TRUE(ReadCentralMessage("poshark/s-1/status", "offline", m, why));
  EXPECT_EQ(m.store, "s-1");
}

// The database side alone: a receipt sent again is dropped by its key, text
// comes back as it was sent (the rows travel in COPY's text form), a value
// the server refuses is told apart from a lost server, and keep drops whole
// months.
TEST(Collect, DatabaseDropsResentReceiptsTellsBadDataAndDropsExpiredMonths) {
  Postgres pg;
  poshark::tool::DatabaseSettings settings;
  settings.url = pg.Url() + "?password=" + kPgPassword;
  ASSERT_TRUE(poshark::tool::ParseKeep("400d", settings.keep));
  auto receipt = [](int id, const std::string& start, const std::string& text = "x") {
    poshark::tool::CentralMessage m;
    std::string why;
    const std::string doc =
        R"({"store":"w","id":)" + std::to_string(id) + R"(,"channel":"a","pos":1,"start":")" +
        start + R"(","stop":null,"transaction":true,"void":true,"alarms":0,"lines":[{"time":")" +
        start + R"(","text":)" + nlohmann::json(text).dump() + R"(},{"time":")" + start +
        R"(","text":"y"}]})";
    EXPECT_TRUE(ReadCentralMessage("poshark/w/a/receipt", doc, m, why)) << why;
    return m;
  };
  poshark::tool::CentralDb db(settings);
  const auto old = receipt(1, "2020-01-31T23:30:00.000-01:00"),
             now = receipt(2, "2026-01-01T00:00:00Z");
  EXPECT_EQ(db.Write({old, now, old}).receipts, 2);
  EXPECT_EQ(db.Write({now}).receipts, 0);
  EXPECT_EQ(pg.Central("SELECT count(*) FROM lines"), std::vector<std::string>{"4"});
  EXPECT_EQ(pg.Central("SELECT jsonb_array_length(lines) FROM receipts_p202002"),
            std::vector<std::string>{"2"});
  const std::string odd = "a\tb\\t\nc\r\\N \"d\" \u00e9\u4e2d";
  EXPECT_EQ(db.Write({receipt(5, "2026-01-01T00:00:00Z", odd)}).receipts, 1);
  EXPECT_EQ(
      pg.Central("SELECT text || '|' || (doc->>'text') FROM lines WHERE receipt = 5 AND n = 1"),
      std::vector<std::string>{odd + "|" + odd});
  for (const auto& bad : {receipt(3, "0000-01-01T00:00:00Z"),
                          receipt(3, "2026-01-01T00:00:00Z", std::string("nul \0 in text", 13))}) {
    try {
      db.Write({bad});
      ADD_FAILURE() << "accepted: " << bad.doc.dump();
    } catch (const poshark::tool::CentralError& e) {
      EXPECT_TRUE(e.BadData()) << e.what();
    }
  }
  EXPECT_EQ(db.DropExpired(), 1);
  EXPECT_EQ(pg.Central("SELECT string_agg(store || id, ',' ORDER BY id) FROM receipts"),
            std::vector<std::string>{"w2,w5"});
  pg.Stop();
  try {
    db.Write({receipt(4, "2026-01-01T00:00:00Z")});
    ADD_FAILURE() << "written with the server stopped";
  } catch (const poshark::tool::CentralError& e) {
    EXPECT_FALSE(e.BadData()) << e.what();
  }
}

TEST(Collect, BadConfigurationNamesFileLineSectionAndKey) {
  TempDir dir;
  const std::string head =
      "[broker]\nurl = mqtt://127.0.0.1\n[database]\nurl = postgresql://h/db\n";
  const std::pair<std::string, std::string> cases[] = {
      {head + "[service]\nlog = loud\n", "line 6, [service] log: expected error"},
      {"[broker]\nurl = http://x\n[database]\nurl = x\n", "line 2, [broker] url: expected mqtt://"},
      {"[broker]\nurl = mqtt://h\ntopic = a/#/b\n[database]\nurl = x\n", "line 3, [broker] topic"},
      {"[broker]\nurl = mqtt://h\ngroup = a/b\n[database]\nurl = x\n", "line 3, [broker] group"},
      {"[broker]\nurl = mqtt://h\nqos = 1\n[database]\nurl = x\n", "line 3, [broker] qos"},
      {"[broker]\nurl = mqtt://h\n[database]\nkeep = 2GB\nurl = x\n", "line 4, [database] keep"},
      {"[broker]\nurl = mqtt://h\n[database]\n", "line 3, [database] url: expected a url"},
      {"[broker]\nurl = mqtt://h\n", "expected a [database] section"},
      {head + "[database]\nurl = y\n", "line 5, [database]: expected one [database]"},
      {head + "[service]\nhttp = 0.0.0.0:8080\n", "[service] http: expected a loopback"},
  };
  for (const auto& [text, message] : cases) {
    dir.Write("c.ini", text);
    try {
      poshark::tool::LoadCollectConfig(dir / "c.ini");
      ADD_FAILURE() << "accepted:\n" << text;
    } catch (const poshark::tool::UsageError& e) {
      EXPECT_NE(e.message.find(dir / "c.ini"), std::string::npos) << e.message;
      EXPECT_NE(e.message.find(message), std::string::npos) << e.message;
    }
  }
  dir.Write("c.ini", head + "[database]\nurl = y\n");
  const Result r = RunTool({{"collect", "--config", dir / "c.ini"}});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("[database]"), std::string::npos) << r.err;
}

TEST(Collect, RefusedLoginEndsWithStatusOneAndTheServersReason) {
  Postgres pg;
  Collect collect("hq-1", 1, pg.Url(), "", "not-the-password");
  const Result r = collect.RunToEnd();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("password authentication failed for user \"poshark\""), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("not-the-password"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace poshark_test
