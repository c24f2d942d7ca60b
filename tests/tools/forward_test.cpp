// Forwarding the journal to a real broker (Debian's mosquitto on loopback):
// every receipt and alarm arrives in order per channel through a broker
// that is late, restarted and a service killed mid-stream; TLS and
// passwords refused with the reason logged; a broker that never answers
// holds neither memory nor the stop.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <set>

#include "MqttKit.h"
#include "journal/JournalDb.h"

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
      broker.Stop();
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
  // Said once when the broker went, once when it came back.
  const std::string log = store.Log();
  const std::string broker_at =
      "forward hq: broker mqtt://127.0.0.1:" + std::to_string(broker.Port());
  EXPECT_LE(Count(log, broker_at + " not reached: "), 1u) << log;
  EXPECT_EQ(Count(log, broker_at + " connected"), 4u) << log;  // the first run and three more
  EXPECT_EQ(Count(log, broker_at + " lost: "), 3u) << log;
  EXPECT_EQ(Count(log, broker_at + " back"), 3u) << log;
}

}  // namespace
}  // namespace poshark_test
