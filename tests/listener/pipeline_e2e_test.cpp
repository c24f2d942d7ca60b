// Bytes given to GotData reach the host's line callback: through the public
// interface, with command-set files in a work folder of the test's own, the
// real 3000 ms merge wait and the real idle stop.
#include <gtest/gtest.h>

#include <random>

#include "listener/ListenerKit.h"

namespace {

using kit::Line;
using kit::Sink;

// An ESC/POS-like set: the cut ends a line and closes the transaction; it
// comes first in the list, so that a cut at the very end of the data is
// recognised without waiting for more.
const char* kEscPosSet =
    "[Main]\nModule_Name=EscPos\nC-Num=1\nS-Num=8\n[TAB]\nSpaceCount=2\n"
    "[ChangeLine-Command]\n1=3,GS,V,0x01\n"
    "[Single-Command]\n1=3,GS,V,0x01,1,3,0,TRAN_STOP\n2=2,ESC,@,1,2\n3=2,ESC,a,1,3\n"
    "4=2,ESC,!,1,3\n5=2,ESC,E,1,3\n6=2,ESC,d,1,3\n7=1,HT,1,1\n8=2,GS,!,1,3\n";

using namespace std::string_literals;

std::string Receipt(int n) {
  std::string r = "\x1b@\x1b"s + "a\x01STORE " + std::to_string(n) + "\n\x1b!\x08";
  for (int i = 0; i <= n % 4; ++i) {
    r += "ITEM " + std::to_string(i) + "\t" + std::to_string(n + i) + ".00  \n";
  }
  return r + "\x1b"s + "E\x01TOTAL\x1b"s + "E\x00\n\x1b"s + "d\x03\x1dV\x01"s;
}

bool AlwaysDst(void*) { return true; }

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { Sink::Get().Reset(); }
  std::unique_ptr<RCPosHark> Start(int nPos, const std::string& set) {
    home_.CommandSet("set.ini", set);
    auto listener = std::make_unique<RCPosHark>(nPos);
    EXPECT_TRUE(listener->SelectCmdSet(0));
    listener->SetGateOpenTime(0);
    listener->ListenStart(&Sink::Callback, true);
    return listener;
  }
  kit::Home home_;
};

TEST_F(EndToEnd, SameStreamWholeOrInRandomPiecesGivesTheSameLines) {
  std::string stream;
  for (int i = 1; i <= 40; ++i) stream += Receipt(i);
  auto run = [&](bool bPieces) {
    Sink::Get().Reset();
    auto listener = Start(12, kEscPosSet);
    listener->SetDstFt(&AlwaysDst);
    std::mt19937 rng(7);
    for (size_t nDone = 0; nDone < stream.size();) {
      size_t n = bPieces ? std::min<size_t>(stream.size() - nDone, 1 + rng() % 64) : stream.size();
      kit::Feed(*listener, stream.substr(nDone, n));
      nDone += n;
    }
    auto lines = Sink::Get().WaitFor(80);
    listener->ListenStop();
    std::vector<std::pair<std::string, int>> out;
    for (const Line& l : lines) {
      out.emplace_back(l.text, l.nEvent);
      EXPECT_EQ(l.nPOSNo, 12);
      EXPECT_TRUE(l.bDST);
      EXPECT_EQ(l.extra, "");
      EXPECT_GE(l.time.wYear, 2024);
    }
    return out;
  };
  auto whole = run(false);
  ASSERT_EQ(whole.size(), 80u);
  EXPECT_EQ(whole[0], std::make_pair("STORE 1\n"s, 0));
  EXPECT_EQ(whole[1], std::make_pair("ITEM 0  1.00  \nITEM 1  2.00  \nTOTAL\n"s, 1));
  EXPECT_EQ(run(true), whole);
}

TEST_F(EndToEnd, ChunksWithinTheMergeTimeBecomeOneLineAndTheWaitUsesNoCpu) {
  // A three-byte command makes the analyzer wait for more near every end.
  auto listener = Start(2,
                        "[Main]\nModule_Name=Merge\nS-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n"
                        "2=2,ESC,s,1,2,0,TRAN_START\n");
  kit::Feed(*listener, "abc\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  kit::Feed(*listener, "def\n");

  double dCpuStart = kit::ListenerCpuSeconds(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  double dCpuMs = 1000.0 * (kit::ListenerCpuSeconds(2) - dCpuStart);
  EXPECT_TRUE(Sink::Get().Lines().empty()) << "the text is held while the wait runs";
  EXPECT_LT(dCpuMs, 100.0) << "CPU used during 1500 ms of waiting";

  auto lines = Sink::Get().WaitFor(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "abc\ndef\n");
  // After the wait ran out, new bytes start a text of their own.
  kit::Feed(*listener, "ghi\n");
  lines = Sink::Get().WaitFor(2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "ghi\n");
}

TEST_F(EndToEnd, IdleTransactionStopsOnceAndAnIdleListenerUsesNoCpu) {
  // No command carries "TRAN_STOP": the idle stop is in force, after 1 s.
  auto listener = Start(6, "[Main]\nModule_Name=Idle\n[STOP_EVENT]\nWaitTime=1\n");
  kit::Feed(*listener, "sale\n");
  auto lines = Sink::Get().WaitFor(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].nEvent, 0);

  double dCpuStart = kit::ListenerCpuSeconds(6);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  double dCpuMs = 1000.0 * (kit::ListenerCpuSeconds(6) - dCpuStart);
  EXPECT_LT(dCpuMs, 100.0) << "CPU used by an idle listener in 3000 ms";
  lines = Sink::Get().Lines();
  ASSERT_EQ(lines.size(), 2u) << "one idle stop, and no second one";
  EXPECT_EQ(lines[1].text, "");
  EXPECT_EQ(lines[1].nEvent, 1);

  kit::Feed(*listener, "next sale\n");
  // The next idle tick may close this transaction at once (its phase is the
  // listener's), so a stop may follow; the sale itself must open one.
  lines = Sink::Get().WaitForText("next sale\n", 2);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "next sale\n");
  EXPECT_EQ(lines[2].nEvent, 0);
}

}  // namespace
