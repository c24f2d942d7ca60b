// A host that ends its input: EndOfInput returns once every byte handed over
// has become a delivered line, cuts the analyzer's wait for the rest short,
// and leaves the wait alone for hosts (and input) that do not end.
#include <gtest/gtest.h>

#include <atomic>

#include "listener/ListenerKit.h"

namespace {

using namespace kit;

// Below the merge wait: a call that returns true within it did not sit
// through the wait.
constexpr uint32_t kShortTimeoutMs = 2000;

std::atomic<bool> g_bHold{false};
unsigned short HoldingCallback(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo, int nEvent,
                               char* pExtra) {
  WaitUntil([] { return !g_bHold.load(); }, 10000);
  return LineCollector::Callback(pszText, pTime, bDST, nPOSNo, nEvent, pExtra);
}

class EndOfInput : public ::testing::Test {
 protected:
  // A three-byte command makes the analyzer wait for more near every end.
  void SetUp() override {
    home_.CommandSet("set.ini", "[Main]\nS-Num=1\n[Single-Command]\n1=3,GS,V,A,1,3\n");
  }
  std::unique_ptr<RCPosHark> Start(RCPosHark::LineOutFt pfn = &LineCollector::Callback,
                                   bool bHostFeed = true) {
    lines_.Reset();
    auto listener = std::make_unique<RCPosHark>(3);
    EXPECT_TRUE(listener->SelectCmdSet(0));
    listener->SetGateOpenTime(0);
    listener->ListenStart(pfn, bHostFeed);
    return listener;
  }
  std::string Joined() {
    std::string all;
    for (const std::string& text : lines_.Texts()) all += text;
    return all;
  }
  TempHome home_;
  LineCollector lines_;
};

TEST_F(EndOfInput, EveryLineIsDeliveredBeforeItReturnsOrFalseAtTheTimeOut) {
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "line " + std::to_string(i) + "\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"abc\nde", "f"}, "abc\ndef"},      // a line not ended
      {{"abc\nde\x1dV"}, "abc\nde\x1dV"},  // a command cut at its end
      {{many.substr(0, 7000), many.substr(7000)}, many},
  };
  for (const auto& [pieces, delivered] : cases) {
    auto listener = Start();
    for (const std::string& piece : pieces) Feed(*listener, piece);
    EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
    EXPECT_EQ(Joined(), delivered);
  }
  // Twice is harmless; chunks on either side of an ended input are not
  // merged, and the next bytes bring the wait back.
  auto listener = Start();
  Feed(*listener, "abc\n");
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  Feed(*listener, "def\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Feed(*listener, "ghi\n");
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_EQ(lines_.Texts(), (std::vector<std::string>{"abc\n", "def\nghi\n"}));
  listener->ListenStop();
  EXPECT_FALSE(listener->EndOfInput(0)) << "stopped";
  EXPECT_FALSE(RCPosHark(4).EndOfInput(0)) << "never started";
  EXPECT_FALSE(Start(&LineCollector::Callback, false)->EndOfInput(0)) << "no host feed";
  // False at the time-out, true once the host caught up.
  g_bHold = true;
  listener = Start(&HoldingCallback);
  Feed(*listener, "abc\n");
  EXPECT_FALSE(listener->EndOfInput(100)) << "the callback still holds the line";
  g_bHold = false;
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_EQ(Joined(), "abc\n");
}

}  // namespace
