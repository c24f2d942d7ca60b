// Bytes given to GotData reach the host's line callback: through the public
// interface, with command-set files in a work folder and a poshark home of
// the test's own. Two tests use the real 3000 ms merge wait and the real idle
// stop; the others end every stream with a closing command, so that no wait
// has to run out.
#include <gtest/gtest.h>

#include <random>

#include "pipeline_support.h"

using namespace pipeline_test;

namespace {

// An ESC/POS-like set: the cut ends a line and closes the transaction; it
// comes first in the list, so that a cut at the very end of the data is
// recognised without waiting for more.
const char* kEscPosSet =
    "[Main]\n"
    "Module_Name=EscPos\n"
    "C-Num=1\n"
    "S-Num=8\n"
    "[TAB]\n"
    "SpaceCount=2\n"
    "[ChangeLine-Command]\n"
    "1=3,GS,V,0x01\n"
    "[Single-Command]\n"
    "1=3,GS,V,0x01,1,3,0,TRAN_STOP\n"
    "2=2,ESC,@,1,2\n"
    "3=2,ESC,a,1,3\n"
    "4=2,ESC,!,1,3\n"
    "5=2,ESC,E,1,3\n"
    "6=2,ESC,d,1,3\n"
    "7=1,HT,1,1\n"
    "8=2,GS,!,1,3\n";

using namespace std::string_literals;

std::string Receipt(int n) {
  std::string r = "\x1b@\x1b"s + "a\x01STORE " + std::to_string(n) + "\n\x1b!\x08";
  for (int i = 0; i <= n % 4; ++i) {
    r += "ITEM " + std::to_string(i) + "\t" + std::to_string(n + i) + ".00  \n";
  }
  r += "\x1b"s + "E\x01TOTAL\x1b"s + "E\x00\n\x1b"s + "d\x03\x1dV\x01"s;
  return r;
}

std::vector<std::pair<std::string, int>> TextsAndEvents(const std::vector<Line>& lines) {
  std::vector<std::pair<std::string, int>> out;
  for (const Line& l : lines) out.emplace_back(l.text, l.nEvent);
  return out;
}

bool AlwaysDst(void*) { return true; }

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { LineSink::Get().Reset(); }
  static void Feed(RCPosHark& listener, std::string bytes) {
    listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
  }

  ScopedPlaces places_;
};

TEST_F(EndToEnd, ReceiptReachesTheHostAsOpeningAndClosingLines) {
  places_.CommandSet("escpos.ini", kEscPosSet);
  RCPosHark listener(12);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetDstFt(&AlwaysDst);
  listener.SetGateOpenTime(0);
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, Receipt(1));
  auto lines = LineSink::Get().WaitFor(2);
  listener.ListenStop();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "STORE 1\n");
  EXPECT_EQ(lines[0].nEvent, 0);
  EXPECT_EQ(lines[1].text, "ITEM 0  1.00  \nITEM 1  2.00  \nTOTAL\n");
  EXPECT_EQ(lines[1].nEvent, 1);
  for (const Line& l : lines) {
    EXPECT_EQ(l.nPOSNo, 12);
    EXPECT_TRUE(l.bDST);
    EXPECT_EQ(l.extra, "");
    EXPECT_GE(l.time.wYear, 2024);
  }
}

TEST_F(EndToEnd, SameStreamWholeOrInRandomPiecesGivesTheSameLines) {
  places_.CommandSet("escpos.ini", kEscPosSet);
  std::string stream;
  for (int i = 0; i < 40; ++i) stream += Receipt(i);

  auto run = [&](bool bPieces) {
    LineSink::Get().Reset();
    RCPosHark listener(4);
    EXPECT_TRUE(listener.SelectCmdSet(0));
    listener.SetGateOpenTime(0);
    listener.ListenStart(&LineSink::Callback, true);
    std::mt19937 rng(7);
    for (size_t nDone = 0; nDone < stream.size();) {
      size_t n = bPieces ? std::min<size_t>(stream.size() - nDone, 1 + rng() % 64) : stream.size();
      Feed(listener, stream.substr(nDone, n));
      nDone += n;
    }
    auto lines = LineSink::Get().WaitFor(80);
    listener.ListenStop();
    return TextsAndEvents(lines);
  };
  auto whole = run(false);
  ASSERT_EQ(whole.size(), 80u);
  EXPECT_EQ(run(true), whole);
}

TEST_F(EndToEnd, ChunksWithinTheMergeTimeBecomeOneLineAndTheWaitUsesNoCpu) {
  // A three-byte command makes the analyzer wait for more near every end.
  places_.CommandSet("merge.ini",
                     "[Main]\nModule_Name=Merge\nS-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n"
                     "2=2,ESC,s,1,2,0,TRAN_START\n");
  RCPosHark listener(2);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "abc\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Feed(listener, "def\n");

  double dCpuStart = ListenerCpuSeconds(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  double dCpuMs = 1000.0 * (ListenerCpuSeconds(2) - dCpuStart);
  EXPECT_TRUE(LineSink::Get().Lines().empty()) << "the text is held while the wait runs";
  EXPECT_LT(dCpuMs, 100.0) << "CPU used during 1500 ms of waiting";

  auto lines = LineSink::Get().WaitFor(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "abc\ndef\n");

  // After the wait ran out, new bytes start a text of their own.
  Feed(listener, "ghi\n");
  lines = LineSink::Get().WaitFor(2);
  listener.ListenStop();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "ghi\n");
}

TEST_F(EndToEnd, IdleTransactionStopsOnceAndAnIdleListenerUsesNoCpu) {
  // No command carries "TRAN_STOP": the idle stop is in force, after 1 s.
  places_.CommandSet("idle.ini", "[Main]\nModule_Name=Idle\n[STOP_EVENT]\nWaitTime=1\n");
  RCPosHark listener(6);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "sale\n");
  auto lines = LineSink::Get().WaitFor(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].nEvent, 0);

  double dCpuStart = ListenerCpuSeconds(6);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  double dCpuMs = 1000.0 * (ListenerCpuSeconds(6) - dCpuStart);
  EXPECT_LT(dCpuMs, 100.0) << "CPU used by an idle listener in 3000 ms";

  lines = LineSink::Get().Lines();
  ASSERT_EQ(lines.size(), 2u) << "one idle stop, and no second one; last: "
                              << (lines.empty() ? "" : lines.back().text);
  EXPECT_EQ(lines[1].text, "");
  EXPECT_EQ(lines[1].nEvent, 1);

  Feed(listener, "next sale\n");
  lines = LineSink::Get().WaitFor(3);
  listener.ListenStop();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "next sale\n");
  EXPECT_EQ(lines[2].nEvent, 0);
}

TEST_F(EndToEnd, FloodBeyondTheWriteQueueLimitIsReplacedByTheNote) {
  places_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
  RCPosHark listener(8);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  // A slow host: the queue fills while it handles the first line.
  static std::atomic<bool> s_bRelease{false};
  s_bRelease = false;
  listener.ListenStart(
      [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
        while (!s_bRelease) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return LineSink::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
      },
      true);
  Feed(listener, "first\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 10; ++i) Feed(listener, std::string(1999, 'a' + i) + "\n");
  // Held well beyond the time the analyzer waits for room.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  s_bRelease = true;
  auto lines = LineSink::Get().WaitForText("... 16000 bytes", 0);
  listener.ListenStop();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "first\n");
  EXPECT_EQ(lines[1].text, "... 16000 bytes");
  EXPECT_EQ(lines[1].nEvent, -2);
}

}  // namespace
