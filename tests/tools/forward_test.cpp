// Forwarding the journal to a real broker (Debian's mosquitto on loopback):
// every receipt and alarm arrives in order per channel through a broker
// that is late, restarted and a service killed mid-stream; TLS and
// passwords refused with the reason logged; a broker that never answers
// holds neither memory nor the stop; a forward that needs a subscriber
// waits for one.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <numeric>
#include <regex>
#include <set>

#include "MqttKit.h"
#include "forward/Forwarder.h"
#include "forward/Outbox.h"
#include "journal/JournalDb.h"
#include "journal/JournalStore.h"

namespace poshark_test {
namespace {

using Json = nlohmann::json;

// `poshark serve` over a home that outlives it, with two TCP channels (a
// and b) whose catchers raise alarms, forwarding to `forward`.
class Store {
 public:
  explicit Store(const std::string& forward) {
    home_.Write("POSKeyFilter.ini", ReadFile(POSHARK_SOURCE_DIR "/examples/POSKeyFilter.ini"));
    home_.Write("poshark.ini", "[service]\nhome = " + home_.Path() +
                                   "\noutput = /dev/null\nstore = shop-1\n"
                                   "[channel a]\nsource = tcp:127.0.0.1:0\nkeys = 1\nidle = 1s\n"
                                   "[channel b]\nsource = tcp:127.0.0.1:0\nkeys = 1\nidle = 1s\n"
                                   "[forward hq]\n" +
                                   forward);
  }
  // Started, with both channels listening.
  void Start() {
    tool_ = std::make_unique<ToolProcess>(
        ToolProcess::Options{{"serve", "--config", home_ / "poshark.ini"}});
    for (const char* channel : {"a", "b"}) {
      std::smatch m;
      const std::string prefix = std::string("channel ") + channel + ": listening on ";
      ASSERT_TRUE(tool_->WaitForErr(prefix)) << tool_->Err();
      ASSERT_TRUE(std::regex_search(tool_->Err(), m, std::regex(prefix + R"([\d.]+:(\d+))")));
      ports_[channel] = std::stoi(m[1]);
    }
  }
  // A receipt printed on a channel: one with a void (an alarm) on a, plain on b.
  void Print(const std::string& channel) {
    int fd = ConnectLoopback(ports_[channel]);
    SendAll(fd, ReadFile(ReceiptsDir() + (channel == "a" ? "/void.bin" : "/plain.bin")));
    close(fd);
  }
  void Kill() {
    tool_->Signal(SIGKILL);
    tool_->Wait();
    earlier_ += tool_->Err();
  }
  // The log of this run and of the killed ones before it.
  std::string Log() const { return earlier_ + tool_->Err(); }
  // SIGTERM: status 0 within 2 s (more under a sanitizer).
  void Stop() {
    const auto start = Clock::now();
    tool_->Signal(SIGTERM);
    EXPECT_EQ(tool_->Wait(std::chrono::seconds(10)), 0) << tool_->Err();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(kSanitized ? 20 : 2)) << tool_->Err();
  }
  ToolProcess& Tool() { return *tool_; }
  // A query's first column, every row, in the journal as it is now.
  std::vector<int64_t> Journal(const std::string& sql) {
    auto db = poshark::tool::OpenJournal(home_ / "journal.sqlite", false);
    poshark::tool::Statement s(*db, sql);
    std::vector<int64_t> rows;
    while (s.Step()) rows.push_back(s.Int(0));
    return rows;
  }

 private:
  TempDir home_;
  std::map<std::string, int> ports_;
  std::unique_ptr<ToolProcess> tool_;
  std::string earlier_;
};

// The messages of one kind (the topic's last part), in the order they came.
std::vector<Json> OfKind(const std::vector<Collector::Message>& messages, const std::string& kind) {
  std::vector<Json> out;
  for (const auto& m : messages)
    if (m.topic.size() > kind.size() && m.topic.substr(m.topic.size() - kind.size()) == kind)
      out.push_back(Json::parse(m.payload));
  return out;
}

// Every id once at least; first arrivals in increasing order per channel;
// a repeat carries the very same message as the first.
void ExpectInOrderWithSameIdRepeats(const std::vector<Json>& got,
                                    const std::vector<int64_t>& want) {
  std::map<int64_t, Json> first;
  std::map<std::string, int64_t> last;
  for (const Json& j : got) {
    const int64_t id = j["id"];
    auto [it, fresh] = first.emplace(id, j);
    if (!fresh) {
      EXPECT_EQ(j, it->second) << "a repeat differs";
      continue;
    }
    EXPECT_GT(id, last[j["channel"]]) << "out of order on channel " << j["channel"];
    last[j["channel"]] = id;
    EXPECT_EQ(j["store"], "shop-1");
  }
  std::set<int64_t> ids;
  for (const auto& [id, j] : first) ids.insert(id);
  EXPECT_EQ(ids, std::set<int64_t>(want.begin(), want.end()));
}

TEST(Forward, EveryReceiptAndAlarmArrivesInOrderThroughBrokerRestartsAndKilledService) {
  Broker broker;
  broker.Start();
  Collector collector(broker.Port());
  ASSERT_TRUE(collector.WaitSubscribed());
  broker.Stop();  // down when the service starts; the collector's session is kept
  Store store("url = mqtt://127.0.0.1:" + std::to_string(broker.Port()) + "\n");
  store.Start();
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 3; ++i) {
      store.Print("a");
      store.Print("b");
    }
    if (round == 1) {
      broker.Start();
      ASSERT_TRUE(store.Tool().WaitForErr(" connected\n")) << store.Tool().Err();
    } else if (round >= 2 && round <= 4) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      // A stop, not a kill: a broker killed with SIGKILL loses what it
      // acknowledged in the moment before it saved it, whatever the store does.
      broker.Stop(SIGTERM);
      broker.Start();
      ASSERT_TRUE(store.Tool().WaitFor([&](auto&, auto& err) {
        return Count(err, " back\n") == size_t(round) - 1;
      })) << store.Tool().Err();
    } else if (round >= 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      store.Kill();
      store.Start();
    }
  }
  const std::string kClosed = "SELECT id FROM receipts WHERE stop_ms IS NOT NULL ORDER BY id";
  ASSERT_TRUE(
      poshark::testing::WaitUntil([&] { return store.Journal(kClosed).size() >= 24; }, 20000));
  // The journal holds what reached it before each kill; all of that arrives.
  auto messages = collector.WaitUntil(
      [&](const auto& m) { return OfKind(m, "/receipt").size() >= store.Journal(kClosed).size(); },
      std::chrono::seconds(60));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // idle stops of the last receipts
  messages =
      collector.WaitUntil([&](const auto&) { return false; }, std::chrono::milliseconds(1500));
  store.Stop();
  ExpectInOrderWithSameIdRepeats(OfKind(messages, "/receipt"), store.Journal(kClosed));
  const auto alarms = OfKind(messages, "/alarm");
  ExpectInOrderWithSameIdRepeats(alarms, store.Journal("SELECT DISTINCT line FROM alarms"));
  ASSERT_FALSE(alarms.empty());
  EXPECT_FALSE(alarms[0]["alarms"].empty()) << alarms[0];
  // The store's status: its last will each time it was killed, and online
  // again once it came back.
  std::vector<std::string> statuses;
  for (const auto& m : messages) {
    if (m.topic == "poshark/shop-1/status") statuses.push_back(m.payload);
  }
  EXPECT_GE(std::count(statuses.begin(), statuses.end(), "offline"), 3) << statuses.size();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "online");
  // Said once when the broker went, once when it came back.
  const std::string log = store.Log();
  const std::string broker_at =
      "forward hq: broker mqtt://127.0.0.1:" + std::to_string(broker.Port());
  EXPECT_LE(Count(log, broker_at + " not reached: "), 1u) << log;
  EXPECT_EQ(Count(log, broker_at + " connected"), 4u) << log;  // the first run and three more
  EXPECT_EQ(Count(log, broker_at + " lost: "), 3u) << log;
  EXPECT_EQ(Count(log, broker_at + " back"), 3u) << log;
}

// Makes a certificate authority NAME.crt (and key) in dir, and with `server`
// a certificate for 127.0.0.1 that it signed (server.crt, server.key) and a
// client's (client.crt, client.key).
void MakeAuthority(const TempDir& dir, const std::string& name, bool server) {
  const std::string at = "cd " + dir.Path() + " && ";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  ASSERT_EQ(std::system((at + "openssl req -x509" + ec + " -keyout " + name + ".key -out " + name +
                         ".crt -days 1 -subj /CN=" + name + " 2>/dev/null")
                            .c_str()),
            0);
  if (!server) return;
  dir.Write("san.ext", "subjectAltName=IP:127.0.0.1\n");
  ASSERT_EQ(
      std::system((at + "openssl req" + ec +
                   " -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null && "
                   "openssl x509 -req -in server.csr -CA " +
                   name + ".crt -CAkey " + name +
                   ".key -CAcreateserial -out server.crt -days 1 -extfile san.ext 2>/dev/null")
                      .c_str()),
      0);
  ASSERT_EQ(std::system((at + "openssl req" + ec +
                         " -keyout client.key -out client.csr -subj /CN=shop-1 2>/dev/null && "
                         "openssl x509 -req -in client.csr -CA " +
                         name + ".crt -CAkey " + name +
                         ".key -CAcreateserial -out client.crt -days 1 2>/dev/null")
                            .c_str()),
            0);
}

// Over TLS the broker's certificate is checked against the configured
// authority; a wrong one, or a wrong password, is refused and logged (the
// password never is), and the right ones connect.
TEST(Forward, TlsRefusesAnUnknownAuthorityAndAWrongPasswordAndSaysWhy) {
  TempDir keys;
  MakeAuthority(keys, "ca", true);
  MakeAuthority(keys, "other", false);
  ASSERT_EQ(std::system(("mosquitto_passwd -b -c " + (keys / "users") + " shop1 right").c_str()),
            0);
  Broker broker("cafile " + (keys / "ca.crt") + "\ncertfile " + (keys / "server.crt") +
                "\nkeyfile " + (keys / "server.key") + "\nallow_anonymous false\npassword_file " +
                (keys / "users") + "\n");
  broker.Start();
  const std::pair<std::string, std::string> kCases[] = {
      {"other.crt\npassword_file = " + keys.Write("right", "right\n"), "certificate verify failed"},
      {"ca.crt\npassword_file = " + keys.Write("wrong", "wrongpass\n"), "refused: Not authorized"},
      {"ca.crt\npassword_file = " + (keys / "right"), " connected\n"},
  };
  chmod((keys / "right").c_str(), 0600);
  chmod((keys / "wrong").c_str(), 0600);
  for (const auto& [settings, said] : kCases) {
    Store store("url = mqtts://127.0.0.1:" + std::to_string(broker.Port()) +
                "\nusername = shop1\nca = " + keys.Path() + "/" + settings + "\n");
    store.Start();
    EXPECT_TRUE(store.Tool().WaitForErr(said, std::chrono::seconds(15))) << store.Tool().Err();
    store.Stop();
    EXPECT_EQ(store.Log().find("wrongpass"), std::string::npos);
    if (said[0] != ' ') {
      EXPECT_EQ(Count(store.Log(), " connected\n"), 0u) << store.Log();
    }
  }
}

// A broker that lets in only clients with a certificate its authority
// signed: the store's certificate logs it in, and with QoS 0 its receipts,
// lines and alarms arrive and its positions move on without
// acknowledgements.
TEST(Forward, AClientCertificateLogsInAndQosZeroSendsWithoutAcknowledgements) {
  TempDir keys;
  MakeAuthority(keys, "ca", true);
  int plain = 0;
  const int held = ListenLoopback(plain);  // so that the broker's own port is another
  Broker broker("cafile " + (keys / "ca.crt") + "\ncertfile " + (keys / "server.crt") +
                "\nkeyfile " + (keys / "server.key") +
                "\nrequire_certificate true\nallow_anonymous true\nlistener " +
                std::to_string(plain) + " 127.0.0.1\n");
  close(held);
  broker.Start();
  ASSERT_TRUE(poshark::testing::WaitUntil(
      [&] {
        const int fd = ConnectLoopback(plain);
        if (fd >= 0) close(fd);
        return fd >= 0;
      },
      10000));
  Collector collector(plain);
  ASSERT_TRUE(collector.WaitSubscribed());
  Store store("url = mqtts://127.0.0.1:" + std::to_string(broker.Port()) +
              "\nca = " + (keys / "ca.crt") + "\ncert = " + (keys / "client.crt") +
              "\nkey = " + (keys / "client.key") + "\nqos = 0\nsend = receipts, lines, alarms\n");
  store.Start();
  ASSERT_TRUE(store.Tool().WaitForErr(" connected\n", std::chrono::seconds(15)))
      << store.Tool().Err();
  store.Print("a");
  store.Print("b");
  const auto messages = collector.WaitUntil(
      [&](const auto& m) {
        return OfKind(m, "/receipt").size() >= 2 && !OfKind(m, "/alarm").empty() &&
               OfKind(m, "/line").size() >= store.Journal("SELECT id FROM lines").size();
      },
      std::chrono::seconds(15));
  ASSERT_TRUE(poshark::testing::WaitUntil(
      [&] {
        return store.Journal("SELECT position FROM forwards WHERE kind = 'receipts'") ==
               std::vector<int64_t>{2};
      },
      5000));
  store.Stop();
  ExpectInOrderWithSameIdRepeats(OfKind(messages, "/receipt"),
                                 store.Journal("SELECT id FROM receipts ORDER BY id"));
  const auto lines = OfKind(messages, "/line");
  ExpectInOrderWithSameIdRepeats(lines, store.Journal("SELECT id FROM lines"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0]["receipt"], 1) << lines[0];
  for (const auto& m : messages) {
    if (m.topic.find("/status") == std::string::npos) {
      EXPECT_EQ(m.qos, 0) << m.topic;
    }
  }
}

// A forward's settings for the test's broker on loopback.
poshark::tool::ForwardSettings LoopbackForward(int port, const char* client_id) {
  poshark::tool::ForwardSettings f;
  f.name = "hq";
  f.host = "127.0.0.1";
  f.port = port;
  f.client_id = client_id;
  return f;
}

// n receipts of two lines (item, total), each closed, on channel a.
void AddReceipts(poshark::tool::Journal& journal, int n) {
  for (int i = 0; i < n; ++i) {
    journal.Add({"a", 1, 0, {}, false, 1000, "item", "item", "", false, "", {}});
    journal.Add({"a", 1, 1, {}, false, 1000, "total", "total", "", false, "", {}});
  }
}

// A broker that takes messages and never acknowledges them (paused): the
// forward holds at most kMaxInFlight, counts the rest as backlog, and stops
// at once. A listener that never answers the connection holds up no stop of
// the service.
TEST(Forward, ABrokerThatNeverAcknowledgesHoldsTheInFlightBoundAndNoStop) {
  using namespace poshark::tool;
  Broker broker;
  broker.Start();
  TempDir dir;
  Journal journal(dir / "j.sqlite", Keep{});
  const ForwardSettings f = LoopbackForward(broker.Port(), "bound");
  auto forward = std::make_unique<Forwarder>(f, "shop-1", dir / "j.sqlite", journal);
  auto stats = [&] { return forward->Counters().Snapshot(); };
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return stats().connected; }, 10000));
  broker.Signal(SIGSTOP);
  constexpr int kReceipts = 3 * static_cast<int>(kMaxInFlight);
  AddReceipts(journal, kReceipts);
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return stats().backlog_receipts == kReceipts; },
                                          kSanitized ? 30000 : 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const ForwardStats held = stats();
  EXPECT_EQ(held.in_flight, static_cast<int64_t>(kMaxInFlight));
  EXPECT_EQ(held.sent, kMaxInFlight);
  EXPECT_EQ(held.acknowledged, 0u);
  EXPECT_GT(held.backlog_seconds, 0);
  const auto start = Clock::now();
  forward.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(kSanitized ? 10 : 2));
  broker.Stop();

  int port = 0;
  const int silent = ListenLoopback(port);
  Store store("url = mqtt://127.0.0.1:" + std::to_string(port) + "\n");
  store.Start();
  store.Print("a");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  store.Stop();
  close(silent);
}

// needs_subscriber with nobody subscribed: the broker's "no matching
// subscribers" is no acknowledgement; the forward holds back and sends one
// message again each second (no burst, no busy loop), and everything once
// a subscriber comes.
TEST(Forward, NeedingASubscriberItHoldsBackAndTriesOneMessageASecondUntilOneComes) {
  using namespace poshark::tool;
  Broker broker;
  broker.Start();
  TempDir dir;
  Journal journal(dir / "j.sqlite", Keep{});
  ForwardSettings f = LoopbackForward(broker.Port(), "needs");
  f.needs_subscriber = true;
  Forwarder forward(f, "shop-1", dir / "j.sqlite", journal);
  auto stats = [&] { return forward.Counters().Snapshot(); };
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return stats().connected; }, 10000));
  constexpr int kReceipts = 10;
  AddReceipts(journal, kReceipts);
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return stats().holding; }, 10000));
  const ForwardStats first = stats();
  constexpr auto kWatch = std::chrono::milliseconds(3500);
  std::this_thread::sleep_for(kWatch);
  const ForwardStats later = stats();
  EXPECT_TRUE(later.holding);
  EXPECT_EQ(later.acknowledged, 0u);
  EXPECT_EQ(later.backlog_receipts, kReceipts);
  // One a second: three in the watch, give or take one for its edges.
  EXPECT_GE(later.sent - first.sent, 2u);
  EXPECT_LE(later.sent - first.sent, 4u);
  EXPECT_GT(later.unheard, first.unheard);

  Collector collector(broker.Port());
  ASSERT_TRUE(collector.WaitSubscribed());
  ASSERT_TRUE(poshark::testing::WaitUntil(
      [&] { return stats().backlog_receipts == 0 && !stats().holding; }, 10000));
  const auto got = OfKind(
      collector.WaitUntil([](const auto& m) { return OfKind(m, "/receipt").size() >= kReceipts; },
                          std::chrono::seconds(5)),
      "/receipt");
  std::vector<int64_t> want(kReceipts);
  std::iota(want.begin(), want.end(), 1);
  ExpectInOrderWithSameIdRepeats(got, want);
}

// A receipt still open when later ones closed on another channel is sent
// once it closes; the position never passes a receipt the broker has not
// acknowledged, and a lost connection sends again from there.
TEST(Forward, OutboxSendsReceiptsAsTheyCloseAndHoldsItsPositionAtTheFirstUnacknowledged) {
  using namespace poshark::tool;
  TempDir dir;
  JournalStore store(dir / "j.sqlite", Keep{});
  auto line = [](const char* channel, int event) {
    return LineRecord{channel, 1, event, {}, false, 1000, "x", "x", "", false, "", {}};
  };
  auto db = OpenJournal(dir / "j.sqlite", false);
  Outbox box(*db, MessageKind::kReceipt, 0);
  store.Write(line("a", 0));  // receipt 1 opens on a
  store.Write(line("b", 0));  // 2 on b, closed
  store.Write(line("b", 1));
  store.Write(line("b", 0));  // 3 on b, closed
  store.Write(line("b", 1));
  EXPECT_EQ(box.Next(1), std::vector<int64_t>{2});
  EXPECT_EQ(box.Next(8), std::vector<int64_t>{3});
  box.Acked(3);
  EXPECT_EQ(box.Position(), 0);
  store.Write(line("a", 1));  // 1 closes
  EXPECT_EQ(box.Next(8), std::vector<int64_t>{1});
  box.Acked(1);
  EXPECT_EQ(box.Position(), 1);
  box.Rewind();  // 2 was never acknowledged
  EXPECT_EQ(box.Next(8), (std::vector<int64_t>{2, 3}));
  box.Acked(2);
  box.Acked(3);
  EXPECT_EQ(box.Position(), 3);
  EXPECT_EQ(box.Pending(), 0u);
}

}  // namespace
}  // namespace poshark_test
