// A host that ends its input: EndOfInput returns once every byte handed over
// has become a delivered line, cuts the analyzer's wait for the rest short,
// and leaves the wait alone for hosts (and input) that do not end.
#include <gtest/gtest.h>

#include <atomic>

#include "listener/ListenerKit.h"

namespace {

using namespace kit;

// A three-byte command makes the analyzer wait for more near every end.
const char* kWaitingSet =
    "[Main]\nModule_Name=Merge\nS-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n"
    "2=2,ESC,s,1,2,0,TRAN_START\n";

// Below the merge wait: a call that returns true within it did not sit
// through the wait.
constexpr uint32_t kShortTimeoutMs = 2000;

std::string Joined(const std::vector<Line>& lines) {
  std::string all;
  for (const Line& l : lines) all += l.text;
  return all;
}

std::atomic<bool> g_bHold{false};
unsigned short HoldingCallback(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo, int nEvent,
                               char* pExtra) {
  WaitUntil([] { return !g_bHold.load(); }, 10000);
  return LineCollector::Callback(pszText, pTime, bDST, nPOSNo, nEvent, pExtra);
}

class EndOfInput : public ::testing::Test {
 protected:
  void SetUp() override {
    lines_.Reset();
    home_.CommandSet("set.ini", kWaitingSet);
  }
  std::unique_ptr<RCPosHark> Start(RCPosHark::LineOutFt pfn = &LineCollector::Callback,
                                   bool bHostFeed = true) {
    auto listener = std::make_unique<RCPosHark>(3);
    EXPECT_TRUE(listener->SelectCmdSet(0));
    listener->SetGateOpenTime(0);
    listener->ListenStart(pfn, bHostFeed);
    return listener;
  }
  TempHome home_;
  LineCollector lines_;
};

TEST_F(EndOfInput, EveryLineIsDeliveredBeforeItReturns) {
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "line " + std::to_string(i) + "\n";
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::string delivered;  // all delivered texts joined
  } cases[] = {
      {"ended lines", {"abc\n", "def\n"}, "abc\ndef\n"},
      {"a line not ended", {"abc\nde", "f"}, "abc\ndef"},
      {"a command cut at its end", {"abc\nde\x1dV"}, "abc\nde\x1dV"},
      {"many lines in many calls", {many.substr(0, 7000), many.substr(7000)}, many},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lines_.Reset();
    auto listener = Start();
    for (const std::string& piece : c.pieces) Feed(*listener, piece);
    EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
    EXPECT_EQ(Joined(lines_.Lines()), c.delivered);
    listener->ListenStop();
  }
}

TEST_F(EndOfInput, ReturnsFalseAtTheTimeOutAndTrueOnceTheHostCaughtUp) {
  g_bHold = true;
  auto listener = Start(&HoldingCallback);
  Feed(*listener, "abc\n");
  EXPECT_FALSE(listener->EndOfInput(100)) << "the callback still holds the line";
  g_bHold = false;
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_EQ(Joined(lines_.Lines()), "abc\n");
}

TEST_F(EndOfInput, IsHarmlessTwiceAndWithoutHostFeed) {
  {
    RCPosHark idle(4);
    EXPECT_FALSE(idle.EndOfInput(0)) << "never started";
  }
  auto serial = Start(&LineCollector::Callback, false);
  EXPECT_FALSE(serial->EndOfInput(0));
  serial->ListenStop();

  auto listener = Start();
  Feed(*listener, "abc\n");
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_EQ(Joined(lines_.Lines()), "abc\n");
  listener->ListenStop();
  EXPECT_FALSE(listener->EndOfInput(0)) << "stopped";
}

// Chunks on either side of an ended input are not merged; the next bytes
// bring the wait back.
TEST_F(EndOfInput, TheWaitStaysForInputThatWasNotEnded) {
  auto listener = Start();
  Feed(*listener, "abc\n");
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  Feed(*listener, "def\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Feed(*listener, "ghi\n");
  EXPECT_TRUE(listener->EndOfInput(kShortTimeoutMs));
  EXPECT_EQ(lines_.Texts(), (std::vector<std::string>{"abc\n", "def\nghi\n"}));
  listener->ListenStop();
}

}  // namespace
