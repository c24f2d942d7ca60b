// The queues between intake, analyzer and writer: records reused across
// pushes and takes against a plain model, and the analyzer's wait for room
// that keeps a writer which was only held up for a moment from losing lines
// to the overflow rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <utility>

#include "listener/ListenerKit.h"

namespace {

using namespace kit;

// Takes record nIndex (looks only when !bRemove) into nRoom bytes: its text
// with "+" or "-" for the DST flag, or "<none>"; *pnLen gets the length.
std::string Take(RCDataQueue& q, int nIndex = 0, bool bRemove = true, int nRoom = 20000,
                 int* pnLen = nullptr) {
  std::vector<unsigned char> buf(static_cast<size_t>(nRoom) + 1);
  int nLen = nRoom;
  bool bDST = false;
  bool bOk = q.GetAt(&nLen, buf.data(), nullptr, &bDST, nullptr, nullptr, nIndex, bRemove);
  if (pnLen) *pnLen = nLen;
  return bOk ? std::string(buf.begin(), buf.begin() + nLen) + (bDST ? "+" : "-") : "<none>";
}

// Order, looks and removals at any index, too small a room, bad arguments and
// the byte count, on both kinds; reused records never show an earlier one's
// bytes, length or flag.
TEST(QueueTest, KeepsOrderThroughLooksRemovalsBatchesAndRefusals) {
  for (int nKind : {1, 2}) {
    SCOPED_TRACE(nKind);
    RCDataQueue q(nKind);
    SYSTEMTIME st{};
    std::string big(6000, 'B');
    unsigned char data[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    int lens[3] = {1, 3, 2}, bad[2] = {2, -1};
    ASSERT_TRUE(q.Push(reinterpret_cast<unsigned char*>(big.data()), 6000, &st, true, 0, -1));
    ASSERT_TRUE(q.PushBatch(data, lens, 3, &st, false));
    EXPECT_FALSE(q.PushBatch(data, bad, 2, &st, false) ||
                 q.PushBatch(nullptr, lens, 2, &st, false) || q.Push(data, -1, &st, false, 0, -1) ||
                 q.Push(nullptr, 3, &st, false, 0, -1));
    EXPECT_EQ(q.GetTotalBytes(), 6006);
    EXPECT_EQ(Take(q, 2, false), "bcd-");
    EXPECT_EQ(Take(q, 2), "bcd-");
    int nLen = 0;
    EXPECT_EQ(Take(q, 0, true, 10, &nLen), "<none>");
    EXPECT_EQ(nLen, 6000) << "the length the record needs; it stays";
    EXPECT_EQ(Take(q, 3) + Take(q, -1), "<none><none>");
    EXPECT_EQ(Take(q), big + "+");
    ASSERT_TRUE(q.Push(data, 2, &st, false, 0, -1));  // reuses the big record
    for (const char* pszWant : {"a-", "ef-", "ab-"}) EXPECT_EQ(Take(q), pszWant);
    EXPECT_EQ(q.GetTotalBytes(), 0);
    ASSERT_TRUE(q.PushBatch(data, lens, 3, &st, true));
    q.Clear();
    EXPECT_TRUE(q.GetCount() == 0 && Take(q) == "<none>");
  }
}

// The analyzer's batch take: the oldest records in order, no more than asked,
// the counts lowered at once; records given back are reused, not lost.
TEST(QueueTest, BatchTakeMovesTheOldestOutAndRecordsGivenBackAreReused) {
  RCDataQueue q(1);
  SYSTEMTIME st{};
  st.wYear = 2026;
  unsigned char data[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
  int lens[3] = {1, 3, 2};
  ASSERT_TRUE(q.PushBatch(data, lens, 3, &st, true));
  ASSERT_TRUE(q.Push(data, 6, nullptr, false, 0, -1));
  auto text = [](const STRUCT_PosData* p) {
    return std::string(reinterpret_cast<const char*>(p->pData), static_cast<size_t>(p->nLen));
  };
  STRUCT_PosData* taken[5] = {};
  ASSERT_EQ(q.TakeBatch(taken, 4, 4), 2);  // 1 + 3 bytes reach the bound exactly
  EXPECT_EQ(text(taken[0]) + "|" + text(taken[1]), "a|bcd");
  EXPECT_TRUE(taken[1]->stTime.wYear == 2026 && taken[1]->bDST);
  EXPECT_EQ(std::pair(q.GetCount(), q.GetTotalBytes()), std::pair(2, 8));
  // A batch that takes the rest of the first take-over goes on with what
  // was pushed since.
  ASSERT_TRUE(q.Push(data, 1, &st, false, 0, -1));
  ASSERT_EQ(q.TakeBatch(taken + 2, 3), 3);
  EXPECT_EQ(text(taken[2]) + "|" + text(taken[3]) + "|" + text(taken[4]), "ef|abcdef|a");
  EXPECT_EQ(q.TakeBatch(taken, 4) + q.GetCount() + q.GetTotalBytes(), 0);
  q.GiveBack(taken, 5);
  ASSERT_TRUE(q.Push(data, 1, &st, false, 0, -1));
  STRUCT_PosData* again = nullptr;
  ASSERT_EQ(q.TakeBatch(&again, 1), 1);  // hands the given-back ones to the spares
  q.GiveBack(&again, 1);
  ASSERT_TRUE(q.Push(data + 4, 2, &st, false, 0, -1));
  ASSERT_EQ(q.TakeBatch(&again, 1), 1);
  EXPECT_EQ(text(again), "ef");
  EXPECT_NE(std::find(std::begin(taken), std::end(taken), again), std::end(taken));
  q.GiveBack(&again, 1);
}

// The analyzer's held lines, queued at once: in order, each with its own
// time, flag and event; a line with a bad count is left out.
TEST(QueueTest, LinesPushedAtOnceKeepTheirOwnTimesFlagsAndEvents) {
  RCLineQueue q(2);
  const unsigned char text[] = "abcdef";
  SYSTEMTIME first{}, second{};
  first.wSecond = 1;
  second.wSecond = 2;
  const poshark::commands::HeldLines::Line lines[4] = {{0, 2, 1, true, first},
                                                       {2, -1, -1, false, first},
                                                       {2, 0, -1, false, second},
                                                       {2, 4, 2, false, second}};
  ASSERT_EQ(q.PushLines(text, lines, 4), 3);
  EXPECT_EQ(std::pair(q.GetCount(), q.GetTotalBytes()), std::pair(3, 6));
  std::string got;
  for (int i = 0; i < 3; ++i) {
    unsigned char buf[8] = {};
    int nLen = sizeof buf;
    SYSTEMTIME st{};
    bool bDST = false;
    int nEvent = 0;
    ASSERT_TRUE(q.RCDataQueue::GetAt(&nLen, buf, &st, &bDST, nullptr, &nEvent, 0, true));
    got += std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(nLen)) + " " +
           std::to_string(st.wSecond) + (bDST ? "+" : "-") + std::to_string(nEvent) + "|";
  }
  EXPECT_EQ(got, "ab 1+1| 2--1|cdef 2-2|");
}

// A record as long as the limit waits for the queue to empty, and the take
// that empties it ends the wait at once, not the lag time-out.
TEST(QueueTest, WaitForRoomForALongRecordEndsWhenTheQueueEmpties) {
  RCLineQueue q(2);
  SYSTEMTIME st{};
  unsigned char data[1] = {'a'};
  ASSERT_TRUE(q.Push(data, 1, &st, false, 0, -1));
  poshark::platform::Event stop(poshark::platform::Event::kManualReset);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int nLen = 10, nExtra = 0;
    unsigned char buf[10], extra[1];
    q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, extra, &nExtra);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(q.WaitForRoom(20000, 15000, &stop, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  writer.join();
}

class StalledHost : public ::testing::Test {
 protected:
  void SetUp() override { home_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n"); }
  // A listener whose host holds its first line while s_hold says so.
  std::unique_ptr<RCPosHark> Start() {
    auto listener = std::make_unique<RCPosHark>(9);
    EXPECT_TRUE(listener->SelectCmdSet(0));
    listener->SetGateOpenTime(0);
    listener->ListenStart(
        [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
          if (std::string(pszText) == "first\n") WaitUntil([] { return !s_hold(); }, 30000);
          return LineCollector::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
        },
        true);
    return listener;
  }
  // The host holds its first line for nHoldMs while 20000 bytes arrive.
  std::vector<Line> Run(int nHoldMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nHoldMs);
    s_hold = [until] { return std::chrono::steady_clock::now() < until; };
    auto listener = Start();
    Feed(*listener, "first\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 10; ++i) Feed(*listener, std::string(1999, 'a' + i) + "\n");
    auto lines = lines_.WaitForText(std::string(1999, 'j') + "\n", 0);
    listener->ListenStop();
    return lines;
  }
  static inline std::function<bool()> s_hold;
  TempHome home_;
  LineCollector lines_;
};

// 16000 bytes pile up while the host is busy. Held up briefly (100 ms), it
// gets every line: without the wait the overflow rule would replace them by
// its note. Held up longer than the wait (700 ms), it gets the note in place
// of the lines that piled up, and the lines after it.
TEST_F(StalledHost, HostHeldUpBrieflyGetsEveryLineAndTooLongTheOverflowNote) {
  std::vector<std::pair<std::string, int>> want{{"first\n", 0}}, got;
  for (int i = 0; i < 10; ++i) want.emplace_back(std::string(1999, 'a' + i) + "\n", -1);
  for (const Line& l : Run(100)) got.emplace_back(l.text, l.nEvent);
  EXPECT_EQ(got, want);
  lines_.Reset();
  auto lines = Run(700);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::tuple(lines[0].text, lines[1].text, lines[1].nEvent, lines.back().text),
            std::tuple("first\n", "... 16000 bytes", -2, want.back().first));
}

// A host that stops returning: once the overflow rule has dropped the queue,
// the analyzer does not wait for that writer again, so a megabyte fed in the
// meantime is analysed at once, and what piles up behind the host stays
// bounded by the rule.
TEST_F(StalledHost, HostThatStopsReturningCostsLinesNotPaceOrMemory) {
  static std::atomic<bool> s_bRelease{false};
  s_bRelease = false;
  s_hold = [] { return !s_bRelease.load(); };
  auto listener = Start();
  Feed(*listener, "first\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 500; ++i) Feed(*listener, std::string(1999, 'a' + i % 26) + "\n");
  bool bDrained = WaitUntil([&] { return Access::AnalyzeQueue(*listener).GetCount() == 0; }, 3000);
  int nQueued = Access::WriteQueue(*listener).GetTotalBytes();
  s_bRelease = true;
  EXPECT_TRUE(bDrained) << "the analyzer kept waiting for a writer that made no progress";
  EXPECT_LT(nQueued, 15000);
  // A line of its own marks the end: the fed lines' texts repeat, and one of
  // them may reach the host before the rest.
  Feed(*listener, "last\n");
  auto lines = lines_.WaitForText("last\n");
  listener->ListenStop();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].nEvent, -2) << lines[1].text;
  // However many drops came while the host was away, every byte fed is
  // delivered or counted by a note that reaches the host.
  size_t nDelivered = 0, nCounted = 0;
  for (const auto& line : lines) {
    if (line.nEvent == -2)
      nCounted += std::stoul(line.text.substr(4));
    else
      nDelivered += line.text.size();
  }
  EXPECT_EQ(nDelivered + nCounted, 6u + 500u * 2000u + 5u);
}

// One record that fills the write queue by itself (text merged while the
// analyzer waits for the rest of a three-byte command) says nothing about the
// host: it is delivered whole, not replaced by the note.
TEST_F(StalledHost, RecordThatAloneFillsTheQueueIsDelivered) {
  home_.CommandSet("plain.ini",
                   "[Main]\nModule_Name=Plain\nS-Num=1\n[Single-Command]\n1=3,ESC,x,y,1,3\n");
  s_hold = [] { return false; };
  auto listener = Start();
  std::string text;
  for (int i = 0; i < 20; ++i) text += std::string(999, 'a' + i) + "\n";
  Feed(*listener, text);
  auto lines = lines_.WaitFor(1);
  listener->ListenStop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].text == text) << lines[0].text.substr(0, 40);
}

}  // namespace
