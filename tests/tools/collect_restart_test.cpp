// A shared subscription through a broker restart (real mosquitto and
// PostgreSQL on loopback). mosquitto 2.0 does not keep `$share`
// subscriptions over its own restart: until the collectors subscribe
// again, a store's messages reach nobody, and the broker says so in its
// acknowledgement. A forward with needs_subscriber sends them again.
#include <gtest/gtest.h>

#include "CollectKit.h"

namespace poshark_test {
namespace {

// How long the store is given to meet the broker with no subscriber, the
// collectors to bring in what it holds, and its log to say it resumed.
constexpr auto kUnheardWithin = std::chrono::seconds(10);
constexpr int kDeliveredWithinMs = 10000;
constexpr auto kResumedWithin = std::chrono::seconds(2);

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The collectors are stopped over the restart and for a while after it, so
// that the store surely sends while nobody is subscribed.
TEST(CollectRestart, GroupLosesNoReceiptThroughBrokerRestartWhenTheStoreNeedsASubscriber) {
  Postgres pg;
  Broker broker;
  broker.Start();
  Collect one("hq-1", broker.Port(), pg.Url(), "hq"), two("hq-2", broker.Port(), pg.Url(), "hq");
  one.Start();
  two.Start();
  Store store("north", broker.Port(), "needs_subscriber = yes\n");
  // A receipt on each channel, both closed once they have been idle.
  auto round = [&store](size_t closed) {
    store.Print("a");
    store.Print("b");
    EXPECT_TRUE(poshark::testing::WaitUntil([&] { return store.Receipts().size() == closed; }));
  };
  round(2);
  EXPECT_EQ(WaitForAll(pg, {&store}, kDeliveredWithinMs).size(), 2u);
  one.Stop();
  two.Stop();
  broker.Stop(SIGTERM);
  round(4);  // the broker is down: the journal holds them
  broker.Start();
  round(6);  // nobody is subscribed
  EXPECT_TRUE(store.tool->WaitForErr("has no subscriber", kUnheardWithin)) << store.tool->Err();
  one.Start();
  two.Start();
  const auto want = WaitForAll(pg, {&store}, kDeliveredWithinMs);
  EXPECT_EQ(want.size(), 6u);
  EXPECT_EQ(Central(pg), want) << store.tool->Err();
  EXPECT_EQ(pg.Central("SELECT count(*) FROM receipts"),
            std::vector<std::string>{std::to_string(want.size())});
  EXPECT_EQ(std::stoi(pg.Central("SELECT count(*) FROM alarms")[0]), store.Alarms());
  // The hold and its end are said once each, not once a message.
  EXPECT_TRUE(store.tool->WaitForErr("sending resumes", kResumedWithin)) << store.tool->Err();
  EXPECT_EQ(Count(store.tool->Err(), "has no subscriber"), 1u) << store.tool->Err();
  EXPECT_EQ(Count(store.tool->Err(), "sending resumes"), 1u) << store.tool->Err();
  one.Stop();
  two.Stop();
  store.Stop();
}

}  // namespace
}  // namespace poshark_test
