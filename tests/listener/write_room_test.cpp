// The write queue between analyzer and writer: records reused across pushes
// and takes, and the analyzer's wait for room that keeps a writer which was
// only held up for a moment from losing lines to the overflow rule.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>

#include "ListenerKit.h"
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

// Reused records must never show an earlier record's bytes, length or flag:
// random pushes, batches, takes and clears against a plain model.
TEST(WriteRoom, RecycledRecordsMatchAPlainQueueModel) {
  std::mt19937 rng(7);
  RCDataQueue q(1);
  std::deque<std::string> model;
  SYSTEMTIME st{};
  for (int step = 0; step < 20000; ++step) {
    int nOp = static_cast<int>(rng() % 10);
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
      std::string want = model.empty() ? "<none>" : model.front();
      ASSERT_EQ(Take(q), want) << "step " << step;
      if (!model.empty()) model.pop_front();
    } else if (rng() % 20 == 0) {
      q.Clear();
      model.clear();
    }
    int64_t nBytes = 0;
    for (const std::string& s : model) nBytes += static_cast<int64_t>(s.size()) - 1;
    ASSERT_EQ(q.GetTotalBytes(), nBytes);
    ASSERT_EQ(q.GetCount(), static_cast<int>(model.size()));
  }
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
    listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
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

}  // namespace
