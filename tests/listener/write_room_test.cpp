// The write queue between analyzer and writer: records reused across pushes
// and takes, and the analyzer's wait for room that keeps a writer which was
// only held up for a moment from losing lines to the overflow rule.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <random>
#include <thread>

#include "ListenerKit.h"
#include "TestAccess.h"
#include "platform/Clock.h"

using namespace kit;

namespace {

std::string Take(RCDataQueue& q) {
  std::vector<unsigned char> buf(20001);
  int nLen = 20000;
  SYSTEMTIME st{};
  bool bDST = false;
  if (!q.GetAt(&nLen, buf.data(), &st, &bDST, nullptr, nullptr, 0, true)) return "<none>";
  return std::string(buf.begin(), buf.begin() + nLen) + (bDST ? "+" : "-");
}

// Reused records must never show an earlier record's bytes, length or flag,
// and the taker's side (records moved out of the pushers' ring in one go)
// must keep the order for every other operation: random pushes, batches,
// runs of takes, looks at any index, removals behind the front, takes into
// too small a room and clears, against a plain model, on both kinds.
TEST(WriteRoom, RecycledRecordsMatchAPlainQueueModel) {
  for (int nKind : {1, 2}) {
    SCOPED_TRACE(nKind);
    std::mt19937 rng(7);
    RCDataQueue q(nKind);
    std::deque<std::string> model;
    SYSTEMTIME st{};
    auto tagged = [](const std::vector<unsigned char>& buf, int nLen, bool bDST) {
      return std::string(buf.begin(), buf.begin() + nLen) + (bDST ? "+" : "-");
    };
    for (int step = 0; step < 30000; ++step) {
      int nOp = static_cast<int>(rng() % 12);
      // Sizes span both sides of what the spare pool keeps.
      auto text = [&] {
        size_t n = rng() % 4 == 0 ? rng() % 6000 : rng() % 60;
        return std::string(n, static_cast<char>('a' + rng() % 26));
      };
      if (nOp < 4) {
        std::string s = text();
        bool bDST = rng() % 2;
        ASSERT_TRUE(q.Push(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(s.size()),
                           &st, bDST, 0, -1));
        model.push_back(s + (bDST ? "+" : "-"));
      } else if (nOp < 6) {
        std::string block;
        std::vector<int> lens;
        for (int k = static_cast<int>(rng() % 5); k >= 0; --k) {
          std::string s = text();
          lens.push_back(static_cast<int>(s.size()));
          block += s;
          model.push_back(s + "+");
        }
        ASSERT_TRUE(q.PushBatch(reinterpret_cast<unsigned char*>(block.data()), lens.data(),
                                static_cast<int>(lens.size()), &st, true));
      } else if (nOp < 9) {
        for (int k = static_cast<int>(rng() % 4); k >= 0; --k) {
          std::string want = model.empty() ? "<none>" : model.front();
          ASSERT_EQ(Take(q), want) << "step " << step;
          if (!model.empty()) model.pop_front();
        }
      } else if (nOp == 9 && !model.empty()) {
        // A look at, or a removal of, any record.
        size_t i = rng() % model.size();
        bool bRemove = rng() % 2;
        std::vector<unsigned char> buf(6001);
        int nLen = 6000;
        bool bDST = false;
        ASSERT_TRUE(q.GetAt(&nLen, buf.data(), nullptr, &bDST, nullptr, nullptr,
                            static_cast<int>(i), bRemove));
        ASSERT_EQ(tagged(buf, nLen, bDST), model[i]) << "step " << step;
        if (bRemove) model.erase(model.begin() + static_cast<long>(i));
      } else if (nOp == 10 && !model.empty() && model.front().size() > 1) {
        // Too small a room: the answer tells the length, the record stays.
        std::vector<unsigned char> buf(1);
        int nLen = 0;
        ASSERT_FALSE(q.GetAt(&nLen, buf.data(), nullptr, nullptr, nullptr, nullptr, 0, true));
        ASSERT_EQ(nLen, static_cast<int>(model.front().size()) - 1);
      } else if (rng() % 20 == 0) {
        q.Clear();
        model.clear();
      }
      if (rng() % 3 == 0) {
        int64_t nBytes = 0;
        for (const std::string& s : model) nBytes += static_cast<int64_t>(s.size()) - 1;
        ASSERT_EQ(q.GetTotalBytes(), nBytes) << "step " << step;
        ASSERT_EQ(q.GetCount(), static_cast<int>(model.size())) << "step " << step;
      }
    }
  }
}

// One pusher and one taker on different threads: every record arrives once,
// in order, while the taker's side fills and empties many times.
TEST(WriteRoom, TakerOnAnotherThreadGetsEveryRecordInOrder) {
  RCDataQueue q(1);
  constexpr int kRecords = 200000;
  std::thread pusher([&] {
    SYSTEMTIME st{};
    for (int n = 0; n < kRecords;) {
      char block[64 * 8];
      int lens[64];
      int nCount = 0;
      int nBytes = 0;
      for (; nCount < 64 && n < kRecords; ++nCount, ++n) {
        lens[nCount] = std::snprintf(block + nBytes, 8, "%d", n);
        nBytes += lens[nCount];
      }
      ASSERT_TRUE(q.PushBatch(reinterpret_cast<unsigned char*>(block), lens, nCount, &st, false));
    }
  });
  int nNext = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (nNext < kRecords && std::chrono::steady_clock::now() < deadline) {
    std::string s = Take(q);
    if (s == "<none>") {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    ASSERT_EQ(s, std::to_string(nNext) + "-");
    ++nNext;
  }
  pusher.join();
  EXPECT_EQ(nNext, kRecords);
  EXPECT_EQ(q.GetCount(), 0);
}

TEST(WriteRoom, BatchWithABadCountQueuesNothing) {
  RCDataQueue q(1);
  unsigned char data[4] = {'a', 'b', 'c', 'd'};
  SYSTEMTIME st{};
  int bad[2] = {2, -1};
  EXPECT_FALSE(q.PushBatch(data, bad, 2, &st, false));
  int lens[2] = {1, 3};
  EXPECT_FALSE(q.PushBatch(nullptr, lens, 2, &st, false));
  EXPECT_EQ(q.GetCount(), 0);
  EXPECT_TRUE(q.PushBatch(data, lens, 2, &st, false));
  EXPECT_EQ(Take(q), "a-");
  EXPECT_EQ(Take(q), "bcd-");
}

TEST(WriteRoom, WaitForRoomEndsWithRoomWithStopOrWhenTheOldestLineIsTooOld) {
  poshark::platform::Event stop(poshark::platform::Event::kManualReset);
  RCLineQueue q(2);
  std::string s(10000, 'x');
  auto push = [&] {
    q.Push(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(s.size()), nullptr, false,
           0, -1);
  };
  EXPECT_TRUE(q.WaitForRoom(20000, 15000, &stop, 1000)) << "an empty queue always has room";
  push();
  EXPECT_TRUE(q.WaitForRoom(4999, 15000, &stop, 1000));

  // A take on another thread makes room.
  std::thread taker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(Take(q), "<none>");
  });
  EXPECT_TRUE(q.WaitForRoom(5000, 15000, &stop, 10000));
  taker.join();
  EXPECT_EQ(q.GetCount(), 0);

  // Nobody takes: the wait ends once the oldest record has waited its lag.
  push();
  uint32_t dwStart = poshark::platform::GetTickCount();
  EXPECT_FALSE(q.WaitForRoom(5000, 15000, &stop, 100));
  EXPECT_GE(poshark::platform::GetTickCount() - dwStart, 90u);

  // Stopping ends it at once.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Set();
  });
  EXPECT_FALSE(q.WaitForRoom(5000, 15000, &stop, 60000));
  stopper.join();
}

class StalledHost : public ::testing::Test {
 protected:
  void SetUp() override {
    Sink::Get().Reset();
    s_nHoldMs = 0;
    places_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
  }
  // The host holds its first line for s_nHoldMs, while 20000 bytes arrive.
  std::vector<Line> Run(int nHoldMs) {
    s_nHoldMs = nHoldMs;
    RCPosHark listener(9);
    EXPECT_TRUE(listener.SelectCmdSet(0));
    listener.SetGateOpenTime(0);
    listener.ListenStart(
        [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
          if (std::string(pszText) == "first\n") {
            std::this_thread::sleep_for(std::chrono::milliseconds(s_nHoldMs.load()));
          }
          return Sink::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
        },
        true);
    Feed(listener, "first\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 10; ++i) Feed(listener, std::string(1999, 'a' + i) + "\n");
    auto lines = Sink::Get().WaitForText(std::string(1999, 'j') + "\n", 0);
    listener.ListenStop();
    return lines;
  }
  static void Feed(RCPosHark& listener, std::string bytes) {
    listener.GotData(static_cast<int>(bytes.size()),
                     reinterpret_cast<unsigned char*>(bytes.data()));
  }
  static inline std::atomic<int> s_nHoldMs{0};
  Home places_;
};

// 16000 bytes pile up while the host is busy for 100 ms: without the wait the
// overflow rule would replace them by its note.
TEST_F(StalledHost, HostHeldUpBrieflyGetsEveryLineAndNoNote) {
  auto lines = Run(100);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0].text, "first\n");
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(lines[static_cast<size_t>(i) + 1].text, std::string(1999, 'a' + i) + "\n");
    EXPECT_EQ(lines[static_cast<size_t>(i) + 1].nEvent, -1);
  }
}

// A host that stays busy longer than the wait still gets the note in place
// of the lines that piled up, and the lines after it.
TEST_F(StalledHost, HostHeldUpTooLongGetsTheOverflowNote) {
  auto lines = Run(700);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "first\n");
  EXPECT_EQ(lines[1].text, "... 16000 bytes");
  EXPECT_EQ(lines[1].nEvent, -2);
  EXPECT_EQ(lines.back().text, std::string(1999, 'j') + "\n");
}

// A host that stops returning: once the overflow rule has dropped the queue,
// the analyzer does not wait for that writer again, so a megabyte fed in the
// meantime is analysed at once instead of at 15000 bytes per wait, and the
// lines piled up behind the host stay bounded by the rule.
TEST_F(StalledHost, HostThatStopsReturningCostsLinesNotPaceOrMemory) {
  static std::atomic<bool> s_bRelease{false};
  s_bRelease = false;
  RCPosHark listener(9);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(
      [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
        if (std::string(pszText) == "first\n") WaitUntil([] { return s_bRelease.load(); }, 30000);
        return Sink::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
      },
      true);
  Feed(listener, "first\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 500; ++i) Feed(listener, std::string(1999, 'a' + i % 26) + "\n");
  bool bDrained =
      WaitUntil([&] { return RCPosHarkTestAccess::AnalyzeQueue(listener).GetCount() == 0; }, 3000);
  int nQueued = RCPosHarkTestAccess::WriteQueue(listener).GetTotalBytes();
  s_bRelease = true;
  EXPECT_TRUE(bDrained) << "the analyzer kept waiting for a writer that made no progress";
  EXPECT_LT(nQueued, 15000);
  auto lines = Sink::Get().WaitForText(std::string(1999, 'a' + 499 % 26) + "\n");
  listener.ListenStop();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].nEvent, -2) << lines[1].text;
}

// One record that fills the write queue by itself (text that the analyzer
// merges while it waits for the rest of a three-byte command) says nothing
// about the host: it is delivered whole, not replaced by the note.
TEST_F(StalledHost, RecordThatAloneFillsTheQueueIsDelivered) {
  places_.CommandSet("plain.ini",
                     "[Main]\nModule_Name=Plain\nS-Num=1\n[Single-Command]\n1=3,ESC,x,y,1,3\n");
  RCPosHark listener(9);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(&Sink::Callback, true);
  std::string text;
  for (int i = 0; i < 20; ++i) text += std::string(999, 'a' + i) + "\n";
  Feed(listener, text);
  auto lines = Sink::Get().WaitFor(1);
  listener.ListenStop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].text == text) << lines[0].text.substr(0, 40);
}

}  // namespace
